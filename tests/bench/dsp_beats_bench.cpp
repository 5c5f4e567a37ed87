// Throughput of the live beat chain on a synthetic 500 Hz pulse wave: 24 hours of samples (10
// minutes with CORVINA_BENCH_QUICK=1), generated once.
//   HBR_Calculator::Process  goal >= 200 M samples/s; baseline: a loop that only sums the samples.
//   MRejectionFilter         goal >= 5 M samples/s in live blocks of 28; baseline: the same blocks
//                            copied through a buffer.

#include "dsp/HBR_Calculator.h"
#include "dsp/MRejectionFilter.h"

#include "tests/dsp/SyntheticPulse.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Recording {
    std::vector<double> t, v;
    int Count() const { return static_cast<int>(t.size()); }
};

const Recording& Day() {
    static const Recording r = [] {
        const char* quick = std::getenv("CORVINA_BENCH_QUICK");
        const bool isQuick = quick && *quick && std::strcmp(quick, "0") != 0;
        const size_t n = 500ull * (isQuick ? 600 : 24 * 3600);
        Recording rec;
        rec.t.resize(n);
        rec.v.resize(n);
        synth::SyntheticPulse gen;
        gen.Generate(rec.t.data(), rec.v.data(), static_cast<int>(n));
        return rec;
    }();
    return r;
}

// --- Beat detection ---

void BM_Baseline_SumSamples(benchmark::State& state) {
    const Recording& r = Day();
    const double* v = r.v.data();
    const int n = r.Count();
    for (auto _ : state) {
        double sum = 0;
        for (int k = 0; k < n; ++k) sum += v[k];
        benchmark::DoNotOptimize(static_cast<const double&>(sum));
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Baseline_SumSamples)->Unit(benchmark::kMillisecond);

// range(0): samples per Process call; 0 = the whole recording in one call.
void BM_HbrProcess(benchmark::State& state) {
    const Recording& r = Day();
    const int n = r.Count();
    const int block = state.range(0) > 0 ? static_cast<int>(state.range(0)) : n;
    double hr = 0;
    for (auto _ : state) {
        HBR_Calculator calc;
        for (int s = 0; s < n; s += block) {
            const int m = std::min(block, n - s);
            calc.Process(r.t.data() + s, r.v.data() + s, m);
        }
        benchmark::DoNotOptimize(calc.Hr());
        hr = calc.Hr();
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["final_hr"] = hr;
}
BENCHMARK(BM_HbrProcess)->Arg(0)->Arg(200)->Unit(benchmark::kMillisecond);

// --- Rejection filter, fed as the live pipeline feeds it ---

void BM_Baseline_CopyBlocks28(benchmark::State& state) {
    const Recording& r = Day();
    const int n = r.Count();
    std::vector<double> bufT(512), bufV(512);
    for (auto _ : state) {
        int held = 0;
        for (int s = 0; s < n; s += 28) {
            const int m = std::min(28, n - s);
            std::memcpy(bufV.data() + held, r.v.data() + s, m * sizeof(double));
            std::memcpy(bufT.data() + held, r.t.data() + s, m * sizeof(double));
            held += m;
            if (held >= 200) held = 0;
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Baseline_CopyBlocks28)->Unit(benchmark::kMillisecond);

void BM_RejectionFilterLive(benchmark::State& state) {
    const Recording& r = Day();
    const int n = r.Count();
    std::vector<double> outT(4096), outV(4096);
    long long produced = 0;
    for (auto _ : state) {
        MRejectionFilter filter;
        filter.ConfigureLive();
        produced = 0;
        for (int s = 0; s < n; s += 28) {
            const int m = std::min(28, n - s);
            filter.PutPoints(r.v.data() + s, r.t.data() + s, m);
            const int ready = filter.OutputCount();
            if (ready >= 30 && ready <= static_cast<int>(outT.size())) {
                filter.GetPoints(outV.data(), outT.data(), ready);
                produced += ready;
            }
        }
        benchmark::DoNotOptimize(outV.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["output_fraction"] = static_cast<double>(produced) / n;
}
BENCHMARK(BM_RejectionFilterLive)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
