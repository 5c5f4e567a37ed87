// MFileStream 16-byte reads forwards and backwards over one large file, each against a
// baseline that reads the same file through a plain pread loop with the same 1 MiB window and
// the same refill placement; and MStream writes and reads in small and page-sized pieces.
//
// The file is 100 MB (8 MB with CORVINA_BENCH_QUICK=1), made once in a temporary folder and
// removed at exit.

#include "core/MFileStream.h"
#include "core/MStream.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int32_t kPiece = 16;

class BenchFile {
public:
    static BenchFile& Get() {
        static BenchFile file;
        return file;
    }
    int64_t Size() const { return m_size; }
    int Open() const { return ::open(m_path.c_str(), O_RDONLY); }
    bool Ok() const { return m_ok; }

private:
    BenchFile() {
        const char* quick = std::getenv("CORVINA_BENCH_QUICK");
        m_size = quick && *quick && *quick != '0' ? 8'000'000 : 100'000'000;
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvina_bench_XXXXXX";
        if (!::mkdtemp(dir.data())) return;
        m_dir = dir;
        m_path = dir + "/streams.bin";
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) return;
        std::vector<uint8_t> chunk(1 << 20);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        bool ok = true;
        for (int64_t done = 0; done < m_size && ok;) {
            for (auto& b : chunk) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                b = uint8_t(x);
            }
            const size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), m_size - done));
            ok = ::write(fd, chunk.data(), n) == ssize_t(n);
            done += int64_t(n);
        }
        ::close(fd);
        m_ok = ok;
    }
    ~BenchFile() {
        if (!m_path.empty()) ::unlink(m_path.c_str());
        if (!m_dir.empty()) ::rmdir(m_dir.c_str());
    }

    std::string m_dir, m_path;
    int64_t m_size = 0;
    bool m_ok = false;
};

// The baseline: a plain pread loop with a 1 MiB window refilled exactly as MFileStream refills
// its window (the whole file when it fits, the requested bytes in the middle for small reads),
// without a lock or a write path.
class PlainWindowReader {
public:
    static constexpr int32_t kWindow = 1 << 20;

    PlainWindowReader(int fd, int64_t size) : m_fd(fd), m_size(size), m_window(kWindow) {}

    void Seek(int64_t pos) { m_pos = std::clamp<int64_t>(pos, 0, m_size); }

    __attribute__((noinline)) int32_t Read(void* buf, int32_t len) {
        if (m_pos < m_offset || m_pos + len > m_offset + m_valid) {
            if (kWindow >= m_size)
                m_offset = 0;
            else if (len < kWindow / 2)
                m_offset = std::max<int64_t>(0, m_pos + len - kWindow / 2);
            else
                m_offset = m_pos;
            int64_t got = 0;
            while (got < kWindow) {
                const ssize_t r = ::pread(m_fd, m_window.data() + got, size_t(kWindow - got), m_offset + got);
                if (r <= 0) break;
                got += r;
            }
            m_valid = int32_t(got);
        }
        const int32_t count =
            int32_t(std::clamp<int64_t>(m_offset + m_valid - m_pos, 0, len)); // fewer at the end of the file
        std::memcpy(buf, m_window.data() + (m_pos - m_offset), size_t(count));
        m_pos += count;
        return count;
    }

private:
    int m_fd;
    int64_t m_size;
    std::vector<uint8_t> m_window;
    int64_t m_offset = 0;
    int32_t m_valid = 0;
    int64_t m_pos = 0;
};

bool Prepare(benchmark::State& state) {
    if (BenchFile::Get().Ok()) return true;
    state.SkipWithError("cannot create the benchmark file");
    return false;
}

