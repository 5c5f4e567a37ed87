#pragma once
// Second-order IIR sections (Butterworth low-pass and high-pass by the bilinear transform) and
// zero-phase filtering: the signal passes forwards, then backwards, so features keep their time.
// The squared magnitude response is that of one section, squared again (twice the order).
//
// Plain functions and values; no state shared between calls.

#include <cstddef>

struct sBiquad {
    // y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2]
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;

    // Second-order Butterworth sections for cut-off fc (Hz) at sample rate fs (Hz);
    // 0 < fc < fs / 2 (otherwise a pass-through section).
    static sBiquad LowPass(double fc, double fs);
    static sBiquad HighPass(double fc, double fs);
    // Gain at frequency 0.
    double DcGain() const;
};

// Runs the sections one after another over x[0..n) forwards, then backwards, in place. Each pass
// starts as if the signal had stood at its first (last) value for ever, so a step at the ends
// gives no start-up transient.
void FilterZeroPhase(const sBiquad* sections, int count, double* x, size_t n);
