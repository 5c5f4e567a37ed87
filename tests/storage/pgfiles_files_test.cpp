// Record files on disk: metadata rewriting, read-only use, damaged and foreign files, and a
// recorder killed in the middle of a recording.

#include "core/MFileStream.h"
#include "storage/MMuxer.h"
#include "storage/PGFiles.h"
#include "tests/storage/RecordTestUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <random>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace rectest;

MString P(const std::string& s) {
    return MString(s);
}

// A steady synthetic pulse wave: value of sample i.
double Wave(int64_t i) {
    const double t = i * 0.002;
    return 0.45 + 0.3 * std::sin(2 * M_PI * 1.2 * t) + 0.1 * std::sin(2 * M_PI * 0.07 * t);
}

// Records `seconds` as the live recorder does: blocks of 28 samples, a heart rate per beat, a
// regulator state every 3 s.
void Record(const std::string& path, double seconds, PGFiles& f) {
    ASSERT_TRUE(f.Create(P(path)));
    double block[28];
    int64_t i = 0;
    double nextBeat = 0.8, nextState = 0;
    for (int guard = 0; f.CurrentTime() < seconds && guard < 10'000'000; ++guard) {
        for (int j = 0; j < 28; ++j) block[j] = Wave(i + j);
        i += 28;
        ASSERT_TRUE(f.WriteSamples(block, 28, 0.002));
        if (f.CurrentTime() >= nextBeat) {
            ASSERT_TRUE(f.WriteHeartRate(72.0, nextBeat));
            nextBeat += 60.0 / 72.0;
        }
        if (f.CurrentTime() >= nextState) {
            ASSERT_TRUE(f.WriteRegulatorState(200, 180, 2));
            nextState += 3;
        }
    }
}

std::vector<Sample> ReadAll(PGFiles& f) {
    std::vector<Sample> out;
    double v[256], t[256];
    for (int32_t n; (n = f.ReadRawSamples(v, t, 256)) > 0;)
        for (int32_t i = 0; i < n; ++i) out.push_back({v[i], t[i], 0, 0});
    return out;
}

// ---------------------------------------------------------------------------------------------
// Metadata at Close

TEST(PGFilesClose, ViewedRecordGetsItsMetadataInPlace) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    Record(path, 10, f);
    f.Metadata.Value(u"RecordStartT") = u"1700000000";
    f.Close();
    const Bytes recorded = ReadFile(path);

    // Reading a key adds it; the next close stores it over the old chunk.
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_TRUE(f.Metadata.Value(u"RecordStartT").Equals(u"1700000000"));
    EXPECT_TRUE(f.Metadata.Value(u"PatName").IsEmpty());
    f.Close();
    const Bytes viewed = ReadFile(path);
    const RecordModel a(recorded), b(viewed);
    ASSERT_EQ(b.chunks.size(), a.chunks.size()); // replaced, not appended
    EXPECT_EQ(b.chunks.back().pos, a.chunks.back().pos);
    EXPECT_GT(viewed.size(), recorded.size());

    // Unchanged metadata: a second close leaves bytes and modification time alone.
    const int64_t mtime = MTimeNs(path);
    ASSERT_TRUE(f.Open(P(path)));
    double v[100], t[100];
    f.SeekTime(5, false);
    f.ReadRawSamples(v, t, 100);
    f.Close();
    EXPECT_EQ(ReadFile(path), viewed);
    EXPECT_EQ(MTimeNs(path), mtime);
}

