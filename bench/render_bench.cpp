// Throughput of the data renderer alone, in input bytes a second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "render.h"

namespace {

template <std::size_t (*Lines)(const unsigned char *, std::size_t, char *)> void render_block(benchmark::State &state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> in(size);
    std::uint32_t x = 12345;
    for (unsigned char &b : in) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 24);
    }
    std::vector<char> out(render::max_output(size));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Lines(in.data(), size, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(render_block<render::lines_portable>)->Name("portable")->Arg(64 << 10);
#ifdef FPGABITS_HAVE_SSSE3_PATH
BENCHMARK(render_block<render::lines_ssse3>)->Name("ssse3")->Arg(64 << 10);
#endif

} // namespace
