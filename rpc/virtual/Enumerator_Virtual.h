#pragma once

#include "rpc/virtual/ZantoRpcVirtual.h"

#include <cstdint>

// One forward pass over the devices the root was created with, standing on the first match
// from construction on.
class ZantoRpcVirtual::Enumerator_Virtual : public ZantoRpc::Enumerator
{
public:
    static constexpr std::uint16_t anyId = 0xFFFF;

    Enumerator_Virtual(DeviceList devices, std::uint16_t vendorFilter, std::uint16_t productFilter);

    UsbDevice* openDevice() override;
    bool next() override;
    bool isValid() override { return more && matched; }

private:
    DeviceList devices;
    std::uint16_t vendorFilter;
    std::uint16_t productFilter;
    std::int32_t memberIndex = -1;
    bool more = true;
    bool matched = false;
};
