// The record viewer's model on real records: the window a scroll position shows, the scroll range,
// dragging, the fragment markers with their placing modes and the pushing rule, the heart-rate
// labels and the curve colour.

#include "storage/PGFiles.h"
#include "tests/viewing/RecordingCanvas.h"
#include "tests/viewing/ViewerTestUtil.h"
#include "viewing/FragmentMarkers.h"
#include "viewing/RecordViewModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using plottest::Op;
using plottest::RecordingCanvas;
using viewtest::RecordPlan;

// The main window's two toggle buttons.
struct FakeButtons : IFragmentButtons {
    bool start = false, end = false;
    MString startCaption, endCaption;
    bool StartDown() const override { return start; }
    bool EndDown() const override { return end; }
    void SetStartDown(bool d) override { start = d; }
    void SetEndDown(bool d) override { end = d; }
    void SetCaptions(const MString& s, const MString& e) override {
        startCaption = s;
        endCaption = e;
    }
};

class RecordView : public ::testing::Test {
protected:
    void Open(const RecordPlan& plan = {}) {
        path = dir.File("rec.pwv");
        viewtest::WriteRecord(path, plan);
        ASSERT_TRUE(record.Open(MString(path)));
        model.SetButtons(&buttons);
        model.Layout(&canvas, 96, {0, 0, 1180, 450});
        model.RecordOpened(RecordViewModel::ScrollRule::kWholeSpan, true);
    }
    double Span() { return model.Graph().VisibleSpan(); }
    double PixelTime() { return 1.0 / model.Channel().XScale(); }
    // The curve's first and last stored points.
    double FirstX() { return model.Channel().Points().front().x; }
    double LastX() { return model.Channel().Points().back().x; }

    testutil::TempDir dir;
    std::string path;
    PGFiles record;
    FragmentMarkers markers;
    FakeButtons buttons;
    RecordingCanvas canvas;
    RecordViewModel model{record, markers};
};

TEST_F(RecordView, WindowAndScrollRangeOfARecordFrom3To60Seconds) {
    Open();
    ASSERT_NEAR(record.StartTime(), 3.0, 0.06);
    ASSERT_NEAR(record.EndTime(), 60.0, 0.06);
    ASSERT_NEAR(Span(), 5.98, 0.03);

    // Opened: whole seconds from the start to a whole view before the end.
    EXPECT_EQ(model.Scroll(), (sScrollRange{3, 54, 3}));
    EXPECT_NEAR(FirstX(), record.StartTime(), viewtest::kPeriod);

    // Beyond the end: the last full view.
    model.ShowAt(100);
    EXPECT_NEAR(model.WindowStart(), 54.02, 0.06);
    EXPECT_NEAR(model.WindowStart(), record.EndTime() - Span(), 1e-9);
    EXPECT_GE(FirstX(), model.WindowStart());
    EXPECT_LT(FirstX(), model.WindowStart() + viewtest::kPeriod + 1e-9);
    EXPECT_LE(LastX(), model.WindowStart() + Span());
    EXPECT_GT(LastX(), model.WindowStart() + Span() - viewtest::kPeriod - 1e-9);

    // The corrected signal ends 2 s early.
    record.IsolineCorrection = true;
    model.ShowAt(100);
    EXPECT_NEAR(model.WindowStart(), 52.02, 0.06);
    EXPECT_NEAR(model.Channel().LeftEdge(), model.WindowStart(), 0.01);
    record.IsolineCorrection = false;

    // Before the start: the first view.
    model.ShowAt(-5);
    EXPECT_EQ(model.WindowStart(), record.StartTime());

    // Shown again as the current record: half a view before the end, the position kept.
    model.ScrollTo(20);
    model.RecordOpened(RecordViewModel::ScrollRule::kHalfSpan, false);
    EXPECT_EQ(model.Scroll(), (sScrollRange{3, 57, 20}));
}

