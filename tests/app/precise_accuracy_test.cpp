// Accuracy of the precise beats and of the HRV values after correction on simulated records
// whose true beats are known, per scenario, at 500 Hz (as recorded) and on the same signal as
// 100 Hz text imported. A detection matches a true beat when their onsets lie within 50 ms;
// true beats that a disturbance covered, and detections beside them, are not counted.

#include "analysis/PreciseAnalysis.h"
#include "app/SimulatedRecord.h"
#include "app/TextImport.h"
#include "sim/SimScenario.h"
#include "storage/PGFiles.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double kMatch = 0.05;
constexpr double kMinutes = 4;

struct Score {
    int tp = 0, fn = 0, fp = 0;
    double onsetMedianMs = 0;
    double F1() const { return tp == 0 ? 0 : 2.0 * tp / (2.0 * tp + fn + fp); }
};

Score Evaluate(const std::vector<sSimTruthBeat>& truth, const std::vector<sPulseBeat>& beats, double from,
               double to) {
    Score s;
    std::vector<char> used(beats.size(), 0);
    std::vector<double> errors;
    std::vector<double> disturbed;
    for (const sSimTruthBeat& t : truth) {
        if (t.onset < from || t.onset > to) continue;
        if (t.disturbed) disturbed.push_back(t.onset);
        size_t best = beats.size();
        for (size_t i = 0; i < beats.size(); ++i)
            if (!used[i] && std::fabs(beats[i].onset - t.onset) <= kMatch &&
                (best == beats.size() ||
                 std::fabs(beats[i].onset - t.onset) < std::fabs(beats[best].onset - t.onset)))
                best = i;
        if (best == beats.size()) {
            if (!t.disturbed) ++s.fn;
            continue;
        }
        used[best] = 1;
        if (t.disturbed) continue;
        ++s.tp;
        errors.push_back(std::fabs(beats[best].onset - t.onset));
    }
    for (size_t i = 0; i < beats.size(); ++i) {
        if (used[i] || beats[i].onset < from || beats[i].onset > to) continue;
        const bool beside = std::any_of(disturbed.begin(), disturbed.end(),
                                        [&](double d) { return std::fabs(d - beats[i].onset) < 1.0; });
        if (!beside) ++s.fp;
    }
    if (!errors.empty()) {
        std::nth_element(errors.begin(), errors.begin() + long(errors.size() / 2), errors.end());
        s.onsetMedianMs = 1000 * errors[errors.size() / 2];
    }
    return s;
}

// SDNN and RMSSD (ms) of the true normal-to-normal intervals in [from, to].
std::pair<double, double> TrueSdnnRmssd(const std::vector<sSimTruthBeat>& truth, double from, double to) {
    std::vector<double> nn;
    std::vector<char> touches;
    bool previousNN = false;
    double sum2 = 0;
    int pairs = 0;
    for (size_t k = 1; k < truth.size(); ++k) {
        if (truth[k - 1].onset < from || truth[k].onset > to) continue;
        const bool isNN = !truth[k].ectopic && !truth[k - 1].ectopic;
        const double rr = (truth[k].onset - truth[k - 1].onset) * 1000;
        if (isNN) {
            if (previousNN) {
                sum2 += (rr - nn.back()) * (rr - nn.back());
                ++pairs;
            }
            nn.push_back(rr);
        }
        previousNN = isNN;
    }
    double mean = 0;
    for (double v : nn) mean += v / double(nn.size());
    double ss = 0;
    for (double v : nn) ss += (v - mean) * (v - mean);
    return {std::sqrt(ss / double(nn.size() - 1)), std::sqrt(sum2 / pairs)};
}

struct Case {
    const char* scenario;
    double minF1;
    bool hrv; // RMSSD and SDNN after correction within 5 % of the truth
};

class PreciseAccuracy : public ::testing::TestWithParam<Case> {};

