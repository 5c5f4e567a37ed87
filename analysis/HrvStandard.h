#pragma once
// The standard heart rate variability table of a normal-to-normal interval series, in the
// conventions of the Task Force of the ESC and NASPE (1996), for comparison with other HRV tools.
// It stands beside the application's own variability table and does not change it.
//
// Time domain: mean NN, SDNN (n - 1), RMSSD and SDSD (successive differences of touching
// intervals), pNN50, mean HR (60000 / mean NN), min / max HR (of a 5-beat moving average of
// 60000 / NN), the HRV triangular index (histogram bins of 1/128 s) and Baevsky's stress index
// AMo / (2 Mo MxDMn) with 50 ms bins (AMo in %, Mo and MxDMn in s).
// Frequency domain: bands VLF 0.0033-0.04, LF 0.04-0.15, HF 0.15-0.4 Hz (lower edge included)
// in ms^2, % of VLF + LF + HF, normalised units (100 x band / (LF + HF)) and LF/HF, by
//   Welch: the series interpolated at 4 Hz (natural cubic spline through the intervals at their
//     end times), segments of 256 s with 50 % overlap, each with its linear trend removed and a
//     Hann window, averaged one-sided PSD (a shorter series is one segment, zero-padded);
//   Lomb-Scargle: the uneven series itself, mean removed, by the fast method of Press & Rybicki
//     (1989), as a one-sided PSD (2 P T / N), on frequencies 1 / T apart.
// Nonlinear: Poincare SD1 and SD2 (of touching pairs), SD1/SD2; DFA alpha1 (boxes of 4 ... 16
// beats) and alpha2 (16 ... 64), least-squares slopes of log F(n) on every whole box size; sample
// entropy with m = 2 and r = 0.2 SD of the series (Richman & Moorman 2000, N - m templates).
//
// A value that the series is too short for is NaN (JSON null): the frequency domain needs 60 s,
// DFA alpha1 32 intervals and alpha2 128, sample entropy 10 intervals and one match.
//
// Qt-free plain functions and values.

#include "analysis/BeatCorrection.h"
#include "analysis/SampleEntropy.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// Band powers of one spectrum estimate.
struct sHrvBands {
    double vlf = 0, lf = 0, hf = 0;          // ms^2
    double vlfPct = 0, lfPct = 0, hfPct = 0; // % of VLF + LF + HF
    double lfNu = 0, hfNu = 0;               // normalised units
    double lfHf = 0;
};

struct sHrvStandardParams {
    std::string intervalSource = "onset"; // which fiducial point the intervals run between
    double resampleHz = 4;
    double welchSegmentS = 256;
    double welchOverlap = 0.5;
    double vlfLow = 0.0033, vlfHigh = 0.04, lfHigh = 0.15, hfHigh = 0.4;
    int hrAverageBeats = 5;
    double triangularBinS = 1.0 / 128;
    double baevskyBinS = 0.05;
    int dfaShortMin = 4, dfaShortMax = 16, dfaLongMin = 16, dfaLongMax = 64;
    int sampEnM = 2;
    double sampEnR = 0.2; // times the SD
    double minSpectrumS = 60;

    std::vector<std::pair<std::string, double>> List() const;
};

struct sHrvStandard {
    static constexpr const char* kAlgorithm = "standard HRV (Task Force 1996)";
    static constexpr const char* kVersion = "1.0";

    int intervals = 0;
    double meanNN = 0, sdnn = 0, rmssd = 0, sdsd = 0, pnn50 = 0; // ms, %
    double meanHR = 0, minHR = 0, maxHR = 0;                     // 1/min
    double triangularIndex = 0, baevskySI = 0;
    sHrvBands welch, lomb;
    double sd1 = 0, sd2 = 0, sd1sd2 = 0; // ms
    double dfaAlpha1 = 0, dfaAlpha2 = 0;
    double sampEn = 0;

    // Every value with its key (English, unit in the key), in a fixed order.
    std::vector<std::pair<std::string, double>> Rows() const;
};

// Empty (intervals = 0, every value NaN) for fewer than 3 intervals.
sHrvStandard ComputeHrvStandard(const sNNSeries& series, const sHrvStandardParams& params = {});

// The pieces, for tests and other users. Values and results in the series' own units.
// Welch's one-sided PSD of evenly sampled x (rate fs): frequencies k fs / nfft, k = 0 ... nfft / 2.
std::vector<double> WelchPsd(const std::vector<double>& x, double fs, size_t segment, double overlap,
                             size_t& nfft);
// The one-sided Lomb-Scargle PSD of (t, x) at frequencies k df, k = 1 ... count (fast method).
std::vector<double> LombPsd(const std::vector<double>& t, const std::vector<double>& x, double df,
                            size_t count);
// Sum of psd[k] df over the frequencies k df in [lo, hi).
double BandPower(const std::vector<double>& psd, double df, double lo, double hi, size_t firstIndex = 0);
// DFA fluctuation F(n) of x for box size n (non-overlapping boxes from the start, linear trend).
double DfaFluctuation(const std::vector<double>& x, int n);
// Least-squares slope of log F(n) on log n over n = lo ... hi; NaN when x is too short.
double DfaAlpha(const std::vector<double>& x, int lo, int hi);
// Sample entropy: analysis/SampleEntropy.h.