TEST(PGFilesClose, ReadOnlyModeNeverWrites) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    {
        PGFiles w;
        Record(path, 8, w);
        w.Close();
        // Killed-recorder style: no metadata chunk at all.
        Bytes b = ReadFile(path);
        RecordModel m(b);
        b.resize(size_t(m.chunks.back().pos));
        WriteFile(path, b);
    }
    const Bytes before = ReadFile(path);
    const int64_t mtime = MTimeNs(path);
    PGFiles f;
    ASSERT_TRUE(f.Open(P(path), PGFiles::OpenMode::ReadOnly));
    f.Metadata.Value(u"PatName") = u"x";
    ReadAll(f);
    f.SeekTime(3.5, true);
    double hr[10], ht[10];
    f.ReadHeartRates(hr, ht, 10);
    f.Close();
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(MTimeNs(path), mtime);

    // The same file opened for viewing gets a metadata chunk after its last chunk.
    ASSERT_TRUE(f.Open(P(path)));
    f.Metadata.Value(u"PatName") = u"Петров";
    f.Close();
    const Bytes after = ReadFile(path);
    ASSERT_GT(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_TRUE(f.Metadata.Value(u"PatName").Equals(u"Петров"));
}

TEST(PGFilesClose, MetadataOnlyRecord) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    ASSERT_TRUE(f.Create(P(path)));
    f.Metadata.Value(u"RecordStartT") = u"5";
    f.Close();
    // Its only chunk links to nothing, so it is not found as the last chunk.
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_EQ(f.Metadata.Count(), 0);
    EXPECT_EQ(f.StartTime(), -1.0);
    f.Metadata.Value(u"PatAge") = u"40";
    f.Close();
    // Stored after it rather than over it, and found from then on.
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_TRUE(f.Metadata.Value(u"PatAge").Equals(u"40"));
    f.Close();
    const RecordModel m(ReadFile(path));
    ASSERT_EQ(m.chunks.size(), 2u);
    EXPECT_EQ(m.chunks[0].id, PGFiles::kMetadataId);
}

TEST(PGFilesClose, SingleChunkRecordKeepsItsSamples) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    ASSERT_TRUE(f.Create(P(path)));
    const double v[] = {0.1, 0.2, 0.3};
    ASSERT_TRUE(f.WriteSamples(v, 3, 0.002));
    f.Close();
    Bytes b = ReadFile(path);
    b.resize(size_t(RecordModel(b).chunks[1].pos)); // only the samples chunk
    WriteFile(path, b);
    ASSERT_TRUE(f.Open(P(path)));
    f.Metadata.Value(u"PatName") = u"A";
    f.Close();
    const Bytes after = ReadFile(path);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), after.begin())); // the samples stay
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_TRUE(f.Metadata.Value(u"PatName").Equals(u"A"));
    EXPECT_EQ(ReadAll(f).size(), 3u);
}

// A metadata chunk with chunks behind it (not a file this system writes, but one it may be
// given): the chunks behind it stay, and the new metadata goes after the last chunk.
TEST(PGFilesClose, MetadataDeepInTheFileIsNotOverwritten) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        MFileStream s;
        ASSERT_TRUE(s.Attach(fd, false));
        MMuxer m;
        m.SetStream(&s);
        const uint8_t samples[] = {1, 0, 2, 0, 3, 0, 4, 0};
        const uint8_t meta[] = {0, 0, 0, 0}; // no entries
        const uint8_t hr[] = {10, 0, 0, 0, 0x52, 0x1C, 0, 0};
        ASSERT_TRUE(m.WriteChunk(PGFiles::kSamplesId, samples, 8, true));
        ASSERT_TRUE(m.WriteChunk(PGFiles::kMetadataId, meta, 4, true));
        ASSERT_TRUE(m.WriteChunk(PGFiles::kSamplesId, samples, 8, true));
        ASSERT_TRUE(m.WriteChunk(PGFiles::kHeartRateId, hr, 8, true));
        s.Detach();
        ::close(fd);
    }
    const Bytes before = ReadFile(path);
    PGFiles f;
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_EQ(f.Metadata.Count(), 0); // found by walking back from the last chunk
    f.Metadata.Value(u"PatName") = u"a long enough name to outgrow the old chunk";
    f.Close();
    const Bytes after = ReadFile(path);
    ASSERT_GT(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_TRUE(f.Metadata.Value(u"PatName").Equals(u"a long enough name to outgrow the old chunk"));
    EXPECT_EQ(ReadAll(f).size(), 8u);
}

