#include "core/MFileStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kWindow = MFileStream::kWindowSize;

Bytes Pattern(size_t n, uint32_t seed = 7) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

// A temporary file by path, so that it can be opened in several modes.
class TempFile {
public:
    explicit TempFile(const Bytes& contents = {}) {
        const char* dir = std::getenv("TMPDIR");
        m_path = std::string(dir && *dir ? dir : "/tmp") + "/corvina_filestream_XXXXXX";
        const int fd = ::mkstemp(m_path.data());
        EXPECT_GE(fd, 0);
        if (!contents.empty()) {
            EXPECT_EQ(::write(fd, contents.data(), contents.size()), ssize_t(contents.size()));
        }
        ::close(fd);
    }
    ~TempFile() {
        for (int fd : m_fds) ::close(fd);
        ::unlink(m_path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int Open(int flags) {
        const int fd = ::open(m_path.c_str(), flags);
        EXPECT_GE(fd, 0);
        m_fds.push_back(fd);
        return fd;
    }
    Bytes Contents() const {
        Bytes b;
        const int fd = ::open(m_path.c_str(), O_RDONLY);
        struct stat st {};
        ::fstat(fd, &st);
        b.resize(size_t(st.st_size));
        EXPECT_EQ(::pread(fd, b.data(), b.size(), 0), ssize_t(b.size()));
        ::close(fd);
        return b;
    }
    int64_t Size() const {
        struct stat st {};
        ::stat(m_path.c_str(), &st);
        return st.st_size;
    }

private:
    std::string m_path;
    std::vector<int> m_fds;
};

Bytes ReadAt(MFileStream& s, int64_t pos, int32_t len) {
    EXPECT_EQ(s.Seek(pos), pos);
    Bytes b(size_t(std::max(len, 0)));
    const int32_t n = s.Read(b.data(), len);
    b.resize(size_t(std::max(n, 0)));
    return b;
}

Bytes Slice(const Bytes& b, int64_t from, int64_t len) {
    from = std::min<int64_t>(from, int64_t(b.size()));
    const int64_t end = std::min<int64_t>(from + len, int64_t(b.size()));
    return Bytes(b.begin() + from, b.begin() + end);
}

TEST(MFileStream, ReadOnlyRefusesWritesAndLeavesTheFile) {
    const Bytes data = Pattern(5000);
    TempFile f(data);
    MFileStream s;
    ASSERT_TRUE(s.Attach(f.Open(O_RDWR), true));
    EXPECT_FALSE(s.Write("abc", 3));
    EXPECT_FALSE(s.Write(data.data(), 2 * kWindow));
    s.Flush();
    s.Detach();
    EXPECT_EQ(f.Contents(), data);
}

TEST(MFileStream, SeekRules) {
    const Bytes data = Pattern(1000);
    TempFile f(data);
    MFileStream ro;
    ASSERT_TRUE(ro.Attach(f.Open(O_RDONLY), true));
    EXPECT_EQ(ro.GetSize(), 1000);
    EXPECT_EQ(ro.Seek(500), 500);
    EXPECT_EQ(ro.Seek(-5), 0);
    EXPECT_EQ(ro.Seek(5000), 1000); // read-only: no further than the end
    EXPECT_EQ(ro.GetPosition(), 1000);
    uint8_t b[4];
    EXPECT_EQ(ro.Read(b, 4), 0);

    MFileStream rw;
    ASSERT_TRUE(rw.Attach(f.Open(O_RDWR), false));
    EXPECT_EQ(rw.Seek(-5), 0);
    EXPECT_EQ(rw.Seek(5000), 5000); // writable: past the end is fine
    EXPECT_EQ(rw.Read(b, 4), 0);
    ASSERT_TRUE(rw.Write("end", 3));
    EXPECT_EQ(rw.GetSize(), 5003);
    rw.Detach();
    const Bytes after = f.Contents();
    ASSERT_EQ(after.size(), 5003u);
    EXPECT_EQ(Slice(after, 0, 1000), data);
    EXPECT_EQ(Slice(after, 1000, 4000), Bytes(4000, 0));

    // Just past the end of a window that once held other bytes: the gap stays a hole.
    const Bytes big = Pattern(size_t(kWindow) * 3 / 2);
    const int64_t end = int64_t(big.size());
    TempFile g(big);
    MFileStream near;
    ASSERT_TRUE(near.Attach(g.Open(O_RDWR), false));
    EXPECT_EQ(ReadAt(near, 0, 16), Slice(big, 0, 16));               // fills the whole window
    EXPECT_EQ(ReadAt(near, end - 16, 16), Slice(big, end - 16, 16)); // refills half of it
    ASSERT_EQ(near.Seek(end + 1), end + 1);
    ASSERT_TRUE(near.Write("x", 1));
    near.Detach();
    const Bytes grown = g.Contents();
    ASSERT_EQ(grown.size(), big.size() + 2);
    EXPECT_EQ(grown[size_t(end)], 0);
    EXPECT_EQ(grown[size_t(end) + 1], 'x');
    EXPECT_EQ(Slice(grown, 0, end), big);
}

TEST(MFileStream, BadArguments) {
    TempFile f(Pattern(100));
    MFileStream s;
    uint8_t b[8];
    EXPECT_EQ(s.Read(b, 8), -1); // not attached
    EXPECT_FALSE(s.Write(b, 8));
    EXPECT_FALSE(s.Attach(-1, true));
    ASSERT_TRUE(s.Attach(f.Open(O_RDWR), false));
    EXPECT_EQ(s.Read(nullptr, 8), -1);
    EXPECT_EQ(s.Read(b, -1), -1);
    EXPECT_EQ(s.Read(b, 0), 0);
    EXPECT_FALSE(s.Write(nullptr, 8));
    EXPECT_FALSE(s.Write(b, 0));
    EXPECT_FALSE(s.Write(b, -3));
    EXPECT_EQ(s.GetPosition(), 0);
}

TEST(MFileStream, AttachStartsAtTheCurrentOffset) {
    const Bytes data = Pattern(3000);
    TempFile f(data);
    const int fd = f.Open(O_RDONLY);
    ::lseek(fd, 1234, SEEK_SET);
    MFileStream s;
    ASSERT_TRUE(s.Attach(fd, true));
    EXPECT_EQ(s.GetPosition(), 1234);
    Bytes b(10);
    EXPECT_EQ(s.Read(b.data(), 10), 10);
    EXPECT_EQ(b, Slice(data, 1234, 10));
}

TEST(MFileStream, BackwardStepAfterTheTailCostsOneRefill) {
    const Bytes data = Pattern(3 << 20);
    TempFile f(data);
    MFileStream s;
    ASSERT_TRUE(s.Attach(f.Open(O_RDONLY), true));
    const int64_t end = int64_t(data.size());
    const int64_t before = s.RefillCount();
    EXPECT_EQ(ReadAt(s, end - 10, 10), Slice(data, end - 10, 10));
    EXPECT_EQ(ReadAt(s, end - 20, 10), Slice(data, end - 20, 10));
    EXPECT_EQ(s.RefillCount() - before, 1);
    // The requested bytes ended in the middle of the window.
    EXPECT_EQ(s.WindowOffset(), end - kWindow / 2);
}

TEST(MFileStream, SequentialScansHitTheWindow) {
    const Bytes data = Pattern(3 << 20);
    TempFile f(data);
    MFileStream s;
    ASSERT_TRUE(s.Attach(f.Open(O_RDONLY), true));
    const int64_t size = int64_t(data.size());
    Bytes b(16);

    int64_t before = s.RefillCount();
    for (int64_t pos = 0; pos < size; pos += 16) {
        ASSERT_EQ(s.Read(b.data(), 16), 16);
        ASSERT_EQ(0, std::memcmp(b.data(), data.data() + pos, 16)) << pos;
    }
    const int64_t forward = s.RefillCount() - before;
    EXPECT_LE(forward, 7); // about twice the file over the window: each refill keeps half behind

    before = s.RefillCount();
    for (int64_t pos = size - 16; pos >= 0; pos -= 16) {
        ASSERT_EQ(s.Seek(pos), pos);
        ASSERT_EQ(s.Read(b.data(), 16), 16);
        ASSERT_EQ(0, std::memcmp(b.data(), data.data() + pos, 16)) << pos;
    }
    EXPECT_LE(s.RefillCount() - before, 7);

    // Byte by byte backwards near the end: one refill at most.
    before = s.RefillCount();
    for (int64_t pos = size - 1; pos >= size - 5000; --pos)
        ASSERT_EQ(ReadAt(s, pos, 1)[0], data[size_t(pos)]);
    EXPECT_LE(s.RefillCount() - before, 1);
}

TEST(MFileStream, SmallFileIsReadOnceWhole) {
    const Bytes data = Pattern(300000);
    TempFile f(data);
    MFileStream s;
    ASSERT_TRUE(s.Attach(f.Open(O_RDONLY), true));
    std::mt19937 rng(3);
    for (int i = 0; i < 500; ++i) {
        const int64_t pos = rng() % data.size();
        const int32_t len = int32_t(rng() % 100);
        ASSERT_EQ(ReadAt(s, pos, len), Slice(data, pos, len));
    }
    EXPECT_EQ(s.RefillCount(), 1);
    EXPECT_EQ(s.WindowOffset(), 0);
}

TEST(MFileStream, WritesAreGatheredAndFlushed) {
    TempFile f;
    const int fd = f.Open(O_RDWR);
    MFileStream s;
    ASSERT_TRUE(s.Attach(fd, false));
    const Bytes data = Pattern(2 * size_t(kWindow) + 1505);
    // Small writes stay in the window until it is full.
    size_t done = 0;
    while (done < size_t(kWindow) - 1000) {
        ASSERT_TRUE(s.Write(data.data() + done, 1000));
        done += 1000;
    }
    EXPECT_EQ(f.Size(), 0);
    EXPECT_EQ(s.GetSize(), int64_t(done));
    // The write that does not fit sends the window to the file in one piece.
    ASSERT_TRUE(s.Write(data.data() + done, 2000));
    EXPECT_EQ(f.Size(), int64_t(done));
    done += 2000;
    // A write of a whole window or more goes straight to the file.
    ASSERT_TRUE(s.Write(data.data() + done, kWindow + 5));
    done += size_t(kWindow) + 5;
    EXPECT_EQ(f.Size(), int64_t(done));
    ASSERT_TRUE(s.Write(data.data() + done, int32_t(data.size() - done)));
    EXPECT_LT(f.Size(), int64_t(data.size()));
    EXPECT_EQ(s.GetSize(), int64_t(data.size()));
    s.Flush();
    EXPECT_EQ(f.Contents(), data);
    EXPECT_FALSE(s.HadWriteError());

    // Detach writes the window, leaves the descriptor open, and the stream can attach again.
    ASSERT_EQ(s.Seek(10), 10);
    ASSERT_TRUE(s.Write("XYZ", 3));
    s.Detach();
    EXPECT_FALSE(s.IsAttached());
    EXPECT_EQ(s.GetPosition(), 0);
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(Slice(f.Contents(), 10, 3), (Bytes{'X', 'Y', 'Z'}));
    ::lseek(fd, 0, SEEK_SET);
    ASSERT_TRUE(s.Attach(fd, true));
    EXPECT_EQ(s.GetSize(), int64_t(data.size()));
}

TEST(MFileStream, DestructorWritesThePendingWindow) {
    TempFile f;
    {
        MFileStream s;
        ASSERT_TRUE(s.Attach(f.Open(O_RDWR), false));
        ASSERT_TRUE(s.Write("pending", 7));
    }
    EXPECT_EQ(f.Contents(), (Bytes{'p', 'e', 'n', 'd', 'i', 'n', 'g'}));
}

TEST(MFileStream, ReadSeesItsOwnWrites) {
    const Bytes data = Pattern(2 * kWindow);
    TempFile f(data);
    MFileStream s;
    ASSERT_TRUE(s.Attach(f.Open(O_RDWR), false));
    EXPECT_EQ(ReadAt(s, 100, 50), Slice(data, 100, 50)); // caches the start
    ASSERT_EQ(s.Seek(120), 120);
    ASSERT_TRUE(s.Write("0123456789", 10));
    Bytes expected = Slice(data, 100, 50);
    std::memcpy(expected.data() + 20, "0123456789", 10);
    EXPECT_EQ(ReadAt(s, 100, 50), expected);
}

// Failures of the file writes are not reported by Write, but they are not silent either.
TEST(MFileStream, FailedFileWritesAreRemembered) {
    const Bytes data = Pattern(100);
    TempFile f(data);
    MFileStream s;
    ASSERT_TRUE(s.Attach(f.Open(O_RDONLY), false)); // writable stream over a read-only descriptor
    EXPECT_TRUE(s.Write("abc", 3));
    EXPECT_FALSE(s.HadWriteError());
    s.Flush();
    EXPECT_TRUE(s.HadWriteError());
    EXPECT_EQ(f.Contents(), data);
}

// Random operations against a plain in-memory model of the file.
struct ModelCase {
    const char* name;
    size_t fileSize;
    bool readOnly;
    uint32_t seed;
};

class MFileStreamModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(MFileStreamModel, MatchesPlainFile) {
    const ModelCase& c = GetParam();
    Bytes model = Pattern(c.fileSize, c.seed);
    TempFile f(model);
    MFileStream s;
    ASSERT_TRUE(s.Attach(f.Open(c.readOnly ? O_RDONLY : O_RDWR), c.readOnly));
    std::mt19937 rng(c.seed);
    int64_t pos = 0;
    Bytes buf;

    auto length = [&]() -> int32_t {
        switch (rng() % 10) {
            case 0:
                return int32_t(rng() % 2);
            case 1:
            case 2:
            case 3:
                return int32_t(1 + rng() % 16);
            case 4:
            case 5:
                return int32_t(rng() % 4096);
            case 6:
                return int32_t(rng() % (kWindow / 2 + 100));
            case 7:
                return int32_t(kWindow / 2 + rng() % (kWindow / 2));
            case 8:
                return int32_t(kWindow - 2 + rng() % 5); // around the window size
            default:
                return int32_t(kWindow + rng() % (3 * kWindow / 2));
        }
    };
    // Writes are mostly small, as records are; the large ones still cross every boundary.
    auto writeLength = [&]() -> int32_t {
        const uint32_t r = rng() % 20;
        if (r < 10) return int32_t(1 + rng() % 16);
        if (r < 15) return int32_t(1 + rng() % 4096);
        if (r < 17) return int32_t(1 + rng() % (kWindow / 2));
        if (r < 19) return int32_t(kWindow - 2 + rng() % 5);
        return int32_t(kWindow + rng() % (kWindow / 2));
    };

    std::string history; // the last operations, for the failure message
    for (int step = 0; step < 1500; ++step) {
        SCOPED_TRACE("step " + std::to_string(step) + ", last operations:" + history);
        if (history.size() > 400) history.erase(0, history.size() - 400);
        const int64_t size = int64_t(model.size());
        const uint32_t op = rng() % 10;
        if (op < 3) { // seek: anywhere, or a short step either way
            // Past the end only while the file is still small, so that it stays quick to compare.
            const int64_t beyond = size < 8 * int64_t(kWindow) ? 2 * kWindow : 0;
            int64_t to;
            switch (rng() % 4) {
                case 0:
                    to = int64_t(rng() % uint32_t(size + beyond + 1)) - 10;
                    break;
                case 1:
                    to = pos + int64_t(rng() % 2001) - 1000;
                    break;
                case 2:
                    to = pos + int64_t(rng() % 5) - 2;
                    break;
                default:
                    to = pos - int64_t(rng() % 64);
                    break; // a backward walk
            }
            int64_t expected = std::max<int64_t>(to, 0);
            if (c.readOnly) expected = std::min(expected, size);
            history += " seek " + std::to_string(to) + ";";
            ASSERT_EQ(s.Seek(to), expected);
            pos = expected;
        } else if (op < 7 || c.readOnly) { // read
            const int32_t len = length();
            history += " read " + std::to_string(len) + " at " + std::to_string(pos) + ";";
            buf.assign(size_t(len), 0xEE);
            const int32_t n = s.Read(buf.data(), len);
            const Bytes want = Slice(model, pos, len);
            ASSERT_EQ(n, int32_t(want.size())) << "read " << len << " at " << pos;
            ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.begin())) << "read " << len << " at " << pos;
            pos += n;
        } else { // write, possibly past the end
            const int32_t len = writeLength();
            history += " write " + std::to_string(len) + " at " + std::to_string(pos) + ";";
            const Bytes data = Pattern(size_t(len), rng());
            ASSERT_TRUE(s.Write(data.data(), len));
            if (pos + len > size) model.resize(size_t(pos + len), 0);
            std::copy(data.begin(), data.end(), model.begin() + pos);
            pos += len;
        }
        ASSERT_EQ(s.GetPosition(), pos);
        ASSERT_EQ(s.GetSize(), int64_t(model.size()));
        if (step % 250 == 249 && !c.readOnly) { // the file itself, now and then
            s.Flush();
            ASSERT_EQ(f.Contents(), model);
        }
    }
    s.Detach();
    EXPECT_EQ(f.Contents(), model);
    EXPECT_FALSE(s.HadWriteError());
}

