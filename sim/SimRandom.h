#pragma once
// Small deterministic random source for the simulator: xoshiro256** seeded through splitmix64.
// The same seed always gives the same sequence on every platform and compiler (no std::
// distributions, whose output is implementation-defined).

#include <cmath>
#include <cstdint>

class SimRandom {
public:
    explicit SimRandom(uint64_t seed = 1) { Seed(seed); }

    void Seed(uint64_t seed) {
        uint64_t x = seed;
        for (uint64_t& s : m_state) s = SplitMix(x);
        m_haveSpare = false;
    }

    uint64_t Next() {
        const uint64_t result = Rotl(m_state[1] * 5, 7) * 9;
        const uint64_t t = m_state[1] << 17;
        m_state[2] ^= m_state[0];
        m_state[3] ^= m_state[1];
        m_state[1] ^= m_state[2];
        m_state[0] ^= m_state[3];
        m_state[2] ^= t;
        m_state[3] = Rotl(m_state[3], 45);
        return result;
    }

    // Uniform in [0, 1).
    double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
    // True with probability p (p <= 0 never, p >= 1 always).
    bool Chance(double p) { return p > 0 && (p >= 1 || Uniform() < p); }
    // Uniform integer in [0, n); n > 0.
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>((Next() >> 32) * n >> 32); }

    // Standard normal deviate (polar Box-Muller).
    double Gauss() {
        if (m_haveSpare) {
            m_haveSpare = false;
            return m_spare;
        }
        double u, v, s;
        do {
            u = 2.0 * Uniform() - 1.0;
            v = 2.0 * Uniform() - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0 || s == 0.0);
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        m_spare = v * f;
        m_haveSpare = true;
        return u * f;
    }

    // A seed for an independent stream derived from this seed and a stream number.
    static uint64_t Derive(uint64_t seed, uint64_t stream) {
        uint64_t x = seed ^ (0xA0761D6478BD642Full * (stream + 1));
        return SplitMix(x);
    }

private:
    static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    static uint64_t SplitMix(uint64_t& x) {
        uint64_t z = (x += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    uint64_t m_state[4] = {};
    double m_spare = 0;
    bool m_haveSpare = false;
};
