#pragma once
// Precise pulse beats from the samples of a record, at the record's own rate (500 Hz live, 100 Hz
// imported), independent of the heart-rate entries the live detector stored.
//
// Detection (Elgendi et al. 2013, two moving averages): the pulse wave is band-passed 0.5 ... 8 Hz
// without phase shift and its positive part squared; where the short moving average (about one
// systolic peak, 111 ms) rises above the long one (about one beat, 667 ms) plus a small offset
// (2 % of the local mean), a block of interest starts; a block at least as wide as the short
// window holds one beat, whose detection point is its highest band-passed sample. Both averages
// scale with the signal, so the threshold follows amplitude changes. Of two detections closer than
// the refractory time (250 ms) the stronger is kept.
//
// Fiducial points on the pulse wave low-passed at 15 Hz (zero phase), each refined to a fraction
// of a sample (a parabola through the best sample and its neighbours; the foot by linear
// interpolation between the samples around its level):
//   peak      the systolic maximum near the detection point;
//   maxSlope  the steepest point of the upstroke before the peak;
//   onset     the foot: where the upstroke has risen 2 % of the beat's amplitude above the
//             lowest point in the 80 ms before its sharpest upward bend (the largest second
//             derivative in the 350 ms before the steepest point, after the previous peak); a
//             sloping baseline moves neither.
// Quality: the correlation (Pearson) of the beat (-150 ... +450 ms around its steepest point) with
// the running template of the beats before it; the first beat has quality 1.
// Flags: clipped (a flat run of equal samples at the beat's top or bottom, the sign of a
// converter at its limit), unlike the template (quality below 0.5), an amplitude far from the
// recent ones (below 0.3 or above 3 times their median); any of these also sets kBeatArtefact.
// kBeatEctopic is left to the beat-series correction (BeatCorrection.h).
//
// The samples are processed in stretches of two minutes with five seconds of overlap on each
// side, so any length runs in constant memory and the result does not depend on how the samples
// are handed over.
//
// Qt-free; not locked: one thread per detector.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum PulseBeatFlags : uint32_t {
    kBeatArtefact = 1u << 0,  // not to be trusted (any of the next three)
    kBeatClipped = 1u << 1,   // flat at the converter's limit
    kBeatUnlike = 1u << 2,    // quality below the minimum
    kBeatAmplitude = 1u << 3, // amplitude far from the recent beats'
    kBeatEctopic = 1u << 4,   // an ectopic (premature) beat, set by the series correction
};

// Names of the flags set in flags ("artefact|clipped"); "" for none.
std::string PulseBeatFlagText(uint32_t flags);

struct sPulseBeat {
    double onset = 0;     // s, foot of the pulse wave
    double maxSlope = 0;  // s, steepest point of the upstroke
    double peak = 0;      // s, systolic peak
    double amplitude = 0; // signal units, peak value - onset value
    double quality = 0;   // -1 ... 1, correlation with the running template
    uint32_t flags = 0;   // PulseBeatFlags
};

struct sPulseBeatParams {
    double bandLowHz = 0.5;
    double bandHighHz = 8.0;
    double peakWindowS = 0.111;
    double beatWindowS = 0.667;
    double offsetShare = 0.02; // of the local mean of the squared signal
    double refractoryS = 0.25;
    double fiducialLowPassHz = 15;
    double onsetSearchS = 0.35;
    double footWindowS = 0.08;
    double footShare = 0.02;
    double templateBeforeS = 0.15;
    double templateAfterS = 0.45;
    double minQuality = 0.5;
    double amplitudeLow = 0.3;
    double amplitudeHigh = 3.0;
    double clipRunS = 0.03; // at least 3 samples

    // The parameters as name/value pairs, for the provenance of results.
    std::vector<std::pair<std::string, double>> List() const;
};

class PulseBeatDetector {
public:
    static constexpr const char* kAlgorithm = "pulse-beats (two moving averages, Elgendi 2013)";
    static constexpr const char* kVersion = "1.0";

    // rate: samples per second (> 0); startTime: the time of the first sample to come (s).
    PulseBeatDetector(double rate, double startTime, const sPulseBeatParams& params = {});

    // The next n samples, consecutive and evenly spaced.
    void Put(const double* values, size_t n);
    // Processes what is left; call once after the last Put.
    void Finish();

    // Beats found so far, in time order (the last ones may still change until Finish).
    const std::vector<sPulseBeat>& Beats() const { return m_beats; }
    std::vector<sPulseBeat> TakeBeats() { return std::move(m_beats); }
    int64_t SampleCount() const { return m_end; }
    double Rate() const { return m_rate; }
    const sPulseBeatParams& Params() const { return m_params; }

private:
    struct Candidate {
        int64_t detect; // absolute sample index of the detection point
        double strength;
        sPulseBeat beat;
        std::vector<float> segment; // the template window of the low-passed wave
    };

    void ProcessStretch(int64_t coreBegin, int64_t coreEnd);
    void Accept(Candidate&& c);
    void Emit(Candidate& c);
    double Time(double index) const { return m_startTime + index / m_rate; }

    double m_rate;
    double m_startTime;
    sPulseBeatParams m_params;
    int64_t m_stretch; // samples per stretch
    int64_t m_margin;  // overlap on each side
    int64_t m_clipRun;
    int m_peakWindow, m_beatWindow; // odd sample counts
    int m_tplBefore, m_tplAfter;

    std::vector<double> m_buffer; // samples from m_bufferStart on
    int64_t m_bufferStart = 0;
    int64_t m_end = 0;  // samples received
    int64_t m_core = 0; // first sample of the next stretch's core

    // Scratch of a stretch.
    std::vector<double> m_band, m_fid, m_prefix, m_peakAverage, m_beatAverage;
    std::vector<uint8_t> m_above;

    bool m_havePending = false;
    Candidate m_pending; // the last detection, waiting for a stronger one within the refractory time

    std::vector<float> m_template;
    int m_templateBeats = 0;
    std::vector<double> m_recentAmplitudes; // ring
    size_t m_recentNext = 0;

    std::vector<sPulseBeat> m_beats;
};
