#include "analysis/BeatCorrection.h"

#include <algorithm>
#include <cmath>

namespace {

// The values of a centred window sliding over a series, kept sorted: each step adds and removes
// at most one value, so a window of w values costs O(w) per step instead of a sort.
class SlidingSorted {
public:
    SlidingSorted(const std::vector<double>& x, int window, bool absolute)
        : m_x(x), m_half(size_t(std::max(window, 1) / 2)), m_abs(absolute) {}
    // Moves the window to centre i (i rising by one each call, from 0).
    const std::vector<double>& At(size_t i) {
        const size_t n = m_x.size();
        const size_t a = i > m_half ? i - m_half : 0;
        const size_t b = std::min(n, i + m_half + 1);
        for (; m_b < b; ++m_b) Insert(Value(m_b));
        for (; m_a < a; ++m_a) Remove(Value(m_a));
        return m_sorted;
    }

private:
    double Value(size_t k) const { return m_abs ? std::fabs(m_x[k]) : m_x[k]; }
    void Insert(double v) { m_sorted.insert(std::upper_bound(m_sorted.begin(), m_sorted.end(), v), v); }
    void Remove(double v) { m_sorted.erase(std::lower_bound(m_sorted.begin(), m_sorted.end(), v)); }

    const std::vector<double>& m_x;
    size_t m_half;
    bool m_abs;
    size_t m_a = 0, m_b = 0;
    std::vector<double> m_sorted;
};

// Linear interpolation between the order statistics of sorted values.
double Quantile(const std::vector<double>& v, double p) {
    const double x = p * double(v.size() - 1);
    const size_t i = size_t(x);
    const double f = x - double(i);
    return i + 1 < v.size() ? v[i] + f * (v[i + 1] - v[i]) : v[i];
}

// alpha x the quartile deviation ((Q3 - Q1) / 2) of |x| over a centred window, at every index.
std::vector<double> Thresholds(const std::vector<double>& x, int window, double alpha) {
    std::vector<double> th(x.size());
    SlidingSorted w(x, window, true);
    for (size_t i = 0; i < x.size(); ++i) {
        const std::vector<double>& v = w.At(i);
        th[i] = alpha * (Quantile(v, 0.75) - Quantile(v, 0.25)) / 2;
    }
    return th;
}

std::vector<double> RunningMedian(const std::vector<double>& x, int window) {
    std::vector<double> med(x.size());
    SlidingSorted w(x, window, false);
    for (size_t i = 0; i < x.size(); ++i) {
        const std::vector<double>& v = w.At(i);
        med[i] = v[v.size() / 2];
    }
    return med;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

} // namespace

const char* IntervalClassName(IntervalClass c) {
    switch (c) {
        case IntervalClass::Normal:
            return "normal";
        case IntervalClass::Ectopic:
            return "ectopic";
        case IntervalClass::LongShort:
            return "long/short";
        case IntervalClass::Missed:
            return "missed";
        case IntervalClass::Extra:
            return "extra";
        case IntervalClass::Artefact:
            return "artefact";
        case IntervalClass::Gap:
            return "gap";
    }
    return "";
}

std::vector<std::pair<std::string, double>> sBeatCorrectionParams::List() const {
    return {{"alpha", alpha},
            {"c1", c1},
            {"c2", c2},
            {"threshold_window", double(thresholdWindow)},
            {"median_window", double(medianWindow)},
            {"max_gap_medians", maxGapMedians}};
}

std::vector<IntervalClass> ClassifyIntervals(const std::vector<double>& rr, const sBeatCorrectionParams& p) {
    const size_t n = rr.size();
    std::vector<IntervalClass> cls(n, IntervalClass::Normal);
    if (n < 3) return cls;

    std::vector<double> drr(n, 0.0);
    for (size_t i = 1; i < n; ++i) drr[i] = rr[i] - rr[i - 1];
    const std::vector<double> th1 = Thresholds(drr, p.thresholdWindow, p.alpha);
    const std::vector<double> med = RunningMedian(rr, p.medianWindow);
    std::vector<double> mrr(n);
    for (size_t i = 0; i < n; ++i) {
        mrr[i] = rr[i] - med[i];
        if (mrr[i] < 0) mrr[i] *= 2; // shortening is the likelier sign of an error
    }
    const std::vector<double> th2 = Thresholds(mrr, p.thresholdWindow, p.alpha);
    std::vector<double> drrs(n), mrrs(n);
    for (size_t i = 0; i < n; ++i) {
        drrs[i] = th1[i] > 0 ? drr[i] / th1[i] : 0;
        mrrs[i] = th2[i] > 0 ? mrr[i] / th2[i] : 0;
    }
    auto at = [&](const std::vector<double>& v, size_t i) { return i < n ? v[i] : 0.0; };
    // The neighbours that decide the ectopic and the long/short tests.
    auto s12 = [&](size_t i) {
        const double prev = i > 0 ? drrs[i - 1] : 0.0, next = at(drrs, i + 1);
        return drr[i] > 0 ? std::max(prev, next) : std::min(prev, next);
    };
    auto s22 = [&](size_t i) {
        const double a = at(drrs, i + 1), b = at(drrs, i + 2);
        return drr[i] >= 0 ? std::min(a, b) : std::max(a, b);
    };

    for (size_t i = 0; i < n; ++i) {
        if (cls[i] != IntervalClass::Normal) continue;
        const double d = drrs[i];
        if (std::fabs(d) > 1) {
            const double s = s12(i);
            if ((d > 1 && s < -p.c1 * d - p.c2) || (d < -1 && s > -p.c1 * d + p.c2)) {
                cls[i] = IntervalClass::Ectopic;
                continue;
            }
        }
        if (!(std::fabs(d) > 1 || std::fabs(mrrs[i]) > 3)) continue;
        // The next interval is judged with this one when its difference is the smaller.
        std::vector<size_t> candidates{i};
        if (i + 2 < n && std::fabs(drrs[i + 1]) < std::fabs(drrs[i + 2])) candidates.push_back(i + 1);
        for (size_t j : candidates) {
            if (cls[j] != IntervalClass::Normal) continue;
            const bool isLong = drrs[j] > 1 && s22(j) < -1;
            const bool isShort = drrs[j] < -1 && s22(j) > 1;
            const bool isOff = std::fabs(mrrs[j]) > 3;
            if (!(isLong || isShort || isOff)) continue;
            const bool missed = std::fabs(rr[j] / 2 - med[j]) < th2[j];
            const bool extra = j + 1 < n && std::fabs(rr[j] + rr[j + 1] - med[j]) < th2[j];
            if (isShort && extra) {
                cls[j] = IntervalClass::Extra;
                cls[j + 1] = IntervalClass::Extra; // merged with it
            } else if (isLong && missed) {
                cls[j] = IntervalClass::Missed;
            } else {
                cls[j] = IntervalClass::LongShort;
            }
        }
    }
    return cls;
}

sBeatCorrection CorrectBeatSeries(const std::vector<double>& t, const std::vector<uint8_t>& artefact,
                                  const sBeatCorrectionParams& p) {
    sBeatCorrection r;
    if (t.size() < 3) {
        if (t.size() == 2) r.durationS = t[1] - t[0];
        return r;
    }
    const size_t n = t.size() - 1;
    r.intervals = int(n);
    r.durationS = t.back() - t.front();
    std::vector<double> rr(n);
    for (size_t i = 0; i < n; ++i) rr[i] = t[i + 1] - t[i];
    const double median = Median(rr);

    // Gaps split the series; each piece is classified on its own.
    std::vector<IntervalClass> cls(n, IntervalClass::Normal);
    for (size_t i = 0; i < n; ++i)
        if (rr[i] > p.maxGapMedians * median) cls[i] = IntervalClass::Gap;
    for (size_t a = 0; a < n;) {
        if (cls[a] == IntervalClass::Gap) {
            ++a;
            continue;
        }
        size_t b = a;
        while (b < n && cls[b] != IntervalClass::Gap) ++b;
        const std::vector<double> piece(rr.begin() + long(a), rr.begin() + long(b));
        const std::vector<IntervalClass> c = ClassifyIntervals(piece, p);
        std::copy(c.begin(), c.end(), cls.begin() + long(a));
        a = b;
    }
    if (!artefact.empty())
        for (size_t k = 0; k < t.size() && k < artefact.size(); ++k) {
            if (!artefact[k]) continue;
            for (size_t i : {k - 1, k}) // the intervals ending and starting at beat k
                if (k > 0 || i == k)
                    if (i < n && cls[i] == IntervalClass::Normal) cls[i] = IntervalClass::Artefact;
        }

    // Replacement values: linear interpolation of the nearest normal intervals (by time).
    std::vector<double> value = rr;
    std::vector<double> mid(n);
    for (size_t i = 0; i < n; ++i) mid[i] = 0.5 * (t[i] + t[i + 1]);
    auto interpolate = [&](size_t i) {
        size_t lo = i, hi = i;
        bool haveLo = false, haveHi = false;
        for (size_t k = i; k-- > 0;) {
            if (cls[k] == IntervalClass::Gap) break;
            if (cls[k] == IntervalClass::Normal) {
                lo = k;
                haveLo = true;
                break;
            }
        }
        for (size_t k = i + 1; k < n; ++k) {
            if (cls[k] == IntervalClass::Gap) break;
            if (cls[k] == IntervalClass::Normal) {
                hi = k;
                haveHi = true;
                break;
            }
        }
        if (haveLo && haveHi) return rr[lo] + (rr[hi] - rr[lo]) * (mid[i] - mid[lo]) / (mid[hi] - mid[lo]);
        if (haveLo) return rr[lo];
        if (haveHi) return rr[hi];
        return median;
    };

    sNNSeries& s = r.series;
    double clock = t.front();
    bool follows = false;
    auto push = [&](double nn) {
        clock += nn;
        s.nn.push_back(nn);
        s.time.push_back(clock);
        s.follows.push_back(follows ? 1 : 0);
        follows = true;
    };
    for (size_t i = 0; i < n; ++i) {
        switch (cls[i]) {
            case IntervalClass::Normal:
                push(rr[i]);
                break;
            case IntervalClass::Ectopic:
            case IntervalClass::LongShort:
            case IntervalClass::Artefact:
                push(interpolate(i));
                ++r.corrected;
                break;
            case IntervalClass::Missed:
                push(rr[i] / 2);
                push(rr[i] / 2);
                ++r.corrected;
                break;
            case IntervalClass::Extra:
                if (i + 1 < n && cls[i + 1] == IntervalClass::Extra) {
                    push(rr[i] + rr[i + 1]);
                    r.corrected += 2;
                    ++i;
                } else {
                    push(interpolate(i));
                    ++r.corrected;
                }
                break;
            case IntervalClass::Gap:
                clock += rr[i];
                follows = false;
                break;
        }
        // The clock follows the real beats, so that interpolated values do not shift the rest.
        if (cls[i] != IntervalClass::Missed) clock = t[i + 1];
    }
    for (size_t i = 0; i < n; ++i) {
        switch (cls[i]) {
            case IntervalClass::Ectopic:
                ++r.ectopic;
                break;
            case IntervalClass::LongShort:
                ++r.longShort;
                break;
            case IntervalClass::Missed:
                ++r.missed;
                break;
            case IntervalClass::Extra:
                ++r.extra;
                break;
            case IntervalClass::Artefact:
                ++r.artefact;
                r.unusableS += rr[i];
                break;
            case IntervalClass::Gap:
                ++r.gaps;
                r.unusableS += rr[i];
                break;
            default:
                break;
        }
    }
    r.classes = std::move(cls);
    return r;
}