TEST_F(RecordView, ScrollRangeFollowsTheLayoutAndNeverEndsBeforeItStarts) {
    // A record opened before the view was ever laid out gets its range when it is.
    path = dir.File("rec.pwv");
    viewtest::WriteRecord(path, RecordPlan{});
    ASSERT_TRUE(record.Open(MString(path)));
    model.RecordOpened(RecordViewModel::ScrollRule::kWholeSpan, true);
    EXPECT_FALSE(model.IsLaidOut());
    model.Layout(&canvas, 96, {0, 0, 1180, 450});
    EXPECT_EQ(model.Scroll().max, int(int(record.EndTime()) - Span()));
    EXPECT_EQ(model.Scroll().max, 54);

    // A record shorter than the view: nothing to scroll, but max >= min.
    const std::string shortPath = dir.File("short.pwv");
    RecordPlan plan;
    plan.seconds = 7.5; // stamps at about 3 and 6 s
    viewtest::WriteRecord(shortPath, plan);
    ASSERT_TRUE(record.Open(MString(shortPath)));
    model.Layout(&canvas, 96, {0, 0, 1180, 450});
    model.RecordOpened(RecordViewModel::ScrollRule::kWholeSpan, true);
    ASSERT_LT(record.EndTime() - record.StartTime(), Span());
    EXPECT_EQ(model.Scroll(), (sScrollRange{3, 3, 3}));
    model.ShowAt(100);
    EXPECT_EQ(model.WindowStart(), record.StartTime());

    // A record without time stamps: no range, an empty plot.
    const std::string empty = dir.File("empty.pwv");
    plan.seconds = 2;
    viewtest::WriteRecord(empty, plan);
    ASSERT_TRUE(record.Open(MString(empty)));
    model.RecordOpened(RecordViewModel::ScrollRule::kWholeSpan, true);
    EXPECT_FALSE(model.HasScrollRange());
    EXPECT_EQ(model.Scroll(), (sScrollRange{0, 0, 0}));
    EXPECT_TRUE(model.Channel().Points().empty());
}

TEST_F(RecordView, DraggingMovesTheViewByThePixelsLessOne) {
    Open();
    model.ScrollTo(30);
    const double left = model.Channel().LeftEdge();
    model.MousePress(400);
    EXPECT_FALSE(model.MouseDrag(403)) << "3 pixels do nothing";
    EXPECT_EQ(model.Channel().LeftEdge(), left);

    // 50 pixels to the right: 49 pixels' worth of time earlier; the scroll bar follows.
    EXPECT_TRUE(model.MouseDrag(450));
    EXPECT_NEAR(model.Channel().LeftEdge(), left - 49 * PixelTime(), 2 * viewtest::kPeriod);
    EXPECT_EQ(model.Scroll().position, int(model.Channel().LeftEdge()));
    // And back to the left from there: later again.
    const double after = model.Channel().LeftEdge();
    EXPECT_TRUE(model.MouseDrag(400));
    EXPECT_NEAR(model.Channel().LeftEdge(), after + 49 * PixelTime(), 2 * viewtest::kPeriod);

    // Dragging never leaves the record.
    model.MousePress(0);
    EXPECT_TRUE(model.MouseDrag(20000));
    EXPECT_EQ(model.WindowStart(), record.StartTime());
    EXPECT_EQ(model.Scroll().position, 3);
}

