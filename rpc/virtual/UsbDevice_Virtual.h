#pragma once

#include "rpc/UsbDevice_Core.h"
#include "rpc/virtual/ZantoRpcVirtual.h"

#include <memory>

// An opened virtual device: the exchange's transfers go straight to the device's pipes.
class ZantoRpcVirtual::UsbDevice_Virtual : public ZantoRpcCore::UsbDevice_Core
{
public:
    explicit UsbDevice_Virtual(std::shared_ptr<zantovirtual::VirtualDevice> device);

    // Safe from any thread: the device is failed from now on, and a transfer that is waiting
    // on it fails at once.
    void abortTransfers();

protected:
    void discardPendingIn() override;
    bool writeOut(const std::uint8_t* data, std::uint32_t length) override;
    bool readIn(std::uint8_t* buffer, std::uint32_t maxLength, std::uint32_t& delivered) override;

private:
    std::shared_ptr<zantovirtual::VirtualDevice> device;
};
