#include "dsp/MFilterFFT.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>

namespace {

// Gain on the segment p0..p1 at f; the upper gain when the segment has no width.
inline double SegmentGain(const sFreqPoint& p0, const sFreqPoint& p1, double f) {
    const double w = p1.frequency - p0.frequency;
    if (w <= 0) return p1.value;
    return p0.value + (p1.value - p0.value) * (f - p0.frequency) / w;
}

// |re + i im| without overflow or underflow in the squares.
inline double Magnitude(double re, double im) {
    const double m = std::max(std::fabs(re), std::fabs(im));
    if (m > 1e-150 && m < 1e150) return std::sqrt(re * re + im * im);
    return std::hypot(re, im);
}

template <class T>
std::unique_ptr<T[]> Allocate(size_t n) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// MFftRadix2

bool MFftRadix2::Prepare(int n) {
    if (!IsPowerOfTwo(n)) return false;
    if (n <= m_size) return true;
    int bits = 0;
    while ((1 << bits) < n) ++bits;
    auto twiddle = Allocate<std::complex<double>>(static_cast<size_t>(std::max(n / 2, 1)));
    auto reverse = Allocate<int>(static_cast<size_t>(n));
    if (!twiddle || !reverse) return false;
    // Each twiddle straight from its own angle, so the error does not accumulate along the table.
    for (int k = 0; k < n / 2; ++k) {
        const double a = -2.0 * std::numbers::pi * k / n;
        twiddle[k] = {std::cos(a), std::sin(a)};
    }
    if (n == 1) twiddle[0] = {1.0, 0.0};
    for (int k = 0; k < n; ++k) {
        int r = 0;
        for (int b = 0; b < bits; ++b)
            if (k & (1 << b)) r |= 1 << (bits - 1 - b);
        reverse[k] = r;
    }
    m_twiddle = std::move(twiddle);
    m_reverse = std::move(reverse);
    m_size = n;
    m_bits = bits;
    return true;
}

void MFftRadix2::Forward(std::complex<double>* data, int n) const {
    if (!data || n < 2 || n > m_size || !IsPowerOfTwo(n)) return;
    int bits = 0;
    while ((1 << bits) < n) ++bits;
    const int shift = m_bits - bits;

    // Bit-reversal permutation.
    for (int k = 0; k < n; ++k) {
        const int r = m_reverse[k] >> shift;
        if (r > k) std::swap(data[k], data[r]);
    }

    // Complex values as interleaved doubles; plain arithmetic avoids the library's
    // NaN-recovering complex multiply in the inner loop.
    double* a = reinterpret_cast<double*>(data);
    const double* w = reinterpret_cast<const double*>(m_twiddle.get());

    // Size-2 butterflies need no multiplication.
    for (int k = 0; k < n; k += 2) {
        double* x = a + 2 * k;
        const double r0 = x[0], i0 = x[1], r1 = x[2], i1 = x[3];
        x[0] = r0 + r1;
        x[1] = i0 + i1;
        x[2] = r0 - r1;
        x[3] = i0 - i1;
    }
    for (int len = 4; len <= n; len <<= 1) {
        const int half = len >> 1;
        const int stride = m_size / len; // twiddle index step for this butterfly size
        for (int start = 0; start < n; start += len) {
            double* lo = a + 2 * start;
            double* hi = lo + 2 * half;
            for (int j = 0; j < half; ++j) {
                const double wr = w[2 * j * stride], wi = w[2 * j * stride + 1];
                const double hr = hi[2 * j], hiim = hi[2 * j + 1];
                const double tr = hr * wr - hiim * wi;
                const double ti = hr * wi + hiim * wr;
                const double lr = lo[2 * j], li = lo[2 * j + 1];
                lo[2 * j] = lr + tr;
                lo[2 * j + 1] = li + ti;
                hi[2 * j] = lr - tr;
                hi[2 * j + 1] = li - ti;
            }
        }
    }
}

void MFftRadix2::Inverse(std::complex<double>* data, int n) const {
    if (!data || n < 2 || n > m_size || !IsPowerOfTwo(n)) return;
    double* a = reinterpret_cast<double*>(data);
    for (int k = 0; k < n; ++k) a[2 * k + 1] = -a[2 * k + 1];
    Forward(data, n);
    const double scale = 1.0 / n;
    for (int k = 0; k < n; ++k) {
        a[2 * k] *= scale;
        a[2 * k + 1] = -a[2 * k + 1] * scale;
    }
}

// ---------------------------------------------------------------------------------------------
// Response table

void MFilterFFT::ClearResponse() {
    m_response.reset();
    m_responseCount = 0;
    m_responseCapacity = 0;
}

bool MFilterFFT::AddResponsePoint(double gain, double frequency) {
    if (!(frequency >= 0.1)) return false; // also refuses NaN
    sFreqPoint* p = m_response.get();
    const int n = m_responseCount;
    const sFreqPoint* pos =
        std::lower_bound(p, p + n, frequency, [](const sFreqPoint& a, double f) { return a.frequency < f; });
    const int k = static_cast<int>(pos - p);
    if (k < n && p[k].frequency == frequency) {
        p[k].value = gain;
        return true;
    }
    if (n == m_responseCapacity) {
        const int capacity = std::max(8, m_responseCapacity * 2);
        auto grown = Allocate<sFreqPoint>(static_cast<size_t>(capacity));
        if (!grown) return false;
        std::copy(p, p + n, grown.get());
        m_response = std::move(grown);
        m_responseCapacity = capacity;
        p = m_response.get();
    }
    std::copy_backward(p + k, p + n, p + n + 1);
    p[k] = {frequency, gain};
    ++m_responseCount;
    return true;
}

double MFilterFFT::ResponseAt(double frequency) const {
    const int n = m_responseCount;
    if (n == 0) return 1.0;
    const sFreqPoint* p = m_response.get();
    if (!(frequency > p[0].frequency)) return p[0].value;
    if (frequency >= p[n - 1].frequency) return p[n - 1].value;
    // First point strictly above the frequency; the segment ends there.
    const sFreqPoint* up =
        std::upper_bound(p, p + n, frequency, [](double f, const sFreqPoint& a) { return f < a.frequency; });
    return SegmentGain(up[-1], up[0], frequency);
}

// ---------------------------------------------------------------------------------------------
// Spectrum

double MFilterFFT::SpectrumAt(double frequency) const {
    const int n = m_spectrumCount;
    if (m_fftSize < 2 || n < 1) return 0.0;
    const sFreqPoint* s = m_spectrum.get();
    if (!(frequency >= s[0].frequency) || frequency > s[n - 1].frequency) return 0.0;
    if (n == 1) return s[0].value;
    // Entries are evenly spaced: guess the segment, then settle it against the stored frequencies.
    const double df = s[1].frequency - s[0].frequency;
    int k = df > 0 ? static_cast<int>(std::min((frequency - s[0].frequency) / df, double(n - 2))) : 0;
    k = std::clamp(k, 0, n - 2);
    while (k > 0 && frequency < s[k].frequency) --k;
    while (k < n - 2 && frequency > s[k + 1].frequency) ++k;
    return SegmentGain(s[k], s[k + 1], frequency);
}

// ---------------------------------------------------------------------------------------------
// Streaming

void MFilterFFT::ResetStream() {
    m_inValues.reset();
    m_inTimes.reset();
    m_outValues.reset();
    m_outTimes.reset();
    m_inputCount = m_inputCapacity = 0;
    m_outputReady = m_outputCapacity = 0;
    m_work.reset();
    m_spectrum.reset();
    m_fftSize = 0;
    m_spectrumCount = 0;
}

void MFilterFFT::RemoveOutput(int n) {
    if (n <= 0) return;
    if (n >= m_outputReady) {
        m_outputReady = 0;
        return;
    }
    const size_t keep = static_cast<size_t>(m_outputReady - n);
    std::memmove(m_outValues.get(), m_outValues.get() + n, keep * sizeof(double));
    std::memmove(m_outTimes.get(), m_outTimes.get() + n, keep * sizeof(double));
    m_outputReady -= n;
}

bool MFilterFFT::EnsureFftSize(int n) {
    if (n <= m_fftSize) return true;
    if (!m_fft.Prepare(n)) return false;
    auto work = Allocate<std::complex<double>>(static_cast<size_t>(n));
    auto spectrum = Allocate<sFreqPoint>(static_cast<size_t>(n / 2));
    if (!work || !spectrum) return false;
    m_work = std::move(work);
    m_spectrum = std::move(spectrum);
    m_fftSize = n;
    m_spectrumCount = 0;
    return true;
}

bool MFilterFFT::GrowBlockArrays(int capacity) {
    const auto grow = [capacity](std::unique_ptr<double[]>& values, std::unique_ptr<double[]>& times,
                                 int count, int& have) {
        if (have >= capacity) return true;
        auto v = Allocate<double>(static_cast<size_t>(capacity));
        auto t = Allocate<double>(static_cast<size_t>(capacity));
        if (!v || !t) return false;
        if (count > 0) {
            std::memcpy(v.get(), values.get(), static_cast<size_t>(count) * sizeof(double));
            std::memcpy(t.get(), times.get(), static_cast<size_t>(count) * sizeof(double));
        }
        values = std::move(v);
        times = std::move(t);
        have = capacity;
        return true;
    };
    return grow(m_inValues, m_inTimes, m_inputCount, m_inputCapacity) &&
           grow(m_outValues, m_outTimes, m_outputReady, m_outputCapacity);
}

bool MFilterFFT::ProcessBlock(const double* values, const double* times, double overlap, int N, int B) {
    if (!values || !times || B < 1 || B > INT_MAX / 3) return false;
    double x = overlap;
    if (x > 1.0) x = 1.0;
    if (!(x >= 0.1f)) x = 0.1f; // also catches NaN

    if (!GrowBlockArrays(3 * B)) return false;

    // Make room for the new samples by dropping the oldest ones.
    if (m_inputCount + B > m_inputCapacity) {
        const int drop = m_inputCount + B - m_inputCapacity;
        const size_t keep = static_cast<size_t>(m_inputCount - drop);
        std::memmove(m_inValues.get(), m_inValues.get() + drop, keep * sizeof(double));
        std::memmove(m_inTimes.get(), m_inTimes.get() + drop, keep * sizeof(double));
        m_inputCount -= drop;
    }
    std::memcpy(m_inValues.get() + m_inputCount, values, static_cast<size_t>(B) * sizeof(double));
    std::memcpy(m_inTimes.get() + m_inputCount, times, static_cast<size_t>(B) * sizeof(double));
    m_inputCount += B;

    // A hop of at least one sample, so that the input always shrinks.
    const int hop = std::max(1, static_cast<int>(B * x));
    const int skip = static_cast<int>((1.0 - x) * 0.5 * B);
    while (m_inputCount >= B && m_inputCount > 0) {
        if (m_outputReady + hop > m_outputCapacity - B) break;
        double* stageValues = m_outValues.get() + (m_outputCapacity - B);
        double* stageTimes = m_outTimes.get() + (m_outputCapacity - B);
        std::memcpy(stageValues, m_inValues.get(), static_cast<size_t>(B) * sizeof(double));
        std::memcpy(stageTimes, m_inTimes.get(), static_cast<size_t>(B) * sizeof(double));
        const size_t keep = static_cast<size_t>(m_inputCount - hop);
        std::memmove(m_inValues.get(), m_inValues.get() + hop, keep * sizeof(double));
        std::memmove(m_inTimes.get(), m_inTimes.get() + hop, keep * sizeof(double));
        m_inputCount -= hop;

        FilterBlock(stageValues, stageTimes, N, B);

        // The middle part of the block; its edges carry the wrap-around of the transform.
        std::memcpy(m_outValues.get() + m_outputReady, stageValues + skip,
                    static_cast<size_t>(hop) * sizeof(double));
        std::memcpy(m_outTimes.get() + m_outputReady, stageTimes + skip,
                    static_cast<size_t>(hop) * sizeof(double));
        m_outputReady += hop;
    }
    return true;
}

void MFilterFFT::FilterBlock(double* values, double* times, int N, int B) {
    if (!values || !times || B < 2 || N < 2) return;
    const double t0 = times[0];
    const double span = times[B - 1] - t0;
    if (!(span > 0) || !std::isfinite(span)) return;
    // Sizes that are not a power of two would make the transform run past the work area.
    if (!MFftRadix2::IsPowerOfTwo(N)) return;
    if (!EnsureFftSize(N)) return;

    const double df = 1.0 / span;
    const double h = span / (N - 1);
    std::complex<double>* work = m_work.get();

    // 1. Linear resampling onto N uniform grid points. The first sample index at or after a grid
    //    time never decreases along the grid, so one forward walk finds all of them.
    int k = 1;
    for (int j = 0; j < N; ++j) {
        const double tau = t0 + j * h;
        while (k < B - 1 && times[k] < tau) ++k;
        const double tLo = times[k - 1], vLo = values[k - 1];
        double tHi = times[k], vHi = values[k];
        if (tHi <= tLo) { // repeated or reversed time: hold the lower value
            tHi = tLo + 0.001 * h;
            vHi = vLo;
        }
        work[j] = {vLo + (vHi - vLo) * (tau - tLo) / (tHi - tLo), 0.0};
    }

    // 2. Spectrum, weighted by the response. Bin i and its conjugate partner N - i share the
    //    gain at i * df; the Nyquist bin gets the gain at its own frequency.
    m_fft.Forward(work, N);
    const sFreqPoint* p = m_response.get();
    const int nResp = m_responseCount;
    int seg = 0; // first response point above the current frequency
    const auto gainAt = [&](double f) {
        if (nResp == 0) return 1.0;
        while (seg < nResp && p[seg].frequency <= f) ++seg;
        if (seg == 0) return p[0].value;
        if (seg == nResp) return p[nResp - 1].value;
        return SegmentGain(p[seg - 1], p[seg], f);
    };
    sFreqPoint* spectrum = m_spectrum.get();
    const int half = N / 2;
    for (int i = 0; i < half; ++i) {
        const double f = i * df;
        const double g = gainAt(f);
        work[i] *= g;
        if (i > 0) work[N - i] *= g;
        spectrum[i] = {f, Magnitude(work[i].real(), work[i].imag())};
    }
    work[half] *= gainAt(half * df);
    m_spectrumCount = half;

    // 3. Back to the time domain and onto B uniform times spanning the block.
    m_fft.Inverse(work, N);
    const double outStep = span / (B - 1);
    for (int i = 0; i < B; ++i) {
        const int e = std::min(static_cast<int>(static_cast<long long>(i) * N / B), N - 2);
        const double t = t0 + i * outStep;
        const double te = t0 + e * h;
        const double y0 = work[e].real(), y1 = work[e + 1].real();
        values[i] = y0 + (y1 - y0) * (t - te) / h;
        times[i] = t;
    }
}