// The path names another file by the time the record is closed: nothing is written into it.
TEST(PGFilesClose, ReplacedFileIsNotWritten) {
    TempDir dir;
    const std::string path = dir.File("a.pwv"), other = dir.File("b.pwv");
    {
        PGFiles w;
        Record(path, 5, w);
        w.Close();
        Record(other, 4, w);
    }
    const Bytes replacement = ReadFile(other);
    PGFiles f;
    ASSERT_TRUE(f.Open(P(path)));
    ASSERT_EQ(::rename(other.c_str(), path.c_str()), 0);
    f.Metadata.Value(u"PatName") = u"x";
    f.Close();
    EXPECT_EQ(ReadFile(path), replacement);
}

// Runs fn as a user who may not write the file (a child process when running as root, whose
// permissions checks would not apply).
template <class Fn>
void AsReader(const std::string& dirPath, const std::string& path, Fn fn) {
    ::chmod(dirPath.c_str(), 0755);
    ::chmod(path.c_str(), 0444);
    if (::geteuid() != 0) {
        fn();
        return;
    }
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Without privileges, or in a temporary folder that user cannot reach: nothing to test.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::access(path.c_str(), R_OK) != 0) ::_exit(77);
        ::_exit(fn() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot read the file as an unprivileged user";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PGFilesClose, ReadOnlyFileIsReadAndLeftAlone) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    {
        PGFiles w;
        Record(path, 7, w);
    }
    const Bytes before = ReadFile(path);
    AsReader(dir.Path(), path, [&] {
        PGFiles f;
        if (!f.Open(P(path))) return false;
        f.Metadata.Value(u"PatName") = u"changed";
        const size_t n = ReadAll(f).size();
        f.Close(); // cannot reopen for writing: nothing stored, the rest of Close proceeds
        return n > 3000 && !f.IsOpen() && f.Metadata.Count() == 0;
    });
    EXPECT_EQ(ReadFile(path), before);
}

// ---------------------------------------------------------------------------------------------
// Damaged and foreign files

TEST(PGFilesBadInput, ForeignFilesOpenEmptyAndStayUnchanged) {
    TempDir dir;
    std::mt19937 rng(3);
    std::vector<Bytes> files;
    std::string text;
    for (int i = 0; i < 200; ++i) text += "Это не запись; this is not a record file. 12345\n";
    files.emplace_back(text.begin(), text.end());
    Bytes noise(300'000);
    for (auto& x : noise) x = uint8_t(rng());
    noise[0] = 0;
    files.push_back(noise);
    Bytes markers(70'000, 0x47); // nothing but marker bytes
    files.push_back(markers);
    files.push_back({});
    files.push_back({0x47});
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string path = dir.File("f" + std::to_string(i) + ".pwv");
        WriteFile(path, files[i]);
        PGFiles f;
        ASSERT_TRUE(f.Open(P(path))) << i;
        EXPECT_EQ(f.StartTime(), -1.0) << i;
        EXPECT_EQ(f.EndTime(), -1.0) << i;
        EXPECT_TRUE(f.SeekTime(12.5, false));
        ReadAll(f);
        double hr[8], ht[8];
        f.ReadHeartRates(hr, ht, 8);
        f.Metadata.Value(u"PatName") = u"x";
        f.Close();
        if (!files[i].empty()) {
            EXPECT_EQ(ReadFile(path), files[i]) << i;
        }
    }
}

TEST(PGFilesBadInput, GarbageBetweenChunksIsSkipped) {
    TempDir dir;
    const std::string clean = dir.File("clean.pwv"), damaged = dir.File("damaged.pwv");
    {
        PGFiles w;
        Record(clean, 40, w);
    }
    const Bytes b = ReadFile(clean);
    const RecordModel m(b);
    // Damage in the middle, at a chunk boundary around 20 s, and the garbage holds markers.
    const Chunk& at = m.chunks[m.chunks.size() / 2];
    std::mt19937 rng(9);
    Bytes garbage(37);
    for (auto& x : garbage) x = uint8_t(rng() % 0x40);
    garbage[5] = garbage[20] = 0x47;
    Bytes d(b.begin(), b.begin() + at.pos);
    d.insert(d.end(), garbage.begin(), garbage.end());
    d.insert(d.end(), b.begin() + at.pos, b.end());
    WriteFile(damaged, d);

    PGFiles f, g;
    ASSERT_TRUE(f.Open(P(clean), PGFiles::OpenMode::ReadOnly));
    ASSERT_TRUE(g.Open(P(damaged), PGFiles::OpenMode::ReadOnly));
    EXPECT_EQ(g.StartTime(), f.StartTime());
    EXPECT_EQ(g.EndTime(), f.EndTime());
    const auto all = ReadAll(g);
    ASSERT_EQ(all.size(), m.samples.size());
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i].value, m.samples[i].value) << i;

    // Seeks from anywhere, across the damage too, give what the clean file gives.
    std::uniform_real_distribution<double> when(f.StartTime(), f.EndTime());
    double fv[50], ft[50], gv[50], gt[50];
    for (int i = 0; i < 300; ++i) {
        const double t = when(rng);
        f.SeekTime(t, true);
        g.SeekTime(t, true);
        ASSERT_EQ(g.CurrentTime(), f.CurrentTime()) << t;
        const int32_t nf = f.ReadRawSamples(fv, ft, 50);
        ASSERT_EQ(g.ReadRawSamples(gv, gt, 50), nf);
        for (int32_t j = 0; j < nf; ++j) {
            ASSERT_EQ(gv[j], fv[j]) << t;
            ASSERT_EQ(gt[j], ft[j]) << t;
        }
        if (rng() % 4 == 0) ReadAll(g);
    }
}

