// CPU cost of the whole live chain per hour of device data: decoding, clock alignment, the
// rejection filter, beat detection, the regulator, and the recorder writing a real record file,
// run by the main loop on a fake clock. One hour of the simulated device's packets (10 minutes with
// CORVINA_BENCH_QUICK=1) is generated once and replayed at its own pace.
//   BM_LiveChain          goal <= 2 CPU seconds per hour of device data (counter cpu_s_per_device_hour)
//   BM_Baseline_Generate  the simulator producing the same packets, without processing them

#include "acquisition/Acquisition.h"
#include "acquisition/RecordingState.h"
#include "core/Clock.h"
#include "core/MEventManager.h"
#include "core/MTaskManager.h"
#include "core/Settings.h"
#include "device/DeviceState.h"
#include "sim/SimKestrel.h"
#include "storage/PGFiles.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

double DeviceSeconds() {
    const char* quick = std::getenv("CORVINA_BENCH_QUICK");
    const bool isQuick = quick && *quick && std::strcmp(quick, "0") != 0;
    return isQuick ? 600.0 : 3600.0;
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Timed {
    double time; // device seconds when the packet is there to be read
    sBaseCmd packet;
};

// A regulated device (drive and gain where the regulator leaves them) producing `seconds` of data.
std::vector<Timed> Generate(double seconds) {
    SimKestrelConfig config;
    config.seed = 3;
    config.pacing = SimPacing::Manual;
    SimKestrel device(config);
    sBaseCmd cmd = InitialCommandPacket();
    CommandConfigure(cmd, kLedInternalRed);
    CommandSetDrive(cmd, 173);
    CommandSetLf(cmd, 106);
    CommandSetRecovery(cmd, false);
    StampChecksum(cmd);
    device.WriteCommand(cmd);
    std::vector<Timed> out;
    out.reserve(static_cast<size_t>(seconds * 24.5));
    sBaseCmd p;
    for (double t = 0.02; t <= seconds; t += 0.02) {
        device.Advance(0.02);
        while (device.ReadPacket(&p)) out.push_back({t, p});
    }
    return out;
}

const std::vector<Timed>& Packets() {
    static const std::vector<Timed> packets = Generate(DeviceSeconds());
    return packets;
}

// Hands the packets over as the device time reaches them.
class ReplayLink final : public IDeviceLink {
public:
    ReplayLink(const std::vector<Timed>& packets, const FakeClock& clock, long double startUs)
        : m_packets(packets), m_clock(clock), m_startUs(startUs) {}
    bool IsConnected() const override { return true; }
    bool Receive(sBaseCmd& packet) override {
        if (m_next >= m_packets.size()) return false;
        const double now = static_cast<double>((m_clock.Microseconds() - m_startUs) * 1e-6L);
        if (m_packets[m_next].time > now) return false;
        packet = m_packets[m_next++].packet;
        return true;
    }
    void Send(const sBaseCmd&) override { ++commands; }
    size_t Remaining() const { return m_packets.size() - m_next; }
    int commands = 0;

private:
    const std::vector<Timed>& m_packets;
    const FakeClock& m_clock;
    long double m_startUs;
    size_t m_next = 0;
};

void BM_Baseline_Generate(benchmark::State& state) {
    const double seconds = DeviceSeconds();
    double cpu = 0;
    size_t n = 0;
    for (auto _ : state) {
        const double c0 = CpuSeconds();
        n = Generate(seconds).size();
        cpu += CpuSeconds() - c0;
        benchmark::DoNotOptimize(n);
    }
    state.counters["cpu_s_per_device_hour"] =
        benchmark::Counter(cpu * 3600.0 / seconds, benchmark::Counter::kAvgIterations);
    state.counters["packets"] = static_cast<double>(n);
}
BENCHMARK(BM_Baseline_Generate)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_LiveChain(benchmark::State& state) {
    const std::vector<Timed>& packets = Packets();
    const double seconds = DeviceSeconds();
    char dirTemplate[] = "/tmp/corvina_bench_acq_XXXXXX";
    const char* dir = ::mkdtemp(dirTemplate);
    const std::string path = std::string(dir ? dir : "/tmp") + "/hour.pwv";
    double cpu = 0;
    double fileBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FakeClock clock(1e9L);
        ScopedClock scoped(clock);
        MTaskManager tm;
        ReplayLink link(packets, clock, clock.Microseconds());
        GetSavedStatus().Reset();
        GetCommandBuffer().Reset();
        StartAcquisition(&link);
        PGFiles* file = GetPGFiles(true);
        file->Create(MString(path.c_str()));
        GetRecordingState() = {kRecordingActive, 0};
        state.ResumeTiming();

        const double c0 = CpuSeconds();
        // The program's 3 ms main timer.
        while (link.Remaining() > 0) {
            clock.AdvanceMs(3);
            MainTasksTick(tm, [] {});
        }
        clock.AdvanceMs(100);
        for (int i = 0; i < 40; ++i) MainTasksTick(tm, [] {});
        file->Close();
        cpu += CpuSeconds() - c0;

        state.PauseTiming();
        GetRecordingState() = {};
        StopAcquisition();
        ShutdownEventManager();
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            std::fseek(f, 0, SEEK_END);
            fileBytes = static_cast<double>(std::ftell(f));
            std::fclose(f);
        }
        state.ResumeTiming();
    }
    std::remove(path.c_str());
    if (dir) ::rmdir(dir);
    state.counters["cpu_s_per_device_hour"] =
        benchmark::Counter(cpu * 3600.0 / seconds, benchmark::Counter::kAvgIterations);
    state.counters["file_bytes"] = fileBytes;
    state.counters["packets"] = static_cast<double>(packets.size());
}
BENCHMARK(BM_LiveChain)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

BENCHMARK_MAIN();