void BM_FileStream_Forward16(benchmark::State& state) {
    if (!Prepare(state)) return;
    const BenchFile& file = BenchFile::Get();
    const int fd = file.Open();
    MFileStream s;
    s.Attach(fd, true);
    uint8_t buf[kPiece];
    uint64_t sum = 0;
    for (auto _ : state) {
        s.Seek(0);
        while (s.Read(buf, kPiece) == kPiece) sum += buf[0];
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(int64_t(state.iterations()) * file.Size());
    state.counters["refills"] = double(s.RefillCount()) / double(state.iterations());
    s.Detach();
    ::close(fd);
}

void BM_PreadBaseline_Forward16(benchmark::State& state) {
    if (!Prepare(state)) return;
    const BenchFile& file = BenchFile::Get();
    const int fd = file.Open();
    PlainWindowReader r(fd, file.Size());
    uint8_t buf[kPiece];
    uint64_t sum = 0;
    for (auto _ : state) {
        r.Seek(0);
        while (r.Read(buf, kPiece) == kPiece) sum += buf[0];
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(int64_t(state.iterations()) * file.Size());
    ::close(fd);
}

// Backward walks seek before every read, as a backward scan of records does.
void BM_FileStream_Backward16(benchmark::State& state) {
    if (!Prepare(state)) return;
    const BenchFile& file = BenchFile::Get();
    const int fd = file.Open();
    MFileStream s;
    s.Attach(fd, true);
    uint8_t buf[kPiece];
    uint64_t sum = 0;
    for (auto _ : state) {
        for (int64_t pos = file.Size() - kPiece; pos >= 0; pos -= kPiece) {
            s.Seek(pos);
            s.Read(buf, kPiece);
            sum += buf[0];
        }
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(int64_t(state.iterations()) * file.Size());
    state.counters["refills"] = double(s.RefillCount()) / double(state.iterations());
    s.Detach();
    ::close(fd);
}

void BM_PreadBaseline_Backward16(benchmark::State& state) {
    if (!Prepare(state)) return;
    const BenchFile& file = BenchFile::Get();
    const int fd = file.Open();
    PlainWindowReader r(fd, file.Size());
    uint8_t buf[kPiece];
    uint64_t sum = 0;
    for (auto _ : state) {
        for (int64_t pos = file.Size() - kPiece; pos >= 0; pos -= kPiece) {
            r.Seek(pos);
            r.Read(buf, kPiece);
            sum += buf[0];
        }
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(int64_t(state.iterations()) * file.Size());
    ::close(fd);
}

constexpr int64_t kStreamBytes = 16 << 20;

void BM_MStream_Write(benchmark::State& state) {
    const int32_t piece = int32_t(state.range(0));
    std::vector<uint8_t> data(size_t(piece), 0x5A);
    MStream s;
    s.Write(data.data(), piece); // a first byte so that rewinding is allowed
    for (auto _ : state) {
        s.Seek(0);
        for (int64_t done = 0; done < kStreamBytes; done += piece) s.Write(data.data(), piece);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kStreamBytes);
}

void BM_MStream_Read(benchmark::State& state) {
    const int32_t piece = int32_t(state.range(0));
    std::vector<uint8_t> data(size_t(kStreamBytes), 0x5A);
    std::vector<uint8_t> buf(static_cast<size_t>(piece));
    MStream s;
    s.Write(data.data(), int32_t(kStreamBytes));
    uint64_t sum = 0;
    for (auto _ : state) {
        s.Seek(0);
        while (s.Read(buf.data(), piece) == piece) sum += buf[0];
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(int64_t(state.iterations()) * kStreamBytes);
}

// For scale: the same pieces appended to a reused std::vector.
void BM_VectorBaseline_Write(benchmark::State& state) {
    const size_t piece = size_t(state.range(0));
    std::vector<uint8_t> data(piece, 0x5A), out;
    for (auto _ : state) {
        out.clear();
        for (int64_t done = 0; done < kStreamBytes; done += int64_t(piece))
            out.insert(out.end(), data.begin(), data.end());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kStreamBytes);
}

} // namespace

BENCHMARK(BM_FileStream_Forward16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreadBaseline_Forward16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileStream_Backward16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreadBaseline_Backward16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MStream_Write)->Arg(16)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MStream_Read)->Arg(16)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VectorBaseline_Write)->Arg(16)->Arg(4096)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
