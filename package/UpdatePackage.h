#pragma once

#include <juce_core/juce_core.h>

#include <memory>

// One entry of the update package: where its data lies, how big it is, where it belongs on the
// device, and how far programming it has come.
struct PackageItem
{
    juce::String name;
    juce::String title;
    juce::File file;
    juce::uint32 packageOffset = 0;
    juce::uint32 dataOffset = 0;
    juce::uint32 decodedSize = 0;
    juce::uint32 storedSize = 0;
    juce::uint32 targetAddress = 0;
    juce::uint16 targetId = 0;
    juce::uint16 rangeIndex = 0;
    juce::uint16 percent = 0;
    juce::int32 phase = 0;

    // Derives targetId and targetAddress from the item's contents (see TargetIds.h).
    void classify();
};

// The loaded package: a contiguous array of items that grows 0, 8, 16, 32, 64.
class UpdatePackage
{
public:
    UpdatePackage() = default;
    UpdatePackage(const UpdatePackage&) = delete;
    UpdatePackage& operator=(const UpdatePackage&) = delete;
    ~UpdatePackage() { clear(true); }

    // Reads the package of `size` bytes at byte `offset` of `file`, replacing the item list.
    // Answers false, with an empty list, when the package is not readable.
    bool load(juce::uint32 offset, juce::uint32 size, const juce::File& file);

    // The item called exactly `name` (case-sensitive), appended when there is none.
    PackageItem& findOrAdd(const juce::String& name);

    // Stable ascending sort by rangeIndex.
    void sortByRangeIndex();

    // Removes every item, last first; releaseStorage also gives the storage back.
    void clear(bool releaseStorage);

    // Why the last load answered false, in words for a person; empty after a successful load.
    const juce::String& getLoadError() const noexcept;

    int getNumItems() const noexcept { return count; }
    int getCapacity() const noexcept { return capacity; }
    PackageItem& getItem(int index) noexcept;
    const PackageItem& getItem(int index) const noexcept;

private:
    void grow();

    std::unique_ptr<PackageItem[]> items;
    int count = 0;
    int capacity = 0;
    juce::String loadError;
};
