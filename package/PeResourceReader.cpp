#include "package/PeResourceReader.h"

#include "package/StreamReads.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <string>

// The positions of this walk are 32-bit values like the fields they come from, and wrap like
// them; from such a position, a table or a name is read as contiguous bytes. The stream turns
// whatever lies past the end of the file into a short read.

namespace
{
constexpr juce::uint32 rtRcdata = 10;
constexpr juce::uint32 highBit = 0x80000000u;
constexpr juce::uint32 lowBits = 0x7fffffffu;
constexpr int sectionHeaderSize = 40;
constexpr int directoryEntrySize = 8;

juce::uint16 read16(StreamWindow& in, juce::uint32 position)
{
    juce::uint8 bytes[2];
    return in.read(position, bytes, 2) == 2 ? juce::ByteOrder::littleEndianShort(bytes) : 0;
}

juce::uint32 read32(StreamWindow& in, juce::uint32 position)
{
    juce::uint8 bytes[4];
    return in.read(position, bytes, 4) == 4 ? juce::ByteOrder::littleEndianInt(bytes) : 0;
}

// Offers the entries of the resource directory at `directory` to `visit(nameOrId, offset)` in
// table order, named entries included, until it accepts one. Answers whether it did; an empty
// directory offers nothing. The table is read in blocks because it may hold 131070 entries.
template <typename Visit> bool visitEntries(StreamWindow& in, juce::uint32 directory, Visit&& visit)
{
    const int count = read16(in, directory + 12) + read16(in, directory + 14);
    constexpr int entriesPerBlock = 256;
    juce::uint8 block[entriesPerBlock * directoryEntrySize];

    for (int first = 0; first < count; first += entriesPerBlock)
    {
        const int entries = std::min(entriesPerBlock, count - first);
        const auto position = directory + 16 + (juce::uint32)(first * directoryEntrySize);
        const int arrived = in.read(position, block, entries * directoryEntrySize);
        // A field that arrived only in part reads as 0, like every other short read.
        std::fill(block + (arrived & ~3), block + arrived, juce::uint8(0));

        for (int i = 0; i < entries; ++i)
        {
            const auto* entry = block + i * directoryEntrySize;
            if (visit(juce::ByteOrder::littleEndianInt(entry),
                      juce::ByteOrder::littleEndianInt(entry + 4)))
                return true;
        }
    }

    return false;
}

// Compares resource names with one wanted name. A name keeps only its units from 1 to 0x7F, so
// hostile names can be long runs of dropped units; several names may point into the same run,
// and the runs seen are remembered to scan no unit twice (131070 names of 65535 units each would
// otherwise take billions of steps).
class NameMatcher
{
public:
    NameMatcher(juce::InputStream& stream, const juce::String& name) : in(stream, 1024)
    {
        for (auto c : name.toUpperCase())
            wanted += (char)c;
    }

    // Whether the length-prefixed UTF-16 name at `position` reads as the wanted name.
    bool matches(juce::uint32 position)
    {
        juce::int64 unit = (juce::int64)position + 2;
        const juce::int64 end = unit + 2 * (juce::int64)read16(in, position);
        size_t kept = 0;

        for (;;)
        {
            unit = skipDropped(unit);
            if (unit >= end)
                break;

            const juce::int64 limit = nextDroppedRun(unit, end);
            juce::int64 runStart = unit;

            while (unit < limit)
            {
                juce::uint8 chunk[512];
                const int wantedBytes = (int)std::min<juce::int64>(limit - unit, sizeof(chunk));
                // A unit that the file does not hold in full reads as 0 and is dropped.
                const int arrived = in.read(unit, chunk, wantedBytes) & ~1;

                for (int i = 0; i < arrived; i += 2)
                {
                    const auto value = juce::ByteOrder::littleEndianShort(chunk + i);
                    if (value == 0 || value >= 0x80)
                        continue;

                    addDroppedRun(runStart, unit + i);
                    runStart = unit + i + 2;
                    if (kept == wanted.size() || toUpperAscii(value) != wanted[kept])
                        return false;
                    ++kept;
                }

                unit = arrived < wantedBytes ? limit : unit + wantedBytes;
            }

            addDroppedRun(runStart, limit);
        }

        return kept == wanted.size();
    }

private:
    static char toUpperAscii(juce::uint16 value)
    {
        return (char)(value >= 'a' && value <= 'z' ? value - ('a' - 'A') : value);
    }

    // Runs of dropped units, [start, end) by the parity of their positions.
    std::map<juce::int64, juce::int64>& runsOf(juce::int64 unit) { return droppedRuns[unit & 1]; }

