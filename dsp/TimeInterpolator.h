#pragma once
// Bounded ring of (time, value) entries appended in time order and read back by linear
// interpolation at arbitrary times: the text export resamples a record with it, the import of
// foreign text data resamples the imported samples to 100 per second.
//
// Every operation takes the object's lock for its whole duration, so pushes and reads may come
// from different threads.

#include "core/MCriticalSection.h"

#include <memory>

class TimeInterpolator {
public:
    // Left uninitialised so that a large ring costs no memory until it is filled.
    struct ATS {
        double t; // time, seconds
        double v; // stored value
    };

    static constexpr int kDefaultCapacity = 10000;
    static constexpr int kMinCapacity = 10;
    static constexpr int kMaxCapacity = 10'000'000;

    TimeInterpolator();
    TimeInterpolator(const TimeInterpolator&) = delete;
    TimeInterpolator& operator=(const TimeInterpolator&) = delete;

    // Clamps c to 10 ... 10,000,000, reallocates and empties the ring; capacity 0 when the
    // allocation fails.
    void SetCapacity(int c);
    // Value transform applied by Push(..., true): (value + offset) * scale. An offset or scale
    // outside -1e6 ... 1e6 (or not a number) is replaced by the neutral 0 or 1.
    void SetTransform(double offset, double scale);
    // Appends an entry; once the ring is full the oldest entry is overwritten. False only when
    // the ring has no storage.
    bool Push(double t, double value, bool transform);

    double FirstTime(); // time of the oldest entry; 0 when empty
    double LastTime();  // time of the newest entry; 0 when empty
    // Linear interpolation between the entries around t; the first value before the first entry,
    // the last value after the last one, 0 when empty.
    double ValueAt(double t);

    int Count();
    int Capacity();

private:
    int Prev(int i) const { return i == 0 ? m_capacity - 1 : i - 1; }
    int Next(int i) const { return i + 1 == m_capacity ? 0 : i + 1; }

    MCriticalSection m_lock;          // guards every member below
    std::unique_ptr<ATS[]> m_entries; // ring storage
    int m_capacity = 0;
    int m_count = 0;
    int m_head = 0; // oldest entry
    int m_tail = 0; // where the next entry goes
    double m_scale = 1.0;
    double m_offset = 0.0;
};
