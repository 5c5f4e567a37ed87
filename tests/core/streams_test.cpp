#include "core/MStream.h"
#include "tests/common/Golden.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// An unnamed temporary file, open for reading and writing.
class TempFd {
public:
    TempFd() {
        const char* dir = std::getenv("TMPDIR");
        std::string path = std::string(dir && *dir ? dir : "/tmp") + "/corvina_stream_XXXXXX";
        m_fd = ::mkstemp(path.data());
        if (m_fd >= 0) ::unlink(path.c_str());
    }
    explicit TempFd(const Bytes& contents) : TempFd() {
        EXPECT_EQ(::pwrite(m_fd, contents.data(), contents.size(), 0), ssize_t(contents.size()));
    }
    ~TempFd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    TempFd(const TempFd&) = delete;
    TempFd& operator=(const TempFd&) = delete;

    int fd() const { return m_fd; }
    void Rewind() const { ::lseek(m_fd, 0, SEEK_SET); }
    Bytes Contents() const {
        struct stat st {};
        ::fstat(m_fd, &st);
        Bytes b(size_t(st.st_size));
        EXPECT_EQ(::pread(m_fd, b.data(), b.size(), 0), ssize_t(b.size()));
        return b;
    }

private:
    int m_fd = -1;
};

Bytes StreamBytes(MStream& s) {
    return Bytes(s.Data(), s.Data() + s.GetSize());
}

Bytes Repeated(size_t n, uint8_t b = 'x') {
    return Bytes(n, b);
}

Bytes Noise(size_t n, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

Bytes Text(size_t n) {
    static const char kWords[] = "pulse wave record heart rate variability diagnosis settings ";
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(kWords[(i * 7 + i / 13) % (sizeof kWords - 1)]);
    return b;
}

uint32_t LE32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void PutLE32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// A stream file holding a packed image with the given header fields and LZO payload.
Bytes PackedFile(uint32_t unpacked, const Bytes& payload) {
    uint32_t sum = 0;
    for (uint8_t x : payload) sum += x;
    Bytes f(12 + payload.size());
    PutLE32(f, 0, uint32_t(-int32_t(8 + payload.size())));
    PutLE32(f, 4, unpacked);
    PutLE32(f, 8, sum);
    std::copy(payload.begin(), payload.end(), f.begin() + 12);
    return f;
}

// Saves `data` as a stream file and returns the file's bytes.
Bytes SaveToFile(const Bytes& data, bool pack) {
    MStream s;
    EXPECT_TRUE(s.Write(data.data(), int32_t(data.size())));
    TempFd f;
    EXPECT_TRUE(s.WriteToFile(f.fd(), pack));
    return f.Contents();
}

bool LoadFile(const Bytes& file, MStream& s, bool unpack = true) {
    TempFd f(file);
    f.Rewind();
    return s.ReadFromFile(f.fd(), unpack);
}

// Peak virtual memory of this process, in bytes: every allocation shows here even when its
// pages are never touched.
int64_t PeakVirtualMemory() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmPeak:", 0) == 0) return std::stoll(line.substr(7)) * 1024;
    return -1;
}

constexpr int64_t kAllocationSlack = 256 << 20;

struct IsolatedLoad {
    bool loaded = true;
    int64_t peakGrowth = -1; // bytes
};

