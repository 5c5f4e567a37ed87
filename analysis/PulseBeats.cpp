#include "analysis/PulseBeats.h"

#include "dsp/Biquad.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kStretchS = 120;
constexpr double kMarginS = 5;
constexpr int kTemplateWarmUp = 8; // beats averaged with equal weight before the template runs
constexpr double kTemplateWeight = 0.1;
constexpr double kTemplateMinQuality = 0.7; // a beat less like the template does not change it
constexpr size_t kRecentAmplitudes = 15;

int OddWindow(double seconds, double rate) {
    const int n = std::max(1, int(std::lround(seconds * rate)));
    return n | 1;
}

// The vertex of the parabola through y[k-1], y[k], y[k+1]: offset from k (-0.5 ... 0.5) and value.
std::pair<double, double> Vertex(const double* y, size_t n, size_t k) {
    if (k == 0 || k + 1 >= n) return {0.0, y[k]};
    const double l = y[k - 1], c = y[k], r = y[k + 1];
    const double den = l - 2 * c + r;
    if (den == 0) return {0.0, c};
    const double d = std::clamp(0.5 * (l - r) / den, -0.5, 0.5);
    return {d, c - 0.25 * (l - r) * d};
}

double Correlation(const std::vector<float>& a, const std::vector<float>& b) {
    const size_t n = std::min(a.size(), b.size());
    if (n < 3) return 0;
    double sa = 0, sb = 0;
    for (size_t i = 0; i < n; ++i) {
        sa += a[i];
        sb += b[i];
    }
    const double ma = sa / double(n), mb = sb / double(n);
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < n; ++i) {
        const double x = a[i] - ma, y = b[i] - mb;
        sab += x * y;
        saa += x * x;
        sbb += y * y;
    }
    return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0;
}

// One section's running state (transposed direct form II), started as Pass in dsp/Biquad.cpp
// starts it: as if the input had stood at u for ever.
struct Section {
    double b0, b1, b2, a1, a2;
    double z1 = 0, z2 = 0;

    explicit Section(const sBiquad& s) : b0(s.b0), b1(s.b1), b2(s.b2), a1(s.a1), a2(s.a2) {}
    void Start(double u, double dcGain) {
        const double y0 = dcGain * u;
        z2 = b2 * u - a2 * y0;
        z1 = y0 - b0 * u;
    }
    double Step(double in) {
        const double out = b0 * in + z1;
        z1 = b1 * in - a1 * out + z2;
        z2 = b2 * in - a2 * out;
        return out;
    }
};

// The band-passed (high-pass hp, then low-pass lp, both zero phase) and the low-passed (fid, zero
// phase) copies of x[0..n) in one forward and one backward sweep. The three recursions are
// independent of each other from sample to sample, so running them side by side lets the
// processor overlap them; each does exactly the arithmetic of FilterZeroPhase, in its order.
void BandAndLowPass(const double* x, size_t n, const sBiquad& hp, const sBiquad& lp, const sBiquad& fid,
                    double* band, double* low) {
    if (n == 0) return;
    Section h(hp), l(lp), f(fid);
    h.Start(x[0], hp.DcGain());
    f.Start(x[0], fid.DcGain());
    double v = h.Step(x[0]);
    l.Start(v, lp.DcGain());
    band[0] = l.Step(v);
    low[0] = f.Step(x[0]);
    for (size_t i = 1; i < n; ++i) {
        band[i] = l.Step(h.Step(x[i]));
        low[i] = f.Step(x[i]);
    }
    // Backwards: the low-pass first, then the high-pass, as the forward order reversed.
    Section lb(lp), hb(hp), fb(fid);
    lb.Start(band[n - 1], lp.DcGain());
    fb.Start(low[n - 1], fid.DcGain());
    v = lb.Step(band[n - 1]);
    hb.Start(v, hp.DcGain());
    band[n - 1] = hb.Step(v);
    low[n - 1] = fb.Step(low[n - 1]);
    for (size_t i = n - 1; i-- > 0;) {
        band[i] = hb.Step(lb.Step(band[i]));
        low[i] = fb.Step(low[i]);
    }
}

