#pragma once

// The decoding rules followed literally: one bit at a time, codes compared length by length.
// Slow and simple; the tests compare the real decoder's answers with it, result codes included.

#include <cstdint>
#include <cstring>
#include <vector>

namespace reference
{

class Decoder
{
public:
    // Answers what decodeBlock must answer for the same block, and fills `output` on the way.
    int run(const std::uint8_t* block, std::size_t blockBytes, std::vector<std::uint8_t>& output)
    {
        if (block == nullptr || blockBytes < 12 || std::memcmp(block, "zFED", 4) != 0)
            return -1;
        const std::uint32_t decodedSize = le32(block + 4);
        const std::uint32_t blockSize = le32(block + 8);
        if (blockSize < 12 || blockSize > blockBytes)
            return -1;
        in = block + 12;
        inLength = blockSize - 12;
        bitPosition = 0;
        limit = decodedSize;
        output.clear();
        out = &output;
        for (;;)
        {
            int final = 0, type = 0, result = 0;
            if (!bits(1, final) || !bits(2, type))
                return -1;
            result = type == 2 ? dynamicBlock() : -1;
            if (final)
                return result != 0 ? result
                                   : (output.size() == decodedSize ? int(output.size()) : -1);
            if (result != 0)
                return result;
        }
    }

private:
    struct Code
    {
        int count[16];
        int symbol[320];
    };

    static std::uint32_t le32(const std::uint8_t* p)
    {
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
               std::uint32_t(p[3]) << 24;
    }

    bool bits(int count, int& value)
    {
        value = 0;
        for (int i = 0; i < count; ++i)
        {
            if (bitPosition >= inLength * 8)
                return false;
            value |= ((in[bitPosition / 8] >> (bitPosition % 8)) & 1) << i;
            ++bitPosition;
        }
        return true;
    }

    // Answers left: 0 complete, > 0 incomplete, < 0 over-subscribed.
    static int construct(Code& code, const int* lengths, int n)
    {
        std::memset(code.count, 0, sizeof code.count);
        for (int s = 0; s < n; ++s)
            ++code.count[lengths[s]];
        if (code.count[0] == n)
            return 0;
        int left = 1;
        for (int len = 1; len < 16; ++len)
        {
            left = 2 * left - code.count[len];
            if (left < 0)
                return left;
        }
        int offsets[16] = {};
        for (int len = 1; len < 15; ++len)
            offsets[len + 1] = offsets[len] + code.count[len];
        for (int s = 0; s < n; ++s)
            if (lengths[s] != 0)
                code.symbol[offsets[lengths[s]]++] = s;
        return left;
    }

    int decode(const Code& code)
    {
        int value = 0, first = 0, index = 0;
        for (int len = 1; len < 16; ++len)
        {
            int bit = 0;
            if (!bits(1, bit))
                return -1;
            value |= bit;
            const int count = len < 16 ? code.count[len] : 0;
            if (value - count < first)
                return code.symbol[index + (value - first)];
            index += count;
            first = (first + count) << 1;
            value <<= 1;
        }
        return -10;
    }

    int dynamicBlock()
    {
        static const int order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};
        int nlen = 0, ndist = 0, ncode = 0;
        if (!bits(5, nlen) || !bits(5, ndist) || !bits(4, ncode))
            return -1;
        nlen += 257;
        ndist += 1;
        ncode += 4;
        if (nlen > 286 || ndist > 30)
            return -3;
        int lengths[320] = {};
        for (int i = 0; i < ncode; ++i)
            if (!bits(3, lengths[order[i]]))
                return -1;
        Code lencode{}, distcode{};
        if (construct(lencode, lengths, 19) != 0)
            return -4;
        int index = 0;
        while (index < nlen + ndist)
        {
            int symbol = decode(lencode);
            if (symbol < 0)
                return symbol;
            if (symbol < 16)
            {
                lengths[index++] = symbol;
                continue;
            }
            int len = 0, extra = 0;
            if (symbol == 16)
            {
                if (index == 0)
                    return -5;
                len = lengths[index - 1];
                if (!bits(2, extra))
                    return -1;
                symbol = 3 + extra;
            }
            else if (symbol == 17)
            {
                if (!bits(3, extra))
                    return -1;
                symbol = 3 + extra;
            }
            else
            {
                if (!bits(7, extra))
                    return -1;
                symbol = 11 + extra;
            }
            if (index + symbol > nlen + ndist)
                return -6;
            while (symbol--)
                lengths[index++] = len;
        }
        if (lengths[256] == 0)
            return -9;
        auto used = [](const int* l, int n)
        {
            int u = 0;
            for (int i = 0; i < n; ++i)
                u += l[i] != 0;
            return u;
        };
        int err = construct(lencode, lengths, nlen);
        if (err < 0 || (err > 0 && used(lengths, nlen) != 1))
            return -7;
        err = construct(distcode, lengths + nlen, ndist);
        if (err < 0 || (err > 0 && used(lengths + nlen, ndist) != 1))
            return -8;
        return codes(lencode, distcode);
    }

    int codes(const Code& lencode, const Code& distcode)
    {
        static const int lbase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
        static const int lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        static const int dbase[30] = {
            1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
            193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        static const int dext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                     6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
        for (;;)
        {
            int symbol = decode(lencode);
            if (symbol < 0)
                return symbol;
            if (symbol < 256)
            {
                if (out->size() == limit)
                    return -1;
                out->push_back(std::uint8_t(symbol));
                continue;
            }
            if (symbol == 256)
                return 0;
            symbol -= 257;
            if (symbol >= 29)
                return -10;
            int extra = 0;
            if (!bits(lext[symbol], extra))
                return -1;
            const std::size_t len = std::size_t(lbase[symbol] + extra);
            symbol = decode(distcode);
            if (symbol < 0)
                return symbol;
            if (!bits(dext[symbol], extra))
                return -1;
            const std::size_t dist = std::size_t(dbase[symbol] + extra);
            if (dist > out->size())
                return -11;
            if (len > limit - out->size())
                return -1;
            for (std::size_t i = 0; i < len; ++i)
                out->push_back((*out)[out->size() - dist]);
        }
    }

    const std::uint8_t* in = nullptr;
    std::size_t inLength = 0;
    std::size_t bitPosition = 0;
    std::size_t limit = 0;
    std::vector<std::uint8_t>* out = nullptr;
};

} // namespace reference
