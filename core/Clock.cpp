#include "core/Clock.h"

#include <chrono>
#include <cmath>

namespace {

// Constant-initialised, so it is valid before any dynamic initialisation and after every static
// destructor; null means the steady clock.
std::atomic<IClock*> g_clock{nullptr};

long double SteadyMicroseconds() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return static_cast<long double>(ns) / 1000.0L;
}

} // namespace

long double SteadyClock::Microseconds() const {
    return SteadyMicroseconds();
}

long double FakeClock::Microseconds() const {
    return static_cast<long double>(m_nanoseconds.load(std::memory_order_acquire)) / 1000.0L;
}

void FakeClock::Set(long double microseconds) {
    m_nanoseconds.store(static_cast<int64_t>(std::llround(microseconds * 1000.0L)),
                        std::memory_order_release);
}

void FakeClock::Advance(long double microseconds) {
    m_nanoseconds.fetch_add(static_cast<int64_t>(std::llround(microseconds * 1000.0L)),
                            std::memory_order_acq_rel);
}

IClock* SetClock(IClock* clock) {
    return g_clock.exchange(clock, std::memory_order_acq_rel);
}

long double GetMicroseconds() {
    const IClock* clock = g_clock.load(std::memory_order_acquire);
    return clock ? clock->Microseconds() : SteadyMicroseconds();
}

uint32_t GetTickCount() {
    const long double ms = std::floor(GetMicroseconds() / 1000.0L);
    if (ms <= 0) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(ms)); // wraps modulo 2^32
}
