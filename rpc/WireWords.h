#pragma once

// Little-endian words on the wire, read and written byte by byte whatever the host's order.

#include <cstdint>

namespace zantowire
{
inline std::uint16_t get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t get32(const std::uint8_t* p)
{
    return get16(p) | (static_cast<std::uint32_t>(get16(p + 2)) << 16);
}

inline void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put32(std::uint8_t* p, std::uint32_t v)
{
    put16(p, static_cast<std::uint16_t>(v));
    put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
} // namespace zantowire
