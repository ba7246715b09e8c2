// Crc16 (table-driven) against the plain bitwise loop over the same data.
#include "link/Crc.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

std::vector<std::uint8_t> data(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return v;
}

void BM_Crc16Bitwise(benchmark::State& state) {
    const auto v = data(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(Crc16Bitwise(v.data(), v.size()));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Crc16(benchmark::State& state) {
    const auto v = data(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(Crc16(v.data(), v.size()));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_Crc16Bitwise)->Arg(264)->Arg(4096);
BENCHMARK(BM_Crc16)->Arg(264)->Arg(4096);

} // namespace

BENCHMARK_MAIN();
