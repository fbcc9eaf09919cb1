#include "package/PackageLocation.h"

#include "package/ElfSectionReader.h"
#include "package/PeResourceReader.h"

namespace
{
juce::File fileAt(const juce::String& path)
{
    return juce::File::getCurrentWorkingDirectory().getChildFile(path);
}

bool existsAsPlainFile(const juce::String& path)
{
    return path.isNotEmpty() && fileAt(path).existsAsFile();
}

// The Windows program carries its archives as PE resources, the Linux one as ELF sections named
// after them; each reader refuses a file that does not start with its own magic.
bool findEmbedded(const juce::String& executablePath, const juce::String& name,
                  PackageLocation& location)
{
    if (!existsAsPlainFile(executablePath))
        return false;

    const auto executable = fileAt(executablePath);
    juce::FileInputStream stream(executable);
    if (!stream.openedOk())
        return false;

    juce::uint32 offset = 0;
    juce::uint32 size = 0;
    if (!findPeRawDataResource(stream, name, offset, size) &&
        !findElfSection(stream, "." + name, offset, size))
        return false;

    location = {executable, offset, size};
    return true;
}
} // namespace

PackageLookup locatePackage()
{
    return locatePackageFor(juce::File::getSpecialLocation(juce::File::currentExecutableFile));
}

PackageLookup locatePackageFor(const juce::File& executable)
{
    PackageLookup lookup;
    if (findEmbeddedPackage(executable.getFullPathName(), lookup.location))
    {
        lookup.found = true;
        return lookup;
    }

    lookup.sideFile = sideFilePath(executable.getFullPathName());
    if (existsAsPlainFile(lookup.sideFile))
    {
        const juce::File sideFile(lookup.sideFile);
        lookup.found = true;
        lookup.location = {sideFile, 0, (juce::uint32)(sideFile.getSize() & 0xffffffff)};
    }
    return lookup;
}

bool findEmbeddedPackage(const juce::String& executablePath, PackageLocation& location)
{
    return findEmbedded(executablePath, "Archive", location);
}

bool findEmbeddedBranding(const juce::String& executablePath, PackageLocation& location)
{
    return findEmbedded(executablePath, "ZantoUpdater", location);
}

juce::String sideFilePath(const juce::String& executablePath)
{
    const auto executable = fileAt(executablePath);
    const auto path = executable.getFullPathName();
    const int nameStart = path.lastIndexOfChar(juce::File::getSeparatorChar()) + 1;
    const int dot = path.lastIndexOfChar('.');
    const auto baseName =
        dot > nameStart ? path.substring(nameStart, dot) : path.substring(nameStart);

    return juce::File::addTrailingSeparator(executable.getParentDirectory().getFullPathName()) +
           baseName + ".zz";
}
