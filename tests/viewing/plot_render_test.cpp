// Frames rendered by the Qt canvas, read pixel by pixel with antialiasing off: grid rows, the zero
// line, channel frames, the curve in each display mode, pen colours along x, markers, and how the
// frame reaches its target. At 254 pixels per inch a millimetre is 10 pixels.

#include "viewing/plot/G2dGraph.h"
#include "viewing/plot/qt/G2dQtCanvas.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// Fonts need a QGuiApplication; without a display it runs on the offscreen platform.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "test_plot_render";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QGuiApplication>(argc, argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QGuiApplication> m_app;
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kFrame = qRgb(255, 251, 240);
const QRgb kGrid = qRgb(210, 220, 255);
const QRgb kZero = qRgb(200, 200, 250);
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kGreen = qRgb(0, 128, 0);

// One channel of 1000 x 300 pixels at (2, 2) in a 1004 x 304 frame, 100 pixels per unit both ways,
// y = 0 in the middle (row 150 of the channel), a curve 0.1 mm = 1 pixel wide in blue.
struct Rendered {
    QImage target{1004, 304, QImage::Format_RGB32};
    G2dQtCanvas canvas{&target};
    G2dGraph graph;
    G2dChannel* ch;
    explicit Rendered(int mode = g2d::kPage, double gapMm = 0) {
        target.fill(Qt::black);
        canvas.SetAntialiasing(false);
        ch = graph.AddChannel(MString(u"c"));
        ch->SetCurveWidth(0.1f);
        graph.SetBaseline(16, 0);
        graph.SetCanvas(&canvas, 254, 10, 10, {0, 0, 1004, 304});
        if (mode != g2d::kPage) graph.SetMode(mode, gapMm);
    }
    void Feed(double from, double to, double y = 0.5, double step = 0.01) {
        std::vector<double> xs, ys;
        const int n = static_cast<int>(std::lround((to - from) / step));
        for (int i = 0; i <= n; ++i) {
            xs.push_back(i == n ? to : from + i * step);
            ys.push_back(y);
        }
        graph.AddPoints(0, xs.data(), static_cast<int>(xs.size()), ys.data());
    }
    // Pixel of the channel at (column, row).
    QRgb At(int column, int row) const { return target.pixel(2 + column, 2 + row) | 0xff000000u; }
};

TEST(PlotRender, GridRowsEvery2mmAndTheZeroLine) {
    Rendered r;
    r.graph.Render();
    // Column 510 of the channel lies between vertical lines and away from every label.
    std::vector<QRgb> expected(300, kWhite);
    for (int k = -7; k <= 7; ++k) {
        const int row = 150 - 20 * k;
        const int width = k == 0 ? 12 : k % 5 == 0 ? 6 : 3;
        for (int y = row - width / 2; y < row - width / 2 + width; ++y)
            if (y >= 0 && y < 300) expected[static_cast<size_t>(y)] = k == 0 ? kZero : kGrid;
    }
    for (int y = 0; y < 300; ++y) EXPECT_EQ(r.At(510, y), expected[static_cast<size_t>(y)]) << "row " << y;
    // A vertical line every 2 mm of x, thick every 10 mm: columns 500 (thick) and 520 (thin).
    // (Row 20 lies between horizontal lines.)
    EXPECT_EQ(r.At(496, 20), kWhite);
    EXPECT_EQ(r.At(497, 20), kGrid);
    EXPECT_EQ(r.At(502, 20), kGrid);
    EXPECT_EQ(r.At(503, 20), kWhite);
    EXPECT_EQ(r.At(518, 20), kWhite);
    EXPECT_EQ(r.At(519, 20), kGrid);
    EXPECT_EQ(r.At(521, 20), kGrid);
    EXPECT_EQ(r.At(522, 20), kWhite);
}

