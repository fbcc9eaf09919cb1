#include "package/UpdatePackage.h"
#include "tests/PackageFiles.h"

#include <gtest/gtest.h>

using namespace packagefiles;

namespace
{

// A sound bank head: "Bank", its address at byte 4, flags 0 (plain sound bank).
Bytes soundBank(std::uint32_t address)
{
    Bytes data(600, 0);
    std::memcpy(data.data(), "Bank", 4);
    putU32(data, 4, address);
    return data;
}

class UpdatePackageTest : public PackageFolder
{
protected:
    // Loads the whole file as the package.
    bool load(const juce::File& file)
    {
        return package.load(0, juce::uint32(file.getSize()), file);
    }

    // Fills the list first, so that a rejection visibly empties it.
    void expectRejected(const Bytes& bytes, const std::string& why)
    {
        const juce::File good = write(build({entry("good", Bytes(16, 1))}), "good.zz");
        ASSERT_TRUE(load(good));
        ASSERT_EQ(package.getNumItems(), 1);
        EXPECT_FALSE(load(write(bytes, "bad.zz"))) << why;
        EXPECT_EQ(package.getNumItems(), 0) << why;
    }

    UpdatePackage package;
};

TEST_F(UpdatePackageTest, ReadsEveryVersionsLayout)
{
    struct Case
    {
        std::uint16_t version;
        std::size_t headerLength;
        std::size_t entryLength;
        bool entryTargets;
    };
    for (const Case& c : {Case{256, 8, 16, false}, Case{300, 8, 32, false}, Case{512, 8, 32, true},
                          Case{528, 16, 32, true}})
    {
        Bytes bytes =
            build({entry("first", soundBank(0x1234)), entry("second", Bytes(20, 7), true)},
                  version(c.version));
        if (c.entryLength == 32)
        {
            // Target id 9, address 0x5000, title "T" at the first name's place: read from version
            // 512 on, and ignored below it.
            const std::size_t firstEntry = c.headerLength;
            putU16(bytes, firstEntry + 14, 9);
            putU32(bytes, firstEntry + 20, 0x5000);
            putU16(bytes, firstEntry + 24, bytes[firstEntry + 12] | bytes[firstEntry + 13] << 8);
        }
        ASSERT_TRUE(load(write(bytes))) << c.version;
        ASSERT_EQ(package.getNumItems(), 2);
        const PackageItem& first = package.getItem(0);
        const PackageItem& second = package.getItem(1);
        EXPECT_EQ(first.name, "first");
        EXPECT_EQ(second.name, "second");
        EXPECT_EQ(first.dataOffset, 2 * getU32(bytes, c.headerLength));
        EXPECT_EQ(second.dataOffset, 2 * getU32(bytes, c.headerLength + c.entryLength));
        EXPECT_EQ(first.storedSize, 0u);
        EXPECT_EQ(first.decodedSize, 600u);
        EXPECT_EQ(second.storedSize, getU32(bytes, c.headerLength + c.entryLength + 4));
        EXPECT_GT(second.storedSize, 12u);
        EXPECT_EQ(second.decodedSize, 20u);
        if (c.entryTargets)
        {
            EXPECT_EQ(first.targetId, 9);
            EXPECT_EQ(first.targetAddress, 0x5000u);
            EXPECT_EQ(first.title, "first");
        }
        else
        {
            EXPECT_EQ(first.targetId, 16) << "derived from the contents";
            EXPECT_EQ(first.targetAddress, 0x1234u);
            EXPECT_TRUE(first.title.isEmpty());
        }
    }
}

TEST_F(UpdatePackageTest, EntryTargetsWinOverTheDerivedOnesFromVersion512)
{
    zfed::PackageEntry bank = entry("bank", soundBank(0x1234), true);
    bank.targetId = 0;
    bank.targetAddress = 0;
    zfed::PackageEntry broken = entry("broken", Bytes(64, 3), true);
    broken.targetId = 0x42;
    broken.targetAddress = 0x777;
    Bytes bytes = build({bank, broken});
    bytes[2 * getU32(bytes, 16 + 32) + 20] ^= 0xFF; // the second block no longer decodes

    ASSERT_TRUE(load(write(bytes)));
    EXPECT_EQ(package.getItem(0).targetId, 0) << "the entry says 0, whatever the contents say";
    EXPECT_EQ(package.getItem(0).targetAddress, 0u);
    EXPECT_EQ(package.getItem(1).targetId, 0x42);
    EXPECT_EQ(package.getItem(1).targetAddress, 0x777u);
}

TEST_F(UpdatePackageTest, RejectsWhatItsChecksRefuse)
{
    const Bytes good = build({entry("a", Bytes(16, 1), true)});
    struct Case
    {
        const char* why;
        std::function<void(Bytes&)> damage;
    };
    const Case cases[] = {
        {"magic", [](Bytes& b) { b[2] = '+'; }},
        {"version 529", [](Bytes& b) { putU16(b, 4, 529); }},
        {"no entries", [](Bytes& b) { putU16(b, 6, 0); }},
        {"64 entries", [](Bytes& b) { putU16(b, 6, 64); }},
        {"first data offset 0", [](Bytes& b) { putU32(b, 16, 0); }},
        {"first data one byte beyond the package", [](Bytes& b) { b.pop_back(); }},
        {"header length shorter than its fields", [](Bytes& b) { putU16(b, 8, 5); }},
        {"entry length shorter than its fields", [](Bytes& b) { putU16(b, 10, 12); }},
        {"entry table beyond the package", [](Bytes& b) { putU16(b, 10, 0x7000); }},
        {"name without its zero in the package",
         [](Bytes& b) { putU16(b, 16 + 12, std::uint32_t(b.size() / 2 - 1)); }},
        {"title without its zero in the package",
         [](Bytes& b) { putU16(b, 16 + 24, std::uint32_t(b.size() / 2 - 1)); }},
        {"name beyond the package", [](Bytes& b) { putU16(b, 16 + 12, 0xFFFF); }},
        {"too short for a header", [](Bytes& b) { b.resize(7); }},
    };
    for (const Case& c : cases)
    {
        Bytes bad = good;
        // A package whose item is all ones has no zero byte after its name's place.
        std::fill(bad.begin() + std::ptrdiff_t(2 * getU32(bad, 16)), bad.end(), 1);
        c.damage(bad);
        expectRejected(bad, c.why);
    }
}

TEST_F(UpdatePackageTest, FirstEntryMayEndExactlyAtThePackagesEnd)
{
    Bytes bytes = build({entry("a", Bytes(16, 1), true)});
    const juce::File file = write(bytes);
    EXPECT_TRUE(package.load(0, juce::uint32(bytes.size()), file));
    EXPECT_FALSE(package.load(0, juce::uint32(bytes.size() - 1), file));
}

TEST_F(UpdatePackageTest, NeverReadsPastThePackageEvenWhereTheFileGoesOn)
{
    // The name's terminating zero lies in the file, but only after the package's end.
    Bytes bytes = build({entry("a", Bytes(16, 1))});
    const std::size_t data = 2 * getU32(bytes, 16);
    putU16(bytes, 16 + 12, std::uint32_t(data / 2)); // the name is the item's data
    const std::size_t packageSize = bytes.size();
    bytes.push_back(0);
    const juce::File file = write(bytes);
    EXPECT_FALSE(package.load(0, juce::uint32(packageSize), file));
    EXPECT_TRUE(package.load(0, juce::uint32(packageSize + 1), file));

    // A size beyond the file's end is not trusted either.
    EXPECT_FALSE(
        package.load(0, juce::uint32(packageSize + 1000),
                     write(Bytes(bytes.begin(), bytes.begin() + std::ptrdiff_t(data + 8)))));
}

TEST_F(UpdatePackageTest, AcceptsSixtyThreeEntriesAndGrowsItsStorageInSteps)
{
    for (int items : {1, 8, 9, 17, 33, 63})
    {
        std::vector<zfed::PackageEntry> entries;
        for (int i = 0; i < items; ++i)
            entries.push_back(
                entry("item" + std::to_string(i), Bytes(std::size_t(10 + i), 5), i % 2));
        const Bytes bytes = build(entries);
        ASSERT_TRUE(load(write(bytes))) << items;
        ASSERT_EQ(package.getNumItems(), items);
        EXPECT_EQ(package.getCapacity(), items <= 8 ? 8 : items <= 16 ? 16 : items <= 32 ? 32 : 64);
        for (int i = 0; i < items; ++i)
        {
            const std::size_t e = 16 + std::size_t(i) * 32;
            const PackageItem& item = package.getItem(i);
            EXPECT_EQ(item.name, juce::String("item") + juce::String(i));
            EXPECT_EQ(item.dataOffset, 2 * getU32(bytes, e));
            EXPECT_EQ(item.storedSize, getU32(bytes, e + 4));
            EXPECT_EQ(item.decodedSize, juce::uint32(10 + i));
        }
    }
    package.clear(true);
    EXPECT_EQ(package.getCapacity(), 0);
}

TEST_F(UpdatePackageTest, RepeatedNamesFillOneItemAndCaseMatters)
{
    zfed::PackageEntry first = entry("Name", Bytes(16, 1));
    first.title = "First title";
    zfed::PackageEntry other = entry("name", Bytes(18, 2));
    zfed::PackageEntry second = entry("Name2", Bytes(20, 3));
    Bytes bytes = build({first, other, second});
    // Rename the third entry "Name": it then repeats the first one and has no title.
    bytes[2 * (bytes[16 + 64 + 12] | bytes[16 + 64 + 13] << 8) + 4] = 0;

    ASSERT_TRUE(load(write(bytes)));
    ASSERT_EQ(package.getNumItems(), 2);
    EXPECT_EQ(package.getItem(0).name, "Name");
    EXPECT_EQ(package.getItem(0).decodedSize, 20u) << "the later entry's values";
    EXPECT_EQ(package.getItem(0).dataOffset, 2 * getU32(bytes, 16 + 64));
    EXPECT_EQ(package.getItem(0).title, "First title") << "kept, the later entry has none";
    EXPECT_EQ(package.getItem(1).name, "name");
}

TEST_F(UpdatePackageTest, TextsAreIsoLatin1)
{
    zfed::PackageEntry e = entry(std::string("Klang\xE9\xFF"), Bytes(16, 1));
    e.title = "Sch\xF6n";
    ASSERT_TRUE(load(write(build({e}))));
    EXPECT_EQ(package.getItem(0).name,
              juce::String(juce::CharPointer_UTF8("Klang\xc3\xa9\xc3\xbf")));
    EXPECT_EQ(package.getItem(0).title, juce::String(juce::CharPointer_UTF8("Sch\xc3\xb6n")));
}

TEST_F(UpdatePackageTest, SortsByRangeIndexKeepingEqualOnesInOrder)
{
    ASSERT_TRUE(load(write(build({entry("a", Bytes(10, 1)), entry("b", Bytes(10, 1)),
                                  entry("c", Bytes(10, 1)), entry("d", Bytes(10, 1))}))));
    const juce::uint16 ranges[] = {2, 0, 2, 1};
    for (int i = 0; i < 4; ++i)
        package.getItem(i).rangeIndex = ranges[i];
    package.sortByRangeIndex();
    juce::String order;
    for (int i = 0; i < 4; ++i)
        order << package.getItem(i).name << package.getItem(i).rangeIndex;
    EXPECT_EQ(order, "b0d1a2c2");
}

TEST_F(UpdatePackageTest, APackageInsideALargerFileIsReadAtItsOffset)
{
    const Bytes bytes = build({entry("bank", soundBank(0xABCD), true)}, version(256));
    Bytes file(4097 + bytes.size() + 300, 0xEE);
    std::copy(bytes.begin(), bytes.end(), file.begin() + 4097);
    const juce::File carrier = write(file, "carrier.bin");
    ASSERT_TRUE(package.load(4097, juce::uint32(bytes.size()), carrier));
    EXPECT_EQ(package.getItem(0).packageOffset, 4097u);
    EXPECT_EQ(package.getItem(0).targetId, 16);
    EXPECT_EQ(package.getItem(0).targetAddress, 0xABCDu);
}

} // namespace
