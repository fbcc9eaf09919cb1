#pragma once

#include <juce_core/juce_core.h>

// Finds the raw-data resource (RT_RCDATA) called `resourceName` in a PE32 file by walking its
// resource directory on disk: the name is compared without case, after the units outside ASCII
// and the zero units of the stored name have been dropped, and the first language entry is used.
// Answers true, with the byte range of the resource data in the file, when the walk gets through;
// the range itself is not checked against the file's length.
bool findPeRawDataResource(juce::InputStream& file, const juce::String& resourceName,
                           juce::uint32& offset, juce::uint32& size);
