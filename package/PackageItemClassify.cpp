#include "package/UpdatePackage.h"

#include "package/FileView.h"
#include "package/TargetIds.h"
#include "package/ZfedDecoder.h"

#include <cstring>
#include <memory>
#include <new>

// Older containers do not say where their items go, so the items are recognised by their
// headers: firmware images by their length words and word sum, content banks by their magic.

namespace
{

constexpr juce::uint32 headBytes = 8192;
constexpr juce::uint32 sumPieceBytes = 2048;

// A DEFLATE payload cannot expand by more than this per byte: two one-bit codes (a length of 258
// and a distance) per quarter byte. A block that claims more can only fail, so its output buffer
// is never allocated.
constexpr juce::uint64 maxExpansion = 1032;

// The first bytes of the item's data; every index is checked against them, so a test whose
// word or byte would lie outside the head simply fails.
class Head
{
public:
    Head(const std::uint8_t* bytes, juce::uint32 length) : bytes(bytes), length(length) {}

    juce::uint32 words() const { return length / 2; }
    bool hasWord(juce::uint64 k) const { return k < words(); }
    bool hasBytes(juce::uint64 at, juce::uint64 count) const
    {
        return at <= length && count <= length - at;
    }

    juce::uint16 word(juce::uint64 k) const
    {
        return juce::uint16(bytes[2 * k] | bytes[2 * k + 1] << 8);
    }

    juce::uint32 u32(juce::uint64 at) const
    {
        return juce::uint32(bytes[at]) | juce::uint32(bytes[at + 1]) << 8 |
               juce::uint32(bytes[at + 2]) << 16 | juce::uint32(bytes[at + 3]) << 24;
    }

    bool startsWith(const char* magic, std::size_t count) const
    {
        return hasBytes(0, count) && std::memcmp(bytes, magic, count) == 0;
    }

    juce::uint8 byte(juce::uint64 at) const { return bytes[at]; }

private:
    const std::uint8_t* bytes;
    juce::uint32 length;
};

juce::uint16 wordSum(const std::uint8_t* data, juce::uint32 words)
{
    juce::uint32 sum = 0;
    for (juce::uint32 k = 0; k < words; ++k)
        sum += juce::uint32(data[2 * k] | data[2 * k + 1] << 8);
    return juce::uint16(sum);
}

// The word sum of an item stored as it is, read from the file piece by piece instead of loading
// an item that may be many megabytes. False when the file does not hold all of the data.
bool storedWordSum(juce::FileInputStream& stream, juce::int64 start, juce::uint32 words,
                   juce::uint16& sum)
{
    if (!stream.setPosition(start))
        return false;
    std::uint8_t piece[sumPieceBytes];
    juce::uint32 sum32 = 0;
    for (juce::uint64 left = juce::uint64(words) * 2; left > 0;)
    {
        const int wanted = int(juce::jmin<juce::uint64>(left, sumPieceBytes));
        if (stream.read(piece, wanted) != wanted)
            return false;
        sum32 += wordSum(piece, juce::uint32(wanted) / 2);
        left -= juce::uint64(wanted);
    }
    sum = juce::uint16(sum32);
    return true;
}

struct Target
{
    juce::uint16 id = _UXRPC_UNKNOWN;
    juce::uint32 address = 0;
};

// The firmware test's header part; the caller adds the word sum.
bool hasFirmwareHeader(const Head& head, juce::uint32 totalWords)
{
    if (!head.hasWord(2) || head.word(1) != juce::uint16(totalWords))
        return false;
    return totalWords < 65536 || head.word(2) == juce::uint16(totalWords / 65536);
}

Target firmwareTarget(const Head& head, juce::uint32 totalWords)
{
    if (head.word(2) != juce::uint16(totalWords / 65536))
        return {_UXRPC_FIRMWARE, 0}; // an older image header
    if (head.word(0) == 0x4452)
        return {_UXRPC_FIRMWARE, 0};
    return {head.word(0), 0}; // a secondary image names its own target
}

// The content banks, in the order in which they are tried; the first that matches decides.
bool recogniseBank(const Head& head, juce::uint32 totalWords, Target& target)
{
    const juce::uint32 n = head.words();

    if (totalWords >= 232 && head.startsWith("Bank", 4))
    {
        const juce::uint8 flags = head.byte(144) & 0x18;
        target.id = flags == 0x08   ? _UXRPC_SOUNDBANK_NAND2k
                    : flags == 0x18 ? _UXRPC_SOUNDBANK_NAND4k
                                    : _UXRPC_SOUNDBANK;
        target.address = head.u32(4);
        return true;
    }

    if (totalWords >= 24 && head.startsWith("DmV", 3))
    {
        target.id = _UXRPC_DEMODATA;
        target.address = head.byte(3) == '4' ? head.u32(40) : 0;
        return true;
    }

    if (head.hasWord(0) && head.word(0) == 0)
    {
        for (juce::uint32 k = 1; k < 64 && head.hasWord(3 * k + 1); ++k)
        {
            if (head.word(3 * k) == 0x0083)
            {
                target.id = _UXRPC_SOUNDBANK;
                target.address = head.u32(6 * juce::uint64(k));
                return true;
            }
        }
    }

    if (head.startsWith("StyC", 4) && head.hasBytes(6, 4))
    {
        const juce::uint64 o = head.u32(6);
        if (o + 1 < n && head.word(o) == 0x7453 && head.word(o + 1) == 0x4479)
        {
            target.id = _UXRPC_STYLEDATA;
            return true;
        }
    }

    if (n > 16 && head.startsWith("RtV1", 4) && head.word(4) == juce::uint16(totalWords))
    {
        const juce::uint64 a = head.word(2);
        if (a < n)
        {
            const juce::uint64 b = 2 * juce::uint64(head.word(a));
            if (b < n && a + b + 1 < n && head.word(a + b + 1) == 0x4E24)
            {
                target.id = _UXRPC_RHYTHMDATA;
                return true;
            }
        }
    }

    if (head.hasBytes(0, 10))
    {
        const juce::uint64 h = head.word(0);
        const juce::uint32 o = head.u32(2) - juce::uint32(2 * h) - 1; // wraps, as intended
        const juce::uint32 e = head.u32(6);
        if (o < e && e < juce::uint64(o) + 0x20000 && e - o < totalWords && 2 * h + 5 < n)
        {
            if (head.word(2 * h + 1) == 0xF9FA)
            {
                target = {_UXRPC_DEMODATA, o};
                return true;
            }
            if (head.word(2 * h + 1) == 0x4E24)
            {
                target = {_UXRPC_DEMODATA, head.u32(4 * h + 4) - juce::uint32(4 * h) - 2};
                return true;
            }
            if (head.word(2 * h + 5) == 0)
            {
                target = {_UXRPC_STYLEDATA, o};
                return true;
            }
        }
    }
    return false;
}

} // namespace

