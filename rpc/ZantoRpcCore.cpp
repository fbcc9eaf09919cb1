#include "rpc/ZantoRpcCore.h"

#include "rpc/ZantoProgrammer_Core.h"

namespace
{
constexpr std::uint16_t requestProbeProgrammer = 0x0F01;
constexpr std::uint16_t requestDescribeProgrammer = 0x1000;
} // namespace

ZantoRpc::ZantoProgrammer* ZantoRpcCore::openProgrammer(UsbDevice* device)
{
    // Whatever this answers, a transport failure has already failed the device, so the next
    // request fails in its turn.
    device->exchange(requestProbeProgrammer, nullptr, 0, nullptr, 0, 0);

    const std::uint8_t describeParams[2] = {1, 0};
    if (!device->exchange(requestDescribeProgrammer, describeParams, sizeof describeParams, nullptr,
                          0, 0))
        return nullptr;
    const std::uint32_t bytes = device->getReplyLength() * 2;
    if (bytes == 0)
        return nullptr;
    return ZantoProgrammer_Core::fromDescription(
        device, reinterpret_cast<const std::uint8_t*>(device->getReplyData()), bytes);
}