TEST(PlotRender, ChannelFramesFillTheMargins) {
    QImage target(400, 404, QImage::Format_RGB32);
    target.fill(Qt::black);
    G2dQtCanvas canvas(&target);
    canvas.SetAntialiasing(false);
    G2dGraph graph;
    graph.AddChannel(MString(u"a"));
    graph.AddChannel(MString(u"b"));
    graph.SetCanvas(&canvas, 96, 10, 10, {0, 0, 400, 404}); // stacked, cells 202 high
    graph.Render();
    for (const QPoint p : {QPoint(0, 0), QPoint(1, 1), QPoint(399, 403), QPoint(200, 200), QPoint(200, 203),
                           QPoint(0, 300), QPoint(398, 100)})
        EXPECT_EQ(target.pixel(p) | 0xff000000u, kFrame) << p.x() << "," << p.y();
    EXPECT_NE(target.pixel(200, 204) | 0xff000000u, kFrame); // inside channel b
    EXPECT_NE(target.pixel(2, 2) | 0xff000000u, kFrame);     // inside channel a
}

TEST(PlotRender, PageModeCurve) {
    Rendered r;
    r.Feed(0, 5); // y 0.5: row 150 - 50 = 100
    r.graph.Render();
    for (int c = 1; c < 500; c += 7) EXPECT_EQ(r.At(c, 100), kBlue) << c;
    for (int c = 510; c < 1000; c += 7) EXPECT_NE(r.At(c, 100), kBlue) << c;
    EXPECT_NE(r.At(250, 99), kBlue); // 1 pixel wide
    EXPECT_NE(r.At(250, 101), kBlue);
}

TEST(PlotRender, ScrollModeCurveAndGap) {
    Rendered r(g2d::kScroll, 5); // 50 blank columns right of the newest point
    for (double x = 0; x < 5; x += 0.25) {
        r.Feed(x == 0 ? 0 : x + 0.01, x + 0.25);
        r.graph.Render();
    }
    const int newest = 1000 - 50 - 1;
    EXPECT_EQ(r.ch->CurveColumn(5.0), newest);
    for (int c = newest - 490; c <= newest - 1; c += 7) EXPECT_EQ(r.At(c, 100), kBlue) << c;
    for (int c = newest + 8; c < 1000; ++c) EXPECT_NE(r.At(c, 100), kBlue) << c;
    for (int c = 0; c < newest - 510; c += 7) EXPECT_NE(r.At(c, 100), kBlue) << c;
    // The dot around the newest point: white inside a ring of the curve colour.
    EXPECT_EQ(r.At(newest, 100), kWhite);
    EXPECT_EQ(r.At(newest + 2, 100), kBlue);
}

TEST(PlotRender, SweepModeLeavesABlankGapAheadOfTheNewestPoint) {
    Rendered r(g2d::kSweep, 10); // 100-pixel gap
    for (double x = 0; x < 13; x += 0.25) {
        r.Feed(x == 0 ? 0 : x + 0.01, x + 0.25);
        r.graph.Render();
    }
    const int sweep = r.ch->SweepColumn();
    EXPECT_EQ(sweep, 300); // x 13 on the second page
    for (int c = 5; c < sweep - 5; c += 7) EXPECT_EQ(r.At(c, 100), kBlue) << "current page " << c;
    for (int c = sweep + 8; c <= sweep + 100; ++c) EXPECT_NE(r.At(c, 100), kBlue) << "gap " << c;
    for (int c = sweep + 110; c < 995; c += 7) EXPECT_EQ(r.At(c, 100), kBlue) << "old page " << c;
}

TEST(PlotRender, PenColourChangesAlongX) {
    Rendered r;
    r.ch->AddLinePen(0.1, {255, 0, 0}, -1);
    r.ch->AddLinePen(-1, {0, 128, 0}, 3.0);
    for (double x = 0; x < 6; x += 0.5) {
        r.Feed(x == 0 ? 0 : x + 0.01, x + 0.5);
        r.graph.Render();
    }
    // Pens are looked at every 10 pixels, so the change lies within 10 pixels of x 3 (column 300).
    for (int c = 5; c < 289; c += 7) EXPECT_EQ(r.At(c, 100), kRed) << c;
    for (int c = 311; c < 595; c += 7) EXPECT_EQ(r.At(c, 100), kGreen) << c;
}

