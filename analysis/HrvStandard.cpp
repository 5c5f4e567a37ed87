#include "analysis/HrvStandard.h"

#include "dsp/MFilterFFT.h"

#include <algorithm>
#include <array>
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
// kExtirpolation nearest points j0 ... j0 + 7. The nodes are whole numbers, so the weight of
// node k is prod_(l != k) (u - x_l) times the constant 1 / prod_(l != k) (k - l).
constexpr int kExtirpolation = 8;
constexpr std::array<double, kExtirpolation> kLagrangeInverse = [] {
    std::array<double, kExtirpolation> d{};
    for (int k = 0; k < kExtirpolation; ++k) {
        double den = 1;
        for (int l = 0; l < kExtirpolation; ++l)
            if (l != k) den *= double(k - l);
        d[size_t(k)] = 1 / den;
    }
    return d;
}();

void Extirpolate(std::complex<double>* grid, size_t m, bool imag, double y, double u) {
    double* g = reinterpret_cast<double*>(grid) + (imag ? 1 : 0); // grid point j at g[2 j]
    const double fl = std::floor(u);
    const long lm = long(m);
    if (u == fl) {
        g[2 * size_t((long(fl) % lm + lm) % lm)] += y;
        return;
    }
    const long j0 = long(fl) - kExtirpolation / 2 + 1;
    // Products of (u - x_l) below and above each node.
    double d[kExtirpolation], below[kExtirpolation], above[kExtirpolation];
    for (int k = 0; k < kExtirpolation; ++k) d[k] = u - double(j0 + k);
    below[0] = 1;
    for (int k = 1; k < kExtirpolation; ++k) below[k] = below[k - 1] * d[k - 1];
    above[kExtirpolation - 1] = 1;
    for (int k = kExtirpolation - 1; k > 0; --k) above[k - 1] = above[k] * d[k];
    size_t j = size_t((j0 % lm + lm) % lm);
    for (int k = 0; k < kExtirpolation; ++k) {
        g[2 * j] += y * below[k] * above[k] * kLagrangeInverse[size_t(k)];
        if (++j == m) j = 0;
    }
}

// a modulo the period, without a division in the usual case of 0 <= a < 2 period (where both
// forms are exact).
double Wrap(double a, double period) {
    if (a >= 0 && a < period) return a;
    if (a >= period && a < 2 * period) return a - period;
    return std::fmod(a, period);
}

// The profile (cumulated deviations from the mean) of x.
std::vector<double> Profile(const std::vector<double>& x) {
    const double mean = std::accumulate(x.begin(), x.end(), 0.0) / double(x.size());
    std::vector<double> y(x.size());
    double acc = 0;
    for (size_t i = 0; i < x.size(); ++i) y[i] = acc += x[i] - mean;
    return y;
}

// F(n) of a profile: non-overlapping boxes from the start, each with its least-squares line
// removed. One pass per box over the values less the box's first one (which leaves the residual
// as it is and keeps the sums small, so nothing cancels).
double Fluctuation(const std::vector<double>& y, int n) {
    const size_t boxes = y.size() / size_t(n);
    const double jm = 0.5 * double(n - 1);
    const double sjj = double(n) * (double(n) * double(n) - 1) / 12;
    double ss = 0;
    for (size_t b = 0; b < boxes; ++b) {
        const double* v = y.data() + b * size_t(n);
        const double v0 = v[0];
        double sd = 0, sjd = 0, sdd = 0;
        for (int j = 0; j < n; ++j) {
            const double d = v[j] - v0;
            sd += d;
            sjd += double(j) * d;
            sdd += d * d;
        }
        const double cjy = sjd - jm * sd; // sum of (j - jm)(d - mean d)
        ss += std::max(0.0, sdd - sd * sd / n - cjy * cjy / sjj);
    }
    return std::sqrt(ss / double(boxes * size_t(n)));
}

