#pragma once

// The platform-neutral half of the RPC library: everything that talks to a device only through
// its exchange. A platform binding derives its root from ZantoRpcCore and its device from
// UsbDevice_Core.

#include "rpc/ZantoRpc.h"

class ZantoRpcCore : public ZantoRpc
{
public:
    class UsbDevice_Core;
    class ZantoProgrammer_Core;

    // Null when the device's programmer description does not have one of the two table forms.
    ZantoProgrammer* openProgrammer(UsbDevice* device) override;
};
