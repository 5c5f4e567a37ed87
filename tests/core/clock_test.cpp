// The process-wide clock: installing fake clocks and the millisecond tick derived from it.

#include "core/Clock.h"

#include <gtest/gtest.h>

namespace {

TEST(Clock, ScopedClocksNestAndRestore) {
    const long double before = GetMicroseconds();
    {
        FakeClock outer(5'000.0L);
        ScopedClock useOuter(outer);
        EXPECT_EQ(GetMicroseconds(), 5'000.0L);
        {
            FakeClock inner(70'000.0L);
            ScopedClock useInner(inner);
            EXPECT_EQ(GetMicroseconds(), 70'000.0L);
            EXPECT_EQ(GetTickCount(), 70u);
        }
        outer.Advance(0.25L);
        EXPECT_EQ(GetMicroseconds(), 5'000.25L) << "fractions of a microsecond are kept";
        outer.AdvanceMs(2);
        EXPECT_EQ(GetTickCount(), 7u);
    }
    // The steady clock is back and never runs backwards.
    const long double after = GetMicroseconds();
    EXPECT_GE(after, before);
    EXPECT_GT(after, 70'000.0L) << "not a fake clock any more";
}

TEST(Clock, TickCountTruncatesAndWrapsAt32Bits) {
    struct Case {
        long double microseconds;
        uint32_t ticks;
    };
    FakeClock clock;
    ScopedClock use(clock);
    for (const Case& c : {Case{0, 0}, Case{999.9L, 0}, Case{1000, 1}, Case{123'456'789, 123'456},
                          Case{4'294'967'295'999.0L, 4'294'967'295u}, Case{4'294'967'296'000.0L, 0},
                          Case{4'294'967'297'500.0L, 1}}) {
        clock.Set(c.microseconds);
        EXPECT_EQ(GetTickCount(), c.ticks) << static_cast<double>(c.microseconds);
    }
}

} // namespace
