#pragma once

// An independent, deliberately simple reading of a zFED payload for the codec tests: it walks
// the DEFLATE blocks one bit at a time (in the manner of zlib's "puff"), records the shape of
// every block header (block type, the three codes and whether they are complete) and expands the
// data by the zFED rules, answering what decodeBlock answers. Slow, and meant to be obviously
// right rather than fast; it shares no code with the encoder or the decoder.

#include "package/ZfedDecoder.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace deflatewalk
{

// The shape of one Huffman code as a block declares it.
struct CodeShape
{
    int used = 0;      // symbols with a non-zero length
    int left = 1;      // Kraft deficit: 0 complete, > 0 incomplete, < 0 over-subscribed
    int maxLength = 0; // the longest code
};

struct BlockInfo
{
    bool final = false;
    int type = -1;
    int literalCount = 0;    // HLIT + 257
    int distanceCount = 0;   // HDIST + 1
    int codeLengthCount = 0; // HCLEN + 4
    CodeShape codeLengths, literals, distances;
};

struct Walk
{
    int result = zfedBadBlock;    // the byte count on success, else a ZfedResult
    std::vector<BlockInfo> blocks; // every block whose header was started
    std::vector<std::uint8_t> output;
    unsigned maxDistance = 0;      // the farthest match taken
    std::size_t bitsRead = 0;      // payload bits consumed up to the end (or the failure)
    // A code was accepted that zlib refuses: a lone symbol with a code longer than one bit. The
    // zFED rules take any lone symbol; zlib only one of length 1.
    bool loneLongCode = false;
};

namespace detail
{

constexpr int lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int distanceBase[30] = {1,   2,   3,    4,    5,    7,    9,    13,    17,    25,
                                  33,  49,  65,   97,   129,  193,  257,  385,   513,   769,
                                  1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int distanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                   6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Thrown inside the walk only, to unwind with a result code.
struct Stop
{
    int result;
};

class Bits
{
public:
    Bits(const std::uint8_t* data, std::size_t length) : data(data), length(length) {}

    int bit()
    {
        if (position >= 8 * length)
            throw Stop{zfedBadBlock};
        const int b = (data[position / 8] >> (position % 8)) & 1;
        ++position;
        return b;
    }

    int bits(int count)
    {
        int value = 0;
        for (int i = 0; i < count; ++i)
            value |= bit() << i;
        return value;
    }

    std::size_t position = 0;

private:
    const std::uint8_t* data;
    std::size_t length;
};

struct Huffman
{
    int count[16] = {};
    int symbol[320] = {};
};

inline CodeShape build(const int* lengths, int n, Huffman& h)
{
    CodeShape shape;
    for (int i = 0; i < 16; ++i)
        h.count[i] = 0;
    for (int s = 0; s < n; ++s)
        ++h.count[lengths[s]];
    shape.used = n - h.count[0];
    for (int len = 1; len < 16; ++len)
        if (h.count[len] > 0)
            shape.maxLength = len;
    if (shape.used == 0)
    {
        shape.left = 0;
        return shape;
    }
    shape.left = 1;
    for (int len = 1; len < 16; ++len)
    {
        shape.left = 2 * shape.left - h.count[len];
        if (shape.left < 0)
            return shape;
    }
    int offset[16] = {};
    for (int len = 1; len < 15; ++len)
        offset[len + 1] = offset[len] + h.count[len];
    for (int s = 0; s < n; ++s)
        if (lengths[s] != 0)
            h.symbol[offset[lengths[s]]++] = s;
    return shape;
}

// One bit at a time, most significant first; codes of one length are consecutive (canonical).
inline int decode(Bits& in, const Huffman& h)
{
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; ++len)
    {
        code |= in.bit();
        const int count = h.count[len];
        if (code - count < first)
            return h.symbol[index + (code - first)];
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    throw Stop{zfedBadSymbol};
}

inline void dynamicBlock(Bits& in, Walk& walk, BlockInfo& info, std::size_t limit)
{
    info.literalCount = in.bits(5) + 257;
    info.distanceCount = in.bits(5) + 1;
    info.codeLengthCount = in.bits(4) + 4;
    if (info.literalCount > 286 || info.distanceCount > 30)
        throw Stop{zfedTooManyCodes};

    int lengths[320] = {};
    for (int i = 0; i < info.codeLengthCount; ++i)
        lengths[order[i]] = in.bits(3);
    Huffman codeLengths;
    info.codeLengths = build(lengths, 19, codeLengths);
    if (info.codeLengths.left != 0)
        throw Stop{zfedBadCodeLengthCode};

    const int total = info.literalCount + info.distanceCount;
    for (int i = 0; i < total;)
    {
        const int symbol = decode(in, codeLengths);
        if (symbol < 16)
        {
            lengths[i++] = symbol;
            continue;
        }
        int value = 0, repeat = 0;
        if (symbol == 16)
        {
            if (i == 0)
                throw Stop{zfedRepeatWithoutLength};
            value = lengths[i - 1];
            repeat = 3 + in.bits(2);
        }
        else if (symbol == 17)
            repeat = 3 + in.bits(3);
        else
            repeat = 11 + in.bits(7);
        if (i + repeat > total)
            throw Stop{zfedTooManyLengths};
        while (repeat-- > 0)
            lengths[i++] = value;
    }
    if (lengths[256] == 0)
        throw Stop{zfedMissingEndOfBlock};

    Huffman literals, distances;
    info.literals = build(lengths, info.literalCount, literals);
    if (info.literals.left < 0 || (info.literals.left > 0 && info.literals.used != 1))
        throw Stop{zfedBadLiteralCode};
    info.distances = build(lengths + info.literalCount, info.distanceCount, distances);
    if (info.distances.left < 0 || (info.distances.left > 0 && info.distances.used != 1))
        throw Stop{zfedBadDistanceCode};
    if ((info.literals.left > 0 && info.literals.maxLength > 1) ||
        (info.distances.left > 0 && info.distances.maxLength > 1))
        walk.loneLongCode = true;

    std::vector<std::uint8_t>& out = walk.output;
    for (;;)
    {
        const int symbol = decode(in, literals);
        if (symbol < 256)
        {
            if (out.size() == limit)
                throw Stop{zfedBadBlock};
            out.push_back(std::uint8_t(symbol));
            continue;
        }
        if (symbol == 256)
            return;
        if (symbol > 285)
            throw Stop{zfedBadSymbol};
        const int length = lengthBase[symbol - 257] + in.bits(lengthExtra[symbol - 257]);
        const int code = decode(in, distances);
        const int distance = distanceBase[code] + in.bits(distanceExtra[code]);
        if (std::size_t(distance) > out.size())
            throw Stop{zfedDistanceTooFar};
        if (std::size_t(length) > limit - out.size())
            throw Stop{zfedBadBlock};
        if (unsigned(distance) > walk.maxDistance)
            walk.maxDistance = unsigned(distance);
        for (int k = 0; k < length; ++k)
            out.push_back(out[out.size() - std::size_t(distance)]);
    }
}

} // namespace detail

// Walks a raw payload of `length` bytes whose declared decoded size is `limit`.
inline Walk walkPayload(const std::uint8_t* payload, std::size_t length, std::size_t limit)
{
    Walk walk;
    detail::Bits in(payload, length);
    try
    {
        for (;;)
        {
            walk.blocks.emplace_back();
            BlockInfo& info = walk.blocks.back();
            info.final = in.bit() != 0;
            info.type = in.bits(2);
            if (info.type != 2)
                throw detail::Stop{zfedBadBlock};
            detail::dynamicBlock(in, walk, info, limit);
            if (info.final)
            {
                walk.result = walk.output.size() == limit ? int(limit) : zfedBadBlock;
                break;
            }
        }
    }
    catch (const detail::Stop& stop)
    {
        walk.result = stop.result;
    }
    walk.bitsRead = in.position;
    return walk;
}

// decodeBlock's contract on a whole block: the header checks, then the payload.
inline Walk walkBlock(const std::uint8_t* block, std::size_t blockBytes, std::size_t capacity)
{
    Walk walk;
    if (block == nullptr || blockBytes < zfedHeaderSize || std::memcmp(block, "zFED", 4) != 0)
        return walk;
    const auto le32 = [block](int at) {
        return std::uint32_t(block[at]) | std::uint32_t(block[at + 1]) << 8 |
               std::uint32_t(block[at + 2]) << 16 | std::uint32_t(block[at + 3]) << 24;
    };
    const std::uint32_t decodedSize = le32(4), blockSize = le32(8);
    if (blockSize < zfedHeaderSize || blockSize > blockBytes || decodedSize > capacity ||
        decodedSize > std::uint32_t(INT_MAX))
        return walk;
    return walkPayload(block + zfedHeaderSize, blockSize - zfedHeaderSize, decodedSize);
}

} // namespace deflatewalk
