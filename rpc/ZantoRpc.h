#pragma once

// The RPC library's interfaces. Every object here is created with one reference that belongs to
// whoever asked for it and is given back with decReferenceCount; nothing is locked, and the root
// is the last object to be released.

#include <cstdint>

class ZantoRpcReferencedInstance
{
public:
    ZantoRpcReferencedInstance() = default;
    ZantoRpcReferencedInstance(const ZantoRpcReferencedInstance&) = delete;
    ZantoRpcReferencedInstance& operator=(const ZantoRpcReferencedInstance&) = delete;

    virtual ~ZantoRpcReferencedInstance() = default;
    virtual void incReferenceCount() { ++referenceCount; }
    virtual void decReferenceCount()
    {
        if (--referenceCount == 0)
            delete this;
    }

    std::int32_t getReferenceCount() const { return referenceCount; }

protected:
    std::int32_t referenceCount = 1;
};

class ZantoRpc : public ZantoRpcReferencedInstance
{
public:
    class UsbDevice;
    class Enumerator;
    class ZantoProgrammer;

    // The record that the polled requests carry to the device and back.
    struct PollState
    {
        std::uint16_t progress; // 0xFFFF: nothing running, or the operation has finished
        std::uint16_t waitMs;
        std::uint32_t value;
        char message[64]; // zero-padded, may fill all 64 bytes
    };

    // A new root with one reference, or null when the platform's USB access cannot be had.
    // Each platform binding defines it.
    static ZantoRpc* create();

    // 0xFFFF in either filter matches any id.
    virtual Enumerator* createEnumerator(std::uint16_t vendorId, std::uint16_t productId) = 0;
    virtual ZantoProgrammer* openProgrammer(UsbDevice* device) = 0;
    // Only the difference of two readings means anything.
    virtual double getTimeSeconds() = 0;
};

class ZantoRpc::UsbDevice : public ZantoRpcReferencedInstance
{
public:
    virtual std::uint16_t getVendorId() = 0;
    virtual std::uint16_t getProductId() = 0;
    virtual std::uint16_t getDeviceVersion() = 0;
    virtual const char* getManufacturer() = 0;
    virtual const char* getProductName() = 0;
    virtual const char* getSerialNumber() = 0;
    // False for good once a transfer has failed.
    virtual bool isOk() = 0;
    // One request, its data blocks and the reply. True when the reply arrived, whatever its
    // status; the reply then stays readable until the next exchange on this device.
    virtual bool exchange(std::uint16_t command, const void* params, std::uint32_t paramBytes,
                          const void* data, std::uint32_t blockSize, std::uint32_t blockCount) = 0;
    // In 16-bit words.
    virtual std::uint32_t getReplyLength() = 0;
    virtual const std::uint16_t* getReplyData() = 0;
    virtual std::uint16_t getReplyStatus() = 0;
};

class ZantoRpc::Enumerator : public ZantoRpcReferencedInstance
{
public:
    // A device object of its own for the current position, or null.
    virtual UsbDevice* openDevice() = 0;
    virtual bool next() = 0;
    virtual bool isValid() = 0;
};

class ZantoRpc::ZantoProgrammer : public ZantoRpcReferencedInstance
{
public:
    class RangeInfo;

    virtual std::uint32_t getBlockWords() = 0;
    virtual std::uint32_t getNumRanges() = 0;
    // The index is not checked.
    virtual RangeInfo* getRange(std::uint32_t index) = 0;
    virtual bool beginVerify() = 0;
    virtual bool pollOperation(std::uint16_t mode, PollState* state) = 0;
};

// One programmable memory range, owned by its programmer. Addresses count 16-bit words; `end` is
// exclusive.
class ZantoRpc::ZantoProgrammer::RangeInfo
{
public:
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t targetId = 0;
    char name[16] = {}; // always zero-terminated

    RangeInfo() = default;
    RangeInfo(const RangeInfo&) = delete;
    RangeInfo& operator=(const RangeInfo&) = delete;

    virtual ~RangeInfo() = default;
    virtual bool beginWrite(std::uint32_t startAddress) = 0;
    virtual bool writeBlocks(const std::uint8_t* data, std::uint32_t blockWords,
                             std::uint32_t blockCount) = 0;
    virtual bool endWrite() = 0;
    virtual bool beginVerify() = 0;
    virtual bool pollComplete(PollState* state) = 0;
    virtual bool pollVerify(PollState* state) = 0;
    virtual std::uint32_t getBlockWords() = 0;
};

static_assert(sizeof(ZantoRpc::PollState) == 72, "the poll record travels as 72 bytes");
