#include "package/PackageLocation.h"
#include "tests/fixtures/PeImageBuilder.h"
#include "tests/fixtures/ScratchFolder.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace
{
const std::vector<uint8_t> payload = bytesOf("Za*Z package bytes");

struct Embedded
{
    PackageLocation location;
    std::vector<uint8_t> bytes; // what the file holds at the location
};

// Writes the image and looks for its embedded package.
std::optional<Embedded> embeddedPackageOf(const std::vector<uint8_t>& image)
{
    ScratchFolder scratch;
    const auto file = scratch.write("Updater.exe", image);
    Embedded found;
    if (!findEmbeddedPackage(file.getFullPathName(), found.location))
        return std::nullopt;
    EXPECT_EQ(found.location.file, file);
    found.bytes = readRange(file, found.location.offset, found.location.size);
    return found;
}

void expectLocation(const std::optional<Embedded>& found, const PePlacedLanguage& language,
                    const std::vector<uint8_t>& data)
{
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->location.offset, language.data);
    EXPECT_EQ(found->location.size, data.size());
    EXPECT_EQ(found->bytes, data);
}
} // namespace

TEST(PeResource, MatchesTheNameWithoutCaseAfterDroppingNonAsciiAndZeroUnits)
{
    struct Case
    {
        const char* what;
        std::u16string name;
        bool found;
    };
    const Case cases[] = {
        {"upper case", u"ARCHIVE", true},
        {"lower case", u"archive", true},
        {"a unit above ASCII inside", u"ARCH\u00c9IVE", true},
        {"0x80, the lowest unit dropped", u"ARCHIVE\u0080", true},
        {"a dropped unit leaves no low byte behind", u"ARCHIVE\u0141", true},
        {"a zero unit inside", std::u16string(u"ARCH\0IVE", 8), true},
        {"0x7F, the highest unit kept", u"ARCHIVE\u007f", false},
        {"a longer name", u"ARCHIVES", false},
        {"a shorter name", u"ARCHIV", false},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const auto image = buildPeImage(peLayoutWith(c.name, payload));
        const auto found = embeddedPackageOf(image.bytes);
        if (c.found)
            expectLocation(found, image.types[0].resources[0].languages[0], payload);
        else
            EXPECT_FALSE(found.has_value());
    }
}

TEST(PeResource, TakesTheFirstLanguageOfTheFirstRawDataResourceOfTheName)
{
    const auto other = bytesOf("other bytes");
    const PeResource archive{u"ARCHIVE", 0, {{0x409, payload}}};

    struct Case
    {
        const char* what;
        PeImageLayout layout;
        bool found;
        size_t type = 0;
        size_t resource = 0;
    };
    const Case cases[] = {
        {"only numbered raw-data resources",
         {false, {{10, {{u"", 1, {{0x409, payload}}}, {u"", 2, {{0x409, other}}}}}}},
         false},
        {"a numbered and another named resource before it",
         {false, {{10, {{u"", 1, {{0x409, other}}}, {u"BRANDING", 0, {{0x409, other}}}, archive}}}},
         true,
         0,
         2},
        {"the name under another type only", {false, {{3, {archive}}}}, false},
        {"another type before the raw-data type",
         {false, {{3, {archive}}, {10, {archive}}}},
         true,
         1},
        {"several languages, the higher id first",
         {false, {{10, {{u"ARCHIVE", 0, {{0x409, payload}, {0x407, other}}}}}}},
         true},
        {"a PE32+ image", {true, {{10, {archive}}}}, false},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const auto image = buildPeImage(c.layout);
        const auto found = embeddedPackageOf(image.bytes);
        if (c.found)
            expectLocation(found, image.types[c.type].resources[c.resource].languages[0], payload);
        else
            EXPECT_FALSE(found.has_value());
    }
}

