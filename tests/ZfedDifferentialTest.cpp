// The decoder against zlib (and against the independent walker of DeflateWalker.h) on streams made
// by the encoder and on random mutations of them. Built with AddressSanitizer and UBSan from the
// decoder's and the encoder's sources; decodeBlock always gets heap buffers of exactly the sizes
// it is told, so that any access outside them is caught.
//
// The stream count scales with the environment variable ZFED_DIFFERENTIAL_SCALE (a positive
// integer, default 1) for longer local runs; the seed is fixed, and each scale gives new streams.

#include "package/ZfedDecoder.h"
#include "tests/DeflateWalker.h"
#include "tests/SampleData.h"
#include "tools/zfed/ZfedEncoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using sampledata::Bytes;
using sampledata::Kind;
using sampledata::Random;

namespace
{

int scale()
{
    const char* value = std::getenv("ZFED_DIFFERENTIAL_SCALE");
    const int n = value ? std::atoi(value) : 1;
    return n > 0 ? n : 1;
}

std::uint32_t le32(const Bytes& block, std::size_t at)
{
    return std::uint32_t(block[at]) | std::uint32_t(block[at + 1]) << 8 |
           std::uint32_t(block[at + 2]) << 16 | std::uint32_t(block[at + 3]) << 24;
}

void putLe32(Bytes& block, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        block[at + std::size_t(i)] = std::uint8_t(value >> (8 * i));
}

struct Decoded
{
    int result = 0;
    Bytes output;             // the first `result` bytes when result > 0
    bool wroteBeyond = false; // a byte at or after the declared decoded size changed
};

// decodeBlock on exactly-sized heap copies. The output is filled with a marker first, so that a
// write between the declared decoded size and the capacity shows.
Decoded decodeExact(const Bytes& block, std::size_t capacity)
{
    std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[block.size()]);
    if (!block.empty())
        std::memcpy(input.get(), block.data(), block.size());
    std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[capacity]);
    std::memset(output.get(), 0xA5, capacity);

    Decoded decoded;
    decoded.result = decodeBlock(input.get(), block.size(), output.get(), capacity);
    if (decoded.result > 0)
        decoded.output.assign(output.get(), output.get() + decoded.result);
    if (block.size() >= 12)
    {
        const std::size_t declared = le32(block, 4);
        for (std::size_t i = declared; i < capacity; ++i)
            if (output[i] != 0xA5)
                decoded.wroteBeyond = true;
    }
    return decoded;
}

struct Inflated
{
    int status = Z_STREAM_ERROR;
    Bytes output;
};

// zlib's raw inflate with room for `room` bytes.
Inflated zlibInflate(const std::uint8_t* payload, std::size_t length, std::size_t room)
{
    Inflated result;
    result.output.resize(room);
    z_stream s{};
    if (inflateInit2(&s, -15) != Z_OK)
        return result;
    s.next_in = const_cast<Bytef*>(payload);
    s.avail_in = uInt(length);
    s.next_out = result.output.data();
    s.avail_out = uInt(room);
    result.status = inflate(&s, Z_FINISH);
    result.output.resize(s.total_out);
    inflateEnd(&s);
    return result;
}

std::string saveFailure(const Bytes& block, std::size_t capacity, const std::string& why)
{
    static int counter = 0;
    const std::string path = "/tmp/zfed-differential-" + std::to_string(++counter) + "-capacity-" +
                             std::to_string(capacity) + ".zfed";
    if (std::FILE* f = std::fopen(path.c_str(), "wb"))
    {
        std::fwrite(block.data(), 1, block.size(), f);
        std::fclose(f);
    }
    ADD_FAILURE() << why << "; block saved to " << path << " (decode with output capacity "
                  << capacity << ")";
    return path;
}

// One decode, compared with zlib and with the walker.
struct Verdict
{
    int result = 0;       // decodeBlock's answer
    bool failed = false;  // a check failed (already reported)
};

Verdict check(const Bytes& block, std::size_t capacity)
{
    Verdict verdict;
    const Decoded decoded = decodeExact(block, capacity);
    const deflatewalk::Walk walk = deflatewalk::walkBlock(block.data(), block.size(), capacity);
    const auto fail = [&](const std::string& why) {
        saveFailure(block, capacity, why);
        verdict.failed = true;
    };

    if (decoded.wroteBeyond)
        fail("decodeBlock wrote beyond the declared decoded size");
    if (decoded.result != walk.result)
        fail("decodeBlock answered " + std::to_string(decoded.result) + ", the walker " +
             std::to_string(walk.result));
    verdict.result = decoded.result;
    if (decoded.result <= 0)
        return verdict;

    // Success: zlib must give the same bytes from the payload the decoder read, unless the
    // block uses the one code shape that zfED takes and zlib refuses (a lone code longer than one
    // bit), in which case the walker's bytes stand in.
    const std::size_t payloadLength = le32(block, 8) - 12;
    const Inflated inflated =
        zlibInflate(block.data() + 12, payloadLength, std::size_t(decoded.result) + 1);
    const bool zlibAgrees = inflated.status == Z_STREAM_END && inflated.output == decoded.output;
    if (!zlibAgrees && !(walk.loneLongCode && walk.output == decoded.output))
        fail("decodeBlock succeeded, but zlib (status " + std::to_string(inflated.status) +
             ", " + std::to_string(inflated.output.size()) + " bytes) disagrees");
    return verdict;
}

