// Plot curves: how points are stored and trimmed, when and where the curve is drawn in each display
// mode, pen changes along x, and markers.

#include "tests/viewing/RecordingCanvas.h"
#include "viewing/plot/G2dGraph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace plottest;

namespace {

constexpr G2dRgb kRed{255, 0, 0};
constexpr G2dRgb kGreen{0, 128, 0};

// One channel `width` pixels wide (the frame is 4 wider) at 254 pixels per inch with 10 mm per
// unit both ways: 100 pixels per unit, span width / 100.
struct Plot {
    RecordingCanvas canvas;
    G2dGraph graph;
    G2dChannel* ch;
    explicit Plot(int width = 1000, int height = 300, int mode = g2d::kPage, double gapMm = 0) {
        ch = graph.AddChannel(MString(u"c"));
        graph.SetCanvas(&canvas, 254, 10, 10, {0, 0, width + 4, height + 4});
        if (mode != g2d::kPage) graph.SetMode(mode, gapMm);
        graph.SetBaseline(16, 0);
    }
    // Points from `from` to `to` every `step` with y = f(x), the last one exactly at `to`.
    template <class F>
    void Feed(double from, double to, double step, F f) {
        std::vector<double> xs, ys;
        const int n = static_cast<int>(std::lround((to - from) / step));
        for (int i = 0; i <= n; ++i) {
            const double x = i == n ? to : from + i * step;
            xs.push_back(x);
            ys.push_back(f(x));
        }
        graph.AddPoints(0, xs.data(), static_cast<int>(xs.size()), ys.data());
    }
    void Feed(double from, double to, double step = 0.02) {
        Feed(from, to, step, [](double) { return 0.0; });
    }
    const RecordingLayer& Curve() const { return CurveOf(graph); }
    void Forget() const {
        Curve().ops.clear();
        FrameOf(graph).ops.clear();
        GridOf(graph).ops.clear();
    }
};

TEST(PlotPoints, OneAtATimeKeepsOneSpanAndOnePoint) {
    Plot p(600); // span 6
    for (int i = 0; i <= 10000; ++i) p.graph.AddPoint(0, i * 0.002, 0);
    const auto& pts = p.ch->Points();
    ASSERT_GE(pts.size(), 2u);
    EXPECT_DOUBLE_EQ(pts.back().x, 20.0);
    const double keepFrom = 20.0 - p.ch->Span();
    EXPECT_LE(pts.front().x, keepFrom); // the one point that carries the line in from the left
    EXPECT_GT(pts[1].x, keepFrom);
    EXPECT_NEAR(pts.front().x, 14.0, 0.0021);
    EXPECT_TRUE(pts.front().restart == false);
}

TEST(PlotPoints, GoingBackOrJumpingAScreenStartsAfresh) {
    struct Case {
        const char* what;
        double next;
        bool restarts;
    } cases[] = {
        {"x goes back", 3.0, true},
        {"x jumps more than a span", 5.0 + 10.0 + 0.5, true},
        {"x moves on within a span", 9.0, false},
        {"same x again", 5.0, false},
    };
    for (const Case& c : cases) {
        Plot p; // span 10
        p.Feed(0, 5);
        p.graph.Render();
        const size_t before = p.ch->Points().size();
        p.graph.AddPoint(0, c.next, 1);
        const auto& pts = p.ch->Points();
        EXPECT_DOUBLE_EQ(p.ch->CurrentX(), c.next) << c.what;
        if (c.restarts) {
            ASSERT_EQ(pts.size(), 1u) << c.what;
            EXPECT_TRUE(pts[0].restart) << c.what; // not joined to anything before
            EXPECT_EQ(p.ch->DrawnIndex(), 0) << c.what;
        } else {
            EXPECT_EQ(pts.size(), before + 1) << c.what;
            EXPECT_FALSE(pts.back().restart) << c.what;
        }
    }
    // The first point after a clear starts a segment.
    Plot p;
    p.Feed(0, 1);
    EXPECT_TRUE(p.ch->Points().front().restart);
    EXPECT_FALSE(p.ch->Points()[1].restart);
}

TEST(PlotPoints, BadCallsStoreNothing) {
    Plot p;
    const double xs[] = {1, 2, 3};
    const double ys[] = {0, 0, 0};
    p.graph.AddPoints(0, xs, 0, ys);
    p.graph.AddPoints(0, xs, -3, ys);
    p.graph.AddPoints(0, nullptr, 3, ys);
    p.graph.AddPoints(0, xs, 3, nullptr);
    p.graph.AddPoints(1, xs, 3, ys);
    p.graph.AddPoints(-1, xs, 3, ys);
    const double nanLast[] = {1, 2, std::nan("")};
    p.graph.AddPoints(0, nanLast, 3, ys);
    EXPECT_TRUE(p.ch->Points().empty());
    EXPECT_EQ(p.ch->CurrentX(), 0);
}

// Vertices of the curve polylines of the last Render.
std::vector<G2dPixel> Drawn(const Plot& p) {
    return CurveVertices(p.Curve());
}

TEST(PlotCurve, NothingIsDrawnUntilMoreThanFourNewPoints) {
    for (int mode : {g2d::kScroll, g2d::kSweep, g2d::kPage}) {
        Plot p(1000, 300, mode, 0);
        p.Feed(0, 2); // 101 points, 2 pixels apart
        p.graph.Render();
        EXPECT_FALSE(Drawn(p).empty()) << mode;
        double x = 2;
        for (int i = 0; i < 4; ++i) {
            p.Forget();
            x += 0.02;
            p.graph.AddPoint(0, x, 0.1 * i);
            p.graph.Render();
            EXPECT_TRUE(Drawn(p).empty()) << "mode " << mode << ", new point " << i + 1;
            EXPECT_EQ(p.canvas.presents, 2 + i); // the frame is still handed over
        }
        p.Forget();
        p.graph.AddPoint(0, x + 0.02, 0.5);
        p.graph.Render();
        // All five new points, joined to the last one drawn before.
        EXPECT_EQ(Drawn(p).size(), 6u) << mode;
    }
}

TEST(PlotCurve, ScrollModeKeepsTheNewestPointGapPixelsFromTheRightEdge) {
    for (double gapMm : {0.0, 5.0}) {
        Plot p(1000, 300, g2d::kScroll, gapMm);
        const int gap = gapMm == 0 ? 1 : 50;
        EXPECT_EQ(p.ch->Gap(), gap);
        p.Feed(0, 3.333);
        p.graph.Render();
        const auto v = Drawn(p);
        ASSERT_FALSE(v.empty());
        EXPECT_EQ(v.front().x, 1000 - gap - 1) << gapMm; // gap blank columns right of it
        EXPECT_EQ(std::max_element(v.begin(), v.end(), [](G2dPixel a, G2dPixel b) { return a.x < b.x; })->x,
                  1000 - gap - 1);
        EXPECT_NEAR(p.ch->LeftEdge(), 3.333 - 1000 / 100.0, 1e-9);
    }
}

TEST(PlotCurve, SetModeBeforeTheFirstLayoutGivesAOnePixelGap) {
    RecordingCanvas canvas;
    G2dGraph g;
    G2dChannel* ch = g.AddChannel(MString(u"c"));
    g.SetMode(g2d::kScroll, 5); // no resolution yet
    EXPECT_EQ(ch->Gap(), 1);
    g.SetCanvas(&canvas, 96, 10, 10, {0, 0, 400, 200});
    EXPECT_EQ(ch->Gap(), 1); // kept in pixels
    g.SetMode(g2d::kScroll, 5);
    EXPECT_EQ(ch->Gap(), 18); // 5 mm at 96 pixels per inch
    g.SetMode(g2d::kPage, 5);
    EXPECT_EQ(ch->Gap(), 1); // none in page mode, but at least one pixel
}

TEST(PlotCurve, ScrollModeShiftsByTheMovementAndClearsTheStrip) {
    Plot p(1000, 300, g2d::kScroll, 0);
    p.Feed(0, 2);
    p.graph.Render();
    p.Forget();
    p.Feed(2.02, 2.3); // 0.3 units = 30 pixels
    p.graph.Render();
    const auto scrolls = p.Curve().Of(Op::Scroll);
    ASSERT_EQ(scrolls.size(), 1u);
    EXPECT_EQ(scrolls[0]->width, 30);
    const auto clears = p.Curve().Of(Op::Clear);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0]->rect, (G2dRect{970, 0, 1000, 300}));
    // The grid moves with the data by the same distance.
    const auto gridScrolls = GridOf(p.graph).Of(Op::Scroll);
    ASSERT_EQ(gridScrolls.size(), 1u);
    EXPECT_EQ(gridScrolls[0]->width, 30);
    // Only the new points are drawn: from the newest back to the one drawn last.
    const auto v = Drawn(p);
    EXPECT_EQ(v.size(), 16u);
    EXPECT_EQ(v.back().x, 998 - 30);

    // Back in x or more than a span on: the bitmap is cleared instead.
    p.Forget();
    p.Feed(20, 25);
    p.graph.Render();
    EXPECT_TRUE(p.Curve().Of(Op::Scroll).empty());
    ASSERT_FALSE(p.Curve().Of(Op::Clear).empty());
    EXPECT_EQ(p.Curve().Of(Op::Clear)[0]->rect, (G2dRect{0, 0, 1000, 300}));
}

