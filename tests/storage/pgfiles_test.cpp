#include "storage/PGFiles.h"
#include "tests/common/Golden.h"
#include "tests/storage/RecordTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <ctime>
#include <random>
#include <sys/wait.h>

namespace {

using namespace rectest;

MString P(const std::string& s) {
    return MString(s);
}

int16_t Stored(double v) {
    const double x = v * 10000.0;
    if (x >= 32767) return 32767;
    if (x <= -32768) return -32768;
    if (x != x) return 0;
    return int16_t(x);
}

std::vector<double> Repeat(double v, int n) {
    return std::vector<double>(size_t(n), v);
}

// Reads every sample from the reader's position on, in blocks of `block`.
std::vector<Sample> ReadAll(PGFiles& f, int block = 200) {
    std::vector<Sample> out;
    std::vector<double> v(static_cast<size_t>(block)), t(static_cast<size_t>(block));
    for (;;) {
        const int32_t n = f.ReadRawSamples(v.data(), t.data(), block);
        if (n <= 0) break;
        for (int32_t i = 0; i < n; ++i) out.push_back({v[size_t(i)], t[size_t(i)], 0, 0});
    }
    return out;
}

std::vector<HrEntry> DrainQueue(PGFiles& f) {
    std::vector<HrEntry> out;
    sHrMeasure m;
    while (f.HeartRateQueue.TryPop(m)) out.push_back({m.hr, m.time});
    return out;
}

// ---------------------------------------------------------------------------------------------
// File layout

TEST(PGFiles, GoldenRecordStart) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    ASSERT_TRUE(f.Create(P(path)));
    EXPECT_TRUE(f.IsOpen());
    EXPECT_TRUE(f.IsWriting());
    const double a[] = {0.5, 0.25, 1.0, 0.75};
    // Truncation toward zero, a value below one step, and values beyond the int16 range.
    const double b[] = {-0.5, 0.00005, 3.5, -0.0001};
    ASSERT_TRUE(f.WriteSamples(a, 4, 0.002));
    ASSERT_TRUE(f.WriteSamples(b, 4, 0.002));
    ASSERT_TRUE(f.WriteHeartRate(72.5, 0.010));
    EXPECT_DOUBLE_EQ(f.CurrentTime(), 0.016);
    f.Close();
    EXPECT_FALSE(f.IsOpen());
    const Bytes expected = {
        0x47, 0x02, 0x00, 0x08, 0x02, 0x88, 0x13, 0xC4, 0x09, 0x10, 0x27, 0x4C, 0x1D,       // samples
        0x47, 0x02, 0x09, 0x03, 0x08, 0x02, 0x78, 0xEC, 0x00, 0x00, 0xFF, 0x7F, 0xFF, 0xFF, // samples
        0x47, 0x03, 0x0A, 0x03, 0x08, 0x02, 0x0A, 0x00, 0x00, 0x00, 0x52, 0x1C, 0x00, 0x00, // heart rate
        0x47, 0x04, 0x0A, 0x03, 0x08, 0x01, 0x00, 0x00, 0x00, 0x00, // metadata: no entries
    };
    EXPECT_TRUE(golden::Bytes("pgfiles_record_start", expected, ReadFile(path)));

    // Without a time stamp the record has no time range; samples still read with the one
    // divisor of the format, all at time 0.
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_FALSE(f.IsWriting());
    EXPECT_EQ(f.StartTime(), -1.0);
    EXPECT_EQ(f.EndTime(), -1.0);
    double v[10], t[10];
    ASSERT_EQ(f.ReadRawSamples(v, t, 10), 8);
    const double values[] = {0.5, 0.25, 1.0, 0.75, -0.5, 0.0, 3.2767, -0.0001};
    for (int i = 0; i < 8; ++i) {
        EXPECT_DOUBLE_EQ(v[i], values[i]) << i;
        EXPECT_EQ(t[i], 0.0);
    }
    const auto hr = DrainQueue(f);
    ASSERT_EQ(hr.size(), 1u);
    EXPECT_FLOAT_EQ(float(hr[0].hr), 72.5f);
    EXPECT_DOUBLE_EQ(hr[0].time, 0.010);
    EXPECT_DOUBLE_EQ(f.CurrentHeartRate(), 72.5);
    EXPECT_EQ(f.ReadRawSamples(v, t, 10), 0);
}

