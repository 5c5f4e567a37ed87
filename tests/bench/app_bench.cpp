// Text import and export.
//
// Import: a text file of 10,000,000 pulse-like values (200,000 with CORVINA_BENCH_QUICK=1), one per
// line, imported end to end (read, parse, rescale, resample to 100 Hz, beat detection, record
// written) against the baseline numpy.loadtxt of the same file, run in the same process run as a
// child process (python3 with numpy). The baseline's time is loadtxt's own (interpreter start and
// numpy import excluded); the whole child's time is a counter. BM_TextImport reports the speed-up
// over the baseline as the counter speedup_vs_numpy.
//
// Export: a 24-hour record at 100 Hz (30 minutes quick) with a beat every 0.8 s, exported whole at
// 100 Hz with the RR part and its variability table, against the baseline of only reading every
// sample of the record.
//
// Files live in a temporary folder removed at exit.

#include "app/TextExport.h"
#include "app/TextImport.h"
#include "storage/PGFiles.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

bool Quick() {
    const char* q = std::getenv("CORVINA_BENCH_QUICK");
    return q && *q && *q != '0';
}

double PulseValue(double t, double bpm) {
    const double phase = std::fmod(t * bpm / 60.0, 1.0);
    const double a = (phase - 0.15) / 0.10, b = (phase - 0.40) / 0.12;
    return 500.0 + 300.0 * std::exp(-a * a) + 90.0 * std::exp(-b * b);
}

