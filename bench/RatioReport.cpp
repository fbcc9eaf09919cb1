// Prints, per input, the zFED encoder's compressed size next to zlib's level 6 (raw DEFLATE,
// default memory level and strategy) and their ratio, plus encode times.
//
//   zfed_ratio_report [file...]
//
// Without files it uses a built-in mixed corpus of generated data.

#include "tests/SampleData.h"
#include "tools/zfed/ZfedEncoder.h"

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using sampledata::Bytes;

namespace
{

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::size_t zlibLevel6(const Bytes& data)
{
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    Bytes out(deflateBound(&z, uLong(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    const int status = deflate(&z, Z_FINISH);
    const std::size_t size = z.total_out;
    deflateEnd(&z);
    return status == Z_STREAM_END ? size : 0;
}

bool readFile(const char* path, Bytes& data)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::pair<std::string, Bytes>> corpus;
    for (int i = 1; i < argc; ++i)
    {
        Bytes data;
        if (!readFile(argv[i], data))
        {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        corpus.emplace_back(argv[i], std::move(data));
    }
    if (corpus.empty())
        for (const sampledata::Kind kind : sampledata::allKinds)
            corpus.emplace_back(std::string("built-in ") + sampledata::name(kind),
                                sampledata::make(kind, 4u << 20, 2024));

    std::printf("%-32s %11s %11s %11s %7s %9s %9s\n", "input", "bytes", "zfed", "zlib -6",
                "ratio", "zfed ms", "zlib ms");
    std::size_t totalIn = 0, totalOurs = 0, totalZlib = 0;
    for (const auto& [name, data] : corpus)
    {
        Clock::time_point start = Clock::now();
        const std::size_t ours = zfed::deflateDynamic(data.data(), data.size()).size();
        const double oursMs = millisecondsSince(start);
        start = Clock::now();
        const std::size_t theirs = zlibLevel6(data);
        const double theirsMs = millisecondsSince(start);
        std::printf("%-32s %11zu %11zu %11zu %7.4f %9.1f %9.1f\n", name.c_str(), data.size(), ours,
                    theirs, theirs ? double(ours) / double(theirs) : 0.0, oursMs, theirsMs);
        totalIn += data.size();
        totalOurs += ours;
        totalZlib += theirs;
    }
    std::printf("%-32s %11zu %11zu %11zu %7.4f\n", "total", totalIn, totalOurs, totalZlib,
                totalZlib ? double(totalOurs) / double(totalZlib) : 0.0);
    return 0;
}
