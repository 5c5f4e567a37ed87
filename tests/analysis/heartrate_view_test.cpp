// The heart-rate view's model on real records: the fragment's statistics, the window length and
// zoom, the scroll range, the rate plot's scale, and the window read at the record's end.

#include "analysis/HeartRateViewModel.h"
#include "storage/PGFiles.h"
#include "tests/viewing/ViewerTestUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using viewtest::RecordPlan;

class HeartRateView : public ::testing::Test {
protected:
    void Open(const RecordPlan& plan) {
        path = dir.File("rec.pwv");
        viewtest::WriteRecord(path, plan);
        ASSERT_TRUE(record.Open(MString(path)));
    }
    testutil::TempDir dir;
    std::string path;
    PGFiles record;
};

TEST_F(HeartRateView, StatisticsOfTheEntriesInTheFragment) {
    RecordPlan plan;
    plan.seconds = 30;
    plan.entries = {{10.0, 60}, {11.0, 70}, {12.0, 90}, {13.0, 80}, {14.0, 100}};
    Open(plan);
    sHeartRateStats st = ComputeHeartRateStats(record, 10.5, 13.0);
    EXPECT_EQ(st.count, 3);
    EXPECT_DOUBLE_EQ(st.min, 70);
    EXPECT_DOUBLE_EQ(st.max, 90);
    EXPECT_DOUBLE_EQ(st.mean, 80);

    // No entry inside: the record's heart rate at the start (the entry before it).
    st = ComputeHeartRateStats(record, 10.2, 10.8);
    EXPECT_EQ(st.count, 0);
    EXPECT_DOUBLE_EQ(st.mean, 60);
    EXPECT_DOUBLE_EQ(st.min, 60);
    EXPECT_DOUBLE_EQ(st.max, 60);

    // A fragment running past the record's end stops with the last entry.
    double reported = -1;
    st = ComputeHeartRateStats(record, 11.5, 1e6, [&](double f) { reported = f; });
    EXPECT_EQ(st.count, 3);
    EXPECT_DOUBLE_EQ(st.mean, 90);
    EXPECT_EQ(reported, 1.0);
}

