#include "package/ZfedDecoder.h"
#include "tests/DeflateBits.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

using namespace deflatebits;

namespace
{

struct Decoded
{
    int result;
    std::vector<std::uint8_t> output;
};

// Decodes from exactly-sized heap copies, so that a sanitizer sees any access outside them.
Decoded decode(const std::vector<std::uint8_t>& block, std::size_t capacity)
{
    auto input = std::make_unique<std::uint8_t[]>(block.size());
    std::memcpy(input.get(), block.data(), block.size());
    auto output = std::make_unique<std::uint8_t[]>(capacity + 1);
    std::memset(output.get(), 0xA5, capacity + 1);
    const int result = decodeBlock(input.get(), block.size(), output.get(), capacity);
    Decoded decoded{result, std::vector<std::uint8_t>(output.get(), output.get() + capacity + 1)};
    return decoded;
}

Decoded decode(const std::vector<std::uint8_t>& block)
{
    std::uint32_t declared = 0;
    std::memcpy(&declared, block.data() + 4, 4);
    return decode(block, declared);
}

std::string text(const Decoded& d, std::size_t count)
{
    return std::string(d.output.begin(), d.output.begin() + std::ptrdiff_t(count));
}

// A small complete code: 'a', 'b', end of block and the match length 3, each with two bits;
// distances 1 and 2 with one bit each.
constexpr int symbolA = 'a';
constexpr int symbolB = 'b';
constexpr int length3 = 257;

DynamicBlock smallCode(BitWriter& out)
{
    return DynamicBlock(out, lengthsFor(258, {symbolA, symbolB, 256, length3}, 2), {1, 1});
}

std::vector<std::uint8_t> stream(const std::function<void(BitWriter&)>& write)
{
    BitWriter out;
    write(out);
    return out.bytes();
}

TEST(ZfedDecoder, DecodesLiteralsAndOverlappingMatches)
{
    // "ab", then three bytes from distance 2: the copy reads bytes it is producing.
    const auto payload = stream(
        [](BitWriter& out)
        {
            auto block = smallCode(out);
            block.header(true);
            block.literal(symbolA);
            block.literal(symbolB);
            block.match(length3, 0, 0, 1, 0, 0);
            block.endOfBlock();
        });
    const Decoded d = decode(zfedBlock(payload, 5));
    EXPECT_EQ(d.result, 5);
    EXPECT_EQ(text(d, 5), "ababa");
}

TEST(ZfedDecoder, DistanceOfOneRepeatsTheLastByteAndOneTooFarIsRefused)
{
    const auto run = stream(
        [](BitWriter& out)
        {
            auto block = smallCode(out);
            block.header(true);
            block.literal(symbolA);
            block.match(length3, 0, 0, 0, 0, 0);
            block.endOfBlock();
        });
    const Decoded d = decode(zfedBlock(run, 4));
    EXPECT_EQ(d.result, 4);
    EXPECT_EQ(text(d, 4), "aaaa");

    const auto tooFar = stream(
        [](BitWriter& out)
        {
            auto block = smallCode(out);
            block.header(true);
            block.literal(symbolA);
            block.match(length3, 0, 0, 1, 0, 0); // distance 2 after one byte
            block.endOfBlock();
        });
    EXPECT_EQ(decode(zfedBlock(tooFar, 4)).result, zfedDistanceTooFar);
}

TEST(ZfedDecoder, OutputMustMatchTheDeclaredSizeAndNeverPassesIt)
{
    const auto ab = stream(
        [](BitWriter& out)
        {
            auto block = smallCode(out);
            block.header(true);
            block.literal(symbolA);
            block.literal(symbolB);
            block.endOfBlock();
        });
    EXPECT_EQ(decode(zfedBlock(ab, 3)).result, zfedBadBlock) << "one byte short";

    // One byte too many, into a buffer with room to spare: the byte after the declared size
    // stays untouched.
    const Decoded literalOver = decode(zfedBlock(ab, 1), 2);
    EXPECT_EQ(literalOver.result, zfedBadBlock);
    EXPECT_EQ(literalOver.output[1], 0xA5);

    const auto aThenRun = stream(
        [](BitWriter& out)
        {
            auto block = smallCode(out);
            block.header(true);
            block.literal(symbolA);
            block.match(length3, 0, 0, 0, 0, 0);
            block.endOfBlock();
        });
    const Decoded matchOver = decode(zfedBlock(aThenRun, 3), 4);
    EXPECT_EQ(matchOver.result, zfedBadBlock);
    EXPECT_EQ(matchOver.output[3], 0xA5);
}

TEST(ZfedDecoder, EndOfBlockOnlyCodeIsAcceptedAndAnEmptyResultIsZero)
{
    // A non-final block with "a", then a final block whose only code is the end of block (one
    // length of 1, an incomplete code) and whose distance code is empty.
    const auto payload = stream(
        [](BitWriter& out)
        {
            auto first = smallCode(out);
            first.header(false);
            first.literal(symbolA);
            first.endOfBlock();
            DynamicBlock last(out, lengthsFor(257, {256}, 1), {0});
            last.header(true);
            last.endOfBlock();
        });
    const Decoded d = decode(zfedBlock(payload, 1));
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.output[0], 'a');