TEST(PlotRender, MarkerWithEndCirclesAndTick) {
    Rendered r;
    G2dMarker* m = r.ch->AddMarker();
    m->x = 2.0; // column 200 in page mode; 0.5 mm = 5 pixels wide
    m->label = MString(u"B1");
    r.Feed(0, 5, 0.5);
    r.graph.Render();
    EXPECT_EQ(m->PixelX(), 200);
    for (int y = 40; y < 260; y += 9) {
        EXPECT_EQ(r.At(198, y), kBlack) << y;
        EXPECT_EQ(r.At(202, y), kBlack) << y;
    }
    EXPECT_NE(r.At(196, 150), kBlack);
    EXPECT_NE(r.At(204, 150), kBlack);
    // White circles of radius 5 at rows 30 and 270, outlined in the marker colour.
    EXPECT_EQ(r.At(200, 30), kWhite);
    EXPECT_EQ(r.At(200, 270), kWhite);
    EXPECT_EQ(r.At(200, 30 - 5), kBlack);
    EXPECT_EQ(r.At(200, 270 + 5), kBlack);
    // The value tick: 5 mm each side at the curve's row.
    EXPECT_EQ(r.At(160, 100), kBlack);
    EXPECT_EQ(r.At(240, 100), kBlack);
    EXPECT_NE(r.At(260, 100), kBlack);
    // The label is written right of the line.
    int dark = 0;
    for (int x = 206; x < 240; ++x)
        for (int y = 100; y < 200; ++y)
            if (qGray(r.At(x, y)) < 100) ++dark;
    EXPECT_GT(dark, 10);
}

TEST(PlotRender, LayersCarryTheResolutionAndTheKey) {
    Rendered r;
    r.Feed(0, 1);
    r.graph.Render();
    const QImage* frame = G2dQtCanvas::ImageOf(r.graph.Frame());
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->dotsPerMeterX(), 10000); // 254 pixels per inch
    EXPECT_EQ(frame->dotsPerMeterY(), 10000);
    const QImage* curve = G2dQtCanvas::ImageOf(r.ch->CurveLayer());
    ASSERT_NE(curve, nullptr);
    EXPECT_TRUE(curve->hasAlphaChannel());
    EXPECT_EQ(curve->pixel(900, 250), qRgba(254, 254, 254, 0)); // transparent, keeps the key colour
    EXPECT_EQ(qAlpha(curve->pixel(50, 100)), 255);
    EXPECT_EQ(r.ch->TransparentColour(), (G2dRgb{254, 254, 254}));

    // Text grows with the resolution: 8 points are about twice as high at 192 as at 96 ppi.
    QImage a(10, 10, QImage::Format_RGB32), b(10, 10, QImage::Format_RGB32);
    G2dQtCanvas ca(&a), cb(&b);
    auto la = ca.CreateLayer(G2dLayerKind::Frame, 100, 100, 96);
    auto lb = cb.CreateLayer(G2dLayerKind::Frame, 100, 100, 192);
    const G2dSize sa = la->TextSize(MString(u"00:05"), {8, 0});
    const G2dSize sb = lb->TextSize(MString(u"00:05"), {8, 0});
    EXPECT_NEAR(static_cast<double>(sb.height) / sa.height, 2.0, 0.25);
    EXPECT_NEAR(static_cast<double>(sb.width) / sa.width, 2.0, 0.25);
}

TEST(PlotRender, FrameGoesToTheTargetRectangle) {
    QImage target(1200, 400, QImage::Format_RGB32);
    target.fill(Qt::black);
    G2dQtCanvas canvas(&target);
    G2dGraph graph;
    graph.AddChannel(MString(u"c"));
    graph.SetCanvas(&canvas, 96, 10, 10, {100, 50, 1100, 350});
    graph.Render();
    EXPECT_EQ(target.pixel(99, 49) | 0xff000000u, qRgb(0, 0, 0));
    EXPECT_EQ(target.pixel(100, 50) | 0xff000000u, kFrame);
    EXPECT_EQ(target.pixel(1099, 349) | 0xff000000u, kFrame);
    EXPECT_EQ(target.pixel(1100, 350) | 0xff000000u, qRgb(0, 0, 0));

    // Through the caller's painter, as a report page is drawn.
    QImage page(600, 300, QImage::Format_RGB32);
    page.fill(Qt::black);
    QPainter painter(&page);
    G2dQtCanvas onPainter(&painter);
    graph.SetCanvas(&onPainter, 96, 10, 10, {10, 10, 590, 290});
    graph.Render();
    painter.end();
    EXPECT_EQ(page.pixel(10, 10) | 0xff000000u, kFrame);
    EXPECT_EQ(page.pixel(9, 9) | 0xff000000u, qRgb(0, 0, 0));

    // Without a target the frame is only kept, for a widget to paint.
    G2dQtCanvas none;
    graph.SetCanvas(&none, 96, 10, 10, {0, 0, 300, 200});
    graph.Render();
    ASSERT_NE(G2dQtCanvas::ImageOf(graph.Frame()), nullptr);
    EXPECT_EQ(G2dQtCanvas::ImageOf(graph.Frame())->size(), QSize(300, 200));
}

