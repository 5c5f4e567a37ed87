// Speed of the analyses, each next to a baseline from the same run.
//   VariabilityCore::Compute   goal <= 2 ms on 300 beats (a 5-minute fragment) and <= 20 ms on
//                              100 000 beats (a day); baselines: one plain pass computing the
//                              time-domain statistics, and one forward + inverse FFT of 4096 points
//                              (the fixed cost of the spectrum).
//   DiagnoseManager::Diagnose  goal <= 5 ms over 1000 diagnoses; baseline: the same bounds
//                              checked on plain arrays of doubles.

#include "analysis/DiagnoseManager.h"
#include "analysis/VariabilityCore.h"
#include "dsp/MFilterFFT.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

// A resting rhythm with respiratory and slow modulation and noise: (time, hr) per beat.
struct Series {
    std::vector<float> time, hr;
};

const Series& Beats(int n) {
    static std::vector<std::pair<int, Series>> cache;
    for (auto& [count, s] : cache)
        if (count == n) return s;
    std::mt19937 rng(12345);
    std::normal_distribution<double> noise(0.0, 0.02);
    Series s;
    double t = 0;
    for (int i = 0; i < n; ++i) {
        const double rr =
            0.86 + 0.05 * std::sin(2 * M_PI * 0.25 * t) + 0.04 * std::sin(2 * M_PI * 0.08 * t) + noise(rng);
        s.time.push_back(static_cast<float>(t));
        s.hr.push_back(static_cast<float>(60.0 / rr));
        t += rr;
    }
    cache.emplace_back(n, std::move(s));
    return cache.back().second;
}

void Load(VariabilityCore& core, const Series& s) {
    core.Clear();
    for (size_t i = 0; i < s.time.size(); ++i) core.AddBeat(s.time[i], s.hr[i]);
}

// --- Variability ---

void BM_Baseline_TimeDomainPass(benchmark::State& state) {
    const Series& s = Beats(static_cast<int>(state.range(0)));
    const size_t n = s.hr.size();
    for (auto _ : state) {
        double sum = 0;
        for (size_t i = 0; i < n; ++i) sum += s.hr[i];
        const double meanRR = 60.0 / (sum / n);
        double var = 0, diff = 0;
        int above = 0;
        for (size_t i = 0; i < n; ++i) {
            const double rr = 60.0 / s.hr[i];
            var += (rr - meanRR) * (rr - meanRR);
            if (i + 1 < n) {
                const double e = rr - 60.0 / s.hr[i + 1];
                diff += e * e;
                above += std::fabs(e) > 0.05;
            }
        }
        benchmark::DoNotOptimize(var);
        benchmark::DoNotOptimize(diff);
        benchmark::DoNotOptimize(above);
    }
}
BENCHMARK(BM_Baseline_TimeDomainPass)->Arg(300)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_Baseline_Fft4096(benchmark::State& state) {
    MFftRadix2 fft;
    fft.Prepare(VariabilityCore::kFftSize);
    std::vector<std::complex<double>> data(VariabilityCore::kFftSize);
    for (size_t i = 0; i < data.size(); ++i) data[i] = {std::sin(0.01 * double(i)), 0};
    for (auto _ : state) {
        fft.Forward(data.data(), VariabilityCore::kFftSize);
        fft.Inverse(data.data(), VariabilityCore::kFftSize);
        benchmark::DoNotOptimize(data.data());
    }
}
BENCHMARK(BM_Baseline_Fft4096)->Unit(benchmark::kMillisecond);

// range(0): beats in the analysed range (the whole series).
void BM_VariabilityCompute(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    VariabilityCore core;
    Load(core, Beats(n));
    for (auto _ : state) {
        core.Compute(0, n - 1);
        benchmark::DoNotOptimize(core.Table().Count());
    }
    state.counters["rows"] = core.Table().Count();
    state.counters["goal_ms"] = n <= 300 ? 2 : 20;
}
BENCHMARK(BM_VariabilityCompute)->Arg(300)->Arg(5000)->Arg(100000)->Unit(benchmark::kMillisecond);

// --- Diagnosis ---

constexpr int kDiagnoses = 1000;

// Diagnosis i limits three parameters of the schema with bounds that some records meet.
struct PlainLimit {
    int parameter;
    double min, max;
};

std::vector<std::vector<PlainLimit>> PlainDatabase() {
    std::mt19937 rng(7);
    std::vector<std::vector<PlainLimit>> db(kDiagnoses);
    for (auto& limits : db)
        for (int k = 0; k < 3; ++k) {
            const int p = 1 + int(rng() % (DiagnoseManager::kSchemaSize - 1));
            const double lo = double(rng() % 100);
            limits.push_back({p, lo, lo + double(rng() % 200)});
        }
    return db;
}

std::vector<double> PlainValues() {
    std::vector<double> v(DiagnoseManager::kSchemaSize);
    for (int i = 0; i < DiagnoseManager::kSchemaSize; ++i) v[size_t(i)] = 20.0 + 7.5 * i;
    return v;
}

void BM_Baseline_PlainBounds(benchmark::State& state) {
    const auto db = PlainDatabase();
    const auto values = PlainValues();
    int matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const auto& limits : db) {
            bool ok = true;
            for (const PlainLimit& l : limits) {
                const double v = values[size_t(l.parameter)];
                if (!(v >= l.min && v <= l.max)) {
                    ok = false;
                    break;
                }
            }
            matched += ok;
        }
        benchmark::DoNotOptimize(matched);
    }
    state.counters["matched"] = matched;
}
BENCHMARK(BM_Baseline_PlainBounds)->Unit(benchmark::kMillisecond);

int64_t g_id = 1'600'000'000;
int64_t NextId() {
    return g_id++;
}

void BM_Diagnose(benchmark::State& state) {
    DiagnoseManager m;
    m.SetWallClock(NextId);
    const auto db = PlainDatabase();
    for (size_t d = 0; d < db.size(); ++d) {
        const int32_t id = m.AddNew();
        MVarArray limits;
        for (const PlainLimit& l : db[d]) {
            MVarArray& p = limits.Item(MVariant(DiagnoseManager::kSchemaNames[l.parameter]));
            p.Item(MVariant(u"Min")).Value().Assign(MVariant(l.min));
            p.Item(MVariant(u"Max")).Value().Assign(MVariant(l.max));
        }
        m.SetDiagnosis(id, MString(u"Диагноз ") + MString::FromInt(int64_t(d)),
                       MString(u"Описание диагноза, достаточно длинное для настоящего текста."), limits);
    }
    const auto values = PlainValues();
    for (int i = 0; i < DiagnoseManager::kSchemaSize; ++i) {
        MVariant v(values[size_t(i)]);
        m.CurrentValues().Item(MVariant(DiagnoseManager::kSchemaNames[i])).Value().Assign(v);
    }
    size_t length = 0;
    for (auto _ : state) {
        const MString text = m.Diagnose();
        length = size_t(text.Length());
        benchmark::DoNotOptimize(text.c_str());
    }
    state.counters["text_chars"] = double(length);
    state.counters["goal_ms"] = 5;
}
BENCHMARK(BM_Diagnose)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
