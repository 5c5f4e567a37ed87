// Plot labels and grid positions: the number form, the horizontal lines and y labels, the x labels
// of each display mode, data labels that scroll away, fixed labels, the scale bar and the name.

#include "tests/viewing/RecordingCanvas.h"
#include "viewing/plot/G2dGeometry.h"
#include "viewing/plot/G2dGraph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

using namespace plottest;

namespace {

std::string U8(const MString& s) {
    return s.ToUtf8();
}

TEST(PlotNumberForm, IntegersFixedAndScientific) {
    struct Case {
        double v;
        const char* mantissa;
        const char* exponent;
    } cases[] = {
        {2.0004, "2", ""},
        {1.9995, "2", ""},
        {-3.0002, "-3", ""},
        {0.0, "0", ""},
        {-0.0, "0", ""},
        {0.0004, "0,0004", ""}, // near zero the digits stay
        {2.0011, "2,001", ""},
        {-0.2, "-0,2", ""}, // negative values are not scientific
        {0.5, "0,5", ""},
        {-1.25, "-1,25", ""},
        {123.456, "123,5", ""},
        {1234.56, "1235", ""},
        {0.012346, "0,01235", ""},
        {0.0001234, "0,0001234", ""},
        {0.00002, "0,00002", ""},
        {0.0000012345, "1,234·10", "-6"},
        {-0.0000032, "-3,2·10", "-6"},
        {12345.6, "1,235·10", "4"},
        {-98765.4, "-9,877·10", "4"},
        {9999.97, "1·10", "4"}, // rounds up to five integer digits
    };
    for (const Case& c : cases) {
        const g2d::NumberText n = g2d::FormatNumber(c.v, u',');
        EXPECT_EQ(U8(n.mantissa), c.mantissa) << c.v;
        EXPECT_EQ(U8(n.exponent), c.exponent) << c.v;
    }
    EXPECT_EQ(U8(g2d::FormatNumber(0.5, u'.').mantissa), "0.5");
    EXPECT_TRUE(g2d::FormatNumber(std::numeric_limits<double>::quiet_NaN(), u',').mantissa.IsEmpty());
    EXPECT_TRUE(g2d::FormatNumber(std::numeric_limits<double>::infinity(), u',').mantissa.IsEmpty());
}

// One channel on a 1000 x H frame at 254 pixels per inch: 10 pixels per millimetre.
struct Graph254 {
    RecordingCanvas canvas;
    G2dGraph graph;
    G2dChannel* ch;
    Graph254(int height, double ymm, double xmm, int baseline = 16, double offset = 0) {
        ch = graph.AddChannel(MString(u"Канал"));
        graph.SetDecimalSeparator(u',');
        graph.SetBaseline(baseline, offset);
        graph.SetCanvas(&canvas, 254, ymm, xmm, {0, 0, 1000, height});
    }
    void Feed(double from, double to, double step = 0.01) {
        std::vector<double> xs, ys;
        const int n = static_cast<int>(std::lround((to - from) / step));
        for (int i = 0; i <= n; ++i) {
            xs.push_back(i == n ? to : from + i * step);
            ys.push_back(0);
        }
        graph.AddPoints(0, xs.data(), static_cast<int>(xs.size()), ys.data());
    }
};

TEST(PlotGrid, HorizontalLinesEvery2mmThickEvery10mm) {
    Graph254 g(300, 10, 10);                // 100 pixels per y unit, y = 0 on row 148 of 296
    EXPECT_EQ(g.ch->Grid().ThinWidth(), 3); // 0.3 mm
    EXPECT_EQ(g.ch->Grid().ThickWidth(), 6);
    const auto lines = g.ch->Grid().HorizontalLines();
    std::vector<int> rows;
    for (const auto& l : lines) rows.push_back(l.row);
    std::sort(rows.begin(), rows.end());
    std::vector<int> expected;
    for (int k = -7; k <= 7; ++k) expected.push_back(148 + 20 * k); // 2 mm = 20 pixels
    EXPECT_EQ(rows, expected);
    for (const auto& l : lines) {
        const int k = (148 - l.row) / 20;
        if (k == 0) {
            EXPECT_TRUE(l.zero);
            EXPECT_EQ(l.width, 12); // twice the thick width
        } else {
            EXPECT_FALSE(l.zero);
            EXPECT_EQ(l.width, k % 5 == 0 ? 6 : 3) << l.row;
        }
    }
    // The overlay holds exactly these lines: grid colour, and the zero line in its own colour.
    const auto fills = OverlayOf(g.graph).Of(Op::Fill);
    int zero = 0;
    for (const Op* op : fills) {
        if (op->colour == G2dRgb{200, 200, 250}) {
            ++zero;
            EXPECT_EQ(op->rect, (G2dRect{0, 148 - 6, 996, 148 + 6}));
        } else {
            EXPECT_EQ(op->colour, (G2dRgb{210, 220, 255}));
        }
    }
    EXPECT_EQ(zero, 1);
    EXPECT_EQ(fills.size(), 15u);
}

TEST(PlotGrid, YLabelsEvery10mmAwayFromTheEdges) {
    Graph254 g(600, 10, 10); // y = 0 on row 298 of 596; thick lines every 100 pixels
    const auto labels = g.ch->Grid().YLabels();
    ASSERT_EQ(labels.size(), 5u); // rows 98 ... 498; rows -2 and 598 are outside, none closer than 6 mm
    std::vector<std::string> texts;
    for (const auto& l : labels) texts.push_back(U8(g2d::FormatNumber(l.value, u',').mantissa));
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"-1", "-2", "0", "1", "2"}));
    // Drawn 3 mm from the left edge and ending 3 mm before the right edge, centred on the line.
    int left = 0, right = 0;
    const std::vector<std::string> numbers{"-2", "-1", "0", "1", "2"};
    for (const Op* op : OverlayOf(g.graph).Of(Op::Text)) {
        if (std::find(numbers.begin(), numbers.end(), U8(op->text)) == numbers.end()) continue;
        if (op->rect.left == 30) ++left;
        if (op->rect.right == 966) ++right;
        const int centre = (op->rect.top + op->rect.bottom) / 2;
        EXPECT_EQ((centre - 98) % 100, 0) << U8(op->text) << " at " << op->rect.top;
    }
    EXPECT_EQ(left, 5);
    EXPECT_EQ(right, 5);

    // Thick lines nearer than 6 mm (60 pixels) to an edge carry no label: with y = 0 at the top,
    // the line on row 0 has none.
    Graph254 top(600, 10, 10, 8);
    std::vector<int> rows;
    for (const auto& l : top.ch->Grid().YLabels()) rows.push_back(l.row);
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<int>{100, 200, 300, 400, 500}));
}

