#include "package/ItemData.h"

#include "package/FileView.h"
#include "package/ZfedDecoder.h"

#include <new>

ItemData readItemData(const PackageItem& item)
{
    ItemData data;
    const juce::int64 start = juce::int64(item.packageOffset) + juce::int64(item.dataOffset);
    // Allocated without being cleared: every byte is written below before anyone reads it.
    data.bytes.reset(new (std::nothrow)
                         std::uint8_t[juce::jmax<juce::uint32>(item.decodedSize, 1)]);
    if (data.bytes == nullptr)
        return data;

    if (item.storedSize == 0)
    {
        juce::FileInputStream stream(item.file);
        if (!stream.openedOk() || !stream.setPosition(start))
            return data;
        for (juce::uint32 done = 0; done < item.decodedSize;)
        {
            const int piece = int(juce::jmin<juce::uint32>(item.decodedSize - done, 1u << 30));
            if (stream.read(data.bytes.get() + done, piece) != piece)
                return data;
            done += juce::uint32(piece);
        }
    }
    else
    {
        const FileView block(item.file, start, item.storedSize);
        if (block.size() != item.storedSize)
            return data;
        data.decoderResult =
            decodeBlock(block.data(), block.size(), data.bytes.get(), item.decodedSize);
        // A block that declares fewer bytes than the entry would leave the rest of the buffer
        // undefined; it is as unusable as one that does not decode.
        if (data.decoderResult <= 0 || juce::uint32(data.decoderResult) != item.decodedSize)
        {
            data.status = ItemData::Status::decodeFailed;
            return data;
        }
    }
    data.status = ItemData::Status::ok;
    data.size = item.decodedSize;
    return data;
}