void PackageItem::classify()
{
    targetId = _UXRPC_UNKNOWN;
    targetAddress = 0;

    const juce::uint32 size = decodedSize;
    if (size <= 8 || file.getFullPathName().isEmpty() || !file.existsAsFile())
        return;
    juce::FileInputStream stream(file);
    if (!stream.openedOk())
        return;

    const juce::uint32 totalWords = size / 2;
    const juce::int64 dataStart = juce::int64(packageOffset) + juce::int64(dataOffset);
    const juce::uint32 headLength = juce::jmin(size, headBytes);

    std::unique_ptr<std::uint8_t[]> decoded;
    std::uint8_t storedHead[headBytes];
    const std::uint8_t* headBytesPtr = nullptr;

    if (storedSize != 0)
    {
        const FileView block(file, dataStart, storedSize);
        if (block.size() != storedSize || block.size() < zfedHeaderSize ||
            size > maxExpansion * (block.size() - zfedHeaderSize))
            return;
        decoded.reset(new (std::nothrow) std::uint8_t[size]);
        if (decoded == nullptr || decodeBlock(block.data(), block.size(), decoded.get(), size) <= 0)
            return;
        headBytesPtr = decoded.get();
    }
    else
    {
        if (!stream.setPosition(dataStart) ||
            stream.read(storedHead, int(headLength)) != int(headLength))
            return;
        headBytesPtr = storedHead;
    }
    const Head head(headBytesPtr, headLength);

    if (hasFirmwareHeader(head, totalWords))
    {
        juce::uint16 sum = 1;
        const bool summed = decoded != nullptr ? (sum = wordSum(decoded.get(), totalWords), true)
                                               : storedWordSum(stream, dataStart, totalWords, sum);
        if (summed && sum == 0)
        {
            const Target firmware = firmwareTarget(head, totalWords);
            targetId = firmware.id;
            targetAddress = firmware.address;
            return;
        }
    }

    Target bank;
    if (recogniseBank(head, totalWords, bank))
    {
        targetId = bank.id;
        targetAddress = bank.address;
    }
}