    // The first unit from `unit` on that is not inside a known run.
    juce::int64 skipDropped(juce::int64 unit)
    {
        auto& runs = runsOf(unit);
        auto next = runs.upper_bound(unit);
        if (next != runs.begin() && std::prev(next)->second > unit)
            return std::prev(next)->second;
        return unit;
    }

    // Where the next known run after `unit` begins, but no later than `limit`.
    juce::int64 nextDroppedRun(juce::int64 unit, juce::int64 limit)
    {
        auto& runs = runsOf(unit);
        auto next = runs.upper_bound(unit);
        return next == runs.end() ? limit : std::min(next->first, limit);
    }

    // Records [start, end), which touches known runs at most at its ends, merged with them.
    void addDroppedRun(juce::int64 start, juce::int64 end)
    {
        if (start >= end)
            return;

        auto& runs = runsOf(start);
        if (auto following = runs.find(end); following != runs.end())
        {
            end = following->second;
            runs.erase(following);
        }

        auto next = runs.upper_bound(start);
        if (next != runs.begin() && std::prev(next)->second == start)
            std::prev(next)->second = end;
        else
            runs.emplace(start, end);
    }

    StreamWindow in;
    std::string wanted;
    std::map<juce::int64, juce::int64> droppedRuns[2];
};
} // namespace

bool findPeRawDataResource(juce::InputStream& file, const juce::String& resourceName,
                           juce::uint32& offset, juce::uint32& size)
{
    StreamWindow in(file, 16384);
    if (read16(in, 0) != 0x5a4d)
        return false;

    const juce::uint32 e = read32(in, 0x3c);
    // Only "PE" is checked, not the two zero bytes after it.
    if (read16(in, e) != 0x4550)
        return false;

    const juce::uint16 numberOfSections = read16(in, e + 6);
    const juce::uint16 optionalHeaderSize = read16(in, e + 20);
    if (numberOfSections == 0 || optionalHeaderSize == 0)
        return false;

    if (read16(in, e + 24) != 0x10b)
        return false;

    const juce::uint32 resourceDirectoryRva = read32(in, e + 24 + 112);

    const juce::uint32 sectionTable = e + 24 + optionalHeaderSize;
    bool haveRsrc = false;
    juce::uint32 virtualAddress = 0;
    juce::uint32 pointerToRawData = 0;

    for (juce::uint32 i = 0; i < numberOfSections && !haveRsrc; ++i)
    {
        juce::uint8 header[sectionHeaderSize];
        if (in.read(sectionTable + i * sectionHeaderSize, header, sectionHeaderSize) !=
            sectionHeaderSize)
            continue;

        if (std::memcmp(header, ".rsrc\0\0\0", 8) == 0)
        {
            haveRsrc = true;
            virtualAddress = juce::ByteOrder::littleEndianInt(header + 12);
            pointerToRawData = juce::ByteOrder::littleEndianInt(header + 20);
        }
    }

    if (!haveRsrc)
        return false;

    const juce::uint32 root = pointerToRawData - virtualAddress + resourceDirectoryRva;

    juce::uint32 typeOffset = 0;
    if (!visitEntries(in, root,
                      [&](juce::uint32 nameOrId, juce::uint32 entryOffset)
                      {
                          typeOffset = entryOffset;
                          return nameOrId == rtRcdata;
                      }))
        return false;

    if ((typeOffset & highBit) == 0)
        return false;

    const juce::uint32 nameDirectory = root + (typeOffset & lowBits);
    if (nameDirectory == 0)
        return false;

    NameMatcher matcher(file, resourceName);
    juce::uint32 nameOffset = 0;
    if (!visitEntries(in, nameDirectory,
                      [&](juce::uint32 name, juce::uint32 entryOffset)
                      {
                          nameOffset = entryOffset;
                          return (name & highBit) != 0 && matcher.matches(root + (name & lowBits));
                      }))
        return false;

    if ((nameOffset & highBit) == 0)
        return false;

    const juce::uint32 languageDirectory = root + (nameOffset & lowBits);
    if (read16(in, languageDirectory + 12) + read16(in, languageDirectory + 14) == 0)
        return false;

    const juce::uint32 languageOffset = read32(in, languageDirectory + 16 + 4);
    if ((languageOffset & highBit) != 0)
        return false;

    const juce::uint32 dataEntry = root + languageOffset;
    offset = read32(in, dataEntry) - virtualAddress + pointerToRawData;
    size = read32(in, dataEntry + 4);
    return true;
}
