#include "dsp/TimeInterpolator.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace {

// Proportional start estimate only pays off on longer rings.
constexpr int kEstimateFrom = 16;
constexpr double kTransformLimit = 1e6;

bool InTransformRange(double v) {
    return std::isfinite(v) && v <= kTransformLimit && v >= -kTransformLimit;
}

} // namespace

TimeInterpolator::TimeInterpolator() {
    m_entries.reset(new (std::nothrow) ATS[kDefaultCapacity]);
    if (m_entries) m_capacity = kDefaultCapacity;
}

void TimeInterpolator::SetCapacity(int c) {
    MAutoLock lock(m_lock);
    c = std::clamp(c, kMinCapacity, kMaxCapacity);
    m_entries.reset();
    m_capacity = 0;
    m_count = m_head = m_tail = 0;
    m_entries.reset(new (std::nothrow) ATS[static_cast<size_t>(c)]);
    if (m_entries) m_capacity = c;
}

void TimeInterpolator::SetTransform(double offset, double scale) {
    MAutoLock lock(m_lock);
    m_scale = InTransformRange(scale) ? scale : 1.0;
    m_offset = InTransformRange(offset) ? offset : 0.0;
}

bool TimeInterpolator::Push(double t, double value, bool transform) {
    MAutoLock lock(m_lock);
    if (m_capacity == 0) return false;
    m_entries[m_tail] = ATS{t, transform ? (value + m_offset) * m_scale : value};
    m_tail = Next(m_tail);
    if (m_count < m_capacity)
        ++m_count;
    else
        m_head = m_tail; // full: the oldest entry was just overwritten
    return true;
}

double TimeInterpolator::FirstTime() {
    MAutoLock lock(m_lock);
    return m_count == 0 ? 0.0 : m_entries[m_head].t;
}

double TimeInterpolator::LastTime() {
    MAutoLock lock(m_lock);
    return m_count == 0 ? 0.0 : m_entries[Prev(m_tail)].t;
}

double TimeInterpolator::ValueAt(double t) {
    MAutoLock lock(m_lock);
    if (m_count == 0) return 0.0;
    const int newest = Prev(m_tail);

    // Start index: the head on short rings, otherwise a guess in proportion to time, moved back
    // until it is not later than t.
    int idx = m_head;
    if (m_count >= kEstimateFrom) {
        const double t0 = m_entries[m_head].t;
        const double span = m_entries[newest].t - t0;
        int e = 0;
        if (t > t0 && t - t0 <= span) e = static_cast<int>(m_count * (t - t0) / span);
        e = std::min(e, m_count);
        if (e > 0) --e;
        idx = (m_head + e) % m_capacity;
        int remaining = m_count - e;
        while (remaining < m_count && m_entries[idx].t > t) {
            idx = Prev(idx);
            ++remaining;
        }
    }
    while (m_entries[idx].t < t && idx != newest) idx = Next(idx);

    const ATS& cur = m_entries[idx];
    if (idx == m_head || cur.t < t) return cur.v;
    const ATS& prev = m_entries[Prev(idx)];
    const double dt = cur.t - prev.t;
    if (dt > 0) return prev.v + (t - prev.t) * (cur.v - prev.v) / dt;
    return prev.v;
}

int TimeInterpolator::Count() {
    MAutoLock lock(m_lock);
    return m_count;
}

int TimeInterpolator::Capacity() {
    MAutoLock lock(m_lock);
    return m_capacity;
}
