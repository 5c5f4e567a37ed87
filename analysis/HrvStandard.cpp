#include "analysis/HrvStandard.h"

#include "dsp/MFilterFFT.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <numeric>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTwoPi = 2 * std::numbers::pi;

size_t NextPow2(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

// Natural cubic spline through (t, y), evaluated at t0 + k / fs for k = 0 ... count - 1.
std::vector<double> SplineGrid(const std::vector<double>& t, const std::vector<double>& y, double t0,
                               double fs, size_t count) {
    const size_t n = t.size();
    std::vector<double> out(count);
    if (n == 0) return out;
    if (n == 1) {
        std::fill(out.begin(), out.end(), y[0]);
        return out;
    }
    // Second derivatives m (m[0] = m[n-1] = 0) by the tridiagonal system, Thomas algorithm.
    std::vector<double> m(n, 0.0), c(n, 0.0), d(n, 0.0);
    for (size_t i = 1; i + 1 < n; ++i) {
        const double h0 = t[i] - t[i - 1], h1 = t[i + 1] - t[i];
        const double a = h0, b = 2 * (h0 + h1), cc = h1;
        const double r = 6 * ((y[i + 1] - y[i]) / h1 - (y[i] - y[i - 1]) / h0);
        const double den = b - a * c[i - 1];
        c[i] = cc / den;
        d[i] = (r - a * d[i - 1]) / den;
    }
    for (size_t i = n - 1; i-- > 1;) m[i] = d[i] - c[i] * m[i + 1];
    size_t k = 0;
    for (size_t g = 0; g < count; ++g) {
        const double x = t0 + double(g) / fs;
        while (k + 2 < n && x > t[k + 1]) ++k;
        const double h = t[k + 1] - t[k];
        const double a = (t[k + 1] - x) / h, b = (x - t[k]) / h;
        out[g] = a * y[k] + b * y[k + 1] + ((a * a * a - a) * m[k] + (b * b * b - b) * m[k + 1]) * h * h / 6;
    }
    return out;
}

void FillBands(const std::vector<double>& psd, double df, size_t first, const sHrvStandardParams& p,
               sHrvBands& b) {
    b.vlf = BandPower(psd, df, p.vlfLow, p.vlfHigh, first);
    b.lf = BandPower(psd, df, p.vlfHigh, p.lfHigh, first);
    b.hf = BandPower(psd, df, p.lfHigh, p.hfHigh, first);
    const double total = b.vlf + b.lf + b.hf;
    b.vlfPct = total > 0 ? 100 * b.vlf / total : kNaN;
    b.lfPct = total > 0 ? 100 * b.lf / total : kNaN;
    b.hfPct = total > 0 ? 100 * b.hf / total : kNaN;
    b.lfNu = b.lf + b.hf > 0 ? 100 * b.lf / (b.lf + b.hf) : kNaN;
    b.hfNu = b.lf + b.hf > 0 ? 100 * b.hf / (b.lf + b.hf) : kNaN;
    b.lfHf = b.hf > 0 ? b.lf / b.hf : kNaN;
}

void NaNBands(sHrvBands& b) {
    b.vlf = b.lf = b.hf = b.vlfPct = b.lfPct = b.hfPct = b.lfNu = b.hfNu = b.lfHf = kNaN;
}

// Adds y into the grid at fractional position u (period m) with Lagrange weights on the
// kExtirpolation nearest points.
constexpr int kExtirpolation = 8;
void Extirpolate(std::vector<std::complex<double>>& grid, bool imag, double y, double u) {
    const size_t m = grid.size();
    auto add = [&](size_t j, double v) {
        if (imag)
            grid[j % m] += std::complex<double>(0, v);
        else
            grid[j % m] += v;
    };
    const double fl = std::floor(u);
    if (u == fl) {
        add(size_t(fl), y);
        return;
    }
    const long j0 = long(fl) - kExtirpolation / 2 + 1;
    double x[kExtirpolation], w[kExtirpolation];
    for (int k = 0; k < kExtirpolation; ++k) x[k] = double(j0 + k);
    for (int k = 0; k < kExtirpolation; ++k) {
        double num = 1, den = 1;
        for (int l = 0; l < kExtirpolation; ++l)
            if (l != k) {
                num *= u - x[l];
                den *= x[k] - x[l];
            }
        w[k] = num / den;
    }
    for (int k = 0; k < kExtirpolation; ++k) add(size_t((j0 + k + long(m)) % long(m)), y * w[k]);
}

} // namespace