TEST_F(RecordView, PlacingMarkersFollowsTheViewAndPushesTheOther) {
    Open();
    const double half = Span() / 2;
    const double tol = 2 * PixelTime();
    model.ScrollTo(20);
    EXPECT_EQ(buttons.startCaption.ToUtf8(), "00:00:00");

    // Start button down without a start marker: it shows up in the middle of the view.
    buttons.start = true;
    model.PlaceStartMarker();
    ASSERT_TRUE(markers.Start().placed && markers.Start().anchored);
    EXPECT_NEAR(model.FragmentStart(), 20 + half, tol);
    EXPECT_TRUE(model.StartMarker().visible && !model.EndMarker().visible);
    EXPECT_EQ(buttons.startCaption.ToUtf8(), MString::FormatDuration(model.FragmentStart()).ToUtf8());
    EXPECT_EQ(buttons.endCaption.ToUtf8(), "00:00:00");

    // Scrolling moves its time; releasing the button fixes it.
    model.ScrollTo(30);
    EXPECT_NEAR(model.FragmentStart(), 30 + half, tol);
    buttons.start = false;
    model.PlaceStartMarker();
    EXPECT_FALSE(markers.Start().anchored);
    const double start = model.FragmentStart();
    model.ScrollTo(40);
    EXPECT_EQ(model.FragmentStart(), start);

    // The end marker follows from 40 s on; scrolled back before the start, it pushes it along.
    buttons.end = true;
    model.PlaceEndMarker();
    EXPECT_NEAR(model.FragmentEnd(), 40 + half, tol);
    EXPECT_EQ(model.FragmentStart(), start);
    model.ScrollTo(25);
    EXPECT_NEAR(model.FragmentEnd(), 25 + half, tol);
    EXPECT_EQ(model.FragmentStart(), model.FragmentEnd());
    model.ScrollTo(10);
    EXPECT_NEAR(model.FragmentStart(), 10 + half, tol);
    // Forward again: the start stays where it was pushed to.
    model.ScrollTo(35);
    EXPECT_NEAR(model.FragmentStart(), 10 + half, tol);
    EXPECT_NEAR(model.FragmentEnd(), 35 + half, tol);
    EXPECT_TRUE(markers.IsValid());

    // Pressing the start button again brings the placed start into the middle and fixes the end.
    buttons.start = true;
    model.PlaceStartMarker();
    EXPECT_FALSE(buttons.end) << "the other button is released";
    EXPECT_FALSE(markers.End().anchored);
    EXPECT_NEAR(model.WindowStart(), 10, tol);
    EXPECT_NEAR(model.FragmentStart(), 10 + half, tol);
    // Now the start pushes the end forward.
    model.ScrollTo(45);
    EXPECT_NEAR(model.FragmentEnd(), 45 + half, tol);
    EXPECT_EQ(model.FragmentStart(), model.FragmentEnd());

    // Undocking fixes both and releases both buttons.
    model.FixMarkers();
    EXPECT_FALSE(buttons.start || buttons.end);
    EXPECT_FALSE(markers.Start().anchored || markers.End().anchored);
    const double fixedEnd = model.FragmentEnd();
    model.ScrollTo(5);
    EXPECT_EQ(model.FragmentEnd(), fixedEnd);
}

TEST_F(RecordView, PlacingOrFixingWithoutScrollingKeepsTheOrder) {
    Open();
    const double half = Span() / 2;
    const double tol = 2 * PixelTime();
    // Start fixed at about 40 s.
    model.ScrollTo(40 - int(half));
    buttons.start = true;
    model.PlaceStartMarker();
    buttons.start = false;
    model.PlaceStartMarker();
    const double start = model.FragmentStart();

    // The end placed in a view before the start, not scrolled afterwards: the start comes with it.
    model.ScrollTo(20);
    buttons.end = true;
    model.PlaceEndMarker();
    EXPECT_NEAR(model.FragmentEnd(), 20 + half, tol);
    EXPECT_LT(model.FragmentEnd(), start);
    EXPECT_EQ(model.FragmentStart(), model.FragmentEnd());
    buttons.end = false;
    model.PlaceEndMarker();
    EXPECT_LE(model.FragmentStart(), model.FragmentEnd());

    // The pop-up's "end marker here" on a view before the start does the same.
    model.ScrollTo(8);
    model.MarkerHere(FragmentEdge::kEnd);
    EXPECT_TRUE(buttons.end);
    EXPECT_NEAR(model.FragmentEnd(), 8 + half, tol);
    EXPECT_EQ(model.FragmentStart(), model.FragmentEnd());

    // Marker states changed while nothing was drawn (the start anchored past a fixed end):
    // FixMarkers fixes them in order.
    markers.Anchor(FragmentEdge::kStart, 50);
    markers.Get(FragmentEdge::kEnd) = {true, false, 30};
    model.FixMarkers();
    EXPECT_LE(model.FragmentStart(), model.FragmentEnd());
    EXPECT_EQ(model.FragmentEnd(), 50);
}

TEST_F(RecordView, ResetUnplacesBothMarkersAndTheScrollStartsAtZero) {
    Open();
    buttons.start = true;
    model.PlaceStartMarker();
    model.MarkerHere(FragmentEdge::kEnd);
    model.ResetFragment();
    EXPECT_FALSE(markers.Start().placed || markers.End().placed);
    EXPECT_EQ(markers.FragmentStart(), 0);
    EXPECT_FALSE(buttons.start || buttons.end);
    EXPECT_EQ(model.Scroll().min, 0);
    EXPECT_EQ(model.Scroll().position, 0);
    EXPECT_EQ(buttons.startCaption.ToUtf8(), "00:00:00");
    EXPECT_EQ(buttons.endCaption.ToUtf8(), "00:00:00");
}

