#include "package/ElfSectionReader.h"

#include "package/StreamReads.h"

#include <string>

// Every read below lies inside the file: each range is checked against the file's length first,
// so that hostile headers can neither send a read astray nor make a loop run longer than the
// section header table that the file really holds.

namespace
{
constexpr juce::uint32 shtNobits = 8;
constexpr juce::uint16 shnXindex = 0xffff;

struct SectionHeader
{
    juce::uint32 name = 0;
    juce::uint32 type = 0;
    juce::uint64 offset = 0;
    juce::uint64 size = 0;
    juce::uint32 link = 0;
};

class ElfFile
{
public:
    explicit ElfFile(juce::InputStream& stream)
        : table(stream, 16384), names(stream, 512),
          length((juce::uint64)juce::jmax<juce::int64>(0, stream.getTotalLength()))
    {
    }

    // Whether `count` bytes from `position` lie inside the file.
    bool holds(juce::uint64 position, juce::uint64 count) const
    {
        return position <= length && count <= length - position;
    }

    bool read(StreamWindow& window, juce::uint64 position, void* destination, int count)
    {
        return holds(position, (juce::uint64)count) &&
               window.read((juce::int64)position, destination, count) == count;
    }

    bool readHeader()
    {
        juce::uint8 header[64];
        if (!read(table, 0, header, 52))
            return false;

        if (std::memcmp(header,
                        "\x7f"
                        "ELF",
                        4) != 0 ||
            (header[4] != 1 && header[4] != 2) || header[5] != 1)
            return false;

        is64 = header[4] == 2;
        if (is64 && !read(table, 0, header, 64))
            return false;

        const auto* tail = header + (is64 ? 0x3a : 0x2e);
        sectionTable = is64 ? juce::ByteOrder::littleEndianInt64(header + 0x28)
                            : juce::ByteOrder::littleEndianInt(header + 0x20);
        entrySize = juce::ByteOrder::littleEndianShort(tail);
        sectionCount = juce::ByteOrder::littleEndianShort(tail + 2);
        nameTableIndex = juce::ByteOrder::littleEndianShort(tail + 4);
        return true;
    }

    bool readSection(juce::uint64 index, SectionHeader& section)
    {
        juce::uint8 bytes[64];
        const int size = is64 ? 64 : 40;
        if (!read(table, sectionTable + index * entrySize, bytes, size))
            return false;

        section.name = juce::ByteOrder::littleEndianInt(bytes);
        section.type = juce::ByteOrder::littleEndianInt(bytes + 4);
        section.offset = is64 ? juce::ByteOrder::littleEndianInt64(bytes + 24)
                              : juce::ByteOrder::littleEndianInt(bytes + 16);
        section.size = is64 ? juce::ByteOrder::littleEndianInt64(bytes + 32)
                            : juce::ByteOrder::littleEndianInt(bytes + 20);
        section.link = juce::ByteOrder::littleEndianInt(bytes + (is64 ? 40 : 24));
        return true;
    }

    // The section headers and the names they point to are read through windows of their own.
    StreamWindow table;
    StreamWindow names;
    const juce::uint64 length;
    bool is64 = false;
    juce::uint64 sectionTable = 0;
    juce::uint64 entrySize = 0;
    juce::uint64 sectionCount = 0;
    juce::uint64 nameTableIndex = 0;
};
} // namespace

bool findElfSection(juce::InputStream& in, const juce::String& sectionName, juce::uint32& offset,
                    juce::uint32& size)
{
    ElfFile elf(in);
    if (!elf.readHeader() || elf.sectionTable == 0 || elf.entrySize < (elf.is64 ? 64u : 40u))
        return false;

    // Extended numbering: a count of 0 or a name table index of SHN_XINDEX leaves the real value
    // to section 0.
    if (elf.sectionCount == 0 || elf.nameTableIndex == shnXindex)
    {
        SectionHeader first;
        if (!elf.readSection(0, first))
            return false;
        if (elf.sectionCount == 0)
            elf.sectionCount = first.size;
        if (elf.nameTableIndex == shnXindex)
            elf.nameTableIndex = first.link;
    }

    if (!elf.holds(elf.sectionTable, 0) ||
        elf.sectionCount > (elf.length - elf.sectionTable) / elf.entrySize ||
        elf.nameTableIndex >= elf.sectionCount)
        return false;

    SectionHeader nameTable;
    if (!elf.readSection(elf.nameTableIndex, nameTable) ||
        !elf.holds(nameTable.offset, nameTable.size))
        return false;

    // The name with its terminating zero, all of which must lie inside the name table.
    const std::string wanted(sectionName.toRawUTF8(), sectionName.getNumBytesAsUTF8() + 1);
    std::string candidate(wanted.size(), '\0');

    for (juce::uint64 i = 0; i < elf.sectionCount; ++i)
    {
        SectionHeader section;
        if (!elf.readSection(i, section) || section.name > nameTable.size ||
            wanted.size() > nameTable.size - section.name ||
            !elf.read(elf.names, nameTable.offset + section.name, candidate.data(),
                      (int)wanted.size()) ||
            candidate != wanted)
            continue;

        if (section.type == shtNobits || !elf.holds(section.offset, section.size) ||
            section.offset > 0xffffffffu || section.size > 0xffffffffu)
            return false;

        offset = (juce::uint32)section.offset;
        size = (juce::uint32)section.size;
        return true;
    }

    return false;
}
