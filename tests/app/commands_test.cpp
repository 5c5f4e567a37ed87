// The command layer on the process-wide objects, with the simulated Kestrel-9 behind the real HID
// transport, and the unattended-run controller against a scripted set of commands.

#include "acquisition/Acquisition.h"
#include "acquisition/AppEvents.h"
#include "acquisition/RecordingState.h"
#include "acquisition/SampleBlob.h"
#include "analysis/PulseIndexes.h"
#include "analysis/VariabilityCore.h"
#include "app/AppState.h"
#include "app/CmdLineController.h"
#include "app/Commands.h"
#include "app/Headless.h"
#include "app/Settings.h"
#include "core/Log.h"
#include "core/MVarArray.h"
#include "core/Settings.h"
#include "device/DeviceState.h"
#include "device/MJvUSB.h"
#include "sim/SimHidController.h"
#include "storage/PGFiles.h"
#include "tests/app/ShellTestUtil.h"
#include "viewing/FragmentMarkers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using shelltest::TempDir;

// What the window would have been asked to do.
struct RecordingViews : ICommandViews {
    std::vector<std::string> calls;
    std::vector<MString> recent;
    void DockLiveMonitor() override { calls.push_back("live"); }
    void DockLog() override { calls.push_back("log"); }
    void DockRecordViewer() override { calls.push_back("viewer"); }
    void DockExport() override { calls.push_back("export"); }
    void SelectTab(int index) override { calls.push_back("tab" + std::to_string(index)); }
    void RecordOpened() override { calls.push_back("opened"); }
    void ResetFragment() override { calls.push_back("reset"); }
    void RecentFilesChanged(const std::vector<MString>& files) override { recent = files; }
    void IsolineCorrectionChanged() override { calls.push_back("isoline"); }
    bool Saw(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
};

// Writes a record of `seconds` of a 1 Hz wave at 500 samples per second.
void WriteRecord(const std::string& path, double seconds) {
    PGFiles file;
    ASSERT_TRUE(file.Create(MString(path)));
    std::vector<double> block(50);
    const int blocks = int(seconds * 500 / 50);
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < 50; ++i)
            block[size_t(i)] = 0.5 + 0.3 * std::sin((b * 50 + i) * 0.002 * 6.2831853);
        ASSERT_TRUE(file.WriteSamples(block.data(), 50, 0.002));
    }
    file.Close();
}

class Commands : public ::testing::Test {
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
        SetCommandViews(&views);
        ClearPendingLog();
    }
    void TearDown() override {
        SetCommandViews(nullptr);
        StopAcquisition();
        ShutdownAppState();
        GetPGFiles(true)->Close();
        GetRecordingState() = sRecordingState{};
        SetSettingsFilePath(MString());
        ShutdownSettings();
    }
    // The device object over a simulated bus, with the live chain over it.
    void MakeDevice(bool withKestrel = true) {
        std::unique_ptr<SimHidController> controller =
            withKestrel ? std::make_unique<SimHidController>()
                        : std::make_unique<SimHidController>(std::make_shared<SimHidBus>());
        kestrel = controller->Kestrel();
        ASSERT_TRUE(GetAppState()->CreateDevice(std::move(controller)));
        ASSERT_TRUE(StartAcquisition(GetAppState()->Device()));
    }
    MString& Current() { return GetAppState()->CurrentRecordFile; }
    std::string Setting(const char16_t* key) {
        const MVarArray* node = GetSettings(true)->Find(MVariant(key));
        return node ? node->Value().AsString().ToUtf8() : "<absent>";
    }

    TempDir dir;
    RecordingViews views;
    std::shared_ptr<SimKestrel> kestrel;
};

TEST_F(Commands, ConnectTakesTheDeviceAndDisconnectSwitchesItOff) {
    MakeDevice();
    EXPECT_FALSE(DeviceConnected());
    EXPECT_TRUE(UsbEnumActionExecute());
    EXPECT_TRUE(DeviceConnected());
    EXPECT_TRUE(views.Saw("tab0"));

    EXPECT_FALSE(UsbEnumActionExecute());
    EXPECT_FALSE(DeviceConnected());
    const SimSettings s = kestrel->Settings();
    EXPECT_EQ(s.led, kLedOff);
    EXPECT_FALSE(s.power);
}

