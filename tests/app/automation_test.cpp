// The automation objects without a bus: CoDevice on the simulated Kestrel-9 (behind the real HID
// transport for the connection, and on simulated time for the live data), CoRecord on temporary
// record files.

#include "acquisition/Acquisition.h"
#include "acquisition/RecordingState.h"
#include "app/AppState.h"
#include "app/Automation.h"
#include "app/Commands.h"
#include "app/Settings.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "device/DeviceState.h"
#include "device/MJvUSB.h"
#include "sim/SimHidController.h"
#include "storage/PGFiles.h"
#include "tests/acquisition/AcqTestUtil.h"
#include "tests/app/ShellTestUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using shelltest::TempDir;

constexpr double kPeriod = 0.002;

// The wave the test records hold: sample k of a 1 Hz sine around 0.5.
double Wave(int k) {
    return 0.5 + 0.3 * std::sin(k * kPeriod * 2 * M_PI);
}

struct sBeat {
    double hr, time;
};

// A record of `seconds` of Wave at 500 samples per second in blocks of 50, with the given
// heart-rate entries written when the recording passes their time.
void WriteRecord(const std::string& path, double seconds, const std::vector<sBeat>& beats = {}) {
    PGFiles file;
    ASSERT_TRUE(file.Create(MString(path)));
    std::vector<double> block(50);
    const int blocks = int(seconds / kPeriod / 50);
    size_t nextBeat = 0;
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < 50; ++i) block[size_t(i)] = Wave(b * 50 + i);
        ASSERT_TRUE(file.WriteSamples(block.data(), 50, kPeriod));
        for (; nextBeat < beats.size() && beats[nextBeat].time <= file.CurrentTime(); ++nextBeat)
            ASSERT_TRUE(file.WriteHeartRate(beats[nextBeat].hr, beats[nextBeat].time));
    }
    file.Close();
}

// Length and first time stamp of a record, as a reader of its own sees them.
struct sRecordRange {
    double start = -1, end = -1;
};
sRecordRange RangeOf(const std::string& path) {
    PGFiles file;
    EXPECT_TRUE(file.Open(MString(path), PGFiles::OpenMode::ReadOnly));
    return {file.StartTime(), file.EndTime()};
}

// Process-wide state every test starts from and leaves behind.
class AutomationTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSettingsFilePath(MString(dir.File("Ini.bin")));
        GetSettings(true)->Clear();
        GetAppState(true)->CmdLine.Parse(MString(), GetSettings(true));
        GetRecordingState() = sRecordingState{};
        GetCommandBuffer().Reset();
        GetSavedStatus().Reset();
        GetPGFiles(true)->Close();
        GetPGFiles(true)->IsolineCorrection = false;
        ClearPendingLog();
    }
    void TearDown() override {
        StopAcquisition();
        ShutdownAppState();
        GetPGFiles(true)->Close();
        GetPGFiles(true)->IsolineCorrection = false;
        GetRecordingState() = sRecordingState{};
        GetSavedStatus().Reset();
        SetSettingsFilePath(MString());
        ShutdownSettings();
    }
    // The device object over a simulated bus holding the Kestrel-9, with the live chain over it.
    void MakeDevice() {
        auto controller = std::make_unique<SimHidController>();
        kestrel = controller->Kestrel();
        ASSERT_TRUE(GetAppState()->CreateDevice(std::move(controller)));
        ASSERT_TRUE(StartAcquisition(GetAppState()->Device()));
    }
    int32_t IsConnected() {
        int32_t v = -1;
        EXPECT_TRUE(device.IsConnected(&v).Ok());
        return v;
    }
    float Pos() {
        float p = NAN;
        EXPECT_TRUE(record.GetPos(&p).Ok());
        return p;
    }
    int32_t Open(const std::string& path) {
        int32_t ok = -1;
        EXPECT_TRUE(record.OpenFile(MString(path), &ok).Ok());
        return ok;
    }
    std::vector<int32_t> Read(int32_t count) {
        std::vector<int32_t> data{-1};
        EXPECT_TRUE(record.ReadSamples(count, &data).Ok());
        return data;
    }

    TempDir dir;
    cCoDevice device;
    cCoRecord record;
    std::shared_ptr<SimKestrel> kestrel;
};

// ---- CoDevice ---------------------------------------------------------------------------------