TEST(PlotRender, AFrameBeyondThePixelLimitStillCoversItsTarget) {
    QImage target(3300, 3100, QImage::Format_RGB32); // 10.2 million pixels
    target.fill(Qt::black);
    G2dQtCanvas canvas(&target);
    G2dGraph graph;
    graph.AddChannel(MString(u"c"));
    graph.SetCanvas(&canvas, 600, 10, 10, {0, 0, 3300, 3100});
    EXPECT_LT(graph.FrameWidth(), 3300);
    EXPECT_LT(graph.Resolution(), 600);
    graph.Render();
    EXPECT_EQ(target.pixel(3299, 3099) | 0xff000000u, kFrame);
    EXPECT_EQ(target.pixel(0, 0) | 0xff000000u, kFrame);
}

// Page and sweep modes compose only the columns that changed; the result must equal a frame
// composed whole (InvalidateGrid forces that) after every tick, with labels, markers and the dot.
TEST(PlotRender, IncrementalCompositionEqualsAWholeFrame) {
    for (int mode : {g2d::kSweep, g2d::kPage}) {
        Rendered a(mode, 10), b(mode, 10);
        for (Rendered* r : {&a, &b}) {
            r->ch->SetCurveWidth(0.7f);
            r->canvas.SetSmoothText(true); // the text as a screen shows it
            G2dMarker* m = r->ch->AddMarker();
            m->x = 4.5;
            m->label = MString(u"B2");
            r->ch->Grid().AddText(MString(u"frame"), 9, {0, 0, 255}, g2d::kFrameLabel, 1, 150);
            r->graph.SetCanvas(&r->canvas, 254, 10, 10, {0, 0, 1004, 304});
            r->graph.SetMode(mode, 10);
        }
        G2dMarker* anchored = a.ch->AddMarker();
        anchored->anchored = true;
        G2dMarker* anchoredB = b.ch->AddMarker();
        anchoredB->anchored = true;
        for (int tick = 0; tick < 70; ++tick) {
            const double x0 = tick * 0.25;
            for (Rendered* r : {&a, &b}) {
                r->Feed(tick == 0 ? 0 : x0 + 0.01, x0 + 0.25, 0.4 + 0.3 * std::sin(x0));
                if (tick % 7 == 3)
                    r->ch->Grid().AddText(MString::FromInt(tick), 18, {255, 0, 0}, g2d::kDataLabel, 0.9,
                                          x0 + 0.1, 12);
            }
            anchored->x = anchoredB->x = 100 + 7 * tick; // moves on every tick
            b.graph.InvalidateGrid();
            a.graph.Render();
            b.graph.Render();
            ASSERT_TRUE(a.target == b.target) << "mode " << mode << ", tick " << tick;
        }
    }
}

TEST(PlotRender, AntialiasedCurveIsDrawn) {
    QImage target(1004, 304, QImage::Format_RGB32);
    G2dQtCanvas canvas(&target);
    canvas.SetSmoothLines(true);
    G2dGraph graph;
    G2dChannel* ch = graph.AddChannel(MString(u"c"));
    ch->SetCurveWidth(0.7f);
    graph.SetCanvas(&canvas, 254, 10, 10, {0, 0, 1004, 304});
    graph.SetMode(g2d::kScroll, 5);
    std::vector<double> xs, ys;
    for (int i = 0; i <= 500; ++i) {
        xs.push_back(i * 0.01);
        ys.push_back(0.5);
    }
    graph.AddPoints(0, xs.data(), 501, ys.data());
    graph.Render();
    const QRgb p = target.pixel(2 + 700, 2 + 100);
    EXPECT_GT(qBlue(p), 200);
    EXPECT_LT(qRed(p), 60);
}

} // namespace