std::vector<std::pair<std::string, double>> sHrvStandardParams::List() const {
    return {{"resample_hz", resampleHz},
            {"welch_segment_s", welchSegmentS},
            {"welch_overlap", welchOverlap},
            {"vlf_low_hz", vlfLow},
            {"vlf_high_hz", vlfHigh},
            {"lf_high_hz", lfHigh},
            {"hf_high_hz", hfHigh},
            {"hr_average_beats", double(hrAverageBeats)},
            {"triangular_bin_s", triangularBinS},
            {"baevsky_bin_s", baevskyBinS},
            {"dfa_short_min", double(dfaShortMin)},
            {"dfa_short_max", double(dfaShortMax)},
            {"dfa_long_min", double(dfaLongMin)},
            {"dfa_long_max", double(dfaLongMax)},
            {"sampen_m", double(sampEnM)},
            {"sampen_r_sd", sampEnR},
            {"min_spectrum_s", minSpectrumS}};
}

std::vector<std::pair<std::string, double>> sHrvStandard::Rows() const {
    std::vector<std::pair<std::string, double>> r = {
        {"nn_intervals", double(intervals)},
        {"mean_nn_ms", meanNN},
        {"sdnn_ms", sdnn},
        {"rmssd_ms", rmssd},
        {"sdsd_ms", sdsd},
        {"pnn50_pct", pnn50},
        {"mean_hr_bpm", meanHR},
        {"min_hr_bpm", minHR},
        {"max_hr_bpm", maxHR},
        {"hrv_triangular_index", triangularIndex},
        {"baevsky_si", baevskySI},
    };
    for (const auto& [name, b] : {std::pair{"welch", &welch}, std::pair{"lomb", &lomb}}) {
        const std::string n = name;
        r.push_back({n + "_vlf_ms2", b->vlf});
        r.push_back({n + "_lf_ms2", b->lf});
        r.push_back({n + "_hf_ms2", b->hf});
        r.push_back({n + "_vlf_pct", b->vlfPct});
        r.push_back({n + "_lf_pct", b->lfPct});
        r.push_back({n + "_hf_pct", b->hfPct});
        r.push_back({n + "_lf_nu", b->lfNu});
        r.push_back({n + "_hf_nu", b->hfNu});
        r.push_back({n + "_lf_hf", b->lfHf});
    }
    r.push_back({"poincare_sd1_ms", sd1});
    r.push_back({"poincare_sd2_ms", sd2});
    r.push_back({"poincare_sd1_sd2", sd1sd2});
    r.push_back({"dfa_alpha1", dfaAlpha1});
    r.push_back({"dfa_alpha2", dfaAlpha2});
    r.push_back({"sampen", sampEn});
    return r;
}

std::vector<double> WelchPsd(const std::vector<double>& x, double fs, size_t segment, double overlap,
                             size_t& nfft) {
    const size_t n = x.size();
    segment = std::max<size_t>(segment, 4);
    nfft = NextPow2(segment);
    std::vector<double> psd(nfft / 2 + 1, 0.0);
    if (n < 4) return psd;
    const size_t len = std::min(segment, n);
    const size_t step = std::max<size_t>(1, size_t(double(len) * (1 - std::clamp(overlap, 0.0, 0.95))));
    std::vector<double> w(len);
    double w2 = 0;
    for (size_t j = 0; j < len; ++j) {
        w[j] = 0.5 * (1 - std::cos(kTwoPi * double(j) / double(len)));
        w2 += w[j] * w[j];
    }
    MFftRadix2 fft;
    fft.Prepare(int(nfft));
    std::vector<std::complex<double>> buf(nfft);
    int segments = 0;
    for (size_t s = 0; s + len <= n; s += step) {
        // Linear trend of the segment by least squares.
        const double jm = 0.5 * double(len - 1);
        double sy = 0, sjy = 0, sjj = 0;
        for (size_t j = 0; j < len; ++j) sy += x[s + j];
        const double ym = sy / double(len);
        for (size_t j = 0; j < len; ++j) {
            sjy += (double(j) - jm) * (x[s + j] - ym);
            sjj += (double(j) - jm) * (double(j) - jm);
        }
        const double slope = sjj > 0 ? sjy / sjj : 0;
        for (size_t j = 0; j < nfft; ++j)
            buf[j] = j < len ? w[j] * (x[s + j] - ym - slope * (double(j) - jm)) : 0.0;
        fft.Forward(buf.data(), int(nfft));
        for (size_t k = 0; k <= nfft / 2; ++k) psd[k] += std::norm(buf[k]);
        ++segments;
    }
    const double scale = 1.0 / (fs * w2 * double(std::max(segments, 1)));
    for (size_t k = 0; k <= nfft / 2; ++k) psd[k] *= (k == 0 || k == nfft / 2 ? 1 : 2) * scale;
    return psd;
}