TEST(PlotCurve, ScrollModeTakesTheLineToTheLeftEdge) {
    Plot p(500, 300, g2d::kScroll, 0); // span 5
    p.Feed(0, 8);                      // one batch longer than a span stays whole
    p.graph.Render();
    const auto v = Drawn(p);
    ASSERT_GE(v.size(), 2u);
    // Drawn from the newest backwards; the point beyond the left edge is put there and drawing stops.
    EXPECT_LT(v.back().x, 0);
    for (size_t i = 0; i + 1 < v.size(); ++i) EXPECT_GE(v[i].x, 0);
    EXPECT_LE(v.size(), 252u); // about one span of points, not the whole batch
}

TEST(PlotCurve, PageModeStartsEachPageAfresh) {
    Plot p(1000, 300, g2d::kPage); // pages of 10 units
    p.Feed(0, 8);
    p.graph.Render();
    p.Forget();
    p.Feed(8.02, 12); // crosses onto page 1
    p.graph.Render();
    const auto clears = p.Curve().Of(Op::Clear);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0]->rect, (G2dRect{0, 0, 1000, 300}));
    const auto v = Drawn(p);
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.front().x, 200); // x 12 on page 1
    EXPECT_LT(v.back().x, 0);    // the line runs in from the previous page
    for (size_t i = 0; i + 1 < v.size(); ++i) EXPECT_LE(v[i].x, 200);
}

