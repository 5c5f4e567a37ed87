#pragma once
// Helpers for the record-file tests: temporary folders, file bytes, and an independent model
// of a record file (its own chunk parser) that says what a reader must return.

#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace rectest {

using Bytes = std::vector<uint8_t>;

using TempDir = testutil::TempDir;

inline Bytes ReadFile(const std::string& path) {
    Bytes b;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return b;
    struct stat st {};
    ::fstat(fd, &st);
    b.resize(size_t(st.st_size));
    const ssize_t r = ::pread(fd, b.data(), b.size(), 0);
    ::close(fd);
    b.resize(size_t(r < 0 ? 0 : r));
    return b;
}

// Replaces the file by a new one (a truncated rewrite would make the file system flush it).
inline void WriteFile(const std::string& path, const Bytes& bytes) {
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    ::close(fd);
}

inline int64_t MTimeNs(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

inline uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

// One chunk of a sound record, as parsed by the model.
struct Chunk {
    int64_t pos = 0;
    uint8_t id = 0;
    int headerLength = 0;
    int64_t length = 0;
    int64_t backLink = 0;
    int64_t Payload() const { return pos + headerLength; }
    int64_t End() const { return Payload() + length; }
};

// The compact integer of a chunk header, decoded the plain way; 0 bytes when it does not fit.
inline int DecodeCompact(const Bytes& b, size_t at, int64_t& value) {
    if (at >= b.size()) return 0;
    const int n = b[at] >> 3;
    if (n > 7 || at + 1 + size_t(n) > b.size()) return 0; // records never need more
    uint64_t m = b[at] & 3;
    for (int i = 0; i < n; ++i) m += uint64_t(b[at + 1 + size_t(i)]) << (8 * i + 2);
    value = (b[at] & 4) ? -int64_t(m) : int64_t(m);
    return n + 1;
}

// Chunks back to back from offset 0, up to the first one that is not complete.
inline std::vector<Chunk> ParseChunks(const Bytes& b) {
    std::vector<Chunk> out;
    size_t p = 0;
    while (p + 2 <= b.size() && b[p] == 0x47 && b[p + 1] <= 100) {
        Chunk c;
        c.pos = int64_t(p);
        c.id = b[p + 1];
        int64_t back = 0, len = 0;
        const int nb = DecodeCompact(b, p + 2, back);
        if (!nb) break;
        const int nl = DecodeCompact(b, p + 2 + size_t(nb), len);
        if (!nl || len < 0) break;
        c.headerLength = 2 + nb + nl;
        c.length = len;
        c.backLink = back;
        if (c.End() > int64_t(b.size())) break;
        out.push_back(c);
        p = size_t(c.End());
    }
    return out;
}

struct Sample {
    double value = 0;
    double time = 0;
    int64_t chunk = 0;  // samples chunk it comes from
    int32_t offset = 0; // its byte offset in that payload
};

struct HrEntry {
    double hr = 0;
    double time = 0;
};

struct Stamp {
    int64_t pos = 0;
    uint32_t ms = 0;
    uint16_t period = 0;
    uint16_t divisor = 0;
};

// What reading a record returns, derived from its bytes alone.
struct RecordModel {
    Bytes bytes;
    std::vector<Chunk> chunks;
    std::vector<Stamp> stamps;
    std::vector<Sample> samples; // sequential read from the start, right after opening
    std::vector<HrEntry> heartRates;

    explicit RecordModel(Bytes b) : bytes(std::move(b)), chunks(ParseChunks(bytes)) {
        for (const Chunk& c : chunks) {
            if (c.id == 1 && c.length == 12) {
                const uint8_t* p = &bytes[size_t(c.Payload())];
                stamps.push_back({c.pos, Le32(p + 4), Le16(p + 8), Le16(p + 10)});
            }
        }
        // Before the first stamp the reader uses the first stamp's period and divisor, starting
        // at time 0; without any stamp the divisor 10000 and no time advance.
        uint16_t period = stamps.empty() ? 0 : stamps[0].period;
        uint16_t divisor = stamps.empty() ? 10000 : stamps[0].divisor;
        double t = 0;
        for (const Chunk& c : chunks) {
            const uint8_t* p = &bytes[size_t(c.Payload())];
            if (c.id == 1 && c.length == 12) {
                period = Le16(p + 8);
                divisor = Le16(p + 10);
                t = Le32(p + 4) * 0.001;
            } else if (c.id == 2) {
                const double scale = divisor > 0.000001 ? 1.0 / divisor : 1.0;
                const double step = period * 0.001;
                for (int64_t j = 0; j + 1 < c.length; j += 2) {
                    samples.push_back({int16_t(Le16(p + j)) * scale, t, c.pos, int32_t(j)});
                    t += step;
                }
            } else if (c.id == 3 && c.length == 8) {
                heartRates.push_back({Le16(p + 4) * 0.01, Le32(p) * 0.001});
            }
        }
    }

    double StartTime() const { return stamps.empty() ? -1.0 : stamps.front().ms * 0.001; }
    double EndTime() const { return stamps.empty() ? -1.0 : stamps.back().ms * 0.001; }

    struct SeekResult {
        int64_t chunk = -1; // -1: past the last chunk
        int32_t offset = 0;
        double currentTime = 0;
    };

    // Where a seek to t puts the reader: at the first sample whose sequential time is at or
    // after t, found from the stamps on both sides of t (stamps increase through a record).
    SeekResult Seek(double t) const {
        SeekResult r;
        const int64_t target = int64_t(t * 1000.0);
        int before = -1;
        for (size_t i = 0; i < stamps.size(); ++i)
            if (int64_t(stamps[i].ms) < target) before = int(i);
        const int after = before + 1 < int(stamps.size()) ? before + 1 : -1;
        // The period of the last stamp read on the way; all stamps of a record share it.
        const uint16_t period = stamps[size_t(after >= 0 ? after : before)].period;
        auto periodsUntil = [&](uint32_t ms) -> int64_t {
            if (period == 0) return 0;
            const double need = (t * 1000.0 - ms) / period;
            return need > 0 ? int64_t(std::ceil(need - 1e-6)) : 0;
        };
        // Skips n samples in the samples chunks after the chunk at `from`, up to the chunk at
        // `stop`; false when `stop` comes first.
        auto skip = [&](int64_t from, int64_t n, int64_t stop) {
            int64_t bytes = 2 * n;
            r.chunk = -1;
            r.offset = 0;
            for (const Chunk& c : chunks) {
                if (c.pos <= from) continue;
                if (c.pos == stop) {
                    r.chunk = c.pos;
                    return false;
                }
                if (c.id != 2) continue;
                if (bytes < c.length) {
                    r.chunk = c.pos;
                    r.offset = int32_t(bytes);
                    return true;
                }
                bytes -= c.length;
            }
            return true;
        };
        if (before < 0) {
            const Stamp& a = stamps[size_t(after)];
            r.chunk = a.pos;
            r.currentTime = a.ms * 0.001;
            const int64_t n = periodsUntil(a.ms);
            if (n > 0) {
                r.currentTime += double(n) * (period * 0.001);
                skip(a.pos, n, -1);
            }
            return r;
        }
        const Stamp& b = stamps[size_t(before)];
        r.chunk = b.pos;
        r.currentTime = b.ms * 0.001;
        if (after < 0) return r;
        const Stamp& a = stamps[size_t(after)];
        const int64_t k = periodsUntil(b.ms);
        if (skip(b.pos, k, a.pos)) {
            r.currentTime = b.ms * 0.001 + double(k) * (period * 0.001);
            return r;
        }
        const int64_t n = periodsUntil(a.ms);
        r.currentTime = a.ms * 0.001 + double(n) * (period * 0.001);
        skip(a.pos, n, -1);
        return r;
    }
};

} // namespace rectest
