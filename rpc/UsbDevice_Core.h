#pragma once

#include "rpc/ZantoRpcCore.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The device's identity, its reply and the request/reply exchange, over three transfer
// primitives that each platform supplies. A primitive answers false when its transfer failed;
// the first such failure marks the device failed for good.
class ZantoRpcCore::UsbDevice_Core : public ZantoRpc::UsbDevice
{
public:
    static constexpr std::uint32_t workBufferBytes = 512;
    static constexpr std::uint32_t maxParamBytes = 128;

    std::uint16_t getVendorId() override { return vendorId; }
    std::uint16_t getProductId() override { return productId; }
    std::uint16_t getDeviceVersion() override { return deviceVersion; }
    const char* getManufacturer() override { return manufacturer.get(); }
    const char* getProductName() override { return productName.get(); }
    const char* getSerialNumber() override { return serialNumber.get(); }
    bool isOk() override { return !failed; }

    bool exchange(std::uint16_t command, const void* params, std::uint32_t paramBytes,
                  const void* data, std::uint32_t blockSize, std::uint32_t blockCount) final;

    std::uint32_t getReplyLength() override;
    const std::uint16_t* getReplyData() override;
    std::uint16_t getReplyStatus() override { return status; }

    // Bytes the reply buffer holds now; it only ever grows.
    std::uint32_t getReplyCapacity() const { return replyCapacity; }

    // A string descriptor as delivered, narrowed to 8 bits per character (the low byte of each
    // UTF-16 unit); null when it is no string descriptor or claims more bytes than it holds.
    static std::unique_ptr<char[]> narrowStringDescriptor(const std::uint8_t* bytes,
                                                          std::size_t delivered);

protected:
    // Identity from the device descriptor, which counts only when exactly 18 bytes arrived;
    // readString fetches the string descriptor of an index.
    void takeIdentity(const std::vector<std::uint8_t>& deviceDescriptor,
                      const std::function<std::vector<std::uint8_t>(std::uint8_t)>& readString);

    // For a binding that can cut a device off from another thread.
    void markFailed() { failed = true; }

    virtual void discardPendingIn() = 0;
    virtual bool writeOut(const std::uint8_t* data, std::uint32_t length) = 0;
    virtual bool readIn(std::uint8_t* buffer, std::uint32_t maxLength,
                        std::uint32_t& delivered) = 0;

private:
    bool fail();
    bool read(std::uint8_t* buffer, std::uint32_t maxLength, std::uint32_t& delivered);
    std::uint8_t* ensureReplyCapacity(std::uint32_t bytes);

    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t deviceVersion = 0;
    std::unique_ptr<char[]> manufacturer;
    std::unique_ptr<char[]> productName;
    std::unique_ptr<char[]> serialNumber;

    // Atomic so that a binding may cut the device off while another thread exchanges on it.
    std::atomic<bool> failed{false};
    std::uint16_t status = 0;
    // Held as words so that getReplyData can hand it out as such.
    std::unique_ptr<std::uint16_t[]> replyBuffer;
    std::uint32_t replyCapacity = 0;
    std::uint32_t replyWords = 0;
};
