#pragma once
// Heart rate variability of a beat series: time-domain statistics, variation pulsometry from a
// smoothed RR-interval distribution, and spectral band powers from an FFT of the RR series.
//
// The series holds the beats of a record (filled by LoadFragmentBeats); Compute(first, last)
// analyses an index range of it and fills the parameter table (ParamTable.h) and the statistics
// members. The charts ask Density, BinSum and PowerAt afterwards.
//
// Main thread only; no locks. The program shares one instance (GetVariabilityCore); the text
// export and the batch tool make their own.

#include "core/MVarArray.h"
#include "dsp/MFilterFFT.h"
#include "dsp/Spliner.h"

#include <cstdint>
#include <vector>

// One beat of the series.
struct VHRData {
    float time = 0; // s, time of the beat in the record
    float hr = 0;   // beats/min
    float rr = 0;   // s, 60 / hr; 0 when hr <= 0
};

class VariabilityCore {
public:
    // Longest series; appending to a full one drops the oldest beat.
    static constexpr int kMaxBeats = 100'000;
    // A range of fewer beats gives an empty table.
    static constexpr int kMinRangeBeats = 11;
    static constexpr int kHistogramBins = 200; // 10 ms each
    static constexpr int kFftSize = 4096;

    VariabilityCore();
    VariabilityCore(const VariabilityCore&) = delete;
    VariabilityCore& operator=(const VariabilityCore&) = delete;

    // --- The series ---
    void Clear();
    void AddBeat(float time, float hr);
    int BeatCount() const { return m_count; }
    // The beat at i, i clamped to 0 ... count - 1; a zero beat when the series is empty.
    VHRData BeatAt(int i) const;
    // Index of the first beat whose time >= t; count - 1 when there is none.
    int IndexAtTime(float t) const;

    // --- Analysis ---
    // Fills the table and the statistics from beats first ... last (inclusive, clamped to the
    // series). Fewer than kMinRangeBeats beats, or a zero heart rate, leave the table empty.
    void Compute(int first, int last);
    // Smoothed distribution at rr (s), as a fraction of beats; 0 where it is negative or before
    // any computation (minHR or maxHR exactly 0).
    float Density(double rr) const;
    // Beats in the five 10 ms bins around rr (s); 0 near the ends of the histogram.
    float BinSum(float rr) const;
    // Spectral power at f (Hz): (spectrum x 0.01)^2; 2.0 while the series has fewer than 10 beats.
    double PowerAt(float f) const;

    // The parameter table of the last Compute (rows listed in ParamTable.h).
    const MVarArray& Table() const { return m_table; }

    // Statistics of the last Compute that got past the length checks.
    double MeanHR() const { return m_meanHR; }
    double MinHR() const { return m_minHR; }
    double MaxHR() const { return m_maxHR; }
    double MeanRR() const { return m_meanRR; }     // s, 60 / meanHR; used as the mode
    double Variance() const { return m_variance; } // s^2
    double Mn() const { return m_mn; }             // s, lower bound of the distribution
    double Mx() const { return m_mx; }             // s, upper bound
    double AMo() const { return m_amo; }
    double RMSSD() const { return m_rmssd; } // s
    double PNN50() const { return m_pnn50; } // %
    double ULF() const { return m_ulf; }     // s^2, and the other band powers
    double VLF() const { return m_vlf; }
    double LF() const { return m_lf; }
    double HF() const { return m_hf; }
    double TP() const { return m_tp; }
    // Beats per 10 ms bin: bin k counts RR in [k - 0.5, k + 0.5) x 10 ms.
    const float* Histogram() const { return m_histogram; }

private:
    const VHRData& At(int i) const { return m_beats[static_cast<size_t>((m_head + i) % m_count)]; }
    // Puts the oldest beat at storage index 0, so a range is one contiguous run.
    void Linearize();
    bool RunCompute(int first, int last);
    void FillTable();

    std::vector<VHRData> m_beats; // ring of up to kMaxBeats; the oldest at m_head
    int m_count = 0;
    int m_head = 0;

    Spliner m_density; // smoothed distribution: fraction of beats against RR (s)
    MFilterFFT m_fft;  // empty response: gain 1 everywhere; only its spectrum is used
    float m_histogram[kHistogramBins] = {};
    MVarArray m_table;

    double m_meanHR = 0, m_minHR = 0, m_maxHR = 0;
    double m_meanRR = 0, m_variance = 0;
    double m_mn = 0, m_mx = 0, m_amo = 0;
    double m_rmssd = 0, m_pnn50 = 0;
    double m_ulf = 0, m_vlf = 0, m_lf = 0, m_hf = 0, m_tp = 0;

    // Scratch of Compute, kept to avoid allocating per call.
    std::vector<double> m_values, m_times;
};

// The program's instance, made on first use when create is set (else null until then);
// destroyed at program end. Main thread.
VariabilityCore* GetVariabilityCore(bool create = true);
