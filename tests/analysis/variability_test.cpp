#include "analysis/DiagnoseManager.h"
#include "analysis/ParamTable.h"
#include "analysis/VariabilityCore.h"
#include "i18n/InterfaceTranslator.h"

#include "tests/analysis/AnalysisTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

using atest::FillSeries;
using atest::HasRow;
using atest::Val;

namespace {

// Every row of the table: name, norm, description.
struct ExpectedRow {
    const char16_t* name;
    const char16_t* lim;
    const char16_t* des;
};
const ExpectedRow kRows[] = {
    {u"<ЧСС(HR)>, уд/мин", u"55-85", u"Частота сердечных сокращений, средняя по фрагменту"},
    {u"Дисперсия(D), мс^2", u"-", u""},
    {u"СКО(SDNN), мс", u"30–100", u"Среднеквадратичное отклонение"},
    {u"КВ(CV), %", u"3–9", u"Коэффициент вариации"},
    {u"RMSSD, мс", u"20–50",
     u"Квадратный корень из суммы квадратов разности величин последовательных пар интервалов"},
    {u"PNN50, %", u"5–30", u"Доля пар последовательных интервалов, различающихся более, чем на 50 мс"},
    {u"Amo", u"-", u"Амплитуда моды распределения вероятности интервалов"},
    {u"Mo, мс", u"700–1100", u"Мода"},
    {u"MxDMn, мс", u"200–400", u"Вариационный размах"},
    {u"MxRMn", u"1,3–1,7", u"Отношение максимального значения длительности сердечного цикла к минимальному"},
    {u"ИН(SI), о.е.", u"50–150", u"Индекс напряжения регуляторных систем (стресс-индекс)"},
    {u"ИВВ=LF/HF", u"-", u"Индекс вагосимпатического взаимодействия"},
    {u"ИЦ(IC)=(VLF+LF)/HF", u"-", u"Индекс централизации"},
    {u"TP, мс^2", u"-",
     u"Total power – суммарная мощность спектра ВСР, полученного с помощью БПФ (быстрого преобразования "
     u"Фурье)"},
    {u"HF, мс^2", u"-", u"Суммарная мощность в диапазоне высоких частот (0,4 – 0,15 Гц)"},
    {u"LF, мс^2", u"-", u"Суммарная мощность в диапазоне низких частот (0,15 – 0,04 Гц)"},
    {u"VLF, мс^2", u"-", u"Суммарная мощность в диапазоне очень низких частот (0,04 – 0,015 Гц)"},
    {u"ULF, мс^2", u"-", u"Суммарная мощность в диапазоне ультра низких частот (меньше 0,015 Гц)"},
    {u"HF, %", u"-", u"Мощность спектра в частотном диапазоне HF в процентном отношении ко всему диапазону"},
    {u"LF, %", u"-", u"Мощность спектра в частотном диапазоне LF в процентном отношении ко всему диапазону"},
    {u"VLF, %", u"-",
     u"Мощность спектра в частотном диапазоне VLF в процентном отношении ко всему диапазону"},
    {u"ULF, %", u"-",
     u"Мощность спектра в частотном диапазоне ULF в процентном соотношении ко всему диапазону"},
};

// A resting rhythm: 70 bpm with respiratory (0.25 Hz) and slow (0.08 Hz) modulation and noise.
std::vector<double> RestingRhythm(int beats, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.02);
    std::vector<double> hrs;
    double t = 0;
    for (int i = 0; i < beats; ++i) {
        const double rr =
            0.86 + 0.05 * std::sin(2 * M_PI * 0.25 * t) + 0.04 * std::sin(2 * M_PI * 0.08 * t) + noise(rng);
        hrs.push_back(60.0 / rr);
        t += rr;
    }
    return hrs;
}