TEST(PGFiles, GoldenTimeStamp) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    ASSERT_TRUE(f.Create(P(path)));
    const auto block = Repeat(0.1, 1500);
    const int32_t before = int32_t(std::time(nullptr));
    ASSERT_TRUE(f.WriteSamples(block.data(), 1500, 0.002)); // 0 ... 3.0 s: no stamp yet
    ASSERT_TRUE(f.WriteSamples(block.data(), 4, 0.002));    // starts at 3.0 s: not past 3 s
    ASSERT_TRUE(f.WriteSamples(block.data(), 4, 0.002));    // starts at 3.008 s
    const int32_t after = int32_t(std::time(nullptr));
    f.Close();
    RecordModel m(ReadFile(path));
    ASSERT_EQ(m.stamps.size(), 1u);
    const Chunk* stamp = nullptr;
    for (const Chunk& c : m.chunks)
        if (c.id == 1) stamp = &c;
    ASSERT_NE(stamp, nullptr);
    ASSERT_EQ(stamp->length, 12);
    const uint8_t* p = &m.bytes[size_t(stamp->Payload())];
    const int32_t wall = int32_t(Le32(p));
    EXPECT_GE(wall, before);
    EXPECT_LE(wall, after);
    EXPECT_TRUE(golden::Bytes("pgfiles_stamp", Bytes{0xC0, 0x0B, 0x00, 0x00, 0x02, 0x00, 0x10, 0x27},
                              Bytes(p + 4, p + 12)));
    // The stamp sits right before the third samples chunk.
    EXPECT_EQ(m.chunks[2].id, 1);
    EXPECT_EQ(m.chunks[3].id, 2);
    EXPECT_EQ(m.chunks[3].length, 8);

    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_DOUBLE_EQ(f.StartTime(), 3.008);
    EXPECT_DOUBLE_EQ(f.EndTime(), 3.008);
    EXPECT_EQ(f.StampFields().periodMs, 2);
    EXPECT_EQ(f.StampFields().divisor, 10000);
}

TEST(PGFiles, StampsFollowEveryThreeSeconds) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    ASSERT_TRUE(f.Create(P(path)));
    const auto block = Repeat(0.3, 4);
    for (int i = 0; i < 1250; ++i) ASSERT_TRUE(f.WriteSamples(block.data(), 4, 0.002)); // 10 s
    f.Close();
    RecordModel m(ReadFile(path));
    ASSERT_EQ(m.stamps.size(), 3u);
    // Each stamp comes with the first block past 3 s after the previous stamp's whole second.
    for (size_t i = 0; i < 3; ++i) {
        const uint32_t due = i == 0 ? 3000 : (m.stamps[i - 1].ms / 1000 + 3) * 1000;
        EXPECT_GE(m.stamps[i].ms, due) << i;
        EXPECT_LE(m.stamps[i].ms, due + 8) << i;
    }
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_NEAR(f.EndTime() - f.StartTime(), 6.0, 0.01);
}

