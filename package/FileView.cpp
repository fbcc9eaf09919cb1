#include "package/FileView.h"

FileView::FileView(const juce::File& file, juce::int64 start, juce::int64 wanted)
{
    if (start < 0 || wanted <= 0)
        return;
    map = std::make_unique<juce::MemoryMappedFile>(
        file, juce::Range<juce::int64>(start, start + wanted), juce::MemoryMappedFile::readOnly);

    // The mapping begins at a page boundary at or before `start` and ends at the file's end at
    // the latest; the view is the part of it from `start`.
    const auto mapped = map->getRange();
    if (map->getData() == nullptr || mapped.getEnd() <= start || mapped.getStart() > start)
    {
        map.reset();
        return;
    }
    begin = static_cast<const std::uint8_t*>(map->getData()) + (start - mapped.getStart());
    length = static_cast<std::size_t>(juce::jmin(wanted, mapped.getEnd() - start));
}