INSTANTIATE_TEST_SUITE_P(Files, MFileStreamModel,
                         ::testing::Values(ModelCase{"empty_rw", 0, false, 11},
                                           ModelCase{"tiny_ro", 100, true, 12},
                                           ModelCase{"small_rw", 300000, false, 13},
                                           ModelCase{"small_ro", 700000, true, 14},
                                           ModelCase{"window_rw", size_t(kWindow), false, 15},
                                           ModelCase{"large_ro", 5 * size_t(kWindow) + 77, true, 16},
                                           ModelCase{"large_rw", 3 * size_t(kWindow) + 5, false, 17}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

// ---------------------------------------------------------------------------------------------
// One stream shared by several threads: every call is indivisible, whichever thread the lock
// first favoured.

// Starts `count` threads at once and waits for them.
template <class Body>
void RunTogether(int count, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < count) std::this_thread::yield();
            body(t);
        });
    }
    for (auto& th : threads) th.join();
}

TEST(MFileStreamThreads, ConcurrentReadsTakeDisjointPieces) {
    constexpr uint32_t kWords = 16384; // word i holds i
    Bytes data(kWords * 4);
    for (uint32_t i = 0; i < kWords; ++i) std::memcpy(data.data() + 4 * i, &i, 4);
    TempFile f(data);
    const int fd = f.Open(O_RDONLY);
    for (int round = 0; round < 40; ++round) {
        MFileStream s;
        ASSERT_TRUE(s.Attach(fd, true));
        ASSERT_EQ(s.Seek(0), 0);
        std::vector<std::vector<uint32_t>> seen(3);
        RunTogether(3, [&](int t) {
            uint32_t piece[4];
            while (s.Read(piece, 16) == 16) {
                for (int k = 1; k < 4; ++k)
                    if (piece[k] != piece[0] + uint32_t(k)) piece[0] = UINT32_MAX; // torn piece
                seen[size_t(t)].push_back(piece[0]);
            }
        });
        std::vector<uint32_t> all;
        for (auto& v : seen) all.insert(all.end(), v.begin(), v.end());
        std::sort(all.begin(), all.end());
        ASSERT_EQ(all.size(), size_t(kWords / 4)) << "round " << round;
        for (uint32_t i = 0; i < kWords / 4; ++i) ASSERT_EQ(all[i], 4 * i) << "round " << round;
    }
}