// ---------------------------------------------------------------------------------------------
// Mutations.

enum class Mutation
{
    flipHeaderBit, // a bit of the first bytes of the payload: block header, code lengths
    flipBit,       // anywhere in the payload
    flipBits,      // two to four anywhere
    changeByte,
    truncate,         // cut, block size field kept (now too large)
    truncateAndFix,   // cut, block size field set to the new length
    decodedSize,      // decoded size field changed
    blockSize,        // block size field changed
    appendBytes,      // bytes after the stream, counted in the block size
    copyRange,        // a piece of the payload copied over another
    count
};

// Answers the mutated block and the output capacity to decode it with.
Bytes mutate(const Bytes& original, Random& rng, std::size_t& capacity)
{
    Bytes block = original;
    const std::size_t payload = block.size() - 12;
    const std::uint32_t declared = le32(block, 4);
    capacity = declared;
    const auto payloadByte = [&](std::size_t within) {
        return 12 + rng.below(std::uint32_t(std::min(payload, within)));
    };
    switch (Mutation(rng.below(std::uint32_t(Mutation::count))))
    {
    case Mutation::flipHeaderBit:
        block[payloadByte(80)] ^= std::uint8_t(1u << rng.below(8));
        break;
    case Mutation::flipBit:
        block[payloadByte(payload)] ^= std::uint8_t(1u << rng.below(8));
        break;
    case Mutation::flipBits:
        for (std::uint32_t n = 2 + rng.below(3); n > 0; --n)
            block[payloadByte(payload)] ^= std::uint8_t(1u << rng.below(8));
        break;
    case Mutation::changeByte:
        block[payloadByte(payload)] = std::uint8_t(rng.next());
        break;
    case Mutation::truncate:
        block.resize(rng.below(std::uint32_t(block.size())));
        break;
    case Mutation::truncateAndFix:
        block.resize(12 + rng.below(std::uint32_t(payload)));
        putLe32(block, 8, std::uint32_t(block.size()));
        break;
    case Mutation::decodedSize:
    {
        const std::uint32_t choice = rng.below(6);
        const std::uint32_t size = choice == 0   ? declared + 1
                                   : choice == 1 ? declared - 1 // 0 becomes 0xFFFFFFFF
                                   : choice == 2 ? 0
                                   : choice == 3 ? 0xFFFFFFFFu
                                   : choice == 4 ? rng.below(2 * declared + 2)
                                                 : declared + 1 + rng.below(300);
        putLe32(block, 4, size);
        // Mostly a buffer of the new size; sometimes the old one, or one more or one less.
        const std::uint32_t buffer = rng.below(4);
        capacity = size > declared + 1000 || buffer == 0 ? declared
                   : buffer == 1                           ? std::size_t(size) + 1
                   : buffer == 2 && size > 0               ? std::size_t(size) - 1
                                                           : size;
        break;
    }
    case Mutation::blockSize:
    {
        const std::uint32_t choice = rng.below(5);
        const std::uint32_t size = choice == 0   ? std::uint32_t(block.size()) + 1
                                   : choice == 1 ? std::uint32_t(block.size()) - 1
                                   : choice == 2 ? rng.below(12)
                                   : choice == 3 ? 0xFFFFFFFFu
                                                 : rng.below(std::uint32_t(block.size()) + 1);
        putLe32(block, 8, size);
        break;
    }
    case Mutation::appendBytes:
    {
        const Bytes extra = sampledata::random(1 + rng.below(40), rng.next());
        block.insert(block.end(), extra.begin(), extra.end());
        if (rng.below(2) == 0)
            putLe32(block, 8, std::uint32_t(block.size()));
        break;
    }
    case Mutation::copyRange:
    {
        const std::size_t length = 1 + rng.below(std::uint32_t(std::min<std::size_t>(payload, 64)));
        const std::size_t from = 12 + rng.below(std::uint32_t(payload - length + 1));
        const std::size_t to = 12 + rng.below(std::uint32_t(payload - length + 1));
        std::memmove(block.data() + to, block.data() + from, length);
        break;
    }
    case Mutation::count:
        break;
    }
    return block;
}

