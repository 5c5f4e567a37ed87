#pragma once
// Correction of a beat-interval series by the method of Lipponen & Tarvainen (2019): every
// interval is classified from two normalised series with time-varying thresholds,
//   dRRs = (RR[i] - RR[i-1]) / Th1,   Th1 = alpha x quartile deviation of |dRR| over 91 intervals,
//   mRRs = (RR[i] - median of 11 intervals) / Th2 (negative values doubled), Th2 likewise,
// as normal, ectopic (a premature beat and its compensatory pause: dRRs beyond +-1 with the
// neighbour of opposite sign, beyond the boundary c1 = 0.13, c2 = 0.17), long or short (the next
// difference of opposite sign beyond 1, or |mRRs| > 3), missed (a long interval whose half is
// close to the median) or extra (a short one that with the next is close to the median).
// Corrections: an extra beat is removed (its two intervals merged), a missed one inserted (the
// interval split in halves), ectopic, long and short intervals replaced by the linear
// interpolation of the nearest normal intervals on each side.
//
// Beats the detector marked as artefacts do not trust their timing: the intervals on both sides of
// them are interpolated too (unless the classification already explains them: a premature beat
// looks unlike the others). An interval longer than kMaxGapMedians times the median (a stretch
// without usable pulse) is not bridged: it is left out and counted as unusable.
//
// Plain functions; Qt-free.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class IntervalClass : uint8_t { Normal, Ectopic, LongShort, Missed, Extra, Artefact, Gap };
const char* IntervalClassName(IntervalClass c);

struct sBeatCorrectionParams {
    double alpha = 5.2;
    double c1 = 0.13;
    double c2 = 0.17;
    int thresholdWindow = 91; // intervals
    int medianWindow = 11;    // intervals
    double maxGapMedians = 3.0;

    std::vector<std::pair<std::string, double>> List() const;
};

// The corrected normal-to-normal series: interval i lasts nn[i] s and ends at time[i] (s);
// follows[i] is false where a left-out gap (or the start) lies before it, so that successive
// differences are taken only between intervals that touch.
struct sNNSeries {
    std::vector<double> nn;
    std::vector<double> time;
    std::vector<uint8_t> follows;
    size_t size() const { return nn.size(); }
};

struct sBeatCorrection {
    static constexpr const char* kAlgorithm = "interval correction (Lipponen & Tarvainen 2019)";
    static constexpr const char* kVersion = "1.0";

    sNNSeries series;
    std::vector<IntervalClass> classes; // one per input interval (between beat k and k + 1)
    int intervals = 0;                  // input intervals
    int ectopic = 0, longShort = 0, missed = 0, extra = 0, artefact = 0, gaps = 0;
    int corrected = 0;    // input intervals whose value was changed, merged or split
    double durationS = 0; // from the first beat to the last
    double unusableS = 0; // in gaps and in intervals around artefact beats
    double UnusableShare() const { return durationS > 0 ? unusableS / durationS : 0; }
};

// beatTimes in seconds, increasing; artefact (may be empty) marks beats whose timing is not to be
// trusted. Fewer than 3 beats give an empty series.
sBeatCorrection CorrectBeatSeries(const std::vector<double>& beatTimes, const std::vector<uint8_t>& artefact,
                                  const sBeatCorrectionParams& params = {});

// The classification alone, on intervals (s): one class per interval (Normal, Ectopic, LongShort,
// Missed or Extra).
std::vector<IntervalClass> ClassifyIntervals(const std::vector<double>& rr,
                                             const sBeatCorrectionParams& params = {});
