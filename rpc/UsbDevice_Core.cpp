#include "rpc/UsbDevice_Core.h"

#include "rpc/WireWords.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr std::uint32_t requestMagic = 0x75625542; // "BUbu"
constexpr std::uint16_t longFormMarker = 0x7453;   // "St"
constexpr std::uint16_t shortFormMarker = 0x7473;  // "st"
constexpr std::uint32_t requestHeaderBytes = 16;
constexpr std::uint32_t longFormHeaderBytes = 10;
constexpr std::uint32_t shortFormHeaderBytes = 8;
} // namespace

using zantowire::get16;
using zantowire::put16;
using zantowire::put32;

bool ZantoRpcCore::UsbDevice_Core::read(std::uint8_t* buffer, std::uint32_t maxLength,
                                        std::uint32_t& delivered)
{
    delivered = 0;
    // A binding that claims more than it was asked for has written outside the buffer, or
    // lies; either way none of it can be trusted.
    if (!readIn(buffer, maxLength, delivered) || delivered > maxLength)
    {
        delivered = 0;
        return false;
    }
    return true;
}

bool ZantoRpcCore::UsbDevice_Core::fail()
{
    failed = true;
    return false;
}

// At least 512 bytes from the first reply on, so that any first read fits whatever it announces.
std::uint8_t* ZantoRpcCore::UsbDevice_Core::ensureReplyCapacity(std::uint32_t bytes)
{
    if (!replyBuffer || bytes > replyCapacity)
    {
        std::uint32_t capacity = replyCapacity == 0 ? workBufferBytes : replyCapacity;
        while (capacity < bytes)
            capacity *= 2;
        replyBuffer.reset();
        replyBuffer.reset(new std::uint16_t[capacity / 2]);
        replyCapacity = capacity;
    }
    return reinterpret_cast<std::uint8_t*>(replyBuffer.get());
}

bool ZantoRpcCore::UsbDevice_Core::exchange(std::uint16_t command, const void* params,
                                            std::uint32_t paramBytes, const void* data,
                                            std::uint32_t blockSize, std::uint32_t blockCount)
{
    if (failed)
        return false;
    replyWords = 0;

    if (data == nullptr || blockSize == 0 || blockCount == 0)
    {
        data = nullptr;
        blockSize = 0;
        blockCount = 0;
    }
    if ((params == nullptr) != (paramBytes == 0) || paramBytes % 2 != 0 ||
        paramBytes > maxParamBytes)
        return false;

    discardPendingIn();

    // The request and then the first part of the reply share this buffer, so that an exchange
    // allocates nothing unless its reply is the longest yet.
    std::uint8_t work[workBufferBytes];
    put32(work, requestMagic);
    put16(work + 4, static_cast<std::uint16_t>(blockSize));
    put16(work + 6, static_cast<std::uint16_t>(blockCount));
    put16(work + 8, command);
    put16(work + 10, static_cast<std::uint16_t>(paramBytes / 2));
    put32(work + 12, 0);
    if (paramBytes != 0)
        std::memcpy(work + requestHeaderBytes, params, paramBytes);

    if (!writeOut(work, requestHeaderBytes + paramBytes))
        return fail();

    const auto* block = static_cast<const std::uint8_t*>(data);
    for (std::uint32_t i = 0; i < blockCount; ++i, block += blockSize)
        if (!writeOut(block, blockSize))
            return fail();

    std::uint32_t delivered = 0;
    if (!read(work, workBufferBytes, delivered))
        return fail();

    // A reply under 8 bytes does not reach this word, so the request's blockCount stands in
    // for its status.
    const std::uint16_t replyStatus = get16(work + 6);

    // payloadWords counts only when both of its bytes arrived.
    std::uint32_t expected = delivered;
    if (delivered >= longFormHeaderBytes && get16(work + 2) == longFormMarker)
        expected = longFormHeaderBytes + 2u * get16(work + 8);

    std::uint8_t* reply = ensureReplyCapacity(expected);
    std::memcpy(reply, work, delivered);

    if (delivered < expected)
    {
        const std::uint32_t at = delivered & ~1u;
        std::uint32_t rest = 0;
        if (!read(reply + at, expected - delivered, rest))
            return fail();
        // A reply length must never cover bytes that did not arrive.
        if (at + rest < expected)
            return false;
    }

    status = replyStatus;
    replyWords = expected / 2;
    return true;
}

std::uint32_t ZantoRpcCore::UsbDevice_Core::getReplyLength()
{
    if (replyWords < shortFormHeaderBytes / 2)
        return 0;
    const std::uint8_t* reply = reinterpret_cast<const std::uint8_t*>(replyBuffer.get());
    const std::uint16_t marker = get16(reply + 2);
    if (marker == shortFormMarker)
        return replyWords - shortFormHeaderBytes / 2;
    if (marker == longFormMarker && replyWords >= longFormHeaderBytes / 2)
        return std::min<std::uint32_t>(get16(reply + 8), replyWords - longFormHeaderBytes / 2);
    return 0;
}

const std::uint16_t* ZantoRpcCore::UsbDevice_Core::getReplyData()
{
    if (!replyBuffer)
        return nullptr;
    const std::uint8_t* reply = reinterpret_cast<const std::uint8_t*>(replyBuffer.get());
    const bool longForm = replyWords >= 2 && get16(reply + 2) == longFormMarker;
    return replyBuffer.get() + (longForm ? longFormHeaderBytes : shortFormHeaderBytes) / 2;
}

std::unique_ptr<char[]>
ZantoRpcCore::UsbDevice_Core::narrowStringDescriptor(const std::uint8_t* bytes,
                                                     std::size_t delivered)
{
    if (delivered < 2)
        return nullptr;
    const std::size_t length = bytes[0];
    if (length <= 2 || bytes[1] != 3 || length > delivered)
        return nullptr;
    const std::size_t characters = (length - 2) / 2;
    std::unique_ptr<char[]> text(new char[characters + 1]);
    for (std::size_t i = 0; i < characters; ++i)
        text[i] = static_cast<char>(bytes[2 + 2 * i]);
    text[characters] = '\0';
    return text;
}

void ZantoRpcCore::UsbDevice_Core::takeIdentity(
    const std::vector<std::uint8_t>& deviceDescriptor,
    const std::function<std::vector<std::uint8_t>(std::uint8_t)>& readString)
{
    if (deviceDescriptor.size() != 18)
        return;
    const std::uint8_t* d = deviceDescriptor.data();
    vendorId = get16(d + 8);
    productId = get16(d + 10);
    deviceVersion = get16(d + 12);

    const auto string = [&readString](std::uint8_t index) -> std::unique_ptr<char[]>
    {
        if (index == 0)
            return nullptr;
        const std::vector<std::uint8_t> bytes = readString(index);
        return narrowStringDescriptor(bytes.data(), bytes.size());
    };
    manufacturer = string(d[14]);
    productName = string(d[15]);
    serialNumber = string(d[16]);
}