TEST(PlotGrid, NegativeYLabelsAndScientificExponentsAreDrawnRaised) {
    // 2e6 mm per unit: the 10 mm step is 5e-6 units, below the limit of fixed notation.
    Graph254 g(600, 2e6, 10);
    bool raised = false;
    const auto texts = OverlayOf(g.graph).Of(Op::Text);
    for (size_t i = 0; i + 1 < texts.size(); ++i) {
        if (texts[i]->text.Equals(u"5·10") && texts[i + 1]->text.Equals(u"-6")) {
            raised = true;
            EXPECT_EQ(texts[i + 1]->rect.left, texts[i]->rect.right); // the exponent follows the mantissa
            EXPECT_EQ(texts[i + 1]->rect.top, texts[i]->rect.top - texts[i]->rect.Height() / 2);
        }
    }
    EXPECT_TRUE(raised);
}

struct XCase {
    const char* what;
    int mode;
    double gapMm;
    double currentX;
    std::vector<std::string> texts;
    std::vector<int> columns;
};

TEST(PlotGrid, XLabelsByDisplayMode) {
    // 100 pixels per x unit, 996 pixels wide: span 9.96, a label every 2 units (20 mm), none within
    // 100 pixels (10 mm) of either edge.
    const XCase cases[] = {
        {"page 0", g2d::kPage, 0, 3.5, {"02s", "04s", "06s", "08s"}, {200, 400, 600, 800}},
        {"page 1 starts at 9.96", g2d::kPage, 0, 12, {"12s", "14s", "16s", "18s"}, {204, 404, 604, 804}},
        {"sweep shows the old page right of the newest point",
         g2d::kSweep,
         10,
         12,
         {"04s", "06s", "08s", "12s"},
         {400, 600, 800, 204}},
        {"scroll: the newest point 1 pixel from the right edge",
         g2d::kScroll,
         0,
         12,
         {"04s", "06s", "08s", "10s"},
         {194, 394, 594, 794}},
    };
    for (const XCase& c : cases) {
        Graph254 g(300, 10, 10);
        g.graph.SetMode(c.mode, c.gapMm);
        g.Feed(c.currentX - 5, c.currentX);
        ASSERT_DOUBLE_EQ(g.ch->CurrentX(), c.currentX) << c.what;
        std::vector<std::string> texts;
        std::vector<int> columns;
        for (const auto& l : g.ch->Grid().XLabels()) {
            texts.push_back(U8(MString::FormatDuration(l.value)));
            columns.push_back(l.column);
        }
        EXPECT_EQ(texts, c.texts) << c.what;
        EXPECT_EQ(columns, c.columns) << c.what;
    }
}