TEST(PGFiles, StampsOfLiveBlocksKeepTheirWholeMilliseconds) {
    // Blocks of 28 samples 2 ms apart, as the device delivers them: every block starts on a
    // whole 56 ms, and so does every stamp, however the summed period rounds.
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    ASSERT_TRUE(f.Create(P(path)));
    const auto block = Repeat(0.3, 28);
    for (int i = 0; i < 12'000; ++i) ASSERT_TRUE(f.WriteSamples(block.data(), 28, 0.002)); // 672 s
    f.Close();
    RecordModel m(ReadFile(path));
    ASSERT_GT(m.stamps.size(), 200u);
    for (const auto& stamp : m.stamps) EXPECT_EQ(stamp.ms % 56, 0u) << stamp.ms;
}

TEST(PGFiles, WritingRefusals) {
    TempDir dir;
    PGFiles f;
    const double v[] = {0.1, 0.2};
    EXPECT_FALSE(f.WriteSamples(v, 2, 0.002)); // nothing open
    EXPECT_FALSE(f.WriteHeartRate(60, 1));
    EXPECT_FALSE(f.WriteRegulatorState(1, 2, 3));
    EXPECT_FALSE(f.Create(P(dir.File("missing/a.pwv"))));
    EXPECT_FALSE(f.IsOpen());
    ASSERT_TRUE(f.Create(P(dir.File("a.pwv"))));
    EXPECT_FALSE(f.WriteSamples(v, 0, 0.002));
    EXPECT_FALSE(f.WriteSamples(v, -1, 0.002));
    EXPECT_FALSE(f.WriteSamples(v, 2, 0.0));
    EXPECT_FALSE(f.WriteSamples(v, 2, std::nan("")));
    EXPECT_FALSE(f.WriteSamples(nullptr, 2, 0.002));
    EXPECT_EQ(f.CurrentTime(), 0.0);
    // Reading is for opened records only.
    double rv[2], rt[2];
    EXPECT_EQ(f.ReadRawSamples(rv, rt, 2), 0);
    f.Close();
    EXPECT_EQ(ReadFile(dir.File("a.pwv")).size(), 9u); // only the metadata chunk
    // Opening for writing is refused too.
    ASSERT_TRUE(f.Open(P(dir.File("a.pwv"))));
    EXPECT_FALSE(f.WriteSamples(v, 2, 0.002));
    EXPECT_FALSE(f.Open(P(dir.File("nothing.pwv"))));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.Open(P(dir.Path()))); // a folder
}

TEST(PGFiles, ReadsContinueInsideAChunk) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    ASSERT_TRUE(f.Create(P(path)));
    for (int b = 0; b < 2000; ++b) {
        double v[4];
        for (int i = 0; i < 4; ++i) v[i] = (b * 4 + i) * 0.0001;
        ASSERT_TRUE(f.WriteSamples(v, 4, 0.002));
    }
    f.Close();
    ASSERT_TRUE(f.Open(P(path)));
    double v[3], t[3];
    std::vector<double> values, times;
    for (int call = 0; call < 2; ++call) {
        ASSERT_EQ(f.ReadRawSamples(v, t, 3), 3);
        values.insert(values.end(), v, v + 3);
        times.insert(times.end(), t, t + 3);
    }
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_NEAR(values[i], i * 0.0001, 1e-9) << i;
        EXPECT_NEAR(times[i], i * 0.002, 1e-12) << i; // the first stamp's period from the start
    }
    EXPECT_EQ(f.GetReadPosition().offset, 4); // inside the second chunk
}

// ---------------------------------------------------------------------------------------------
// Random records: everything written reads back, seeks land where a scan says.

struct Written {
    std::vector<int16_t> samples;
    std::vector<double> times; // the writer's time of each sample
    std::vector<HrEntry> heartRates;
    std::vector<std::pair<std::u16string, std::u16string>> meta;
    double period = 0.002;
};

Written WriteRandomRecord(const std::string& path, std::mt19937& rng, double seconds, double period) {
    Written w;
    w.period = period;
    PGFiles f;
    EXPECT_TRUE(f.Create(P(path)));
    std::uniform_real_distribution<double> unit(0, 1);
    double phase = 0;
    std::vector<double> block(200);
    for (int guard = 0; f.CurrentTime() < seconds && guard < 1'000'000; ++guard) {
        const int n = 1 + int(rng() % 200);
        const double start = f.CurrentTime();
        for (int i = 0; i < n; ++i) {
            phase += period * 1.2 * 2 * M_PI;
            double v = 0.4 + 0.35 * std::sin(phase) + 0.05 * (unit(rng) - 0.5);
            if (rng() % 500 == 0) v = (rng() % 2 ? 4.0 : -4.0); // beyond what int16 holds
            block[size_t(i)] = v;
            w.samples.push_back(Stored(v));
            w.times.push_back(start + i * period);
        }
        EXPECT_TRUE(f.WriteSamples(block.data(), n, period));
        if (rng() % 3 == 0) {
            const double hr = 40 + unit(rng) * 150;
            const double t = std::max(0.0, f.CurrentTime() - unit(rng) * 0.3);
            EXPECT_TRUE(f.WriteHeartRate(hr, t));
            w.heartRates.push_back({uint16_t(hr * 100) * 0.01, uint32_t(t * 1000) * 0.001});
        }
        if (rng() % 10 == 0) {
            EXPECT_TRUE(f.WriteRegulatorState(uint8_t(rng()), uint8_t(rng()), uint8_t(1 + rng() % 3)));
        }
    }
    const std::u16string keys[] = {u"PatName", u"PatAge", u"RecordStartT", u"Заметки"};
    for (const auto& k : keys) {
        if (rng() % 4 == 0) continue;
        std::u16string value;
        const int len = int(rng() % 30);
        for (int i = 0; i < len; ++i) value += char16_t(rng() % 2 ? u'a' + rng() % 26 : u'а' + rng() % 32);
        f.Metadata.Value(k) = value;
        w.meta.emplace_back(k, value);
    }
    f.Close();
    return w;
}

