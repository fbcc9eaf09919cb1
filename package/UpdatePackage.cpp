#include "package/UpdatePackage.h"

#include "package/FileView.h"

#include <cstring>
#include <vector>

namespace
{

constexpr juce::uint16 newestVersion = 528;
constexpr juce::uint16 firstVersionWithTargets = 512;
constexpr juce::uint16 firstVersionWithLongEntries = 257;
constexpr int maxEntries = 63;

// The fields a version 528 header and entry must at least hold: the header up to the entry
// length field, the entry up to the title offset.
constexpr std::size_t headerFieldsEnd = 12;
constexpr std::size_t extendedEntryFieldsEnd = 26;

// The package's own bytes. Every read goes through here and is checked against them, so a
// package cannot make the reader look outside itself, whatever its fields say.
class PackageBytes
{
public:
    PackageBytes(const std::uint8_t* bytes, std::size_t length) : bytes(bytes), length(length) {}

    bool holds(std::uint64_t at, std::uint64_t count) const
    {
        return at <= length && count <= length - at;
    }

    juce::uint16 u16(std::size_t at) const { return juce::uint16(bytes[at] | bytes[at + 1] << 8); }

    juce::uint32 u32(std::size_t at) const
    {
        return juce::uint32(u16(at)) | juce::uint32(u16(at + 2)) << 16;
    }

    bool startsWith(const char* magic, std::size_t count) const
    {
        return holds(0, count) && std::memcmp(bytes, magic, count) == 0;
    }

    // The length of the zero-terminated text at `at`, or -1 when its zero is not in the package.
    std::int64_t textLength(std::uint64_t at) const
    {
        if (at >= length)
            return -1;
        const void* zero = std::memchr(bytes + at, 0, length - std::size_t(at));
        return zero == nullptr ? -1 : static_cast<const std::uint8_t*>(zero) - (bytes + at);
    }

    // An ISO 8859-1 text: every byte is the character of the same code point.
    juce::String text(std::uint64_t at) const
    {
        const auto count = std::size_t(textLength(at));
        std::vector<juce::juce_wchar> characters(count + 1, 0);
        for (std::size_t i = 0; i < count; ++i)
            characters[i] = juce::juce_wchar(bytes[at + i]);
        return juce::String(juce::CharPointer_UTF32(characters.data()));
    }

private:
    const std::uint8_t* bytes;
    std::size_t length;
};

} // namespace

PackageItem& UpdatePackage::getItem(int index) noexcept
{
    jassert(index >= 0 && index < count);
    return items[size_t(index)];
}

const PackageItem& UpdatePackage::getItem(int index) const noexcept
{
    jassert(index >= 0 && index < count);
    return items[size_t(index)];
}

void UpdatePackage::grow()
{
    const int newCapacity = capacity == 0 ? 8 : capacity * 2;
    auto grown = std::make_unique<PackageItem[]>(size_t(newCapacity));
    for (int i = 0; i < count; ++i)
        grown[size_t(i)] = std::move(items[size_t(i)]);
    items = std::move(grown);
    capacity = newCapacity;
}

PackageItem& UpdatePackage::findOrAdd(const juce::String& name)
{
    for (int i = 0; i < count; ++i)
        if (items[size_t(i)].name == name)
            return items[size_t(i)];

    if (count == capacity)
        grow();
    PackageItem& added = items[size_t(count++)];
    added.name = name;
    return added;
}

void UpdatePackage::sortByRangeIndex()
{
    // Neighbour exchanges only, so items with equal range indices keep their order.
    for (bool exchanged = count > 1; exchanged;)
    {
        exchanged = false;
        for (int i = 0; i + 1 < count; ++i)
        {
            if (items[size_t(i)].rangeIndex > items[size_t(i + 1)].rangeIndex)
            {
                std::swap(items[size_t(i)], items[size_t(i + 1)]);
                exchanged = true;
            }
        }
    }
}

void UpdatePackage::clear(bool releaseStorage)
{
    for (int i = count - 1; i >= 0; --i)
        items[size_t(i)] = PackageItem();
    count = 0;
    if (releaseStorage)
    {
        items.reset();
        capacity = 0;
    }
}