std::vector<double> LombPsd(const std::vector<double>& t, const std::vector<double>& x, double df,
                            size_t count) {
    const size_t n = std::min(t.size(), x.size());
    std::vector<double> psd(count, 0.0);
    if (n < 3 || !(df > 0) || count == 0) return psd;
    const double t0 = t[0];
    const double span = t[n - 1] - t0;
    const double mean = std::accumulate(x.begin(), x.begin() + long(n), 0.0) / double(n);
    // Grid: m points over 1 / df seconds, fine enough that the doubled frequencies lie well below
    // its Nyquist frequency.
    const size_t m = NextPow2(6 * count);
    const double dt = 1.0 / (df * double(m));
    const double period = double(m);
    std::vector<std::complex<double>> grid(m);
    for (size_t i = 0; i < n; ++i) {
        const double u = std::fmod((t[i] - t0) / dt, period);
        const double u2 = std::fmod(2 * (t[i] - t0) / dt, period);
        Extirpolate(grid, false, x[i] - mean, u);
        Extirpolate(grid, true, 1.0, u2);
    }
    MFftRadix2 fft;
    fft.Prepare(int(m));
    fft.Forward(grid.data(), int(m));
    const double half = 0.5 * double(n);
    for (size_t k = 1; k <= count && k < m / 2; ++k) {
        // The two real grids packed in one transform.
        const std::complex<double> zk = grid[k], zm = std::conj(grid[m - k]);
        const std::complex<double> h = 0.5 * (zk + zm);                           // sum x e^(-i w t)
        const std::complex<double> g = std::complex<double>(0, -0.5) * (zk - zm); // sum e^(-2 i w t)
        const double ch = h.real(), sh = -h.imag();
        const double c2 = g.real(), s2 = -g.imag();
        const double r2 = std::hypot(c2, s2);
        const double cos2 = r2 > 0 ? c2 / r2 : 1, sin2 = r2 > 0 ? s2 / r2 : 0;
        const double cw = std::sqrt(std::max(0.0, 0.5 * (1 + cos2)));
        const double sw = std::copysign(std::sqrt(std::max(0.0, 0.5 * (1 - cos2))), sin2);
        const double cc = half + 0.5 * r2, ss = half - 0.5 * r2;
        const double a = ch * cw + sh * sw, b = sh * cw - ch * sw;
        const double p = 0.5 * ((cc > 0 ? a * a / cc : 0) + (ss > 0 ? b * b / ss : 0));
        psd[k - 1] = 2 * p * span / double(n);
    }
    return psd;
}

double BandPower(const std::vector<double>& psd, double df, double lo, double hi, size_t firstIndex) {
    double sum = 0;
    for (size_t k = 0; k < psd.size(); ++k) {
        const double f = double(k + firstIndex) * df;
        if (f >= lo && f < hi) sum += psd[k];
    }
    return sum * df;
}

double DfaFluctuation(const std::vector<double>& x, int n) {
    const size_t N = x.size();
    if (n < 3 || N < size_t(n)) return kNaN;
    const double mean = std::accumulate(x.begin(), x.end(), 0.0) / double(N);
    std::vector<double> y(N);
    double acc = 0;
    for (size_t i = 0; i < N; ++i) y[i] = acc += x[i] - mean;
    const size_t boxes = N / size_t(n);
    const double jm = 0.5 * double(n - 1);
    const double sjj = double(n) * (double(n) * double(n) - 1) / 12;
    double ss = 0;
    for (size_t b = 0; b < boxes; ++b) {
        const double* v = y.data() + b * size_t(n);
        double sy = 0;
        for (int j = 0; j < n; ++j) sy += v[j];
        const double ym = sy / n;
        double sjy = 0, syy = 0;
        for (int j = 0; j < n; ++j) {
            const double d = v[j] - ym;
            sjy += (j - jm) * d;
            syy += d * d;
        }
        ss += std::max(0.0, syy - sjy * sjy / sjj);
    }
    return std::sqrt(ss / double(boxes * size_t(n)));
}