// Time-domain statistics computed plainly from the same single-precision series.
struct Reference {
    double meanHR, meanRR, variance, rmssd, pnn50;
};
Reference ReferenceStats(const VariabilityCore& core, int first, int last) {
    std::vector<double> hr, rr;
    for (int i = 0; i < core.BeatCount(); ++i) {
        hr.push_back(core.BeatAt(i).hr);
        rr.push_back(core.BeatAt(i).rr);
    }
    Reference r{};
    const int n = last - first + 1;
    double sum = 0;
    for (int i = first; i <= last; ++i) sum += hr[size_t(i)];
    r.meanHR = sum / n;
    r.meanRR = 60.0 / r.meanHR;
    double squares = 0, diffs = 0;
    int pairs = 0, above = 0;
    for (int i = first; i <= last; ++i) {
        squares += (rr[size_t(i)] - r.meanRR) * (rr[size_t(i)] - r.meanRR);
        if (size_t(i) + 1 < rr.size()) { // the range's last beat pairs with the next one, if any
            const double e = rr[size_t(i)] - rr[size_t(i) + 1];
            diffs += e * e;
            ++pairs;
            if (std::fabs(e) > 0.05) ++above;
        }
    }
    r.variance = squares / n;
    r.rmssd = std::sqrt(diffs / pairs);
    r.pnn50 = 100.0 * above / pairs;
    return r;
}

} // namespace

TEST(VariabilityCore, TableHoldsEveryRowWithItsNormAndDescriptionInNameOrder) {
    VariabilityCore core;
    FillSeries(core, RestingRhythm(300, 1));
    core.Compute(0, core.BeatCount() - 1);
    ASSERT_GT(core.Mn(), 0.001); // so the conditional rows are present
    ASSERT_GT(core.Mx(), core.Mn());

    std::vector<std::u16string> expectedNames;
    for (const ExpectedRow& row : kRows) {
        expectedNames.push_back(row.name);
        const MVarArray* node = core.Table().Find(MVariant(row.name));
        ASSERT_NE(node, nullptr) << MString(row.name).ToUtf8();
        const ParamRowView view(*node);
        EXPECT_EQ(view.Limit().Str(), std::u16string(row.lim)) << MString(row.name).ToUtf8();
        EXPECT_EQ(view.Description().Str(), std::u16string(row.des)) << MString(row.name).ToUtf8();
        EXPECT_FALSE(view.Value().IsEmpty()) << MString(row.name).ToUtf8();
    }
    // Rows are listed by name (code unit order), not in the order they were computed.
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(atest::RowNames(core.Table()), expectedNames);

    // The copied rows say the same.
    const std::vector<ParamRow> rows = ParamRows(core.Table());
    ASSERT_EQ(rows.size(), std::size(kRows));
    EXPECT_EQ(rows.front().name.Str(), expectedNames.front());
    EXPECT_TRUE(rows.front().valueText.Equals(rows.front().value.AsString()));
}

TEST(VariabilityCore, TimeDomainStatisticsMatchAPlainComputation) {
    VariabilityCore core;
    FillSeries(core, RestingRhythm(400, 7));
    struct Range {
        int first, last;
    };
    // A middle range (its last pair reaches the beat after it), the tail, the whole series.
    for (const Range range : {Range{50, 249}, Range{300, 399}, Range{0, 399}}) {
        SCOPED_TRACE(testing::Message() << range.first << ".." << range.last);
        core.Compute(range.first, range.last);
        const Reference ref = ReferenceStats(core, range.first, range.last);
        const MVarArray& t = core.Table();
        EXPECT_DOUBLE_EQ(Val(t, u"<ЧСС(HR)>, уд/мин").AsDouble(), ref.meanHR);
        EXPECT_EQ(Val(t, u"Дисперсия(D), мс^2").AsInt(), int(ref.variance * 1e6));
        EXPECT_EQ(Val(t, u"СКО(SDNN), мс").AsInt(), int(std::sqrt(ref.variance) * 1000));
        EXPECT_EQ(Val(t, u"КВ(CV), %").AsInt(), int(std::sqrt(ref.variance) / ref.meanRR * 100));
        EXPECT_EQ(Val(t, u"RMSSD, мс").AsInt(), int(ref.rmssd * 1000));
        EXPECT_EQ(Val(t, u"PNN50, %").AsInt(), int(ref.pnn50));
        EXPECT_EQ(Val(t, u"Mo, мс").AsInt(), int(ref.meanRR * 1000));
        EXPECT_NEAR(core.RMSSD(), ref.rmssd, 1e-12);
        EXPECT_NEAR(core.PNN50(), ref.pnn50, 1e-9);
    }
}