TEST(MFileStreamThreads, ConcurrentWritesStayWhole) {
    constexpr int kThreads = 3, kRecords = 30000;
    for (int round = 0; round < 3; ++round) {
        TempFile f;
        MFileStream s;
        ASSERT_TRUE(s.Attach(f.Open(O_RDWR), false));
        RunTogether(kThreads, [&](int t) {
            for (uint32_t i = 0; i < kRecords; ++i) {
                const uint32_t record[4] = {uint32_t(t), i, ~i, 0xC0FFEE00u + uint32_t(t)};
                s.Write(record, sizeof record);
                if (i % 4096 == 0) s.GetPosition(); // lock-free readers run alongside
            }
        });
        s.Detach();
        const Bytes file = f.Contents();
        ASSERT_EQ(file.size(), size_t(kThreads) * kRecords * 16);
        std::vector<uint32_t> next(kThreads, 0); // each thread's records appear in its order
        for (size_t at = 0; at < file.size(); at += 16) {
            uint32_t r[4];
            std::memcpy(r, file.data() + at, 16);
            ASSERT_LT(r[0], uint32_t(kThreads)) << at;
            ASSERT_EQ(r[1], next[r[0]]) << at;
            ASSERT_EQ(r[2], ~r[1]) << at;
            ASSERT_EQ(r[3], 0xC0FFEE00u + r[0]) << at;
            ++next[r[0]];
        }
    }
}

