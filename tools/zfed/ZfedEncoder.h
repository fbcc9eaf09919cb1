#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The writing side of zFED blocks: a DEFLATE compressor (RFC 1951) that uses dynamic Huffman
// codes for every block it emits, because the packages' decoder refuses stored and fixed blocks.
// Every Huffman code it emits is complete, so that any RFC 1951 inflater accepts the stream.
namespace zfed
{

// Raw DEFLATE (RFC 1951) of dynamic-Huffman blocks only, last block final. Empty input gives one
// final dynamic block that holds only the end-of-block symbol.
std::vector<std::uint8_t> deflateDynamic(const std::uint8_t* data, std::size_t size);

// A whole zFED block: "zFED", u32 decoded size, u32 block size (header included), then
// deflateDynamic's stream. Empty vector when the sizes do not fit 32 bits.
std::vector<std::uint8_t> encodeBlock(const std::uint8_t* data, std::size_t size);

} // namespace zfed
