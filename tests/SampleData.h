#pragma once

// Deterministic sample data for the encoder's tests and benchmarks: stand-ins for what packages
// hold (firmware images, sound banks) and for the awkward cases (random bytes, long runs).
// Only the raw output of std::mt19937_64 is used, never the standard distributions, whose
// results differ between standard libraries; so the same seed gives the same bytes everywhere.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sampledata
{

using Bytes = std::vector<std::uint8_t>;

class Random
{
public:
    explicit Random(std::uint64_t seed) : engine(seed) {}
    std::uint64_t next() { return engine(); }
    // 0 to n - 1 (n > 0); the tiny bias of the modulo does not matter here.
    std::uint32_t below(std::uint32_t n) { return std::uint32_t(engine() % n); }
    double unit() { return double(engine() >> 11) * (1.0 / 9007199254740992.0); }

private:
    std::mt19937_64 engine;
};

inline Bytes random(std::size_t size, std::uint64_t seed)
{
    Random rng(seed);
    Bytes out(size);
    for (auto& b : out)
        b = std::uint8_t(rng.next() >> 56);
    return out;
}

// Words drawn with Zipf-like frequencies from a made-up vocabulary, in sentences and lines:
// compresses about as well as English prose.
inline Bytes text(std::size_t size, std::uint64_t seed)
{
    Random rng(seed);
    static const char* const syllables[] = {"ka", "te", "ri", "on", "mu", "sa", "lo", "ven", "dor",
                                            "ti", "an", "el", "is", "qua", "ber", "ne", "st", "ing",
                                            "pro", "ex", "ul", "ma", "ge", "th", "ou", "re"};
    std::vector<std::string> words;
    for (int w = 0; w < 1500; ++w)
    {
        std::string word;
        const int parts = 1 + int(rng.below(3)) + (w > 200 ? 1 : 0);
        for (int p = 0; p < parts; ++p)
            word += syllables[rng.below(sizeof syllables / sizeof *syllables)];
        words.push_back(word);
    }
    std::vector<double> cumulative;
    double sum = 0;
    for (std::size_t r = 0; r < words.size(); ++r)
        cumulative.push_back(sum += 1.0 / double(r + 1));

    Bytes out;
    out.reserve(size + 64);
    std::size_t lineStart = 0;
    bool capital = true;
    while (out.size() < size)
    {
        const double pick = rng.unit() * sum;
        const std::size_t index = std::size_t(
            std::lower_bound(cumulative.begin(), cumulative.end(), pick) - cumulative.begin());
        std::string word = words[std::min(index, words.size() - 1)];
        if (capital)
            word[0] = char(word[0] - 'a' + 'A');
        capital = false;
        out.insert(out.end(), word.begin(), word.end());
        const std::uint32_t mark = rng.below(100);
        if (mark < 8)
        {
            out.push_back('.');
            capital = true;
        }
        else if (mark < 14)
            out.push_back(',');
        if (out.size() - lineStart > 68)
        {
            out.push_back('\n');
            lineStart = out.size();
        }
        else
            out.push_back(' ');
    }
    out.resize(size);
    return out;
}

// Something like a firmware image: code made of a skewed set of opcodes with small operands and
// relative addresses, tables of increasing 32-bit values, zero-terminated strings and padding.
inline Bytes binary(std::size_t size, std::uint64_t seed)
{
    Random rng(seed);
    static const std::uint8_t opcodes[] = {0x8b, 0x89, 0xe8, 0x48, 0x83, 0x85, 0x74, 0x75, 0x0f,
                                           0xc3, 0x55, 0x5d, 0x31, 0x39, 0x8d, 0xeb, 0x41, 0xff};
    const Bytes strings = text(4096, seed ^ 0x5157);
    Bytes out;
    out.reserve(size + 4096);
    std::uint32_t address = 0x08000000;
    while (out.size() < size)
    {
        const std::uint32_t section = rng.below(10);
        const std::size_t length = 256 + rng.below(4096);
        if (section < 6) // code
        {
            for (std::size_t end = out.size() + length; out.size() < end;)
            {
                const std::uint32_t r = rng.below(1000);
                const std::uint8_t op = opcodes[r < 500 ? r % 4 : r % (sizeof opcodes)];
                out.push_back(op);
                if (op == 0xe8 || op == 0xeb) // call/jump with a relative address
                {
                    const std::uint32_t target = rng.below(65536) - 32768;
                    for (int i = 0; i < 4; ++i)
                        out.push_back(std::uint8_t(target >> (8 * i)));
                }
                else if (op != 0xc3 && op != 0x55 && op != 0x5d)
                {
                    out.push_back(std::uint8_t(0x40 + rng.below(8) * 8 + rng.below(8))); // ModRM
                    if (rng.below(3) == 0)
                        out.push_back(std::uint8_t(rng.below(16) * 8)); // small displacement
                }
            }
        }
        else if (section < 8) // a table of addresses
        {
            for (std::size_t i = 0; i < length / 4; ++i)
            {
                address += 4 * (1 + rng.below(64));
                for (int b = 0; b < 4; ++b)
                    out.push_back(std::uint8_t(address >> (8 * b)));
            }
        }
        else if (section < 9) // strings
        {
            for (std::size_t i = 0; i < length / 24; ++i)
            {
                const std::size_t at = rng.below(std::uint32_t(strings.size() - 40));
                out.insert(out.end(), strings.begin() + std::ptrdiff_t(at),
                           strings.begin() + std::ptrdiff_t(at + 8 + rng.below(30)));
                out.push_back(0);
            }
        }
        else // padding
            out.insert(out.end(), length, rng.below(2) ? 0x00 : 0xff);
    }
    out.resize(size);
    return out;
}

// 16-bit little-endian samples of a sound: a few drifting partials with a decaying envelope,
// some noise, and now and then silence.
inline Bytes audio(std::size_t size, std::uint64_t seed)
{
    Random rng(seed);
    Bytes out;
    out.reserve(size + 2);
    double phase[3] = {}, step[3] = {};
    double envelope = 0;
    std::size_t noteLeft = 0;
    while (out.size() < size)
    {
        if (noteLeft == 0)
        {
            noteLeft = 2000 + rng.below(20000);
            envelope = rng.below(8) == 0 ? 0.0 : 3000 + rng.below(12000);
            const double base = 0.005 + 0.1 * rng.unit();
            for (int k = 0; k < 3; ++k)
                step[k] = base * (k + 1) * (1 + 0.001 * rng.unit());
        }
        --noteLeft;
        double v = 0;
        for (int k = 0; k < 3; ++k)
        {
            phase[k] += step[k];
            v += std::sin(phase[k]) / (k + 1);
        }
        envelope *= 0.99985;
        const int noise = envelope > 1 ? int(rng.below(33)) - 16 : 0;
        const int sample = std::max(-32768, std::min(32767, int(v * envelope) + noise));
        out.push_back(std::uint8_t(sample & 0xff));
        out.push_back(std::uint8_t((sample >> 8) & 0xff));
    }
    out.resize(size);
    return out;
}

// Runs of one byte, mostly long, some short; lengths around the longest match (258) included.
inline Bytes runs(std::size_t size, std::uint64_t seed)
{
    Random rng(seed);
    Bytes out;
    out.reserve(size + 5000);
    while (out.size() < size)
    {
        const std::uint32_t kind = rng.below(4);
        const std::size_t length = kind == 0   ? 1 + rng.below(4)
                                   : kind == 1 ? 256 + rng.below(5)
                                               : 1 + rng.below(5000);
        out.insert(out.end(), length, std::uint8_t(rng.below(4) == 0 ? rng.next() : 'a'));
    }
    out.resize(size);
    return out;
}

// A record repeated with small changes, as in tables of presets or sample headers.
inline Bytes repeated(std::size_t size, std::uint64_t seed)
{
    Random rng(seed);
    Bytes record = random(16 + rng.below(3000), seed ^ 0x7e7e);
    Bytes out;
    out.reserve(size + record.size());
    while (out.size() < size)
    {
        for (int k = 0; k < 3; ++k)
            record[rng.below(std::uint32_t(record.size()))] = std::uint8_t(rng.next());
        out.insert(out.end(), record.begin(), record.end());
    }
    out.resize(size);
    return out;
}

enum class Kind
{
    text,
    binary,
    audio,
    random,
    runs,
    repeated,
    mixed
};

constexpr Kind allKinds[] = {Kind::text, Kind::binary,   Kind::audio, Kind::random,
                             Kind::runs, Kind::repeated, Kind::mixed};

inline const char* name(Kind kind)
{
    switch (kind)
    {
    case Kind::text: return "text";
    case Kind::binary: return "binary";
    case Kind::audio: return "audio";
    case Kind::random: return "random";
    case Kind::runs: return "runs";
    case Kind::repeated: return "repeated";
    case Kind::mixed: return "mixed";
    }
    return "?";
}

Bytes make(Kind kind, std::size_t size, std::uint64_t seed);

// Pieces of every other kind one after another, so that the statistics change inside the data.
inline Bytes mixed(std::size_t size, std::uint64_t seed)
{
    Random rng(seed);
    Bytes out;
    out.reserve(size);
    while (out.size() < size)
    {
        const Kind kind = allKinds[rng.below(6)];
        const std::size_t piece = std::min<std::size_t>(size - out.size(), 1 + rng.below(65536));
        const Bytes part = make(kind, piece, rng.next());
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline Bytes make(Kind kind, std::size_t size, std::uint64_t seed)
{
    switch (kind)
    {
    case Kind::text: return text(size, seed);
    case Kind::binary: return binary(size, seed);
    case Kind::audio: return audio(size, seed);
    case Kind::random: return random(size, seed);
    case Kind::runs: return runs(size, seed);
    case Kind::repeated: return repeated(size, seed);
    case Kind::mixed: return mixed(size, seed);
    }
    return {};
}

} // namespace sampledata
