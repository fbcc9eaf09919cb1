#include "package/TargetIds.h"
#include "package/UpdatePackage.h"
#include "tests/PackageFiles.h"

#include <gtest/gtest.h>

using namespace packagefiles;

namespace
{

void putWord(Bytes& data, std::size_t k, std::uint32_t value)
{
    putU16(data, 2 * k, value);
}

std::uint16_t word(const Bytes& data, std::size_t k)
{
    return std::uint16_t(data[2 * k] | data[2 * k + 1] << 8);
}

Bytes withSumFixed(Bytes data);

// A firmware image of `words` words: its length in words 1 and 2 and a word sum of 0, made so
// by the last word.
Bytes firmware(std::size_t words, std::uint16_t id)
{
    Bytes data(2 * words, 0);
    for (std::size_t k = 3; k < words; ++k)
        putWord(data, k, std::uint32_t(k * 7919));
    putWord(data, 0, id);
    putWord(data, 1, std::uint32_t(words & 0xFFFF));
    putWord(data, 2, std::uint32_t(words >> 16));
    return withSumFixed(data);
}

Bytes withWord(Bytes data, std::size_t k, std::uint32_t value)
{
    putWord(data, k, value);
    return data;
}

// The same words with the last one set so that the word sum is 0 again.
Bytes withSumFixed(Bytes data)
{
    const std::size_t words = data.size() / 2;
    std::uint32_t sum = 0;
    for (std::size_t k = 0; k + 1 < words; ++k)
        sum += word(data, k);
    putWord(data, words - 1, (0x10000 - (sum & 0xFFFF)) & 0xFFFF);
    return data;
}

Bytes soundBank(std::size_t bytes, std::uint8_t flags)
{
    Bytes data(bytes, 0);
    std::memcpy(data.data(), "Bank", 4);
    putU32(data, 4, 0x00123456);
    data[144] = flags;
    return data;
}

Bytes demoBank(char version)
{
    Bytes data(64, 0);
    std::memcpy(data.data(), "DmV", 3);
    data[3] = std::uint8_t(version);
    putU32(data, 40, 0x0000BEEF);
    return data;
}

Bytes olderSoundBank()
{
    Bytes data(64, 0);
    putWord(data, 3, 0x0083);
    putWord(data, 4, 0x0012);
    return data;
}

Bytes styleBank()
{
    Bytes data(64, 0);
    std::memcpy(data.data(), "StyC", 4);
    putU32(data, 6, 10); // "StyD" at word 10
    putWord(data, 10, 0x7453);
    putWord(data, 11, 0x4479);
    return data;
}

Bytes rhythmBank()
{
    Bytes data(64, 0);
    std::memcpy(data.data(), "RtV1", 4);
    putWord(data, 4, 32); // the number of words
    putWord(data, 2, 8);  // a = 8, word a = 3, so b = 6 and word a + b + 1 = 15 is checked
    putWord(data, 8, 3);
    putWord(data, 15, 0x4E24);
    return data;
}

// An older demo or style bank: h = 2, L = 105 so that o = L - 2h - 1 = 100, E = 150; word 2h + 1
// (5) and word 2h + 5 (9) tell the kind.
Bytes olderBank(std::uint16_t word5, std::uint16_t word9)
{
    Bytes data(256, 0);
    putWord(data, 0, 2);
    putU32(data, 2, 105);
    putU32(data, 6, 150);
    putWord(data, 5, word5);
    putWord(data, 9, word9);
    putU32(data, 12, 0x1000); // demo titles: the address is this minus 4h + 2 = 10
    return data;
}

struct Case
{
    const char* what;
    Bytes data;
    std::uint16_t id;
    std::uint32_t address;
};

std::vector<Case> recognitionCases()
{
    const Bytes image = firmware(300, 0x4452);
    // An older image header: a non-zero word 2 below 65536 words, with the sum made good again.
    const Bytes oldHeader = withSumFixed(withWord(firmware(300, 0x1234), 2, 5));
    Bytes oddLength = firmware(300, 0x4452);
    oddLength.push_back(0x77); // an odd last byte belongs to no word
    const Bytes large = firmware(70000, 0x4452);
    const Bytes largeWrongHigh = withSumFixed(withWord(large, 2, 2));

    return {
        {"firmware", image, _UXRPC_FIRMWARE, 0},
        {"firmware with an odd length", oddLength, _UXRPC_FIRMWARE, 0},
        {"firmware of more than 65535 words", large, _UXRPC_FIRMWARE, 0},
        {"firmware with one word changed", withWord(image, 100, 1), _UXRPC_UNKNOWN, 0},
        {"secondary firmware", firmware(300, 0x6471), 0x6471, 0},
        {"older firmware header", oldHeader, _UXRPC_FIRMWARE, 0},
        {"large image whose word 2 is wrong", largeWrongHigh, _UXRPC_UNKNOWN, 0},
        {"sound bank of 463 bytes", soundBank(463, 0), _UXRPC_UNKNOWN, 0},
        {"sound bank", soundBank(464, 0x10), _UXRPC_SOUNDBANK, 0x00123456},
        {"sound bank, 2k NAND", soundBank(464, 0x08), _UXRPC_SOUNDBANK_NAND2k, 0x00123456},
        {"sound bank, 4k NAND", soundBank(464, 0x18), _UXRPC_SOUNDBANK_NAND4k, 0x00123456},
        {"demo bank 4", demoBank('4'), _UXRPC_DEMODATA, 0xBEEF},
        {"demo bank 3", demoBank('3'), _UXRPC_DEMODATA, 0},
        {"older sound bank", olderSoundBank(), _UXRPC_SOUNDBANK, 0x00120083},
        {"style bank", styleBank(), _UXRPC_STYLEDATA, 0},
        {"style bank pointing past its head", withWord(styleBank(), 3, 0x4000), _UXRPC_UNKNOWN, 0},
        {"rhythm bank", rhythmBank(), _UXRPC_RHYTHMDATA, 0},
        {"rhythm bank with a wrong word count", withWord(rhythmBank(), 4, 31), _UXRPC_UNKNOWN, 0},
        {"older demo bank", olderBank(0xF9FA, 1), _UXRPC_DEMODATA, 100},
        {"older demo bank with titles", olderBank(0x4E24, 1), _UXRPC_DEMODATA, 0x1000 - 10},
        {"older style bank", olderBank(1, 0), _UXRPC_STYLEDATA, 100},
        {"older bank of neither kind", olderBank(1, 1), _UXRPC_UNKNOWN, 0},
        {"eight bytes", Bytes(8, 0x83), _UXRPC_UNKNOWN, 0},
        {"nothing", Bytes(), _UXRPC_UNKNOWN, 0},
    };
}

class ClassifyTest : public PackageFolder
{
};

// Every recogniser, on the item stored as it is and compressed: both paths read the same data.
TEST_F(ClassifyTest, RecognisesEveryKindOfItemStoredOrCompressed)
{
    for (bool compress : {false, true})
    {
        for (const Case& c : recognitionCases())
        {
            const auto bytes =
                build({entry("item", c.data, compress && !c.data.empty())}, version(256));
            UpdatePackage package;
            const juce::File file = write(bytes);
            ASSERT_TRUE(package.load(0, juce::uint32(bytes.size()), file)) << c.what;
            const PackageItem& item = package.getItem(0);
            EXPECT_EQ(item.targetId, c.id) << c.what << (compress ? ", compressed" : ", stored");
            EXPECT_EQ(item.targetAddress, c.address)
                << c.what << (compress ? ", compressed" : ", stored");
        }
    }
}

TEST_F(ClassifyTest, DataThatCannotBeReadOrDecodedLeavesNoTarget)
{
    const Bytes image = firmware(300, 0x4452);
    struct Damage
    {
        const char* what;
        bool compress;
        std::function<void(Bytes&, std::size_t /*data start*/)> apply;
    };
    const Damage damages[] = {
        {"undecodable block", true, [](Bytes& b, std::size_t at) { b[at + 12] = 0x01; }},
        {"block longer than its stored size", true,
         [](Bytes& b, std::size_t) { putU32(b, 12, 20); }},
        {"block cut short by the file's end", true,
         [](Bytes& b, std::size_t at) { b.resize(at + 40); }},
        {"stored data cut short by the file's end", false,
         [](Bytes& b, std::size_t at) { b.resize(at + 100); }},
        {"block claiming a huge decoded size", true,
         [](Bytes& b, std::size_t at) { putU32(b, at + 4, 0xFFFFFFF0); }},
    };
    for (const Damage& d : damages)
    {
        Bytes bytes = build({entry("image", image, d.compress)}, version(256));
        ASSERT_TRUE(bytes.size() > 0);
        const std::size_t dataStart = 2 * getU32(bytes, 8);
        if (std::string(d.what) == "block claiming a huge decoded size")
            putU32(bytes, 8 + 8, 0xFFFFFFF0); // the entry agrees with the block
        d.apply(bytes, dataStart);
        const juce::File file = write(bytes);
        PackageItem item;
        item.file = file;
        item.dataOffset = juce::uint32(dataStart);
        item.storedSize = getU32(bytes, 8 + 4);
        item.decodedSize = getU32(bytes, 8 + 8);
        item.targetId = 7;
        item.targetAddress = 7;
        item.classify();
        EXPECT_EQ(item.targetId, 0) << d.what;
        EXPECT_EQ(item.targetAddress, 0u) << d.what;
    }

    PackageItem missing;
    missing.file = folder.getChildFile("absent.zz");
    missing.decodedSize = 600;
    missing.targetId = 3;
    missing.classify();
    EXPECT_EQ(missing.targetId, 0);
}

} // namespace