TEST_P(PreciseAccuracy, BeatsAndVariabilityAgainstTheTruth) {
    const Case& c = GetParam();
    testutil::TempDir dir;
    sSimRecordOptions o;
    o.minutes = kMinutes;
    std::string error;
    ASSERT_TRUE(ParseSimScenario(c.scenario, o.scenario, error)) << error;
    o.seed = 7;
    o.recordPath = MString(dir.File("a.pwv"));
    o.truthPath = dir.File("a.csv");
    const sSimRecordResult made = WriteSimulatedRecord(o);
    ASSERT_TRUE(made.ok) << made.reason;
    std::vector<sSimTruthBeat> truth;
    std::string reason;
    ASSERT_TRUE(ReadSimTruth(o.truthPath, truth, reason)) << reason;
    ASSERT_GT(truth.size(), 200u);

    PGFiles record;
    ASSERT_TRUE(record.Open(o.recordPath, PGFiles::OpenMode::ReadOnly));
    const sPreciseResult live = AnalyzeRecordPrecise(record, {});
    ASSERT_TRUE(live.ok) << live.reason;
    EXPECT_EQ(live.rate, 500);

    // The same signal as a 100 Hz text import: every fifth sample from the record's first one.
    record.SeekTime(0, true);
    TextNumbers numbers;
    {
        PGFiles again;
        ASSERT_TRUE(again.Open(o.recordPath, PGFiles::OpenMode::ReadOnly));
        double v[1000], t[1000];
        int64_t k = 0;
        for (int32_t n; (n = again.ReadRawSamples(v, t, 1000)) > 0;)
            for (int32_t i = 0; i < n; ++i, ++k)
                if (k % 5 == 0) numbers.values.push_back(v[i]);
    }
    record.Close();
    const auto [lo, hi] = std::minmax_element(numbers.values.begin(), numbers.values.end());
    numbers.smallest = *lo;
    numbers.largest = *hi;
    PGFiles importer;
    const TextImportResult imported = ImportTextNumbers(numbers, 100, MString(dir.File("b.pwv")), importer);
    ASSERT_TRUE(imported.ok) << imported.reason;
    PGFiles slow;
    ASSERT_TRUE(slow.Open(MString(dir.File("b.pwv")), PGFiles::OpenMode::ReadOnly));
    const sPreciseResult at100 = AnalyzeRecordPrecise(slow, {});
    ASSERT_TRUE(at100.ok) << at100.reason;
    EXPECT_EQ(at100.rate, 100);

    for (const sPreciseResult* r : {&live, &at100}) {
        const double from = r->from + 0.5, to = r->to - 0.5;
        const Score s = Evaluate(truth, r->beats, from, to);
        const auto [sdnn, rmssd] = TrueSdnnRmssd(truth, from, to);
        std::printf("[accuracy] %-13s %3.0f Hz  F1 %.4f (tp %d fn %d fp %d)  onset median %.2f ms  "
                    "SDNN %.1f / %.1f ms  RMSSD %.1f / %.1f ms  corrected %d\n",
                    c.scenario, r->rate, s.F1(), s.tp, s.fn, s.fp, s.onsetMedianMs, r->table.sdnn, sdnn,
                    r->table.rmssd, rmssd, r->correction.corrected);
        EXPECT_GE(s.F1(), c.minF1) << r->rate << " Hz";
        if (r->rate == 500 && std::string(c.scenario) == "rest") {
            EXPECT_LE(s.onsetMedianMs, 4.0);
        } else {
            EXPECT_LE(s.onsetMedianMs, r->rate == 500 ? 6.0 : 12.0);
        }
        if (c.hrv) {
            EXPECT_NEAR(r->table.sdnn, sdnn, 0.05 * sdnn) << r->rate << " Hz";
            EXPECT_NEAR(r->table.rmssd, rmssd, 0.05 * rmssd) << r->rate << " Hz";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PreciseAccuracy,
                         ::testing::Values(Case{"rest", 0.999, true}, Case{"ectopic", 0.99, true},
                                           Case{"artefact", 0.99, false}, Case{"lowperfusion", 0.99, false},
                                           Case{"irregular", 0.98, false}, Case{"stress", 0.99, false},
                                           Case{"ectopic,artefact", 0.99, false}),
                         [](const auto& info) {
                             std::string name = info.param.scenario;
                             std::replace(name.begin(), name.end(), ',', '_');
                             return name;
                         });

} // namespace
