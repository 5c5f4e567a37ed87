// Isoline filter throughput on a synthetic 500 Hz pulse wave with baseline wander, fed the way the
// record reader feeds it (raw batches in, every ready corrected sample out). Baseline: the same
// batches copied through a plain array.

#include "dsp/MIsoFilter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace {

struct Signal {
    std::vector<double> t, y;
    double period = 0;
};

// 10 minutes at 500 Hz, 72 beats per minute with beat-to-beat variation, sinusoidal wander, a
// slow ramp and a little deterministic ripple.
const Signal& Wave() {
    static const Signal s = [] {
        Signal w;
        const double mean = 60.0 / 72.0;
        w.period = static_cast<float>(1.5 * mean);
        const size_t n = 600 * 500;
        double foot = -0.2;
        double next = foot + mean;
        int beat = 0;
        for (size_t i = 0; i < n; ++i) {
            const double t = 0.002 * static_cast<double>(i + 1);
            while (next <= t) {
                foot = next;
                next = foot + mean * (1.0 + 0.06 * std::sin(2 * std::numbers::pi * ++beat / 7.3));
            }
            const double u = (t - foot) / (next - foot);
            const double s = std::sin(std::numbers::pi * std::pow(u, 0.35));
            const double d = (u - 0.5) / 0.06;
            const double pulse = s * s + 0.12 * std::exp(-d * d);
            const double base = 0.3 * std::sin(2 * std::numbers::pi * 0.1 * t) + 0.0005 * t +
                                0.002 * std::sin(2 * std::numbers::pi * 50 * t);
            w.t.push_back(t);
            w.y.push_back(pulse + base);
        }
        return w;
    }();
    return s;
}

void BM_IsoFilter(benchmark::State& state) {
    const Signal& w = Wave();
    const int batch = static_cast<int>(state.range(0));
    const size_t n = w.t.size();
    std::vector<double> outT(n), outV(n);
    MIsoFilter filter(10000);
    size_t produced = 0;
    for (auto _ : state) {
        filter.Reset();
        produced = 0;
        for (size_t i = 0; i < n; i += static_cast<size_t>(batch)) {
            const int b = static_cast<int>(std::min<size_t>(static_cast<size_t>(batch), n - i));
            filter.Period = w.period;
            filter.PutPoints(&w.t[i], &w.y[i], b);
            produced += static_cast<size_t>(
                filter.GetPoints(&outT[produced], &outV[produced], static_cast<int>(n - produced)));
        }
        benchmark::DoNotOptimize(outV.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
    state.counters["output_fraction"] = static_cast<double>(produced) / static_cast<double>(n);
}
BENCHMARK(BM_IsoFilter)->Arg(500)->Arg(100)->Unit(benchmark::kMillisecond);

// Baseline: the same batches through a plain array and out again.
void BM_CopyBaseline(benchmark::State& state) {
    const Signal& w = Wave();
    const int batch = static_cast<int>(state.range(0));
    const size_t n = w.t.size();
    std::vector<double> outT(n), outV(n);
    std::vector<double> bufT(static_cast<size_t>(batch)), bufY(static_cast<size_t>(batch));
    for (auto _ : state) {
        for (size_t i = 0; i < n; i += static_cast<size_t>(batch)) {
            const size_t b = std::min<size_t>(static_cast<size_t>(batch), n - i);
            std::memcpy(bufT.data(), &w.t[i], b * sizeof(double));
            std::memcpy(bufY.data(), &w.y[i], b * sizeof(double));
            benchmark::ClobberMemory();
            std::memcpy(&outT[i], bufT.data(), b * sizeof(double));
            std::memcpy(&outV[i], bufY.data(), b * sizeof(double));
        }
        benchmark::DoNotOptimize(outV.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}
BENCHMARK(BM_CopyBaseline)->Arg(500)->Arg(100)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
