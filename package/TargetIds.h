#pragma once

#include <cstdint>

// Target ids tie an item to a memory range of the device. Containers from version 512 on may name
// any other 16-bit id; it is passed on unchanged.
enum : std::uint16_t
{
    _UXRPC_UNKNOWN = 0,
    _UXRPC_FIRMWARE = 1,
    _UXRPC_STYLEDATA = 4,
    _UXRPC_DEMODATA = 6,
    _UXRPC_RHYTHMDATA = 8,
    _UXRPC_SOUNDBANK = 16,
    _UXRPC_SOUNDBANK_NAND2k = 17,
    _UXRPC_SOUNDBANK_NAND4k = 18,
};