TEST(PlotGrid, XLabelsDoNotCrossTheWrapColumn) {
    Graph254 g(300, 10, 10);
    g.graph.SetMode(g2d::kSweep, 10); // 100 pixel gap
    g.Feed(7, 12);
    // The sweep stands at column 204: current labels end there, old ones start after the gap.
    EXPECT_EQ(g.ch->SweepColumn(), 204);
    for (const auto& l : g.ch->Grid().XLabels()) {
        if (l.value > 11) {
            EXPECT_EQ(l.clipLeft, 0);
            EXPECT_EQ(l.clipRight, 204);
        } else {
            EXPECT_EQ(l.clipLeft, 304);
            EXPECT_EQ(l.clipRight, 996);
        }
    }
    g.graph.Render();
    // Drawn at the top (3 mm below the edge) and the bottom (3 mm above it), inside their clips.
    int top = 0, bottom = 0;
    for (const Op* op : FrameOf(g.graph).Of(Op::Text)) {
        if (op->rect.top == 2 + 30) ++top;
        if (op->rect.bottom == 298 - 30) ++bottom;
        EXPECT_TRUE(op->clip.left >= 2 + 304 || op->clip.right <= 2 + 204) << U8(op->text);
    }
    EXPECT_EQ(top, 4);
    EXPECT_EQ(bottom, 4);
}

TEST(PlotGrid, XLabelsAsNumbers) {
    Graph254 g(300, 10, 10);
    g.ch->Grid().xLabelsAsTime = false;
    g.Feed(0, 3.5);
    g.graph.Render();
    const auto texts = FrameOf(g.graph).Texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), MString(u"4")), texts.end());
    EXPECT_EQ(std::find(texts.begin(), texts.end(), MString(u"04s")), texts.end());
}

TEST(PlotLabels, DataLabelsThatScrollOutAreDeleted) {
    Graph254 g(300, 10, 10);
    g.graph.SetMode(g2d::kScroll, 0);
    G2dGrid& grid = g.ch->Grid();
    EXPECT_EQ(grid.AddText(MString(u"72"), 18, {0, 128, 0}, g2d::kDataLabel, 0.8, 1.0, 14, kG2dBold),
              nullptr);
    EXPECT_EQ(grid.AddText(MString(u"75"), 18, {0, 128, 0}, g2d::kDataLabel, 0.8, 2.1), nullptr);
    G2dText* fixed = grid.AddText(MString(u"HR"), 18, {0, 0, 255}, g2d::kChannelLabel, 0, 0);
    ASSERT_NE(fixed, nullptr);
    G2dText* frame = grid.AddText(MString(u"frame"), 9, {0, 0, 0}, g2d::kFrameLabel, 1, 1);
    ASSERT_NE(frame, nullptr);

    g.Feed(0, 5);
    g.graph.Render();
    EXPECT_EQ(grid.TextCount(), 4);
    const auto first = FrameOf(g.graph).Of(Op::Text);
    auto find = [](const std::vector<const Op*>& ops, const char16_t* text) -> const Op* {
        for (const Op* op : ops)
            if (op->text.Equals(text)) return op;
        return nullptr;
    };
    const Op* label = find(first, u"72");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->font, (G2dFont{14, kG2dBold}));
    // Centred on its point: the newest point (x 5) stands at column 996 - 1 gap pixel - 1, and x 1
    // lies 400 pixels left of it.
    EXPECT_EQ((label->rect.left + label->rect.right) / 2 - 2, 994 - 400);
    EXPECT_EQ(g.ch->CurveColumn(5), 994);

    // Scrolled to 12: the left edge is at 2.04; 72 (x = 1) lies wholly outside, 75 (x = 2.1) still
    // shows half.
    g.Feed(5.01, 12);
    FrameOf(g.graph).ops.clear();
    g.graph.Render();
    EXPECT_EQ(grid.TextCount(), 3);
    const auto second = FrameOf(g.graph).Of(Op::Text);
    EXPECT_EQ(find(second, u"72"), nullptr);
    EXPECT_NE(find(second, u"75"), nullptr);
    EXPECT_NE(find(second, u"frame"), nullptr);
    EXPECT_EQ(fixed->text.Str(), u"HR"); // fixed labels stay, and so do the pointers to them

    grid.ClearTexts();
    EXPECT_EQ(grid.TextCount(), 0);
}

