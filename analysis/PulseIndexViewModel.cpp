#include "analysis/PulseIndexViewModel.h"

#include "analysis/HeartRateViewModel.h"
#include "storage/MAssocStrings.h"
#include "storage/PGFiles.h"

#include <algorithm>
#include <cmath>

MString PulseIndexCellText(const MVariant& value, char16_t separator) {
    if (value.GetType() == MVariant::kDouble) return FormatFixed3(value.AsDouble(), separator);
    return value.AsString();
}

bool PulseIndexViewModel::SetFragment(double start, double end) {
    m_prepared = false;
    m_times.clear();
    m_values.clear();
    if (!(end > start) || !std::isfinite(start) || !std::isfinite(end)) {
        m_start = m_end = m_shownEnd = 0;
        return false;
    }
    m_start = start;
    m_end = m_shownEnd = end;
    return true;
}

bool PulseIndexViewModel::Prepare(PGFiles& record) {
    if (!HasFragment() || !record.IsOpen() || record.IsWriting()) return false;
    m_heartRate = std::max(HeartRateAt(record, m_start), kMinHeartRate);
    record.SeekTime(m_start, false);
    const double periods = kBeatsShown * 60.0 / m_heartRate;
    m_shownEnd = m_end - m_start > periods ? m_start + periods : m_end;

    double maximum = kMinMaximum;
    double values[kReadBlock], times[kReadBlock];
    for (;;) {
        const int n = record.ReadSamples(values, times, kReadBlock);
        if (n != kReadBlock || times[0] > m_shownEnd) break;
        for (int i = 0; i < n; ++i) maximum = std::max(maximum, values[i]);
    }
    m_verticalSpan = maximum + kSpanMargin;
    m_prepared = true;
    return true;
}

bool PulseIndexViewModel::ReadWave(PGFiles& record) {
    m_times.clear();
    m_values.clear();
    if (!m_prepared || !record.IsOpen() || record.IsWriting()) return false;
    record.SeekTime(m_start, false);
    double values[kReadBlock], times[kReadBlock];
    for (;;) {
        const int n = record.ReadSamples(values, times, kReadBlock);
        int k = 0;
        while (k < n && times[k] <= m_shownEnd) ++k;
        m_times.insert(m_times.end(), times, times + k);
        m_values.insert(m_values.end(), values, values + k);
        if (n == 0 || k < n) break;
    }
    return true;
}

bool PulseIndexViewModel::WaveValueAt(double t, double* value) const {
    if (m_times.empty() || !(t >= m_times.front()) || !(t <= m_times.back())) return false;
    const auto it = std::lower_bound(m_times.begin(), m_times.end(), t);
    const size_t i = size_t(it - m_times.begin());
    if (m_times[i] == t || i == 0) {
        *value = m_values[i];
        return true;
    }
    const double t0 = m_times[i - 1], t1 = m_times[i];
    *value = t1 > t0 ? m_values[i - 1] + (t - t0) * (m_values[i] - m_values[i - 1]) / (t1 - t0) : m_values[i];
    return true;
}

void PulseIndexViewModel::MoveSelected(double t) {
    if (m_selected < 0 || !std::isfinite(t)) return;
    if (!m_times.empty()) t = std::clamp(t, m_times.front(), m_times.back());
    double a = 0;
    WaveValueAt(t, &a);
    m_indexes.SetMarker(m_selected, t, a);
}

bool PulseIndexViewModel::MarkersOnWave() const {
    double a = 0;
    for (int k = 0; k < PulseIndexes::kMarkerCount; ++k)
        if (!WaveValueAt(m_indexes.Marker(k).t, &a)) return false;
    return true;
}

void PulseIndexViewModel::Compute(const MAssocStrings& metadata) {
    if (!MarkersOnWave()) {
        m_indexes.ClearTable();
        return;
    }
    for (int k = 0; k < PulseIndexes::kMarkerCount; ++k) {
        const double t = m_indexes.Marker(k).t;
        double a = 0;
        WaveValueAt(t, &a);
        m_indexes.SetMarker(k, t, a);
    }
    m_indexes.ComputePulseIndexes(metadata);
}
