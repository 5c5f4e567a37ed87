// Paced playback of live data: the queues of BufferPoints, the rate estimate on the program clock
// and the release of queued points by PlayBuffered, driven by a fake clock.

#include "core/Clock.h"
#include "tests/viewing/RecordingCanvas.h"
#include "viewing/plot/G2dGraph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace plottest;

namespace {

constexpr long double kStartUs = 1'000'000'000.0L; // 1,000,000 ms

class Playback : public ::testing::Test {
protected:
    explicit Playback(int channels = 1) {
        for (int i = 0; i < channels; ++i) graph.AddChannel(MString(u"c"));
        graph.SetCanvas(&canvas, 96, 50, 20, {0, 0, 1000, 300});
        graph.FitSpans(3, 1.2);
        graph.SetMode(g2d::kScroll, 5);
    }
    // Queues n samples 2 ms apart starting at x0 (seconds), y = x.
    void Buffer(int channel, double x0, int n) {
        std::vector<double> xs, ys;
        for (int i = 0; i < n; ++i) {
            xs.push_back(x0 + 0.002 * i);
            ys.push_back(x0 + 0.002 * i);
        }
        graph.BufferPoints(channel, xs.data(), n, ys.data());
    }
    void At(double ms) { clock.Set(kStartUs + static_cast<long double>(ms) * 1000); }
    const G2dChannel& Ch(int i = 0) { return *graph.Channel(i); }

