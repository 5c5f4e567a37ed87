#pragma once
// Sample entropy (Richman & Moorman 2000): of the N - m templates x[i .. i + m - 1], B counts the
// pairs i < j whose every value lies within r of the other's (|x[i + k] - x[j + k]| <= r, k < m)
// and A the pairs that also match in the next value x[i + m]; SampEn = -ln(A / B).
//
// The counts are exact, equal to those of the plain double loop over all pairs, without visiting
// them all. Each template is a point (x[i], ..., x[i + m]); a pair matches when the points lie
// within r of each other in every coordinate used:
//   one coordinate:   the sorted values with a sliding window;
//   two coordinates:  a sweep along the first in sorted order, the points inside its window held
//                     in a Fenwick tree over the ranks of the second, one range count per point
//                     (O(N log N), however many pairs match);
//   three:            cells of side r / 2 over the first two coordinates, each cell's points sorted
//                     by the third; a point meets only the points of the cells at most two apart
//                     (and those within r in the third, a sliding window), and the points of its
//                     own cell match it in the first two without a test;
//   more:             the points sorted by the first coordinate with a sliding window, every other
//                     coordinate tested.
// So m = 1 and m = 2 (the usual choice) run in about N log N plus the matching pairs of A.
//
// Plain functions; no state.

#include <cstdint>
#include <vector>

// The counts A (length m + 1) and B (length m) of x with tolerance r (absolute). False, with both
// 0, when m < 1, x has fewer than m + 2 values or r is negative or not finite. A value that is
// not finite matches nothing, as in the plain loop.
bool SampleEntropyCounts(const std::vector<double>& x, int m, double r, uint64_t& a, uint64_t& b);

// Sample entropy -ln(A / B) with tolerance r (absolute); NaN when A or B is 0 or the counts
// cannot be made (see above).
double SampleEntropy(const std::vector<double>& x, int m, double r);
