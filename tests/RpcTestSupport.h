#pragma once

// Shared by the RPC tests: a real virtual device behind a tap that records every transfer the
// host makes on it, and holders that give RPC references back.

#include "rpc/virtual/Enumerator_Virtual.h"
#include "rpc/virtual/UsbDevice_Virtual.h"
#include "rpc/virtual/VirtualDevice.h"
#include "rpc/virtual/ZantoRpcVirtual.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace rpctest
{

struct Transfer
{
    enum Kind
    {
        Discard,
        Out,
        In
    };
    Kind kind = Discard;
    std::size_t asked = 0; // bytes offered (Out) or room given (In)
    std::vector<std::uint8_t> bytes;
    bool ok = true;
};

// Passes every transfer to the wrapped device unchanged and notes it. It can also pull the
// device's plug after a given IN transfer, which the device then reports on its next transfer.
class TransferTap final : public zantovirtual::VirtualDevice
{
public:
    explicit TransferTap(zantovirtual::Scenario scenario)
        : device(zantovirtual::createVirtualDevice(std::move(scenario)))
    {
    }

    std::uint16_t vendorId() const override { return device->vendorId(); }
    std::uint16_t productId() const override { return device->productId(); }
    std::uint16_t deviceVersion() const override { return device->deviceVersion(); }
    std::vector<std::uint8_t> deviceDescriptor() const override
    {
        return device->deviceDescriptor();
    }
    std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const override
    {
        return device->stringDescriptor(index);
    }

    void discardPendingIn() override
    {
        note({Transfer::Discard, 0, {}, true});
        device->discardPendingIn();
    }
    bool receiveOut(const std::uint8_t* data, std::size_t length) override
    {
        const bool ok = device->receiveOut(data, length);
        note({Transfer::Out, length, std::vector<std::uint8_t>(data, data + length), ok});
        return ok;
    }
    bool sendIn(std::uint8_t* buffer, std::size_t maxLength, std::size_t& delivered) override
    {
        const bool ok = device->sendIn(buffer, maxLength, delivered);
        note({Transfer::In, maxLength,
              std::vector<std::uint8_t>(buffer, buffer + (ok ? delivered : 0)), ok});
        std::lock_guard<std::mutex> lock(mutex);
        if (ok && ++inTransfers == abortAfterIn)
            device->abortTransfers();
        return ok;
    }
    void abortTransfers() override { device->abortTransfers(); }

    void abortAfterInTransfer(std::size_t count)
    {
        std::lock_guard<std::mutex> lock(mutex);
        abortAfterIn = inTransfers + count;
    }

    std::vector<Transfer> takeTransfers()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(transfers, {});
    }

    zantovirtual::VirtualSoundDevice& sound() { return *device; }

private:
    void note(Transfer transfer)
    {
        std::lock_guard<std::mutex> lock(mutex);
        transfers.push_back(std::move(transfer));
    }

    std::unique_ptr<zantovirtual::VirtualSoundDevice> device;
    std::mutex mutex;
    std::vector<Transfer> transfers;
    std::size_t inTransfers = 0;
    std::size_t abortAfterIn = 0;
};

struct Release
{
    void operator()(ZantoRpcReferencedInstance* object) const { object->decReferenceCount(); }
};
template <typename T> using Held = std::unique_ptr<T, Release>;

// One root over one tapped device, and that device opened.
struct Rig
{
    explicit Rig(zantovirtual::Scenario scenario)
        : tap(std::make_shared<TransferTap>(std::move(scenario))),
          root(ZantoRpcVirtual::create({tap}))
    {
        Held<ZantoRpc::Enumerator> enumerator(root->createEnumerator(0xFFFF, 0xFFFF));
        device.reset(static_cast<ZantoRpcVirtual::UsbDevice_Virtual*>(enumerator->openDevice()));
        tap->takeTransfers();
    }

    std::shared_ptr<TransferTap> tap;
    Held<ZantoRpcVirtual> root;
    Held<ZantoRpcVirtual::UsbDevice_Virtual> device;
};

inline std::vector<std::uint8_t> le16(std::initializer_list<std::uint16_t> words)
{
    std::vector<std::uint8_t> bytes;
    for (std::uint16_t w : words)
    {
        bytes.push_back(static_cast<std::uint8_t>(w));
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return bytes;
}

} // namespace rpctest