TEST(PlotCurve, SweepModeClearsABlankGapAheadAndWraps) {
    // 96 pixels per inch: a 10 mm gap is 37 pixels.
    RecordingCanvas canvas;
    G2dGraph g;
    G2dChannel* ch = g.AddChannel(MString(u"Запись"));
    g.SetCanvas(&canvas, 96, 10, 10, {0, 0, 1004, 304}); // 37.795 pixels per unit, span 26.46
    g.SetMode(g2d::kSweep, 10);
    EXPECT_EQ(ch->Gap(), 37);
    auto feed = [&](double from, double to) {
        std::vector<double> xs, ys;
        for (double x = from; x <= to + 1e-9; x += 0.1) {
            xs.push_back(x);
            ys.push_back(0);
        }
        g.AddPoints(0, xs.data(), static_cast<int>(xs.size()), ys.data());
    };
    feed(0, 10);
    g.Render();
    const int before = ch->SweepColumn();
    CurveOf(g).ops.clear();
    FrameOf(g).ops.clear();
    feed(10.1, 12);
    g.Render();
    const int now = ch->SweepColumn();
    // w = 1: the band from the last position + 1 to the new one + gap + 1 is blanked first.
    const auto clears = CurveOf(g).Of(Op::Clear);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0]->rect, (G2dRect{before + 1, 0, now + 37 + 1, 300}));
    // Forwards from the last drawn position.
    const auto v = CurveVertices(CurveOf(g));
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.front().x, before);
    EXPECT_EQ(v.back().x, now);
    // The newest-point dot: radius min(2w, 6) = 2 < gap, white inside the curve colour.
    const auto dots = FrameOf(g).Of(Op::Circle);
    ASSERT_EQ(dots.size(), 1u);
    EXPECT_EQ(dots[0]->radius, 2);
    EXPECT_EQ(dots[0]->points[0], (G2dPixel{2 + now, 2 + ch->RowOf(0)}));
    EXPECT_EQ(dots[0]->fill, (G2dRgb{255, 255, 255}));
    EXPECT_EQ(dots[0]->colour, ch->CurveColour());

    // Past the right edge the trace wraps: it finishes at the right edge and goes on from the left.
    CurveOf(g).ops.clear();
    feed(12.1, 30);
    g.Render();
    const auto w = CurveVertices(CurveOf(g));
    EXPECT_TRUE(std::any_of(w.begin(), w.end(), [](G2dPixel px) { return px.x >= 1000; }));
    EXPECT_TRUE(std::any_of(w.begin(), w.end(), [](G2dPixel px) { return px.x < 0; }));
    EXPECT_EQ(ch->SweepColumn(), static_cast<int>(30 * ch->XScale() + 0.5) % 1000);
}