double DfaAlpha(const std::vector<double>& x, int lo, int hi) {
    if (lo < 3 || hi <= lo || x.size() < size_t(2 * hi)) return kNaN;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int count = 0;
    for (int n = lo; n <= hi; ++n) {
        const double f = DfaFluctuation(x, n);
        if (!(f > 0)) continue;
        const double a = std::log10(double(n)), b = std::log10(f);
        sx += a;
        sy += b;
        sxx += a * a;
        sxy += a * b;
        ++count;
    }
    if (count < 2) return kNaN;
    const double den = count * sxx - sx * sx;
    return den != 0 ? (count * sxy - sx * sy) / den : kNaN;
}

double SampleEntropy(const std::vector<double>& x, int m, double r) {
    if (m < 1 || x.size() < size_t(m + 2) || !(r >= 0)) return kNaN;
    const size_t count = x.size() - size_t(m); // templates of length m and m + 1
    // Templates in order of their first value: a pair can only match while those lie within r.
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return x[a] < x[b]; });
    const size_t dims = size_t(m) + 1;
    std::vector<double> c(count * dims);
    for (size_t i = 0; i < count; ++i)
        for (size_t d = 0; d < dims; ++d) c[d * count + i] = x[order[i] + d];
    const double* first = c.data();
    uint64_t a = 0, b = 0;
    size_t hi = 0;
    for (size_t i = 0; i < count; ++i) {
        // Candidates j lie in (i, hi): their first values are within r. The count runs without
        // branches over contiguous columns, so the compiler can vectorise it.
        const double limit = first[i] + r;
        if (hi <= i) hi = i + 1;
        while (hi < count && first[hi] <= limit) ++hi;
        uint64_t bi = 0, ai = 0;
        if (m == 2) { // the usual case, written out
            const double* c1 = c.data() + count;
            const double* c2 = c.data() + 2 * count;
            const double x1 = c1[i], x2 = c2[i];
            for (size_t j = i + 1; j < hi; ++j) {
                const bool match = std::fabs(c1[j] - x1) <= r;
                bi += match;
                ai += match & (std::fabs(c2[j] - x2) <= r);
            }
            b += bi;
            a += ai;
            continue;
        }
        for (size_t j = i + 1; j < hi; ++j) {
            bool match = true;
            for (size_t d = 1; d < size_t(m); ++d)
                match &= std::fabs(c[d * count + j] - c[d * count + i]) <= r;
            const bool next = std::fabs(c[size_t(m) * count + j] - c[size_t(m) * count + i]) <= r;
            bi += match;
            ai += match & next;
        }
        b += bi;
        a += ai;
    }
    if (a == 0 || b == 0) return kNaN;
    return -std::log(double(a) / double(b));
}