TEST_F(HeartRateView, HeartRateAtATimeIsTheEntryBeforeIt) {
    RecordPlan plan;
    plan.seconds = 40;
    plan.entries = {{10.0, 60}, {11.0, 70}, {12.0, 90}};
    Open(plan);
    const struct {
        double t;
        double hr;
    } cases[] = {
        {10.5, 60}, {11.0, 70}, {11.9, 70}, {21.5, 90}, // the last before, within 10 s
        {5.0, 60},                                      // none before: the first after
        {35.0, 0},                                      // none within 10 s either way
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(HeartRateAt(record, c.t), c.hr) << c.t;
}

TEST(HeartRateViewZoom, WindowLengthAndZoomSteps) {
    HeartRateViewModel m;
    EXPECT_FALSE(m.SetFragment(10, 10, {}));
    EXPECT_FALSE(m.SetFragment(10, 9, {}));
    EXPECT_FALSE(m.HasFragment());

    // Shorter than 5 s: the window is the fragment, the zoom cannot grow.
    ASSERT_TRUE(m.SetFragment(10, 13.5, {}));
    EXPECT_DOUBLE_EQ(m.WindowLength(), 3.5);
    EXPECT_FALSE(m.SetZoom(2));
    EXPECT_EQ(m.Zoom(), 1);

    // 12 s: zoom 2 needs 5 s, 3 needs 10 s, 4 would need 15 s; going back down is always allowed.
    ASSERT_TRUE(m.SetFragment(10, 22, {}));
    EXPECT_TRUE(m.SetZoom(2));
    EXPECT_DOUBLE_EQ(m.WindowLength(), 10);
    EXPECT_TRUE(m.SetZoom(3));
    EXPECT_DOUBLE_EQ(m.WindowLength(), 12) << "at most the fragment";
    EXPECT_FALSE(m.SetZoom(4));
    EXPECT_FALSE(m.SetZoom(0));
    // A shorter fragment later: decreasing still works.
    ASSERT_TRUE(m.SetFragment(10, 12, {}));
    EXPECT_TRUE(m.SetZoom(2));
    EXPECT_TRUE(m.SetZoom(1));
    char text[16];
    EXPECT_STREQ(HeartRateViewModel::ZoomText(1, text, sizeof text), "1.0");
    EXPECT_STREQ(HeartRateViewModel::ZoomText(25, text, sizeof text), "25.0");
}

TEST(HeartRateViewScale, ScrollRangeClampAndRateSpan) {
    HeartRateViewModel m;
    ASSERT_TRUE(m.SetFragment(10.5, 50.2, {60, 90, 70, 10}));
    // trunc(S) ... trunc(trunc(E) - V / 2), the position kept inside.
    sHeartRateScroll r = m.ScrollRange(5, 100);
    EXPECT_EQ(r.min, 10);
    EXPECT_EQ(r.max, 47);
    EXPECT_EQ(r.position, 47);
    EXPECT_EQ(m.ScrollRange(5, 0).position, 10);
    // The left edge stops half a window before the end.
    EXPECT_DOUBLE_EQ(m.ClampLeft(100, 5), 47.7);
    EXPECT_DOUBLE_EQ(m.ClampLeft(-3, 5), 10.5);
    // 2.2 x the largest deviation from the mean: 2.2 x 20.
    EXPECT_DOUBLE_EQ(m.RateSpan(), 44);
    EXPECT_DOUBLE_EQ(m.RateCentre(), 70);

    // A short fragment still scrolls to S + 5.
    ASSERT_TRUE(m.SetFragment(10, 12, {72, 72, 72, 3}));
    r = m.ScrollRange(2, 0);
    EXPECT_EQ(r.max, 15);
    // Equal rates: a scale of its own instead of none.
    EXPECT_DOUBLE_EQ(m.RateSpan(), HeartRateViewModel::kMinRateSpan);
}

TEST_F(HeartRateView, WindowInsideTheRecord) {
    RecordPlan plan;
    plan.seconds = 40;
    Open(plan);
    HeartRateViewModel m;
    ASSERT_TRUE(m.SetFragment(5, 35, ComputeHeartRateStats(record, 5, 35)));
    sHeartRateWindow w;
    ASSERT_TRUE(m.ReadWindow(record, 12.3, 5, w));
    EXPECT_DOUBLE_EQ(w.left, 12.3);
    // Samples from the left edge to the window's end.
    ASSERT_FALSE(w.times.empty());
    EXPECT_GE(w.times.front(), 12.3);
    EXPECT_LT(w.times.front(), 12.3 + 2 * viewtest::kPeriod);
    EXPECT_LE(w.times.back(), 17.3);
    EXPECT_GT(w.times.back(), 17.3 - 2 * viewtest::kPeriod);
    // One mark per beat in the window (a beat every 60 / 72 s).
    int beats = 0;
    for (double t = 60.0 / 72; t < 40; t += 60.0 / 72)
        if (t >= 12.3 && t <= 17.3) ++beats;
    ASSERT_EQ(int(w.marks.size()), beats);
    for (const sRateMark& mark : w.marks) {
        EXPECT_GE(mark.time, 12.3);
        EXPECT_EQ(mark.whole, 72);
    }
    // The curve: from the left edge, through every beat, to the last sample, flat at both ends.
    ASSERT_EQ(w.rateTimes.size(), w.marks.size() + 2);
    EXPECT_DOUBLE_EQ(w.rateTimes.front(), 12.3);
    EXPECT_DOUBLE_EQ(w.rateTimes.back(), w.times.back());
    EXPECT_DOUBLE_EQ(w.rates.front(), w.marks.front().hr);
    EXPECT_DOUBLE_EQ(w.rates.back(), w.marks.back().hr);
    for (size_t i = 1; i < w.rateTimes.size(); ++i) EXPECT_GE(w.rateTimes[i], w.rateTimes[i - 1]);
}

TEST_F(HeartRateView, TheRateCurveIsHeldFlatAtBothEnds) {
    RecordPlan plan;
    plan.seconds = 30;
    plan.entries = {{10.0, 60}, {11.0, 70}, {12.0, 90}, {13.0, 80}};
    Open(plan);
    HeartRateViewModel m;
    ASSERT_TRUE(m.SetFragment(10.5, 12.5, ComputeHeartRateStats(record, 10.5, 12.5)));
    sHeartRateWindow w;
    ASSERT_TRUE(m.ReadWindow(record, 10.5, 2, w));
    ASSERT_EQ(w.rateTimes.size(), 4u);
    const double times[4] = {10.5, 11.0, 12.0, w.times.back()};
    const double rates[4] = {70, 70, 90, 90};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(w.rateTimes[i], times[i]) << i;
        EXPECT_DOUBLE_EQ(w.rates[i], rates[i]) << i;
    }
    ASSERT_EQ(w.marks.size(), 2u);
    EXPECT_EQ(w.marks[1].whole, 90);
}

TEST_F(HeartRateView, WindowAtTheRecordsEnd) {
    RecordPlan plan;
    plan.seconds = 30;
    plan.beatsUntil = 20;
    Open(plan);
    HeartRateViewModel m;
    ASSERT_TRUE(m.SetFragment(5, 40, ComputeHeartRateStats(record, 5, 40)));

    // No entry left after 20 s: the reading stops at the end and no rate is drawn.
    sHeartRateWindow w;
    ASSERT_TRUE(m.ReadWindow(record, 26, 5, w));
    EXPECT_TRUE(w.rateTimes.empty());
    EXPECT_TRUE(w.marks.empty());
    ASSERT_FALSE(w.times.empty());
    EXPECT_LE(w.times.back(), 31.0);

    // Entries up to 20 s, then none: the curve ends at the last sample with the last rate.
    ASSERT_TRUE(m.ReadWindow(record, 17, 5, w));
    ASSERT_FALSE(w.marks.empty());
    EXPECT_LE(w.marks.back().time, 20.0);
    EXPECT_DOUBLE_EQ(w.rateTimes.back(), w.times.back());
    EXPECT_DOUBLE_EQ(w.rates.back(), 72);

    // A closed record reads nothing.
    record.Close();
    EXPECT_FALSE(m.ReadWindow(record, 17, 5, w));
    EXPECT_TRUE(w.times.empty() && w.rateTimes.empty());
}

} // namespace
