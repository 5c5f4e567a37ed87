#include "dsp/Spliner.h"

#include <cmath>
#include <new>

namespace {

// Knots may share an x; a zero spacing used as a divisor becomes this instead.
inline double Spacing(double d) {
    return d == 0.0 ? 1e-5 : d;
}

} // namespace

void Spliner::Build(const double* xs, const double* ys, int n, double yp1, double ypn) {
    if (n < 2 || !xs || !ys) return;
    try {
        const auto size = static_cast<size_t>(n);
        m_x.resize(size);
        m_y.resize(size);
        m_y2.resize(size);
        m_u.resize(size);
    } catch (const std::bad_alloc&) {
        return; // the previous knots stay
    }
    bool sorted = true;
    for (int i = 0; i < n; ++i) {
        m_x[i] = xs[i];
        m_y[i] = ys[i];
        if (i > 0 && !(m_x[i - 1] <= m_x[i])) sorted = false;
    }
    m_n = n;
    m_sorted = sorted;

    const double* X = m_x.data();
    const double* Y = m_y.data();
    double* Y2 = m_y2.data();
    double* u = m_u.data();
    auto h = [X](int i) { return Spacing(X[i + 1] - X[i]); };

    // Tridiagonal sweep.
    if (yp1 > kNaturalSlope) {
        Y2[0] = 0.0;
        u[0] = 0.0;
    } else {
        Y2[0] = -0.5;
        u[0] = (3.0 / h(0)) * ((Y[1] - Y[0]) / h(0) - yp1);
    }
    for (int i = 1; i < n - 1; ++i) {
        const double span = Spacing(X[i + 1] - X[i - 1]);
        const double sig = (X[i] - X[i - 1]) / span;
        const double p = sig * Y2[i - 1] + 2.0;
        Y2[i] = (sig - 1.0) / p;
        const double d = (Y[i + 1] - Y[i]) / h(i) - (Y[i] - Y[i - 1]) / h(i - 1);
        u[i] = (6.0 * d / span - sig * u[i - 1]) / p;
    }
    double qn = 0.0;
    double un = 0.0;
    if (!(ypn > kNaturalSlope)) {
        qn = 0.5;
        un = (3.0 / h(n - 2)) * (ypn - (Y[n - 1] - Y[n - 2]) / h(n - 2));
    }
    Y2[n - 1] = (un - qn * u[n - 2]) / (qn * Y2[n - 2] + 1.0);
    for (int k = n - 2; k >= 0; --k) Y2[k] = Y2[k] * Y2[k + 1] + u[k];
}

int Spliner::Bisect(double x) const {
    int lo = 0;
    int hi = m_n - 1;
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        if (m_x[mid] > x)
            hi = mid;
        else
            lo = mid;
    }
    return lo;
}

double Spliner::EvaluateIn(double x, int lo) const {
    const int hi = lo + 1;
    const double h = m_x[hi] - m_x[lo];
    // Two knots at one x: the value of the knot on x's side, not a made-up 0.
    if (h == 0.0) return x < m_x[lo] ? m_y[lo] : m_y[hi];
    const double a = (m_x[hi] - x) / h;
    const double b = (x - m_x[lo]) / h;
    return a * m_y[lo] + b * m_y[hi] +
           ((a * a * a - a) * m_y2[lo] + (b * b * b - b) * m_y2[hi]) * (h * h) / 6.0;
}

double Spliner::Evaluate(double x) const {
    if (m_n < 2) return 0.0;
    return EvaluateIn(x, Bisect(x));
}

double Spliner::Evaluate(double x, int& segment) const {
    if (m_n < 2) return 0.0;
    int lo;
    if (m_sorted && !std::isnan(x)) {
        lo = segment;
        if (lo < 0 || lo > m_n - 2) lo = 0;
        while (lo > 0 && m_x[lo] > x) --lo;
        while (lo < m_n - 2 && m_x[lo + 1] <= x) ++lo;
    } else {
        lo = Bisect(x);
    }
    segment = lo;
    return EvaluateIn(x, lo);
}
