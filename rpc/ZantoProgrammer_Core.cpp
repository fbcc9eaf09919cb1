#include "rpc/ZantoProgrammer_Core.h"

#include "rpc/WireWords.h"

#include <cstring>

namespace
{
constexpr std::uint16_t requestBeginWrite = 0x1001;
constexpr std::uint16_t requestEndWrite = 0x1002;
constexpr std::uint16_t requestWriteBlocks = 0x1003;
constexpr std::uint16_t requestBeginVerify = 0x1004;
constexpr std::uint16_t requestPollComplete = 0x1005;
constexpr std::uint16_t requestPollVerify = 0x1006;
constexpr std::uint16_t requestPollOperation = 0x1007;

constexpr std::uint16_t statusNothingToReport = 0;
constexpr std::uint16_t statusReport = 1;

constexpr std::uint32_t descriptionHeaderBytes = 8;
constexpr std::uint32_t format0RecordBytes = 16;
constexpr std::uint32_t format1RecordBytes = 24;
constexpr std::uint32_t rangeNameBytes = 12;
} // namespace

using zantowire::get16;
using zantowire::get32;
using zantowire::put16;

ZantoRpcCore::ZantoProgrammer_Core::ZantoProgrammer_Core(ZantoRpc::UsbDevice* usbDevice,
                                                         std::uint32_t words, std::uint32_t count)
    : blockWords(words), numRanges(count), device(usbDevice)
{
    if (count != 0)
        ranges.reset(new RangeInfo_Core[count]);
}

ZantoRpcCore::ZantoProgrammer_Core* ZantoRpcCore::ZantoProgrammer_Core::fromDescription(
    ZantoRpc::UsbDevice* device, const std::uint8_t* description, std::uint32_t bytes)
{
    if (bytes < descriptionHeaderBytes)
        return nullptr;
    const std::uint32_t count = get16(description + 2);
    const std::uint16_t format = get16(description + 4);

    std::uint32_t recordBytes = 0;
    if (format == 1 && bytes == count * format1RecordBytes + descriptionHeaderBytes)
        recordBytes = format1RecordBytes;
    else if (format == 0 && bytes == count * format0RecordBytes + descriptionHeaderBytes)
        recordBytes = format0RecordBytes;
    else
        return nullptr;

    auto* programmer = new ZantoProgrammer_Core(device, get16(description), count);
    const std::uint8_t* record = description + descriptionHeaderBytes;
    for (std::uint32_t i = 0; i < count; ++i, record += recordBytes)
    {
        RangeInfo_Core& range = programmer->ranges[i];
        range.programmer = programmer;
        range.start = static_cast<std::uint32_t>(get16(record)) << 16;
        range.end = static_cast<std::uint32_t>(get16(record + 2)) << 16;
        range.targetId = recordBytes == format1RecordBytes ? get16(record + 4) : 0;
        const std::uint8_t* name = record + (recordBytes == format1RecordBytes ? 12 : 4);
        for (std::uint32_t c = 0; c < rangeNameBytes && name[c] != 0; ++c)
            range.name[c] = static_cast<char>(name[c]);
    }
    return programmer;
}

ZantoRpc::ZantoProgrammer::RangeInfo*
ZantoRpcCore::ZantoProgrammer_Core::getRange(std::uint32_t index)
{
    return &ranges[index];
}

bool ZantoRpcCore::ZantoProgrammer_Core::send(std::uint16_t command, const std::uint8_t* params,
                                              std::uint32_t paramBytes, const std::uint8_t* data,
                                              std::uint32_t blockBytes, std::uint32_t blockCount)
{
    return device->exchange(command, params, paramBytes, data, blockBytes, blockCount);
}