// Least-squares slope of log F(n) on log n over n = lo ... hi, F(n) = f[n].
double AlphaOf(const std::vector<double>& f, int lo, int hi) {
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int count = 0;
    for (int n = lo; n <= hi; ++n) {
        if (!(f[size_t(n)] > 0)) continue;
        const double a = std::log10(double(n)), b = std::log10(f[size_t(n)]);
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
    // The segments' starts; two real segments go through one complex transform (the first as
    // the real part, the second as the imaginary part), and |X1|^2 + |X2|^2 at bin k is half of
    // |Z[k]|^2 + |Z[nfft - k]|^2.
    std::vector<size_t> starts;
    for (size_t s = 0; s + len <= n; s += step) starts.push_back(s);
    const int segments = int(starts.size());
    // The segment at s, its linear trend (least squares) removed and windowed, into the real or
    // imaginary parts of buf.
    const double jm = 0.5 * double(len - 1);
    double sjj = 0;
    for (size_t j = 0; j < len; ++j) sjj += (double(j) - jm) * (double(j) - jm);
    auto put = [&](size_t s, int part) {
        double sy = 0, sjy = 0;
        for (size_t j = 0; j < len; ++j) sy += x[s + j];
        const double ym = sy / double(len);
        for (size_t j = 0; j < len; ++j) sjy += (double(j) - jm) * (x[s + j] - ym);
        const double slope = sjj > 0 ? sjy / sjj : 0;
        double* b = reinterpret_cast<double*>(buf.data()) + part;
        for (size_t j = 0; j < len; ++j) b[2 * j] = w[j] * (x[s + j] - ym - slope * (double(j) - jm));
    };
    for (size_t k = 0; k < starts.size(); k += 2) {
        std::fill(buf.begin(), buf.end(), std::complex<double>(0, 0));
        put(starts[k], 0);
        const bool pair = k + 1 < starts.size();
        if (pair) put(starts[k + 1], 1);
        fft.Forward(buf.data(), int(nfft));
        for (size_t f = 0; f <= nfft / 2; ++f)
            psd[f] +=
                pair ? 0.5 * (std::norm(buf[f]) + std::norm(buf[(nfft - f) % nfft])) : std::norm(buf[f]);
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
        const double u = Wrap((t[i] - t0) / dt, period);
        const double u2 = Wrap(2 * (t[i] - t0) / dt, period);
        Extirpolate(grid.data(), m, false, x[i] - mean, u);
        Extirpolate(grid.data(), m, true, 1.0, u2);
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
    if (n < 3 || x.size() < size_t(n)) return kNaN;
    return Fluctuation(Profile(x), n);
}

double DfaAlpha(const std::vector<double>& x, int lo, int hi) {
    if (lo < 3 || hi <= lo || x.size() < size_t(2 * hi)) return kNaN;
    const std::vector<double> y = Profile(x);
    std::vector<double> f(size_t(hi) + 1, kNaN);
    for (int n = lo; n <= hi; ++n) f[size_t(n)] = Fluctuation(y, n);
    return AlphaOf(f, lo, hi);
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
    std::vector<std::pair<double, double>> pairs;
    for (size_t i = 1; i < n; ++i)
        if (s.follows[i]) {
            diffs.push_back(ms[i] - ms[i - 1]);
            pairs.push_back({ms[i - 1], ms[i]});
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
    // DFA: one profile, each box size once for both ranges.
    {
        const auto usable = [&](int lo, int hi) { return lo >= 3 && hi > lo && n >= size_t(2 * hi); };
        const bool short1 = usable(p.dfaShortMin, p.dfaShortMax), long2 = usable(p.dfaLongMin, p.dfaLongMax);
        std::vector<double> f(size_t(std::max({p.dfaShortMax, p.dfaLongMax, 0})) + 1, kNaN);
        if (short1 || long2) {
            const std::vector<double> y = Profile(ms);
            for (int k = 3; k < int(f.size()); ++k)
                if ((short1 && k >= p.dfaShortMin && k <= p.dfaShortMax) ||
                    (long2 && k >= p.dfaLongMin && k <= p.dfaLongMax))
                    f[size_t(k)] = Fluctuation(y, k);
        }
        h.dfaAlpha1 = short1 ? AlphaOf(f, p.dfaShortMin, p.dfaShortMax) : kNaN;
        h.dfaAlpha2 = long2 ? AlphaOf(f, p.dfaLongMin, p.dfaLongMax) : kNaN;
    }
    h.sampEn = n >= 10 ? SampleEntropy(ms, p.sampEnM, p.sampEnR * h.sdnn) : kNaN;
    return h;
}
