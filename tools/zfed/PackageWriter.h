#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zfed
{

// One item to be written into a package.
struct PackageEntry
{
    std::string name;  // ISO 8859-1 bytes, no zero byte
    std::string title; // ISO 8859-1 bytes; empty: no title (versions 512 and above only)
    std::vector<std::uint8_t> data;
    bool compress = true;
    std::uint16_t targetId = 0;      // versions 512 and above only
    std::uint32_t targetAddress = 0; // versions 512 and above only
    std::uint32_t timeStamp = 0;     // seconds since 1970
};

// The container version and, for version 528, its header and entry lengths in 16-bit units.
struct PackageLayout
{
    std::uint16_t version = 528;
    std::uint16_t headerUnits = 8;
    std::uint16_t entryUnits = 16;
};

constexpr std::uint16_t newestPackageVersion = 528;

// Lays out a package: header, entry table, names and titles, then every item's data at an even
// offset. Answers false with a message when the entries cannot be written in that layout.
bool writePackage(const std::vector<PackageEntry>& entries, const PackageLayout& layout,
                  std::vector<std::uint8_t>& package, std::string& error);

} // namespace zfed
