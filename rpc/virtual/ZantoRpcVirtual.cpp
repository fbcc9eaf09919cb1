#include "rpc/virtual/ZantoRpcVirtual.h"

#include "rpc/virtual/Enumerator_Virtual.h"

#include <chrono>
#include <utility>

namespace
{
// Like the platform library's open count, changed only on the thread that creates and releases
// roots.
int openCount = 0;
} // namespace

ZantoRpcVirtual* ZantoRpcVirtual::create(DeviceList devices)
{
    return new ZantoRpcVirtual(std::move(devices));
}

int ZantoRpcVirtual::getOpenCount()
{
    return openCount;
}

ZantoRpcVirtual::ZantoRpcVirtual(DeviceList attached) : devices(std::move(attached))
{
    ++openCount;
}

ZantoRpcVirtual::~ZantoRpcVirtual()
{
    --openCount;
}

ZantoRpc::Enumerator* ZantoRpcVirtual::createEnumerator(std::uint16_t vendorId,
                                                        std::uint16_t productId)
{
    return new Enumerator_Virtual(devices, vendorId, productId);
}

double ZantoRpcVirtual::getTimeSeconds()
{
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
