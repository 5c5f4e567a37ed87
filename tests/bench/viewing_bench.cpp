// The record viewer on a generated 24-hour record (500 samples per second in blocks of 28 ... 32,
// a heart rate per beat and a regulator state every 3 s, as the live recorder writes them), a
// 1920 x 800 view rendered by the Qt canvas:
//   ShowAt at a random place                      vs SeekTime there and ReadRawSamples of the
//   ShowAt with isoline correction                   samples the window shows (blocks of 200)
// Each iteration picks a new place, so no window is read from the file stream's cache of the one
// before. The record is made once in a temporary folder and removed at exit. CORVINA_BENCH_QUICK=1
// makes a 30-minute record instead.

#include "storage/PGFiles.h"
#include "viewing/FragmentMarkers.h"
#include "viewing/RecordViewModel.h"
#include "viewing/plot/qt/G2dQtCanvas.h"

#include <benchmark/benchmark.h>

#include <QGuiApplication>

#include <cmath>
#include <cstdlib>
#include <ftw.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kPeriod = 0.002;
constexpr int kWidth = 1920;
constexpr int kHeight = 800;

bool Quick() {
    const char* quick = std::getenv("CORVINA_BENCH_QUICK");
    return quick && *quick && *quick != '0';
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

class BenchRecord {
public:
    static BenchRecord& Get() {
        static BenchRecord record;
        return record;
    }
    ~BenchRecord() {
        if (!m_dir.empty()) ::nftw(m_dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    bool Ok() const { return m_ok; }
    const std::string& Path() const { return m_path; }

private:
    BenchRecord() {
        const double seconds = Quick() ? 1800.0 : 86400.0;
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvina_bench_viewing_XXXXXX";
        if (!::mkdtemp(dir.data())) return;
        m_dir = dir;
        m_path = dir + "/day.pwv";
        PGFiles f;
        if (!f.Create(MString(m_path))) return;
        std::mt19937 rng(3);
        std::normal_distribution<double> noise(0, 0.003);
        std::vector<double> block(32);
        int64_t i = 0;
        double nextBeat = 0.5, nextState = 0;
        while (f.CurrentTime() < seconds) {
            const int n = 28 + int(rng() % 5);
            for (int k = 0; k < n; ++k, ++i) {
                const double t = double(i) * kPeriod;
                const double beat = std::fmod(t * 1.2, 1.0);
                const double pulse =
                    beat < 0.3 ? std::sin(beat / 0.3 * M_PI / 2) : std::exp(-(beat - 0.3) * 4);
                block[size_t(k)] = 0.45 + 0.25 * pulse + 0.1 * std::sin(2 * M_PI * 0.05 * t) + noise(rng);
            }
            f.WriteSamples(block.data(), n, kPeriod);
            if (f.CurrentTime() >= nextBeat) {
                f.WriteHeartRate(60 + (rng() % 4000) * 0.01, nextBeat);
                nextBeat += 60.0 / 72.0;
            }
            if (f.CurrentTime() >= nextState) {
                f.WriteRegulatorState(200, 180, 1);
                nextState += 3.0;
            }
        }
        f.Close();
        m_ok = true;
    }

    std::string m_dir, m_path;
    bool m_ok = false;
};

// A viewer over the record, laid out on a 1920 x 800 view.
struct Viewer {
    PGFiles record;
    FragmentMarkers markers;
    G2dQtCanvas canvas;
    RecordViewModel model{record, markers};
    bool ok = false;

    explicit Viewer(bool isoline) {
        if (!BenchRecord::Get().Ok() ||
            !record.Open(MString(BenchRecord::Get().Path()), PGFiles::OpenMode::ReadOnly))
            return;
        record.IsolineCorrection = isoline;
        model.Layout(&canvas, 96, {0, 0, kWidth, kHeight});
        model.RecordOpened(RecordViewModel::ScrollRule::kWholeSpan, true);
        ok = model.IsLaidOut();
    }
};

void ShowAtRandomPlaces(benchmark::State& state, bool isoline) {
    Viewer v(isoline);
    if (!v.ok) {
        state.SkipWithError("cannot make or open the record file");
        return;
    }
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> where(v.record.StartTime(), v.record.EndTime());
    int64_t points = 0;
    for (auto _ : state) {
        v.model.ShowAt(where(rng));
        points += int64_t(v.model.Channel().Points().size());
        benchmark::DoNotOptimize(v.model.Graph().Frame());
    }
    state.counters["points_per_window"] =
        benchmark::Counter(double(points) / double(std::max<int64_t>(1, state.iterations())));
    state.counters["span_s"] = v.model.Graph().VisibleSpan();
}

void BM_ShowAt(benchmark::State& state) {
    ShowAtRandomPlaces(state, false);
}
BENCHMARK(BM_ShowAt)->Unit(benchmark::kMillisecond);

void BM_ShowAtIsoline(benchmark::State& state) {
    ShowAtRandomPlaces(state, true);
}
BENCHMARK(BM_ShowAtIsoline)->Unit(benchmark::kMillisecond);

// The baseline: what ShowAt reads, without drawing: a seek and the window's raw samples.
void BM_Baseline_SeekAndReadRawSamples(benchmark::State& state) {
    Viewer v(false);
    if (!v.ok) {
        state.SkipWithError("cannot make or open the record file");
        return;
    }
    const double span = v.model.Graph().VisibleSpan();
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> where(v.record.StartTime(), v.record.EndTime());
    double values[200], times[200];
    for (auto _ : state) {
        const double x = std::min(where(rng), v.record.EndTime() - span);
        v.record.SeekTime(x, false);
        for (;;) {
            const int n = v.record.ReadRawSamples(values, times, 200);
            if (n < 200 || times[n - 1] > x + span) break;
        }
        benchmark::DoNotOptimize(values[0]);
    }
}
BENCHMARK(BM_Baseline_SeekAndReadRawSamples)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // Fonts of the labels need a QGuiApplication; without a display it runs offscreen.
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