sHrvStandard ComputeHrvStandard(const sNNSeries& s, const sHrvStandardParams& p) {
    sHrvStandard h;
    const size_t n = s.size();
    if (n < 3) {
        for (auto* v : {&h.meanNN, &h.sdnn, &h.rmssd, &h.sdsd, &h.pnn50, &h.meanHR, &h.minHR, &h.maxHR,
                        &h.triangularIndex, &h.baevskySI, &h.sd1, &h.sd2, &h.sd1sd2, &h.dfaAlpha1,
                        &h.dfaAlpha2, &h.sampEn})
            *v = kNaN;
        NaNBands(h.welch);
        NaNBands(h.lomb);
        return h;
    }
    h.intervals = int(n);
    std::vector<double> ms(n);
    for (size_t i = 0; i < n; ++i) ms[i] = s.nn[i] * 1000;

    // Time domain.
    double sum = 0;
    for (double v : ms) sum += v;
    h.meanNN = sum / double(n);
    double ss = 0;
    for (double v : ms) ss += (v - h.meanNN) * (v - h.meanNN);
    h.sdnn = std::sqrt(ss / double(n - 1));
    std::vector<double> diffs;
    double sumX = 0, sumY = 0;
    std::vector<std::pair<double, double>> pairs;
    for (size_t i = 1; i < n; ++i)
        if (s.follows[i]) {
            diffs.push_back(ms[i] - ms[i - 1]);
            pairs.push_back({ms[i - 1], ms[i]});
            sumX += ms[i - 1];
            sumY += ms[i];
        }
    const size_t nd = diffs.size();
    if (nd >= 2) {
        double d2 = 0, dm = 0, big = 0;
        for (double d : diffs) {
            d2 += d * d;
            dm += d;
            big += std::fabs(d) > 50 ? 1 : 0;
        }
        dm /= double(nd);
        h.rmssd = std::sqrt(d2 / double(nd));
        double dv = 0;
        for (double d : diffs) dv += (d - dm) * (d - dm);
        h.sdsd = std::sqrt(dv / double(nd - 1));
        h.pnn50 = 100 * big / double(nd);
        // Poincare: spread across and along the identity line.
        double sa = 0, sb = 0, qa = 0, qb = 0;
        for (const auto& [u, v] : pairs) {
            sa += v - u;
            sb += v + u;
        }
        sa /= double(nd);
        sb /= double(nd);
        for (const auto& [u, v] : pairs) {
            qa += (v - u - sa) * (v - u - sa);
            qb += (v + u - sb) * (v + u - sb);
        }
        h.sd1 = std::sqrt(qa / double(nd - 1) / 2);
        h.sd2 = std::sqrt(qb / double(nd - 1) / 2);
        h.sd1sd2 = h.sd2 > 0 ? h.sd1 / h.sd2 : kNaN;
    } else {
        h.rmssd = h.sdsd = h.pnn50 = h.sd1 = h.sd2 = h.sd1sd2 = kNaN;
    }
    h.meanHR = 60000 / h.meanNN;
    const size_t avg = size_t(std::max(1, p.hrAverageBeats));
    h.minHR = INFINITY;
    h.maxHR = -INFINITY;
    double window = 0;
    for (size_t i = 0; i < n; ++i) {
        window += 60000 / ms[i];
        if (i >= avg) window -= 60000 / ms[i - avg];
        if (i + 1 >= avg || n < avg) {
            const double hr = window / double(std::min(i + 1, avg));
            h.minHR = std::min(h.minHR, hr);
            h.maxHR = std::max(h.maxHR, hr);
        }
    }
    // Histograms: the triangular index and Baevsky's index.
    auto histogramPeak = [&](double binMs, double* modeMs) {
        std::vector<int> bins;
        const double lo = *std::min_element(ms.begin(), ms.end());
        const long base = long(std::floor(lo / binMs));
        for (double v : ms) {
            const size_t k = size_t(long(std::floor(v / binMs)) - base);
            if (k >= bins.size()) bins.resize(k + 1, 0);
            ++bins[k];
        }
        const auto top = std::max_element(bins.begin(), bins.end());
        if (modeMs) *modeMs = (double(base) + double(top - bins.begin()) + 0.5) * binMs;
        return *top;
    };
    h.triangularIndex = double(n) / histogramPeak(p.triangularBinS * 1000, nullptr);
    double mo = 0;
    const int modal = histogramPeak(p.baevskyBinS * 1000, &mo);
    const auto [mn, mx] = std::minmax_element(ms.begin(), ms.end());
    const double amo = 100.0 * modal / double(n);
    const double range = (*mx - *mn) / 1000;
    h.baevskySI = range > 0 ? amo / (2 * (mo / 1000) * range) : kNaN;

    // Frequency domain.
    const double span = s.time.back() - s.time.front();
    if (span >= p.minSpectrumS) {
        const size_t count = size_t(std::floor(span * p.resampleHz)) + 1;
        const std::vector<double> grid = SplineGrid(s.time, ms, s.time.front(), p.resampleHz, count);
        size_t nfft = 0;
        const std::vector<double> psd = WelchPsd(
            grid, p.resampleHz, size_t(std::lround(p.welchSegmentS * p.resampleHz)), p.welchOverlap, nfft);
        FillBands(psd, p.resampleHz / double(nfft), 0, p, h.welch);
        const double df = 1 / span;
        const std::vector<double> lomb = LombPsd(s.time, ms, df, size_t(std::ceil(p.hfHigh / df)) + 1);
        FillBands(lomb, df, 1, p, h.lomb);
    } else {
        NaNBands(h.welch);
        NaNBands(h.lomb);
    }

    // Nonlinear.
    h.dfaAlpha1 = DfaAlpha(ms, p.dfaShortMin, p.dfaShortMax);
    h.dfaAlpha2 = DfaAlpha(ms, p.dfaLongMin, p.dfaLongMax);
    h.sampEn = n >= 10 ? SampleEntropy(ms, p.sampEnM, p.sampEnR * h.sdnn) : kNaN;
    return h;
}