    const auto empty = stream(
        [](BitWriter& out)
        {
            DynamicBlock only(out, lengthsFor(257, {256}, 1), {0});
            only.header(true);
            only.endOfBlock();
        });
    EXPECT_EQ(decode(zfedBlock(empty, 0)).result, 0);
}

std::vector<std::uint8_t> validBlock()
{
    return zfedBlock(stream(
                         [](BitWriter& out)
                         {
                             auto block = smallCode(out);
                             block.header(true);
                             block.literal(symbolA);
                             block.literal(symbolB);
                             block.endOfBlock();
                         }),
                     2);
}

void putU32(std::vector<std::uint8_t>& block, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        block[at + std::size_t(i)] = std::uint8_t(value >> (8 * i));
}

TEST(ZfedDecoder, RefusesBlocksItCannotTrust)
{
    ASSERT_EQ(decode(validBlock()).result, 2);

    std::uint8_t out[4];
    EXPECT_EQ(decodeBlock(nullptr, 100, out, sizeof out), zfedBadBlock);

    for (std::size_t letter = 0; letter < 4; ++letter)
    {
        auto block = validBlock();
        block[letter] ^= 0x20;
        EXPECT_EQ(decode(block).result, zfedBadBlock) << "magic letter " << letter;
    }

    const auto block = validBlock();
    const std::uint32_t blockSize = std::uint32_t(block.size());
    struct Case
    {
        const char* what;
        std::uint32_t blockSizeField;
        std::size_t bytesGiven;
        std::size_t capacity;
    };
    const Case cases[] = {
        {"block size below the header", 11, block.size(), 2},
        {"block size beyond the bytes given", blockSize + 1, block.size(), 2},
        {"bytes given shorter than the header", blockSize, 11, 2},
        {"decoded size beyond the buffer", blockSize, block.size(), 1},
    };
    for (const Case& c : cases)
    {
        auto copy = block;
        putU32(copy, 8, c.blockSizeField);
        copy.resize(c.bytesGiven);
        EXPECT_EQ(decode(copy, c.capacity).result, zfedBadBlock) << c.what;
    }
}

TEST(ZfedDecoder, RefusesStoredFixedAndReservedBlocks)
{
    for (std::uint32_t type : {0u, 1u, 3u})
    {
        BitWriter out;
        out.bits(1, 1);
        out.bits(type, 2);
        out.padding(8);
        EXPECT_EQ(decode(zfedBlock(out.bytes(), 2)).result, zfedBadBlock) << "type " << type;
    }

    // What a general-purpose deflater makes of short data: fixed codes or a stored block.
    const std::string input = "hello, hello, hello";
    for (int strategy : {Z_FIXED, Z_DEFAULT_STRATEGY})
    {
        for (int level : {0, 6})
        {
            z_stream z{};
            ASSERT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
            std::vector<std::uint8_t> payload(256);
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
            z.avail_in = uInt(input.size());
            z.next_out = payload.data();
            z.avail_out = uInt(payload.size());
            ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
            payload.resize(z.total_out);
            deflateEnd(&z);
            EXPECT_EQ(decode(zfedBlock(payload, std::uint32_t(input.size()))).result, zfedBadBlock)
                << "level " << level << " strategy " << strategy;
        }
    }
}

TEST(ZfedDecoder, APayloadCutShortAnywhereRunsOutOfInput)
{
    auto block = validBlock();
    for (std::size_t cut = 1; cut + zfedHeaderSize < block.size(); ++cut)
    {
        auto shorter = block;
        shorter.resize(block.size() - cut);
        putU32(shorter, 8, std::uint32_t(shorter.size()));
        EXPECT_EQ(decode(shorter).result, zfedBadBlock) << "cut " << cut;
    }
}

