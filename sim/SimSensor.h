#pragma once
// Optical and electrical model of the photoplethysmograph's sensor.
//
// Light path: the active LED, driven with a current that rises as the drive code falls
// (code 255 = off, 0 = full drive), shines through the finger onto a photodiode. The received
// light is the carrier; the photodiode amplifier is linear up to a knee and then saturates softly
// towards the top of the 12-bit range, so an over-driven carrier reads >= 4000 and its pulsation
// is squeezed flat. Each LED has its own efficiency and its own pulsatile share (perfusion index).
// The clip LEDs give light only while the clip is attached.
//
// Signal path: the pulsatile part of the carrier passes an AC coupling (high-pass) and the LF
// amplifier, whose gain rises as the LF code falls (a fixed number of decades per code), and is
// added to the amplifier's baseline (offset around mid-scale). A change of the carrier kicks the
// baseline; the kick decays through the coupling, but once the output is pinned far beyond a rail
// the coupling hardly recovers (the baseline sticks there) until baseline recovery shortens the
// coupling time and re-centres it. The baseline also drifts slowly on its own.

#include "sim/SimRandom.h"

#include <cstdint>

struct SimLedOptics {
    double efficiency = 0; // carrier units per unit of drive current, for transmission 1
    double perfusion = 0;  // pulsatile share of the carrier for a pulse of relative amplitude 1
};

struct SimSensorConfig {
    uint64_t seed = 2;
    double transmission = 1.0; // how much light the finger passes, scales every LED
    SimLedOptics internalRed{25.0, 0.020};
    SimLedOptics clipRed{17.4, 0.018};
    SimLedOptics clipInfrared{40.0, 0.030};
    double driveExponent = 1.0;        // drive current ~ (255 - code) ^ exponent
    double darkLevel = 6.0;            // carrier reading without light, ADC units
    double gainDecadesPerCode = 0.012; // LF gain = 10 ^ ((255 - code) * this)
    double transientCoupling = 0.02;   // baseline kick per amplified unit of carrier change
    double couplingTime = 3.0;         // s, the baseline's return after a kick
    double pulseCouplingTime = 2.0;    // s, high-pass of the pulsatile signal
    double recoveryTime = 0.1;         // s, both of the above while baseline recovery is active
    double stuckTime = 60.0;           // s, the baseline's return while pinned beyond a rail
    double offsetDrift = 150.0;        // ADC units, standard deviation of the slow baseline drift
    double electricalNoise = 1.2;      // ADC units at the converter
    double inputNoise = 0.02;          // ADC units before the LF amplifier
};

// What the host can set: command bytes 1..5.
struct SimSettings {
    uint8_t led = 1;     // 0 off, 1 internal red, 2 clip red, 3 clip infrared
    uint8_t drive = 255; // lower = more drive
    uint8_t lf = 255;    // lower = more gain
    bool recovery = false;
    bool power = true;

    friend bool operator==(const SimSettings&, const SimSettings&) = default;
};

class SimSensor {
public:
    static constexpr double kMidScale = 2048.0;
    static constexpr double kAdcMax = 4095.0;

    explicit SimSensor(const SimSensorConfig& config = {});

    // Applies new settings or a clip change; a change of the carrier kicks the baseline.
    void Configure(const SimSettings& settings, bool clipAttached);
    const SimSettings& Settings() const { return m_settings; }

    // Advances by dt seconds with the finger's blood volume signal (SimPulseModel::Step) and
    // returns the analogue value at the converter input in ADC units (not yet clipped).
    double Step(double volume, double dt);

    // Carrier level as the device measures it: 0..4095 ADC units, without noise.
    double CarrierLevel() const;
    // Light reaching the photodiode (carrier before the amplifier's saturation).
    double Light() const { return m_light; }
    double Gain() const { return m_gain; }
    double GainForCode(uint8_t lfCode) const;
    // Baseline of the output relative to mid-scale, ADC units.
    double Offset() const { return m_offset; }
    // Moves the baseline (for example far beyond a rail, where it sticks).
    void SetOffset(double offset) { m_offset = offset; }
    void SetTransmission(double transmission);
    const SimSensorConfig& Config() const { return m_config; }

private:
    double LightFor(const SimSettings& s, bool clip) const;
    double Perfusion() const;
    double FrontEnd(double light) const;
    double RelaxFactor(double dt, double tau);

    struct RelaxCache {
        double dt = 0, tau = 0, factor = 0;
    };
    static constexpr int kRelaxCacheSize = 4;

    SimSensorConfig m_config;
    SimRandom m_rng;
    SimSettings m_settings;
    bool m_clip = false;
    double m_light = 0;
    double m_gain = 1;
    RelaxCache m_relax[kRelaxCacheSize];
    int m_relaxNext = 0;
    double m_offset = 0;   // baseline, relative to mid-scale
    double m_drift = 0;    // where the baseline drifts to
    double m_pulseLow = 0; // low-pass state of the AC coupling
};
