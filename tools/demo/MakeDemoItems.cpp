// Writes the items of the demo package: stand-ins for what a vendor ships, each made so that the
// updater recognises it as the real thing would be recognised (a firmware image with its length
// words and a zero word sum, a sound bank and a demo bank with their headers).

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;

void putWord(Bytes& data, std::size_t k, std::uint32_t value)
{
    data[2 * k] = std::uint8_t(value);
    data[2 * k + 1] = std::uint8_t(value >> 8);
}

void putU32(Bytes& data, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        data[at + std::size_t(i)] = std::uint8_t(value >> (8 * i));
}

// Code-like content: repeated instruction patterns with varying operands, so it compresses as
// real firmware does rather than to nothing.
Bytes firmwareImage(std::size_t words)
{
    Bytes data(2 * words, 0);
    std::uint32_t state = 12345;
    for (std::size_t k = 3; k + 1 < words; ++k)
    {
        state = state * 1103515245u + 12345u;
        const std::uint32_t opcode = 0x4E00 | ((state >> 16) & 0x3F);
        putWord(data, k, k % 4 == 0 ? opcode : (k % 4 == 1 ? (state >> 20) & 0xFF : k & 0xFFF));
    }
    putWord(data, 0, 0x4452);
    putWord(data, 1, std::uint32_t(words & 0xFFFF));
    putWord(data, 2, std::uint32_t(words >> 16));
    std::uint32_t sum = 0;
    for (std::size_t k = 0; k + 1 < words; ++k)
        sum += std::uint32_t(data[2 * k] | data[2 * k + 1] << 8);
    putWord(data, words - 1, (0x10000 - (sum & 0xFFFF)) & 0xFFFF);
    return data;
}

// A sound bank: its header, then 16-bit samples of a decaying tone.
Bytes soundBank(std::size_t samples, std::uint32_t address)
{
    Bytes data(512 + 2 * samples, 0);
    data[0] = 'B';
    data[1] = 'a';
    data[2] = 'n';
    data[3] = 'k';
    putU32(data, 4, address);
    for (std::size_t i = 0; i < samples; ++i)
    {
        const double t = double(i % 4410) / 4410.0;
        const double value = 12000.0 * (1.0 - t) * ((i / 10) % 2 ? 1.0 : -1.0) * (i % 7) / 7.0;
        putWord(data, 256 + i, std::uint32_t(std::int32_t(value)) & 0xFFFF);
    }
    return data;
}

Bytes demoBank(std::uint32_t address)
{
    Bytes data(4096, 0);
    data[0] = 'D';
    data[1] = 'm';
    data[2] = 'V';
    data[3] = '4';
    putU32(data, 40, address);
    for (std::size_t i = 64; i < data.size(); ++i)
        data[i] = std::uint8_t("C4 E4 G4 C5 rest "[i % 17]);
    return data;
}

bool writeFile(const std::string& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return bool(out);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: zanto-demo-items DIR\n");
        return 1;
    }
    const std::string dir = argv[1];
    const bool written = writeFile(dir + "/firmware.bin", firmwareImage(150000)) &&
                         writeFile(dir + "/soundbank.bin", soundBank(400000, 0x00200000)) &&
                         writeFile(dir + "/demo.bin", demoBank(0x00080000));
    if (!written)
    {
        std::fprintf(stderr, "zanto-demo-items: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
