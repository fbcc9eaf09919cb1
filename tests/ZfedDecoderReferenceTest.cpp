#include "package/ZfedDecoder.h"
#include "tests/DeflateBits.h"
#include "tests/DeflateWalker.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <random>

// The decoder looks codes up in tables instead of reading bit by bit; its answers, failures
// included, must still be the ones the bit-by-bit walk of the rules give. zlib's raw streams, most of them
// dynamic, and their mutations give both plenty of valid and broken input.

namespace
{

std::vector<std::uint8_t> sampleData(std::mt19937& random, std::size_t size)
{
    std::vector<std::uint8_t> data(size);
    const int kind = int(random() % 4);
    for (std::size_t i = 0; i < size; ++i)
    {
        switch (kind)
        {
        case 0: // text-like: a small alphabet with repeats
            data[i] = std::uint8_t("etaoin shrdlu\n"[random() % 14]);
            break;
        case 1: // 16-bit samples of a slow wave with noise
            data[i] = std::uint8_t(i % 2 ? (i / 64) % 256 : random() % 8);
            break;
        case 2: // runs
            data[i] = i > 0 && random() % 16 != 0 ? data[i - 1] : std::uint8_t(random());
            break;
        default: // noise
            data[i] = std::uint8_t(random());
        }
    }
    return data;
}

std::vector<std::uint8_t> rawDeflate(const std::vector<std::uint8_t>& data, int level, int strategy)
{
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK)
        return {};
    std::vector<std::uint8_t> out(deflateBound(&z, uLong(data.size())) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void expectSameAnswer(const std::vector<std::uint8_t>& block, const char* what, int round)
{
    std::uint32_t declared = 0;
    std::memcpy(&declared, block.data() + 4, 4);
    const std::size_t capacity = std::min<std::size_t>(declared, 1u << 20);

    auto input = std::make_unique<std::uint8_t[]>(block.size());
    std::memcpy(input.get(), block.data(), block.size());
    auto output = std::make_unique<std::uint8_t[]>(capacity);
    const int actual = decodeBlock(input.get(), block.size(), output.get(), capacity);

    const deflatewalk::Walk walk = deflatewalk::walkBlock(block.data(), block.size(), capacity);
    const int expected = walk.result;
    const std::vector<std::uint8_t>& expectedBytes = walk.output;

    ASSERT_EQ(actual, expected) << what << ", round " << round;
    if (actual > 0)
    {
        ASSERT_EQ(0, std::memcmp(output.get(), expectedBytes.data(), std::size_t(actual)))
            << what << ", round " << round;
    }
}

TEST(ZfedDecoderReference, AnswersAsTheBitByBitRulesDoOnValidAndMutatedStreams)
{
    std::mt19937 random(20261211);
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE};
    int successes = 0;
    for (int round = 0; round < 160; ++round)
    {
        const std::size_t size = 1 + random() % (round % 8 == 0 ? 60000 : 3000);
        const auto data = sampleData(random, size);
        const auto payload = rawDeflate(data, 1 + int(random() % 9), strategies[random() % 4]);
        const auto block = deflatebits::zfedBlock(payload, std::uint32_t(data.size()));
        expectSameAnswer(block, "unchanged", round);
        successes += deflatewalk::walkBlock(block.data(), block.size(), data.size()).result > 0;

        for (int m = 0; m < 40; ++m)
        {
            auto mutated = block;
            const std::size_t payloadBytes = mutated.size() - zfedHeaderSize;
            // Most mutations go to the block headers near the start, where the codes are defined.
            const std::size_t reach =
                m % 2 ? std::min<std::size_t>(payloadBytes, 64) : payloadBytes;
            switch (m % 5)
            {
            case 0:
            case 1:
                mutated[zfedHeaderSize + random() % reach] ^= std::uint8_t(1u << (random() % 8));
                break;
            case 2:
                mutated[zfedHeaderSize + random() % reach] = std::uint8_t(random());
                break;
            case 3:
            {
                mutated.resize(zfedHeaderSize + random() % payloadBytes);
                const std::uint32_t blockSize = std::uint32_t(mutated.size());
                std::memcpy(mutated.data() + 8, &blockSize, 4);
                break;
            }
            default:
            {
                const std::uint32_t decodedSize = std::uint32_t(data.size() + random() % 3) - 1;
                std::memcpy(mutated.data() + 4, &decodedSize, 4);
            }
            }
            expectSameAnswer(mutated, "mutated", round);
        }
    }
    // Most unchanged streams of this mix are dynamic; the fixed and stored ones answer -1.
    EXPECT_GT(successes, 40);
}

} // namespace
