#pragma once

// The RPC root bound to in-process virtual devices instead of a USB stack: the devices of a
// root are the list it was created with, in that order, and they stay attached for its life.

#include "rpc/ZantoRpcCore.h"
#include "rpc/virtual/VirtualDevice.h"

#include <memory>
#include <vector>

class ZantoRpcVirtual : public ZantoRpcCore
{
public:
    class Enumerator_Virtual;
    class UsbDevice_Virtual;

    // A null entry stands for an interface whose device has gone: it is listed, but cannot be
    // opened.
    using DeviceList = std::vector<std::shared_ptr<zantovirtual::VirtualDevice>>;

    // A new root with one reference over these devices.
    static ZantoRpcVirtual* create(DeviceList devices);
    // Living roots in this process, as a USB binding counts the opens of its platform library.
    static int getOpenCount();

    Enumerator* createEnumerator(std::uint16_t vendorId, std::uint16_t productId) override;
    double getTimeSeconds() override;

protected:
    ~ZantoRpcVirtual() override;

private:
    explicit ZantoRpcVirtual(DeviceList devices);

    DeviceList devices;
};
