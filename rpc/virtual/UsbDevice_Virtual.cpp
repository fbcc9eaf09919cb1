#include "rpc/virtual/UsbDevice_Virtual.h"

#include <utility>

ZantoRpcVirtual::UsbDevice_Virtual::UsbDevice_Virtual(
    std::shared_ptr<zantovirtual::VirtualDevice> attached)
    : device(std::move(attached))
{
    const zantovirtual::VirtualDevice& source = *device;
    takeIdentity(source.deviceDescriptor(),
                 [&source](std::uint8_t index) { return source.stringDescriptor(index); });
}

void ZantoRpcVirtual::UsbDevice_Virtual::abortTransfers()
{
    markFailed();
    device->abortTransfers();
}

void ZantoRpcVirtual::UsbDevice_Virtual::discardPendingIn()
{
    device->discardPendingIn();
}

bool ZantoRpcVirtual::UsbDevice_Virtual::writeOut(const std::uint8_t* data, std::uint32_t length)
{
    return device->receiveOut(data, length);
}

bool ZantoRpcVirtual::UsbDevice_Virtual::readIn(std::uint8_t* buffer, std::uint32_t maxLength,
                                                std::uint32_t& delivered)
{
    std::size_t count = 0;
    const bool ok = device->sendIn(buffer, maxLength, count);
    // More than was asked for is rejected by the exchange; keep such a count visible to it.
    delivered = count > maxLength ? maxLength + 1 : static_cast<std::uint32_t>(count);
    return ok;
}