TEST(PlotLabels, SweepShowsOldPageLabelsOnlyWhereNotYetOverwritten) {
    Graph254 g(300, 10, 10);
    g.graph.SetMode(g2d::kSweep, 0);
    G2dGrid& grid = g.ch->Grid();
    grid.AddText(MString(u"old-visible"), 1 | 8, {}, g2d::kDataLabel, 0, 5.003);
    grid.AddText(MString(u"old-overwritten"), 1 | 8, {}, g2d::kDataLabel, 0, 1.005);
    grid.AddText(MString(u"current"), 1 | 8, {}, g2d::kDataLabel, 0, 10.507);
    g.Feed(4, 12); // page 1 from 9.96; the sweep at column 204
    g.graph.Render();
    EXPECT_EQ(grid.TextCount(), 2);
    std::vector<std::pair<std::string, int>> drawn;
    for (const Op* op : FrameOf(g.graph).Of(Op::Text))
        if (op->text.StartsWith(MString(u"old")) || op->text.Equals(u"current"))
            drawn.emplace_back(U8(op->text), op->rect.left - 2);
    // x 5.003 on the previous page: (5.003 - 9.96) x 100 rounded, + 996; x 10.507 on the current
    // page: 0.547 x 100 rounded.
    EXPECT_EQ(drawn, (std::vector<std::pair<std::string, int>>{{"old-visible", 501}, {"current", 55}}));
}

TEST(PlotLabels, FixedLabelPlacementFlags) {
    // "Amp" at 8 points is 50 x 35 pixels on the recording canvas at 254 pixels per inch.
    struct Case {
        const char* what;
        int flags, kind;
        double x, y;
        int left, top; // in the channel (kind 1) or the frame (kind 2)
    } cases[] = {
        {"9: from the top left, no alignment", 9, 1, 1, 0, 10, 0},
        {"18: centred both ways", 18, 1, 0, 0, (996 - 50) / 2, (296 - 35) / 2},
        {"18 with offsets from the centre", 18, 1, 2, -1, (996 - 50) / 2 + 20, (296 - 35) / 2 - 10},
        {"4 and 32: from the right and bottom edges", 4 | 32, 1, 2, 3, 996 - 20 - 50, 296 - 30 - 35},
        {"0: plain millimetres", 0, 1, 5, 5, 50, 50},
        {"1 overrides 2 and 8 overrides 16", 1 | 2 | 8 | 16, 1, 5, 5, 50, 50},
        {"frame label centred on the frame", 18, 2, 0, 0, (1000 - 50) / 2, (300 - 35) / 2},
    };
    for (const Case& c : cases) {
        Graph254 g(300, 10, 10);
        g.ch->Grid().AddText(MString(u"Amp"), c.flags, {0, 0, 0}, c.kind, c.y, c.x);
        g.graph.InvalidateGrid();
        g.Feed(0, 1);
        g.graph.Render();
        const RecordingLayer& layer = c.kind == 1 ? OverlayOf(g.graph) : FrameOf(g.graph);
        const Op* amp = nullptr;
        for (const Op* op : layer.Of(Op::Text))
            if (op->text.Equals(u"Amp")) amp = op;
        ASSERT_NE(amp, nullptr) << c.what;
        EXPECT_EQ(amp->rect.left, c.left) << c.what;
        EXPECT_EQ(amp->rect.top, c.top) << c.what;
    }

    // Wholly outside the channel: not drawn, but kept.
    Graph254 g(300, 10, 10);
    g.ch->Grid().AddText(MString(u"Amp"), 9, {0, 0, 0}, g2d::kChannelLabel, 0, 200);
    g.graph.InvalidateGrid();
    g.graph.Render();
    for (const Op* op : OverlayOf(g.graph).Of(Op::Text)) EXPECT_FALSE(op->text.Equals(u"Amp"));
    EXPECT_EQ(g.ch->Grid().TextCount(), 1);
}

