#include "analysis/SampleEntropy.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Whether two values match. For a fixed a the values b that match form one run of the sorted
// values (b - a, rounded, grows with b), and as a grows the run only moves up: every sliding
// window below relies on that and uses this very test, so it counts what the plain loop counts.
inline bool Near(double a, double b, double r) {
    return std::fabs(a - b) <= r;
}

// Sorts values by key, keeping the order of equal keys (LSD radix sort, byte by byte; a byte
// that all keys share is skipped).
void StableSortByKey(std::vector<uint64_t>& keys, std::vector<uint32_t>& values) {
    const size_t n = keys.size();
    std::vector<uint64_t> k2(n);
    std::vector<uint32_t> v2(n);
    uint64_t orAll = 0, andAll = ~uint64_t(0);
    for (uint64_t k : keys) {
        orAll |= k;
        andAll &= k;
    }
    for (int shift = 0; shift < 64; shift += 8) {
        if ((((orAll ^ andAll) >> shift) & 0xff) == 0) continue; // the same byte everywhere
        size_t count[257] = {};
        for (uint64_t k : keys) ++count[((k >> shift) & 0xff) + 1];
        for (int b = 0; b < 256; ++b) count[b + 1] += count[b];
        for (size_t i = 0; i < n; ++i) {
            const size_t at = count[(keys[i] >> shift) & 0xff]++;
            k2[at] = keys[i];
            v2[at] = values[i];
        }
        keys.swap(k2);
        values.swap(v2);
    }
}

// A key whose unsigned order is the order of the (finite) values.
uint64_t OrderKey(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits >> 63 ? ~bits : bits | (uint64_t(1) << 63);
}

// The matches among X[from, to) of the point (x, y), both coordinates tested.
uint64_t CountNear2(const double* X, const double* Y, size_t from, size_t to, double x, double y, double r) {
    uint64_t hits = 0;
    size_t j = from;
#if defined(__SSE2__)
    // Two at a time, the same subtraction, absolute value and comparison as Near.
    const __m128d vx = _mm_set1_pd(x), vy = _mm_set1_pd(y), vr = _mm_set1_pd(r), sign = _mm_set1_pd(-0.0);
    __m128i acc = _mm_setzero_si128();
    for (; j + 2 <= to; j += 2) {
        const __m128d dx = _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(X + j), vx));
        const __m128d dy = _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(Y + j), vy));
        const __m128d match = _mm_and_pd(_mm_cmple_pd(dx, vr), _mm_cmple_pd(dy, vr));
        acc = _mm_sub_epi64(acc, _mm_castpd_si128(match)); // a match is all ones, -1
    }
    int64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
    hits = uint64_t(lanes[0] + lanes[1]);
#endif
    for (; j < to; ++j) hits += uint64_t(Near(X[j], x, r)) & uint64_t(Near(Y[j], y, r));
    return hits;
}

// The templates as points: point i has the coordinates x[i], x[i + 1], ...; byValue lists the
// indices of the finite values of x in ascending order of value.
struct Points {
    const std::vector<double>& x;
    const std::vector<uint32_t>& byValue;
    size_t count; // points 0 ... count - 1
    size_t dims;
    std::vector<uint8_t> usable; // every coordinate finite: the others match nothing

    // The usable points in ascending order of coordinate d.
    std::vector<uint32_t> Order(size_t d) const {
        std::vector<uint32_t> out;
        out.reserve(count);
        for (uint32_t k : byValue)
            if (k >= d && k - d < count && usable[k - d]) out.push_back(uint32_t(k - d));
        return out;
    }
    double At(uint32_t i, size_t d) const { return x[i + d]; }
};

uint64_t Pairs1(const Points& p, double r) {
    const std::vector<uint32_t> o = p.Order(0);
    const size_t n = o.size();
    uint64_t total = 0;
    size_t hi = 0; // one past the last point matching point q
    for (size_t q = 0; q < n; ++q) {
        const double value = p.At(o[q], 0);
        hi = std::max(hi, q + 1);
        while (hi < n && Near(p.At(o[hi], 0), value, r)) ++hi;
        total += hi - q - 1;
    }
    return total;
}

// A set of positions 0 ... n - 1 that counts its members below a position: a bit per position
// and a Fenwick tree (Fenwick 1994) of the counts per word of 64 bits, small enough to stay in
// the first-level cache.
class CountingSet {
public:
    explicit CountingSet(size_t n) : m_bits((n >> 6) + 1, 0), m_tree(m_bits.size() + 1, 0) {}
    void Insert(size_t pos) {
        m_bits[pos >> 6] |= uint64_t(1) << (pos & 63);
        Add(pos >> 6, 1);
    }
    void Erase(size_t pos) {
        m_bits[pos >> 6] &= ~(uint64_t(1) << (pos & 63));
        Add(pos >> 6, -1);
    }
    // Members at positions below end (end <= n).
    int32_t Below(size_t end) const {
        int32_t s = PopCount(m_bits[end >> 6] & ((uint64_t(1) << (end & 63)) - 1));
        for (size_t i = end >> 6; i > 0; i -= i & (~i + 1)) s += m_tree[i];
        return s;
    }

private:
    void Add(size_t word, int32_t d) {
        for (size_t i = word + 1; i < m_tree.size(); i += i & (~i + 1)) m_tree[i] += d;
    }
    static int32_t PopCount(uint64_t v) {
        v = v - ((v >> 1) & 0x5555555555555555ull);
        v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
        v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0full;
        return int32_t((v * 0x0101010101010101ull) >> 56);
    }
    std::vector<uint64_t> m_bits;
    std::vector<int32_t> m_tree; // m_tree over the counts of the words
};

