#include "dsp/MIsoFilter.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace {

constexpr int kMinCapacity = 5;
constexpr int kMaxCapacity = 10'000'000;
constexpr int kMinAnchors = 4;             // a spline needs this many feet
constexpr int64_t kFirstRing = 1 << 14;    // first allocation of the data ring, entries
constexpr int64_t kMinRingLimit = 1 << 20; // corrected samples may pile up this far at least
// Samples with a time beyond this (or a value that is not finite) cannot take part in the search:
// window arithmetic on such times would no longer move. They pass through with the baseline of
// their neighbours.
constexpr double kMaxTime = 1e12;

bool Searchable(double x, double y) {
    return std::fabs(x) <= kMaxTime && std::isfinite(y);
}

int64_t Pow2Ceil(int64_t v) {
    int64_t p = 1;
    while (p < v) p <<= 1;
    return p;
}

} // namespace

MIsoFilter::MIsoFilter(int capacity)
    : m_capacity(std::clamp(capacity, kMinCapacity, kMaxCapacity)), m_anchors(kAnchorCapacity) {
    m_knotX.reserve(kAnchorCapacity);
    m_knotY.reserve(kAnchorCapacity);
}

void MIsoFilter::Reset() {
    m_head = m_tail = m_firstWaiting = 0;
    m_anchors.Clear();
    m_haveSpline = false;
    m_splineEnd = -1.0;
    m_segment = 0;
    m_W = 0.0;
    m_minX = m_minY = m_maxY = 0.0;
    m_minSeq = 0;
    m_lastEmitCount = 0;
    m_pos = 0;
    m_above = 0;
}

MIsoFilter::tPointXY MIsoFilter::AnchorAt(int k) {
    MAutoLock lock(m_anchors.Lock());
    if (k < 0 || k >= m_anchors.Count()) return {};
    return m_anchors.At(k);
}

bool MIsoFilter::PutPoints(const double* times, const double* values, int n) {
    if (!times || !values || n <= 0) return true;
    double P = Period;
    if (!(P >= kMinPeriod)) P = kMinPeriod; // also catches NaN
    for (int j = 0; j < n; ++j) {
        const double x = times[j];
        const double y = values[j];
        // At most capacity - 1 samples wait for their baseline.
        if (m_tail - m_firstWaiting >= m_capacity - 1) Release(m_firstWaiting);
        if (m_tail - m_head > m_mask && !MakeRoom()) continue; // no storage at all
        At(m_tail) = tDataPoint{x, y, 0.0, false};
        ++m_tail;

        if (Searchable(x, y) && !(x < m_W - P) && !(x - m_W > P)) {
            // The common case, inline: the sample neither closes nor restarts the window.
            if (y < m_minY && x > m_W) {
                m_minX = x;
                m_minY = y;
                m_minSeq = m_tail - 1;
            } else if (y > m_maxY) {
                m_maxY = y;
            }
            m_pos = m_tail;
        } else {
            SearchNewest(P);
        }
        if (m_haveSpline && At(m_firstWaiting).x <= m_splineEnd) MarkReady();
    }
    return true;
}

int MIsoFilter::GetPoints(double* times, double* values, int n) {
    if (!times || !values || n <= 0) return 0;
    const int k = static_cast<int>(std::min<Seq>(n, m_firstWaiting - m_head));
    for (int j = 0; j < k; ++j) {
        const tDataPoint& d = At(m_head + j);
        times[j] = d.x;
        values[j] = d.y - d.base;
    }
    m_head += k;
    return k;
}

// ---- data queue ----

bool MIsoFilter::MakeRoom() {
    const Seq size = m_mask + 1;
    if (m_tail - m_head < size) return true;
    const Seq limit = std::max(2 * Pow2Ceil(m_capacity), kMinRingLimit);
    if (size < limit) {
        const Seq newSize = size == 0 ? std::min(Pow2Ceil(m_capacity), kFirstRing) : 2 * size;
        std::unique_ptr<tDataPoint[]> ring(new (std::nothrow) tDataPoint[static_cast<size_t>(newSize)]);
        if (ring) {
            for (Seq s = m_head; s < m_tail; ++s) ring[static_cast<size_t>(s & (newSize - 1))] = At(s);
            m_ring = std::move(ring);
            m_mask = newSize - 1;
            return true;
        }
    }
    if (size == 0) return false;
    // Full and unable to grow: the caller has left this many corrected samples uncollected, so the
    // oldest of them is dropped.
    if (m_firstWaiting == m_head) Release(m_head);
    ++m_head;
    return true;
}

