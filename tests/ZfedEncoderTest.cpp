#include "tools/zfed/ZfedEncoder.h"
#include "tests/DeflateWalker.h"
#include "tests/SampleData.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

using sampledata::Bytes;
using sampledata::Kind;

namespace
{

struct Inflated
{
    int status = Z_STREAM_ERROR;
    Bytes output;
    std::size_t unusedInput = 0;
};

// zlib's raw inflate, with room for one byte more than expected so that excess output shows.
Inflated zlibInflate(const Bytes& payload, std::size_t expected)
{
    Inflated result;
    result.output.resize(expected + 1);
    z_stream s{};
    if (inflateInit2(&s, -15) != Z_OK)
        return result;
    s.next_in = const_cast<Bytef*>(payload.data());
    s.avail_in = uInt(payload.size());
    s.next_out = result.output.data();
    s.avail_out = uInt(result.output.size());
    result.status = inflate(&s, Z_FINISH);
    result.output.resize(s.total_out);
    result.unusedInput = s.avail_in;
    inflateEnd(&s);
    return result;
}

std::size_t zlibLevel6Size(const Bytes& data)
{
    z_stream s{};
    if (deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    Bytes out(deflateBound(&s, uLong(data.size())));
    s.next_in = const_cast<Bytef*>(data.data());
    s.avail_in = uInt(data.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    const int status = deflate(&s, Z_FINISH);
    const std::size_t size = s.total_out;
    deflateEnd(&s);
    return status == Z_STREAM_END ? size : 0;
}

Bytes deflate(const Bytes& data) { return zfed::deflateDynamic(data.data(), data.size()); }

// Everything that must hold for any encoding: zlib expands it to the data using every payload
// byte; every block is dynamic with three complete codes of at least two symbols each; only the
// last block is final; the stream ends in the last byte, padded with zero bits.
deflatewalk::Walk checkEncoding(const Bytes& data, const std::string& what)
{
    SCOPED_TRACE(what + ", " + std::to_string(data.size()) + " bytes");
    const Bytes payload = deflate(data);

    const Inflated inflated = zlibInflate(payload, data.size());
    EXPECT_EQ(inflated.status, Z_STREAM_END);
    EXPECT_EQ(inflated.unusedInput, 0u);
    EXPECT_TRUE(inflated.output == data) << "zlib's output differs";

    deflatewalk::Walk walk = deflatewalk::walkPayload(payload.data(), payload.size(), data.size());
    EXPECT_EQ(walk.result, int(data.size()));
    EXPECT_TRUE(walk.output == data) << "the walker's output differs";
    EXPECT_FALSE(walk.loneLongCode);
    EXPECT_EQ((walk.bitsRead + 7) / 8, payload.size());
    if (walk.bitsRead % 8 != 0 && !payload.empty())
    {
        EXPECT_EQ(payload.back() >> (walk.bitsRead % 8), 0) << "padding bits not zero";
    }
    for (std::size_t i = 0; i < walk.blocks.size(); ++i)
    {
        const deflatewalk::BlockInfo& block = walk.blocks[i];
        SCOPED_TRACE("block " + std::to_string(i));
        EXPECT_EQ(block.type, 2);
        EXPECT_EQ(block.final, i + 1 == walk.blocks.size());
        EXPECT_EQ(block.codeLengths.left, 0);
        EXPECT_EQ(block.literals.left, 0);
        EXPECT_EQ(block.distances.left, 0);
        EXPECT_GE(block.codeLengths.used, 2);
        EXPECT_GE(block.literals.used, 2);
        EXPECT_GE(block.distances.used, 2);
        EXPECT_LE(block.codeLengths.maxLength, 7);
        EXPECT_LE(block.literals.maxLength, 15);
        EXPECT_LE(block.distances.maxLength, 15);
    }
    return walk;
}

TEST(ZfedEncoder, EdgeSizesOfEveryKind)
{
    const std::size_t sizes[] = {0,    1,     2,     3,     4,     5,     7,     8,     9,
                                 100,  257,   258,   259,   260,   261,   516,   517,   4095,
                                 4096, 32767, 32768, 32769, 65535, 65536, 65537, 100000};
    for (const Kind kind : sampledata::allKinds)
        for (const std::size_t size : sizes)
            checkEncoding(sampledata::make(kind, size, 1000 + size), sampledata::name(kind));
}

TEST(ZfedEncoder, EmptyInputIsOneFinalDynamicBlock)
{
    const Bytes payload = zfed::deflateDynamic(nullptr, 0);
    ASSERT_FALSE(payload.empty());
    const deflatewalk::Walk walk = checkEncoding({}, "empty");
    ASSERT_EQ(walk.blocks.size(), 1u);
    EXPECT_TRUE(walk.blocks[0].final);
}

TEST(ZfedEncoder, TinyInputs)
{
    for (int b = 0; b < 256; b += 51)
        checkEncoding(Bytes{std::uint8_t(b)}, "one byte");
    checkEncoding(Bytes{0, 0}, "two equal bytes");
    checkEncoding(Bytes{0, 0, 0}, "three equal bytes");
    checkEncoding(Bytes{0, 0, 0, 0}, "four equal bytes: one literal and a match");
    checkEncoding(Bytes{'a', 'b', 'a', 'b', 'a', 'b'}, "one distance only");
    checkEncoding(Bytes{255, 255, 255, 255, 255, 255, 255, 255}, "byte 255 then a match");
}

TEST(ZfedEncoder, LongRunsOfOneByte)
{
    for (const std::size_t size : {258u, 259u, 260u, 261u, 262u, 1000u, 65536u, 1u << 20, 3u << 20})
    {
        const Bytes data(size, 0x41);
        const deflatewalk::Walk walk = checkEncoding(data, "run");
        EXPECT_EQ(walk.maxDistance, 1u);
    }
    const Bytes zeros(4u << 20, 0);
    EXPECT_LT(deflate(zeros).size(), 5000u); // 258 bytes per match of a few bits
    checkEncoding(zeros, "zeros");
}

TEST(ZfedEncoder, RunsOfEveryLengthNearTheLongestMatch)
{
    Bytes data;
    for (unsigned length = 1; length < 800; length += 1)
        data.insert(data.end(), length, std::uint8_t(length));
    checkEncoding(data, "runs of growing length");
    checkEncoding(sampledata::runs(1u << 20, 7), "mixed runs");
}

TEST(ZfedEncoder, IncompressibleData)
{
    for (const std::size_t size : {1000u, 65536u, 1u << 20})
    {
        const Bytes data = sampledata::random(size, size);
        checkEncoding(data, "random");
        // Literals coded with codes of about 8 bits, plus headers: well below 1 % overhead.
        EXPECT_LE(deflate(data).size(), size + size / 200 + 200);
    }
}

TEST(ZfedEncoder, MatchesReachTheWholeWindow)
{
    // Random bytes repeated after exactly 32768 bytes: the only matches are at distance 32768.
    const Bytes piece = sampledata::random(32768, 3);
    Bytes data = piece;
    data.insert(data.end(), piece.begin(), piece.end());
    data.insert(data.end(), piece.begin(), piece.end());
    const deflatewalk::Walk walk = checkEncoding(data, "period 32768");
    EXPECT_EQ(walk.maxDistance, 32768u);
    EXPECT_LT(deflate(data).size(), 32768u + 4000u);

    // One more byte and the copy is out of reach: no match at all, nearly nothing gained.
    const Bytes far = sampledata::random(32769, 4);
    Bytes farData = far;
    farData.insert(farData.end(), far.begin(), far.end());
    checkEncoding(farData, "period 32769");
    EXPECT_GT(deflate(farData).size(), farData.size() * 99 / 100);

    // Matches at 32767, 32768 and 32769 positions back interleaved.
    Bytes mixedDistances = sampledata::random(32769, 5);
    for (std::size_t i = 0; i < 20000; ++i)
    {
        const std::size_t back = 32767 + (i / 300) % 3;
        mixedDistances.push_back(mixedDistances[mixedDistances.size() - back]);
    }
    const deflatewalk::Walk mixedWalk = checkEncoding(mixedDistances, "distances near 32768");
    EXPECT_EQ(mixedWalk.maxDistance, 32768u);
}

TEST(ZfedEncoder, ChangingDataIsSplitIntoBlocks)
{
    Bytes data = sampledata::text(300000, 1);
    const Bytes noise = sampledata::random(300000, 2);
    const Bytes sound = sampledata::audio(300000, 3);
    data.insert(data.end(), noise.begin(), noise.end());
    data.insert(data.end(), sound.begin(), sound.end());
    const deflatewalk::Walk walk = checkEncoding(data, "text, random, audio");
    EXPECT_GE(walk.blocks.size(), 3u);
}

TEST(ZfedEncoder, LargeInputsOfEveryKind)
{
    for (const Kind kind : sampledata::allKinds)
        checkEncoding(sampledata::make(kind, 3u << 20, 77), sampledata::name(kind));
}

TEST(ZfedEncoder, OutputIsDeterministic)
{
    const Bytes data = sampledata::mixed(500000, 9);
    EXPECT_TRUE(deflate(data) == deflate(data));
}

TEST(ZfedEncoder, EncodeBlockWritesTheHeader)
{
    for (const std::size_t size : {0u, 1u, 1000u, 300000u})
    {
        const Bytes data = sampledata::mixed(size, size);
        const Bytes block = zfed::encodeBlock(data.data(), data.size());
        const Bytes payload = deflate(data);
        ASSERT_EQ(block.size(), 12 + payload.size());
        EXPECT_EQ(std::memcmp(block.data(), "zFED", 4), 0);
        const auto le32 = [&block](std::size_t at) {
            return std::uint32_t(block[at]) | std::uint32_t(block[at + 1]) << 8 |
                   std::uint32_t(block[at + 2]) << 16 | std::uint32_t(block[at + 3]) << 24;
        };
        EXPECT_EQ(le32(4), size);
        EXPECT_EQ(le32(8), block.size());
        EXPECT_TRUE(Bytes(block.begin() + 12, block.end()) == payload);
    }
}

// The compressed size against zlib's level 6 (raw DEFLATE, default memory level and strategy),
// per kind of data and over the whole corpus.
TEST(ZfedEncoder, RatioAgainstZlibLevel6)
{
    const Kind ordinary[] = {Kind::text, Kind::binary, Kind::audio, Kind::repeated, Kind::mixed};
    std::size_t oursTotal = 0, zlibTotal = 0;
    for (const Kind kind : ordinary)
    {
        std::size_t ours = 0, theirs = 0;
        for (const std::size_t size : {5000u, 60000u, 700000u, 2500000u})
        {
            const Bytes data = sampledata::make(kind, size, size * 31 + 5);
            ours += deflate(data).size();
            theirs += zlibLevel6Size(data);
        }
        ASSERT_GT(theirs, 0u);
        const double ratio = double(ours) / double(theirs);
        std::printf("  %-9s ours %9zu zlib -6 %9zu ratio %.4f\n", sampledata::name(kind), ours,
                    theirs, ratio);
        EXPECT_LE(ratio, 1.10) << sampledata::name(kind);
        oursTotal += ours;
        zlibTotal += theirs;
    }
    const double ratio = double(oursTotal) / double(zlibTotal);
    std::printf("  %-9s ours %9zu zlib -6 %9zu ratio %.4f\n", "all", oursTotal, zlibTotal, ratio);
    EXPECT_LE(ratio, 1.10);
}

} // namespace