uint64_t Pairs2(const Points& p, double r) {
    const std::vector<uint32_t> byU = p.Order(0), byV = p.Order(1);
    const size_t n = byU.size();
    if (n < 2) return 0;
    // For each point: its rank in v, and the ranks [lo, hi] of the values of v that match its own.
    std::vector<uint32_t> rank(p.count), lo(p.count), hi(p.count);
    {
        std::vector<double> v(n);
        for (size_t k = 0; k < n; ++k) v[k] = p.At(byV[k], 1);
        size_t a = 0, b = 0;
        for (size_t k = 0; k < n; ++k) {
            while (!Near(v[a], v[k], r)) ++a; // stops at k at the latest
            b = std::max(b, k);
            while (b + 1 < n && Near(v[b + 1], v[k], r)) ++b;
            rank[byV[k]] = uint32_t(k);
            lo[byV[k]] = uint32_t(a);
            hi[byV[k]] = uint32_t(b) + 1;
        }
    }
    // The same in the order of u, for the sweep to read them in turn.
    std::vector<double> u(n);
    std::vector<uint32_t> rankU(n), loU(n), hiU(n);
    for (size_t k = 0; k < n; ++k) {
        const uint32_t i = byU[k];
        u[k] = p.At(i, 0);
        rankU[k] = rank[i];
        loU[k] = lo[i];
        hiU[k] = hi[i];
    }
    // Sweep along u: the set holds the points whose u matches the current one's.
    CountingSet set(n);
    uint64_t total = 0;
    size_t first = 0, end = 0; // the window [first, end) of byU
    for (size_t q = 0; q < n; ++q) {
        while (end < n && Near(u[end], u[q], r)) set.Insert(rankU[end++]);
        while (!Near(u[first], u[q], r)) set.Erase(rankU[first++]);
        total += uint64_t(set.Below(hiU[q]) - set.Below(loU[q]) - 1); // not itself
    }
    return total / 2;
}

// Any number of coordinates: a window along the first, the others tested.
uint64_t PairsWindow(const Points& p, double r) {
    const std::vector<uint32_t> o = p.Order(0);
    const size_t n = o.size(), dims = p.dims;
    if (n < 2) return 0;
    std::vector<double> col(n * dims);
    for (size_t k = 0; k < n; ++k)
        for (size_t d = 0; d < dims; ++d) col[d * n + k] = p.At(o[k], d);
    uint64_t total = 0;
    size_t hi = 0;
    for (size_t q = 0; q < n; ++q) {
        hi = std::max(hi, q + 1);
        while (hi < n && Near(col[hi], col[q], r)) ++hi;
        for (size_t j = q + 1; j < hi; ++j) {
            bool match = true;
            for (size_t d = 1; d < dims; ++d) match &= Near(col[d * n + j], col[d * n + q], r);
            total += match;
        }
    }
    return total;
}