TEST_F(AutomationTest, DeviceCallsFailWithoutADeviceObject) {
    int32_t v = 7;
    sAutomationStatus s = device.IsConnected(&v);
    EXPECT_EQ(s.code, AutomationCode::kFail);
    EXPECT_EQ(s.text, kAutomationNoDevice);
    EXPECT_EQ(v, 0);

    v = 7;
    s = device.Connect(&v);
    EXPECT_EQ(s.code, AutomationCode::kFail);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(device.Disconnect().code, AutomationCode::kFail);

    // The reads need no device object: what the process holds is returned.
    std::vector<int32_t> raw{1, 2};
    EXPECT_TRUE(device.GetRawData(&raw).Ok());
    EXPECT_TRUE(raw.empty());
    float hr = -1;
    EXPECT_TRUE(device.GetHeartRate(&hr).Ok());
    EXPECT_EQ(hr, 0.0f) << "before the first beat";
}

TEST_F(AutomationTest, ConnectTogglesAndWhileConnectedDisconnects) {
    MakeDevice();
    EXPECT_EQ(IsConnected(), 0);

    int32_t v = -1;
    ASSERT_TRUE(device.Connect(&v).Ok());
    EXPECT_EQ(v, 1);
    EXPECT_EQ(IsConnected(), 1);

    // Connect while connected is the same command: LEDs and power off, then disconnect.
    ASSERT_TRUE(device.Connect(&v).Ok());
    EXPECT_EQ(v, 0);
    EXPECT_EQ(IsConnected(), 0);
    EXPECT_EQ(kestrel->Settings().led, kLedOff);
    EXPECT_FALSE(kestrel->Settings().power);

    // Disconnect only ever disconnects.
    EXPECT_TRUE(device.Disconnect().Ok());
    EXPECT_EQ(IsConnected(), 0);
    ASSERT_TRUE(device.Connect(&v).Ok());
    ASSERT_EQ(v, 1);
    EXPECT_TRUE(device.Disconnect().Ok());
    EXPECT_EQ(IsConnected(), 0);
}

TEST_F(AutomationTest, ConnectWithoutAPluggedDeviceReportsNotConnected) {
    auto controller = std::make_unique<SimHidController>(std::make_shared<SimHidBus>());
    ASSERT_TRUE(GetAppState()->CreateDevice(std::move(controller)));
    int32_t v = -1;
    EXPECT_TRUE(device.Connect(&v).Ok());
    EXPECT_EQ(v, 0);
    EXPECT_NE(TakePendingLog().find("Устройство не обнаружено!"), std::string::npos);
}

TEST_F(AutomationTest, GetRawDataReturnsWhatArrivedSinceThePreviousCallOnce) {
    ASSERT_TRUE(StartAcquisition(static_cast<MJvUSB*>(nullptr)));
    cRawAdcQueue& queue = GetAcquisition()->RawQueue();
    // 65535 is a running value that went below 0 as a 16-bit number: widened, not sign-extended.
    const unsigned short first[] = {0, 1, 2048, 4095, 65535};
    ASSERT_EQ(queue.Put(first, 5), 5);

    std::vector<int32_t> data;
    ASSERT_TRUE(device.GetRawData(&data).Ok());
    EXPECT_EQ(data, (std::vector<int32_t>{0, 1, 2048, 4095, 65535}));
    EXPECT_EQ(queue.Count(), 0);

    ASSERT_TRUE(device.GetRawData(&data).Ok());
    EXPECT_TRUE(data.empty()) << "nothing arrived in between";

    const unsigned short second[] = {17, 18};
    ASSERT_EQ(queue.Put(second, 2), 2);
    ASSERT_TRUE(device.GetRawData(&data).Ok());
    EXPECT_EQ(data, (std::vector<int32_t>{17, 18}));
}

TEST_F(AutomationTest, StatusReadsComeFromTheLastStatusPacket) {
    struct Case {
        uint8_t drive, lf;
        uint16_t carrier;
    };
    // The carrier level spans two bytes, low byte first; 0xFFFF stays positive.
    for (const Case& c : {Case{0, 0, 0}, Case{250, 50, 3400}, Case{255, 1, 0x1234}, Case{1, 255, 0xFFFF}}) {
        sStatusFields f;
        f.driveCode = c.drive;
        f.lfCode = c.lf;
        f.carrierLevel = c.carrier;
        f.activeLed = kLedInternalRed;
        GetSavedStatus().Update(MakeStatusPacket(f));
        int32_t dc = -1, hf = -1, lf = -1;
        ASSERT_TRUE(device.GetDcOffset(&dc).Ok());
        ASSERT_TRUE(device.GetHfAmp(&hf).Ok());
        ASSERT_TRUE(device.GetLfAmp(&lf).Ok());
        EXPECT_EQ(dc, int32_t{c.carrier});
        EXPECT_EQ(hf, int32_t{c.drive});
        EXPECT_EQ(lf, int32_t{c.lf});
    }
}

