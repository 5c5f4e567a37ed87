// The pulse-wave index view's model on real records: the cut to two beat periods, the vertical
// span, the wave, the markers following the mouse and the table on this wave only.

#include "analysis/ParamTable.h"
#include "analysis/PulseIndexViewModel.h"
#include "storage/PGFiles.h"
#include "tests/viewing/ViewerTestUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using viewtest::RecordPlan;

class PulseIndexView : public ::testing::Test {
protected:
    void Open(const RecordPlan& plan) {
        path = dir.File("rec.pwv");
        viewtest::WriteRecord(path, plan);
        ASSERT_TRUE(record.Open(MString(path)));
    }
    bool Show(double s, double e) {
        return model.SetFragment(s, e) && model.Prepare(record) && model.ReadWave(record);
    }
    // The value the test's wave has at t, as stored (four decimals).
    static double Stored(double v) { return double(int(v * 10000)) / 10000; }

    testutil::TempDir dir;
    std::string path;
    PGFiles record;
    PulseIndexes indexes;
    PulseIndexViewModel model{indexes};
    MAssocStrings metadata;
};

TEST_F(PulseIndexView, ALongFragmentIsCutToTwoBeatPeriods) {
    RecordPlan plan;
    plan.seconds = 30;
    plan.rate = 60;
    Open(plan);
    ASSERT_TRUE(Show(10, 20));
    EXPECT_DOUBLE_EQ(model.HeartRate(), 60);
    EXPECT_DOUBLE_EQ(model.End(), 12) << "2 x 60 / 60 s";
    EXPECT_DOUBLE_EQ(model.HorizontalSpan(), 2);
    EXPECT_NEAR(model.VerticalSpan(), 0.8 + 0.2, 1e-4);
    // The wave runs from the start to the cut.
    ASSERT_FALSE(model.WaveTimes().empty());
    EXPECT_GE(model.WaveTimes().front(), 10);
    EXPECT_LT(model.WaveTimes().front(), 10 + viewtest::kPeriod + 1e-9);
    EXPECT_LE(model.WaveTimes().back(), 12);
    EXPECT_GT(model.WaveTimes().back(), 12 - viewtest::kPeriod - 1e-9);

    // Shorter than two periods: shown whole.
    ASSERT_TRUE(Show(10, 11.5));
    EXPECT_DOUBLE_EQ(model.End(), 11.5);
}

TEST_F(PulseIndexView, BelowTwentyBeatsPerMinuteTheCutIsAtSixSeconds) {
    RecordPlan plan;
    plan.seconds = 30;
    plan.rate = 15;
    Open(plan);
    ASSERT_TRUE(Show(10, 25));
    EXPECT_DOUBLE_EQ(model.HeartRate(), 20);
    EXPECT_DOUBLE_EQ(model.End(), 16);
}

TEST_F(PulseIndexView, AFlatSignalBelowATenthGetsASpanOfThreeTenths) {
    RecordPlan plan;
    plan.seconds = 20;
    plan.wave = [](double) { return 0.05; };
    Open(plan);
    ASSERT_TRUE(Show(8, 12));
    EXPECT_DOUBLE_EQ(model.VerticalSpan(), 0.3);
}

TEST_F(PulseIndexView, AnEmptyOrReversedFragmentShowsNothing) {
    RecordPlan plan;
    plan.seconds = 20;
    Open(plan);
    EXPECT_FALSE(model.SetFragment(10, 10));
    EXPECT_FALSE(model.Prepare(record));
    EXPECT_FALSE(model.SetFragment(12, 10));
    EXPECT_FALSE(model.ReadWave(record));
    EXPECT_TRUE(model.WaveTimes().empty());
}

TEST_F(PulseIndexView, MarkersFollowTheMouseAndStandOnTheWave) {
    RecordPlan plan;
    plan.seconds = 30;
    plan.rate = 60;
    Open(plan);
    ASSERT_TRUE(Show(10, 20));
    // Nothing selected: the mouse moves nothing.
    model.MoveSelected(11);
    EXPECT_EQ(model.MarkerTime(0), 0);
    // The initial markers (all at 0) are not on this wave: no table.
    model.Compute(metadata);
    EXPECT_EQ(model.Table().Count(), 0);

    const double times[5] = {10.0, 10.15, 10.35, 10.42, 10.9};
    for (int k = 0; k < 5; ++k) {
        model.Select(k);
        model.MoveSelected(times[k]);
    }
    model.Select(-1);
    model.MoveSelected(11.5);
    EXPECT_DOUBLE_EQ(model.MarkerTime(4), 10.9) << "the last marker stays once released";
    // A mouse beyond the wave holds the marker at its end.
    model.Select(4);
    model.MoveSelected(50);
    EXPECT_DOUBLE_EQ(model.MarkerTime(4), model.WaveTimes().back());
    model.MoveSelected(10.9);
    model.Select(-1);

    model.Compute(metadata);
    ASSERT_GT(model.Table().Count(), 0);
    EXPECT_NEAR(ParamValue(model.Table(), MString(u"ДПВ=В5-В1, c"))->AsDouble(), 0.9, 1e-9);
    // The amplitudes are the wave's values at the markers.
    const double b1 = Stored(viewtest::Pulse(10.0, 60)), b2 = Stored(viewtest::Pulse(10.15, 60));
    EXPECT_NEAR(indexes.Marker(1).a - indexes.Marker(0).a, b2 - b1, 2e-4);
    EXPECT_NEAR(ParamValue(model.Table(), MString(u"АПВ=В2-В1, о.е."))->AsDouble(), b2 - b1, 0.001);
}

TEST_F(PulseIndexView, MarkersLeftFromAnotherFragmentGiveAnEmptyTable) {
    RecordPlan plan;
    plan.seconds = 40;
    plan.rate = 60;
    Open(plan);
    ASSERT_TRUE(Show(10, 20));
    const double times[5] = {10.0, 10.15, 10.35, 10.42, 10.9};
    for (int k = 0; k < 5; ++k) {
        model.Select(k);
        model.MoveSelected(times[k]);
    }
    model.Compute(metadata);
    ASSERT_GT(model.Table().Count(), 0);

    // Another fragment: the markers keep their times, which lie off the new wave.
    ASSERT_TRUE(Show(25, 35));
    model.Compute(metadata);
    EXPECT_EQ(model.Table().Count(), 0);
    EXPECT_DOUBLE_EQ(model.MarkerTime(2), 10.35);
    // Moved onto the new wave one by one, the table comes back.
    for (int k = 0; k < 5; ++k) {
        model.Select(k);
        model.MoveSelected(times[k] + 15);
        model.Compute(metadata);
        EXPECT_EQ(model.Table().Count() > 0, k == 4) << k;
    }
}

TEST(PulseIndexCell, NumbersInTheTablesOwnForm) {
    EXPECT_EQ(PulseIndexCellText(MVariant(int32_t{16}), u',').ToUtf8(), "16");
    EXPECT_EQ(PulseIndexCellText(MVariant(0.813), u',').ToUtf8(), "0,813");
    EXPECT_EQ(PulseIndexCellText(MVariant(12.3), u',').ToUtf8(), "12,300");
    EXPECT_EQ(PulseIndexCellText(MVariant(66.7), u'.').ToUtf8(), "66.700");
    EXPECT_EQ(PulseIndexCellText(MVariant(MString(u"0,150; 0,500")), u',').ToUtf8(), "0,150; 0,500");
    EXPECT_EQ(PulseIndexCellText(MVariant(MString(PulseIndexes::kAskHeight)), u',').ToUtf8(),
              "Рост пациента?");
}

} // namespace
