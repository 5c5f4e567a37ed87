#pragma once
// One process-wide monotonic clock. Production reads std::chrono::steady_clock; tests and
// simulators install a FakeClock and move time explicitly, so nothing has to sleep to let a
// period pass. Every time-based part of the program (scheduler, decoder, plots) reads it through
// GetMicroseconds / GetTickCount.

#include <atomic>
#include <cstdint>

class IClock {
public:
    virtual ~IClock() = default;
    // Microseconds since an arbitrary epoch; only differences matter. Must be callable from any thread.
    virtual long double Microseconds() const = 0;
};

class SteadyClock final : public IClock {
public:
    long double Microseconds() const override;
};

// A clock that only moves when told to. Thread-safe: a worker may read it while a test advances it.
class FakeClock final : public IClock {
public:
    explicit FakeClock(long double startMicroseconds = 0) { Set(startMicroseconds); }

    long double Microseconds() const override;
    void Set(long double microseconds);
    void Advance(long double microseconds);
    void AdvanceMs(long double milliseconds) { Advance(milliseconds * 1000); }

private:
    // Whole nanoseconds, so fractions of a microsecond survive and updates stay lock-free.
    std::atomic<int64_t> m_nanoseconds{0};
};

// The clock every reader uses. SetClock(nullptr) restores the steady clock. Returns the previous
// clock (null for the steady clock). The caller keeps ownership and must keep the clock alive
// while it is installed.
IClock* SetClock(IClock* clock);

// Monotonic microseconds on the current clock.
long double GetMicroseconds();
// Milliseconds on the current clock, wrapping at 2^32 like the classic tick counter.
uint32_t GetTickCount();

// Installs a clock for the lifetime of the guard and puts the previous one back afterwards.
class ScopedClock {
public:
    explicit ScopedClock(IClock& clock) : m_previous(SetClock(&clock)) {}
    ~ScopedClock() { SetClock(m_previous); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    IClock* m_previous;
};