void ExpectMetadata(PGFiles& f, const std::vector<std::pair<std::u16string, std::u16string>>& meta) {
    ASSERT_EQ(f.Metadata.Count(), int(meta.size()));
    for (size_t i = 0; i < meta.size(); ++i) {
        EXPECT_TRUE(f.Metadata.At(int(i)).key.Equals(MString(meta[i].first)));
        EXPECT_TRUE(f.Metadata.At(int(i)).value.Equals(MString(meta[i].second)));
    }
}

// Everything a sequential read returns, and the heart rates it queues, equal the model; the
// model equals what was written.
void CheckSequentialRead(const std::string& path, const Written& w, std::mt19937& rng) {
    const RecordModel m(ReadFile(path));
    ASSERT_EQ(m.samples.size(), w.samples.size());
    for (size_t i = 0; i < w.samples.size(); ++i) {
        ASSERT_EQ(std::lround(m.samples[i].value * 10000), w.samples[i]) << i;
        ASSERT_NEAR(m.samples[i].time, w.times[i], 0.0015) << i;
    }
    ASSERT_EQ(m.heartRates.size(), w.heartRates.size());

    PGFiles f;
    ASSERT_TRUE(f.Open(P(path), PGFiles::OpenMode::ReadOnly));
    EXPECT_EQ(f.StartTime(), m.StartTime());
    EXPECT_EQ(f.EndTime(), m.EndTime());
    std::vector<double> v(600), t(600);
    std::vector<HrEntry> hrs;
    size_t k = 0;
    for (;;) {
        const int32_t want = 1 + int32_t(rng() % 600);
        const int32_t n = f.ReadRawSamples(v.data(), t.data(), want);
        ASSERT_GE(n, 0);
        for (int32_t i = 0; i < n; ++i, ++k) {
            ASSERT_LT(k, m.samples.size());
            ASSERT_EQ(v[size_t(i)], m.samples[k].value) << k;
            ASSERT_EQ(t[size_t(i)], m.samples[k].time) << k;
        }
        for (const HrEntry& h : DrainQueue(f)) hrs.push_back(h);
        if (n < want) break;
    }
    EXPECT_EQ(k, m.samples.size());
    EXPECT_EQ(f.ReadRawSamples(v.data(), t.data(), 10), 0); // stays at the end
    ASSERT_EQ(hrs.size(), w.heartRates.size());
    for (size_t i = 0; i < hrs.size(); ++i) {
        EXPECT_EQ(float(hrs[i].hr), float(w.heartRates[i].hr)) << i;
        EXPECT_EQ(hrs[i].time, w.heartRates[i].time) << i;
    }

    // Heart rates alone, from the start: CurrentTime stays.
    ASSERT_TRUE(f.Open(P(path), PGFiles::OpenMode::ReadOnly));
    std::vector<double> hr(w.heartRates.size() + 5), ht(w.heartRates.size() + 5);
    const int32_t nh = f.ReadHeartRates(hr.data(), ht.data(), int32_t(hr.size()));
    ASSERT_EQ(nh, int32_t(w.heartRates.size()));
    for (int32_t i = 0; i < nh; ++i) {
        EXPECT_EQ(hr[size_t(i)], w.heartRates[size_t(i)].hr);
        EXPECT_EQ(ht[size_t(i)], w.heartRates[size_t(i)].time);
    }
    EXPECT_EQ(f.CurrentTime(), 0.0);
    if (nh > 0) {
        EXPECT_EQ(f.CurrentHeartRate(), hr[size_t(nh) - 1]);
    }
}

