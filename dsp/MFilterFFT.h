#pragma once
// Block-wise frequency-domain filtering of a (possibly non-uniformly) sampled signal.
//
// Each block of B samples (time in seconds, value) is resampled onto N uniform grid points
// (N a power of two), transformed, weighted by a piecewise-linear frequency response, transformed
// back and resampled onto B uniform times spanning the block. Blocks overlap; only the middle part
// of each filtered block is kept. The magnitude spectrum of the last block stays available.
//
// Not thread-safe: one owner thread per object.

#include <complex>
#include <memory>

// One point of a frequency response (value = gain) or of a spectrum (value = magnitude).
struct sFreqPoint {
    double frequency = 0; // Hz
    double value = 0;
};

// In-place iterative radix-2 decimation-in-time FFT. Twiddle factors and the bit-reversal order
// are kept for the largest size prepared; smaller sizes reuse them with a stride.
class MFftRadix2 {
public:
    // Makes sizes up to n usable. False when n is not a power of two >= 1 or allocation fails.
    bool Prepare(int n);
    int PreparedSize() const { return m_size; }

    // X[k] = sum x[j] e^(-2 pi i j k / n). n must be a power of two <= PreparedSize().
    void Forward(std::complex<double>* data, int n) const;
    // Exact inverse: conjugate, forward, conjugate, scale by 1/n.
    void Inverse(std::complex<double>* data, int n) const;

    static bool IsPowerOfTwo(int n) { return n > 0 && (n & (n - 1)) == 0; }

private:
    std::unique_ptr<std::complex<double>[]> m_twiddle; // e^(-2 pi i k / m_size), k < m_size / 2
    std::unique_ptr<int[]> m_reverse;                  // bit-reversed index of k for m_size
    int m_size = 0;
    int m_bits = 0;
};

class MFilterFFT {
public:
    MFilterFFT() = default;
    virtual ~MFilterFFT() = default;
    MFilterFFT(const MFilterFFT&) = delete;
    MFilterFFT& operator=(const MFilterFFT&) = delete;

    // --- Frequency response (empty = gain 1 everywhere) ---
    virtual void ClearResponse();
    // Inserts a point in frequency order; a point at an existing frequency replaces its gain.
    // False (and no change) when frequency < 0.1 Hz.
    virtual bool AddResponsePoint(double gain, double frequency);
    // Piecewise-linear gain; constant beyond the first and the last point.
    double ResponseAt(double frequency) const;
    int ResponseCount() const { return m_responseCount; }
    const sFreqPoint* Response() const { return m_response.get(); }

    // --- Spectrum of the last filtered block: N/2 entries {i / span, |bin i|} after weighting ---
    // Linear interpolation between entries; 0 outside them or when there is no spectrum.
    double SpectrumAt(double frequency) const;
    int SpectrumCount() const { return m_spectrumCount; }
    // Writable so that an owner may smooth the magnitudes in place; frequencies must stay.
    sFreqPoint* Spectrum() { return m_spectrum.get(); }
    const sFreqPoint* Spectrum() const { return m_spectrum.get(); }

    // --- Streaming ---
    // Empties every buffer and frees the FFT work area and the spectrum. The response stays.
    void ResetStream();
    // Appends B samples and filters as many blocks of B (advancing by B * overlap) as the input
    // allows; each block contributes its middle part to the output. False only when an allocation
    // fails. N: FFT size (a power of two), overlap: clamped to 0.1 ... 1.
    bool ProcessBlock(const double* values, const double* times, double overlap, int N, int B);
    // Filters one block in place; its times become uniform over the block's span. A block with
    // B < 2, a span that is not positive, or an N that is not a power of two >= 2 is left as is.
    void FilterBlock(double* values, double* times, int N, int B);

    // Filtered samples ready for the owner, oldest first.
    int OutputReady() const { return m_outputReady; }
    const double* OutputValues() const { return m_outValues.get(); }
    const double* OutputTimes() const { return m_outTimes.get(); }
    // Discards the n oldest ready samples (all of them when n >= OutputReady()).
    void RemoveOutput(int n);

    const MFftRadix2& Fft() const { return m_fft; }

private:
    bool EnsureFftSize(int n);
    bool GrowBlockArrays(int capacity);

    std::unique_ptr<sFreqPoint[]> m_response; // sorted by frequency
    int m_responseCount = 0;
    int m_responseCapacity = 0;

    MFftRadix2 m_fft;
    std::unique_ptr<std::complex<double>[]> m_work; // FFT work area, m_fftSize entries
    std::unique_ptr<sFreqPoint[]> m_spectrum;       // m_fftSize / 2 entries allocated
    int m_fftSize = 0;                              // 0 = nothing allocated
    int m_spectrumCount = 0;                        // entries of the last filtered block

    // Samples not yet filtered.
    std::unique_ptr<double[]> m_inValues, m_inTimes;
    int m_inputCount = 0;
    int m_inputCapacity = 0;
    // Filtered samples; the last B places serve as the staging area of the block being filtered.
    std::unique_ptr<double[]> m_outValues, m_outTimes;
    int m_outputReady = 0;
    int m_outputCapacity = 0;
};