    FakeClock clock{kStartUs};
    ScopedClock useClock{clock};
    RecordingCanvas canvas;
    G2dGraph graph;
};

TEST_F(Playback, TheFirstDataAreShownAtOnce) {
    Buffer(0, 0, 28);
    EXPECT_EQ(graph.QueuedPoints(0), 28);
    EXPECT_DOUBLE_EQ(graph.PlayPosition(), 0.054);
    At(50);
    graph.PlayBuffered();
    EXPECT_EQ(Ch().Points().size(), 28u);
    EXPECT_DOUBLE_EQ(Ch().CurrentX(), 0.054);
    EXPECT_EQ(graph.QueuedPoints(0), 0);
    EXPECT_EQ(canvas.presents, 1); // and rendered
}

TEST_F(Playback, BurstsAreReleasedAtTheMeasuredRate) {
    // The device delivers 28 samples every 56 ms; the render task ticks every 50 ms.
    double nextX = 0;
    double lastPlay = -1;
    std::vector<double> steps; // CurrentX advance per tick after the warm-up
    double lastX = 0;
    for (int ms = 0; ms <= 4000; ++ms) {
        At(ms);
        if (ms % 56 == 0) {
            Buffer(0, nextX, 28);
            nextX += 0.056;
        }
        if (ms % 50 == 0) {
            graph.PlayBuffered();
            // The play position never falls back, also when a tick empties the queue.
            EXPECT_GE(graph.PlayPosition(), lastPlay) << ms;
            lastPlay = graph.PlayPosition();
            if (ms > 1500) steps.push_back(Ch().CurrentX() - lastX);
            lastX = Ch().CurrentX();
        }
    }
    // Measured: 56 ms of data per 56 ms of clock, 0.001 s per ms (10 % more while lagging).
    EXPECT_GT(graph.PlayRate(), 0.00095);
    EXPECT_LT(graph.PlayRate(), 0.00111);
    // Every tick moves the trace on by about 50 ms of data: never a whole burst at once, never a
    // standstill between bursts.
    ASSERT_FALSE(steps.empty());
    for (double s : steps) {
        EXPECT_GT(s, 0.040);
        EXPECT_LT(s, 0.0575);
    }
    // Behind the device by the queued amount only.
    EXPECT_LT(nextX - Ch().CurrentX(), 0.25);
}

TEST_F(Playback, OnePointIsInterpolatedAtThePlayPosition) {
    const double first[] = {0.998}, firstY[] = {0};
    graph.BufferPoints(0, first, 1, firstY); // first estimate: shown at once, position 0.998
    At(300);
    graph.PlayBuffered();
    EXPECT_EQ(graph.QueuedPoints(0), 0);
    At(800);
    const double xs[] = {1.000, 1.002}, ys[] = {0, 1};
    graph.BufferPoints(0, xs, 2, ys); // 0.004 in 800 ms: 5e-6 units per ms
    EXPECT_NEAR(graph.PlayRate(), 0.004 / 800, 1e-15);
    graph.PlayBuffered(); // 500 ms since the last play: position 0.998 + 0.0025
    EXPECT_NEAR(graph.PlayPosition(), 1.0005, 1e-12);
    const auto& pts = Ch().Points();
    ASSERT_EQ(pts.size(), 3u);
    EXPECT_DOUBLE_EQ(pts[1].x, 1.000);
    EXPECT_NEAR(pts[2].x, 1.0005, 1e-12);
    EXPECT_NEAR(pts[2].y, 0.25, 1e-9);
    EXPECT_EQ(graph.QueuedPoints(0), 1); // the point beyond the position stays
}

TEST_F(Playback, LaggingMoreThan100msSpeedsUpBy10Percent) {
    Buffer(0, 0, 51); // 0 ... 0.1, shown at once
    graph.PlayBuffered();
    At(600);
    Buffer(0, 0.102, 450); // up to 1.0: 0.9 in 600 ms
    EXPECT_NEAR(graph.PlayRate(), 0.9 / 600, 1e-12);
    At(1200);
    Buffer(0, 1.002, 300); // up to 1.6: 0.6 in 600 ms, while the position still stands at 0.1
    EXPECT_NEAR(graph.PlayRate(), 0.001 * 1.1, 1e-12);
}

TEST_F(Playback, EstimatesComeAtMostEvery500ms) {
    Buffer(0, 0, 10);
    graph.PlayBuffered();
    At(400);
    Buffer(0, 0.02, 200);
    EXPECT_DOUBLE_EQ(graph.PlayRate(), 1'000'000); // too soon: still the first estimate
    At(501);
    Buffer(0, 0.42, 10);
    EXPECT_NEAR(graph.PlayRate(), (0.438 - 0.018) / 501, 1e-12);
}

TEST_F(Playback, DataStartingAgainClearTheGraph) {
    for (int ms = 0; ms <= 1200; ms += 50) {
        At(ms);
        Buffer(0, ms * 0.001, 25);
        graph.PlayBuffered();
    }
    EXPECT_GT(Ch().CurrentX(), 1.0);
    At(1800);
    Buffer(0, 0, 25); // a new recording from 0: the queue restarts, the estimate is forgotten
    EXPECT_EQ(graph.QueuedPoints(0), 25);
    EXPECT_TRUE(Ch().Points().empty());
    EXPECT_DOUBLE_EQ(graph.PlayRate(), 1'000'000);
    graph.PlayBuffered();
    EXPECT_DOUBLE_EQ(Ch().CurrentX(), 0.048);
    EXPECT_EQ(Ch().Points().size(), 25u);
}

TEST_F(Playback, QueuesThatAreNotPlayedAreDropped) {
    int most = 0;
    bool dropped = false;
    for (int i = 0; i < 80; ++i) {
        Buffer(0, i * 0.2, 100);
        const int q = graph.QueuedPoints(0);
        if (q < most) {
            dropped = true;
            EXPECT_EQ(q, 100); // only the new points
            break;
        }
        most = q;
    }
    EXPECT_TRUE(dropped);
    EXPECT_GT(most, 5000);
    EXPECT_LE(most, 5200);
}

TEST_F(Playback, AnEmptiedQueueKeepsItsNewestX) {
    Buffer(0, 0, 28);
    graph.PlayBuffered();
    ASSERT_EQ(graph.QueuedPoints(0), 0);
    // A tick with nothing new keeps the position where the emptied queue ended.
    At(50);
    graph.PlayBuffered();
    EXPECT_DOUBLE_EQ(graph.PlayPosition(), 0.054);
    // Data every other tick: the ticks between find the queue empty.
    for (int tick = 2; tick <= 60; ++tick) {
        At(tick * 50);
        if (tick % 2 == 0) Buffer(0, 0.056 * tick / 2, 28);
        graph.PlayBuffered();
        EXPECT_GE(graph.PlayPosition(), 0.054) << tick;
    }
    // The trace keeps up with the data instead of creeping one point per tick.
    EXPECT_GT(Ch().CurrentX(), 0.056 * 30 - 0.3);
}

TEST_F(Playback, BadCallsQueueNothing) {
    const double xs[] = {1, 2, 3};
    graph.BufferPoints(0, xs, 0, xs);
    graph.BufferPoints(0, xs, -3, xs); // would read before the array
    graph.BufferPoints(0, nullptr, 3, xs);
    graph.BufferPoints(0, xs, 3, nullptr);
    graph.BufferPoints(1, xs, 3, xs);
    graph.BufferPoints(-1, xs, 3, xs);
    EXPECT_EQ(graph.QueuedPoints(0), 0);
    graph.PlayBuffered(); // without queues: nothing at all
    EXPECT_EQ(canvas.presents, 0);
    EXPECT_TRUE(Ch().Points().empty());
}

TEST_F(Playback, ClearResetsThePlayback) {
    Buffer(0, 0, 28);
    graph.Clear();
    EXPECT_EQ(graph.QueuedPoints(0), 0);
    EXPECT_EQ(graph.PlayRate(), 0);
    Buffer(0, 0, 28); // a fresh start: shown at once again
    graph.PlayBuffered();
    EXPECT_EQ(Ch().Points().size(), 28u);
}

class TwoChannelPlayback : public Playback {
protected:
    TwoChannelPlayback() : Playback(2) {}
};

TEST_F(TwoChannelPlayback, TheRateIsMeasuredAfterTheLastChannel) {
    Buffer(0, 0, 28);
    EXPECT_EQ(graph.PlayRate(), 0);
    graph.PlayBuffered(); // no rate yet: nothing released
    EXPECT_TRUE(Ch(0).Points().empty());
    Buffer(1, 0, 28);
    EXPECT_DOUBLE_EQ(graph.PlayRate(), 1'000'000);
    At(50);
    graph.PlayBuffered();
    EXPECT_EQ(Ch(0).Points().size(), 28u);
    EXPECT_EQ(Ch(1).Points().size(), 28u);
}

} // namespace
