#include "package/PackageLocation.h"
#include "tests/fixtures/ElfImageBuilder.h"
#include "tests/fixtures/ScratchFolder.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
bool runTool(const juce::StringArray& command)
{
    juce::ChildProcess process;
    return process.start(command, 0) && process.waitForProcessToFinish(60000) &&
           process.getExitCode() == 0;
}

using Finder = bool (*)(const juce::String&, PackageLocation&);

void expectEmbedded(Finder find, const juce::File& executable, const std::vector<uint8_t>& data)
{
    PackageLocation location;
    ASSERT_TRUE(find(executable.getFullPathName(), location));
    EXPECT_EQ(location.file, executable);
    EXPECT_EQ(readRange(executable, location.offset, location.size), data);
}
} // namespace

TEST(ElfSection, FindsTheSectionsThatObjcopyAddsAlsoAfterStrip)
{
    ScratchFolder scratch;
    const auto executable = scratch.folder().getChildFile("Updater");
    ASSERT_TRUE(
        juce::File::getSpecialLocation(juce::File::currentExecutableFile).copyFileTo(executable));
    const auto package = bytesOf("Za*Z package bytes in an ELF section");
    const auto branding = bytesOf("PK branding bytes in an ELF section");
    const auto packageFile = scratch.write("package.bin", package);
    const auto brandingFile = scratch.write("branding.bin", branding);
    const auto addSection = [&](const juce::String& name, const juce::File& contents)
    {
        return runTool({ZANTO_OBJCOPY, "--add-section", name + "=" + contents.getFullPathName(),
                        "--set-section-flags", name + "=noload,readonly",
                        executable.getFullPathName()});
    };

    PackageLocation location;
    EXPECT_FALSE(findEmbeddedPackage(executable.getFullPathName(), location));

    ASSERT_TRUE(addSection(".Archive", packageFile));
    expectEmbedded(findEmbeddedPackage, executable, package);
    EXPECT_FALSE(findEmbeddedBranding(executable.getFullPathName(), location));

    ASSERT_TRUE(runTool({ZANTO_STRIP, executable.getFullPathName()}));
    expectEmbedded(findEmbeddedPackage, executable, package);

    ASSERT_TRUE(addSection(".ZantoUpdater", brandingFile));
    expectEmbedded(findEmbeddedBranding, executable, branding);
    expectEmbedded(findEmbeddedPackage, executable, package);
}

TEST(ElfSection, StaysInsideTheFileWhateverTheHeadersSay)
{
    const auto payload = bytesOf("Za*Z package bytes");
    constexpr size_t archive = 2;

    struct Case
    {
        const char* what;
        std::function<void(ElfImage&)> change;
        bool found;
    };
    const Case cases[] = {
        {"intact", [](ElfImage&) {}, true},
        {"section count kept in section 0",
         [](ElfImage& elf)
         {
             elf.set(elf.sectionSize(0), elf.get(elf.sectionCount()));
             elf.set(elf.sectionCount(), 0);
         },
         true},
        {"name table index kept in section 0",
         [](ElfImage& elf)
         {
             elf.set(elf.sectionLink(0), elf.nameTable);
             elf.set(elf.nameTableIndex(), 0xffff);
         },
         true},
        {"no magic",
         [](ElfImage& elf) {
             elf.set({1, 1}, 'e');
         },
         false},
        {"an unknown class", [](ElfImage& elf) { elf.set(ElfImage::elfClass(), 3); }, false},
        {"big-endian", [](ElfImage& elf) { elf.set(ElfImage::dataEncoding(), 2); }, false},
        {"no section table", [](ElfImage& elf) { elf.set(elf.sectionTable(), 0); }, false},
        {"section table beyond the file",
         [](ElfImage& elf) { elf.set(elf.sectionTable(), elf.bytes.size()); }, false},
        {"section table running past the end",
         [](ElfImage& elf) { elf.set(elf.sectionCount(), elf.get(elf.sectionCount()) + 1); },
         false},
        {"huge section count kept in section 0",
         [](ElfImage& elf)
         {
             elf.set(elf.sectionSize(0), 0xffffffff);
             elf.set(elf.sectionCount(), 0);
         },
         false},
        {"entries smaller than a section header",
         [](ElfImage& elf) { elf.set(elf.entrySize(), elf.is64 ? 63 : 39); }, false},
        {"name table index out of range",
         [](ElfImage& elf) { elf.set(elf.nameTableIndex(), elf.get(elf.sectionCount())); }, false},
        {"name table beyond the file",
         [](ElfImage& elf) { elf.set(elf.sectionOffset(elf.nameTable), elf.bytes.size()); }, false},
        {"name whose zero lies outside the name table",
         [](ElfImage& elf)
         {
             const auto size = elf.sectionSize(elf.nameTable);
             elf.set(size, elf.get(size) - 1);
         },
         false},
        {"name offset beyond the name table",
         [](ElfImage& elf)
         { elf.set(elf.sectionName(archive), elf.get(elf.sectionSize(elf.nameTable))); },
         false},
        {"section without bytes in the file",
         [](ElfImage& elf) { elf.set(elf.sectionType(archive), 8); }, false},
        {"section bytes beyond the file",
         [](ElfImage& elf) { elf.set(elf.sectionSize(archive), elf.bytes.size()); }, false},
    };

    ScratchFolder scratch;
    for (const bool is64 : {false, true})
    {
        const auto intact = buildElfImage(is64, {{".text", {0xc3}}, {".Archive", payload}});
        for (const auto& c : cases)
        {
            SCOPED_TRACE(std::string(is64 ? "ELF64: " : "ELF32: ") + c.what);
            auto elf = intact;
            c.change(elf);
            const auto file = scratch.write("Updater", elf.bytes);
            PackageLocation location;
            ASSERT_EQ(findEmbeddedPackage(file.getFullPathName(), location), c.found);
            if (c.found)
            {
                EXPECT_EQ(location.offset, intact.sectionData[archive]);
                EXPECT_EQ(location.size, payload.size());
            }
        }
    }
}