TEST(VariabilityCore, RangeLengthDecidesWhetherThereIsATable) {
    struct Case {
        int beats;
        bool rows;
    };
    for (const Case c : {Case{10, false}, Case{11, true}, Case{1, false}, Case{0, false}}) {
        SCOPED_TRACE(c.beats);
        VariabilityCore core;
        FillSeries(core, RestingRhythm(40, 3));
        core.Compute(5, 5 + c.beats - 1);
        EXPECT_EQ(core.Table().Count() > 0, c.rows);
    }
    // Bounds are clamped to the series: -5 ... 1000 is the whole series.
    VariabilityCore core;
    FillSeries(core, RestingRhythm(11, 3));
    core.Compute(-5, 1000);
    EXPECT_GT(core.Table().Count(), 0);
    core.Compute(1, 1000); // 10 beats left
    EXPECT_EQ(core.Table().Count(), 0);
}

TEST(VariabilityCore, TooShortARangeKeepsThePreviousDistribution) {
    VariabilityCore core;
    FillSeries(core, RestingRhythm(200, 5));
    core.Compute(0, 199);
    const float density = core.Density(core.MeanRR());
    const double minHR = core.MinHR(), maxHR = core.MaxHR();
    ASSERT_GT(density, 0);
    ASSERT_GT(core.BinSum(float(core.MeanRR())), 0);

    core.Compute(0, 5);
    EXPECT_EQ(core.Table().Count(), 0);
    for (int k = 0; k < VariabilityCore::kHistogramBins; ++k) ASSERT_EQ(core.Histogram()[k], 0) << k;
    EXPECT_EQ(core.Density(core.MeanRR()), density);
    EXPECT_EQ(core.MinHR(), minHR);
    EXPECT_EQ(core.MaxHR(), maxHR);
}

TEST(VariabilityCore, ARangeWithoutADistributionDoesNotBorrowThePreviousOne) {
    // Rates of 70 and 6 bpm: a fifth of the RR range is wider than the histogram, so no group of
    // bins closes and there is no distribution for this range. The mode amplitude, the bounds and
    // the stress index must then be absent rather than read from the previous range's curve.
    VariabilityCore core;
    std::vector<double> hrs = RestingRhythm(100, 4);
    for (int i = 0; i < 20; ++i) hrs.push_back(i % 2 ? 6.0 : 70.0);
    FillSeries(core, hrs);
    core.Compute(0, 99);
    ASSERT_GT(core.AMo(), 0);
    ASSERT_TRUE(HasRow(core.Table(), u"ИН(SI), о.е."));

    core.Compute(100, 119);
    ASSERT_GT(core.Table().Count(), 0);
    EXPECT_EQ(core.AMo(), 0);
    EXPECT_EQ(Val(core.Table(), u"Amo").AsDouble(), 0);
    EXPECT_EQ(core.Density(0.86), 0);
    EXPECT_EQ(core.Mn(), 0);
    EXPECT_EQ(core.Mx(), 0);
    EXPECT_FALSE(HasRow(core.Table(), u"ИН(SI), о.е."));
    EXPECT_FALSE(HasRow(core.Table(), u"MxRMn"));
}