TEST(PlotCurve, NoDotWhenTheGapIsSmallerThanIt) {
    Plot p(1000, 300, g2d::kScroll, 0); // gap 1 pixel
    p.Feed(0, 2);
    p.graph.Render();
    EXPECT_TRUE(FrameOf(p.graph).Of(Op::Circle).empty());
}

TEST(PlotPens, ChangesAlongX) {
    Plot p(2500, 300, g2d::kSweep, 1); // span 25: no wrap below x 25
    p.ch->AddLinePen(0.7, kRed, -1);
    EXPECT_EQ(p.ch->CurveColour(), kRed); // at once, from the start
    EXPECT_FLOAT_EQ(p.ch->CurveWidth(), 0.7f);
    p.ch->AddLinePen(-1, kGreen, 12.5); // the current width from 12.5 on
    p.ch->AddLinePen(-1, kGreen, 12.5); // the same again adds nothing
    ASSERT_EQ(p.ch->Pens().size(), 2u);
    EXPECT_FLOAT_EQ(static_cast<float>(p.ch->Pens()[1].width), 0.7f);

    std::vector<Op> kept;
    for (double x0 = 0; x0 < 20; x0 += 1) {
        p.Feed(x0 == 0 ? 0 : x0 + 0.01, x0 + 1, 0.01);
        p.graph.Render();
        for (const Op* op : p.Curve().Of(Op::Polyline)) kept.push_back(*op);
        p.Forget();
    }
    // Red up to the switch, green after it; all 0.7 mm = 7 pixels wide.
    size_t firstGreen = kept.size();
    for (size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(kept[i].width, 7);
        if (kept[i].colour == kGreen && firstGreen == kept.size()) firstGreen = i;
        EXPECT_EQ(kept[i].colour, i < firstGreen ? kRed : kGreen) << i;
    }
    ASSERT_LT(firstGreen, kept.size());
    // The pen is looked at every 10 pixels: green starts within 10 pixels after x 12.5 (column 1250).
    const auto& green = kept[firstGreen].points;
    ASSERT_GE(green.size(), 2u);
    EXPECT_GE(green[1].x, 1250);
    EXPECT_LE(green[1].x, 1261);
    EXPECT_EQ(green[0], kept[firstGreen - 1].points.back()); // joined to the red part
}

