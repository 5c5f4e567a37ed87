#pragma once
// Cubic spline through a set of knots, natural (zero second derivative) at both ends unless end
// slopes are given. Used for the isoline through the pulse feet and for resampling beat series.
// No lock: each owner uses its own instance from one thread.

#include <vector>

class Spliner {
public:
    // An end slope above this selects a natural end.
    static constexpr double kNaturalSlope = 9.9e29;

    // Natural spline through n knots (x non-decreasing). With n < 2 or a null array nothing
    // changes. Knots that share an x are tolerated: the zero spacing is replaced by 1e-5.
    void Build(const double* xs, const double* ys, int n) { Build(xs, ys, n, 1e30, 1e30); }
    // Same with end slopes yp1 (first knot) and ypn (last knot); a slope above kNaturalSlope
    // leaves that end natural.
    void Build(const double* xs, const double* ys, int n, double yp1, double ypn);

    // Spline value at x; 0 while fewer than 2 knots are held. Outside the knots the cubic of the
    // first or last interval is extended.
    double Evaluate(double x) const;
    // Same value, for callers that evaluate at increasing x: `segment` remembers the interval
    // of the previous call so that the lookup walks forward instead of bisecting. Start at 0.
    double Evaluate(double x, int& segment) const;

    int Count() const { return m_n; }

private:
    double EvaluateIn(double x, int lo) const;
    int Bisect(double x) const;

    std::vector<double> m_x;  // knot abscissas
    std::vector<double> m_y;  // knot values
    std::vector<double> m_y2; // second derivatives at the knots
    std::vector<double> m_u;  // work array of the solve, kept to avoid an allocation per build
    int m_n = 0;
    bool m_sorted = false; // knots non-decreasing: the forward walk finds the same interval as bisection
};