TEST(VariabilityCore, RegularRhythmHasNoVariability) {
    VariabilityCore core;
    FillSeries(core, std::vector<double>(60, 75.0));
    core.Compute(0, 59);
    const MVarArray& t = core.Table();
    ASSERT_GT(t.Count(), 0);
    EXPECT_NEAR(core.Variance(), 0, 1e-15); // 60 / 75 in single precision is not quite 0.8
    for (const char16_t* name :
         {u"Дисперсия(D), мс^2", u"СКО(SDNN), мс", u"КВ(CV), %", u"RMSSD, мс", u"PNN50, %"})
        EXPECT_EQ(Val(t, name).AsInt(), 0) << MString(name).ToUtf8();
    EXPECT_EQ(Val(t, u"<ЧСС(HR)>, уд/мин").GetType(), MVariant::kInt); // 75.0 is stored whole
    EXPECT_EQ(Val(t, u"<ЧСС(HR)>, уд/мин").AsInt(), 75);
    EXPECT_EQ(Val(t, u"Mo, мс").AsInt(), 800);
}

TEST(VariabilityCore, AlternatingRhythmGivesFullPnn50AndTruncatedRmssd) {
    std::vector<double> hrs;
    for (int i = 0; i < 40; ++i) hrs.push_back(i % 2 ? 75.0 : 60.0);
    VariabilityCore core;
    FillSeries(core, hrs);
    core.Compute(0, 39);
    const MVarArray& t = core.Table();
    EXPECT_EQ(Val(t, u"PNN50, %").AsInt(), 100);
    EXPECT_NEAR(core.RMSSD(), 0.2, 1e-6);
    // 1 - 0.8 is a hair below 0.2 in binary, and the row truncates.
    EXPECT_EQ(Val(t, u"RMSSD, мс").AsInt(), 199);
}

TEST(VariabilityCore, BoundsOfTheDistributionAndTheirRows) {
    // Whatever the distribution, the rows follow the bounds found: no ratio without a lower
    // bound, no stress index unless Mx > Mn. Series of different shapes give both outcomes.
    std::vector<std::vector<double>> series;
    series.push_back(RestingRhythm(300, 11));
    std::vector<double> bimodal;
    for (int i = 0; i < 200; ++i) bimodal.push_back(i % 2 ? 40.0 : 120.0);
    series.push_back(bimodal);
    std::vector<double> wide; // RR spread evenly over 0.1 ... 1.0 s: no lower bound above 0.3 Mo
    for (int i = 0; i < 300; ++i) wide.push_back(60.0 / (0.1 + 0.9 * ((i * 37) % 300) / 299.0));
    series.push_back(wide);
    int withoutMn = 0;
    for (size_t s = 0; s < series.size(); ++s) {
        SCOPED_TRACE(s);
        VariabilityCore core;
        FillSeries(core, series[s]);
        core.Compute(0, core.BeatCount() - 1);
        const MVarArray& t = core.Table();
        ASSERT_GT(t.Count(), 0);
        EXPECT_EQ(Val(t, u"MxDMn, мс").AsInt(), int((core.Mx() - core.Mn()) * 1000));
        EXPECT_EQ(HasRow(t, u"MxRMn"), core.Mn() > 0.001);
        if (core.Mn() > 0.001) {
            EXPECT_DOUBLE_EQ(Val(t, u"MxRMn").AsDouble(), core.Mx() / core.Mn());
        }
        EXPECT_EQ(HasRow(t, u"ИН(SI), о.е."), core.Mx() > core.Mn());
        if (core.Mn() == 0 && core.Mx() > 0) {
            ++withoutMn;
            EXPECT_EQ(Val(t, u"MxDMn, мс").AsInt(), int(core.Mx() * 1000));
        }
    }
    EXPECT_GT(withoutMn, 0);
}

