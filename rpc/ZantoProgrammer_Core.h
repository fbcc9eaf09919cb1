#pragma once

#include "rpc/ZantoRpcCore.h"

#include <cstdint>
#include <memory>

// The device's programmer and its memory ranges. It talks through a device that it holds
// without a reference, so the device must outlive it and its ranges.
class ZantoRpcCore::ZantoProgrammer_Core : public ZantoRpc::ZantoProgrammer
{
public:
    class RangeInfo_Core;

    // Null unless `description` (the payload of the reply to 0x1000) has one of the two table
    // forms with exactly the length its range count asks for.
    static ZantoProgrammer_Core* fromDescription(ZantoRpc::UsbDevice* device,
                                                 const std::uint8_t* description,
                                                 std::uint32_t bytes);

    std::uint32_t getBlockWords() override { return blockWords; }
    std::uint32_t getNumRanges() override { return numRanges; }
    RangeInfo* getRange(std::uint32_t index) override;
    bool beginVerify() override;
    bool pollOperation(std::uint16_t mode, PollState* state) override;

private:
    ZantoProgrammer_Core(ZantoRpc::UsbDevice* device, std::uint32_t blockWords,
                         std::uint32_t numRanges);

    bool send(std::uint16_t command, const std::uint8_t* params = nullptr,
              std::uint32_t paramBytes = 0, const std::uint8_t* data = nullptr,
              std::uint32_t blockBytes = 0, std::uint32_t blockCount = 0);
    // The reply of a polled request: status 0 leaves the state as it was, status 1 with exactly
    // payloadBytes hands the payload to `take`, anything else fails.
    template <typename Take>
    bool poll(std::uint16_t command, const std::uint8_t* params, std::uint32_t paramBytes,
              std::uint32_t payloadBytes, Take take);

    std::uint32_t blockWords;
    std::uint32_t numRanges;
    ZantoRpc::UsbDevice* device;
    std::unique_ptr<RangeInfo_Core[]> ranges; // null without ranges
};

class ZantoRpcCore::ZantoProgrammer_Core::RangeInfo_Core
    : public ZantoRpc::ZantoProgrammer::RangeInfo
{
public:
    bool beginWrite(std::uint32_t startAddress) override;
    bool writeBlocks(const std::uint8_t* data, std::uint32_t blockWords,
                     std::uint32_t blockCount) override;
    bool endWrite() override;
    bool beginVerify() override;
    bool pollComplete(PollState* state) override;
    bool pollVerify(PollState* state) override;
    std::uint32_t getBlockWords() override;

private:
    friend class ZantoProgrammer_Core;
    ZantoProgrammer_Core* programmer = nullptr;
};