// Centred moving average of the energy over w samples (shorter at the ends) from its prefix sums
// p[0..n]: (p[b] - p[a]) / (b - a) for the window [a, b) around each sample.
void MovingAverage(const double* p, size_t n, int w, double* out) {
    const size_t h = size_t(w / 2);
    auto at = [&](size_t i) {
        const size_t a = i > h ? i - h : 0;
        const size_t b = std::min(n, i + h + 1);
        return (p[b] - p[a]) / double(b - a);
    };
    const size_t inner0 = std::min(n, h), inner1 = n > h ? n - h : 0; // whole windows in [inner0, inner1)
    size_t i = 0;
    for (; i < inner0; ++i) out[i] = at(i);
    const double width = double(2 * h + 1);
    for (; i < inner1; ++i) out[i] = (p[i + h + 1] - p[i - h]) / width;
    for (; i < n; ++i) out[i] = at(i);
}

} // namespace

std::string PulseBeatFlagText(uint32_t flags) {
    static constexpr std::pair<uint32_t, const char*> kNames[] = {
        {kBeatArtefact, "artefact"},   {kBeatClipped, "clipped"}, {kBeatUnlike, "unlike"},
        {kBeatAmplitude, "amplitude"}, {kBeatEctopic, "ectopic"},
    };
    std::string out;
    for (const auto& [flag, name] : kNames)
        if (flags & flag) out += (out.empty() ? "" : "|") + std::string(name);
    return out;
}

std::vector<std::pair<std::string, double>> sPulseBeatParams::List() const {
    return {{"band_low_hz", bandLowHz},
            {"band_high_hz", bandHighHz},
            {"peak_window_s", peakWindowS},
            {"beat_window_s", beatWindowS},
            {"offset_share", offsetShare},
            {"refractory_s", refractoryS},
            {"fiducial_lowpass_hz", fiducialLowPassHz},
            {"onset_search_s", onsetSearchS},
            {"foot_window_s", footWindowS},
            {"foot_share", footShare},
            {"template_before_s", templateBeforeS},
            {"template_after_s", templateAfterS},
            {"min_quality", minQuality},
            {"amplitude_low", amplitudeLow},
            {"amplitude_high", amplitudeHigh},
            {"clip_run_s", clipRunS}};
}

PulseBeatDetector::PulseBeatDetector(double rate, double startTime, const sPulseBeatParams& params)
    : m_rate(rate > 0 ? rate : 1), m_startTime(startTime), m_params(params) {
    m_stretch = std::max<int64_t>(1, std::llround(kStretchS * m_rate));
    m_margin = std::max<int64_t>(1, std::llround(kMarginS * m_rate));
    m_clipRun = std::max<int64_t>(3, std::llround(m_params.clipRunS * m_rate));
    m_peakWindow = OddWindow(m_params.peakWindowS, m_rate);
    m_beatWindow = OddWindow(m_params.beatWindowS, m_rate);
    m_tplBefore = int(std::lround(m_params.templateBeforeS * m_rate));
    m_tplAfter = std::max(2, int(std::lround(m_params.templateAfterS * m_rate)));
}

void PulseBeatDetector::Put(const double* values, size_t n) {
    if (!values || n == 0) return;
    m_buffer.insert(m_buffer.end(), values, values + n);
    m_end += int64_t(n);
    while (m_end >= m_core + m_stretch + m_margin) {
        ProcessStretch(m_core, m_core + m_stretch);
        m_core += m_stretch;
        // Keep the margin before the next core.
        const int64_t keep = std::max<int64_t>(m_bufferStart, m_core - m_margin);
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + (keep - m_bufferStart));
        m_bufferStart = keep;
    }
}

void PulseBeatDetector::Finish() {
    if (m_end > m_core) ProcessStretch(m_core, m_end);
    m_core = m_end;
    if (m_havePending) {
        Emit(m_pending);
        m_havePending = false;
    }
}

