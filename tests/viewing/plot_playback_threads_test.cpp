// BufferPoints from a sample thread while the render thread plays back: the graph's lock keeps the
// queues, the points and the drawing consistent (also run under TSan).

#include "core/Clock.h"
#include "tests/viewing/RecordingCanvas.h"
#include "viewing/plot/G2dGraph.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace plottest;

namespace {

TEST(PlaybackThreads, BufferingAndPlayingFromTwoThreads) {
    FakeClock clock(1'000'000'000.0L);
    ScopedClock useClock(clock);
    RecordingCanvas canvas;
    G2dGraph graph;
    graph.AddChannel(MString(u"Контроль"));
    graph.SetCanvas(&canvas, 96, 1, 1, {0, 0, 600, 120});
    graph.FitSpans(3, 1.2);
    graph.SetMode(g2d::kScroll, 5);

    constexpr int kBursts = 600;
    std::atomic<bool> done{false};
    std::thread samples([&] {
        std::vector<double> xs(28), ys(28);
        for (int b = 0; b < kBursts; ++b) {
            for (int i = 0; i < 28; ++i) {
                xs[static_cast<size_t>(i)] = (b * 28 + i) * 0.002;
                ys[static_cast<size_t>(i)] = (i % 7) * 0.1;
            }
            graph.BufferPoints(0, xs.data(), 28, ys.data());
            clock.AdvanceMs(56);
        }
        done = true;
    });

    double lastX = 0;
    int ticks = 0;
    while (!done || ticks < 10) {
        graph.PlayBuffered();
        {
            MAutoLock lock(graph.Lock());
            const double x = graph.Channel(0)->CurrentX();
            EXPECT_GE(x, lastX); // the trace only moves forwards
            lastX = x;
            // Keep the recording canvas small.
            FrameOf(graph).ops.clear();
            CurveOf(graph).ops.clear();
            GridOf(graph).ops.clear();
        }
        ++ticks;
    }
    samples.join();

    // Once the device stops, the rest of the queue plays out.
    const double last = (kBursts * 28 - 1) * 0.002;
    for (int i = 0; i < 200 && graph.Channel(0)->CurrentX() < last; ++i) {
        clock.AdvanceMs(50);
        graph.PlayBuffered();
    }
    EXPECT_DOUBLE_EQ(graph.Channel(0)->CurrentX(), last);
    const auto& pts = graph.Channel(0)->Points();
    for (size_t i = 1; i < pts.size(); ++i) EXPECT_GE(pts[i].x, pts[i - 1].x);
}

} // namespace