TEST(VariabilityCore, BinSumCoversFiveBinsAwayFromTheEnds) {
    VariabilityCore core;
    std::vector<double> hrs;
    // RR of 0.03 ... 0.07 s and 1.93 ... 1.97 s, one beat each, repeated.
    for (int r = 0; r < 3; ++r)
        for (double rr : {0.03, 0.04, 0.05, 0.06, 0.07, 1.93, 1.94, 1.95, 1.96, 1.97})
            hrs.push_back(60.0 / rr);
    FillSeries(core, hrs);
    core.Compute(0, core.BeatCount() - 1);
    struct Case {
        float rr;
        float sum;
    };
    for (const Case c : {Case{0.04f, 0}, Case{1.95f, 0}, Case{0.05f, 15}, Case{1.94f, 12}, Case{0.5f, 0}}) {
        SCOPED_TRACE(c.rr);
        EXPECT_EQ(core.BinSum(c.rr), c.sum);
    }
}

TEST(VariabilityCore, SeriesAccess) {
    VariabilityCore core;
    EXPECT_EQ(core.BeatCount(), 0);
    EXPECT_EQ(core.BeatAt(3).hr, 0);
    EXPECT_EQ(core.Density(0.8), 0); // nothing computed yet
    EXPECT_EQ(core.PowerAt(0.1f), 2.0);
    for (int i = 0; i < 5; ++i) core.AddBeat(float(i), i == 2 ? 0.0f : 60.0f);
    EXPECT_EQ(core.BeatAt(2).rr, 0); // no interval for a zero rate
    EXPECT_EQ(core.BeatAt(1).rr, 1.0f);
    EXPECT_EQ(core.BeatAt(-1).time, 0);
    EXPECT_EQ(core.BeatAt(99).time, 4);
    struct Case {
        float t;
        int index;
    };
    for (const Case c : {Case{-1, 0}, Case{0, 0}, Case{1.5f, 2}, Case{4, 4}, Case{9, 4}})
        EXPECT_EQ(core.IndexAtTime(c.t), c.index) << c.t;
    EXPECT_EQ(core.PowerAt(0.1f), 2.0); // fewer than 10 beats
}

TEST(VariabilityCore, AFullSeriesDropsItsOldestBeats) {
    VariabilityCore core;
    const int extra = 25;
    for (int i = 0; i < VariabilityCore::kMaxBeats + extra; ++i) core.AddBeat(float(i), 60.0f + (i % 7));
    EXPECT_EQ(core.BeatCount(), VariabilityCore::kMaxBeats);
    EXPECT_EQ(core.BeatAt(0).time, float(extra));
    EXPECT_EQ(core.BeatAt(VariabilityCore::kMaxBeats - 1).time,
              float(VariabilityCore::kMaxBeats + extra - 1));
    EXPECT_EQ(core.IndexAtTime(float(extra + 10)), 10);
    // The range computes from the surviving beats, and adding continues after that.
    core.Compute(0, 99);
    EXPECT_GT(core.Table().Count(), 0);
    core.AddBeat(1e6f, 70.0f);
    EXPECT_EQ(core.BeatAt(0).time, float(extra + 1));
    EXPECT_EQ(core.BeatAt(VariabilityCore::kMaxBeats - 1).time, 1e6f);
    core.Clear();
    EXPECT_EQ(core.BeatCount(), 0);
}

TEST(VariabilityCore, ModulationLandsInItsBand) {
    struct Case {
        double frequency; // Hz of the RR modulation
        const char16_t* band;
    };
    const Case cases[] = {{0.25, u"HF, %"}, {0.1, u"LF, %"}, {0.02, u"VLF, %"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frequency);
        std::vector<double> hrs;
        double t = 0;
        while (t < 600) {
            const double rr = 0.9 + 0.06 * std::sin(2 * M_PI * c.frequency * t);
            hrs.push_back(60.0 / rr);
            t += rr;
        }
        VariabilityCore core;
        FillSeries(core, hrs);
        core.Compute(0, core.BeatCount() - 1);
        const MVarArray& table = core.Table();
        int best = -1;
        std::u16string bestBand;
        for (const char16_t* band : {u"HF, %", u"LF, %", u"VLF, %", u"ULF, %"}) {
            const int share = Val(table, band).AsInt();
            if (share > best) {
                best = share;
                bestBand = band;
            }
        }
        EXPECT_EQ(bestBand, std::u16string(c.band));
        EXPECT_GT(best, 50);
        if (core.HF() > 1e-5) { // else HF was raised to its floor after TP was summed
            EXPECT_NEAR(core.TP(), core.ULF() + core.VLF() + core.LF() + core.HF(), 1e-15);
        }
    }
}