// Seeks to random times in random order, from wherever the previous reads left the reader.
void CheckSeeks(const std::string& path, std::mt19937& rng, int count) {
    const RecordModel m(ReadFile(path));
    ASSERT_FALSE(m.stamps.empty());
    PGFiles f;
    ASSERT_TRUE(f.Open(P(path), PGFiles::OpenMode::ReadOnly));
    const double lo = f.StartTime(), hi = f.EndTime();
    const double period = m.stamps[0].period * 0.001;
    std::uniform_real_distribution<double> when(lo - 1.0, hi + 1.0);
    std::vector<double> v(300), t(300);
    for (int i = 0; i < count; ++i) {
        double target = when(rng);
        switch (rng() % 6) {
            case 0:
                target = m.stamps[rng() % m.stamps.size()].ms * 0.001;
                break; // on a stamp
            case 1:
                target = lo + std::round((target - lo) / period) * period;
                break; // on a sample
            default:
                break;
        }
        ASSERT_TRUE(f.SeekTime(target, rng() % 2 == 0));
        const auto expect = m.Seek(target);
        const auto pos = f.GetReadPosition();
        ASSERT_EQ(pos.chunk, expect.chunk) << "t = " << target << " seek " << i;
        ASSERT_EQ(pos.offset, expect.offset) << "t = " << target;
        ASSERT_EQ(f.CurrentTime(), expect.currentTime) << "t = " << target;

        // The samples that follow are those of a sequential read from there.
        const int32_t want = 1 + int32_t(rng() % 300);
        const int32_t n = f.ReadRawSamples(v.data(), t.data(), want);
        if (expect.chunk < 0 || n == 0) continue;
        auto it = std::find_if(m.samples.begin(), m.samples.end(), [&](const Sample& s) {
            return s.chunk > expect.chunk || (s.chunk == expect.chunk && s.offset >= expect.offset);
        });
        ASSERT_NE(it, m.samples.end());
        EXPECT_EQ(t[0], expect.currentTime);
        if (target > lo && target <= hi) {
            EXPECT_GE(t[0], target - 1e-6) << "t = " << target; // the first sample at or after t
            // Stamps are truncated to whole milliseconds, so the times a read gives can leave a gap
            // of one period plus up to a millisecond at a stamp.
            EXPECT_LT(t[0], target + period + 0.001) << "t = " << target;
        } else if (target <= lo) {
            EXPECT_EQ(t[0], lo);
        }
        for (int32_t j = 0; j < n && it != m.samples.end(); ++j, ++it) {
            ASSERT_EQ(v[size_t(j)], it->value) << "t = " << target << " sample " << j;
            ASSERT_NEAR(t[size_t(j)], it->time, 1e-9) << "t = " << target << " sample " << j;
        }
        // Now and then the reader goes to the end before the next seek.
        if (rng() % 8 == 0) ReadAll(f, 1000);
        if (rng() % 8 == 0) {
            double hr[4], ht[4];
            f.ReadHeartRates(hr, ht, 4);
        }
        DrainQueue(f);
    }
}