bool UpdatePackage::load(juce::uint32 offset, juce::uint32 size, const juce::File& file)
{
    // Emptied before anything can fail, so a rejected package always leaves an empty list.
    clear(false);
    loadError.clear();
    const auto reject = [this](const juce::String& why)
    {
        clear(false);
        loadError = why;
        return false;
    };

    // A view of the package's own bytes only: where the file holds more, it is never looked at.
    const FileView view(file, offset, size);
    const PackageBytes package(view.data(), view.size());

    if (view.size() == 0)
        return reject("its bytes cannot be read");
    if (!package.startsWith("Za*Z", 4))
        return reject("it does not begin with the package magic");
    if (!package.holds(0, 8))
        return reject("its header is cut short");

    const juce::uint16 version = package.u16(4);
    std::size_t headerLength = 8;
    std::size_t entryLength = version < firstVersionWithLongEntries ? 16 : 32;
    if (version > newestVersion)
        return reject("its container version " + juce::String(version) + " is newer than 528");
    if (version == newestVersion)
    {
        if (!package.holds(0, headerFieldsEnd))
            return reject("its header is cut short");
        headerLength = 2 * std::size_t(package.u16(8));
        entryLength = 2 * std::size_t(package.u16(10));
        if (headerLength < headerFieldsEnd || entryLength < extendedEntryFieldsEnd)
            return reject("its header or entry length is too small for their fields");
    }
    const bool hasTargets = version >= firstVersionWithTargets;

    const int entryCount = package.u16(6);
    if (entryCount < 1 || entryCount > maxEntries)
        return reject("it has " + juce::String(entryCount) + " entries (1 to 63 are allowed)");
    if (!package.holds(headerLength, std::uint64_t(entryCount) * entryLength))
        return reject("its entry table does not lie inside the package");

    const auto entryAt = [&](int i) { return headerLength + std::size_t(i) * entryLength; };

    // The first entry's data marks the end of the directory and must lie inside the package.
    const std::uint64_t directoryLength = 2 * std::uint64_t(package.u32(entryAt(0)));
    if (directoryLength == 0)
        return reject("its first entry has no data offset");
    if (directoryLength + package.u32(entryAt(0) + 4) > size)
        return reject("its first entry's data ends beyond the package");
    if (!package.holds(0, directoryLength))
        return reject("its directory cannot be read");

    // Every name and title must end inside the package before any item is filled. A data offset
    // whose byte position does not fit 32 bits lies beyond any package and could only be stored
    // wrapped around, pointing at the wrong bytes.
    for (int i = 0; i < entryCount; ++i)
    {
        const std::size_t entry = entryAt(i);
        const juce::String which = "entry " + juce::String(i + 1);
        if (package.u32(entry) > 0x7FFFFFFFu)
            return reject(which + " has a data offset beyond any package");
        if (package.textLength(2 * std::uint64_t(package.u16(entry + 12))) < 0)
            return reject(which + " has a name that does not end inside the package");
        const juce::uint16 titleOffset = hasTargets ? package.u16(entry + 24) : 0;
        if (titleOffset != 0 && package.textLength(2 * std::uint64_t(titleOffset)) < 0)
            return reject(which + " has a title that does not end inside the package");
    }

    const bool fileExists = file.existsAsFile();
    for (int i = 0; i < entryCount; ++i)
    {
        const std::size_t entry = entryAt(i);
        PackageItem& item = findOrAdd(package.text(2 * std::uint64_t(package.u16(entry + 12))));
        item.file = file;
        item.packageOffset = offset;
        item.dataOffset = 2 * package.u32(entry);
        item.storedSize = package.u32(entry + 4);
        item.decodedSize = package.u32(entry + 8);
        item.targetAddress = 0;
        item.targetId = 0;

        if (fileExists)
            item.classify();

        if (hasTargets)
        {
            item.targetAddress = package.u32(entry + 20);
            item.targetId = package.u16(entry + 14);
            if (const juce::uint16 titleOffset = package.u16(entry + 24); titleOffset != 0)
                item.title = package.text(2 * std::uint64_t(titleOffset));
        }
    }
    return true;
}

const juce::String& UpdatePackage::getLoadError() const noexcept
{
    return loadError;
}
