#include "sim/SimPulseModel.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kMayerFrequency = 0.1; // Hz, blood pressure (Mayer) waves
constexpr double kRunoff = 0.6;         // share of the slow diastolic run-off at the systolic peak
constexpr double kTailEnd = 8.0;        // periods after its onset a beat's wave is below 1e-5

// Advances an Ornstein-Uhlenbeck process with standard deviation sigma and time constant tau.
double Ou(double x, double sigma, double tau, double dt, SimRandom& rng) {
    return x - x * dt / tau + sigma * std::sqrt(2.0 * dt / tau) * rng.Gauss();
}

// Time of the systolic peak after the onset of a beat expected to last `period` seconds.
double SystolicDelay(double period) {
    return 0.07 + 0.06 * period;
}

} // namespace

SimPulseModel::SimPulseModel(const SimPulseConfig& config)
    : m_config(config), m_rng(config.seed), m_extraRng(SimRandom::Derive(config.seed, 1)) {
    m_breathPhase = m_rng.Uniform(0, kTwoPi);
    m_mayerPhase = m_rng.Uniform(0, kTwoPi);
    m_slowRate = m_config.slowVariability * m_rng.Gauss();
    m_wanderState = m_rng.Gauss();
    m_drivingRate = RateNow();
    // Start inside a beat, so the wave is already there at time 0.
    m_nextOnset = -m_rng.Uniform() * 60.0 / m_drivingRate;
    while (m_nextOnset <= 0) StartBeat(m_nextOnset);
}

double SimPulseModel::StressAt(double t) const {
    if (!(m_config.stressCycle > 0)) return 0;
    // Rest, a ramp up, stress, a ramp down, rest: 30, 15, 35, 15 and 5 % of the cycle.
    const double u = std::fmod(std::max(t, 0.0), m_config.stressCycle) / m_config.stressCycle;
    if (u < 0.30) return 0;
    if (u < 0.45) return (u - 0.30) / 0.15;
    if (u < 0.80) return 1;
    if (u < 0.95) return 1 - (u - 0.80) / 0.15;
    return 0;
}

double SimPulseModel::RateNow() const {
    const double s = StressAt(m_time);
    // Under stress the vagal (breathing) variation fades and the sympathetic (Mayer) one grows.
    const double rate = m_config.meanRate + s * m_config.stressRateRise +
                        m_config.rsaDepth * (1 - 0.75 * s) * std::sin(m_breathPhase) +
                        m_config.mayerDepth * (1 + 1.5 * s) * std::sin(m_mayerPhase) + m_slowRate;
    return std::clamp(rate, 25.0, 240.0);
}

void SimPulseModel::StartBeat(double onset) {
    const double rate = RateNow();
    const double period = 60.0 / rate;
    double interval = period;
    double amplitude = m_config.amplitude * (1.0 + 0.08 * std::sin(m_breathPhase + 0.5)) *
                       std::clamp(1.0 + 0.03 * m_rng.Gauss(), 0.85, 1.15);
    const bool ectopic = m_nextEctopic;
    if (m_config.irregularity > 0) {
        // Independent intervals; a short one fills the heart less, so its pulse is smaller.
        interval = period * std::clamp(1.0 + m_config.irregularity * m_extraRng.Gauss(), 0.5, 1.8);
        amplitude *= std::clamp(std::sqrt(interval / period), 0.6, 1.2);
    }
    if (ectopic) {
        // A premature beat ejects less blood and is followed by a compensatory pause.
        interval = period * 1.38;
        amplitude *= 0.55;
        m_nextEctopic = false;
    } else if (m_rng.Chance(m_config.ectopicProbability)) {
        interval = period * 0.62;
        m_nextEctopic = true;
    }

    if (m_activeCount == kActiveBeats) {
        std::move(m_active + 1, m_active + kActiveBeats, m_active);
        --m_activeCount;
    }
    m_active[m_activeCount++] = {onset, period, amplitude};

    SimBeat beat;
    beat.onset = onset;
    beat.peak = onset + SystolicDelay(period);
    beat.interval = interval;
    beat.rate = 60.0 / interval;
    beat.ectopic = ectopic;
    m_beats.push_back(beat);
    if (m_beats.size() > kBeatHistory) m_beats.pop_front();
    ++m_beatCount;

    m_nextOnset = onset + interval;
}

double SimPulseModel::Shape(double tau, double period) const {
    if (tau <= 0) return 0;
    const double ts = SystolicDelay(period);
    const double sigmaFall = 0.035 + 0.05 * period;
    const double td = ts + 0.12 + 0.2 * period;
    const double sigmaDia = 0.05 + 0.06 * period;
    const double tn = 0.5 * (ts + td) + 0.01;
    const double sigmaNotch = 0.02;
    const double runoffTime = 0.6 * period + 0.05;

    // Raised-cosine upstroke: starts with zero slope at the foot, reaches 1 at the peak.
    const double rise = tau < ts ? 0.5 * (1.0 - std::cos(std::numbers::pi * tau / ts)) : 1.0;
    // A Gaussian term further than kFar of its widths away is below 1e-14 and left out: most of
    // the overlapping beats are then only their run-off.
    constexpr double kFar = 8.0;
    auto gauss = [](double d, double sigma) {
        return std::fabs(d) > kFar * sigma ? 0.0 : std::exp(-d * d / (2 * sigma * sigma));
    };
    double systolic, runoff;
    if (tau < ts) {
        systolic = rise;
        runoff = kRunoff * rise;
    } else {
        const double d = tau - ts;
        systolic = gauss(d, sigmaFall);
        runoff = kRunoff * std::exp(-d / runoffTime);
    }
    const double diastolic = 0.6 * rise * gauss(tau - td, sigmaDia);
    const double notch = -0.03 * gauss(tau - tn, sigmaNotch);
    return (systolic + runoff + diastolic + notch) / (1.0 + kRunoff);
}

