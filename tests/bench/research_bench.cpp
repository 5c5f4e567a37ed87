// Research analyses, each against its baseline in the same run:
//   BM_SimulateDay       corvina-tool simulate --minutes 1440 (a 24-hour 500 Hz record through
//                        the live chain; goal <= 30 s), run as a child process
//   BM_ReadRawSamples    baseline: every sample of that record read with ReadRawSamples
//   BM_ToolBeats         corvina-tool beats --csv on that record (43.2 M samples; goal <= 1.5 s
//                        and <= 150 MB peak memory, the child's maximum resident set)
//   BM_StandardTable     the standard HRV table of 100 000 beats (goal <= 50 ms)
//   BM_TimeDomainOnly    baseline: mean and SD of the same intervals
// The record is made in the benchmark's own temporary folder (removed at exit) by the first
// benchmark that needs it. CORVINA_BENCH_QUICK=1 makes a 30-minute record instead.

#include "analysis/HrvStandard.h"
#include "storage/PGFiles.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

bool Quick() {
    const char* q = std::getenv("CORVINA_BENCH_QUICK");
    return q && *q && *q != '0';
}

struct Child {
    bool ok = false;
    double seconds = 0;
    double maxRssMb = 0;
};

// Runs the tool with its output to /dev/null; wall time and peak memory of the child.
Child RunTool(const std::vector<std::string>& args) {
    Child c;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) return c;
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::vector<char*> argv;
        std::string exe = CORVINA_TOOL_EXE;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid) return c;
    c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    c.maxRssMb = double(usage.ru_maxrss) / 1024.0;
    c.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return c;
}

class Files {
public:
    static Files& Get() {
        static Files f;
        return f;
    }
    ~Files() {
        if (!m_dir.empty()) std::system(("rm -rf '" + m_dir + "'").c_str());
    }
    std::string Record() const { return m_dir + "/day.pwv"; }
    double Minutes() const { return Quick() ? 30 : 1440; }
    bool made = false;
    bool Ok() const { return !m_dir.empty(); }

    // Makes the record once (timed by BM_SimulateDay when it runs first).
    Child Make() {
        Child c = RunTool({"simulate", "--minutes", std::to_string(int(Minutes())), "-o", Record()});
        made = c.ok;
        return c;
    }

private:
    Files() {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvina_bench_research_XXXXXX";
        if (::mkdtemp(dir.data())) m_dir = dir;
    }
    std::string m_dir;
};

void BM_SimulateDay(benchmark::State& state) {
    Files& f = Files::Get();
    if (!f.Ok()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    Child c;
    for (auto _ : state) {
        c = f.Make();
        if (!c.ok) {
            state.SkipWithError("corvina-tool simulate failed");
            return;
        }
        state.SetIterationTime(c.seconds);
    }
    state.counters["record_minutes"] = f.Minutes();
    state.counters["peak_mb"] = c.maxRssMb;
    state.counters["goal_s"] = 30;
}
BENCHMARK(BM_SimulateDay)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

double g_readSeconds = -1;

void BM_ReadRawSamples(benchmark::State& state) {
    Files& f = Files::Get();
    if (!f.made && !f.Make().ok) {
        state.SkipWithError("no record");
        return;
    }
    int64_t samples = 0;
    double sum = 0;
    int runs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        PGFiles rec;
        rec.Open(MString(std::string_view(f.Record())), PGFiles::OpenMode::ReadOnly);
        rec.SeekTime(rec.StartTime(), true);
        std::vector<double> v(4096), t(4096);
        samples = 0;
        for (int32_t n; (n = rec.ReadRawSamples(v.data(), t.data(), 4096)) > 0;) samples += n;
        benchmark::DoNotOptimize(v[0]);
        rec.Close();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(s);
        sum += s;
        ++runs;
    }
    g_readSeconds = sum / runs;
    state.counters["samples"] = double(samples);
}
BENCHMARK(BM_ReadRawSamples)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_ToolBeats(benchmark::State& state) {
    Files& f = Files::Get();
    if (!f.made && !f.Make().ok) {
        state.SkipWithError("no record");
        return;
    }
    double sum = 0, rss = 0;
    int runs = 0;
    for (auto _ : state) {
        const Child c = RunTool({"beats", f.Record(), "--csv"});
        if (!c.ok) {
            state.SkipWithError("corvina-tool beats failed");
            return;
        }
        state.SetIterationTime(c.seconds);
        sum += c.seconds;
        rss = std::max(rss, c.maxRssMb);
        ++runs;
    }
    state.counters["peak_mb"] = rss;
    state.counters["goal_s"] = 1.5;
    state.counters["goal_mb"] = 150;
    if (g_readSeconds > 0) state.counters["ratio_to_read"] = (sum / runs) / g_readSeconds;
}
BENCHMARK(BM_ToolBeats)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// 100 000 intervals with breathing, Mayer waves, a slow drift and noise (about 24 hours).
const sNNSeries& Beats() {
    static const sNNSeries s = [] {
        sNNSeries out;
        std::mt19937 rng(1);
        std::normal_distribution<double> g(0, 0.015);
        double t = 0, drift = 0;
        for (int i = 0; i < 100'000; ++i) {
            drift += 0.0005 * g(rng) - 0.001 * drift;
            const double v = 0.85 + 0.04 * std::sin(2 * std::numbers::pi * 0.25 * t) +
                             0.03 * std::sin(2 * std::numbers::pi * 0.1 * t) + drift + g(rng);
            t += v;
            out.nn.push_back(v);
            out.time.push_back(t);
            out.follows.push_back(i > 0);
        }
        return out;
    }();
    return s;
}

void BM_StandardTable(benchmark::State& state) {
    const sNNSeries& s = Beats();
    for (auto _ : state) {
        const sHrvStandard h = ComputeHrvStandard(s);
        benchmark::DoNotOptimize(h.sampEn);
    }
    state.counters["intervals"] = double(s.size());
    state.counters["goal_ms"] = 50;
}
BENCHMARK(BM_StandardTable)->Unit(benchmark::kMillisecond);

void BM_TimeDomainOnly(benchmark::State& state) {
    const sNNSeries& s = Beats();
    for (auto _ : state) {
        double sum = 0, sq = 0;
        for (double v : s.nn) {
            sum += v;
            sq += v * v;
        }
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(sq);
    }
}
BENCHMARK(BM_TimeDomainOnly)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
