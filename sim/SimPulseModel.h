#pragma once
// Physiological model of the pulse wave seen by a finger photoplethysmograph: the blood volume of
// the finger as a function of time. It knows nothing about LEDs or the converter (SimSensor does
// that) and reads no clock: it moves only when Step is called, so one seed gives one signal.
//
// Heart rhythm: every beat's interval is drawn at its onset from the instantaneous rate
//   rate(t) = mean + RSA * sin(breathing phase) + Mayer wave (0.1 Hz) + slow random drift,
// optionally with premature (ectopic) beats followed by a compensatory pause. The wave of one beat
// is a smooth systolic upstroke and peak, a dicrotic notch, a diastolic wave and an exponential
// run-off; consecutive beats overlap, so the signal stays continuous. Breathing also modulates the
// beat amplitude and moves the baseline; a slow random wander and a little noise are added.
//
// Optional disturbances for testing analyses (all off by default, so the default signal stays
// the same): an irregular rhythm (independent intervals, as in atrial fibrillation), a stress
// cycle (rate up, breathing variation down, Mayer waves up, over minutes), motion bursts,
// baseline jumps and spells in which the sensor saturates (the converter reads its top). Each
// disturbance is kept with its time span, so a test knows which beats it covered.

#include "sim/SimRandom.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

struct SimPulseConfig {
    uint64_t seed = 1;
    double meanRate = 72.0;          // beats per minute
    double rsaDepth = 4.0;           // beats per minute, peak deviation with breathing
    double breathingRate = 0.25;     // Hz
    double mayerDepth = 1.5;         // beats per minute at 0.1 Hz
    double slowVariability = 2.0;    // beats per minute, standard deviation of the slow drift
    double amplitude = 1.0;          // peak of the mean beat, relative units
    double baselineWander = 0.12;    // relative to the beat amplitude
    double noise = 0.004;            // relative, white
    double ectopicProbability = 0.0; // chance that a beat comes early (arrhythmia switch)
    double artefactsPerMinute = 0.0; // rate of motion artefacts (artefact switch)
    double irregularity = 0.0;       // relative standard deviation of independent intervals; 0 = off
    double stressCycle = 0.0;        // s, period of the rest-stress-rest cycle; 0 = off
    double stressRateRise = 25.0;    // beats per minute added at full stress
    double baselineJumpsPerMinute = 0.0;
    double saturationsPerMinute = 0.0; // spells of 2 ... 4 s in which the sensor saturates
};

// A stretch of time in which the signal was disturbed (model seconds).
enum class SimDisturbanceKind { Motion, BaselineJump, Saturation };
struct SimDisturbance {
    double start = 0;
    double end = 0;
    SimDisturbanceKind kind = SimDisturbanceKind::Motion;
};

// One true heart beat. Times in model seconds (0 = model start; the first beat may start earlier).
struct SimBeat {
    double onset = 0;     // foot of the pulse wave
    double peak = 0;      // systolic peak
    double interval = 0;  // seconds until the next onset
    double rate = 0;      // 60 / interval, beats per minute
    bool ectopic = false; // premature beat
};

class SimPulseModel {
public:
    static constexpr size_t kBeatHistory = 20000; // about 4.5 hours at 72 beats per minute

    explicit SimPulseModel(const SimPulseConfig& config = {});

    // Advances the model by dt seconds (> 0) and returns the blood volume signal at the new time:
    // about 0 at the foot of a beat and about `amplitude` at its systolic peak, plus wander,
    // artefacts and noise.
    double Step(double dt);

    double Time() const { return m_time; }
    // The rate that drives the rhythm now (beats per minute, without ectopic beats).
    double DrivingRate() const { return m_drivingRate; }
    // 60 / interval of the beat in progress.
    double CurrentBeatRate() const;
    // The rate of the beat that contains time t (beats per minute); 0 when t is not covered by
    // the kept history.
    double TrueRateAt(double t) const;
    // Beats with onset in [from, to), in order. The history keeps the last kBeatHistory beats.
    std::vector<SimBeat> Beats(double from, double to) const;
    const std::deque<SimBeat>& AllBeats() const { return m_beats; }
    uint64_t BeatCount() const { return m_beatCount; }
    // Disturbances that overlap [from, to), in order of start (the last kBeatHistory are kept).
    std::vector<SimDisturbance> Disturbances(double from, double to) const;
    // True while the sensor is driven into saturation (the converter then reads its top).
    bool Saturated() const { return m_time < m_saturationEnd; }
    // Stress level 0 ... 1 at model time t (0 without a stress cycle).
    double StressAt(double t) const;

    void SetEctopicProbability(double p) { m_config.ectopicProbability = p; }
    void SetArtefactsPerMinute(double perMinute) { m_config.artefactsPerMinute = perMinute; }
    void SetMeanRate(double bpm) { m_config.meanRate = bpm; }
    const SimPulseConfig& Config() const { return m_config; }

private:
    struct ActiveBeat {
        double onset;
        double period;    // shape time scale (the interval expected at onset)
        double amplitude; // relative
    };

    void StartBeat(double onset);
    double Shape(double tau, double period) const;
    double RateNow() const;

    SimPulseConfig m_config;
    SimRandom m_rng;
    double m_time = 0;
    double m_breathPhase = 0;     // radians
    double m_breathRateDrift = 0; // relative, slow random
    double m_mayerPhase = 0;      // radians
    double m_slowRate = 0;        // beats per minute, Ornstein-Uhlenbeck
    double m_wanderState = 0;     // relative, Ornstein-Uhlenbeck
    double m_drivingRate = 0;
    double m_nextOnset = 0;
    bool m_nextEctopic = false;             // the next beat comes early (decided at the onset before it)
    static constexpr int kActiveBeats = 12; // covers the run-off of the slowest rhythm
    ActiveBeat m_active[kActiveBeats] = {}; // the latest beats, newest last; older tails are negligible
    int m_activeCount = 0;

    // Motion artefact in progress.
    double m_artefactEnd = -1;
    double m_artefactStart = 0;
    double m_artefactLevel = 0;
    double m_artefactFreq = 0;
    double m_artefactAmp = 0;

    // Disturbances beyond the motion artefacts, drawn from their own stream so that switching
    // them on leaves the rest of the signal as it was.
    void StepDisturbances(double dt);
    void AddDisturbance(double start, double end, SimDisturbanceKind kind);
    SimRandom m_extraRng;
    double m_jumpLevel = 0; // relative, the sum of the baseline jumps so far, fading slowly
    double m_saturationEnd = -1;

    std::deque<SimBeat> m_beats;
    uint64_t m_beatCount = 0;
    std::deque<SimDisturbance> m_disturbances;
};