template <typename Take>
bool ZantoRpcCore::ZantoProgrammer_Core::poll(std::uint16_t command, const std::uint8_t* params,
                                              std::uint32_t paramBytes, std::uint32_t payloadBytes,
                                              Take take)
{
    if (!send(command, params, paramBytes))
        return false;
    const std::uint16_t status = device->getReplyStatus();
    if (status == statusNothingToReport)
        return true;
    if (status != statusReport || device->getReplyLength() * 2 != payloadBytes)
        return false;
    take(reinterpret_cast<const std::uint8_t*>(device->getReplyData()));
    return true;
}

bool ZantoRpcCore::ZantoProgrammer_Core::beginVerify()
{
    return send(requestBeginVerify);
}

bool ZantoRpcCore::ZantoProgrammer_Core::pollOperation(std::uint16_t mode, PollState* state)
{
    std::uint8_t params[74];
    put16(params, mode);
    put16(params + 2, state->progress);
    put16(params + 4, state->waitMs);
    put16(params + 6, static_cast<std::uint16_t>(state->value >> 16));
    put16(params + 8, static_cast<std::uint16_t>(state->value));
    std::memcpy(params + 10, state->message, sizeof state->message);

    // The reply carries `value` low word first, the request high word first, so a value goes
    // back with its two words swapped; that is the order devices expect.
    return poll(requestPollOperation, params, sizeof params, 72,
                [state](const std::uint8_t* payload)
                {
                    state->progress = get16(payload);
                    state->waitMs = get16(payload + 2);
                    state->value = get32(payload + 4);
                    std::memcpy(state->message, payload + 8, sizeof state->message);
                });
}

bool ZantoRpcCore::ZantoProgrammer_Core::RangeInfo_Core::beginWrite(std::uint32_t startAddress)
{
    std::uint8_t params[4];
    put16(params, static_cast<std::uint16_t>(startAddress));
    put16(params + 2, static_cast<std::uint16_t>(startAddress >> 16));
    return programmer->send(requestBeginWrite, params, sizeof params);
}

bool ZantoRpcCore::ZantoProgrammer_Core::RangeInfo_Core::writeBlocks(const std::uint8_t* data,
                                                                     std::uint32_t words,
                                                                     std::uint32_t blockCount)
{
    if (words != programmer->blockWords)
        return false;
    return programmer->send(requestWriteBlocks, nullptr, 0, data, words * 2, blockCount);
}

bool ZantoRpcCore::ZantoProgrammer_Core::RangeInfo_Core::endWrite()
{
    return programmer->send(requestEndWrite);
}

bool ZantoRpcCore::ZantoProgrammer_Core::RangeInfo_Core::beginVerify()
{
    return programmer->beginVerify();
}

bool ZantoRpcCore::ZantoProgrammer_Core::RangeInfo_Core::pollComplete(PollState* state)
{
    std::uint8_t params[4];
    put16(params, state->progress);
    put16(params + 2, state->waitMs);
    return programmer->poll(requestPollComplete, params, sizeof params, 4,
                            [state](const std::uint8_t* payload)
                            {
                                state->progress = get16(payload);
                                state->waitMs = get16(payload + 2);
                            });
}

bool ZantoRpcCore::ZantoProgrammer_Core::RangeInfo_Core::pollVerify(PollState* state)
{
    std::uint8_t params[8];
    put16(params, state->progress);
    put16(params + 2, state->waitMs);
    put16(params + 4, static_cast<std::uint16_t>(state->value >> 16));
    put16(params + 6, static_cast<std::uint16_t>(state->value));
    return programmer->poll(requestPollVerify, params, sizeof params, 8,
                            [state](const std::uint8_t* payload)
                            {
                                state->progress = get16(payload);
                                state->waitMs = get16(payload + 2);
                                state->value =
                                    (static_cast<std::uint32_t>(get16(payload + 4)) << 16) |
                                    get16(payload + 6);
                            });
}

std::uint32_t ZantoRpcCore::ZantoProgrammer_Core::RangeInfo_Core::getBlockWords()
{
    return programmer->getBlockWords();
}