// Code-length sections that break one rule each.
TEST(ZfedDecoder, ReportsEachBrokenCodeDefinition)
{
    const std::vector<int> fullCode = fullCodeLengthLengths();
    struct Case
    {
        const char* what;
        int literalCount;
        int distanceCount;
        std::vector<int> codeLengthLengths;
        std::vector<int> symbols; // code-length symbols
        std::vector<int> extras;
        int expected;
    };

    // Lengths for a 257 + 1 code that is complete: 256 literals of 9 bits are too many, so use
    // 'a' and end of block with one bit each, and one distance of one bit.
    auto plainLengths = [](std::vector<int> literals, std::vector<int> distances)
    {
        literals.insert(literals.end(), distances.begin(), distances.end());
        return literals;
    };
    const std::vector<int> goodLiterals = lengthsFor(257, {symbolA, 256}, 1);

    std::vector<int> incompleteCodeLengths(19, 0);
    incompleteCodeLengths[0] = 2;
    incompleteCodeLengths[1] = 2;
    std::vector<int> oversubscribedCodeLengths(19, 0);
    oversubscribedCodeLengths[0] = oversubscribedCodeLengths[1] = oversubscribedCodeLengths[2] = 1;

    const Case cases[] = {
        {"code-length code incomplete",
         257,
         1,
         incompleteCodeLengths,
         {},
         {},
         zfedBadCodeLengthCode},
        {"code-length code over-subscribed",
         257,
         1,
         oversubscribedCodeLengths,
         {},
         {},
         zfedBadCodeLengthCode},
        {"repeat before any length", 257, 1, fullCode, {16}, {0}, zfedRepeatWithoutLength},
        {"zeros past the declared lengths",
         257,
         1,
         fullCode,
         {18, 18, 18},
         {127, 127, 0},
         zfedTooManyLengths},
        {"end of block without a code",
         257,
         1,
         fullCode,
         plainLengths(lengthsFor(257, {symbolA, symbolB}, 1), {1}),
         {},
         zfedMissingEndOfBlock},
        {"literal code over-subscribed",
         257,
         1,
         fullCode,
         plainLengths(lengthsFor(257, {symbolA, symbolB, 256}, 1), {1}),
         {},
         zfedBadLiteralCode},
        {"literal code incomplete with two symbols",
         257,
         1,
         fullCode,
         plainLengths(lengthsFor(257, {symbolA, 256}, 2), {1}),
         {},
         zfedBadLiteralCode},
        {"distance code incomplete with two symbols",
         257,
         2,
         fullCode,
         plainLengths(goodLiterals, {2, 2}),
         {},
         zfedBadDistanceCode},
        {"distance code over-subscribed",
         257,
         3,
         fullCode,
         plainLengths(goodLiterals, {1, 1, 1}),
         {},
         zfedBadDistanceCode},
    };
    for (const Case& c : cases)
    {
        BitWriter out;
        DynamicBlock block(out, {}, {});
        block.headerWithLengthSymbols(true, c.literalCount, c.distanceCount, c.codeLengthLengths,
                                      c.symbols, c.extras);
        out.padding(8);
        EXPECT_EQ(decode(zfedBlock(out.bytes(), 4)).result, c.expected) << c.what;
    }
}

TEST(ZfedDecoder, TooManyCodesAreRefusedBeforeTheirLengthsAreRead)
{
    for (auto [literalField, distanceField] : {std::pair{30u, 0u}, std::pair{0u, 30u}})
    {
        BitWriter out;
        out.bits(1, 1);
        out.bits(2, 2);
        out.bits(literalField, 5);  // 287 literal/length codes
        out.bits(distanceField, 5); // 31 distance codes
        out.bits(0, 4);
        out.padding(16);
        EXPECT_EQ(decode(zfedBlock(out.bytes(), 4)).result, zfedTooManyCodes);
    }
}

// With a code that leaves bit patterns unused, such a pattern is "no code" only once 15 bits have
// been seen; with fewer bits left the decoder has simply run out of input.
TEST(ZfedDecoder, UnusedPatternIsNoCodeUnlessTheInputEndsFirst)
{
    for (bool enoughBits : {true, false})
    {
        BitWriter out;
        DynamicBlock block(out, lengthsFor(257, {256}, 1), {0});
        block.header(true);
        out.code(1, 1); // the end of block's code is 0; a 1 starts no code
        const std::size_t start = out.bitCount() - 1;
        // The payload's last byte counts wholly as input, so its length sets how many bits follow.
        const std::size_t bytes = enoughBits ? (start + 15 + 7) / 8 : (start + 14) / 8;
        std::vector<std::uint8_t> payload = out.bytes();
        payload.resize(bytes, 0);
        ASSERT_EQ(bytes * 8 - start >= 15, enoughBits);
        EXPECT_EQ(decode(zfedBlock(payload, 1)).result, enoughBits ? zfedBadSymbol : zfedBadBlock);
    }
}

} // namespace