class Files {
public:
    static Files& Get() {
        static Files files;
        return files;
    }
    ~Files() {
        if (!m_dir.empty()) std::system(("rm -rf '" + m_dir + "'").c_str());
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    bool Ok() const { return !m_dir.empty(); }

    // The import's input, made on first use.
    const std::string& TextFile() {
        if (m_text.empty()) MakeText();
        return m_text;
    }
    int64_t TextValues() const { return Quick() ? 200'000 : 10'000'000; }

    const std::string& Record() {
        if (m_record.empty()) MakeRecord();
        return m_record;
    }
    double RecordSeconds() const { return Quick() ? 1800.0 : 86400.0; }

private:
    Files() {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvina_bench_app_XXXXXX";
        if (::mkdtemp(dir.data())) m_dir = dir;
    }

    void MakeText() {
        const std::string path = Path("values.txt");
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return;
        // 250 Hz pulse at 70 per minute with a slow drift, two decimals.
        uint32_t noise = 12345;
        char line[32];
        for (int64_t i = 0; i < TextValues(); ++i) {
            noise = noise * 1664525u + 1013904223u;
            const double t = double(i) / 250.0;
            const double v = PulseValue(t, 70) + 20 * std::sin(t * 0.05) + double(noise >> 24) / 64.0;
            const int n = std::snprintf(line, sizeof line, "%.2f\n", v);
            std::fwrite(line, 1, size_t(n), f);
        }
        if (std::fclose(f) == 0) m_text = path;
    }

    void MakeRecord() {
        const std::string path = Path("day.pwv");
        PGFiles rec;
        if (!rec.Create(MString(std::string_view(path)))) return;
        const int64_t samples = int64_t(RecordSeconds() * 100);
        double block[50];
        double nextBeat = 0.4;
        for (int64_t k = 0; k < samples; k += 50) {
            for (int j = 0; j < 50; ++j) block[j] = (PulseValue(double(k + j) * 0.01, 75) - 500) / 400;
            rec.WriteSamples(block, 50, 0.01);
            while (nextBeat < rec.CurrentTime()) {
                rec.WriteHeartRate(72 + 6 * std::sin(nextBeat * 0.3), nextBeat);
                nextBeat += 0.8;
            }
        }
        rec.Close();
        m_record = path;
    }

    std::string m_dir, m_text, m_record;
};

// numpy.loadtxt of the text file in a child python3; its own time and the whole child's.
struct NumpyTimes {
    double loadtxt = -1, process = -1;
};

NumpyTimes RunNumpy(const std::string& file) {
    NumpyTimes t;
    const std::string script = "import sys, time, numpy\n"
                               "t = time.perf_counter()\n"
                               "a = numpy.loadtxt(sys.argv[1])\n"
                               "print(time.perf_counter() - t, a.size)\n";
    // The distribution's interpreter has the distribution's numpy; one first on PATH may not.
    const char* python = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    const std::string cmd = std::string(python) + " -c '" + script + "' '" + file + "'";
    const auto start = std::chrono::steady_clock::now();
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return t;
    double seconds = -1;
    long long size = 0;
    const int got = std::fscanf(p, "%lf %lld", &seconds, &size);
    const int status = ::pclose(p);
    t.process = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (got == 2 && WIFEXITED(status) && WEXITSTATUS(status) == 0) t.loadtxt = seconds;
    return t;
}

double g_numpyLoadtxt = -1; // the baseline's mean time, for the import's speed-up

void BM_NumpyLoadtxt(benchmark::State& state) {
    Files& files = Files::Get();
    const std::string& file = files.TextFile();
    if (file.empty()) {
        state.SkipWithError("cannot write the text file");
        return;
    }
    double sum = 0, processSum = 0;
    int runs = 0;
    for (auto _ : state) {
        const NumpyTimes t = RunNumpy(file);
        if (t.loadtxt < 0) {
            state.SkipWithError("python3 with numpy did not run");
            return;
        }
        state.SetIterationTime(t.loadtxt);
        sum += t.loadtxt;
        processSum += t.process;
        ++runs;
    }
    g_numpyLoadtxt = sum / runs;
    state.counters["values"] = double(files.TextValues());
    state.counters["child_process_s"] = processSum / runs;
    state.counters["values_per_s"] =
        benchmark::Counter(double(files.TextValues()) * runs, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_NumpyLoadtxt)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_TextImport(benchmark::State& state) {
    Files& files = Files::Get();
    const std::string& file = files.TextFile();
    if (file.empty()) {
        state.SkipWithError("cannot write the text file");
        return;
    }
    const MString source{std::string_view(file)}, target{std::string_view(files.Path("imported.pwv"))};
    double sum = 0;
    int runs = 0;
    TextImportResult r;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        PGFiles record;
        r = ImportTextFile(source, 250, target, record);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!r.ok) {
            state.SkipWithError(r.reason.c_str());
            return;
        }
        state.SetIterationTime(s);
        sum += s;
        ++runs;
    }
    state.counters["values"] = double(r.values);
    state.counters["beats"] = double(r.beats);
    state.counters["values_per_s"] = benchmark::Counter(double(r.values) * runs, benchmark::Counter::kIsRate);
    if (g_numpyLoadtxt > 0) state.counters["speedup_vs_numpy"] = g_numpyLoadtxt / (sum / runs);
}
BENCHMARK(BM_TextImport)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Baseline: every sample of the record read once, nothing else.
void BM_RecordReadAll(benchmark::State& state) {
    Files& files = Files::Get();
    const std::string& path = files.Record();
    if (path.empty()) {
        state.SkipWithError("cannot write the record");
        return;
    }
    int64_t samples = 0;
    for (auto _ : state) {
        PGFiles rec;
        rec.Open(MString(std::string_view(path)), PGFiles::OpenMode::ReadOnly);
        rec.SeekTime(rec.StartTime(), true);
        double v[1024], t[1024];
        samples = 0;
        for (int32_t n; (n = rec.ReadSamples(v, t, 1024)) > 0;) samples += n;
        benchmark::DoNotOptimize(v[0]);
        rec.Close();
    }
    state.counters["samples"] = double(samples);
}
BENCHMARK(BM_RecordReadAll)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_ExportWholeRecord(benchmark::State& state) {
    Files& files = Files::Get();
    const std::string& path = files.Record();
    if (path.empty()) {
        state.SkipWithError("cannot write the record");
        return;
    }
    const MString out(std::string_view(files.Path("day.txt")));
    ExportResult r;
    for (auto _ : state) {
        PGFiles rec;
        rec.Open(MString(std::string_view(path)), PGFiles::OpenMode::ReadOnly);
        ExportOptions o; // 100 Hz, pulse wave and RR part
        SetWholeRecordFragment(o, rec);
        r = WriteExport(out, o, rec);
        if (!r.ok) {
            state.SkipWithError(r.reason.c_str());
            return;
        }
        rec.Close();
    }
    state.counters["record_hours"] = files.RecordSeconds() / 3600;
    state.counters["samples"] = double(r.samples);
    state.counters["rr_intervals"] = double(r.rrIntervals);
    state.counters["parameters"] = r.parameters;
}
BENCHMARK(BM_ExportWholeRecord)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
