// Record files on a generated 24-hour record (500 samples per second in blocks of 28 ... 32, a
// heart rate per beat and a regulator state every 3 s, as the live recorder writes them), each
// figure with its baseline from the same run:
//   sequential ReadRawSamples in blocks of 200   vs converting the same int16 payloads in memory
//   Open (and Close) of the record               vs open, two 4 KiB preads and close
//   SeekTime to random times from anywhere       vs one 1 MiB window refill at a random offset,
//                                                   and the linear chunk walk from end to end
//   isoline-corrected ReadSamples                vs the isoline filter alone on samples in memory
//   WriteSamples + WriteHeartRate as recorded    vs converting the same blocks into memory
//   peak memory while reading the whole record   (counter, above the reading process's baseline)
//
// The record is made once in a temporary folder and removed at exit. CORVINA_BENCH_QUICK=1
// makes a 30-minute record instead.

#include "core/MFileStream.h"
#include "dsp/MIsoFilter.h"
#include "storage/MMuxer.h"
#include "storage/PGFiles.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kPeriod = 0.002;

bool Quick() {
    const char* quick = std::getenv("CORVINA_BENCH_QUICK");
    return quick && *quick && *quick != '0';
}

// A pulse wave with baseline wander and noise, made once; the recorder plays it in a loop.
const std::vector<double>& Wave() {
    static const std::vector<double> wave = [] {
        std::vector<double> w(1 << 20);
        std::mt19937 rng(1);
        std::normal_distribution<double> noise(0, 0.003);
        for (size_t i = 0; i < w.size(); ++i) {
            const double t = double(i) * kPeriod;
            const double beat = std::fmod(t * 1.2, 1.0); // 72 beats per minute
            const double pulse = beat < 0.3 ? std::sin(beat / 0.3 * M_PI / 2) : std::exp(-(beat - 0.3) * 4);
            w[i] = 0.45 + 0.25 * pulse + 0.1 * std::sin(2 * M_PI * 0.05 * t) + noise(rng);
        }
        return w;
    }();
    return wave;
}

// What the live recorder does for one filtered block: the samples, a heart rate when a beat
// passed, a regulator state every 3 s.
class Recorder {
public:
    int Step(PGFiles& f) {
        const int n = 28 + int(m_rng() % 5);
        const std::vector<double>& w = Wave();
        if (m_at + size_t(n) > w.size()) m_at = 0;
        f.WriteSamples(&w[m_at], n, kPeriod);
        m_at += size_t(n);
        if (f.CurrentTime() >= m_nextBeat) {
            f.WriteHeartRate(70 + (m_rng() % 500) * 0.01, m_nextBeat);
            m_nextBeat += 60.0 / 72.0;
        }
        if (f.CurrentTime() >= m_nextState) {
            f.WriteRegulatorState(uint8_t(200), uint8_t(180), uint8_t(2));
            m_nextState += 3.0;
        }
        return n;
    }

private:
    std::mt19937 m_rng{7};
    size_t m_at = 0;
    double m_nextBeat = 0.5;
    double m_nextState = 0.0;
};

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

