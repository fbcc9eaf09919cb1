#pragma once

#include <cstddef>
#include <cstdint>

// A zFED block: a 12-byte header ("zFED", decoded size, block size; little-endian) followed by a
// raw DEFLATE stream made of dynamic-Huffman blocks only.
constexpr std::size_t zfedHeaderSize = 12;

// The negative results of decodeBlock. There is no -2.
enum ZfedResult : int
{
    zfedBadBlock = -1,     // no block, wrong magic, non-dynamic block, input or output exhausted
    zfedTooManyCodes = -3, // more than 286 literal/length or 30 distance codes
    zfedBadCodeLengthCode = -4,   // code-length code incomplete or over-subscribed
    zfedRepeatWithoutLength = -5, // code 16 before any length
    zfedTooManyLengths = -6,      // a repeat runs past the declared number of lengths
    zfedBadLiteralCode = -7,      // literal/length code over-subscribed or wrongly incomplete
    zfedBadDistanceCode = -8,     // distance code over-subscribed or wrongly incomplete
    zfedMissingEndOfBlock = -9,   // symbol 256 has no code
    zfedBadSymbol = -10,          // a bit sequence that is no code
    zfedDistanceTooFar = -11,     // a match reaching back before the first byte written
};

// Expands one zFED block into output. Reads at most blockBytes bytes from block and writes at most
// outputCapacity bytes (never beyond the block's declared decoded size). Answers the number of
// bytes written, which then equals the declared decoded size, or a negative ZfedResult. A block
// whose block size field is below 12 or above blockBytes, or whose declared decoded size exceeds
// outputCapacity, answers zfedBadBlock without decoding. A block that declares and decodes to
// 0 bytes answers 0, which no caller counts as success.
int decodeBlock(const std::uint8_t* block, std::size_t blockBytes, std::uint8_t* output,
                std::size_t outputCapacity);