TEST(PGFilesBadInput, RecordWithoutTimeStamps) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    Record(path, 2.5, f); // stopped before the first stamp was due
    f.Close();
    ASSERT_TRUE(f.Open(P(path)));
    EXPECT_EQ(f.StartTime(), -1.0);
    EXPECT_EQ(f.EndTime(), -1.0);
    double v[10], t[10];
    ASSERT_EQ(f.ReadRawSamples(v, t, 10), 10);
    const auto at = f.GetReadPosition();
    EXPECT_TRUE(f.SeekTime(1.0, false)); // nothing to seek by: the reader stays
    EXPECT_EQ(f.GetReadPosition(), at);
    EXPECT_EQ(ReadAll(f).size(), size_t(28 * 45 - 10));
}

// ---------------------------------------------------------------------------------------------
// Seeking at the ends

TEST(PGFilesSeek, Ends) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    PGFiles f;
    Record(path, 30, f);
    f.Close();
    ASSERT_TRUE(f.Open(P(path)));
    const double start = f.StartTime(), end = f.EndTime();
    ASSERT_GT(end - start, 20);

    // Right after Open, to a time inside: the walk turns forwards from the first chunk.
    ASSERT_TRUE(f.SeekTime(start + 12.345, true));
    EXPECT_NEAR(f.CurrentTime() - start, 12.345, 0.002 + 1e-9);
    EXPECT_GE(f.CurrentTime(), start + 12.345 - 1e-9);

    // Beyond the end: at the last stamp.
    ASSERT_TRUE(f.SeekTime(end + 100, false));
    EXPECT_EQ(f.CurrentTime(), end);
    double v[4], t[4];
    ASSERT_EQ(f.ReadRawSamples(v, t, 4), 4);
    EXPECT_EQ(t[0], end);

    // Before the start: at the first stamp.
    ASSERT_TRUE(f.SeekTime(-5, false));
    EXPECT_EQ(f.CurrentTime(), start);
    ASSERT_EQ(f.ReadRawSamples(v, t, 4), 4);
    EXPECT_EQ(t[0], start);

    // Heart rates passed over by a seek reach the queue; ReadHeartRates leaves the time alone.
    f.HeartRateQueue.Clear();
    ASSERT_TRUE(f.SeekTime(start + 2.9, true));
    EXPECT_GT(f.HeartRateQueue.Count(), 0);
    const double now = f.CurrentTime();
    double hr[3], ht[3];
    ASSERT_EQ(f.ReadHeartRates(hr, ht, 3), 3);
    EXPECT_EQ(f.CurrentTime(), now);
    EXPECT_DOUBLE_EQ(f.CurrentHeartRate(), 72.0);
    // Regulator states come every 3 s; reading on past the next one picks it up.
    EXPECT_EQ(f.LastActiveLed(), 0);
    double v2[500], t2[500];
    while (f.CurrentTime() < start + 6.5 && f.ReadRawSamples(v2, t2, 500) > 0) {}
    EXPECT_EQ(f.LastActiveLed(), 2);
}

