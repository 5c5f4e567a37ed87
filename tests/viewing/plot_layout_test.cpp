// Plot geometry: physical scales, the frame size, the layout of channels into cells, the baseline
// and what unusable scales do.

#include "tests/viewing/RecordingCanvas.h"
#include "viewing/plot/G2dGeometry.h"
#include "viewing/plot/G2dGraph.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace plottest;

namespace {

constexpr double kPpm96 = 96 / 25.4; // pixels per millimetre at 96 pixels per inch

struct Fixture {
    RecordingCanvas canvas;
    G2dGraph graph;
    explicit Fixture(int channels) {
        for (int i = 0; i < channels; ++i) graph.AddChannel(MString(u"ch"));
    }
};

TEST(PlotScales, MillimetresPerUnitGiveTheScaleAndTheSpan) {
    Fixture f(1);
    f.graph.SetCanvas(&f.canvas, 96, 50, 20, {0, 0, 1000, 300});
    const G2dChannel* ch = f.graph.Channel(0);
    EXPECT_EQ(ch->Rect(), (G2dRect{2, 2, 998, 298}));
    EXPECT_NEAR(ch->XScale(), 75.59, 0.005);
    EXPECT_NEAR(ch->YScale(), 50 * kPpm96, 1e-9);
    EXPECT_NEAR(ch->Span(), 996 / (20 * kPpm96), 1e-9);
    EXPECT_NEAR(ch->Span(), 13.2, 0.05);
    EXPECT_DOUBLE_EQ(f.graph.VisibleSpan(), ch->Span());
    EXPECT_NEAR(f.graph.PixelsToUnits(75, 0), 75 / (20 * kPpm96), 1e-12);
    EXPECT_EQ(f.graph.PixelsToUnits(75, 1), 0);

    f.graph.FitSpans(6, 1.2);
    EXPECT_NEAR(ch->Span(), 6 * 996 / 1000.0, 1e-9);
    EXPECT_NEAR(ch->XScale(), 1000 / 6.0, 1e-9);
    EXPECT_NEAR(ch->YScale(), 300 / 1.2, 1e-9);
    EXPECT_NEAR(f.graph.XmmPerUnit(), (1000 / 6.0) / kPpm96, 1e-9);

    // A span that is zero, negative or not a number keeps the scales.
    for (double bad : {0.0, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
        f.graph.FitSpans(bad, 1.2);
        f.graph.FitSpans(6, bad);
        EXPECT_NEAR(ch->Span(), 6 * 996 / 1000.0, 1e-9) << bad;
    }
}

TEST(PlotScales, FitSpansSharesTheHeightAmongTheChannels) {
    Fixture f(3);
    f.graph.SetCanvas(&f.canvas, 96, 10, 10, {0, 0, 400, 600});
    f.graph.FitSpans(3, 2);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(f.graph.Channel(i)->YScale(), (600 / 3) / 2.0, 1e-9);
}

TEST(PlotScales, ResolutionAboveTheFramePixelLimitShrinks) {
    Fixture f(1);
    f.graph.SetCanvas(&f.canvas, 96, 50, 20, {100, 200, 5100, 4200});
    EXPECT_EQ(f.graph.FrameWidth(), 3535);
    EXPECT_EQ(f.graph.FrameHeight(), 2828);
    EXPECT_EQ(f.graph.Resolution(), 67); // 96 x 0.707
    EXPECT_LE(f.graph.FrameWidth() * f.graph.FrameHeight(), 10'000'000);
    // Millimetres stay millimetres at the reduced resolution.
    EXPECT_NEAR(f.graph.Channel(0)->PixelsPerMm(), 67 / 25.4, 1e-9);
    // The frame still covers the whole target.
    f.graph.Render();
    EXPECT_EQ(f.canvas.lastTarget, (G2dRect{100, 200, 5100, 4200}));

    // FitSpans does not shrink again.
    f.graph.FitSpans(6, 1.2);
    EXPECT_EQ(f.graph.Resolution(), 67);
    EXPECT_NEAR(f.graph.Channel(0)->XScale(), 3535 / 6.0, 1e-9);

    const g2d::FrameSize small = g2d::FitFrame({0, 0, 0, -5}, 96);
    EXPECT_EQ(small.width, 10);
    EXPECT_EQ(small.height, 10);
    EXPECT_EQ(small.resolution, 96);
}

struct LayoutCase {
    const char* what;
    int channels, width, height;
    std::vector<G2dRect> rects;
    std::vector<bool> top, bottom; // x labels
};

TEST(PlotLayout, ChannelsFillCellsByTheRule) {
    const LayoutCase cases[] = {
        {"one channel takes the frame", 1, 1000, 300, {{2, 2, 998, 298}}, {true}, {true}},
        {"three on a wide low frame stand side by side (cells would be 24 times wider than high)",
         3,
         1200,
         150,
         {{2, 2, 398, 148}, {402, 2, 798, 148}, {802, 2, 1198, 148}},
         {true, true, true},
         {true, true, true}},
        {"three on a tall frame are stacked",
         3,
         400,
         600,
         {{2, 2, 398, 198}, {2, 202, 398, 398}, {2, 402, 398, 598}},
         {true, false, false},
         {false, false, true}},
        {"five in two columns: three, then two",
         5,
         1100,
         300,
         {{2, 2, 548, 98},
          {2, 102, 548, 198},
          {2, 202, 548, 298},
          {552, 2, 1098, 148},
          {552, 152, 1098, 298}},
         {true, false, false, true, false},
         {false, false, true, false, true}},
        {"rows higher than 200 pixels stop the search",
         2,
         5000,
         1000,
         {{2, 2, 4998, 498}, {2, 502, 4998, 998}},
         {true, false},
         {false, true}},
    };
    for (const LayoutCase& c : cases) {
        Fixture f(c.channels);
        f.graph.SetCanvas(&f.canvas, 96, 10, 10, {0, 0, c.width, c.height});
        for (int i = 0; i < c.channels; ++i) {
            const G2dChannel* ch = f.graph.Channel(i);
            EXPECT_EQ(ch->Rect(), c.rects[static_cast<size_t>(i)]) << c.what << ", channel " << i;
            EXPECT_EQ(ch->Grid().XLabelsTop(), c.top[static_cast<size_t>(i)]) << c.what << ", channel " << i;
            EXPECT_EQ(ch->Grid().XLabelsBottom(), c.bottom[static_cast<size_t>(i)])
                << c.what << ", channel " << i;
        }
    }
}

TEST(PlotLayout, GraphLabelFlagsReachTheGridsAtTheNextLayout) {
    Fixture f(2);
    f.graph.SetCanvas(&f.canvas, 96, 10, 10, {0, 0, 400, 600});
    f.graph.xLabelsTop = false;
    f.graph.yLabelsRight = false;
    EXPECT_TRUE(f.graph.Channel(0)->Grid().XLabelsTop());
    f.graph.FitSpans(5, 1);
    EXPECT_FALSE(f.graph.Channel(0)->Grid().XLabelsTop());
    EXPECT_FALSE(f.graph.Channel(0)->Grid().YLabelsRight());
    EXPECT_TRUE(f.graph.Channel(0)->Grid().YLabelsLeft());
    EXPECT_TRUE(f.graph.Channel(1)->Grid().XLabelsBottom());
}

TEST(PlotLayout, NoChannelsAndNoCanvasDoNothing) {
    Fixture none(0);
    none.graph.SetCanvas(&none.canvas, 96, 10, 10, {0, 0, 300, 200});
    none.graph.FitSpans(6, 1.2);
    none.graph.SetBaseline(16, 0);
    none.graph.SetMode(g2d::kScroll, 5);
    none.graph.Render();
    EXPECT_EQ(none.canvas.presents, 1);
    EXPECT_EQ(none.graph.VisibleSpan(), 0);
    EXPECT_EQ(none.graph.Channel(0), nullptr);
    const double xs[] = {1, 2};
    none.graph.AddPoints(0, xs, 2, xs);
    none.graph.BufferPoints(0, xs, 2, xs);
    none.graph.PlayBuffered();

    // Without a canvas: no layout, no frame, nothing stored.
    Fixture f(1);
    f.graph.SetCanvas(nullptr, 96, 10, 10, {0, 0, 300, 200});
    f.graph.Render();
    f.graph.AddPoints(0, xs, 2, xs);
    EXPECT_TRUE(f.graph.Channel(0)->Points().empty());
    EXPECT_EQ(f.graph.VisibleSpan(), 0);
    EXPECT_EQ(f.graph.PixelsToUnits(100, 0), 0);
    EXPECT_EQ(f.canvas.presents, 0);
}

TEST(PlotLayout, UnusableScalesDrawNothingAndGiveZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        int resolution;
        double ymm, xmm;
        bool xUsable;
    } cases[] = {
        {"resolution 0", 0, 50, 20, false},        {"negative resolution", -96, 50, 20, false},
        {"0 mm per x unit", 96, 50, 0, false},     {"negative mm per x unit", 96, 50, -20, false},
        {"x mm not a number", 96, 50, nan, false}, {"infinite x mm", 96, 50, inf, false},
        {"0 mm per y unit", 96, 0, 20, true},      {"y mm not a number", 96, nan, 20, true},
    };
    for (const Case& c : cases) {
        Fixture f(1);
        f.graph.SetCanvas(&f.canvas, c.resolution, c.ymm, c.xmm, {0, 0, 1000, 300});
        f.graph.SetMode(g2d::kScroll, 5);
        f.graph.SetBaseline(16, 0);
        std::vector<double> xs, ys;
        for (int i = 0; i < 50; ++i) {
            xs.push_back(i * 0.01);
            ys.push_back(std::sin(i * 0.3));
        }
        f.graph.AddPoints(0, xs.data(), 50, ys.data());
        f.graph.InvalidateGrid();
        f.graph.Render(); // must return: no grid loop over a zero step
        const G2dChannel* ch = f.graph.Channel(0);
        if (c.xUsable) {
            EXPECT_GT(f.graph.VisibleSpan(), 0) << c.what;
        } else {
            EXPECT_EQ(f.graph.VisibleSpan(), 0) << c.what;
            EXPECT_EQ(f.graph.PixelsToUnits(100, 0), 0) << c.what;
            EXPECT_EQ(ch->Span(), 1.0) << c.what;
        }
        EXPECT_FALSE(ch->Drawable()) << c.what;
        EXPECT_TRUE(CurveOf(f.graph).Of(Op::Polyline).empty()) << c.what;
        EXPECT_TRUE(OverlayOf(f.graph).Of(Op::Fill).empty()) << c.what;
        const bool yUsable = c.resolution > 0 && c.ymm > 0;
        EXPECT_EQ(ch->Grid().HorizontalLines().empty(), !yUsable) << c.what;
        if (!c.xUsable) {
            EXPECT_TRUE(ch->Grid().XLabels().empty()) << c.what;
        }
        // Nothing of the channel reaches the frame.
        for (const Op* op : FrameOf(f.graph).Of(Op::Draw)) EXPECT_NE(op->source, ch->CurveLayer()) << c.what;
        EXPECT_EQ(f.canvas.presents, 1) << c.what;
    }
}

TEST(PlotBaseline, FlagsAndOffsetPlaceTheZeroRow) {
    const int height = 296; // 1000 x 300 frame
    const double ys = 50 * kPpm96;
    struct Case {
        const char* what;
        int flags;
        double offset;
        double y;
        int row;
    } cases[] = {
        {"16: y = 0 on the middle row", 16, 0, 0, height / 2},
        {"8: y = 0 on the top edge", 8, 0, 0, 0},
        {"other flags: y = 0 on the bottom edge", 0, 0, 0, height},
        {"32 with 0.1: y = -0.1 on the bottom edge", 32, 0.1, -0.1, height},
        {"32 with 0.1: y = 1.0 is 1.1 units up", 32, 0.1, 1.0,
         height - static_cast<int>(std::lround(1.1 * ys))},
        {"16 with an offset moves the zero line up", 16, 0.2, 0,
         height / 2 - static_cast<int>(std::lround(0.2 * ys))},
    };
    for (const Case& c : cases) {
        Fixture f(1);
        f.graph.SetBaseline(c.flags, c.offset); // before the layout, as the live graphs do
        f.graph.SetCanvas(&f.canvas, 96, 50, 20, {0, 0, 1000, 300});
        EXPECT_EQ(f.graph.Channel(0)->RowOf(c.y), c.row) << c.what;
        // And after the layout, as the viewers do.
        Fixture g(1);
        g.graph.SetCanvas(&g.canvas, 96, 50, 20, {0, 0, 1000, 300});
        g.graph.SetBaseline(c.flags, c.offset);
        EXPECT_EQ(g.graph.Channel(0)->RowOf(c.y), c.row) << c.what << " (after the layout)";
    }
}

TEST(PlotBaseline, ChangingTheBaselineRedrawsOverlayAndCurve) {
    Fixture f(1);
    f.graph.SetCanvas(&f.canvas, 96, 50, 20, {0, 0, 1000, 300});
    f.graph.SetMode(g2d::kScroll, 0);
    std::vector<double> xs, ys;
    for (int i = 0; i < 100; ++i) {
        xs.push_back(i * 0.02);
        ys.push_back(0.5);
    }
    f.graph.AddPoints(0, xs.data(), 100, ys.data());
    f.graph.Render();
    const int rowBefore = CurveVertices(CurveOf(f.graph)).front().y;
    CurveOf(f.graph).ops.clear();
    OverlayOf(f.graph).ops.clear();

    f.graph.SetBaseline(8, 0); // y = 0 at the top: 0.5 is now above the frame
    f.graph.Render();
    const std::vector<G2dPixel> after = CurveVertices(CurveOf(f.graph));
    ASSERT_FALSE(after.empty());
    EXPECT_NE(after.front().y, rowBefore);
    EXPECT_EQ(after.front().y, f.graph.Channel(0)->RowOf(0.5));
    EXPECT_FALSE(OverlayOf(f.graph).Of(Op::Clear).empty()); // the overlay was drawn again
}

TEST(PlotGeometry, TruncAndModNeverOverflow) {
    EXPECT_EQ(g2d::Trunc(2.9), 2);
    EXPECT_EQ(g2d::Trunc(-2.9), -2);
    EXPECT_EQ(g2d::Trunc(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(g2d::Trunc(1e300), 1'000'000'000);
    EXPECT_EQ(g2d::Trunc(-1e300), -1'000'000'000);
    EXPECT_EQ(g2d::Mod(-1, 10), 9);
    EXPECT_EQ(g2d::Mod(23, 10), 3);
    EXPECT_EQ(g2d::Mod(5, 0), 0);
}

} // namespace
