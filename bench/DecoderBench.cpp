// Decode throughput of decodeBlock against zlib's raw inflate and libdeflate on the same
// encoder-made zFED blocks, and encode throughput of the zFED encoder against zlib's level 6.
// Throughput counts decoded (uncompressed) bytes for both directions.

#include "package/ZfedDecoder.h"
#include "tests/SampleData.h"
#include "tools/zfed/ZfedEncoder.h"

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdlib>
#include <map>

using sampledata::Bytes;
using sampledata::Kind;

namespace
{

constexpr std::size_t streamSize = 4u << 20;
constexpr Kind kinds[] = {Kind::text, Kind::binary, Kind::audio, Kind::mixed};

struct Stream
{
    Bytes data;
    Bytes block; // zFED block: 12-byte header, then the raw DEFLATE payload
};

// Made once per kind and kept for all benchmarks.
const Stream& stream(Kind kind)
{
    static std::map<Kind, Stream> streams;
    auto found = streams.find(kind);
    if (found == streams.end())
    {
        Stream s;
        s.data = sampledata::make(kind, streamSize, 2024);
        s.block = zfed::encodeBlock(s.data.data(), s.data.size());
        found = streams.emplace(kind, std::move(s)).first;
    }
    return found->second;
}

Kind kindOf(const benchmark::State& state) { return kinds[state.range(0)]; }

void finish(benchmark::State& state, const Stream& s)
{
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(s.data.size()));
    state.SetLabel(std::string(sampledata::name(kindOf(state))) + ", ratio " +
                   std::to_string(double(s.block.size()) / double(s.data.size())).substr(0, 5));
}

void decodeZfed(benchmark::State& state)
{
    const Stream& s = stream(kindOf(state));
    Bytes out(s.data.size());
    for (auto _ : state)
    {
        const int n = decodeBlock(s.block.data(), s.block.size(), out.data(), out.size());
        if (n != int(s.data.size()))
            state.SkipWithError("decodeBlock failed");
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, s);
}

void decodeZlib(benchmark::State& state)
{
    const Stream& s = stream(kindOf(state));
    Bytes out(s.data.size());
    z_stream z{};
    inflateInit2(&z, -15);
    for (auto _ : state)
    {
        inflateReset(&z);
        z.next_in = const_cast<Bytef*>(s.block.data() + 12);
        z.avail_in = uInt(s.block.size() - 12);
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        if (inflate(&z, Z_FINISH) != Z_STREAM_END)
            state.SkipWithError("inflate failed");
        benchmark::DoNotOptimize(out.data());
    }
    inflateEnd(&z);
    finish(state, s);
}

void decodeLibdeflate(benchmark::State& state)
{
    const Stream& s = stream(kindOf(state));
    Bytes out(s.data.size());
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (auto _ : state)
    {
        std::size_t written = 0;
        if (libdeflate_deflate_decompress(d, s.block.data() + 12, s.block.size() - 12, out.data(),
                                          out.size(), &written) != LIBDEFLATE_SUCCESS)
            state.SkipWithError("libdeflate failed");
        benchmark::DoNotOptimize(out.data());
    }
    libdeflate_free_decompressor(d);
    finish(state, s);
}

void encodeZfed(benchmark::State& state)
{
    const Stream& s = stream(kindOf(state));
    for (auto _ : state)
    {
        Bytes payload = zfed::deflateDynamic(s.data.data(), s.data.size());
        benchmark::DoNotOptimize(payload.data());
    }
    finish(state, s);
}

void encodeZlib6(benchmark::State& state)
{
    const Stream& s = stream(kindOf(state));
    Bytes out(compressBound(uLong(s.data.size())) + 64);
    for (auto _ : state)
    {
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        z.next_in = const_cast<Bytef*>(s.data.data());
        z.avail_in = uInt(s.data.size());
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        if (deflate(&z, Z_FINISH) != Z_STREAM_END)
            state.SkipWithError("deflate failed");
        deflateEnd(&z);
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, s);
}

void kindArguments(benchmark::internal::Benchmark* b)
{
    for (std::size_t i = 0; i < sizeof kinds / sizeof *kinds; ++i)
        b->Arg(std::int64_t(i));
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(decodeZfed)->Apply(kindArguments);
BENCHMARK(decodeZlib)->Apply(kindArguments);
BENCHMARK(decodeLibdeflate)->Apply(kindArguments);
BENCHMARK(encodeZfed)->Apply(kindArguments);
BENCHMARK(encodeZlib6)->Apply(kindArguments);

} // namespace

BENCHMARK_MAIN();
