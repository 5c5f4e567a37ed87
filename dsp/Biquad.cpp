#include "dsp/Biquad.h"

#include <cmath>
#include <numbers>

namespace {

// Bilinear transform of s^2 + sqrt(2) s + 1 with the cut-off prewarped.
sBiquad Butterworth(double fc, double fs, bool high) {
    if (!(fc > 0) || !(fs > 0) || !(fc < fs / 2)) return {};
    const double k = std::tan(std::numbers::pi * fc / fs);
    const double q = std::numbers::sqrt2;
    const double norm = 1.0 / (1.0 + q * k + k * k);
    sBiquad s;
    if (high) {
        s.b0 = norm;
        s.b1 = -2 * norm;
        s.b2 = norm;
    } else {
        s.b0 = k * k * norm;
        s.b1 = 2 * s.b0;
        s.b2 = s.b0;
    }
    s.a1 = 2 * (k * k - 1) * norm;
    s.a2 = (1 - q * k + k * k) * norm;
    return s;
}

// One pass of one section (transposed direct form II), with the state of a constant input.
template <int kStep>
void Pass(const sBiquad& s, double* x, size_t n) {
    if (n == 0) return;
    double* p = kStep > 0 ? x : x + n - 1;
    const double u = *p;
    const double y0 = s.DcGain() * u;
    double z2 = s.b2 * u - s.a2 * y0;
    double z1 = y0 - s.b0 * u;
    for (size_t i = 0; i < n; ++i, p += kStep) {
        const double in = *p;
        const double out = s.b0 * in + z1;
        z1 = s.b1 * in - s.a1 * out + z2;
        z2 = s.b2 * in - s.a2 * out;
        *p = out;
    }
}

} // namespace

sBiquad sBiquad::LowPass(double fc, double fs) {
    return Butterworth(fc, fs, false);
}

sBiquad sBiquad::HighPass(double fc, double fs) {
    return Butterworth(fc, fs, true);
}

double sBiquad::DcGain() const {
    const double den = 1 + a1 + a2;
    return den != 0 ? (b0 + b1 + b2) / den : 0;
}

void FilterZeroPhase(const sBiquad* sections, int count, double* x, size_t n) {
    if (!sections || !x) return;
    for (int k = 0; k < count; ++k) Pass<1>(sections[k], x, n);
    for (int k = count - 1; k >= 0; --k) Pass<-1>(sections[k], x, n);
}
