#include "tools/zfed/PackageWriter.h"

#include "tools/zfed/ZfedEncoder.h"

#include <set>

namespace zfed
{
namespace
{

void putU16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value)
{
    out[at] = std::uint8_t(value);
    out[at + 1] = std::uint8_t(value >> 8);
}

void putU32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value)
{
    putU16(out, at, value & 0xFFFF);
    putU16(out, at + 2, value >> 16);
}

// Appends a zero-terminated text, padded to an even length; answers its offset in 16-bit units.
std::size_t appendText(std::vector<std::uint8_t>& out, const std::string& text)
{
    const std::size_t at = out.size();
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    if (out.size() % 2 != 0)
        out.push_back(0);
    return at / 2;
}

} // namespace

bool writePackage(const std::vector<PackageEntry>& entries, const PackageLayout& layout,
                  std::vector<std::uint8_t>& package, std::string& error)
{
    package.clear();
    if (entries.empty() || entries.size() > 63)
    {
        error = "a package holds 1 to 63 items, not " + std::to_string(entries.size());
        return false;
    }
    if (layout.version > newestPackageVersion)
    {
        error = "container version " + std::to_string(layout.version) + " is newer than " +
                std::to_string(newestPackageVersion);
        return false;
    }
    const bool hasTargets = layout.version >= 512;
    std::size_t headerLength = 8;
    std::size_t entryLength = layout.version <= 256 ? 16 : 32;
    if (layout.version == newestPackageVersion)
    {
        headerLength = 2 * std::size_t(layout.headerUnits);
        entryLength = 2 * std::size_t(layout.entryUnits);
        if (headerLength < 12 || entryLength < 26)
        {
            error = "version 528 needs a header of at least 6 and entries of at least 13 units";
            return false;
        }
    }

    std::set<std::string> names;
    for (const PackageEntry& entry : entries)
    {
        if (entry.name.empty() || entry.name.find('\0') != std::string::npos ||
            entry.title.find('\0') != std::string::npos)
        {
            error =
                "item names must be non-empty and neither names nor titles may hold a zero byte";
            return false;
        }
        if (!names.insert(entry.name).second)
        {
            error = "the item name \"" + entry.name + "\" is used twice";
            return false;
        }
        if (!hasTargets &&
            (!entry.title.empty() || entry.targetId != 0 || entry.targetAddress != 0))
        {
            error = "item \"" + entry.name +
                    "\": titles and targets need container version 512 or "
                    "above; older devices derive the target from the item's contents";
            return false;
        }
    }

    package.assign(headerLength + entries.size() * entryLength, 0);
    package[0] = 'Z';
    package[1] = 'a';
    package[2] = '*';
    package[3] = 'Z';
    putU16(package, 4, layout.version);
    putU16(package, 6, std::uint32_t(entries.size()));
    if (layout.version == newestPackageVersion)
    {
        putU16(package, 8, layout.headerUnits);
        putU16(package, 10, layout.entryUnits);
    }

    for (std::size_t i = 0; i < entries.size(); ++i)
    {
        const std::size_t entry = headerLength + i * entryLength;
        const std::size_t nameUnits = appendText(package, entries[i].name);
        const std::size_t titleUnits =
            entries[i].title.empty() ? 0 : appendText(package, entries[i].title);
        if (nameUnits > 0xFFFF || titleUnits > 0xFFFF)
        {
            error = "the names and titles do not fit the first 128 KiB of the package";
            return false;
        }
        putU16(package, entry + 12, std::uint32_t(nameUnits));
        if (hasTargets)
        {
            putU16(package, entry + 14, entries[i].targetId);
            putU32(package, entry + 16, entries[i].timeStamp);
            putU32(package, entry + 20, entries[i].targetAddress);
            putU16(package, entry + 24, std::uint32_t(titleUnits));
        }
    }

    for (std::size_t i = 0; i < entries.size(); ++i)
    {
        const PackageEntry& item = entries[i];
        if (item.data.size() > 0xFFFFFFFFu)
        {
            error = "item \"" + item.name + "\" is larger than 4 GiB";
            return false;
        }
        std::vector<std::uint8_t> block;
        if (item.compress)
        {
            block = encodeBlock(item.data.data(), item.data.size());
            if (block.empty())
            {
                error = "item \"" + item.name + "\" cannot be compressed into one block";
                return false;
            }
        }
        const std::vector<std::uint8_t>& stored = item.compress ? block : item.data;
        const std::size_t entry = headerLength + i * entryLength;
        if (package.size() % 2 != 0)
            package.push_back(0); // data begins at an even offset; the package ends with data
        putU32(package, entry, std::uint32_t(package.size() / 2));
        putU32(package, entry + 4, item.compress ? std::uint32_t(block.size()) : 0);
        putU32(package, entry + 8, std::uint32_t(item.data.size()));
        package.insert(package.end(), stored.begin(), stored.end());
        if (package.size() > 0xFFFFFFFFu)
        {
            error = "the package would be larger than 4 GiB";
            return false;
        }
    }
    return true;
}

} // namespace zfed