// The thread that first used a stream may be gone before the next one takes over.
TEST(MFileStreamThreads, HandOverBetweenThreads) {
    const Bytes data = Pattern(200000);
    TempFile f(data);
    MFileStream s;
    ASSERT_TRUE(s.Attach(f.Open(O_RDWR), false));
    Bytes first(100), second(100);
    std::thread([&] { EXPECT_EQ(s.Read(first.data(), 100), 100); }).join();
    std::thread([&] {
        EXPECT_TRUE(s.Write("abc", 3));
        EXPECT_EQ(s.Read(second.data(), 100), 100);
    }).join();
    EXPECT_EQ(first, Slice(data, 0, 100));
    EXPECT_EQ(second, Slice(data, 103, 100));
    EXPECT_EQ(s.GetPosition(), 203);
    EXPECT_EQ(ReadAt(s, 100, 3), (Bytes{'a', 'b', 'c'}));
}

// The first user of a stream may be deep inside a long read when a second thread arrives; the
// newcomer must wait for it, not slip in beside it.
TEST(MFileStreamThreads, LateComerWaitsForTheFirstUser) {
    constexpr uint32_t kWords = 6 << 20; // 24 MiB, word i holds i
    Bytes data(size_t(kWords) * 4);
    for (uint32_t i = 0; i < kWords; ++i) std::memcpy(data.data() + 4 * size_t(i), &i, 4);
    TempFile f(data);
    const int fd = f.Open(O_RDONLY);
    constexpr int32_t kBig = 3 * kWindow / 2; // read straight from the file, inside the lock
    for (int round = 0; round < 8; ++round) {
        MFileStream s;
        ASSERT_TRUE(s.Attach(fd, true));
        std::vector<std::pair<uint32_t, uint32_t>> pieces[2]; // first word, word count
        std::atomic<bool> started{false};
        auto check = [&](const uint32_t* words, int32_t bytes, int who) {
            const uint32_t n = uint32_t(bytes / 4);
            for (uint32_t k = 1; k < n; ++k)
                if (words[k] != words[0] + k) {
                    pieces[who].push_back({UINT32_MAX, 0});
                    return;
                }
            pieces[who].push_back({words[0], n});
        };
        std::thread first([&] {
            std::vector<uint32_t> buf(size_t(kBig) / 4);
            int32_t n = s.Read(buf.data(), 16); // takes the lock first
            check(buf.data(), n, 0);
            started = true;
            while ((n = s.Read(buf.data(), kBig)) > 0) check(buf.data(), n, 0);
        });
        std::thread second([&] {
            while (!started) {}
            uint32_t buf[4];
            int32_t n;
            while ((n = s.Read(buf, 16)) > 0) check(buf, n, 1);
        });
        first.join();
        second.join();
        std::vector<std::pair<uint32_t, uint32_t>> all(pieces[0]);
        all.insert(all.end(), pieces[1].begin(), pieces[1].end());
        std::sort(all.begin(), all.end());
        uint32_t expected = 0;
        for (const auto& [start, count] : all) {
            ASSERT_EQ(start, expected) << "round " << round;
            expected += count;
        }
        ASSERT_EQ(expected, kWords) << "round " << round;
    }
}
