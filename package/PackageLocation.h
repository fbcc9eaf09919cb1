#pragma once

#include <juce_core/juce_core.h>

// Where the package bytes are: `size` bytes from byte `offset` of `file`.
struct PackageLocation
{
    juce::File file;
    juce::uint32 offset = 0;
    juce::uint32 size = 0;
};

// The answer of locatePackage: a location, or the side file that was looked for in vain.
struct PackageLookup
{
    bool found = false;
    PackageLocation location;
    juce::String sideFile;
};

// The package of the running executable: embedded in it, else the side file beside it.
PackageLookup locatePackage();

// The same, as if `executable` were the running executable.
PackageLookup locatePackageFor(const juce::File& executable);

// Finds the package embedded in an executable: a PE file's raw-data resource "Archive", or an ELF
// file's section ".Archive". Answers true when it filled `location`.
bool findEmbeddedPackage(const juce::String& executablePath, PackageLocation& location);

// Finds the branding archive embedded in an executable: the PE raw-data resource "ZantoUpdater" or
// the ELF section ".ZantoUpdater".
bool findEmbeddedBranding(const juce::String& executablePath, PackageLocation& location);

// The side file of an executable: same folder, same base name, extension ".zz".
juce::String sideFilePath(const juce::String& executablePath);