TEST(PlotPens, ScrollModePicksThePenInForceAndDropsOldOnes) {
    Plot p(1000, 300, g2d::kScroll, 0); // span 10
    p.ch->AddLinePen(0.7, kRed, -1);
    p.ch->AddLinePen(-1, kGreen, 12.5);
    p.Feed(0, 12);
    p.graph.Render();
    for (const Op* op : p.Curve().Of(Op::Polyline)) EXPECT_EQ(op->colour, kRed);
    p.Forget();
    p.Feed(12.02, 14);
    p.graph.Render();
    const auto lines = p.Curve().Of(Op::Polyline);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front()->colour, kGreen); // the newest part
    EXPECT_EQ(p.ch->Pens().size(), 2u);       // red still colours the left part of the screen
    p.Feed(14.02, 23);
    p.graph.Render();
    EXPECT_EQ(p.ch->Pens().size(), 1u); // green covers the whole span now
    EXPECT_EQ(p.ch->CurveColour(), kGreen);

    // Clear drops the pens but keeps the pen in force.
    p.graph.Clear();
    EXPECT_TRUE(p.ch->Pens().empty());
    EXPECT_EQ(p.ch->CurveColour(), kGreen);
}

TEST(PlotPens, PointsBeforeTheFirstPenKeepThePenBeforeIt) {
    // As the record viewer does after Clear: the curve is red, the first pen (green) starts at 5.
    for (int mode : {g2d::kScroll, g2d::kPage}) {
        Plot p(1000, 300, mode, 0);
        p.ch->SetCurveColour(kRed);
        p.Feed(0, 8);
        p.ch->AddLinePen(-1, kGreen, 5.0);
        p.graph.Render(); // drawn from x 8 backwards
        const auto lines = p.Curve().Of(Op::Polyline);
        ASSERT_GE(lines.size(), 2u) << mode;
        EXPECT_EQ(lines.front()->colour, kGreen) << mode;
        EXPECT_EQ(lines.back()->colour, kRed) << mode;
        // The change lies within 10 pixels of x 5 (column 500 in both modes here).
        const int change = lines.back()->points.front().x;
        const int at = mode == g2d::kScroll ? p.ch->CurveColumn(5.0) : 500;
        EXPECT_LE(std::abs(change - at), 10) << mode;
    }
}

TEST(PlotMarkers, AnchoredMarkerReadsTheDataUnderIt) {
    // Channel 1000 pixels wide, 100 pixels per unit, newest point at x 10.
    struct Case {
        int mode;
        double gapMm;
        double dataX;
    } cases[] = {
        {g2d::kPage, 0, 4.0},
        {g2d::kSweep, 0, 4.0},
        {g2d::kScroll, 0, 10 - (998 - 400) / 100.0}, // the newest point stands at column 998
    };
    for (const Case& c : cases) {
        Plot p(1000, 300, c.mode, c.gapMm);
        p.Feed(0, 10, 0.01, [](double x) { return x / 10; });
        G2dMarker* m = p.ch->AddMarker();
        m->anchored = true;
        m->x = 400;
        p.graph.Render();
        EXPECT_NEAR(m->DataX(), c.dataX, 1e-9) << c.mode;
        EXPECT_EQ(m->PixelX(), 400);
        ASSERT_TRUE(m->HasValue());
        EXPECT_NEAR(m->ValueY(), c.dataX / 10, 1e-9); // the curve's value there
    }
}

TEST(PlotMarkers, ValueIsInterpolatedAndMissingOutsideThePoints) {
    Plot p(1000, 300, g2d::kScroll, 0);
    const double xs[] = {1.000, 1.002, 1.002, 1.010};
    const double ys[] = {0.0, 1.0, 3.0, 3.0};
    p.graph.AddPoints(0, xs, 4, ys);
    struct Case {
        double x;
        bool has;
        double y;
    } cases[] = {
        {1.0005, true, 0.25}, {1.000, true, 0.0},  {1.006, true, 3.0},
        {1.010, true, 3.0},   {0.999, false, 0.0}, {1.0101, false, 0.0},
    };
    for (const Case& c : cases) {
        double y = -1;
        EXPECT_EQ(p.ch->ValueAt(c.x, &y), c.has) << c.x;
        if (c.has) {
            EXPECT_NEAR(y, c.y, 1e-12) << c.x;
        }
    }
    // Two points at the same x: one of their own values, never a division by zero.
    double y = -1;
    ASSERT_TRUE(p.ch->ValueAt(1.002, &y));
    EXPECT_TRUE(y == 1.0 || y == 3.0);
}

