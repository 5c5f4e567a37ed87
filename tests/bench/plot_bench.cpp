// Plot library on a 1920 x 300 frame at 96 pixels per inch, 6 s across, 500 samples per second:
//   Render of a whole scroll-mode window of 6 s (3000 points) after Clear, as the record viewer
//     draws each new position;
//   one 50 ms tick of live data (25 points) rendered incrementally in sweep mode, as the
//     recording graph;
//   one PlayBuffered tick (25 points queued, paced and rendered) in scroll mode, as the control
//     graph;
//   repainting the frame without new data;
// baseline: one QPainter::drawImage of a frame of the same size onto the same target.

#include "core/Clock.h"
#include "viewing/plot/G2dGraph.h"
#include "viewing/plot/qt/G2dQtCanvas.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 300;
constexpr double kRate = 500;

double Wave(double t) {
    const double phase = std::fmod(t * 1.15, 1.0);
    return 0.15 + 0.7 * std::exp(-std::pow((phase - 0.2) / 0.08, 2)) +
           0.25 * std::exp(-std::pow((phase - 0.45) / 0.1, 2));
}

struct Setup {
    QImage target{kWidth, kHeight, QImage::Format_RGB32};
    G2dQtCanvas canvas{&target};
    G2dGraph graph;
    G2dChannel* ch;
    Setup(int mode, double gapMm) {
        target.fill(Qt::white);
        ch = graph.AddChannel(MString(u"Запись"));
        ch->SetCaptions(MString(u"Время, сек."), MString(u"Ампл., ед."));
        ch->SetCurveWidth(0.7f);
        ch->SetCurveColour({255, 0, 0});
        graph.SetBaseline(32, 0.1);
        graph.SetCanvas(&canvas, 96, 1, 1, {0, 0, kWidth, kHeight});
        graph.FitSpans(6, 1.2);
        graph.SetMode(mode, gapMm);
    }
};

void Samples(double from, int n, std::vector<double>& xs, std::vector<double>& ys) {
    xs.resize(static_cast<size_t>(n));
    ys.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        xs[static_cast<size_t>(i)] = from + i / kRate;
        ys[static_cast<size_t>(i)] = Wave(xs[static_cast<size_t>(i)]);
    }
}

void BM_RenderScrollWindow(benchmark::State& state) {
    Setup s(g2d::kScroll, 0);
    std::vector<double> xs, ys;
    Samples(100, 3000, xs, ys);
    for (auto _ : state) {
        s.graph.Clear();
        s.graph.AddPoints(0, xs.data(), 3000, ys.data());
        s.graph.Render();
    }
    benchmark::DoNotOptimize(s.target.constBits());
}
BENCHMARK(BM_RenderScrollWindow)->Unit(benchmark::kMillisecond);

void BM_RenderSweepTick(benchmark::State& state) {
    Setup s(g2d::kSweep, 10);
    std::vector<double> xs, ys;
    double x = 0;
    // Fill a page first, so every tick overwrites old data as in a running recording.
    Samples(x, 3500, xs, ys);
    s.graph.AddPoints(0, xs.data(), 3500, ys.data());
    s.graph.Render();
    x += 3500 / kRate;
    for (auto _ : state) {
        state.PauseTiming();
        Samples(x, 25, xs, ys);
        x += 25 / kRate;
        state.ResumeTiming();
        s.graph.AddPoints(0, xs.data(), 25, ys.data());
        s.graph.Render();
    }
    benchmark::DoNotOptimize(s.target.constBits());
}
BENCHMARK(BM_RenderSweepTick)->Unit(benchmark::kMillisecond);

void BM_PlayBufferedTick(benchmark::State& state) {
    FakeClock clock(1e9);
    ScopedClock useClock(clock);
    Setup s(g2d::kScroll, 5);
    std::vector<double> xs, ys;
    double x = 0;
    // Run for two seconds first, so that the rate is measured and playback is steady.
    for (int tick = 0; tick < 40; ++tick) {
        Samples(x, 25, xs, ys);
        x += 25 / kRate;
        s.graph.BufferPoints(0, xs.data(), 25, ys.data());
        clock.AdvanceMs(50);
        s.graph.PlayBuffered();
    }
    for (auto _ : state) {
        state.PauseTiming();
        Samples(x, 25, xs, ys);
        x += 25 / kRate;
        clock.AdvanceMs(50);
        state.ResumeTiming();
        s.graph.BufferPoints(0, xs.data(), 25, ys.data());
        s.graph.PlayBuffered();
    }
    benchmark::DoNotOptimize(s.target.constBits());
}
BENCHMARK(BM_PlayBufferedTick)->Unit(benchmark::kMillisecond);

void BM_RenderNoNewData(benchmark::State& state) {
    Setup s(g2d::kScroll, 0);
    std::vector<double> xs, ys;
    Samples(100, 3000, xs, ys);
    s.graph.AddPoints(0, xs.data(), 3000, ys.data());
    s.graph.Render();
    for (auto _ : state) s.graph.Render();
    benchmark::DoNotOptimize(s.target.constBits());
}
BENCHMARK(BM_RenderNoNewData)->Unit(benchmark::kMillisecond);

// Baseline: copying a frame of the same size onto the same kind of target once.
void BM_BaselineDrawImage(benchmark::State& state) {
    QImage frame(kWidth, kHeight, QImage::Format_RGB32);
    frame.fill(QColor(255, 251, 240));
    QImage target(kWidth, kHeight, QImage::Format_RGB32);
    for (auto _ : state) {
        QPainter p(&target);
        p.drawImage(0, 0, frame);
    }
    benchmark::DoNotOptimize(target.constBits());
}
BENCHMARK(BM_BaselineDrawImage)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv); // fonts
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
