#pragma once

#include <juce_core/juce_core.h>

#include <cstdint>
#include <memory>

// A read-only memory-mapped view of a byte range of a file. The view is clipped to the file's end,
// so size() may be smaller than the range asked for; an unreadable file gives an empty view.
class FileView
{
public:
    FileView(const juce::File& file, juce::int64 start, juce::int64 length);

    const std::uint8_t* data() const noexcept { return begin; }
    std::size_t size() const noexcept { return length; }

private:
    std::unique_ptr<juce::MemoryMappedFile> map;
    const std::uint8_t* begin = nullptr;
    std::size_t length = 0;
};