// Three coordinates: cells of side a little over r / 2 in the first two. A pair that matches
// lies in cells at most two apart in each (the margin covers the rounding of the cell numbers);
// two points of one cell are less than r / 2 apart in both. Within a cell the points go in the
// order of the third coordinate, so the candidates in a neighbouring cell are one sliding window.
template <int Q>
uint64_t Pairs3(const Points& p, double r) {
    std::vector<uint32_t> pts = p.Order(2);
    const size_t n = pts.size();
    if (n < 2) return 0;
    const double side = r / Q * (1 + 1e-6);
    double u0 = INFINITY, u1 = -INFINITY, v0 = INFINITY, v1 = -INFINITY;
    for (uint32_t i : pts) {
        u0 = std::min(u0, p.At(i, 0));
        u1 = std::max(u1, p.At(i, 0));
        v0 = std::min(v0, p.At(i, 1));
        v1 = std::max(v1, p.At(i, 1));
    }
    // Cell numbers must stay far below 2^52 for the margin to cover their rounding.
    constexpr double kMaxCells = double(1 << 30);
    if (!(side > 0) || !((u1 - u0) / side < kMaxCells) || !((v1 - v0) / side < kMaxCells))
        return PairsWindow(p, r);
    const auto spanV = uint64_t(std::floor((v1 - v0) / side)) + 1;

    // Cell numbers u * spanV + v, in the order of the third coordinate, then sorted by cell.
    std::vector<uint64_t> keys(n);
    for (size_t k = 0; k < n; ++k) {
        const auto cu = uint64_t(std::floor((p.At(pts[k], 0) - u0) / side));
        const auto cv = uint64_t(std::floor((p.At(pts[k], 1) - v0) / side));
        keys[k] = cu * spanV + cv;
    }
    StableSortByKey(keys, pts);
    std::vector<double> X(n), Y(n), Z(n);
    std::vector<uint64_t> cells;  // one per occupied cell, ascending
    std::vector<uint32_t> starts; // where each cell's points start; one more at the end
    for (size_t k = 0; k < n; ++k) {
        X[k] = p.At(pts[k], 0);
        Y[k] = p.At(pts[k], 1);
        Z[k] = p.At(pts[k], 2);
        if (k == 0 || keys[k] != keys[k - 1]) {
            cells.push_back(keys[k]);
            starts.push_back(uint32_t(k));
        }
    }
    starts.push_back(uint32_t(n));

    // The neighbours after a cell in the order of cell numbers, each pair of cells met once.
    std::vector<std::pair<int, int>> ahead;
    for (int du = 0; du <= Q; ++du)
        for (int dv = -Q; dv <= Q; ++dv)
            if (du > 0 || dv > 0) ahead.push_back({du, dv});
    uint64_t total = 0;
    for (size_t c = 0; c < cells.size(); ++c) {
        const size_t s0 = starts[c], e0 = starts[c + 1];
        // Its own points.
        size_t hi = s0;
        for (size_t q = s0; q < e0; ++q) {
            hi = std::max(hi, q + 1);
            while (hi < e0 && Near(Z[hi], Z[q], r)) ++hi;
            if (Q >= 2)
                total += hi - q - 1; // less than r / 2 apart in the first two
            else
                total += CountNear2(X.data(), Y.data(), q + 1, hi, X[q], Y[q], r);
        }
        const uint64_t cu = cells[c] / spanV, cv = cells[c] % spanV;
        for (const auto& [du, dv] : ahead) {
            if ((dv < 0 && cv < uint64_t(-dv)) || cv + uint64_t(std::max(dv, 0)) >= spanV) continue;
            const uint64_t key = (cu + uint64_t(du)) * spanV + cv + uint64_t(dv);
            const auto it = std::lower_bound(cells.begin() + long(c) + 1, cells.end(), key);
            if (it == cells.end() || *it != key) continue;
            const size_t other = size_t(it - cells.begin());
            const size_t s1 = starts[other], e1 = starts[other + 1];
            size_t first = s1, end = s1; // the window [first, end) of the other cell
            for (size_t q = s0; q < e0; ++q) {
                const double z = Z[q];
                while (first < e1 && Z[first] < z && !Near(Z[first], z, r)) ++first;
                end = std::max(end, first);
                while (end < e1 && Near(Z[end], z, r)) ++end;
                total += CountNear2(X.data(), Y.data(), first, end, X[q], Y[q], r);
            }
        }
    }
    return total;
}

// Pairs of points i < j that match in all p.dims coordinates.
uint64_t MatchingPairs(Points& p, double r) {
    p.usable.assign(p.count, 1);
    for (size_t i = 0; i < p.count; ++i)
        for (size_t d = 0; d < p.dims; ++d)
            if (!std::isfinite(p.x[i + d])) p.usable[i] = 0;
    switch (p.dims) {
        case 1:
            return Pairs1(p, r);
        case 2:
            return Pairs2(p, r);
        case 3:
            return Pairs3<1>(p, r);
        default:
            return PairsWindow(p, r);
    }
}

} // namespace

bool SampleEntropyCounts(const std::vector<double>& x, int m, double r, uint64_t& a, uint64_t& b) {
    a = b = 0;
    if (m < 1 || x.size() < size_t(m) + 2 || !(r >= 0) || !std::isfinite(r)) return false;
    if (x.size() >= size_t(UINT32_MAX)) return false;
    // The finite values in ascending order, shared by every coordinate.
    std::vector<uint64_t> keys;
    std::vector<uint32_t> byValue;
    keys.reserve(x.size());
    byValue.reserve(x.size());
    for (size_t k = 0; k < x.size(); ++k)
        if (std::isfinite(x[k])) {
            keys.push_back(OrderKey(x[k]));
            byValue.push_back(uint32_t(k));
        }
    StableSortByKey(keys, byValue);
    const size_t count = x.size() - size_t(m); // templates of length m and m + 1
    Points p{x, byValue, count, size_t(m), {}};
    b = MatchingPairs(p, r);
    p.dims = size_t(m) + 1;
    a = MatchingPairs(p, r);
    return true;
}

double SampleEntropy(const std::vector<double>& x, int m, double r) {
    uint64_t a = 0, b = 0;
    if (!SampleEntropyCounts(x, m, r, a, b) || a == 0 || b == 0) return kNaN;
    return -std::log(double(a) / double(b));
}
