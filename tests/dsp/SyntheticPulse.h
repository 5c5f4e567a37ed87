#pragma once
// Synthetic finger pulse wave with known beat times, for filter and beat-detector tests and
// benchmarks. Deterministic: the same options and seed give the same samples on every run.
//
// Each beat is the sum of three Gaussian waves: the systolic wave (steep upstroke and peak), a
// late systolic wave that rounds the peak, and the diastolic wave after the dicrotic notch, plus
// an exponential runoff through diastole. Beat
// intervals follow a heart rate with respiratory sinus arrhythmia and a slow drift. On top come
// respiratory amplitude modulation, baseline wander, white noise and 50 Hz mains hum.
//
// The reference time of a beat is where its own clean waveform (no wander, noise or hum) rises
// through `referenceLevel` of the way from its foot to its systolic peak.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace synth {

struct PulseOptions {
    double sampleRate = 500;      // Hz
    double startTime = 0.002;     // s, time of the first sample
    double meanHr = 72;           // beats per minute
    double rsaBpm = 4;            // respiratory sinus arrhythmia: peak deviation of the rate
    double respHz = 0.25;         // breathing rate
    double driftBpm = 3;          // slow rate drift: peak deviation ...
    double driftPeriod = 300;     // ... and its period, s
    double offset = 0.5;          // baseline level
    double amplitude = 0.1;       // foot-to-peak of the systolic wave
    double ampModulation = 0.05;  // respiratory amplitude modulation, fraction
    double wander = 0.01;         // baseline wander amplitude
    double noise = 0.001;         // white noise, standard deviation
    double hum = 0.004;           // 50 Hz mains amplitude
    double referenceLevel = 0.15; // where on the upstroke a beat's reference time lies
    uint64_t seed = 1;
};

struct PulseBeat {
    double peak = 0;      // time of the systolic peak, s
    double reference = 0; // upstroke reference time, s
    double rate = 0;      // 60 / (reference - previous reference), bpm; 0 for the first beat
    double gain = 0;      // amplitude of this beat
    double scale = 1;     // stretch of the late waves with the beat interval
};

class SyntheticPulse {
public:
    explicit SyntheticPulse(const PulseOptions& options = {}) : m_o(options), m_rng(options.seed) {
        m_nextPeak = m_o.startTime + 0.3;
    }

    // The next n samples, continuing where the previous call stopped.
    void Generate(double* times, double* values, int n) {
        const double step = 1.0 / m_o.sampleRate;
        for (int k = 0; k < n; ++k, ++m_index) {
            const double t = m_o.startTime + m_index * step;
            times[k] = t;
            values[k] = CleanAt(t) + Wander(t) + m_o.hum * std::sin(2 * std::numbers::pi * 50.0 * t) +
                        m_o.noise * Gauss();
        }
    }

    // Pulse without wander, noise and hum; beats are scheduled up to t as needed.
    double CleanAt(double t) {
        while (m_nextPeak < t + 2.0) AddBeat();
        while (m_first < m_beats.size() && m_beats[m_first].peak < t - 2.0) ++m_first;
        double v = m_o.offset;
        for (size_t k = m_first; k < m_beats.size() && m_beats[k].peak < t + 0.4; ++k)
            v += BeatShape(m_beats[k], t - m_beats[k].peak);
        return v;
    }

    // Beats scheduled so far, in time order; they cover every generated sample.
    const std::vector<PulseBeat>& Beats() const { return m_beats; }
    const PulseOptions& Options() const { return m_o; }

    // Instantaneous heart rate of the schedule at time t, bpm.
    double RateAt(double t) const {
        return m_o.meanHr + m_o.rsaBpm * std::sin(2 * std::numbers::pi * m_o.respHz * t) +
               m_o.driftBpm * std::sin(2 * std::numbers::pi * t / m_o.driftPeriod);
    }

private:
    static double Gaussian(double x, double centre, double sigma) {
        const double z = (x - centre) / sigma;
        return z * z > 50 ? 0.0 : std::exp(-0.5 * z * z);
    }

    // One beat at offset x from its systolic peak: systolic, late systolic and diastolic waves, and
    // the runoff that keeps the signal falling through diastole until the next upstroke.
    static double BeatShape(const PulseBeat& b, double x) {
        double v = Gaussian(x, 0.0, 0.045) + 0.45 * Gaussian(x, 0.11 * b.scale, 0.07 * b.scale) +
                   0.3 * Gaussian(x, 0.33 * b.scale, 0.085 * b.scale);
        if (x > -0.25) v += 0.35 * std::exp(-x / (0.45 * b.scale)) / (1 + std::exp(-(x - 0.02) / 0.025));
        return b.gain * v;
    }

    void AddBeat() {
        PulseBeat b;
        b.peak = m_nextPeak;
        b.gain =
            m_o.amplitude * (1 + m_o.ampModulation * std::sin(2 * std::numbers::pi * m_o.respHz * b.peak));
        const double interval = 60.0 / RateAt(b.peak);
        b.scale = std::clamp(interval / 0.83, 0.6, 1.3);
        // Foot and peak of this beat's own waveform, then the level crossing by bisection: the
        // waveform rises monotonically from 0.25 s before the peak to the peak.
        const double foot = BeatShape(b, -0.25);
        const double top = BeatShape(b, 0.0);
        const double level = foot + m_o.referenceLevel * (top - foot);
        double lo = -0.25, hi = 0.0;
        for (int i = 0; i < 60; ++i) {
            const double mid = 0.5 * (lo + hi);
            (BeatShape(b, mid) < level ? lo : hi) = mid;
        }
        b.reference = b.peak + 0.5 * (lo + hi);
        if (!m_beats.empty()) b.rate = 60.0 / (b.reference - m_beats.back().reference);
        m_beats.push_back(b);
        m_nextPeak += interval;
    }

    double Wander(double t) const {
        return m_o.wander * (0.6 * std::sin(2 * std::numbers::pi * m_o.respHz * t + 1.0) +
                             0.4 * std::sin(2 * std::numbers::pi * t / 37.0));
    }

    // Standard normal deviate: splitmix64 + Box-Muller (no library distribution, so the sequence
    // is the same with every standard library).
    double Gauss() {
        if (m_haveSpare) {
            m_haveSpare = false;
            return m_spare;
        }
        double u1 = Uniform(), u2 = Uniform();
        if (u1 < 1e-300) u1 = 1e-300;
        const double r = std::sqrt(-2.0 * std::log(u1));
        m_spare = r * std::sin(2 * std::numbers::pi * u2);
        m_haveSpare = true;
        return r * std::cos(2 * std::numbers::pi * u2);
    }
    double Uniform() {
        m_rng += 0x9E3779B97F4A7C15ull;
        uint64_t z = m_rng;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53;
    }

    PulseOptions m_o;
    uint64_t m_rng;
    bool m_haveSpare = false;
    double m_spare = 0;
    long long m_index = 0;
    double m_nextPeak = 0;
    std::vector<PulseBeat> m_beats;
    size_t m_first = 0; // first beat that can still reach the current sample
};

} // namespace synth
