#pragma once

// Package files for the reader's tests: written with our own package writer into a folder that
// lives as long as the test, then patched byte by byte where a test needs a malformed one.

#include "tools/zfed/PackageWriter.h"

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace packagefiles
{

using Bytes = std::vector<std::uint8_t>;

inline void putU16(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    bytes.at(at) = std::uint8_t(value);
    bytes.at(at + 1) = std::uint8_t(value >> 8);
}

inline void putU32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    putU16(bytes, at, value & 0xFFFF);
    putU16(bytes, at + 2, value >> 16);
}

inline std::uint32_t getU32(const Bytes& bytes, std::size_t at)
{
    return std::uint32_t(bytes.at(at)) | std::uint32_t(bytes.at(at + 1)) << 8 |
           std::uint32_t(bytes.at(at + 2)) << 16 | std::uint32_t(bytes.at(at + 3)) << 24;
}

inline zfed::PackageEntry entry(std::string name, Bytes data, bool compress = false)
{
    zfed::PackageEntry e;
    e.name = std::move(name);
    e.data = std::move(data);
    e.compress = compress;
    return e;
}

inline Bytes build(const std::vector<zfed::PackageEntry>& entries, zfed::PackageLayout layout = {})
{
    Bytes package;
    std::string error;
    EXPECT_TRUE(zfed::writePackage(entries, layout, package, error)) << error;
    return package;
}

inline zfed::PackageLayout version(std::uint16_t v)
{
    zfed::PackageLayout layout;
    layout.version = v;
    return layout;
}

// A fresh folder per test, removed afterwards.
class PackageFolder : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Test processes run side by side: the process id keeps their folders apart.
        folder = juce::File::getSpecialLocation(juce::File::tempDirectory)
                     .getChildFile("zanto-test-" + juce::String(int(getpid())) + "-" +
                                   juce::String::toHexString(juce::Random().nextInt64()));
        ASSERT_TRUE(folder.createDirectory());
    }

    void TearDown() override { folder.deleteRecursively(); }

    juce::File write(const Bytes& bytes, const juce::String& name = "package.zz")
    {
        const juce::File file = folder.getChildFile(name);
        EXPECT_TRUE(file.replaceWithData(bytes.data(), bytes.size()));
        return file;
    }

    juce::File folder;
};

} // namespace packagefiles
