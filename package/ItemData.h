#pragma once

#include "package/UpdatePackage.h"

#include <cstdint>
#include <memory>

// An item's plain bytes, read from its file and decoded when it is stored compressed.
struct ItemData
{
    enum class Status
    {
        ok,
        cannotAccess, // the stored bytes are not in the file, or memory for them is lacking
        decodeFailed, // the block did not decode to exactly the item's decoded size
    };

    Status status = Status::cannotAccess;
    int decoderResult = 0; // what decodeBlock answered, for compressed items
    std::unique_ptr<std::uint8_t[]> bytes;
    juce::uint32 size = 0;
};

ItemData readItemData(const PackageItem& item);