// Gives the oldest waiting sample (s == m_firstWaiting) the best baseline known without the feet
// that would normally cover it.
void MIsoFilter::Release(Seq s) {
    tDataPoint& d = At(s);
    d.base = FallbackBase(d.x);
    d.ready = true;
    m_firstWaiting = s + 1;
}

double MIsoFilter::FallbackBase(double x) {
    if (m_haveSpline) {
        const size_t last = m_knotX.size() - 1;
        if (!(x > m_knotX[0])) return m_knotY[0];
        if (x >= m_knotX[last]) return m_knotY[last]; // held level, not the extended cubic
        return m_spline.Evaluate(x);
    }
    MAutoLock lock(m_anchors.Lock());
    const int count = m_anchors.Count();
    return count > 0 ? m_anchors.At(count - 1).y : 0.0;
}

// ---- foot search ----

void MIsoFilter::SearchNewest(double P) {
    const Seq newest = m_tail - 1;
    m_emitted = false;
    const tDataPoint& d = At(newest);
    if (Searchable(d.x, d.y) && d.x < m_W - P) {
        // Time went back: the feet found so far belong to another stretch of the record. The
        // samples queued before this one can no longer be covered by feet; they leave with the
        // baseline known now, and the search starts again from this sample.
        while (m_firstWaiting < newest) Release(m_firstWaiting);
        m_W = 0.0;
        m_anchors.Clear();
        m_lastEmitCount = 0;
        m_haveSpline = false;
        m_splineEnd = -1.0;
        m_minSeq = newest;
        m_above = newest;
    }
    m_pos = newest;
    while (m_pos <= newest) Step(m_pos, P, newest);
    if (m_emitted && m_anchors.Count() > m_countBeforeEmit) Rebuild(P);
}

void MIsoFilter::Step(Seq p, double P, Seq newest) {
    const tDataPoint& d = At(p);
    if (!Searchable(d.x, d.y)) {
        m_pos = p + 1;
        return;
    }
    if (d.x - m_W > P) {
        if (m_W <= 0.0) { // first window opens here
            m_W = d.x;
            m_minX = d.x;
            m_minY = d.y;
            m_maxY = d.y;
            m_minSeq = p;
            m_pos = p + 1;
            return;
        }
        Emit(p, P, newest);
        return;
    }
    if (d.y < m_minY && d.x > m_W) {
        m_minX = d.x;
        m_minY = d.y;
        m_minSeq = p;
    } else if (d.y > m_maxY) {
        m_maxY = d.y;
    }
    m_pos = p + 1;
}

