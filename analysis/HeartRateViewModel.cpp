#include "analysis/HeartRateViewModel.h"

#include "storage/PGFiles.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

int TruncInt(double v) {
    if (!std::isfinite(v)) return 0;
    return static_cast<int>(std::clamp(v, -1e9, 1e9));
}

} // namespace

double HeartRateAt(PGFiles& record, double t) {
    record.SeekTime(std::max(t - kHeartRateReach, record.StartTime()), true);
    double hr = 0, time = 0, found = 0;
    while (record.ReadHeartRates(&hr, &time, 1) == 1) {
        if (time < t - kHeartRateReach) continue;
        if (time <= t) {
            found = hr;
            continue;
        }
        // Past t: the entry before it, or this one when there was none.
        if (found == 0 && time <= t + kHeartRateReach) found = hr;
        break;
    }
    return found;
}

sHeartRateStats ComputeHeartRateStats(PGFiles& record, double s, double e,
                                      const std::function<void(double)>& progress,
                                      const std::atomic<bool>* cancel) {
    sHeartRateStats st;
    const double current = HeartRateAt(record, s);
    record.SeekTime(s, true);
    double sum = 0;
    double hr = 0, t = 0;
    while (record.ReadHeartRates(&hr, &t, 1) == 1 && t <= e) {
        if (st.count == 0) {
            st.min = st.max = hr;
        } else {
            st.min = std::min(st.min, hr);
            st.max = std::max(st.max, hr);
        }
        sum += hr;
        ++st.count;
        if (st.count % 4096 == 0) {
            if (cancel && cancel->load(std::memory_order_relaxed)) break;
            if (progress && e > s) progress(std::clamp((t - s) / (e - s), 0.0, 1.0));
        }
    }
    if (st.count == 0) {
        st.min = st.max = st.mean = current;
    } else {
        st.mean = sum / st.count;
    }
    if (progress) progress(1.0);
    return st;
}

bool HeartRateViewModel::SetFragment(double start, double end, const sHeartRateStats& stats) {
    if (!(end > start)) return false;
    m_start = start;
    m_end = end;
    m_stats = stats;
    return true;
}

bool HeartRateViewModel::SetZoom(int b) {
    if (b <= 0 || b > kMaxZoom) return false;
    if (!(m_end - m_start >= kZoomSeconds * (b - 1)) && b >= m_zoom) return false;
    m_zoom = b;
    return true;
}

const char* HeartRateViewModel::ZoomText(int b, char* buffer, int size) {
    std::snprintf(buffer, size_t(size), "%.1f", double(b));
    return buffer;
}

double HeartRateViewModel::WindowLength() const {
    return std::min(kZoomSeconds * m_zoom, m_end - m_start);
}

double HeartRateViewModel::RateSpan() const {
    const double deviation = std::max(m_stats.max - m_stats.mean, m_stats.mean - m_stats.min);
    return std::max(kRateSpanFactor * deviation, kMinRateSpan);
}

sHeartRateScroll HeartRateViewModel::ScrollRange(double visibleSpan, int position) const {
    sHeartRateScroll r;
    r.min = TruncInt(m_start);
    r.max = std::max(TruncInt(TruncInt(m_end) - visibleSpan / 2), TruncInt(m_start + kZoomSeconds));
    r.max = std::max(r.max, r.min);
    r.position = std::clamp(position, r.min, r.max);
    return r;
}

double HeartRateViewModel::ClampLeft(double x, double visibleSpan) const {
    if (!std::isfinite(x)) x = m_start;
    return std::max(std::min(x, m_end - visibleSpan / 2), m_start);
}

bool HeartRateViewModel::ReadWindow(PGFiles& record, double x, double visibleSpan,
                                    sHeartRateWindow& out) const {
    out = sHeartRateWindow{};
    x = ClampLeft(x, visibleSpan);
    out.left = x;
    if (!record.IsOpen() || record.IsWriting()) return false;
    const double until = x + WindowLength();

    record.SeekTime(x, true);
    double hr = 0, t = 0, lastRate = 0;
    bool inWindow = false;
    while (record.ReadHeartRates(&hr, &t, 1) == 1) {
        if (t > until) break;
        if (t < x) continue; // stored after the samples it was found in, but before the window
        lastRate = hr;
        if (!inWindow) {
            out.rateTimes.push_back(x);
            out.rates.push_back(hr);
            inWindow = true;
        }
        out.rateTimes.push_back(t);
        out.rates.push_back(hr);
        out.marks.push_back({t, hr, TruncInt(hr)});
    }

    record.SeekTime(x, false);
    double values[kReadBlock], times[kReadBlock];
    for (;;) {
        const int n = record.ReadSamples(values, times, kReadBlock);
        int k = 0;
        while (k < n && times[k] <= until) ++k;
        out.times.insert(out.times.end(), times, times + k);
        out.values.insert(out.values.end(), values, values + k);
        if (n == 0 || k < n) break;
    }
    if (inWindow && !out.times.empty() && out.times.back() >= out.rateTimes.back()) {
        out.rateTimes.push_back(out.times.back());
        out.rates.push_back(lastRate);
    }
    return true;
}