TEST(RecordViewLabels, RateTextAndColour) {
    const G2dRgb red{255, 0, 0}, green{0, 128, 0};
    const struct {
        double hr;
        const char* text;
        G2dRgb colour;
    } cases[] = {
        {95.7, "95", red},   {72.2, "72", green}, {50.0, "50", green}, {49.99, "49", red},
        {90.0, "90", green}, {90.01, "90", red},  {0.0, "0", red},
    };
    for (const auto& c : cases) {
        const sRateLabel l = RateLabel(c.hr);
        EXPECT_EQ(l.text.ToUtf8(), c.text) << c.hr;
        EXPECT_TRUE(l.colour == c.colour) << c.hr;
    }
    EXPECT_TRUE(LedCurveColour(2) == red);
    EXPECT_TRUE((LedCurveColour(3) == G2dRgb{128, 0, 128}));
    EXPECT_TRUE(LedCurveColour(1) == green);
    EXPECT_TRUE(LedCurveColour(0) == green);
}

TEST_F(RecordView, HeartRatesOfTheWindowAreLabelledAboveTheCurve) {
    RecordPlan plan;
    plan.entries = {{20.5, 95.7}, {21.5, 72.2}, {22.5, 48.0}, {40.0, 66.0}};
    plan.led = 3;
    Open(plan);
    plottest::FrameOf(model.Graph()).ops.clear();
    model.ShowAt(20);
    std::vector<std::pair<std::string, G2dRgb>> labels;
    for (const Op* op : plottest::FrameOf(model.Graph()).Of(Op::Text))
        if (op->font.size == RecordViewModel::kRateLabelSize)
            labels.push_back({op->text.ToUtf8(), op->colour});
    ASSERT_EQ(labels.size(), 3u) << "only the entries inside the window";
    EXPECT_EQ(labels[0].first, "95");
    EXPECT_TRUE((labels[0].second == G2dRgb{255, 0, 0}));
    EXPECT_EQ(labels[1].first, "72");
    EXPECT_TRUE((labels[1].second == G2dRgb{0, 128, 0}));
    EXPECT_EQ(labels[2].first, "48");

    // The clip's infrared LED colours the whole window purple.
    const std::vector<G2dLinePen>& pens = model.Channel().Pens();
    ASSERT_FALSE(pens.empty());
    EXPECT_LE(pens.front().x, FirstX());
    for (const G2dLinePen& p : pens) EXPECT_TRUE((p.colour == G2dRgb{128, 0, 128}));
}

TEST_F(RecordView, AClosedRecordShowsNothing) {
    Open();
    record.Close();
    EXPECT_FALSE(model.ShowAt(20));
    EXPECT_TRUE(model.Channel().Points().empty());
    model.ClearView();
    EXPECT_FALSE(model.HasScrollRange());
}

TEST(FragmentMarkersState, OrderCaptionsAndValidity) {
    FragmentMarkers m;
    EXPECT_FALSE(m.BothPlaced());
    EXPECT_EQ(m.Caption(FragmentEdge::kStart).ToUtf8(), "00:00:00");
    m.Get(FragmentEdge::kStart) = {true, false, 65};
    EXPECT_EQ(m.Caption(FragmentEdge::kStart).ToUtf8(), "01:05");
    m.Anchor(FragmentEdge::kEnd, 30);
    EXPECT_FALSE(m.IsValid());
    // Exactly one anchored: the fixed one is pushed.
    EXPECT_TRUE(m.KeepOrder());
    EXPECT_EQ(m.FragmentStart(), 30);
    EXPECT_FALSE(m.IsValid()) << "an empty fragment";
    m.Follow(90);
    EXPECT_FALSE(m.KeepOrder());
    EXPECT_EQ(m.FragmentEnd(), 90);
    EXPECT_TRUE(m.IsValid());
    // Both fixed: nothing is pushed, even out of order.
    m.Fix(FragmentEdge::kEnd);
    m.Get(FragmentEdge::kStart).time = 100;
    EXPECT_FALSE(m.KeepOrder());
    EXPECT_FALSE(m.IsValid());
    m.Reset();
    EXPECT_FALSE(m.Start().placed || m.End().placed);
}

} // namespace