// The generated record and what it holds.
class BenchRecord {
public:
    static BenchRecord& Get() {
        static BenchRecord record;
        return record;
    }
    ~BenchRecord() {
        if (!m_dir.empty()) ::nftw(m_dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    bool Ok() const { return m_ok; }
    const std::string& Path() const { return m_path; }
    std::string Scratch(const char* name) const { return m_dir + "/" + name; }
    double Seconds() const { return m_seconds; }

    // Every sample payload of the record, in order (made on first use: about 86 MB for 24 h).
    const std::vector<int16_t>& Payloads() {
        if (m_payloads.empty()) {
            const int fd = ::open(m_path.c_str(), O_RDONLY);
            MFileStream s;
            s.Attach(fd, true);
            MMuxer m;
            m.SetStream(&s);
            for (bool ok = m.Current(); ok; ok = m.Next()) {
                if (m.StreamId() != PGFiles::kSamplesId) continue;
                const size_t at = m_payloads.size();
                m_payloads.resize(at + size_t(m.PayloadLength()) / 2);
                m.ReadPayload(&m_payloads[at], 0, m.PayloadLength());
            }
            s.Detach();
            ::close(fd);
        }
        return m_payloads;
    }

private:
    BenchRecord() {
        m_seconds = Quick() ? 1800.0 : 86400.0;
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvina_bench_storage_XXXXXX";
        if (!::mkdtemp(dir.data())) return;
        m_dir = dir;
        m_path = dir + "/record.pwv";
        PGFiles f;
        if (!f.Create(MString(m_path))) return;
        Recorder r;
        while (f.CurrentTime() < m_seconds) r.Step(f);
        f.Metadata.Value(u"PatName") = u"Бенчмарк";
        f.Metadata.Value(u"RecordStartT") = u"1700000000";
        f.Close();
        m_ok = true;
    }

    std::string m_dir, m_path;
    double m_seconds = 0;
    bool m_ok = false;
    std::vector<int16_t> m_payloads;
};

bool Ready(benchmark::State& state) {
    if (BenchRecord::Get().Ok()) return true;
    state.SkipWithError("cannot make the record file");
    return false;
}

// ---------------------------------------------------------------------------------------------
// Sequential reading

void BM_ReadRawSamples(benchmark::State& state) {
    if (!Ready(state)) return;
    PGFiles f;
    f.Open(MString(BenchRecord::Get().Path()), PGFiles::OpenMode::ReadOnly);
    double values[200], times[200];
    int64_t samples = 0;
    for (auto _ : state) {
        const int32_t n = f.ReadRawSamples(values, times, 200);
        samples += n;
        if (n < 200) f.SeekTime(0, true); // wrapped: start again
        benchmark::DoNotOptimize(values[0]);
    }
    state.SetItemsProcessed(samples);
}
BENCHMARK(BM_ReadRawSamples);

void BM_Baseline_ConvertPayloadsInMemory(benchmark::State& state) {
    if (!Ready(state)) return;
    const std::vector<int16_t>& p = BenchRecord::Get().Payloads();
    double values[200], times[200];
    size_t at = 0;
    double t = 0;
    const double scale = 1.0 / 10000, step = 2 * 0.001;
    for (auto _ : state) {
        if (at + 200 > p.size()) at = 0;
        for (int i = 0; i < 200; ++i) {
            values[i] = p[at + size_t(i)] * scale;
            times[i] = t;
            t += step;
        }
        at += 200;
        benchmark::DoNotOptimize(values[0]);
        benchmark::DoNotOptimize(times[0]);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 200);
}
BENCHMARK(BM_Baseline_ConvertPayloadsInMemory);

void BM_ReadSamplesIsoline(benchmark::State& state) {
    if (!Ready(state)) return;
    PGFiles f;
    f.Open(MString(BenchRecord::Get().Path()), PGFiles::OpenMode::ReadOnly);
    f.IsolineCorrection = true;
    f.SeekTime(f.StartTime(), false);
    double values[200], times[200];
    int64_t samples = 0;
    for (auto _ : state) {
        const int32_t n = f.ReadSamples(values, times, 200);
        samples += n;
        if (n < 200) f.SeekTime(f.StartTime(), false);
        benchmark::DoNotOptimize(values[0]);
    }
    state.SetItemsProcessed(samples);
}
BENCHMARK(BM_ReadSamplesIsoline);

void BM_Baseline_IsoFilterInMemory(benchmark::State& state) {
    if (!Ready(state)) return;
    const std::vector<int16_t>& p = BenchRecord::Get().Payloads();
    MIsoFilter filter(PGFiles::kIsoFilterCapacity);
    filter.Period = float(1.5 * 60 / 72);
    double inV[500], inT[500], values[200], times[200];
    size_t at = 0;
    double t = 0;
    int64_t samples = 0;
    for (auto _ : state) {
        int got = 0;
        while (got < 200) {
            const int ready = filter.GetReadyCount();
            if (ready > 0) {
                got += filter.GetPoints(times + got, values + got, std::min(ready, 200 - got));
                continue;
            }
            if (at + 500 > p.size()) {
                at = 0;
                filter.Reset();
                t = 0;
            }
            for (int i = 0; i < 500; ++i) {
                inV[i] = p[at + size_t(i)] * (1.0 / 10000);
                inT[i] = t;
                t += kPeriod;
            }
            at += 500;
            filter.PutPoints(inT, inV, 500);
        }
        samples += got;
        benchmark::DoNotOptimize(values[0]);
    }
    state.SetItemsProcessed(samples);
}
BENCHMARK(BM_Baseline_IsoFilterInMemory);

// ---------------------------------------------------------------------------------------------
// Opening and seeking

void BM_Open(benchmark::State& state) {
    if (!Ready(state)) return;
    PGFiles f;
    const MString path(BenchRecord::Get().Path());
    for (auto _ : state) {
        f.Open(path, PGFiles::OpenMode::ReadOnly);
        benchmark::DoNotOptimize(f.EndTime());
        f.Close();
    }
}
BENCHMARK(BM_Open)->Unit(benchmark::kMicrosecond);

void BM_Baseline_OpenTwoPreads(benchmark::State& state) {
    if (!Ready(state)) return;
    const std::string& path = BenchRecord::Get().Path();
    uint8_t buf[4096];
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        struct stat st {};
        ::fstat(fd, &st);
        benchmark::DoNotOptimize(::pread(fd, buf, sizeof buf, 0));
        benchmark::DoNotOptimize(
            ::pread(fd, buf, sizeof buf, std::max<off_t>(0, st.st_size - off_t(sizeof buf))));
        ::close(fd);
    }
}
BENCHMARK(BM_Baseline_OpenTwoPreads)->Unit(benchmark::kMicrosecond);

// 1000 random times in random order, each seek starting where the previous one left the reader.
void BM_SeekTime(benchmark::State& state) {
    if (!Ready(state)) return;
    PGFiles f;
    f.Open(MString(BenchRecord::Get().Path()), PGFiles::OpenMode::ReadOnly);
    f.IsolineCorrection = state.range(0) != 0;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> when(f.StartTime(), f.EndTime());
    std::vector<double> targets(1000);
    for (double& t : targets) t = when(rng);
    size_t i = 0;
    double worst = 0;
    for (auto _ : state) {
        const double t = targets[i++ % targets.size()];
        f.SeekTime(t, false);
        // Raw: CurrentTime is the next sample's time. With the pre-roll the reader has read on.
        if (!f.IsolineCorrection) worst = std::max(worst, f.CurrentTime() - t);
    }
    if (!f.IsolineCorrection) state.counters["max_lead_s"] = worst;
    state.SetLabel(f.IsolineCorrection ? "isoline pre-roll" : "raw");
}
BENCHMARK(BM_SeekTime)->Arg(0)->Arg(1)->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_Baseline_WindowRefillAtRandom(benchmark::State& state) {
    if (!Ready(state)) return;
    const int fd = ::open(BenchRecord::Get().Path().c_str(), O_RDONLY);
    struct stat st {};
    ::fstat(fd, &st);
    std::vector<uint8_t> window(MFileStream::kWindowSize);
    std::mt19937_64 rng(5);
    for (auto _ : state) {
        const off_t at = off_t(rng() % uint64_t(std::max<off_t>(1, st.st_size - off_t(window.size()))));
        benchmark::DoNotOptimize(::pread(fd, window.data(), window.size(), at));
    }
    ::close(fd);
}
BENCHMARK(BM_Baseline_WindowRefillAtRandom)->Iterations(1000)->Unit(benchmark::kMicrosecond);

// What a seek from one end to the other costs chunk by chunk.
void BM_Baseline_LinearWalkEndToEnd(benchmark::State& state) {
    if (!Ready(state)) return;
    const int fd = ::open(BenchRecord::Get().Path().c_str(), O_RDONLY);
    MFileStream s;
    s.Attach(fd, true);
    MMuxer m;
    m.SetStream(&s);
    int64_t steps = 0;
    for (auto _ : state) {
        m.Reset();
        for (bool ok = m.Current(); ok; ok = m.Next()) ++steps;
    }
    state.counters["chunk_steps"] = double(steps) / double(state.iterations());
    s.Detach();
    ::close(fd);
}
BENCHMARK(BM_Baseline_LinearWalkEndToEnd)->Iterations(3)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// Writing

void BM_WriteAsRecorder(benchmark::State& state) {
    if (!Ready(state)) return;
    const std::string path = BenchRecord::Get().Scratch("write.pwv");
    PGFiles f;
    f.Create(MString(path));
    Recorder r;
    int64_t samples = 0;
    for (auto _ : state) {
        samples += r.Step(f);
        if (f.CurrentTime() > 86400) { // keep the scratch file bounded
            state.PauseTiming();
            f.Create(MString(path));
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(samples);
    f.Close();
    ::unlink(path.c_str());
}
BENCHMARK(BM_WriteAsRecorder);

void BM_Baseline_ConvertBlocksToMemory(benchmark::State& state) {
    const std::vector<double>& w = Wave();
    std::vector<uint8_t> out;
    out.reserve(1 << 24);
    std::mt19937 rng(7);
    size_t at = 0;
    int64_t samples = 0;
    for (auto _ : state) {
        const int n = 28 + int(rng() % 5);
        if (at + size_t(n) > w.size()) at = 0;
        if (out.size() + 2 * size_t(n) + 8 > out.capacity()) out.clear();
        const size_t base = out.size();
        out.resize(base + 2 * size_t(n));
        for (int i = 0; i < n; ++i) {
            const int16_t v = int16_t(w[at + size_t(i)] * 10000.0);
            std::memcpy(&out[base + 2 * size_t(i)], &v, 2);
        }
        at += size_t(n);
        samples += n;
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(samples);
}
BENCHMARK(BM_Baseline_ConvertBlocksToMemory);

// ---------------------------------------------------------------------------------------------
// Memory

int64_t StatusKb(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    int64_t kb = -1;
    const size_t len = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, len) == 0) kb = std::atoll(line + len);
    std::fclose(f);
    return kb;
}

// Reads the whole record in a child process whose peak resident size is reset first, so that
// nothing the benchmarks before did counts; returns the growth of the peak in KiB.
int64_t PeakGrowthKb(bool isoline) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::close(pipefd[0]);
        int64_t growth = -1;
        const int fd = ::open("/proc/self/clear_refs", O_WRONLY);
        if (fd >= 0 && ::write(fd, "5", 1) == 1) {
            ::close(fd);
            const int64_t before = StatusKb("VmHWM:");
            {
                PGFiles f;
                f.Open(MString(BenchRecord::Get().Path()), PGFiles::OpenMode::ReadOnly);
                f.IsolineCorrection = isoline;
                f.SeekTime(f.StartTime(), false);
                double values[200], times[200];
                while (f.ReadSamples(values, times, 200) > 0) {}
                f.Close();
            }
            growth = StatusKb("VmHWM:") - before;
        }
        ssize_t ignored = ::write(pipefd[1], &growth, sizeof growth);
        (void)ignored;
        ::_exit(0);
    }
    ::close(pipefd[1]);
    int64_t growth = -1;
    if (::read(pipefd[0], &growth, sizeof growth) != sizeof growth) growth = -1;
    ::close(pipefd[0]);
    ::waitpid(pid, nullptr, 0);
    return growth;
}

void BM_PeakMemoryReadingWholeRecord(benchmark::State& state) {
    if (!Ready(state)) return;
    const bool isoline = state.range(0) != 0;
    int64_t kb = -1;
    for (auto _ : state) kb = PeakGrowthKb(isoline);
    if (kb < 0) {
        state.SkipWithError("cannot measure the peak resident size");
        return;
    }
    state.counters["peak_rss_growth_MiB"] = double(kb) / 1024.0;
    state.SetLabel(isoline ? "isoline-corrected" : "raw");
}
BENCHMARK(BM_PeakMemoryReadingWholeRecord)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