// Runs a load in a child process, whose peak starts fresh, and reports how far it raised it.
IsolatedLoad RunIsolated(const std::function<bool()>& load) {
    int p[2];
    if (::pipe(p) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        const int64_t before = PeakVirtualMemory();
        const int64_t result[2] = {load() ? 1 : 0, PeakVirtualMemory() - before};
        const ssize_t n = ::write(p[1], result, sizeof result);
        ::_exit(n == ssize_t(sizeof result) ? 0 : 1);
    }
    ::close(p[1]);
    int64_t result[2] = {1, -1};
    const bool got = pid > 0 && ::read(p[0], result, sizeof result) == ssize_t(sizeof result);
    ::close(p[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    if (!got) return {};
    return {result[0] != 0, result[1]};
}

// ---------------------------------------------------------------------------------------------
// MStream

TEST(MStream, WriteReadSeek) {
    MStream s;
    EXPECT_EQ(s.Capacity(), 0);
    EXPECT_EQ(s.Seek(0), -1); // nothing allocated: even a rewind is refused
    const Bytes data = Noise(100);
    ASSERT_TRUE(s.Write(data.data(), 100));
    EXPECT_EQ(s.GetPosition(), 100);
    EXPECT_EQ(s.GetSize(), 100);
    EXPECT_EQ(s.Capacity(), 4096);

    uint8_t buf[200];
    EXPECT_EQ(s.Read(buf, 10), 0); // at the end of the data
    EXPECT_EQ(s.Seek(4096), -1);   // equal to the capacity
    EXPECT_EQ(s.Seek(-1), -1);
    EXPECT_EQ(s.GetPosition(), 100);
    EXPECT_EQ(s.Seek(90), 90);
    EXPECT_EQ(s.Read(buf, 200), 10);
    EXPECT_EQ(0, std::memcmp(buf, data.data() + 90, 10));
    EXPECT_EQ(s.Seek(4095), 4095);
    EXPECT_EQ(s.Read(buf, 1), -1); // past the data
    EXPECT_EQ(s.Read(buf, -1), -1);
    EXPECT_EQ(s.Read(nullptr, 5), -1);

    // A write ends the data where it ends, also in the middle of earlier data.
    s.Seek(0);
    ASSERT_TRUE(s.Write("0123456789", 10));
    EXPECT_EQ(s.GetSize(), 10);
    EXPECT_FALSE(s.Write(nullptr, 5));
    EXPECT_FALSE(s.Write(buf, -1));
}

TEST(MStream, GrowsInWholeStepsAndKeepsContents) {
    MStream s;
    const Bytes data = Noise(12000);
    const int32_t expected[] = {4096, 8192, 12288};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(s.Write(data.data() + i * 4000, 4000));
        EXPECT_EQ(s.Capacity(), expected[i]);
    }
    // A write ending exactly at the capacity already moves to the next step.
    MStream t;
    t.Write(data.data(), 4096);
    EXPECT_EQ(t.Capacity(), 8192);

    Bytes back(12000);
    s.Seek(0);
    EXPECT_EQ(s.Read(back.data(), 12000), 12000);
    EXPECT_EQ(0, std::memcmp(back.data(), data.data(), 12000));
}

TEST(MStream, ReserveAndSetSize) {
    MStream s;
    const Bytes data = Noise(3000);
    ASSERT_TRUE(s.Write(data.data(), 3000));
    ASSERT_TRUE(s.Reserve(1000));
    EXPECT_EQ(s.Capacity(), 1000);
    EXPECT_EQ(s.GetPosition(), 0);
    EXPECT_LE(s.GetSize(), 1000); // nothing beyond the buffer stays readable
    Bytes back(1000);
    EXPECT_EQ(s.Read(back.data(), 1000), int32_t(s.GetSize()));
    EXPECT_EQ(0, std::memcmp(back.data(), data.data(), size_t(s.GetSize())));

    // Growing past the reserve and writing short again shrinks back to it.
    s.Seek(0);
    ASSERT_TRUE(s.Write(data.data(), 2000));
    EXPECT_EQ(s.Capacity(), 4096);
    s.Seek(0);
    ASSERT_TRUE(s.Write(data.data(), 500));
    EXPECT_EQ(s.Capacity(), 1000);
    EXPECT_EQ(0, std::memcmp(s.Data(), data.data(), 500));

    s.SetSize(200);
    EXPECT_EQ(s.GetSize(), 200);
    s.SetSize(1000); // not below the capacity
    EXPECT_EQ(s.GetSize(), 200);
    s.SetSize(-1);
    EXPECT_EQ(s.GetSize(), 200);
    EXPECT_FALSE(s.Reserve(-5));
}

TEST(MStream, SeekPastDataThenWriteLeavesZeroGap) {
    MStream s;
    s.Write("ab", 2);
    ASSERT_EQ(s.Seek(100), 100);
    s.Write("cd", 2);
    EXPECT_EQ(s.GetSize(), 102);
    for (int i = 2; i < 100; ++i) ASSERT_EQ(s.Data()[i], 0) << i;
}

TEST(MStream, PackAndUnpackInMemory) {
    const Bytes data = Text(50000);
    MStream s;
    ASSERT_TRUE(s.PackerAvailable());
    s.Write(data.data(), int32_t(data.size()));
    const int32_t packed = s.Pack();
    ASSERT_GT(packed, 8);
    EXPECT_LT(packed, 50000);
    EXPECT_TRUE(s.IsPacked());
    EXPECT_EQ(s.GetSize(), packed);
    EXPECT_EQ(LE32(StreamBytes(s), 0), 50000u);
    EXPECT_EQ(s.Pack(), packed); // already packed: nothing to do

    EXPECT_EQ(s.Unpack(), 50000);
    EXPECT_FALSE(s.IsPacked());
    EXPECT_EQ(StreamBytes(s), data);
    EXPECT_EQ(s.Unpack(), 50000); // already plain

    // Only bytes before the position are packed.
    MStream t;
    t.Write(data.data(), 1000);
    t.Seek(150);
    EXPECT_EQ(t.Pack(), 0);
}

// ---------------------------------------------------------------------------------------------
// Stream files

TEST(StreamFile, GoldenPlainForms) {
    EXPECT_TRUE(golden::Bytes("streamfile_hello", {0x05, 0, 0, 0, 0x68, 0x65, 0x6C, 0x6C, 0x6F},
                              SaveToFile(Bytes{'h', 'e', 'l', 'l', 'o'}, false)));
    EXPECT_TRUE(golden::Bytes("streamfile_empty", {0, 0, 0, 0}, SaveToFile({}, false)));
    EXPECT_TRUE(golden::Bytes("streamfile_empty_pack", {0, 0, 0, 0}, SaveToFile({}, true)));

    MStream s;
    ASSERT_TRUE(LoadFile({0x05, 0, 0, 0, 0x68, 0x65, 0x6C, 0x6C, 0x6F}, s));
    EXPECT_EQ(StreamBytes(s), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(s.GetPosition(), 0);

    MStream e;
    e.Write("junk", 4);
    ASSERT_TRUE(LoadFile({0, 0, 0, 0}, e));
    EXPECT_EQ(e.GetSize(), 0);
    EXPECT_FALSE(e.IsPacked());
}

TEST(StreamFile, PackOnlyWhenItPays) {
    struct Case {
        const char* name;
        Bytes data;
        bool packed;
    };
    const Case cases[] = {
        {"199 repeated bytes", Repeated(199), false},   {"200 repeated bytes", Repeated(200), true},
        {"4 KiB of noise", Noise(4096), false},         {"text", Text(100000), true},
        {"1 MiB of zeros", Repeated(1 << 20, 0), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = SaveToFile(c.data, true);
        ASSERT_GE(file.size(), 4u);
        const int32_t L = int32_t(LE32(file, 0));
        EXPECT_EQ(file.size(), 4 + size_t(std::abs(L)));
        if (c.packed) {
            EXPECT_LT(L, 0);
            EXPECT_EQ(LE32(file, 4), c.data.size());
        } else {
            EXPECT_EQ(L, int32_t(c.data.size()));
        }
        MStream s;
        ASSERT_TRUE(LoadFile(file, s));
        EXPECT_FALSE(s.IsPacked());
        EXPECT_EQ(StreamBytes(s), c.data);
        EXPECT_EQ(s.GetPosition(), 0);
    }
}

TEST(StreamFile, StoredAtTheCurrentOffset) {
    TempFd f;
    ASSERT_EQ(::write(f.fd(), "HEAD", 4), 4);
    const Bytes first = Text(5000), second = {'x', 'y'};
    MStream a, b;
    a.Write(first.data(), int32_t(first.size()));
    b.Write(second.data(), 2);
    ASSERT_TRUE(a.WriteToFile(f.fd(), true));
    ASSERT_TRUE(b.WriteToFile(f.fd(), false));

    ::lseek(f.fd(), 4, SEEK_SET);
    MStream ra, rb;
    ASSERT_TRUE(ra.ReadFromFile(f.fd(), true));
    ASSERT_TRUE(rb.ReadFromFile(f.fd(), true));
    EXPECT_EQ(StreamBytes(ra), first);
    EXPECT_EQ(StreamBytes(rb), second);
    MStream none;
    EXPECT_FALSE(none.ReadFromFile(f.fd(), true)); // at the end of the file
    EXPECT_FALSE(none.ReadFromFile(-1, true));
    EXPECT_FALSE(none.WriteToFile(-1, false));
}

TEST(StreamFile, LoadWithoutUnpackingKeepsTheImage) {
    const Bytes data = Text(20000);
    const Bytes file = SaveToFile(data, true);
    MStream s;
    ASSERT_TRUE(LoadFile(file, s, false));
    EXPECT_TRUE(s.IsPacked());
    EXPECT_EQ(StreamBytes(s), Bytes(file.begin() + 4, file.end()));

    // Saved again as it is, it is the same file.
    TempFd again;
    ASSERT_TRUE(s.WriteToFile(again.fd(), true));
    EXPECT_EQ(again.Contents(), file);

    EXPECT_EQ(s.Unpack(), int32_t(data.size()));
    EXPECT_EQ(StreamBytes(s), data);
}

TEST(StreamFile, DamagedFilesFailToLoad) {
    const Bytes data = Text(30000);
    const Bytes good = SaveToFile(data, true);
    ASSERT_LT(int32_t(LE32(good, 0)), 0);
    const Bytes payload(good.begin() + 12, good.end());

    auto flipped = [&](size_t at) {
        Bytes f = good;
        f[at] ^= 0x40;
        return f;
    };
    auto withHeader = [&](int32_t L) {
        Bytes f = good;
        PutLE32(f, 0, uint32_t(L));
        return f;
    };
    auto cut = [&](size_t n) { return Bytes(good.begin(), good.begin() + n); };
    Bytes trailing = payload;
    trailing.push_back(0);

    struct Case {
        const char* name;
        Bytes file;
    };
    const Case cases[] = {
        {"byte after offset 8 flipped", flipped(12 + payload.size() / 2)},
        {"last byte flipped", flipped(good.size() - 1)},
        {"checksum flipped", flipped(8)},
        {"unpacked length 0", PackedFile(0, payload)},
        {"unpacked length one short", PackedFile(uint32_t(data.size() - 1), payload)},
        {"unpacked length one over", PackedFile(uint32_t(data.size() + 1), payload)},
        {"unpacked length above the limit", PackedFile(2'000'000'001u, payload)},
        {"bytes after the end of the block", PackedFile(uint32_t(data.size()), trailing)},
        {"packed image shorter than its header", PackedFile(5, {})},
        {"payload cut short", cut(good.size() - 1)},
        {"length field cut short", cut(3)},
        {"empty file", {}},
        {"length field of -2^31", withHeader(INT32_MIN)},
        {"plain length beyond the file", withHeader(int32_t(good.size()))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MStream s;
        s.Write("previous", 8);
        EXPECT_FALSE(LoadFile(c.file, s));
        EXPECT_EQ(s.GetSize(), 0); // a failed load leaves the stream empty
        EXPECT_FALSE(s.IsPacked());
    }
    MStream s;
    EXPECT_TRUE(LoadFile(good, s));
}

// A file announcing more than it holds is refused before the announced size is allocated.
TEST(StreamFile, AnnouncedLengthIsCheckedBeforeAllocating) {
    struct Case {
        const char* name;
        Bytes file;
    };
    Bytes plain2g(4);
    PutLE32(plain2g, 0, 2'000'000'000u);
    Bytes packed2g(4);
    PutLE32(packed2g, 0, uint32_t(-2'000'000'000));
    const Case cases[] = {
        {"4-byte plain file announcing 2 GB", plain2g},
        {"4-byte packed file announcing 2 GB", packed2g},
        {"packed image claiming 2,000,000,000 unpacked bytes", PackedFile(2'000'000'000u, Text(64))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const IsolatedLoad r = RunIsolated([&] {
            MStream s;
            return LoadFile(c.file, s);
        });
        EXPECT_FALSE(r.loaded);
        EXPECT_GE(r.peakGrowth, 0);
        EXPECT_LT(r.peakGrowth, kAllocationSlack);
    }
}

// Pipes cannot tell their size: what comes through them is read in bounded pieces.
TEST(StreamFile, LoadsFromPipes) {
    static const auto throughPipe = [](const Bytes& file, MStream& s) {
        int p[2];
        EXPECT_EQ(::pipe(p), 0);
        std::thread writer([&] {
            size_t done = 0;
            while (done < file.size()) {
                const ssize_t n = ::write(p[1], file.data() + done, file.size() - done);
                if (n <= 0) break;
                done += size_t(n);
            }
            ::close(p[1]);
        });
        const bool ok = s.ReadFromFile(p[0], true);
        writer.join();
        ::close(p[0]);
        return ok;
    };

    const Bytes big = Noise(3'500'000);
    MStream s;
    ASSERT_TRUE(throughPipe(SaveToFile(big, false), s));
    EXPECT_EQ(StreamBytes(s), big);
    EXPECT_EQ(s.Capacity(), int32_t(big.size()));

    const Bytes text = Text(300000);
    ASSERT_TRUE(throughPipe(SaveToFile(text, true), s));
    EXPECT_EQ(StreamBytes(s), text);

    Bytes announced2g(4);
    PutLE32(announced2g, 0, 2'000'000'000u);
    announced2g.insert(announced2g.end(), 10, 'z');
    const IsolatedLoad r = RunIsolated([&] {
        MStream p;
        return throughPipe(announced2g, p);
    });
    EXPECT_FALSE(r.loaded);
    EXPECT_GE(r.peakGrowth, 0);
    EXPECT_LT(r.peakGrowth, kAllocationSlack);
}

// The expansion bound must admit every real block: a hand-built LZO1X block of one literal and
// one match whose length is spelled with a long run of zero bytes comes close to the limit.
TEST(StreamFile, ExpansionBoundAdmitsTheDensestBlocks) {
    const size_t zeros = 100000;
    Bytes block = {18, 'A', 0x20};           // one literal, then a match with an extended length
    block.insert(block.end(), zeros, 0);     // each zero adds 255 to the length
    block.insert(block.end(), {255, 0, 0});  // last length byte, distance 1
    block.insert(block.end(), {0x11, 0, 0}); // end of the block
    const size_t unpacked = 1 + 31 + 255 * zeros + 255 + 2;
    ASSERT_LE(int64_t(unpacked), MStream::kMaxExpansion * int64_t(block.size()));
    ASSERT_GT(double(unpacked) / double(block.size()), 254.0);

    MStream s;
    ASSERT_TRUE(LoadFile(PackedFile(uint32_t(unpacked), block), s));
    ASSERT_EQ(s.GetSize(), int64_t(unpacked));
    EXPECT_EQ(StreamBytes(s), Bytes(unpacked, 'A'));

    // What the compressor itself makes of long runs stays well inside the bound too.
    const Bytes zerosData = Repeated(20'000'000, 0);
    const Bytes file = SaveToFile(zerosData, true);
    ASSERT_TRUE(LoadFile(file, s));
    EXPECT_EQ(s.GetSize(), int64_t(zerosData.size()));

    // One byte more than the block could ever give is refused.
    const uint32_t tooMuch = uint32_t(MStream::kMaxExpansion * int64_t(block.size()) + 1);
    EXPECT_FALSE(LoadFile(PackedFile(tooMuch, block), s));
}

TEST(StreamFile, IncompressibleDataLeftPlainInMemory) {
    const Bytes noise = Noise(5000);
    MStream s;
    s.Write(noise.data(), int32_t(noise.size()));
    EXPECT_EQ(s.Pack(), 0);
    EXPECT_FALSE(s.IsPacked());
    EXPECT_EQ(StreamBytes(s), noise);
    EXPECT_EQ(s.GetPosition(), 5000);
}

} // namespace
