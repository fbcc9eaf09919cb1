#pragma once

#include <juce_core/juce_core.h>

// Finds the section called exactly `sectionName` in a little-endian ELF file (32- or 64-bit)
// through its section header table. Answers true, with the section's byte range in the file,
// when the first section of that name has its bytes in the file and the range fits 32 bits.
bool findElfSection(juce::InputStream& file, const juce::String& sectionName, juce::uint32& offset,
                    juce::uint32& size);