TEST_F(Commands, KeepPowerOnLeavesTheDeviceRunningWhenDisconnecting) {
    GetAppState()->CmdLine.Parse(MString("--keep_power_on"), GetSettings(true));
    MakeDevice();
    ASSERT_TRUE(UsbEnumActionExecute());
    // Let the configuration sent on connect reach the device.
    for (int i = 0; i < 100 && !kestrel->Settings().recovery; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(UsbEnumActionExecute());
    EXPECT_TRUE(kestrel->Settings().power);
    EXPECT_NE(kestrel->Settings().led, kLedOff);
    EXPECT_EQ(GetCommandBuffer().Led(), kestrel->Settings().led);
}

TEST_F(Commands, ConnectWithoutADeviceLogsItAndShowsTheLog) {
    MakeDevice(false);
    EXPECT_FALSE(UsbEnumActionExecute());
    EXPECT_TRUE(views.Saw("log"));
    EXPECT_TRUE(views.Saw("tab0"));
    EXPECT_NE(TakePendingLog().find("Устройство не обнаружено!"), std::string::npos);
}

TEST_F(Commands, WithoutADeviceObjectConnectAndTheLedCommandsDoNothing) {
    EXPECT_FALSE(DeviceObjectExists());
    EXPECT_FALSE(UsbEnumActionExecute());
    const sBaseCmd before = GetCommandBuffer().Packet();
    SetClipRedLedActionExecute();
    SetIntRedLedActionExecute();
    EXPECT_TRUE(GetCommandBuffer().Packet() == before);
}

TEST_F(Commands, LedCommandsSetTheCommandAndAClipMakesTheRegulatorWait) {
    MakeDevice();
    SetClipRedLedActionExecute();
    EXPECT_EQ(GetCommandBuffer().Led(), kLedClipRed);
    EXPECT_EQ(GetCommandBuffer().Drive(), kConnectDriveCode);
    EXPECT_TRUE(GetAcquisition()->Regulator().SkipPending());
    SetClipIRLedActionExecute();
    EXPECT_EQ(GetCommandBuffer().Led(), kLedClipInfrared);
    SetIntRedLedActionExecute();
    EXPECT_EQ(GetCommandBuffer().Led(), kLedInternalRed);

    SetAutoLedRegulation(false);
    EXPECT_FALSE(GetAcquisition()->Regulator().AutoLedI);
    SetAutoLedRegulation(true);
    EXPECT_TRUE(GetAcquisition()->Regulator().AutoLedI);
}

TEST_F(Commands, StartRecordsIntoTheCurrentFileWithItsStartMarks) {
    EXPECT_EQ(RecStartActionExecute({}), RecStartResult::kFailed) << "no current record file";
    EXPECT_EQ(GetRecordingState().state, kRecordingStopped);

    const std::string path = dir.File("rec.pwv");
    Current() = MString(path);
    GetRecordingState().clock = 2.0;
    const int64_t before = int64_t(std::time(nullptr));
    ASSERT_EQ(RecStartActionExecute({}), RecStartResult::kStarted);
    EXPECT_EQ(GetRecordingState().state, kRecordingActive);
    EXPECT_EQ(GetRecordingState().clock, 0.0);
    EXPECT_TRUE(GetPGFiles()->IsWriting());
    EXPECT_TRUE(views.Saw("live"));

    const double samples[4] = {0.1, 0.2, 0.3, 0.4}; // what the recorder would write
    ASSERT_TRUE(GetPGFiles()->WriteSamples(samples, 4, 0.002));

    RecPauseActionExecute();
    EXPECT_EQ(GetRecordingState().state, kRecordingPaused);
    RecPauseActionExecute();
    EXPECT_EQ(GetRecordingState().state, kRecordingActive);

    RecStopActionExecute();
    EXPECT_EQ(GetRecordingState().state, kRecordingStopped);
    EXPECT_FALSE(GetPGFiles()->IsOpen());
    RecPauseActionExecute();
    EXPECT_EQ(GetRecordingState().state, kRecordingStopped) << "pause does nothing while stopped";

    PGFiles file;
    ASSERT_TRUE(file.Open(MString(path), PGFiles::OpenMode::ReadOnly));
    ASSERT_TRUE(file.Metadata.Contains(u"RecordStartT"));
    ASSERT_TRUE(file.Metadata.Contains(u"Start GetTickCount()"));
    const int64_t start = file.Metadata.Value(u"RecordStartT").ToInt64();
    EXPECT_GE(start, before);
    EXPECT_LE(start, int64_t(std::time(nullptr)));
    EXPECT_TRUE(file.Metadata.Value(u"Start GetTickCount()").IsIntegerText());
}

TEST_F(Commands, AFileThatCannotBeCreatedLeavesTheStateStopped) {
    Current() = MString(dir.File("missing/rec.pwv"));
    EXPECT_EQ(RecStartActionExecute([] { return true; }), RecStartResult::kFailed);
    EXPECT_EQ(GetRecordingState().state, kRecordingStopped);
    EXPECT_FALSE(GetPGFiles()->IsOpen());
    EXPECT_NE(TakePendingLog().find("cannot be created"), std::string::npos);
}

TEST_F(Commands, OverwritingMoreThanFiveSecondsAsksFirst) {
    const std::string path = dir.File("rec.pwv");
    Current() = MString(path);
    ASSERT_EQ(RecStartActionExecute({}), RecStartResult::kStarted);
    const double samples[4] = {0.1, 0.2, 0.3, 0.4};
    ASSERT_TRUE(GetPGFiles()->WriteSamples(samples, 4, 0.002));
    GetRecordingState().clock = 5.5;

    int asked = 0;
    EXPECT_EQ(RecStartActionExecute([&] { return ++asked, false; }), RecStartResult::kDeclined);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(GetRecordingState().state, kRecordingActive);
    EXPECT_EQ(GetRecordingState().clock, 5.5);
    EXPECT_TRUE(GetPGFiles()->IsWriting()) << "the running recording goes on";
    EXPECT_EQ(RecStartActionExecute({}), RecStartResult::kDeclined) << "no answer is no";

    EXPECT_EQ(RecStartActionExecute([&] { return ++asked, true; }), RecStartResult::kStarted);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(GetRecordingState().clock, 0.0);
    RecStopActionExecute();

    // A record open for viewing that is longer than 5 s asks too.
    WriteRecord(path, 10);
    ASSERT_TRUE(ShowOpenedRecordActionExecute());
    ASSERT_GT(GetPGFiles()->EndTime(), 5.0);
    EXPECT_EQ(RecStartActionExecute([&] { return ++asked, false; }), RecStartResult::kDeclined);
    EXPECT_EQ(asked, 3);
    PGFiles check;
    ASSERT_TRUE(check.Open(MString(path), PGFiles::OpenMode::ReadOnly));
    EXPECT_GT(check.EndTime(), 5.0) << "the record was not overwritten";
}

TEST_F(Commands, NewFileBecomesCurrentAndGoesToTheRecentList) {
    const std::string path = dir.File("new.pwv");
    ASSERT_TRUE(RecNewFileActionExecute(MString(path)));
    EXPECT_EQ(Current().ToUtf8(), path);
    EXPECT_TRUE(GetPGFiles()->IsWriting());
    ASSERT_EQ(views.recent.size(), 1u);
    EXPECT_EQ(views.recent[0].ToUtf8(), path);
    // The list change is saved at once.
    MVarArray saved = shelltest::LoadTree(dir.File("Ini.bin"));
    EXPECT_EQ(saved.Find(MVariant(u"RecentFile0"))->Value().AsString().ToUtf8(), path);

    EXPECT_FALSE(RecNewFileActionExecute(MString(dir.File("missing/new.pwv"))));
    EXPECT_TRUE(Current().IsEmpty());
}

TEST_F(Commands, OpenAndShowReadTheRecord) {
    const std::string longRec = dir.File("long.pwv"), shortRec = dir.File("short.pwv");
    WriteRecord(longRec, 10);
    WriteRecord(shortRec, 2);

    GetRecordingState().state = kRecordingActive;
    ASSERT_TRUE(OpenRecordActionExecute(MString(longRec)));
    EXPECT_EQ(GetRecordingState().state, kRecordingStopped);
    EXPECT_EQ(Current().ToUtf8(), longRec);
    EXPECT_TRUE(GetPGFiles()->IsOpen() && !GetPGFiles()->IsWriting());
    EXPECT_TRUE(views.Saw("viewer") && views.Saw("opened") && views.Saw("tab1"));
    ASSERT_EQ(views.recent.size(), 1u);

    // A record without a time range opens but is not listed.
    ASSERT_TRUE(OpenRecordActionExecute(MString(shortRec)));
    EXPECT_EQ(views.recent.size(), 1u);

    EXPECT_FALSE(OpenRecordActionExecute(MString(dir.File("data.txt"))));
    EXPECT_FALSE(OpenRecordActionExecute(MString(dir.File("absent.pwv"))));

    // A recent entry that still exists is shown; one that vanished is not.
    views.calls.clear();
    EXPECT_TRUE(OpenRecentFile(MString(longRec)));
    EXPECT_TRUE(views.Saw("reset") && views.Saw("opened") && views.Saw("tab1"));
    EXPECT_FALSE(OpenRecentFile(MString(dir.File("gone.pwv"))));
    EXPECT_FALSE(OpenRecentFile(MString()));
    EXPECT_EQ(Current().ToUtf8(), longRec);
}

TEST_F(Commands, OpenImportsForeignTextAtTheGivenRate) {
    const std::string text = dir.File("wave.txt");
    std::string numbers;
    for (int i = 0; i < 1000; ++i) numbers += std::to_string(int(100 + 50 * std::sin(i * 0.07))) + "\n";
    shelltest::WriteText(text, numbers);
    ASSERT_TRUE(OpenRecordActionExecute(MString(text), 100));
    EXPECT_EQ(Current().ToUtf8(), dir.File("wave.pwv"));
    EXPECT_TRUE(GetPGFiles()->IsOpen());
    EXPECT_GT(GetPGFiles()->EndTime(), GetPGFiles()->StartTime());
}

TEST_F(Commands, ARecordIsARecordWhateverTheCaseOfItsExtension) {
    const struct {
        const char* path;
        bool record;
    } cases[] = {
        {"/d/a.pwv", true},      {"/d/A.PWV", true}, {"/d/a.Pwv", true},  {"/d/a.txt", false},
        {"/d/a.pwv.txt", false}, {"/d/pwv", false},  {"/d.pwv/a", false}, {"/d/.pwv", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsRecordFilePath(MString(c.path)), c.record) << c.path;

    // An upper-case record opens as a record instead of being read as numbers.
    const std::string upper = dir.File("REC.PWV");
    WriteRecord(upper, 10);
    ASSERT_TRUE(OpenRecordActionExecute(MString(upper)));
    EXPECT_EQ(Current().ToUtf8(), upper);
    EXPECT_GT(GetPGFiles()->EndTime(), 5.0);
}

TEST_F(Commands, ImportAsksBeforeReplacingAnExistingRecord) {
    const std::string text = dir.File("wave.txt"), target = dir.File("wave.pwv");
    std::string numbers;
    for (int i = 0; i < 1000; ++i) numbers += std::to_string(int(100 + 50 * std::sin(i * 0.07))) + "\n";
    shelltest::WriteText(text, numbers);
    WriteRecord(target, 30);
    const int64_t before = shelltest::FileSize(target);

    // No answer, or no: the record stays as it was and nothing is opened.
    EXPECT_FALSE(OpenRecordActionExecute(MString(text), 100));
    MString asked;
    EXPECT_FALSE(OpenRecordActionExecute(MString(text), 100, [&](const MString& t) {
        asked = t;
        return false;
    }));
    EXPECT_EQ(asked.ToUtf8(), target);
    EXPECT_EQ(shelltest::FileSize(target), before);
    EXPECT_FALSE(GetPGFiles()->IsOpen());

    // Yes: replaced by the import (10 s of numbers at 100 Hz, not 30 s of recording).
    ASSERT_TRUE(OpenRecordActionExecute(MString(text), 100, [](const MString&) { return true; }));
    EXPECT_LT(GetPGFiles()->EndTime(), 11.0);
}

TEST_F(Commands, ARecentFileEmptiesTheFragmentAndTheAnalysisResults) {
    const std::string path = dir.File("rec.pwv");
    WriteRecord(path, 10);
    GetFragmentMarkers(true)->Anchor(FragmentEdge::kStart, 4);
    PulseIndexes* indexes = GetPulseIndexes(true);
    for (int k = 0; k < PulseIndexes::kMarkerCount; ++k) indexes->SetMarker(k, 1 + 0.1 * k, 0.5);
    indexes->ComputePulseIndexes(1.7);
    ASSERT_GT(indexes->Table().Count(), 0);

    ASSERT_TRUE(OpenRecentFile(MString(path)));
    EXPECT_FALSE(GetFragmentMarkers()->Start().placed);
    EXPECT_EQ(indexes->Table().Count(), 0);
    EXPECT_EQ(indexes->Marker(4).t, 0.0);
    EXPECT_EQ(GetVariabilityCore(true)->Table().Count(), 0);
    EXPECT_TRUE(views.Saw("reset"));
}

TEST_F(Commands, ShowDisconnectsTheDeviceAndOpensTheCurrentRecord) {
    MakeDevice();
    ASSERT_TRUE(UsbEnumActionExecute());
    const std::string path = dir.File("rec.pwv");
    WriteRecord(path, 8);
    EXPECT_FALSE(ShowOpenedRecordActionExecute()) << "no current record file";
    Current() = MString(path);
    ASSERT_TRUE(ShowOpenedRecordActionExecute());
    EXPECT_FALSE(DeviceConnected());
    EXPECT_FALSE(kestrel->Settings().power);
    EXPECT_TRUE(GetPGFiles()->IsOpen());
}

TEST_F(Commands, ExportPreparesTheOptionsFromTheSettingsAndWritesTheOpenRecord) {
    EXPECT_FALSE(ExportRecToTextActionExecute()) << "nothing open";
    const std::string path = dir.File("rec.pwv");
    WriteRecord(path, 10);
    Current() = MString(path);
    ASSERT_TRUE(ShowOpenedRecordActionExecute());
    GetSettings(true)->Item(MVariant(u"ExportSampleF")).Value() = MVariant(int32_t{250});
    ASSERT_TRUE(ExportRecToTextActionExecute());
    EXPECT_TRUE(views.Saw("export"));
    const ExportOptions& o = GetAppState()->Export;
    EXPECT_EQ(o.sampleF, 250);
    EXPECT_EQ(o.start, 3);
    EXPECT_EQ(o.end, 9);

    const ExportResult ok = WriteExportFile(MString(dir.File("rec.txt")));
    EXPECT_TRUE(ok.ok);
    EXPECT_GT(shelltest::FileSize(dir.File("rec.txt")), 0);
    const ExportResult failed = WriteExportFile(MString(dir.File("missing/rec.txt")));
    EXPECT_FALSE(failed.ok);
    EXPECT_TRUE(failed.message.Equals(kExportCreateFailedMessage));
}

TEST_F(Commands, CommandStatesFollowConnectionFileAndRecordingState) {
    sCommandStates s = GetCommandStates();
    EXPECT_FALSE(s.connected || s.newFile || s.start || s.stop || s.exportText);
    MakeDevice();
    ASSERT_TRUE(UsbEnumActionExecute());
    s = GetCommandStates();
    EXPECT_TRUE(s.connected && s.newFile);
    EXPECT_FALSE(s.start) << "no current record file";
    Current() = MString(dir.File("rec.pwv"));
    s = GetCommandStates();
    EXPECT_TRUE(s.start);
    EXPECT_FALSE(s.stop);
    GetRecordingState().state = kRecordingPaused;
    s = GetCommandStates();
    EXPECT_FALSE(s.start);
    EXPECT_TRUE(s.stop && s.pauseChecked);
    GetRecordingState().state = kRecordingStopped;
    EXPECT_EQ(MainCaption(MString("Corvina 2019")).ToUtf8(), "Corvina 2019 - rec.pwv");
    Current().Clear();
    EXPECT_EQ(MainCaption(MString("Corvina 2019")).ToUtf8(), "Corvina 2019");
}

TEST_F(Commands, IsolineCorrectionTogglesAndIsKeptInTheSettings) {
    EXPECT_FALSE(IsolineCorrectionChecked());
    IsoLineCorrectionActionExecute();
    EXPECT_TRUE(GetPGFiles()->IsolineCorrection);
    EXPECT_EQ(Setting(u"AutoCorrectIsoline"), "1");
    EXPECT_TRUE(views.Saw("isoline"));
    IsoLineCorrectionActionExecute();
    EXPECT_FALSE(IsolineCorrectionChecked());
    EXPECT_EQ(Setting(u"AutoCorrectIsoline"), "0");

    GetSettings(true)->Item(MVariant(u"AutoCorrectIsoline")).Value() = MVariant(int32_t{1});
    ApplyIsolineSetting();
    EXPECT_TRUE(IsolineCorrectionChecked());
}

TEST_F(Commands, WithoutAWindowTheLedInUseIsRememberedAndANewRecordGetsTheDeviceState) {
    cbHeadlessMonitor monitor;
    monitor.OnEvent(kEventLedChanged, 1, nullptr, kLedClipInfrared);
    EXPECT_EQ(Setting(u"ActiveLed"), "3");
    monitor.OnEvent(kEventLedChanged, 1, nullptr, kLedOff); // switched off at disconnect
    EXPECT_EQ(Setting(u"ActiveLed"), "3");

    sSampleBlob blob;
    ASSERT_TRUE(blob.Resize(2));
    blob.times = {0.5, 0.502};
    monitor.OnEvent(kEventRecordedBlob, 1, &blob, 0);
    EXPECT_NE(StatusActiveLed(GetSavedStatus().Packet()), kLedForceChange);
    blob.times = {0.0, 0.002}; // the first block of a new recording
    monitor.OnEvent(kEventRecordedBlob, 1, &blob, 0);
    EXPECT_EQ(StatusActiveLed(GetSavedStatus().Packet()), kLedForceChange);
}

// ---- the unattended run

// Commands that only record what they were asked and answer as scripted.
struct ScriptedCommands : ICmdLineCommands {
    bool deviceObject = true;
    bool connected = true;
    bool settled = true;
    std::vector<float> rates; // one per call; the last repeats
    size_t nextRate = 0;
    bool startOk = true;
    bool exportOpen = true;
    bool exportOk = true;
    std::vector<std::string> calls;
    MString current;
    int closedWith = -1;

    bool DeviceObjectExists() override { return deviceObject; }
    bool DeviceConnected() override { return connected; }
    void SetIntRedLedActionExecute() override { calls.push_back("led red"); }
    void SetClipRedLedActionExecute() override { calls.push_back("led red_clip"); }
    void SetClipIRLedActionExecute() override { calls.push_back("led ir_clip"); }
    bool RegulatorSettled() override { return settled; }
    float DisplayedHeartRate() override {
        if (rates.empty()) return 0;
        const float r = rates[std::min(nextRate, rates.size() - 1)];
        ++nextRate;
        return r;
    }
    void SetAutoLedRegulation(bool on) override { calls.push_back(on ? "auto on" : "auto off"); }
    void SetCurrentRecordFile(const MString& path) override { current = path; }
    bool RecStartActionExecute() override { return calls.push_back("start"), startOk; }
    void RecStopActionExecute() override { calls.push_back("stop"); }
    void ShowOpenedRecordActionExecute() override { calls.push_back("show"); }
    bool ExportRecToTextActionExecute() override { return calls.push_back("prepare export"), exportOpen; }
    bool WriteExport(const MString& path, std::string& failure) override {
        calls.push_back("write " + path.ToUtf8());
        if (!exportOk) failure = "disk full";
        return exportOk;
    }
    void CloseMainWindow(int exitCode) override {
        calls.push_back("close");
        closedWith = exitCode;
    }
};

class Controller : public ::testing::Test {
protected:
    void Parse(const char* line) { parser.Parse(MString(line), &settings); }
    // Runs the controller n times (n seconds of the program).
    void RunTimes(int n) {
        for (int i = 0; i < n; ++i) controller.Run();
    }
    int RunsUntilClosed(int limit) {
        for (int i = 1; i <= limit; ++i) {
            controller.Run();
            if (commands.closedWith >= 0) return i;
        }
        return -1;
    }

    MVarArray settings;
    cCmdLineParser parser;
    ScriptedCommands commands;
    cCmdLineController controller{parser, commands};
};

TEST_F(Controller, RunsPrepareRecordExportExitInOrder) {
    Parse("--out_file=/r/a --duration=2 --led=ir_clip");
    commands.rates = {70, 72, 71};
    RunTimes(1); // LED
    EXPECT_TRUE(controller.LedChosen());
    EXPECT_EQ(commands.calls, (std::vector<std::string>{"led ir_clip"}));
    RunTimes(3); // three rates
    EXPECT_EQ(controller.PulseSampleCount(), 3);
    RunTimes(1); // stable
    EXPECT_EQ(controller.CurrentStep(), cCmdLineController::kRecord);
    RunTimes(1); // start
    EXPECT_EQ(commands.current.ToUtf8(), "/r/a.pwv");
    // The recording lasts duration + 1 periods: duration 2 + 4 = 6, stop at the 7th run after start.
    RunTimes(6);
    EXPECT_EQ(controller.CurrentStep(), cCmdLineController::kRecord);
    RunTimes(1);
    EXPECT_EQ(controller.CurrentStep(), cCmdLineController::kExport);
    RunTimes(1);
    EXPECT_EQ(controller.CurrentStep(), cCmdLineController::kExit);
    EXPECT_EQ(commands.closedWith, -1);
    RunTimes(2);
    EXPECT_EQ(commands.closedWith, 0);
    EXPECT_EQ(commands.calls, (std::vector<std::string>{"led ir_clip", "auto off", "start", "stop", "show",
                                                        "prepare export", "write /r/a.txt", "close"}));
}

TEST_F(Controller, TheLedOptionSelectsByExactName) {
    const struct {
        const char* line;
        const char* call; // null: none
    } cases[] = {
        {"--out_file=/a --led=red", "led red"},
        {"--out_file=/a --led=red_clip", "led red_clip"},
        {"--out_file=/a --led=ir_clip", "led ir_clip"},
        {"--out_file=/a --led=Red", nullptr},
        {"--out_file=/a --led=", nullptr},
        {"--out_file=/a", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ScriptedCommands fresh;
        cCmdLineParser p;
        p.Parse(MString(c.line), &settings);
        cCmdLineController ctl(p, fresh);
        ctl.Run();
        EXPECT_TRUE(ctl.LedChosen());
        EXPECT_EQ(fresh.calls, c.call ? std::vector<std::string>{c.call} : std::vector<std::string>{});
    }
}

TEST_F(Controller, NothingHappensWithoutAnUnattendedRunOrADeviceObject) {
    Parse("--duration=1");
    RunTimes(20);
    EXPECT_TRUE(commands.calls.empty());
    EXPECT_FALSE(controller.LedChosen());

    Parse("--out_file=/a");
    commands.deviceObject = false;
    RunTimes(20);
    EXPECT_TRUE(commands.calls.empty());
    EXPECT_FALSE(controller.LedChosen());
}

TEST_F(Controller, WaitsForTheDeviceThenForASettledRegulator) {
    Parse("--out_file=/a --led=red");
    commands.connected = false;
    RunTimes(5);
    EXPECT_FALSE(controller.LedChosen()) << "a LED chosen before the device connects would be replaced";
    commands.connected = true;
    commands.settled = false;
    commands.rates = {70};
    RunTimes(5);
    EXPECT_TRUE(controller.LedChosen());
    EXPECT_EQ(controller.PulseSampleCount(), 0);
    commands.settled = true;
    RunTimes(4);
    EXPECT_EQ(controller.CurrentStep(), cCmdLineController::kRecord);
}

TEST_F(Controller, TheStabilityTestNeedsAgreeingRatesWithinRange) {
    const struct {
        std::vector<float> rates;
        bool stable;
    } cases[] = {
        {{70, 70, 70}, true},    {{60, 65, 69}, true},                         // spread 9 / 64.68 = 0.139
        {{60, 65, 70}, false},                                                 // spread 10 / 65.01 = 0.154
        {{30, 30, 30}, true},                                                  //
        {{29, 29, 29}, false},                                                 // mean below 30
        {{200, 200, 200}, true}, {{201, 201, 201}, false}, {{0, 0, 0}, false}, // no beat yet
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rates[0]);
        ScriptedCommands fresh;
        fresh.rates = c.rates;
        cCmdLineParser p;
        p.Parse(MString("--out_file=/a"), &settings);
        cCmdLineController ctl(p, fresh);
        for (int i = 0; i < 5; ++i) ctl.Run();
        EXPECT_EQ(ctl.CurrentStep() == cCmdLineController::kRecord, c.stable);
        if (!c.stable) {
            EXPECT_EQ(ctl.PulseSampleCount(), 0) << "the samples are discarded";
        }
    }
}

TEST_F(Controller, UnstableRatesAreCollectedAgain) {
    Parse("--out_file=/a");
    commands.rates = {50, 90, 70, 71, 72, 71};
    RunTimes(5); // LED, three rates, test fails
    EXPECT_EQ(controller.CurrentStep(), cCmdLineController::kPrepare);
    RunTimes(4); // three new rates, test passes
    EXPECT_EQ(controller.CurrentStep(), cCmdLineController::kRecord);
}

TEST_F(Controller, ARecordFileThatCannotBeCreatedEndsTheRunWithAnError) {
    Parse("--out_file=/a --duration=1");
    commands.rates = {70};
    commands.startOk = false;
    const int runs = RunsUntilClosed(30);
    EXPECT_GT(runs, 0);
    EXPECT_EQ(commands.closedWith, kExitRecordFailed);
    EXPECT_EQ(commands.calls, (std::vector<std::string>{"auto off", "start", "close"}));
}

TEST_F(Controller, AnExportThatCannotBeWrittenEndsTheRunWithAnError) {
    Parse("--out_file=/a --duration=1");
    commands.rates = {70};
    commands.exportOk = false;
    EXPECT_GT(RunsUntilClosed(30), 0);
    EXPECT_EQ(commands.closedWith, kExitExportFailed);
    EXPECT_EQ(commands.calls.back(), "close");

    ScriptedCommands noRecord;
    noRecord.rates = {70};
    noRecord.exportOpen = false;
    cCmdLineController ctl(parser, noRecord);
    for (int i = 0; i < 30 && noRecord.closedWith < 0; ++i) ctl.Run();
    EXPECT_EQ(noRecord.closedWith, kExitRecordFailed);
    EXPECT_EQ(std::count(noRecord.calls.begin(), noRecord.calls.end(), "write /a.txt"), 0);
}

TEST_F(Controller, ANegativeDurationRecordsForOnePeriod) {
    Parse("--out_file=/a --duration=-10");
    commands.rates = {70};
    RunTimes(5); // LED, three rates, test
    RunTimes(1); // start
    RunTimes(1); // tick 0 >= -6: stop
    EXPECT_EQ(controller.CurrentStep(), cCmdLineController::kExport);
}

} // namespace
