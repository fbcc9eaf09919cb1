#include "package/PackageLocation.h"
#include "tests/fixtures/PeImageBuilder.h"
#include "tests/fixtures/ScratchFolder.h"

#include <gtest/gtest.h>

#include <optional>

TEST(SideFile, IsNamedAfterTheExecutableInItsFolder)
{
    struct Case
    {
        const char* executable;
        const char* sideFile;
    };
    const Case cases[] = {
        {"/opt/zanto/Updater.exe", "/opt/zanto/Updater.zz"},
        {"/opt/zanto/pkg.beta.exe", "/opt/zanto/pkg.beta.zz"},
        {"/opt/zanto/Updater", "/opt/zanto/Updater.zz"},
        {"/opt/zanto/.hidden", "/opt/zanto/.hidden.zz"},
        {"/opt/zanto/Updater.", "/opt/zanto/Updater.zz"},
        {"/opt/zan.to/Updater", "/opt/zan.to/Updater.zz"},
        {"/Updater.exe", "/Updater.zz"},
    };

    for (const auto& c : cases)
        EXPECT_EQ(sideFilePath(c.executable), juce::String(c.sideFile)) << c.executable;
}

TEST(EmbeddedPackage, IsOnlyLookedForInPlainFilesOfAKnownFormat)
{
    ScratchFolder scratch;
    const auto script = scratch.write("script", bytesOf("#!/bin/sh\nexit 0\n"));
    const auto tiny = scratch.write("tiny", bytesOf("M"));
    const auto folder = scratch.folder().getChildFile("Updater.exe");
    ASSERT_TRUE(folder.createDirectory());

    for (const auto& path :
         {juce::String(), script.getFullPathName(), tiny.getFullPathName(),
          folder.getFullPathName(), scratch.folder().getChildFile("missing.exe").getFullPathName()})
    {
        PackageLocation location;
        EXPECT_FALSE(findEmbeddedPackage(path, location)) << path;
        EXPECT_FALSE(findEmbeddedBranding(path, location)) << path;
    }
}

TEST(LocatePackage, PrefersTheEmbeddedPackageToTheSideFile)
{
    ScratchFolder scratch;
    const auto payload = bytesOf("Za*Z embedded");
    const auto image = buildPeImage(peLayoutWith(u"ARCHIVE", payload));
    const auto executable = scratch.write("Updater.exe", image.bytes);
    scratch.write("Updater.zz", bytesOf("Za*Z side file"));

    const auto lookup = locatePackageFor(executable);
    ASSERT_TRUE(lookup.found);
    EXPECT_EQ(lookup.location.file, executable);
    EXPECT_EQ(lookup.location.offset, image.types[0].resources[0].languages[0].data);
    EXPECT_EQ(lookup.location.size, payload.size());
}

TEST(LocatePackage, FallsBackToAPlainSideFileOfAnySize)
{
    struct Case
    {
        const char* what;
        std::optional<std::vector<uint8_t>> sideFile; // none: a folder of that name
    };
    const Case cases[] = {
        {"a side file", bytesOf("Za*Z side file")},
        {"an empty side file", std::vector<uint8_t>()},
        {"a folder named like the side file", std::nullopt},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        // Without the "Archive" resource the executable does not carry the package.
        const auto executable = scratch.write(
            "Updater.exe", buildPeImage(peLayoutWith(u"BRANDING", bytesOf("other"))).bytes);
        const auto sideFile = scratch.folder().getChildFile("Updater.zz");
        if (c.sideFile)
            scratch.write("Updater.zz", *c.sideFile);
        else
            ASSERT_TRUE(sideFile.createDirectory());

        const auto lookup = locatePackageFor(executable);
        EXPECT_EQ(lookup.sideFile, sideFile.getFullPathName());
        ASSERT_EQ(lookup.found, c.sideFile.has_value());
        if (lookup.found)
        {
            EXPECT_EQ(lookup.location.file, sideFile);
            EXPECT_EQ(lookup.location.offset, 0u);
            EXPECT_EQ(lookup.location.size, c.sideFile->size());
        }
    }
}

TEST(LocatePackage, LooksBesideTheRunningExecutable)
{
    const auto self = juce::File::getSpecialLocation(juce::File::currentExecutableFile);
    const auto lookup = locatePackage();
    EXPECT_FALSE(lookup.found);
    EXPECT_EQ(lookup.sideFile,
              self.getSiblingFile(self.getFileNameWithoutExtension() + ".zz").getFullPathName());
}