double SimPulseModel::Step(double dt) {
    if (!(dt > 0)) dt = 0;
    m_time += dt;

    m_breathRateDrift = Ou(m_breathRateDrift, 0.08, 30.0, dt, m_rng);
    m_breathPhase =
        std::fmod(m_breathPhase + kTwoPi * m_config.breathingRate * (1.0 + m_breathRateDrift) * dt, kTwoPi);
    m_mayerPhase = std::fmod(m_mayerPhase + kTwoPi * kMayerFrequency * dt, kTwoPi);
    m_slowRate = Ou(m_slowRate, m_config.slowVariability, 20.0, dt, m_rng);
    m_wanderState = Ou(m_wanderState, 1.0, 8.0, dt, m_rng);
    m_drivingRate = RateNow();

    while (m_time >= m_nextOnset) StartBeat(m_nextOnset);

    double volume = 0;
    for (int i = 0; i < m_activeCount; ++i) {
        const ActiveBeat& b = m_active[i];
        const double tau = m_time - b.onset;
        if (tau < kTailEnd * b.period) volume += b.amplitude * Shape(tau, b.period);
    }

    const double scale = m_config.amplitude;
    volume += m_config.baselineWander * scale * (0.6 * std::sin(m_breathPhase) + 0.8 * m_wanderState);

    // Motion artefact: a smooth burst of displacement and shaking.
    if (m_time < m_artefactEnd) {
        const double length = m_artefactEnd - m_artefactStart;
        const double u = (m_time - m_artefactStart) / length;
        const double envelope = std::sin(std::numbers::pi * u);
        volume += scale * envelope *
                  (m_artefactLevel +
                   m_artefactAmp * std::sin(kTwoPi * m_artefactFreq * (m_time - m_artefactStart)));
    } else if (m_rng.Chance(m_config.artefactsPerMinute / 60.0 * dt)) {
        m_artefactStart = m_time;
        m_artefactEnd = m_time + m_rng.Uniform(0.5, 2.0);
        m_artefactLevel = m_rng.Uniform(-3.0, 3.0);
        m_artefactFreq = m_rng.Uniform(1.0, 4.0);
        m_artefactAmp = m_rng.Uniform(1.0, 4.0);
        AddDisturbance(m_artefactStart, m_artefactEnd, SimDisturbanceKind::Motion);
    }

    StepDisturbances(dt);
    volume += scale * m_jumpLevel;

    volume += m_config.noise * scale * m_rng.Gauss();
    return volume;
}

void SimPulseModel::StepDisturbances(double dt) {
    if (m_jumpLevel != 0) m_jumpLevel -= m_jumpLevel * dt / 60.0;
    if (m_extraRng.Chance(m_config.baselineJumpsPerMinute / 60.0 * dt)) {
        const double step = m_extraRng.Uniform(1.5, 4.0);
        m_jumpLevel += m_extraRng.Chance(0.5) ? step : -step;
        // The sensor's coupling takes a few seconds to bring the baseline back.
        AddDisturbance(m_time, m_time + 3.0, SimDisturbanceKind::BaselineJump);
    }
    if (!Saturated() && m_extraRng.Chance(m_config.saturationsPerMinute / 60.0 * dt)) {
        m_saturationEnd = m_time + m_extraRng.Uniform(2.0, 4.0);
        AddDisturbance(m_time, m_saturationEnd, SimDisturbanceKind::Saturation);
    }
}

void SimPulseModel::AddDisturbance(double start, double end, SimDisturbanceKind kind) {
    m_disturbances.push_back({start, end, kind});
    if (m_disturbances.size() > kBeatHistory) m_disturbances.pop_front();
}

std::vector<SimDisturbance> SimPulseModel::Disturbances(double from, double to) const {
    std::vector<SimDisturbance> out;
    for (const SimDisturbance& d : m_disturbances)
        if (d.end > from && d.start < to) out.push_back(d);
    return out;
}

double SimPulseModel::CurrentBeatRate() const {
    return m_beats.empty() ? m_drivingRate : m_beats.back().rate;
}

double SimPulseModel::TrueRateAt(double t) const {
    auto it = std::upper_bound(m_beats.begin(), m_beats.end(), t,
                               [](double value, const SimBeat& b) { return value < b.onset; });
    if (it == m_beats.begin()) return 0;
    --it;
    return t < it->onset + it->interval ? it->rate : 0;
}

std::vector<SimBeat> SimPulseModel::Beats(double from, double to) const {
    std::vector<SimBeat> out;
    auto it = std::lower_bound(m_beats.begin(), m_beats.end(), from,
                               [](const SimBeat& b, double value) { return b.onset < value; });
    for (; it != m_beats.end() && it->onset < to; ++it) out.push_back(*it);
    return out;
}