// The window closed at sample p: its lowest sample becomes a foot and the next window starts
// just after it. The search then looks again at the samples from two past the foot on, which now
// belong to the new window.
void MIsoFilter::Emit(Seq p, double P, Seq newest) {
    if (!m_emitted) { // the anchor count before this sample (the queue's count takes its lock)
        m_emitted = true;
        m_countBeforeEmit = m_anchors.Count();
    }
    if (m_lastEmitCount == 0) {
        // First foot since a restart: anchor the spline at the oldest waiting sample too.
        double x0 = At(m_firstWaiting).x;
        if (!(std::fabs(x0) <= kMaxTime)) x0 = m_minX;
        PushAnchors({x0, m_minY}, 1);
    }
    tPointXY foot{m_minX, m_minY};
    bool repeat = false;
    {
        MAutoLock lock(m_anchors.Lock());
        const int count = m_anchors.Count();
        if (count > 0 && m_anchors.At(count - 1).x == m_minX) {
            // No new foot in this window: repeat the previous foot as it was, rather than
            // pairing its time with another level (two levels at one time would throw the
            // spline far off).
            foot.y = m_anchors.At(count - 1).y;
            repeat = true;
        }
    }
    PushAnchors(foot, 1);
    m_lastEmitCount = m_anchors.Count();
    m_W = m_minX + 0.1 * P > m_W ? m_minX + 0.1 * P : m_W + 0.3 * P;
    m_minY = m_maxY;

    const Seq next = std::min(m_minSeq + 2, p + 1);
    // Sample p skipped the extreme tracking; when the search goes back over it, its value counts
    // for the maximum. Doing that here lets the skip below pass over it.
    if (next <= p && At(p).y > m_maxY) m_maxY = At(p).y;
    // Samples at or before the window start cannot become the new minimum and are already in the
    // maximum: skip them.
    Seq q = std::max({m_above, next, m_head});
    while (q <= newest && At(q).x <= m_W) ++q;
    m_above = q;
    m_pos = q;

    if (q == newest && p == newest && repeat) {
        // Only the newest sample lies in the window, and it closes the window again and again
        // (a gap in the times): each closing repeats the foot and moves the window by 0.3 P.
        // Done in one step so that a long gap costs no more than a short one.
        const double x = At(newest).x;
        const double stepW = 0.3 * P;
        if (x - m_W > P && !(m_minX + 0.1 * P > m_W)) {
            // Times are within kMaxTime and P >= kMinPeriod, so m stays far below 2^53 and each
            // step of m moves the window by more than the rounding of these sums.
            double mD = std::ceil((x - m_W - P) / stepW);
            if (!(mD >= 1.0)) mD = 1.0;
            int64_t m = static_cast<int64_t>(mD);
            for (int k = 0; k < 8 && x - (m_W + static_cast<double>(m) * stepW) > P; ++k) ++m;
            while (m > 1 && x - (m_W + static_cast<double>(m - 1) * stepW) <= P) --m;
            PushAnchors(foot, m);
            m_lastEmitCount = m_anchors.Count();
            m_W += static_cast<double>(m) * stepW;
            m_minY = m_maxY;
        }
    }
}

// Pushes the same anchor `times` times with the anchor queue's overflow rule (a push that fills
// it empties it and keeps the new item), without looping for huge counts.
void MIsoFilter::PushAnchors(const tPointXY& a, int64_t times) {
    const int64_t cap = m_anchors.Capacity();
    if (cap < 2) return;
    if (times < cap) {
        for (int64_t k = 0; k < times; ++k) m_anchors.Push(a);
        return;
    }
    const int64_t c0 = m_anchors.Count();
    const int64_t afterFirstEmptying = times - (cap - c0);
    const int64_t keep = 1 + afterFirstEmptying % (cap - 1);
    m_anchors.Clear();
    for (int64_t k = 0; k < keep; ++k) m_anchors.Push(a);
}

void MIsoFilter::Rebuild(double P) {
    MAutoLock lock(m_anchors.Lock());
    // Feet far behind the oldest waiting sample are no longer needed.
    const double t0 = At(m_firstWaiting).x;
    while (m_anchors.Count() > kMinAnchors && m_anchors.At(0).x < t0 - 2.0 * P) m_anchors.Pop();
    const int count = m_anchors.Count();
    if (count < kMinAnchors) return;
    m_knotX.resize(static_cast<size_t>(count));
    m_knotY.resize(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        m_knotX[k] = m_anchors.At(k).x;
        m_knotY[k] = m_anchors.At(k).y;
    }
    m_spline.Build(m_knotX.data(), m_knotY.data(), count);
    m_haveSpline = true;
    // Use the baseline only where the feet on both sides are known.
    m_splineEnd = m_knotX[count - 2];
    m_segment = 0;
}

void MIsoFilter::MarkReady() {
    if (!m_haveSpline) return;
    while (m_firstWaiting < m_tail) {
        tDataPoint& d = At(m_firstWaiting);
        if (!(d.x <= m_splineEnd)) break;
        d.base = m_spline.Evaluate(d.x, m_segment);
        d.ready = true;
        ++m_firstWaiting;
    }
}