TEST(PlotMarkers, DrawnLineTickCirclesAndLabel) {
    Plot p(1000, 300, g2d::kScroll, 0);
    p.Feed(2.5, 5, 0.01, [](double) { return 0.5; });
    G2dMarker* m = p.ch->AddMarker();
    m->x = 3.0;
    m->label = MString(u"B1");
    m->colour = kRed;
    G2dMarker* before = p.ch->AddMarker(); // on screen, but before the first stored point
    before->x = 1.0;
    G2dMarker* hidden = p.ch->AddMarker();
    hidden->x = 4.0;
    hidden->visible = false;
    hidden->colour = kGreen;
    G2dMarker* offScreen = p.ch->AddMarker();
    offScreen->x = -20;
    p.graph.Render();

    const int w = 5;                  // 0.5 mm at 10 pixels per mm
    const int column = 2 + 998 - 200; // frame column of x 3: two units left of the newest point
    EXPECT_EQ(m->PixelX(), 998 - 200);
    const auto fills = FrameOf(p.graph).Of(Op::Fill);
    auto has = [&](const G2dRect& r, G2dRgb c) {
        return std::any_of(fills.begin(), fills.end(),
                           [&](const Op* op) { return op->rect == r && op->colour == c; });
    };
    auto count = [&](G2dRgb c) {
        return std::count_if(fills.begin(), fills.end(), [&](const Op* op) { return op->colour == c; });
    };
    // The line from 30 pixels below the top to 30 above the bottom, w wide.
    EXPECT_TRUE(has({column - 2, 2 + 30, column + 3, 302 - 30}, kRed));
    // The tick 5 mm to each side at the value's row.
    const int row = 2 + p.ch->RowOf(0.5);
    EXPECT_TRUE(has({column - 50, row - 2, column + 51, row + 3}, kRed));
    // White circles of radius w at both ends, in the marker's colour.
    int circles = 0;
    for (const Op* op : FrameOf(p.graph).Of(Op::Circle)) {
        if (op->colour != kRed) continue;
        ++circles;
        EXPECT_EQ(op->radius, w);
        EXPECT_EQ(op->fill, (G2dRgb{255, 255, 255}));
        EXPECT_TRUE(op->points[0] == (G2dPixel{column, 32}) || op->points[0] == (G2dPixel{column, 272}));
    }
    EXPECT_EQ(circles, 2);
    // The label: bold, 2 x 0.5 + 8 = 9 points, upwards, right of the line, centred in the channel.
    const Op* label = nullptr;
    for (const Op* op : FrameOf(p.graph).Of(Op::Text))
        if (op->text.Equals(u"B1")) label = op;
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->upwards);
    EXPECT_EQ(label->font, (G2dFont{9, kG2dBold}));
    EXPECT_GT(label->rect.left, column + 2);
    EXPECT_NEAR((label->rect.top + label->rect.bottom) / 2.0, 152, 1);

    // Before the stored points: the line only, no value and no tick.
    EXPECT_EQ(before->PixelX(), 998 - 400);
    EXPECT_FALSE(before->HasValue());
    EXPECT_TRUE(has({2 + 598 - 2, 32, 2 + 598 + 3, 272}, G2dRgb{}));
    EXPECT_EQ(count(G2dRgb{}), 1);
    // Invisible and off-screen markers draw nothing.
    EXPECT_EQ(count(kGreen), 0);
    EXPECT_LT(offScreen->PixelX(), 0);
    EXPECT_EQ(FrameOf(p.graph).Of(Op::Circle).size(), 4u);
}

} // namespace
