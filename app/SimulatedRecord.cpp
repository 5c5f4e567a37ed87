#include "app/SimulatedRecord.h"

#include "acquisition/Acquisition.h"
#include "acquisition/AppEvents.h"
#include "acquisition/RecordingState.h"
#include "acquisition/SampleBlob.h"
#include "app/AppState.h"
#include "app/CmdLineController.h"
#include "app/Commands.h"
#include "app/Headless.h"
#include "app/TextImport.h"
#include "core/Clock.h"
#include "core/MEventManager.h"
#include "core/MTaskManager.h"
#include "core/Settings.h"
#include "device/DeviceState.h"
#include "sim/SimKestrel.h"
#include "sim/SimScenario.h"
#include "storage/PGFiles.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr double kStepMs = 5;           // the event delivery period: every tick delivers
constexpr double kSamplePeriod = 0.002; // the device's
constexpr double kTruthLagSeconds = 10; // beats are collected this long after their onset
constexpr double kRecoveryBefore = 0.3; // a beat this close before recovery starts is disturbed
constexpr double kRecoveryAfter = 2.5;  // and this long after it ends (the pulse comes back)
constexpr double kDisturbanceMargin = 0.5;

// The simulated device without a reader thread: the device task reads the device's queue
// directly and commands reach the device at once. Counts the sample packets it hands over.
class cSimDeviceLink final : public IDeviceLink {
public:
    explicit cSimDeviceLink(SimKestrel& device) : m_device(device) {}
    int64_t samplePackets = 0;
    bool IsConnected() const override { return true; }
    bool Receive(sBaseCmd& packet) override {
        while (m_device.ReadPacket(&packet))
            if (ClassifyReceived(packet) == ReceiveAction::Queue) {
                if (packet.Type() == kPacketSamples) ++samplePackets;
                return true;
            }
        return false;
    }
    void Send(const sBaseCmd& packet) override { m_device.WriteCommand(packet); }

private:
    SimKestrel& m_device;
};

// Finds the decoded sample that became the record's first sample: the filter passes each sample
// on with its data-clock time, which is looked up among the recent raw blobs. Every decoded
// sample is one device sample: nothing is lost on this link, and the decoder drops only the
// first packet when its serial equals the one it starts with (it takes it for a duplicate).
class cSampleCounter final : public MEventCallback {
public:
    static constexpr size_t kRecentBlobs = 512;
    int64_t raw = 0;
    int64_t filtered = 0;
    int64_t firstRecorded = -1; // decoded samples before the one recorded first; -1 while unknown
    bool recordingSeen = false;

    int OnEvent(int id, int count, void* data, int value) override {
        const auto* blob = static_cast<const sSampleBlob*>(data);
        if (!blob || blob->count <= 0) return 0;
        if (id == kEventRawBlob) {
            m_recent[m_next] = {blob->times[0], raw};
            m_next = (m_next + 1) % kRecentBlobs;
            raw += blob->count;
        }
        if (id == kEventFilteredBlob) {
            if (!recordingSeen && GetRecordingState().Recording()) {
                recordingSeen = true;
                Locate(blob->times[0]);
            }
            filtered += blob->count;
        }
        return 0;
    }

private:
    void Locate(double t) {
        const Blob* best = nullptr;
        for (const Blob& b : m_recent)
            if (b.index >= 0 && b.time <= t + 1e-9 && (!best || b.time > best->time)) best = &b;
        if (best) firstRecorded = best->index + std::llround((t - best->time) / kSamplePeriod);
    }

    struct Blob {
        double time = 0;
        int64_t index = -1;
    };
    Blob m_recent[kRecentBlobs];
    size_t m_next = 0;
};

struct sSpan {
    double start, end;
};

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The 500 Hz record's samples imported as a 100 Hz text file would be.
bool ImportAt100Hz(const MString& live, const MString& target, sSimRecordResult& r) {
    PGFiles record;
    if (!record.Open(live, PGFiles::OpenMode::ReadOnly)) {
        r.reason = "cannot read the temporary record";
        return false;
    }
    TextNumbers numbers;
    double v[1024], t[1024];
    for (int32_t n; (n = record.ReadRawSamples(v, t, 1024)) > 0;)
        numbers.values.insert(numbers.values.end(), v, v + n);
    record.Close();
    if (!numbers.values.empty()) {
        const auto [lo, hi] = std::minmax_element(numbers.values.begin(), numbers.values.end());
        numbers.smallest = *lo;
        numbers.largest = *hi;
    }
    const TextImportResult imported = ImportTextNumbers(numbers, 500, target, record);
    if (!imported.ok) {
        r.reason = imported.reason;
        return false;
    }
    r.samples = imported.samples;
    r.heartRates = imported.beats;
    return true;
}