TEST(VariabilityCore, WeakHighFrequencyPowerIsFlooredSoRatiosStayFinite) {
    // A faint slow modulation: some LF power, next to no HF power.
    std::vector<double> hrs;
    double t = 0;
    while (t < 300) {
        const double rr = 0.8 + 0.002 * std::sin(2 * M_PI * 0.1 * t);
        hrs.push_back(60.0 / rr);
        t += rr;
    }
    VariabilityCore core;
    FillSeries(core, hrs);
    core.Compute(0, core.BeatCount() - 1);
    ASSERT_EQ(core.HF(), 1e-5);
    ASSERT_GT(core.LF(), 0);
    const double ratio = Val(core.Table(), u"ИВВ=LF/HF").AsDouble();
    EXPECT_TRUE(std::isfinite(ratio));
    EXPECT_DOUBLE_EQ(ratio, core.LF() / 1e-5);
    EXPECT_DOUBLE_EQ(Val(core.Table(), u"ИЦ(IC)=(VLF+LF)/HF").AsDouble(), (core.VLF() + core.LF()) / 1e-5);
}

TEST(VariabilityCore, ZeroHeartRatesGiveNoTable) {
    VariabilityCore core;
    FillSeries(core, std::vector<double>(20, 70.0));
    core.Compute(0, 19);
    ASSERT_GT(core.Table().Count(), 0);
    core.Clear();
    for (int i = 0; i < 20; ++i) core.AddBeat(float(i), 0.0f);
    core.Compute(0, 19);
    EXPECT_EQ(core.Table().Count(), 0);
}

TEST(VariabilityCore, DegenerateSeriesStayDefined) {
    // Beats all at one time (no spectrum), absurd rates, NaN: a table or none, never a crash or
    // an undefined conversion (this runs under UBSan in CI).
    std::vector<std::vector<float>> rates = {
        {1e-3f}, {1e30f}, {std::nanf("")}, {0.5f, 1000.0f}, {5.0f, 300.0f, 7.0f},
    };
    for (const auto& pattern : rates) {
        VariabilityCore core;
        for (int i = 0; i < 30; ++i)
            core.AddBeat(pattern.size() > 1 ? float(i) : 0.0f, pattern[size_t(i) % pattern.size()]);
        core.Compute(0, 29);
        ForEachParamRow(core.Table(), [](const ParamRowView& r) { EXPECT_FALSE(r.ValueText().IsEmpty()); });
    }
}

TEST(VariabilityCore, RowNamesPassThroughTheTranslator) {
    InterfaceTranslator* tr = InterfaceTranslator::Instance();
    ASSERT_TRUE(tr->SetTranslation(MString(u"Amo"), MString(u"AMo")));
    VariabilityCore core;
    FillSeries(core, RestingRhythm(100, 2));
    core.Compute(0, 99);
    DiagnoseManager diagnose; // its schema translates too, so the values still match
    diagnose.CopyValues(core.Table());
    tr->SetTranslation(MString(u"Amo"), MString()); // back to untranslated for the other tests
    EXPECT_TRUE(HasRow(core.Table(), u"AMo"));
    EXPECT_FALSE(core.Table().Find(MVariant(u"Amo")));
    ASSERT_NE(diagnose.CurrentValues().Find(MVariant(u"AMo")), nullptr);
    EXPECT_DOUBLE_EQ(diagnose.CurrentValues().Find(MVariant(u"AMo"))->Value().AsDouble(), core.AMo());
}
