// Core library: key lookup in a variant tree of 10,000 string keys (baseline: std::lower_bound over
// a sorted vector of the same strings), and LZO packing and unpacking of a 1 MB settings-like tree
// image through MStream (baseline: memcpy of the same bytes).

#include "core/MStream.h"
#include "core/MVarArray.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kKeys = 10'000;

struct KeySet {
    std::vector<std::u16string> present; // in random order
    std::vector<std::u16string> absent;
};

// Keys shaped like setting and parameter names: a word, an index, a unit.
const KeySet& Keys() {
    static const KeySet keys = [] {
        const char16_t* words[] = {u"RecentFile", u"LedMap", u"Export", u"ЧСС(HR)",
                                   u"Mo, мс",     u"Param",  u"Diag"};
        std::mt19937 rng(42);
        KeySet k;
        std::vector<std::u16string> all;
        for (int i = 0; i < 2 * kKeys; ++i)
            all.push_back(std::u16string(words[i % 7]) + u"_" +
                          MString::FromInt(rng() % 1'000'000'000).Str());
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        std::shuffle(all.begin(), all.end(), rng);
        k.present.assign(all.begin(), all.begin() + kKeys);
        k.absent.assign(all.begin() + kKeys, all.begin() + 2 * kKeys);
        return k;
    }();
    return keys;
}

void BM_VarArrayIndexOf(benchmark::State& state) {
    const bool hits = state.range(0) != 0;
    MVarArray tree;
    for (const auto& k : Keys().present) tree.Item(MVariant(MString(k))).Value() = 1;
    std::vector<MVariant> probes;
    for (const auto& k : hits ? Keys().present : Keys().absent) probes.emplace_back(MString(k));
    size_t i = 0;
    for (auto _ : state) {
        int at = tree.IndexOf(probes[i], false);
        benchmark::DoNotOptimize(at);
        if (++i == probes.size()) i = 0;
    }
    state.SetLabel(hits ? "hits" : "misses");
}
BENCHMARK(BM_VarArrayIndexOf)->Arg(1)->Arg(0);

void BM_Baseline_LowerBound(benchmark::State& state) {
    const bool hits = state.range(0) != 0;
    std::vector<std::u16string> sorted = Keys().present;
    std::sort(sorted.begin(), sorted.end());
    const std::vector<std::u16string>& probes = hits ? Keys().present : Keys().absent;
    size_t i = 0;
    for (auto _ : state) {
        auto it = std::lower_bound(sorted.begin(), sorted.end(), probes[i]);
        bool found = it != sorted.end() && *it == probes[i];
        benchmark::DoNotOptimize(found);
        if (++i == probes.size()) i = 0;
    }
    state.SetLabel(hits ? "hits" : "misses");
}
BENCHMARK(BM_Baseline_LowerBound)->Arg(1)->Arg(0);

// A settings-like tree of about 1 MB: per record a path, patient texts, numbers, a parameter
// table with limits and descriptions, and a drive-level map with integer keys.
const std::vector<uint8_t>& SettingsImage() {
    static const std::vector<uint8_t> image = [] {
        const char16_t* params[] = {u"Возраст, лет",  u"ИЖ, м/с",      u"<ЧСС(HR)>, уд/мин",
                                    u"СКО(SDNN), мс", u"КВ(CV), %",    u"RMSSD, мс",
                                    u"PNN50, %",      u"Amo",          u"Mo, мс",
                                    u"MxDMn, мс",     u"ИН(SI), о.е.", u"TP, мс^2",
                                    u"HF, %",         u"LF, %",        u"VLF, %",
                                    u"ULF, %"};
        MVarArray root;
        std::mt19937 rng(5);
        std::uniform_real_distribution<double> u(0, 1);
        for (int g = 0;; ++g) {
            MVarArray& rec = root.Item(MString(u"Record") + MString::FromInt(g));
            rec.Item(u"Path").Value() =
                MString(u"/home/user/Записи/пациент_") + MString::FromInt(g) + u".pwv";
            rec.Item(u"Patient").Value() = u"Иванов Иван Иванович";
            rec.Item(u"Age").Value() = static_cast<int32_t>(20 + g % 60);
            rec.Item(u"HR").Value() = 60 + 40 * u(rng);
            MVarArray& table = rec.Item(u"Params");
            for (const char16_t* p : params) {
                MVarArray& row = table.Item(p);
                row.Item(u"Val").Value() = 100 * u(rng);
                row.Item(u"Lim").Item(u"Min").Value() = static_cast<int32_t>(rng() % 50);
                row.Item(u"Lim").Item(u"Max").Value() = 50.5 + static_cast<int32_t>(rng() % 50);
                row.Item(u"Des").Value() = u"норма";
            }
            MVarArray& map = rec.Item(u"LedIntApproxMap");
            for (int code = 0; code < 64; ++code)
                map.Item(MVariant(code * 4)).Value() = 4000 - code * 40 * u(rng);
            map.Item(u"ResLf").Value() = 100;
            if (g % 16 == 15) {
                MStream s;
                root.SaveImage(s);
                if (s.GetPosition() >= (1 << 20))
                    return std::vector<uint8_t>(s.Data(), s.Data() + s.GetPosition());
            }
        }
    }();
    return image;
}

void Refill(MStream& s, const std::vector<uint8_t>& bytes) {
    s.Seek(0);
    s.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
}

void BM_StreamPack(benchmark::State& state) {
    const auto& image = SettingsImage();
    MStream s;
    int32_t packed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Refill(s, image);
        state.ResumeTiming();
        packed = s.Pack();
        benchmark::DoNotOptimize(packed);
    }
    if (packed <= 0) state.SkipWithError("image did not pack");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
    state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(image.size());
}
BENCHMARK(BM_StreamPack)->Unit(benchmark::kMicrosecond);

void BM_StreamUnpack(benchmark::State& state) {
    const auto& image = SettingsImage();
    MStream s;
    int32_t plain = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Refill(s, image);
        s.Pack();
        state.ResumeTiming();
        plain = s.Unpack();
        benchmark::DoNotOptimize(plain);
    }
    if (plain != static_cast<int32_t>(image.size())) state.SkipWithError("unpack failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_StreamUnpack)->Unit(benchmark::kMicrosecond);

void BM_Baseline_Memcpy(benchmark::State& state) {
    const auto& image = SettingsImage();
    std::vector<uint8_t> out(image.size());
    for (auto _ : state) {
        std::memcpy(out.data(), image.data(), image.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_Baseline_Memcpy)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