// ---------------------------------------------------------------------------------------------
// A recorder killed with SIGKILL leaves a file that holds everything up to the last seconds.

// Child: records the synthetic wave as fast as it can. With stopAt > 0 it reports CurrentTime
// once it reaches stopAt and waits there, so the kill lands right after a known block; else
// it reports after every block and keeps going, so the kill lands anywhere.
[[noreturn]] void RecorderChild(const std::string& path, int report, int wait, double stopAt) {
    PGFiles f;
    if (!f.Create(P(path))) ::_exit(2);
    double block[28];
    int64_t i = 0;
    double nextBeat = 0.8;
    for (;;) {
        for (int j = 0; j < 28; ++j) block[j] = Wave(i + j);
        i += 28;
        f.WriteSamples(block, 28, 0.002);
        if (f.CurrentTime() >= nextBeat) {
            f.WriteHeartRate(72.0, nextBeat);
            nextBeat += 60.0 / 72.0;
        }
        const double now = f.CurrentTime();
        if (stopAt > 0 && now < stopAt) continue;
        if (::write(report, &now, sizeof now) != sizeof now) ::_exit(3);
        char c;
        if (stopAt > 0 && ::read(wait, &c, 1) != 1) ::_exit(0);
    }
}

TEST(PGFilesCrash, KilledRecorderKeepsAllButTheLastThreeSeconds) {
    TempDir dir;
    struct Case {
        double killAt; // record seconds
        bool atBlock;  // right after a block, else wherever the recorder is
    };
    const Case cases[] = {{5.3, true}, {47.1, true}, {930.4, true}, {600.0, false}};
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("kill at " + std::to_string(c.killAt));
        const std::string path = dir.File("k" + std::to_string(index++) + ".pwv");
        int report[2], wait[2];
        ASSERT_EQ(::pipe(report), 0);
        ASSERT_EQ(::pipe(wait), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(report[0]);
            ::close(wait[1]);
            RecorderChild(path, report[1], wait[0], c.atBlock ? c.killAt : 0);
        }
        ::close(report[1]);
        ::close(wait[0]);
        // Reports come in bulk; the newest complete one counts.
        double last = 0;
        std::vector<uint8_t> buf;
        uint8_t chunk[4096];
        while (last < c.killAt) {
            const ssize_t r = ::read(report[0], chunk, sizeof chunk);
            if (r <= 0) break;
            buf.insert(buf.end(), chunk, chunk + r);
            const size_t whole = buf.size() / sizeof last * sizeof last;
            if (whole > 0) std::memcpy(&last, &buf[whole - sizeof last], sizeof last);
            buf.erase(buf.begin(), buf.begin() + ptrdiff_t(whole));
        }
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(report[0]);
        ::close(wait[1]);
        ASSERT_TRUE(WIFSIGNALED(status));
        ASSERT_GE(last, c.killAt);

        PGFiles f;
        ASSERT_TRUE(f.Open(P(path), PGFiles::OpenMode::ReadOnly));
        const auto got = ReadAll(f);
        const size_t needed = size_t((last - 3.0) / 0.002);
        EXPECT_GE(got.size(), needed) << "samples up to " << got.size() * 0.002 << " s of " << last;
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i].value, int16_t(Wave(int64_t(i)) * 10000) * (1.0 / 10000)) << i;
        if (c.atBlock && last > 3.2) {
            EXPECT_GT(f.EndTime(), last - 7.0);
        }
    }
}

} // namespace