bool WriteTruth(const std::string& path, const std::vector<sSimTruthBeat>& beats, std::string& reason) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        reason = Errno("cannot create " + path);
        return false;
    }
    std::fprintf(f, "%s\n", kSimTruthHeader);
    for (const sSimTruthBeat& b : beats)
        std::fprintf(f, "%.6f,%.6f,%.6f,%d,%d\n", b.onset, b.peak, b.rr, b.ectopic ? 1 : 0,
                     b.disturbed ? 1 : 0);
    if (std::ferror(f) != 0) {
        std::fclose(f);
        reason = "cannot write " + path;
        return false;
    }
    if (std::fclose(f) != 0) {
        reason = Errno("cannot write " + path);
        return false;
    }
    return true;
}

class cSimRun {
public:
    explicit cSimRun(const sSimRecordOptions& o) : m_o(o), m_clock(1'000'000'000.0L), m_scoped(m_clock) {}

    sSimRecordResult Run();

private:
    void Tick() {
        m_clock.AdvanceMs(kStepMs);
        MainTasksTick(m_tm, nullptr, nullptr);
        // Baseline recovery, as the device reports it, on the device's own time.
        const bool recovery = StatusRecoveryActive(GetSavedStatus().Packet());
        if (recovery != m_recovery) {
            const double now = m_device->Time();
            if (recovery)
                m_recoverySpans.push_back({now, INFINITY});
            else if (!m_recoverySpans.empty())
                m_recoverySpans.back().end = now;
            m_recovery = recovery;
        }
    }
    double Seconds() const { return double((m_clock.Microseconds() - m_start) * 1e-6L); }
    bool WaitForStablePulse();
    void CollectBeats(double until);
    std::vector<sSimTruthBeat> Truth(double recordSeconds);

    const sSimRecordOptions& m_o;
    FakeClock m_clock;
    ScopedClock m_scoped;
    long double m_start = 0;
    MTaskManager m_tm;
    std::unique_ptr<SimKestrel> m_device;
    bool m_recovery = false;
    std::vector<sSpan> m_recoverySpans; // device seconds
    std::vector<SimBeat> m_beats;       // every true beat so far, in order
    double m_collected = -1e9;          // beats with onset before this are in m_beats
    int64_t m_firstDeviceSample = 0;    // device sample number (from 1) of record sample 0, less 1
};

bool cSimRun::WaitForStablePulse() {
    // The unattended run's rule, checked every second: a settled regulator, then three heart
    // rates that agree.
    float pulse[cCmdLineController::kPulseSamples];
    int count = 0;
    double nextCheck = Seconds() + 1;
    while (Seconds() < m_o.maxSettleSeconds) {
        Tick();
        if (Seconds() < nextCheck) continue;
        nextCheck += 1;
        if (!RegulatorSettled()) continue;
        if (count < cCmdLineController::kPulseSamples) {
            pulse[count++] = GetDisplayedHeartRate();
            continue;
        }
        count = 0;
        float sum = 0;
        for (float hr : pulse) sum += hr;
        const float mean = sum / float(cCmdLineController::kPulseSamples);
        const auto [lo, hi] = std::minmax_element(pulse, pulse + cCmdLineController::kPulseSamples);
        if ((*hi - *lo) / (mean + 0.01f) <= cCmdLineController::kMaxSpread &&
            mean >= cCmdLineController::kMinRate && mean <= cCmdLineController::kMaxRate)
            return true;
    }
    return false;
}

void cSimRun::CollectBeats(double until) {
    if (until <= m_collected) return;
    for (const SimBeat& b : m_device->TrueBeats(m_collected, until)) m_beats.push_back(b);
    m_collected = until;
}

std::vector<sSimTruthBeat> cSimRun::Truth(double recordSeconds) {
    // Record sample i is device sample firstRecorded + i + 1 (device samples count from 1), at
    // device time (firstRecorded + i + 1) x 2 ms.
    std::vector<sSimTruthBeat> out;
    const double offset = double(m_firstDeviceSample + 1) * kSamplePeriod;
    std::vector<sSpan> spans;
    for (const SimDisturbance& d : m_device->TrueDisturbances(offset, offset + recordSeconds + 60))
        spans.push_back({d.start - kDisturbanceMargin, d.end + kDisturbanceMargin});
    for (const sSpan& s : m_recoverySpans)
        spans.push_back({s.start - kRecoveryBefore, std::isinf(s.end) ? INFINITY : s.end + kRecoveryAfter});
    for (size_t k = 1; k < m_beats.size(); ++k) {
        const SimBeat& b = m_beats[k];
        const double onset = b.onset - offset;
        if (onset < 0 || onset >= recordSeconds) continue;
        sSimTruthBeat t;
        t.onset = onset;
        t.peak = b.peak - offset;
        t.rr = b.onset - m_beats[k - 1].onset;
        t.ectopic = b.ectopic;
        for (const sSpan& s : spans)
            if (b.onset >= s.start && b.onset < s.end) t.disturbed = true;
        out.push_back(t);
    }
    return out;
}

sSimRecordResult cSimRun::Run() {
    sSimRecordResult r;
    const bool at100 = m_o.rate == 100;
    if (m_o.rate != 500 && !at100) {
        r.reason = "the rate must be 500 or 100 samples per second";
        return r;
    }
    if (!(m_o.minutes > 0) || m_o.minutes > 7 * 24 * 60) {
        r.reason = "the length must be more than 0 and at most a week";
        return r;
    }
    const std::string target = m_o.recordPath.ToUtf8();
    if (target.empty()) {
        r.reason = "no record path";
        return r;
    }
    // The live record goes to a temporary file when it is imported afterwards.
    const std::string live = at100 ? target + ".live-" + std::to_string(::getpid()) : target;

    SimKestrelConfig config;
    config.seed = m_o.seed;
    ApplySimScenario(m_o.scenario, config);
    config.pacing = SimPacing::ProcessClock; // the fake clock installed above
    m_start = m_clock.Microseconds();
    m_device = std::make_unique<SimKestrel>(config);
    cSimDeviceLink link(*m_device);

    // A fresh start every time: no learned LED maps, no LED remembered, no command or status left
    // from before, so one seed always gives one record.
    // The event manager and the blob pool schedule themselves on the clock they were made under,
    // so they are made afresh on this run's clock (and removed again at the end).
    StopAcquisition();
    ShutdownEventManager();
    ShutdownBlobManager();
    ShutdownSettings();
    GetSettings(true);
    GetSavedStatus().Reset();
    GetCommandBuffer().Reset();
    GetRecordingState() = sRecordingState{};
    MEventManager* em = GetEventManager(true);
    if (!em || !GetBlobManager(true) || !GetPGFiles(true) || !GetAppState(true) || !StartAcquisition(&link)) {
        r.reason = "the live chain cannot be started";
        StopAcquisition();
        return r;
    }
    cSampleCounter counter;
    cbHeadlessMonitor monitor;
    // Unsubscribed by finish(), before the manager goes.
    em->Subscribe(&counter, kEventRawBlob, 0);
    em->Subscribe(&counter, kEventFilteredBlob, 0);
    em->Subscribe(&monitor, kEventLedChanged, kPriorityPaintSamples);
    em->Subscribe(&monitor, kEventRecordedBlob, kPriorityPaintSamples);
    auto finish = [&] {
        if (GetRecordingState().state != kRecordingStopped) RecStopActionExecute();
        StopAcquisition();
        em->Unsubscribe(&counter);
        em->Unsubscribe(&monitor);
        if (PGFiles* f = GetPGFiles(false)) f->Close();
        ShutdownEventManager();
        ShutdownBlobManager();
        ShutdownSettings();
    };

    // As at the program's start: the first status packet counts as an LED change (which records
    // the device state), and the device gets its configuration.
    GetSavedStatus().ForceLedChange();
    ConfigureOnConnect();
    if (!WaitForStablePulse()) {
        finish();
        r.reason = "the simulated pulse did not become stable within " +
                   std::to_string(int(m_o.maxSettleSeconds)) + " s";
        return r;
    }
    r.settleSeconds = Seconds();
    SetAutoLedRegulation(false);
    GetAppState(true)->CurrentRecordFile = MString(live);
    if (RecStartActionExecute([] { return true; }) != RecStartResult::kStarted) {
        finish();
        r.reason = "cannot create " + live;
        return r;
    }
    PGFiles& record = *GetPGFiles(true);
    record.Metadata.Value(u"SimScenario") = MString(SimScenarioName(m_o.scenario));
    record.Metadata.Value(u"SimSeed") = MString::FromInt(int64_t(m_o.seed));

    const double length = m_o.minutes * 60;
    double nextCollect = 0;
    int lastPercent = -1;
    while (record.CurrentTime() < length) {
        Tick();
        const double now = m_device->Time();
        if (now >= nextCollect) {
            CollectBeats(now - kTruthLagSeconds);
            nextCollect = now + 60;
            if (m_o.progress) {
                const int percent = int(record.CurrentTime() * 100 / length);
                if (percent != lastPercent) m_o.progress(lastPercent = percent);
            }
        }
    }
    r.recordSeconds = record.CurrentTime();
    r.samples = int64_t(std::llround(r.recordSeconds / kSamplePeriod));
    // Let the beats of the last seconds come out, then stop.
    RecStopActionExecute();
    const double end = m_device->Time();
    while (m_device->Time() < end + kTruthLagSeconds + 1) Tick();
    CollectBeats(m_device->Time());

    const SimCounters counters = m_device->Counters();
    const int64_t firstRecorded = counter.firstRecorded;
    finish();
    const int64_t decodedPackets = counter.raw / kSamplesPerPacket;
    const int64_t dropped = link.samplePackets - decodedPackets;
    if (counters.lost != 0 || counters.overflowDropped != 0 || counter.raw % kSamplesPerPacket != 0 ||
        dropped < 0 || dropped > 1 || counter.raw < counter.filtered || firstRecorded < 0) {
        r.reason = "the live chain lost samples; the truth cannot be matched";
        return r;
    }
    m_firstDeviceSample = dropped * kSamplesPerPacket + firstRecorded;

    if (at100) {
        const bool imported = ImportAt100Hz(MString(live), m_o.recordPath, r);
        ::unlink(live.c_str());
        if (!imported) return r;
    } else {
        PGFiles check;
        if (check.Open(m_o.recordPath, PGFiles::OpenMode::ReadOnly)) {
            double hr[256], t[256];
            for (int32_t n; (n = check.ReadHeartRates(hr, t, 256)) > 0;) r.heartRates += n;
            check.Close();
        }
    }

    const std::vector<sSimTruthBeat> truth = Truth(r.recordSeconds);
    r.trueBeats = int64_t(truth.size());
    for (const sSimTruthBeat& b : truth) r.disturbedBeats += b.disturbed ? 1 : 0;
    if (!m_o.truthPath.empty() && !WriteTruth(m_o.truthPath, truth, r.reason)) return r;
    if (m_o.progress) m_o.progress(100);
    r.ok = true;
    return r;
}

} // namespace

sSimRecordResult WriteSimulatedRecord(const sSimRecordOptions& options) {
    cSimRun run(options);
    return run.Run();
}

bool ReadSimTruth(const std::string& path, std::vector<sSimTruthBeat>& beats, std::string& reason) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        reason = Errno("cannot open " + path);
        return false;
    }
    beats.clear();
    char line[256];
    bool header = true, ok = true;
    while (std::fgets(line, sizeof line, f)) {
        if (header) {
            header = false;
            if (std::strncmp(line, kSimTruthHeader, std::strlen(kSimTruthHeader)) != 0) {
                ok = false;
                break;
            }
            continue;
        }
        sSimTruthBeat b;
        int ectopic = 0, disturbed = 0;
        if (std::sscanf(line, "%lf,%lf,%lf,%d,%d", &b.onset, &b.peak, &b.rr, &ectopic, &disturbed) != 5) {
            ok = false;
            break;
        }
        b.ectopic = ectopic != 0;
        b.disturbed = disturbed != 0;
        beats.push_back(b);
    }
    std::fclose(f);
    if (!ok) reason = path + " is not a truth file of simulated beats";
    return ok;
}