TEST(PeResource, FollowsOnlyTheHeadersAndDirectoryEntriesItExpects)
{
    const auto intact = buildPeImage(peLayoutWith(u"ARCHIVE", payload));
    const auto& type = intact.types[0];
    const auto& resource = type.resources[0];
    const auto& language = resource.languages[0];
    const auto noEntries = [](size_t directory)
    {
        return [directory](PeImage& image)
        {
            image.set(PeImage::namedCount(directory), 0);
            image.set(PeImage::numberedCount(directory), 0);
        };
    };
    const auto flip = [](Field field, uint64_t bits)
    { return [field, bits](PeImage& image) { image.set(field, image.get(field) ^ bits); }; };

    struct Case
    {
        const char* what;
        std::function<void(PeImage&)> change;
        bool found;
    };
    const Case cases[] = {
        {"the two bytes after \"PE\" are not checked",
         [](PeImage& image) {
             image.set({image.peHeader + 2, 2}, 0x4241);
         },
         true},
        {"no MZ",
         [](PeImage& image) {
             image.set({0, 2}, 0x4d5a);
         },
         false},
        {"no PE signature",
         [](PeImage& image) {
             image.set({image.peHeader, 2}, 0x4650);
         },
         false},
        {"PE header beyond the file",
         [](PeImage& image) { image.set(image.peHeaderOffset(), image.bytes.size()); }, false},
        {"no sections", [](PeImage& image) { image.set(image.numberOfSections(), 0); }, false},
        {"no optional header", [](PeImage& image) { image.set(image.optionalHeaderSize(), 0); },
         false},
        {"PE32+ magic", [](PeImage& image) { image.set(image.optionalHeaderMagic(), 0x20b); },
         false},
        {"section name compared over all eight bytes",
         [](PeImage& image) {
             image.set({image.rsrcSectionHeader + 7, 1}, 'x');
         },
         false},
        {"no types", noEntries(intact.rootDirectory), false},
        {"the counts are added: a type counted as named is scanned",
         [](PeImage& image)
         {
             image.set(PeImage::namedCount(image.rootDirectory), 1);
             image.set(PeImage::numberedCount(image.rootDirectory), 0);
         },
         true},
        {"a named type whose low bits read 10", flip(PeImage::entryName(type.entry), 1u << 31),
         false},
        {"type entry without its directory bit", flip(PeImage::entryOffset(type.entry), 1u << 31),
         false},
        {"no names", noEntries(type.directory), false},
        {"name entry identified by a number", flip(PeImage::entryName(resource.entry), 1u << 31),
         false},
        {"name entry without its directory bit",
         flip(PeImage::entryOffset(resource.entry), 1u << 31), false},
        {"no languages", noEntries(resource.directory), false},
        {"language entry with the directory bit",
         flip(PeImage::entryOffset(language.entry), 1u << 31), false},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        auto image = intact;
        c.change(image);
        const auto found = embeddedPackageOf(image.bytes);
        if (c.found)
            expectLocation(found, language, payload);
        else
            EXPECT_FALSE(found.has_value());
    }
}

// Name fields may point into each other's units. The second name below starts inside the first;
// the first is refused only at its last unit, after the walk has seen the runs of dropped units
// that the second one consists of around "ARCHIVE".
TEST(PeResource, ComparesNamesThatShareTheirUnits)
{
    std::u16string outer(1, char16_t(146)); // as the inner name's length: 146 units
    outer += u"\u00e9\u00e9\u00e9\u00e9ARCHIVE";
    outer += std::u16string(135, u'\0');
    outer += u"X";
    const auto other = bytesOf("other bytes");
    auto image = buildPeImage(
        {false, {{10, {{outer, 0, {{0x409, other}}}, {u"INNER", 0, {{0x409, payload}}}}}}});
    const auto& resources = image.types[0].resources;
    image.set(PeImage::entryName(resources[1].entry),
              (1u << 31) | (resources[0].nameString + 2 - image.rootDirectory));

    expectLocation(embeddedPackageOf(image.bytes), resources[1].languages[0], payload);
}

TEST(PeResource, ReadsWhatATruncatedFileLacksAsZero)
{
    const auto intact = buildPeImage(peLayoutWith(u"ARCHIVE", payload));
    const auto& resource = intact.types[0].resources[0];
    const auto& language = resource.languages[0];

    struct Case
    {
        const char* what;
        size_t length;
        bool found;
        juce::uint32 size = 0;
    };
    const Case cases[] = {
        {"inside the PE header offset", 0x3e, false},
        {"inside the .rsrc section header", intact.rsrcSectionHeader + 30, false},
        {"inside the root directory's counts", intact.rootDirectory + 13, false},
        {"inside the resource name", resource.nameString + 6, false},
        // The reader of the package bytes rejects what the walk lets through here.
        {"inside the data entry's size", language.dataEntry + 6, true, 0},
        {"inside the package bytes", language.data + 3, true, (juce::uint32)payload.size()},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        auto bytes = intact.bytes;
        bytes.resize(c.length);
        const auto found = embeddedPackageOf(bytes);
        ASSERT_EQ(found.has_value(), c.found);
        if (c.found)
        {
            EXPECT_EQ(found->location.offset, language.data);
            EXPECT_EQ(found->location.size, c.size);
        }
    }
}

// An executable that the mingw tool chain made, so that the walk is not only checked against our
// own generator's idea of the format.
TEST(PeResource, FindsTheResourcesOfAnExecutableLinkedByMingw)
{
    const juce::File executable(ZANTO_WINDRES_EXECUTABLE);
    const juce::File sources(ZANTO_WINDRES_SOURCES);
    const auto contentsOf = [&](const char* name)
    {
        const auto file = sources.getChildFile(name);
        return readRange(file, 0, (juce::uint32)file.getSize());
    };

    PackageLocation package;
    ASSERT_TRUE(findEmbeddedPackage(executable.getFullPathName(), package));
    EXPECT_EQ(package.file, executable);
    // windres sorts the languages, so 0x407 comes first although it was written second.
    EXPECT_EQ(readRange(executable, package.offset, package.size), contentsOf("archive-de.txt"));

    PackageLocation branding;
    ASSERT_TRUE(findEmbeddedBranding(executable.getFullPathName(), branding));
    EXPECT_EQ(readRange(executable, branding.offset, branding.size), contentsOf("branding.txt"));
}