// ---------------------------------------------------------------------------------------------
// Streams.

struct Tally
{
    int streams = 0;
    int mutants = 0;
    int mutantsDecoded = 0;
    int failures = 0;
    int answers[12] = {}; // mutants per failure code -1 to -11, at index -code

    std::string answerCounts() const
    {
        std::string text;
        for (int code = 1; code < 12; ++code)
            if (answers[code] > 0)
                text += " " + std::to_string(-code) + ":" + std::to_string(answers[code]);
        return text;
    }
};

// One encoder-made stream: it must decode to exactly its data; then `mutants` mutations of it.
void runStream(Kind kind, std::size_t size, std::uint64_t seed, int mutants, Tally& tally)
{
    const Bytes data = sampledata::make(kind, size, seed);
    const Bytes block = zfed::encodeBlock(data.data(), data.size());
    ASSERT_GE(block.size(), 12u);
    ++tally.streams;

    const Decoded decoded = decodeExact(block, data.size());
    EXPECT_EQ(decoded.result, int(data.size())) << sampledata::name(kind) << ", " << size;
    if (decoded.result != int(data.size()) || decoded.output != data)
    {
        saveFailure(block, data.size(), "an unmutated stream did not decode to its data");
        ++tally.failures;
        return;
    }
    const Inflated inflated = zlibInflate(block.data() + 12, block.size() - 12, data.size() + 1);
    EXPECT_EQ(inflated.status, Z_STREAM_END);
    EXPECT_TRUE(inflated.output == data);

    Random rng(seed ^ 0xD1FF);
    for (int m = 0; m < mutants; ++m)
    {
        std::size_t capacity = 0;
        const Bytes mutant = mutate(block, rng, capacity);
        const Verdict verdict = check(mutant, capacity);
        ++tally.mutants;
        tally.mutantsDecoded += verdict.result > 0 ? 1 : 0;
        if (verdict.result < 0 && verdict.result > -12)
            ++tally.answers[-verdict.result];
        tally.failures += verdict.failed ? 1 : 0;
        if (tally.failures > 20)
            FAIL() << "too many failures, stopping";
    }
}

// Sizes spread evenly over the logarithm between the bounds.
std::size_t logUniform(Random& rng, std::size_t low, std::size_t high)
{
    const double l = std::log(double(low)), h = std::log(double(high) + 1);
    const std::size_t size = std::size_t(std::exp(l + (h - l) * rng.unit()));
    return std::max(low, std::min(high, size));
}

void runSeries(std::uint64_t seed, int streams, std::size_t low, std::size_t high, int mutants)
{
    Random rng(seed + 7919 * std::uint64_t(scale()));
    Tally tally;
    for (int i = 0; i < streams && tally.failures <= 20; ++i)
    {
        const Kind kind = sampledata::allKinds[rng.below(7)];
        runStream(kind, logUniform(rng, low, high), rng.next(), mutants, tally);
    }
    std::printf("  %d streams of %zu to %zu bytes, %d mutants (%d decoded; refused by code:%s), "
                "%d failures\n",
                tally.streams, low, high, tally.mutants, tally.mutantsDecoded,
                tally.answerCounts().c_str(), tally.failures);
    EXPECT_EQ(tally.failures, 0);
}

TEST(ZfedDifferential, SmallStreams) { runSeries(1, 900 * scale(), 1, 8192, 16); }

TEST(ZfedDifferential, MediumStreams) { runSeries(2, 100 * scale(), 8193, 512 * 1024, 8); }

TEST(ZfedDifferential, LargeStreams) { runSeries(3, 6 * scale(), 1u << 20, 4u << 20, 3); }

// Streams whose every length/distance pair sits at a boundary: runs, repeats at distance 32768.
TEST(ZfedDifferential, WindowEdges)
{
    Tally tally;
    Bytes data = sampledata::random(32768, 11);
    for (int copy = 0; copy < 3; ++copy)
        data.insert(data.end(), data.begin(), data.begin() + 32768);
    for (const std::size_t size : {1u, 2u, 3u, 258u, 259u, 32767u, 32768u, 32769u, 65537u, 131072u})
    {
        const Bytes part(data.begin(), data.begin() + std::ptrdiff_t(size));
        const Bytes block = zfed::encodeBlock(part.data(), part.size());
        const Decoded decoded = decodeExact(block, part.size());
        EXPECT_EQ(decoded.result, int(size));
        EXPECT_TRUE(decoded.output == part) << size;
        Random rng(size);
        for (int m = 0; m < 50; ++m)
        {
            std::size_t capacity = 0;
            const Bytes mutant = mutate(block, rng, capacity);
            tally.failures += check(mutant, capacity).failed ? 1 : 0;
        }
    }
    EXPECT_EQ(tally.failures, 0);
}

} // namespace
