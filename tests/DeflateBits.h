#pragma once

// Hand-made DEFLATE streams for the decoder's tests: every field written explicitly, so a test can
// build exactly the malformed block it is about.

#include <cstdint>
#include <string>
#include <vector>

namespace deflatebits
{

class BitWriter
{
public:
    // A field of `count` bits, least significant bit first.
    void bits(std::uint32_t value, int count)
    {
        for (int i = 0; i < count; ++i)
            push((value >> i) & 1);
    }

    // A Huffman code, most significant bit first.
    void code(std::uint32_t value, int length)
    {
        for (int i = length - 1; i >= 0; --i)
            push((value >> i) & 1);
    }

    // Whole zero bytes, so that a decoder has plenty of bits left to read.
    void padding(int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            bits(0, 8);
    }

    const std::vector<std::uint8_t>& bytes() const { return data; }
    std::size_t bitCount() const { return used; }

private:
    void push(std::uint32_t bit)
    {
        if (used % 8 == 0)
            data.push_back(0);
        data.back() |= std::uint8_t(bit << (used % 8));
        ++used;
    }

    std::vector<std::uint8_t> data;
    std::size_t used = 0;
};

// Canonical codes for a list of code lengths (RFC 1951, 3.2.2).
inline std::vector<std::uint32_t> canonicalCodes(const std::vector<int>& lengths)
{
    int count[16] = {};
    for (int length : lengths)
        ++count[length];
    count[0] = 0;
    std::uint32_t next[16] = {};
    for (int length = 1, code = 0; length < 16; ++length)
    {
        code = (code + count[length - 1]) << 1;
        next[length] = std::uint32_t(code);
    }
    std::vector<std::uint32_t> codes(lengths.size(), 0);
    for (std::size_t s = 0; s < lengths.size(); ++s)
        if (lengths[s] != 0)
            codes[s] = next[lengths[s]]++;
    return codes;
}

// The order in which a dynamic block lists the code-length code's lengths.
constexpr int codeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};

// A complete code-length code covering all 19 symbols: 16, 17, 18 and 0 to 9 with 4 bits,
// 10 to 15 with 5 bits.
inline std::vector<int> fullCodeLengthLengths()
{
    std::vector<int> lengths(19, 4);
    for (int s = 10; s <= 15; ++s)
        lengths[std::size_t(s)] = 5;
    return lengths;
}

// A dynamic block under construction: its header with given code lengths, then its symbols.
class DynamicBlock
{
public:
    DynamicBlock(BitWriter& out, std::vector<int> literalLengths, std::vector<int> distanceLengths)
        : out(out), literalLengths(std::move(literalLengths)),
          distanceLengths(std::move(distanceLengths)),
          literalCodes(canonicalCodes(this->literalLengths)),
          distanceCodes(canonicalCodes(this->distanceLengths))
    {
    }

    // Block header and code lengths, each length written plainly (no repeat codes).
    void header(bool final)
    {
        std::vector<int> lengths = literalLengths;
        lengths.insert(lengths.end(), distanceLengths.begin(), distanceLengths.end());
        headerWithLengthSymbols(final, int(literalLengths.size()), int(distanceLengths.size()),
                                fullCodeLengthLengths(), lengths, {});
    }

    // The general form: the code-length code's lengths, the code-length symbols to send and the
    // extra bits of each repeat symbol (16, 17, 18) in order.
    void headerWithLengthSymbols(bool final, int literalCount, int distanceCount,
                                 const std::vector<int>& codeLengthLengths,
                                 const std::vector<int>& symbols, const std::vector<int>& extras)
    {
        out.bits(final ? 1 : 0, 1);
        out.bits(2, 2);
        out.bits(std::uint32_t(literalCount - 257), 5);
        out.bits(std::uint32_t(distanceCount - 1), 5);
        out.bits(19 - 4, 4);
        for (int s : codeLengthOrder)
            out.bits(std::uint32_t(codeLengthLengths[std::size_t(s)]), 3);
        const auto codes = canonicalCodes(codeLengthLengths);
        std::size_t extra = 0;
        for (int symbol : symbols)
        {
            out.code(codes[std::size_t(symbol)], codeLengthLengths[std::size_t(symbol)]);
            if (symbol >= 16)
                out.bits(std::uint32_t(extras.at(extra++)), symbol == 16   ? 2
                                                            : symbol == 17 ? 3
                                                                           : 7);
        }
    }

    void literal(int symbol)
    {
        out.code(literalCodes[std::size_t(symbol)], literalLengths[std::size_t(symbol)]);
    }

    void endOfBlock() { literal(256); }

    // A match given by its symbols and extra bits (RFC 1951 tables).
    void match(int lengthSymbol, std::uint32_t lengthExtra, int lengthExtraBits, int distanceSymbol,
               std::uint32_t distanceExtra, int distanceExtraBits)
    {
        literal(lengthSymbol);
        out.bits(lengthExtra, lengthExtraBits);
        out.code(distanceCodes[std::size_t(distanceSymbol)],
                 distanceLengths[std::size_t(distanceSymbol)]);
        out.bits(distanceExtra, distanceExtraBits);
    }

private:
    BitWriter& out;
    std::vector<int> literalLengths;
    std::vector<int> distanceLengths;
    std::vector<std::uint32_t> literalCodes;
    std::vector<std::uint32_t> distanceCodes;
};

// A literal/length code in which the given symbols all have `length` bits and the others none.
inline std::vector<int> lengthsFor(std::size_t count, const std::vector<int>& symbols, int length)
{
    std::vector<int> lengths(count, 0);
    for (int s : symbols)
        lengths[std::size_t(s)] = length;
    return lengths;
}

// Wraps a payload into a zFED block declaring `decodedSize`.
inline std::vector<std::uint8_t> zfedBlock(const std::vector<std::uint8_t>& payload,
                                           std::uint32_t decodedSize)
{
    std::vector<std::uint8_t> block = {'z', 'F', 'E', 'D'};
    const std::uint32_t blockSize = std::uint32_t(payload.size() + 12);
    for (std::uint32_t v : {decodedSize, blockSize})
        for (int i = 0; i < 4; ++i)
            block.push_back(std::uint8_t(v >> (8 * i)));
    block.insert(block.end(), payload.begin(), payload.end());
    return block;
}

} // namespace deflatebits