// The live chain on simulated time: what the device sent reaches the client.
class AutomationLive : public acqtest::AcqFixture {
protected:
    cCoDevice device;
};

TEST_F(AutomationLive, RawDataAndHeartRateFollowTheDevice) {
    SimKestrelConfig config;
    config.seed = 1;
    SimKestrel kestrel(config);
    kestrel.EnableTrace(400);
    acqtest::SimLink link(kestrel);
    Start(&link);
    ConfigureOnConnect();
    Run(25'000); // the regulator settles and the detector finds the rhythm

    std::vector<int32_t> data;
    ASSERT_TRUE(device.GetRawData(&data).Ok());
    EXPECT_EQ(data.size(), 4096u) << "the queue holds 4096 values; later ones were dropped";

    Run(1'000);
    ASSERT_TRUE(device.GetRawData(&data).Ok());
    // About one second of samples, whole packets, exactly as the device sent them.
    ASSERT_GE(data.size(), size_t(kSamplesPerPacket));
    ASSERT_EQ(data.size() % kSamplesPerPacket, 0u);
    EXPECT_NEAR(double(data.size()), 500.0, 2.0 * kSamplesPerPacket);
    const std::vector<SimTracePacket> trace = kestrel.Trace();
    auto startsAt = [&](size_t p) {
        for (size_t k = 0; k < size_t(kSamplesPerPacket); ++k)
            if (int32_t{trace[p].sent[k]} != data[k]) return false;
        return true;
    };
    size_t at = 0;
    while (at < trace.size() && !startsAt(at)) ++at;
    for (size_t i = 0; i < data.size(); ++i) {
        const size_t p = at + i / kSamplesPerPacket;
        ASSERT_LT(p, trace.size());
        ASSERT_EQ(data[i], int32_t{trace[p].sent[i % kSamplesPerPacket]}) << "value " << i;
    }

    float hr = 0;
    ASSERT_TRUE(device.GetHeartRate(&hr).Ok());
    EXPECT_NEAR(hr, kestrel.TrueRateAt(kestrel.Time() - 1.0), 3.0);

    // The status reads show what the device runs with (it reports after every change).
    int32_t drive = -1, lf = -1, dc = -1;
    ASSERT_TRUE(device.GetHfAmp(&drive).Ok());
    ASSERT_TRUE(device.GetLfAmp(&lf).Ok());
    ASSERT_TRUE(device.GetDcOffset(&dc).Ok());
    EXPECT_EQ(drive, int32_t{kestrel.Settings().drive});
    EXPECT_EQ(lf, int32_t{kestrel.Settings().lf});
    EXPECT_NEAR(dc, kestrel.CarrierLevel(), 100);
}

// ---- CoRecord ---------------------------------------------------------------------------------

TEST_F(AutomationTest, OpenFileSaysWhetherTheRecordHasALength) {
    WriteRecord(dir.File("long.pwv"), 10);
    WriteRecord(dir.File("short.pwv"), 2.5); // no time stamp yet
    shelltest::WriteText(dir.File("empty.pwv"), "");
    shelltest::WriteText(dir.File("text.pwv"), "1 2 3\n4 5 6\n");
    ASSERT_EQ(::mkdir(dir.File("folder.pwv").c_str(), 0700), 0);
    struct Case {
        std::string name;
        int32_t ok;
    };
    for (const Case& c : {Case{"long.pwv", 1}, Case{"short.pwv", 0}, Case{"empty.pwv", 0},
                          Case{"text.pwv", 0}, Case{"missing.pwv", 0}, Case{"folder.pwv", 0}, Case{"", 0}}) {
        SCOPED_TRACE(c.name);
        const std::string path = c.name.empty() ? std::string() : dir.File(c.name);
        EXPECT_EQ(Open(path), c.ok);
    }
    EXPECT_EQ(Open(dir.File("long.pwv")), 1);
    EXPECT_TRUE(GetPGFiles()->IsOpen());
    EXPECT_FALSE(GetPGFiles()->IsWriting());
}

TEST_F(AutomationTest, LengthAndPositionsAreRecordSecondsFromTheFirstTimeStamp) {
    const std::string path = dir.File("rec.pwv");
    WriteRecord(path, 10);
    const sRecordRange range = RangeOf(path);
    ASSERT_GT(range.end, range.start);
    ASSERT_EQ(Open(path), 1);

    float length = 0;
    ASSERT_TRUE(record.GetLength(&length).Ok());
    EXPECT_EQ(length, float(range.end - range.start)) << "single precision, as the bus carries it";
    EXPECT_NEAR(length, 6.0, 0.2); // stamps just after 3, 6 and 9 s

    // The reader starts at the first sample written, before the first time stamp.
    EXPECT_FLOAT_EQ(Pos(), float(-range.start));

    struct Case {
        float to;
        float min, max; // where the reader may land
    };
    const float end = length;
    for (const Case& c :
         {Case{2.5f, 2.5f, 2.5f + 0.0031f}, Case{0.0f, 0.0f, 0.0031f}, Case{5.0f, 5.0f, 5.0031f},
          Case{1000.0f, end, end}, Case{-5.0f, 0.0f, 0.0f}, Case{1.25f, 1.25f, 1.2531f}}) {
        SCOPED_TRACE(c.to);
        float landed = NAN;
        ASSERT_TRUE(record.GoToPos(c.to, &landed).Ok());
        EXPECT_GE(landed, c.min);
        EXPECT_LE(landed, c.max);
        EXPECT_EQ(Pos(), landed);
    }
}

TEST_F(AutomationTest, GoToPosRefusesNaNAndInfinityAndReadsNothing) {
    const std::string path = dir.File("rec.pwv");
    WriteRecord(path, 20);
    ASSERT_EQ(Open(path), 1);
    // With isoline correction a seek reads until it passes the position: a position that is
    // never passed would read the whole record.
    GetPGFiles()->IsolineCorrection = true;
    float landed = NAN;
    ASSERT_TRUE(record.GoToPos(4.0f, &landed).Ok());
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                      -std::numeric_limits<float>::infinity()}) {
        SCOPED_TRACE(bad);
        float out = 123.0f;
        const sAutomationStatus s = record.GoToPos(bad, &out);
        EXPECT_EQ(s.code, AutomationCode::kFail);
        EXPECT_EQ(s.text, kAutomationPositionNotFinite);
        EXPECT_EQ(out, 123.0f);
        EXPECT_EQ(Pos(), landed) << "the reader did not move";
    }
}

