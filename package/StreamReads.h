#pragma once

#include <juce_core/juce_core.h>

#include <algorithm>
#include <cstring>
#include <vector>

// Reads up to `count` bytes at `position` of `stream` and answers how many arrived. Whatever did
// not arrive is zeroed, so the parsers can treat a field that the file does not hold in full as 0.
inline int readBytesAt(juce::InputStream& stream, juce::int64 position, void* destination,
                       int count)
{
    std::memset(destination, 0, (size_t)count);

    if (!stream.setPosition(position))
        return 0;

    return juce::jmax(0, stream.read(destination, count));
}

// readBytesAt through a window of the file, so that the many small reads of a table cost one read
// of the file per window. The parsers give each table its own window, so that reading one table
// does not evict the other.
class StreamWindow
{
public:
    StreamWindow(juce::InputStream& source, int windowSize)
        : stream(source), window((size_t)windowSize)
    {
    }

    int read(juce::int64 position, void* destination, int count)
    {
        if (count > (int)window.size())
            return readBytesAt(stream, position, destination, count);

        if (!holds(position, count))
        {
            start = position;
            held = readBytesAt(stream, position, window.data(), (int)window.size());
            loaded = true;
        }

        const int arrived = (int)juce::jlimit<juce::int64>(0, count, start + held - position);
        std::memset(destination, 0, (size_t)count);
        if (arrived > 0)
            std::memcpy(destination, window.data() + (position - start), (size_t)arrived);
        return arrived;
    }

private:
    // A window that reached the end of the file answers for everything after its start.
    bool holds(juce::int64 position, int count) const
    {
        return loaded && position >= start &&
               (position + count <= start + held || held < (int)window.size());
    }

    juce::InputStream& stream;
    std::vector<char> window;
    bool loaded = false;
    juce::int64 start = 0;
    int held = 0;
};
