#include "sim/SimSensor.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kKnee = 3600.0;      // the photodiode amplifier is linear up to here
constexpr double kRailMargin = 300.0; // pinned when the baseline lies this far beyond a rail

} // namespace

SimSensor::SimSensor(const SimSensorConfig& config) : m_config(config), m_rng(config.seed) {
    m_drift = m_config.offsetDrift * 0.5 * m_rng.Gauss();
    m_offset = m_drift;
    m_light = LightFor(m_settings, m_clip);
    m_gain = GainForCode(m_settings.lf);
}

double SimSensor::LightFor(const SimSettings& s, bool clip) const {
    if (!s.power) return 0;
    const SimLedOptics* optics = nullptr;
    switch (s.led) {
        case 1:
            optics = &m_config.internalRed;
            break;
        case 2:
            optics = clip ? &m_config.clipRed : nullptr;
            break;
        case 3:
            optics = clip ? &m_config.clipInfrared : nullptr;
            break;
        default:
            break;
    }
    if (!optics) return 0;
    const double current = std::pow(255.0 - s.drive, m_config.driveExponent);
    return optics->efficiency * m_config.transmission * current;
}

double SimSensor::Perfusion() const {
    switch (m_settings.led) {
        case 1:
            return m_config.internalRed.perfusion;
        case 2:
            return m_config.clipRed.perfusion;
        case 3:
            return m_config.clipInfrared.perfusion;
        default:
            return 0;
    }
}

double SimSensor::FrontEnd(double light) const {
    const double span = kAdcMax - m_config.darkLevel - kKnee;
    const double v = light <= kKnee ? light : kKnee + span * std::tanh((light - kKnee) / span);
    return m_config.darkLevel + v;
}

double SimSensor::RelaxFactor(double dt, double tau) {
    // The device steps with one fixed period, so the factors are worth keeping.
    for (RelaxCache& c : m_relax)
        if (c.dt == dt && c.tau == tau) return c.factor;
    RelaxCache& c = m_relax[m_relaxNext];
    m_relaxNext = (m_relaxNext + 1) % kRelaxCacheSize;
    c = {dt, tau, 1.0 - std::exp(-dt / tau)};
    return c.factor;
}

double SimSensor::GainForCode(uint8_t lfCode) const {
    return std::pow(10.0, (255 - lfCode) * m_config.gainDecadesPerCode);
}

double SimSensor::CarrierLevel() const {
    return std::min(kAdcMax, FrontEnd(m_light));
}

void SimSensor::Configure(const SimSettings& settings, bool clipAttached) {
    const double before = FrontEnd(m_light);
    m_settings = settings;
    m_clip = clipAttached;
    m_light = LightFor(m_settings, m_clip);
    m_gain = GainForCode(m_settings.lf);
    const double change = FrontEnd(m_light) - before;
    // The AC coupling passes the carrier step to the output; more light reads lower.
    if (m_settings.power) m_offset -= m_config.transientCoupling * Gain() * change;
}

void SimSensor::SetTransmission(double transmission) {
    m_config.transmission = std::max(0.0, transmission);
    Configure(m_settings, m_clip);
}

double SimSensor::Step(double volume, double dt) {
    const bool recovering = m_settings.recovery && m_settings.power;

    // Baseline: drifts slowly; decays back after a kick; sticks while pinned beyond a rail;
    // recovery pulls it to mid-scale quickly.
    constexpr double kDriftTau = 40.0;
    m_drift +=
        -m_drift * dt / kDriftTau + m_config.offsetDrift * std::sqrt(2.0 * dt / kDriftTau) * m_rng.Gauss();
    if (recovering) {
        m_offset -= m_offset * RelaxFactor(dt, m_config.recoveryTime);
    } else {
        const bool pinned = std::abs(m_offset) > kMidScale + kRailMargin;
        const double tau = pinned ? m_config.stuckTime : m_config.couplingTime;
        m_offset += (m_drift - m_offset) * RelaxFactor(dt, tau);
    }

    // Pulsatile part: less light while the finger holds more blood, so the wave reads upwards.
    // Through the saturating front end, so an over-driven carrier squeezes the pulse flat.
    const double carrier = FrontEnd(m_light);
    const double modulated = FrontEnd(m_light * (1.0 - Perfusion() * volume));
    const double pulse = carrier - modulated;
    m_pulseLow += (pulse - m_pulseLow) *
                  RelaxFactor(dt, recovering ? m_config.recoveryTime : m_config.pulseCouplingTime);
    const double ac = pulse - m_pulseLow;

    const double gain = m_gain;
    const double noise =
        m_config.electricalNoise * m_rng.Gauss() + gain * m_config.inputNoise * m_rng.Gauss();
    return kMidScale + m_offset + gain * ac + noise;
}
