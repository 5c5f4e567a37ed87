// End to end: the simulated device behind the fake hid_* library, the program's hidapi backend,
// the transport with its real reader thread, and the live acquisition module driven by the main
// loop on the fake clock. The clock moves only as fast as the reader keeps up, so simulated
// seconds pass several times faster than real ones and nothing waits for a period.

#include "device/MJvUSB.h"
#include "device/hidapi/HidapiController.h"
#include "sim/fakehid/FakeHid.h"
#include "tests/acquisition/AcqTestUtil.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

using namespace acqtest;
using namespace std::chrono_literals;

namespace {

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class EndToEnd : public ::testing::Test {
protected:
    static constexpr long double kStartUs = 5'000'000'000.0L;

    EndToEnd() : m_clock(kStartUs), m_scoped(m_clock) {
        ResetProcessState();
        SimKestrelConfig config;
        config.seed = 11;
        config.start = SimStart::Dark; // paced by the process clock: the fake one
        fakehid::Reset(config);
        // Look-alikes that must not be taken: the right ids with a manufacturer string that has a
        // trailing blank, and a mouse.
        SimHidInfo lookAlike = SimKestrel::DefaultInfo(config);
        lookAlike.manufacturer = "mqt-lab ";
        lookAlike.path = "sim:look-alike/0";
        fakehid::AddDevice(lookAlike);
        fakehid::AddDevice(SimGenericHid::MouseInfo("sim:mouse/0"));
        m_usb = std::make_unique<MJvUSB>(std::make_unique<HidapiController>());
        EXPECT_TRUE(StartAcquisition(m_usb.get()));
        ConfigureOnConnect(); // as the live monitor does when it attaches: waits for a device
    }
    ~EndToEnd() override {
        StopAcquisition();
        m_usb.reset();
        ResetProcessState();
        fakehid::Reset();
    }

    // Runs the main loop for `seconds` of simulated time: 1 ms per tick, the hot-plug scan once a
    // second, and never more than a few packets ahead of the reader thread.
    void Pump(double seconds) {
        const long double end = m_clock.Microseconds() + seconds * 1e6L;
        while (m_clock.Microseconds() < end) {
            auto k = fakehid::Kestrel();
            for (int spins = 0; k && m_usb->IsConnected() && k->Present() && k->Pending() > 3 && spins < 500;
                 ++spins)
                std::this_thread::sleep_for(1ms);
            for (int i = 0; i < 4; ++i) {
                m_clock.AdvanceMs(1);
                MainTasksTick(m_tm, [] {});
                if (++m_ms % 1000 == 0) m_usb->Poll();
            }
        }
    }
    cAcquisition& A() { return *GetAcquisition(); }
    bool PumpUntilSettled(double limit) {
        for (double t = 0; t < limit; t += 0.1) {
            Pump(0.1);
            if (RegulatorSettled() && !StatusRecoveryActive(GetSavedStatus().Packet())) return true;
        }
        return false;
    }
    // Waits (real time) until the reader has sent every queued command.
    void DrainCommands() {
        for (int i = 0; i < 500 && m_usb->SendQueue().Count() > 0; ++i) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(20ms);
    }

    FakeClock m_clock;
    ScopedClock m_scoped;
    MTaskManager m_tm;
    std::unique_ptr<MJvUSB> m_usb;
    long m_ms = 0;
};

TEST_F(EndToEnd, ConnectsByIdsAndStringsAndStreams) {
    Probe probe({kEventRawBlob, kEventStatus});
    EXPECT_FALSE(m_usb->IsConnected());
    m_usb->Poll(); // the first scan reports every present device as an arrival
    ASSERT_TRUE(m_usb->IsConnected());
    EXPECT_EQ(m_usb->Device()->Manufacturer(), "mqt-lab");
    EXPECT_EQ(m_usb->Device()->Path(), "sim:kestrel-9/0");

    Pump(3);
    EXPECT_GT(probe.Of(kEventRawBlob).size(), 40u);
    EXPECT_GT(probe.statusEvents, 10);
    EXPECT_GT(A().DeviceTask().Stats().upper, 0);

    // Commands reach the device: the configure command, then the regulator's.
    DrainCommands();
    auto k = fakehid::Kestrel();
    EXPECT_GE(k->Counters().commandsApplied, 2u);
    EXPECT_EQ(k->Counters().commandsRejected, 0u);
    const SimSettings s = k->Settings();
    EXPECT_EQ(s.led, GetCommandBuffer().Led());
    EXPECT_EQ(s.drive, GetCommandBuffer().Drive());
    EXPECT_EQ(s.lf, GetCommandBuffer().Lf());
    EXPECT_TRUE(s.power);

    const std::string log = TakePendingLog();
    EXPECT_EQ(Count(log, "Enumerate has found Kestrel-9"), 1) << log;
    EXPECT_EQ(Count(log, "CRC Error"), 0) << log;
    EXPECT_EQ(Count(log, "DeviceArrival"), 3) << log; // the device, the look-alike, the mouse

    ASSERT_TRUE(PumpUntilSettled(20));
}

TEST_F(EndToEnd, UnplugAndReplugMidStreamRecovers) {
    Probe probe({kEventRawBlob});
    m_usb->Poll();
    ASSERT_TRUE(m_usb->IsConnected());
    ASSERT_TRUE(PumpUntilSettled(20));

    fakehid::UnplugKestrel();
    Pump(1.5); // the next scan notices
    EXPECT_FALSE(m_usb->IsConnected());
    EXPECT_TRUE(A().DeviceTask().Serial().ResyncPending());
    const size_t during = probe.Of(kEventRawBlob).size();
    Pump(1);
    EXPECT_EQ(probe.Of(kEventRawBlob).size(), during);

    fakehid::PlugKestrel();
    Pump(1.5);
    ASSERT_TRUE(m_usb->IsConnected());
    ASSERT_TRUE(PumpUntilSettled(20));
    const auto blocks = probe.Of(kEventRawBlob);
    EXPECT_GT(blocks.size(), during + 20);
    // One time axis across the gap: no step back, no jump; the lag is pulled in afterwards.
    for (size_t i = 1; i < blocks.size(); ++i) {
        const double step = blocks[i]->times[0] - blocks[i - 1]->times[27];
        EXPECT_GE(step, 0.001 - 1e-9) << i;
        EXPECT_LE(step, 0.003 + 1e-9) << i;
    }
    const std::string log = TakePendingLog();
    EXPECT_EQ(Count(log, "DeviceUnplug Kestrel-9"), 1) << log;
    EXPECT_EQ(Count(log, "Enumerate has found Kestrel-9"), 2) << log;
}

TEST_F(EndToEnd, LostPacketsBecomeFillerBlocksOnAContinuousTimeAxis) {
    Probe probe({kEventRawBlob});
    m_usb->Poll();
    ASSERT_TRUE(m_usb->IsConnected());
    Pump(1);
    SimFaults faults;
    faults.lossProbability = 0.1;
    auto k = fakehid::Kestrel();
    k->SetFaults(faults);
    const size_t first = probe.Of(kEventRawBlob).size();
    const uint64_t producedBefore = k->Counters().samplePackets;
    Pump(20);
    k->SetFaults({});
    Pump(0.5);

    const std::string log = TakePendingLog();
    const int fillers = Count(log, "add fake packet, serial ");
    EXPECT_GT(fillers, 15) << log;
    const auto blocks = probe.Of(kEventRawBlob);
    // Every packet the device produced in the meantime is a block: received or filled in.
    const size_t produced = k->Counters().samplePackets - producedBefore;
    EXPECT_NEAR(static_cast<double>(blocks.size() - first), static_cast<double>(produced), 6);
    int flat = 0;
    for (size_t i = first; i < blocks.size(); ++i) {
        const double step = blocks[i]->times[0] - blocks[i - 1]->times[27];
        EXPECT_GE(step, 0.001 - 1e-9) << i;
        EXPECT_LE(step, 0.003 + 1e-9) << i;
        const auto& v = blocks[i]->values;
        if (std::all_of(v.begin(), v.end(), [&](double x) { return x == v[0]; })) ++flat;
    }
    EXPECT_GE(flat, fillers);
    const double span = blocks.back()->times[27] - blocks[first]->times[0];
    EXPECT_NEAR(span, 0.056 * static_cast<double>(blocks.size() - first), 0.5);
}

TEST_F(EndToEnd, SixtySecondsOfRecording) {
    TempDir dir;
    const std::string path = dir.File("minute.pwv");
    m_usb->Poll();
    ASSERT_TRUE(m_usb->IsConnected());
    ASSERT_TRUE(PumpUntilSettled(20));
    Pump(5); // the heart rate settles

    // What the record command does: a new file, the clock at 0, recording; the live monitor makes
    // the next status packet report the LED.
    ASSERT_TRUE(GetPGFiles()->Create(MString(path.c_str())));
    GetRecordingState() = {kRecordingActive, 0};
    GetSavedStatus().ForceLedChange();
    auto k = fakehid::Kestrel();
    const double simStart = k->Time();
    Probe probe({kEventHeartBeat});
    Pump(60);
    GetRecordingState().state = kRecordingStopped;
    const double simEnd = k->Time();
    GetPGFiles()->Close();

    PGFiles record;
    ASSERT_TRUE(record.Open(MString(path.c_str()), PGFiles::OpenMode::ReadOnly));
    // Time stamps come every 3 s after the first 3 s: the reported length is the record's.
    // (The filter hands on up to half a second at a time, so a stamp comes up to that late.)
    EXPECT_GT(record.StartTime(), 3.0);
    EXPECT_LT(record.StartTime(), 3.6);
    EXPECT_GT(record.EndTime() - record.StartTime(), 53.0);
    EXPECT_LE(record.EndTime(), 60.0);
    // From the first stamp on, the samples read back lie 2 ms apart up to the end.
    std::vector<double> values(40'000), times(40'000);
    record.SeekTime(0, true);
    const int n = record.ReadRawSamples(values.data(), times.data(), 40'000);
    ASSERT_GT(n, 25'000);
    EXPECT_NEAR(times[0], record.StartTime(), 1e-6);
    EXPECT_NEAR(times[static_cast<size_t>(n - 1)] - times[0], 0.002 * (n - 1), 1e-6);
    const double start = record.StartTime();
    record.Close();

    auto chunks = ReadChunks(path);
    // 500 samples a second, less what was still in the filter when the recording stopped.
    size_t written = 0;
    for (const auto& p : chunks[PGFiles::kSamplesId]) written += p.size() / 2;
    EXPECT_NEAR(static_cast<double>(written), 30'000, 600);
    EXPECT_NEAR(static_cast<double>(n), static_cast<double>(written) - start * 500, 2);
    // Heart rates: one per beat passed on, on the record's axis, near the true rate.
    const auto& hr = chunks[PGFiles::kHeartRateId];
    const auto truth = k->TrueBeats(simStart, simEnd);
    EXPECT_NEAR(static_cast<double>(hr.size()), static_cast<double>(truth.size()), truth.size() * 0.15);
    std::vector<double> rates;
    double lastMs = -1;
    for (const auto& p : hr) {
        const double ms = p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24;
        EXPECT_GE(ms, lastMs);
        EXPECT_LE(ms, 61'000);
        lastMs = ms;
        rates.push_back((p[4] | p[5] << 8) / 100.0);
    }
    std::sort(rates.begin(), rates.end());
    double trueMean = 0;
    for (const auto& b : truth) trueMean += b.rate / static_cast<double>(truth.size());
    ASSERT_FALSE(rates.empty());
    EXPECT_NEAR(rates[rates.size() / 2], trueMean, 2.0);
    // Regulator states: the LED change and every 3 s.
    const auto& reg = chunks[PGFiles::kRegulatorId];
    EXPECT_GE(reg.size(), 20u);
    EXPECT_LE(reg.size(), 23u);
    for (const auto& p : reg) EXPECT_EQ(p[4], kLedInternalRed);
    EXPECT_EQ(probe.beats.size(), hr.size());
}

} // namespace