void PulseBeatDetector::ProcessStretch(int64_t coreBegin, int64_t coreEnd) {
    const int64_t from = std::max(m_bufferStart, coreBegin - m_margin);
    const int64_t to = std::min(m_end, coreEnd + m_margin);
    const size_t n = size_t(to - from);
    if (n < size_t(m_beatWindow)) return;
    const double* x = m_buffer.data() + (from - m_bufferStart);

    // Detection signal: band-passed, positive part squared.
    m_band.resize(n);
    m_fid.resize(n);
    BandAndLowPass(x, n, sBiquad::HighPass(m_params.bandLowHz, m_rate),
                   sBiquad::LowPass(std::min(m_params.bandHighHz, 0.45 * m_rate), m_rate),
                   sBiquad::LowPass(std::min(m_params.fiducialLowPassHz, 0.45 * m_rate), m_rate),
                   m_band.data(), m_fid.data());

    m_prefix.resize(n + 1);
    m_prefix[0] = 0;
    for (size_t i = 0; i < n; ++i) {
        const double v = m_band[i] > 0 ? m_band[i] : 0;
        m_prefix[i + 1] = m_prefix[i] + v * v;
    }
    const double offset = m_params.offsetShare * m_prefix[n] / double(n);
    // Blocks of interest: where the short average lies above the long one plus the offset.
    m_peakAverage.resize(n);
    m_beatAverage.resize(n);
    MovingAverage(m_prefix.data(), n, m_peakWindow, m_peakAverage.data());
    MovingAverage(m_prefix.data(), n, m_beatWindow, m_beatAverage.data());
    m_above.resize(n);
    for (size_t i = 0; i < n; ++i) m_above[i] = m_peakAverage[i] > m_beatAverage[i] + offset;
    const uint8_t* above = m_above.data();

    const double* f = m_fid.data();
    const int64_t refractory = std::llround(m_params.refractoryS * m_rate);
    const int64_t onsetSearch = std::max<int64_t>(2, std::llround(m_params.onsetSearchS * m_rate));
    const int64_t slopeSearch = std::max<int64_t>(2, std::llround(0.3 * m_rate));
    const int64_t peakExtra = std::max<int64_t>(1, std::llround(0.05 * m_rate));
    const int64_t footWindow = std::max<int64_t>(2, std::llround(m_params.footWindowS * m_rate));

    size_t i = 0;
    while (i < n) {
        if (!above[i]) {
            ++i;
            continue;
        }
        const size_t b0 = i;
        while (i < n && above[i]) ++i;
        const size_t b1 = i;
        if (b1 - b0 < size_t(m_peakWindow)) continue;
        size_t p = b0;
        for (size_t k = b0; k < b1; ++k)
            if (m_band[k] > m_band[p]) p = k;
        const int64_t detect = from + int64_t(p);
        if (detect < coreBegin || detect >= coreEnd) continue;

        // Systolic peak of the low-passed wave near the block.
        const size_t lo = b0 > size_t(peakExtra) ? b0 - size_t(peakExtra) : 0;
        const size_t hi = std::min(n, b1 + size_t(peakExtra));
        size_t pk = p;
        for (size_t k = lo; k < hi; ++k)
            if (f[k] > f[pk]) pk = k;
        // Steepest point of the upstroke before it.
        const size_t s0 = pk > size_t(slopeSearch) ? pk - size_t(slopeSearch) : 1;
        size_t ms = std::max<size_t>(s0, 1);
        auto slope = [&](size_t k) { return k > 0 && k + 1 < n ? f[k + 1] - f[k - 1] : 0.0; };
        for (size_t k = ms; k < pk && k + 1 < n; ++k)
            if (slope(k) > slope(ms)) ms = k;
        // Foot: the lowest point before the steepest one, not before the previous beat's peak.
        int64_t footFrom = int64_t(ms) - onsetSearch;
        if (m_havePending) {
            const int64_t prevPeak = std::llround((m_pending.beat.peak - m_startTime) * m_rate) - from;
            footFrom = std::max(footFrom, prevPeak + 1);
        } else if (!m_beats.empty()) {
            const int64_t prevPeak = std::llround((m_beats.back().peak - m_startTime) * m_rate) - from;
            footFrom = std::max(footFrom, prevPeak + 1);
        }
        // The foot: where the upstroke has risen a small share of the beat's amplitude above the
        // lowest point just before it. That lowest point is looked for shortly before the sharpest
        // upward bend (the maximum of the second derivative), which a sloping baseline does not
        // move, so a baseline that still rises before the beat does not drag the foot back.
        auto bend = [&](size_t k) { return k > 0 && k + 1 < n ? f[k + 1] - 2 * f[k] + f[k - 1] : -INFINITY; };
        size_t sharpest = size_t(std::clamp<int64_t>(footFrom, 1, int64_t(ms)));
        for (size_t k = sharpest; k < ms; ++k)
            if (bend(k) > bend(sharpest)) sharpest = k;
        const int64_t lowFrom = std::max<int64_t>(footFrom, int64_t(sharpest) - footWindow);
        size_t low = size_t(std::clamp<int64_t>(lowFrom, 0, int64_t(sharpest)));
        for (size_t k = low; k <= sharpest; ++k)
            if (f[k] < f[low]) low = k;
        const double level = f[low] + m_params.footShare * (f[pk] - f[low]);
        double foot = double(ms);
        for (size_t k = low; k < ms; ++k)
            if (f[k + 1] >= level) {
                foot = double(k) + (f[k + 1] > f[k] ? (level - f[k]) / (f[k + 1] - f[k]) : 0.0);
                break;
            }

        Candidate c;
        c.detect = detect;
        c.strength = m_band[p];
        double slopes[3] = {slope(ms > 0 ? ms - 1 : ms), slope(ms), slope(ms + 1)};
        const auto [dPk, vPk] = Vertex(f, n, pk);
        const auto [dMs, vMs] = Vertex(slopes, 3, 1);
        c.beat.peak = Time(double(from + int64_t(pk)) + dPk);
        c.beat.onset = Time(double(from) + foot);
        c.beat.maxSlope = Time(double(from + int64_t(ms)) + dMs);
        c.beat.amplitude = vPk - f[low];
        (void)vMs;

        // A run of equal samples at the top or the bottom of the beat: the converter at its limit.
        const size_t c0 = low > size_t(peakExtra) ? low - size_t(peakExtra) : 0;
        const size_t c1 = std::min(n, pk + 2 * size_t(peakExtra) + 1);
        const auto [mn, mx] = std::minmax_element(x + c0, x + c1);
        int64_t run = 1, longest = 1;
        for (size_t k = c0 + 1; k < c1; ++k) {
            run = x[k] == x[k - 1] && (x[k] == *mn || x[k] == *mx) ? run + 1 : 1;
            longest = std::max(longest, run);
        }
        if (longest >= m_clipRun) c.beat.flags |= kBeatClipped | kBeatArtefact;

        c.segment.resize(size_t(m_tplBefore + m_tplAfter));
        for (int k = -m_tplBefore; k < m_tplAfter; ++k) {
            const int64_t at = std::clamp<int64_t>(int64_t(ms) + k, 0, int64_t(n) - 1);
            c.segment[size_t(k + m_tplBefore)] = float(f[at]);
        }

        if (m_havePending && c.detect - m_pending.detect < refractory) {
            if (c.strength > m_pending.strength) m_pending = std::move(c);
            continue;
        }
        Accept(std::move(c));
    }
}