TEST(PGFilesProperty, RandomRecordsRoundTrip) {
    TempDir dir;
    std::mt19937 rng(20240601);
    struct Kind {
        double seconds;
        double period;
    };
    const Kind kinds[] = {{25, 0.002}, {70, 0.002}, {12, 0.002}, {140, 0.002}, {60, 0.01}, {45, 0.002}};
    int index = 0;
    for (const Kind& kind : kinds) {
        SCOPED_TRACE("record " + std::to_string(index));
        const std::string path = dir.File("r" + std::to_string(index++) + ".pwv");
        const Written w = WriteRandomRecord(path, rng, kind.seconds, kind.period);
        const Bytes written = ReadFile(path);
        const RecordModel first(written);
        ASSERT_FALSE(first.chunks.empty());
        ASSERT_EQ(first.chunks.back().id, PGFiles::kMetadataId);
        const int64_t metaPos = first.chunks.back().pos;

        // Several closes and reopens: metadata grows, shrinks, stays; samples never move.
        PGFiles f;
        ASSERT_TRUE(f.Open(P(path)));
        ExpectMetadata(f, w.meta);
        auto meta = w.meta;
        f.Metadata.Value(u"PatNotice") = u"длинная заметка о пациенте, несколько строк\r\nвторая";
        meta.emplace_back(u"PatNotice", u"длинная заметка о пациенте, несколько строк\r\nвторая");
        f.Close();
        ASSERT_TRUE(f.Open(P(path)));
        ExpectMetadata(f, meta);
        f.Metadata.Value(u"PatNotice") = u"кратко";
        meta.back().second = u"кратко";
        f.Close();
        const Bytes shrunk = ReadFile(path);
        ASSERT_TRUE(f.Open(P(path)));
        ExpectMetadata(f, meta);
        f.Close();
        EXPECT_EQ(ReadFile(path), shrunk); // unchanged metadata is not written again
        ASSERT_TRUE(f.Open(P(path), PGFiles::OpenMode::ReadOnly));
        f.Metadata.Value(u"Ignored") = u"x";
        f.Close();
        EXPECT_EQ(ReadFile(path), shrunk);
        ASSERT_GE(shrunk.size(), written.size());
        EXPECT_TRUE(std::equal(written.begin(), written.begin() + metaPos, shrunk.begin()));

        CheckSequentialRead(path, w, rng);
        CheckSeeks(path, rng, 300);
    }
}

// A file cut anywhere in its last chunk reads up to the last complete chunk.
TEST(PGFilesProperty, CutFilesReadUpToTheLastCompleteChunk) {
    TempDir dir;
    std::mt19937 rng(77);
    const std::string path = dir.File("full.pwv");
    WriteRandomRecord(path, rng, 16, 0.002);
    const Bytes full = ReadFile(path);
    const RecordModel whole(full);
    ASSERT_GE(whole.chunks.size(), 3u);
    // The metadata chunk last, and the last samples chunk with everything after it removed.
    std::vector<std::pair<int64_t, int64_t>> ranges;
    ranges.emplace_back(whole.chunks.back().pos, whole.chunks.back().End());
    for (auto c = whole.chunks.rbegin(); c != whole.chunks.rend(); ++c)
        if (c->id == 2) {
            ranges.emplace_back(c->pos, c->End());
            break;
        }
    const std::string cutPath = dir.File("cut.pwv");
    PGFiles f;
    for (const auto& [from, to] : ranges) {
        for (int64_t len = from; len < to; ++len) {
            const Bytes cut(full.begin(), full.begin() + len);
            WriteFile(cutPath, cut);
            const RecordModel m(cut);
            ASSERT_TRUE(f.Open(P(cutPath), PGFiles::OpenMode::ReadOnly)) << len;
            EXPECT_EQ(f.StartTime(), m.StartTime()) << len;
            EXPECT_EQ(f.EndTime(), m.EndTime()) << len;
            EXPECT_EQ(f.Metadata.Count(), 0) << len; // the metadata chunk is incomplete or gone
            const auto got = ReadAll(f, 1 + int(rng() % 400));
            ASSERT_EQ(got.size(), m.samples.size()) << len;
            for (size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(got[i].value, m.samples[i].value) << len << " sample " << i;
                ASSERT_EQ(got[i].time, m.samples[i].time) << len << " sample " << i;
            }
            // A queue of 32 that nobody drained: every 32nd push empties it.
            const size_t pushed = m.heartRates.size();
            EXPECT_EQ(DrainQueue(f).size(), pushed == 0 ? 0 : (pushed - 1) % 31 + 1) << len;
            f.Close();
            EXPECT_EQ(ReadFile(cutPath), cut);
        }
    }
}

} // namespace
