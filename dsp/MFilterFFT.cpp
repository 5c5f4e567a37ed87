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
    if (m == 0) return 0.0;
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
    // The reversal of k is that of k / 2 moved down one bit, with k's lowest bit on top.
    reverse[0] = 0;
    for (int k = 1; k < n; ++k) reverse[k] = (reverse[k >> 1] >> 1) | ((k & 1) << (bits - 1));
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

    // Sizes 2 and 4 together: their twiddles are 1 and -i, so no multiplication is needed.
    if (n == 2) {
        const double r0 = a[0], i0 = a[1], r1 = a[2], i1 = a[3];
        a[0] = r0 + r1;
        a[1] = i0 + i1;
        a[2] = r0 - r1;
        a[3] = i0 - i1;
        return;
    }
    for (int k = 0; k < n; k += 4) {
        double* x = a + 2 * k;
        const double r0 = x[0] + x[2], i0 = x[1] + x[3]; // size-2 butterflies
        const double r1 = x[0] - x[2], i1 = x[1] - x[3];
        const double r2 = x[4] + x[6], i2 = x[5] + x[7];
        const double r3 = x[4] - x[6], i3 = x[5] - x[7];
        x[0] = r0 + r2; // size 4: (r3 + i i3) x (-i) = i3 - i r3
        x[1] = i0 + i2;
        x[2] = r1 + i3;
        x[3] = i1 - r3;
        x[4] = r0 - r2;
        x[5] = i0 - i2;
        x[6] = r1 - i3;
        x[7] = i1 + r3;
    }
    // The remaining sizes two at a time: the butterflies of sizes L and 2L on the four points
    // j, j + L/2, j + L, j + 3L/2 of a 2L block depend only on each other, so each point is loaded
    // and stored once per pair of sizes. The arithmetic is that of the plain size-by-size loop.
    int len = 8;
    for (; 2 * len <= n; len *= 4) {
        const int half = len / 2;
        const int stride = m_size / len;        // twiddle step for size L
        const int stride2 = m_size / (2 * len); // and for size 2L
        for (int start = 0; start < n; start += 2 * len) {
            double* p0 = a + 2 * start;
            double* p1 = p0 + 2 * half;
            double* p2 = p0 + 2 * len;
            double* p3 = p2 + 2 * half;
            for (int j = 0; j < half; ++j) {
                const int q = 2 * j;
                // Size L on (p0, p1) and (p2, p3), twiddle w_L^j.
                const double wr = w[q * stride], wi = w[q * stride + 1];
                double tr = p1[q] * wr - p1[q + 1] * wi;
                double ti = p1[q] * wi + p1[q + 1] * wr;
                const double a0r = p0[q] + tr, a0i = p0[q + 1] + ti;
                const double a1r = p0[q] - tr, a1i = p0[q + 1] - ti;
                tr = p3[q] * wr - p3[q + 1] * wi;
                ti = p3[q] * wi + p3[q + 1] * wr;
                const double a2r = p2[q] + tr, a2i = p2[q + 1] + ti;
                const double a3r = p2[q] - tr, a3i = p2[q + 1] - ti;
                // Size 2L on (p0, p2) with w_2L^j and on (p1, p3) with w_2L^(j + L/2).
                const double ur = w[q * stride2], ui = w[q * stride2 + 1];
                tr = a2r * ur - a2i * ui;
                ti = a2r * ui + a2i * ur;
                p0[q] = a0r + tr;
                p0[q + 1] = a0i + ti;
                p2[q] = a0r - tr;
                p2[q + 1] = a0i - ti;
                const int r = 2 * (j + half) * stride2;
                const double vr = w[r], vi = w[r + 1];
                tr = a3r * vr - a3i * vi;
                ti = a3r * vi + a3i * vr;
                p1[q] = a1r + tr;
                p1[q + 1] = a1i + ti;
                p3[q] = a1r - tr;
                p3[q + 1] = a1i - ti;
            }
        }
    }
    if (len <= n) { // one size left over
        const int half = len / 2;
        const int stride = m_size / len;
        for (int start = 0; start < n; start += len) {
            double* lo = a + 2 * start;
            double* hi = lo + 2 * half;
            for (int j = 0; j < half; ++j) {
                const int q = 2 * j;
                const double wr = w[q * stride], wi = w[q * stride + 1];
                const double tr = hi[q] * wr - hi[q + 1] * wi;
                const double ti = hi[q] * wi + hi[q + 1] * wr;
                const double lr = lo[q], li = lo[q + 1];
                lo[q] = lr + tr;
                lo[q + 1] = li + ti;
                hi[q] = lr - tr;
                hi[q + 1] = li - ti;
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
    int segment = 0; // k for which the slope below was computed
    double tLo = 0, vLo = 0, slope = 0;
    for (int j = 0; j < N; ++j) {
        const double tau = t0 + j * h;
        while (k < B - 1 && times[k] < tau) ++k;
        if (k != segment) {
            segment = k;
            tLo = times[k - 1];
            vLo = values[k - 1];
            double tHi = times[k], vHi = values[k];
            if (tHi <= tLo) { // repeated or reversed time: hold the lower value
                tHi = tLo + 0.001 * h;
                vHi = vLo;
            }
            slope = (vHi - vLo) / (tHi - tLo);
        }
        work[j] = {vLo + slope * (tau - tLo), 0.0};
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
    // The weighted bins are conjugated on the way, as the first step of the inverse transform.
    sFreqPoint* spectrum = m_spectrum.get();
    const int half = N / 2;
    for (int i = 0; i < half; ++i) {
        const double f = i * df;
        const double g = gainAt(f);
        const double re = work[i].real() * g, im = work[i].imag() * g;
        spectrum[i] = {f, Magnitude(re, im)};
        work[i] = {re, -im};
        if (i > 0) work[N - i] = {work[N - i].real() * g, -work[N - i].imag() * g};
    }
    const double gNyquist = gainAt(half * df);
    work[half] = {work[half].real() * gNyquist, -work[half].imag() * gNyquist};
    m_spectrumCount = half;

    // 3. Inverse transform: forward transform of the conjugate, conjugated and scaled by 1/N. Only
    //    real parts are used, which the final conjugation does not change, so it is left out.
    //    Then back onto B uniform times spanning the block.
    m_fft.Forward(work, N);
    const double scale = 1.0 / N;
    const double invH = 1.0 / h;
    const double outStep = span / (B - 1);
    for (int i = 0; i < B; ++i) {
        const int e = std::min(static_cast<int>(static_cast<long long>(i) * N / B), N - 2);
        const double t = t0 + i * outStep;
        const double te = t0 + e * h;
        const double y0 = work[e].real() * scale, y1 = work[e + 1].real() * scale;
        values[i] = y0 + (y1 - y0) * (t - te) * invH;
        times[i] = t;
    }
}