void PulseBeatDetector::Accept(Candidate&& c) {
    if (m_havePending) Emit(m_pending);
    m_pending = std::move(c);
    m_havePending = true;
}

void PulseBeatDetector::Emit(Candidate& c) {
    sPulseBeat& b = c.beat;
    if (m_templateBeats == 0) {
        b.quality = 1;
        m_template = c.segment;
        m_templateBeats = 1;
    } else {
        b.quality = Correlation(c.segment, m_template);
        if (m_templateBeats < kTemplateWarmUp) {
            const float w = 1.0f / float(m_templateBeats + 1);
            for (size_t k = 0; k < m_template.size(); ++k)
                m_template[k] += w * (c.segment[k] - m_template[k]);
            ++m_templateBeats;
        } else if (b.quality >= kTemplateMinQuality && !(b.flags & kBeatClipped)) {
            for (size_t k = 0; k < m_template.size(); ++k)
                m_template[k] += float(kTemplateWeight) * (c.segment[k] - m_template[k]);
        }
        if (b.quality < m_params.minQuality) b.flags |= kBeatUnlike | kBeatArtefact;
    }

    if (m_recentAmplitudes.size() >= 3) {
        std::vector<double> sorted = m_recentAmplitudes;
        std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
        const double median = sorted[sorted.size() / 2];
        if (b.amplitude < m_params.amplitudeLow * median || b.amplitude > m_params.amplitudeHigh * median)
            b.flags |= kBeatAmplitude | kBeatArtefact;
    }
    if (!(b.flags & kBeatArtefact)) {
        if (m_recentAmplitudes.size() < kRecentAmplitudes) {
            m_recentAmplitudes.push_back(b.amplitude);
        } else {
            m_recentAmplitudes[m_recentNext] = b.amplitude;
            m_recentNext = (m_recentNext + 1) % kRecentAmplitudes;
        }
    }
    m_beats.push_back(b);
}