TEST(PlotLabels, FixedLabelChangesShowAfterInvalidateGrid) {
    Graph254 g(300, 10, 10);
    G2dText* hr = g.ch->Grid().AddText(MString(u"HR"), 18, {0, 0, 255}, g2d::kChannelLabel, 0, 0);
    g.graph.InvalidateGrid();
    g.Feed(0, 1);
    g.graph.Render();
    hr->text = MString(u"64");
    hr->fontSize = 11;
    hr->fontStyle = kG2dBold;
    OverlayOf(g.graph).ops.clear();
    g.graph.Render(); // the overlay is not drawn per frame
    EXPECT_TRUE(OverlayOf(g.graph).ops.empty());
    g.graph.InvalidateGrid();
    g.graph.Render();
    const auto texts = OverlayOf(g.graph).Of(Op::Text);
    const auto it =
        std::find_if(texts.begin(), texts.end(), [](const Op* op) { return op->text.Equals(u"64"); });
    ASSERT_NE(it, texts.end());
    EXPECT_EQ((*it)->font, (G2dFont{11, kG2dBold}));
    EXPECT_EQ((*it)->colour, (G2dRgb{0, 0, 255}));
}

TEST(PlotLabels, ScaleBarAndName) {
    // 96 pixels per inch, channel 996 x 296 (78 mm high): corner 20 mm from the left, 15 mm above
    // the bottom; arrows 20 mm long.
    RecordingCanvas canvas;
    G2dGraph graph;
    G2dChannel* ch = graph.AddChannel(MString(u"Запись"));
    ch->SetCaptions(MString(u"Время, сек."), MString(u"Ампл., ед."));
    graph.SetCanvas(&canvas, 96, 50, 20, {0, 0, 1000, 300});
    const double mm = 96 / 25.4;
    auto px = [&](double v) { return static_cast<int>(std::lround(v * mm)); }; // millimetres, rounded
    const int x0 = px(20), y0 = 296 - px(15);
    const int tipX = x0 + px(20), tipY = y0 - px(20);
    const int away = px(2);
    const Op *xCaption = nullptr, *yCaption = nullptr, *name = nullptr;
    for (const Op* op : OverlayOf(graph).Of(Op::Text)) {
        if (op->text.Equals(u"Время, сек.")) xCaption = op;
        if (op->text.Equals(u"Ампл., ед.")) yCaption = op;
        if (op->text.Equals(u"Запись")) name = op;
    }
    ASSERT_TRUE(xCaption && yCaption && name);
    EXPECT_EQ(xCaption->rect.right, tipX); // ends at the tip, 2 mm below the arrow
    EXPECT_EQ(xCaption->rect.top, y0 + away);
    EXPECT_FALSE(xCaption->upwards);
    EXPECT_TRUE(yCaption->upwards); // reads upwards, left of the arrow, ending at its tip
    EXPECT_EQ(yCaption->rect.top, tipY);
    EXPECT_EQ(yCaption->rect.right, x0 - away);
    const int th = name->rect.Height();
    EXPECT_EQ(name->rect.left, x0 + th);
    EXPECT_EQ(name->rect.top, y0 - 2 * th);
    // Two arrow heads.
    EXPECT_EQ(OverlayOf(graph).Of(Op::Polygon).size(), 2u);

    // 40 mm or lower: no scale bar; the name only where it fits wholly.
    G2dGraph low;
    low.AddChannel(MString(u"Контроль"));
    low.SetCanvas(&canvas, 96, 50, 20, {0, 0, 1000, 150}); // 38.6 mm high
    EXPECT_TRUE(OverlayOf(low).Of(Op::Polygon).empty());
    G2dGraph tiny;
    tiny.AddChannel(MString(u"Контроль"));
    tiny.SetCanvas(&canvas, 96, 50, 20, {0, 0, 1000, 60});
    for (const Op* op : OverlayOf(tiny).Of(Op::Text)) EXPECT_FALSE(op->text.Equals(u"Контроль"));
}

} // namespace