TEST_F(AutomationTest, ReadSamplesClampsTheCountAndTruncatesThousandths) {
    const std::string path = dir.File("rec.pwv");
    WriteRecord(path, 30); // 15,000 samples
    struct Case {
        int32_t asked;
        size_t read;
    };
    for (const Case& c : {Case{0, 1}, Case{-5, 1}, Case{INT32_MIN, 1}, Case{1, 1}, Case{200, 200},
                          Case{10'000, 10'000}, Case{50'000, 10'000}, Case{INT32_MAX, 10'000}}) {
        SCOPED_TRACE(c.asked);
        ASSERT_EQ(Open(path), 1); // back to the first sample
        const std::vector<int32_t> data = Read(c.asked);
        ASSERT_EQ(data.size(), c.read);
        // What a reader of its own gets at the same place, in thousandths, truncated.
        PGFiles own;
        ASSERT_TRUE(own.Open(MString(path), PGFiles::OpenMode::ReadOnly));
        std::vector<double> values(c.read), times(c.read);
        ASSERT_EQ(own.ReadSamples(values.data(), times.data(), int32_t(c.read)), int32_t(c.read));
        for (size_t i = 0; i < c.read; ++i) {
            ASSERT_EQ(data[i], int32_t(std::trunc(values[i] * 1000))) << i;
            ASSERT_NEAR(data[i] / 1000.0, Wave(int(i)), 0.0011) << i;
        }
    }
}

TEST_F(AutomationTest, ReadSamplesAtTheEndAndWithoutARecordReturnsFewerOrNone) {
    std::vector<int32_t> data = Read(100);
    EXPECT_TRUE(data.empty()) << "no record open";
    float length = -1, hr = -1;
    ASSERT_TRUE(record.GetLength(&length).Ok());
    ASSERT_TRUE(record.GetHeartRate(&hr).Ok());
    EXPECT_EQ(length, 0.0f);
    EXPECT_EQ(hr, 0.0f);

    const std::string path = dir.File("rec.pwv");
    WriteRecord(path, 10);
    ASSERT_EQ(Open(path), 1);
    float landed = 0;
    ASSERT_TRUE(record.GoToPos(1000.0f, &landed).Ok());
    // From the last time stamp to the end of the file.
    const double lastStamp = RangeOf(path).end;
    const size_t left = size_t(std::lround((10.0 - lastStamp) / kPeriod));
    data = Read(10'000);
    EXPECT_NEAR(double(data.size()), double(left), 1.0);
    EXPECT_TRUE(Read(10).empty());
}

TEST_F(AutomationTest, RecordHeartRateIsTheEntryLastRead) {
    const std::string path = dir.File("rec.pwv");
    WriteRecord(path, 12, {{72.5, 4.0}, {64.25, 8.0}});
    ASSERT_EQ(Open(path), 1);
    float hr = -1;
    ASSERT_TRUE(record.GetHeartRate(&hr).Ok());
    EXPECT_EQ(hr, 0.0f) << "nothing read yet";

    float landed = 0;
    ASSERT_TRUE(record.GoToPos(3.0f, &landed).Ok()); // about 6 s of record time
    ASSERT_TRUE(record.GetHeartRate(&hr).Ok());
    EXPECT_EQ(hr, 72.5f);
    Read(10'000); // past 8 s
    ASSERT_TRUE(record.GetHeartRate(&hr).Ok());
    EXPECT_EQ(hr, 64.25f);
}

TEST_F(AutomationTest, OpenFileIsRefusedWhileARecordingRunsOrIsPaused) {
    const std::string other = dir.File("other.pwv");
    WriteRecord(other, 10);
    const std::string recording = dir.File("recording.pwv");
    for (const int state : {kRecordingActive, kRecordingPaused}) {
        SCOPED_TRACE(state);
        GetAppState()->CurrentRecordFile = MString(recording);
        ASSERT_EQ(RecStartActionExecute({}), RecStartResult::kStarted);
        if (state == kRecordingPaused) RecPauseActionExecute();
        ASSERT_EQ(GetRecordingState().state, state);
        const double samples[4] = {0.1, 0.2, 0.3, 0.4};
        ASSERT_TRUE(GetPGFiles()->WriteSamples(samples, 4, kPeriod));
        ClearPendingLog();

        EXPECT_EQ(Open(other), 0);
        EXPECT_EQ(GetRecordingState().state, state);
        EXPECT_TRUE(GetPGFiles()->IsWriting()) << "the recorder's file stays open for writing";
        EXPECT_EQ(GetPGFiles()->Path().ToUtf8(), recording);
        EXPECT_NEAR(GetPGFiles()->CurrentTime(), 4 * kPeriod, 1e-12);
        EXPECT_NE(TakePendingLog().find(other), std::string::npos) << "the refusal is logged";

        RecStopActionExecute();
        EXPECT_EQ(Open(other), 1) << "once stopped it opens";
        GetPGFiles()->Close();
    }
}

TEST_F(AutomationTest, NullOutputPointersChangeNothing) {
    const std::string path = dir.File("rec.pwv");
    WriteRecord(path, 10);
    MakeDevice();
    const unsigned short raw[] = {5, 6, 7};
    ASSERT_EQ(GetAcquisition()->RawQueue().Put(raw, 3), 3);

    struct Case {
        const char* name;
        std::function<sAutomationStatus()> call;
    };
    const std::vector<Case> cases = {
        {"IsConnected", [&] { return device.IsConnected(nullptr); }},
        {"Connect", [&] { return device.Connect(nullptr); }},
        {"GetRawData", [&] { return device.GetRawData(nullptr); }},
        {"GetHeartRate", [&] { return device.GetHeartRate(nullptr); }},
        {"GetDcOffset", [&] { return device.GetDcOffset(nullptr); }},
        {"GetHfAmp", [&] { return device.GetHfAmp(nullptr); }},
        {"GetLfAmp", [&] { return device.GetLfAmp(nullptr); }},
        {"OpenFile", [&] { return record.OpenFile(MString(path), nullptr); }},
        {"GetLength", [&] { return record.GetLength(nullptr); }},
        {"GoToPos", [&] { return record.GoToPos(5.0f, nullptr); }},
        {"GetPos", [&] { return record.GetPos(nullptr); }},
        {"ReadSamples", [&] { return record.ReadSamples(100, nullptr); }},
        {"GetHeartRate (record)", [&] { return record.GetHeartRate(nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const sAutomationStatus s = c.call();
        EXPECT_EQ(s.code, AutomationCode::kPointer);
        EXPECT_EQ(s.text, kAutomationNullPointer);
    }
    EXPECT_FALSE(DeviceConnected());
    EXPECT_EQ(GetAcquisition()->RawQueue().Count(), 3);
    EXPECT_FALSE(GetPGFiles()->IsOpen());

    // With the record open, null pointers do not move the reader either.
    ASSERT_EQ(Open(path), 1);
    const float before = Pos();
    EXPECT_EQ(record.GoToPos(5.0f, nullptr).code, AutomationCode::kPointer);
    EXPECT_EQ(record.ReadSamples(100, nullptr).code, AutomationCode::kPointer);
    EXPECT_EQ(Pos(), before);
}

} // namespace
