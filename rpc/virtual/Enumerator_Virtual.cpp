#include "rpc/virtual/Enumerator_Virtual.h"

#include "rpc/virtual/UsbDevice_Virtual.h"

#include <utility>

ZantoRpcVirtual::Enumerator_Virtual::Enumerator_Virtual(DeviceList attached, std::uint16_t vendor,
                                                        std::uint16_t product)
    : devices(std::move(attached)), vendorFilter(vendor), productFilter(product)
{
    next();
}

ZantoRpc::UsbDevice* ZantoRpcVirtual::Enumerator_Virtual::openDevice()
{
    if (!more)
        return nullptr;
    const auto& device = devices[static_cast<std::size_t>(memberIndex)];
    if (!device)
        return nullptr;
    return new UsbDevice_Virtual(device);
}

bool ZantoRpcVirtual::Enumerator_Virtual::next()
{
    if (!more)
        return false;
    do
    {
        ++memberIndex;
        matched = false;
        more = static_cast<std::size_t>(memberIndex) < devices.size();
        if (!more)
            break;

        // The identity that counts is the one the opened device reads from its descriptors.
        UsbDevice* device = openDevice();
        if (device == nullptr)
            continue;
        matched = (vendorFilter == anyId || device->getVendorId() == vendorFilter) &&
                  (productFilter == anyId || device->getProductId() == productFilter);
        device->decReferenceCount();
    } while (!matched);
    return more && matched;
}
