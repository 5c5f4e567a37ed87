#include "app/Headless.h"

#include "acquisition/Acquisition.h"
#include "acquisition/AppEvents.h"
#include "acquisition/RecordingState.h"
#include "acquisition/SampleBlob.h"
#include "app/AppState.h"
#include "app/CmdLineController.h"
#include "app/Commands.h"
#include "app/Settings.h"
#include "app/SingleInstance.h"
#include "core/FileUtils.h"
#include "core/Log.h"
#include "core/MTaskManager.h"
#include "core/MVarArray.h"
#include "core/Settings.h"
#include "device/DeviceState.h"
#include "device/MJvUSB.h"
#include "sim/SimHidController.h"
#include "sim/SimScenario.h"
#include "storage/PGFiles.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;
volatile std::sig_atomic_t g_replaced = 0;

void OnStopSignal(int signal, siginfo_t* info, void*) {
    if (IsReplaceSignal(info)) g_replaced = 1;
    g_stopSignal = signal;
}

// Log lines go to stderr as they are logged (the log lock is held: one write, no waiting).
void MirrorToStderr(std::string_view line, void*) {
    std::string out;
    out.reserve(line.size() + 1);
    out.append(line);
    out += '\n';
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t w = ::write(STDERR_FILENO, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        left -= static_cast<size_t>(w);
    }
}

// The core objects every module uses; the scheduler lives while tm does.
void StartCore() {
    GetSettings(true);
    GetEventManager(true);
    GetBlobManager(true);
    GetPGFiles(true);
}

// The settings file, with the command-line values merged over it.
void StartSettings() {
    SetSettingsFilePath(DefaultSettingsFilePath());
    MVarArray* settings = GetSettings(true);
    if (settings && LoadSettingsFile(*settings, SettingsFilePath())) AddRecentFile(MString());
}

// The device object over the chosen controller, and the live chain over it.
bool StartDevice(const sHeadlessConfig& config, cAppState& app) {
    std::unique_ptr<IHidController> controller;
    if (app.CmdLine.Simulate) {
        SimKestrelConfig sim;
        std::string scenario = "rest";
        if (!SimConfigFromCmdLine(app.CmdLine, sim, scenario)) return false;
        controller = std::make_unique<SimHidController>(sim);
        LogMessage("Using the simulated Kestrel-9 (scenario " + scenario + ", seed " +
                   std::to_string(sim.seed) + ")");
    } else if (config.makeController) {
        controller = config.makeController();
    }
    if (!controller || !app.CreateDevice(std::move(controller))) {
        LogMessage("The device object cannot be created");
        return false;
    }
    if (!StartAcquisition(app.Device())) {
        LogMessage("The live chain cannot be started");
        return false;
    }
    // The device gets its configuration when it connects; queued now, it waits for that.
    ConfigureOnConnect();
    // The first status packet then counts as an LED change, which records the device state.
    GetSavedStatus().ForceLedChange();
    return true;
}

// A record named on the command line is opened as the viewer would.
void OpenCommandLineRecord(cAppState& app) {
    const cCmdLineParser& cmd = app.CmdLine;
    if (cmd.Unattended || cmd.RecordFileName.IsEmpty() || !FileExists(cmd.RecordFileName)) return;
    app.CurrentRecordFile = cmd.RecordFileName;
    AddRecentFile(cmd.RecordFileName);
    if (ShowOpenedRecordActionExecute()) {
        const PGFiles& record = *GetPGFiles(true);
        LogMessage("Opened " + cmd.RecordFileName.ToUtf8() + ": " +
                   MString::FormatDuration(std::max(0.0, record.EndTime() - record.StartTime())).ToUtf8());
    }
}

void Shutdown(cAppState& app) {
    if (GetRecordingState().state != kRecordingStopped) RecStopActionExecute();
    if (DeviceConnected()) UsbEnumActionExecute();
    StopAcquisition();
    app.DestroyDevice();
    SaveSettings();
    if (PGFiles* record = GetPGFiles(false)) record->Close();
}

} // namespace

bool SimConfigFromCmdLine(const cCmdLineParser& cmd, SimKestrelConfig& config, std::string& scenario) {
    uint32_t flags = 0;
    std::string error;
    if (cmd.Has(cCmdLineParser::kScenario) &&
        !ParseSimScenario(cmd.Text(cCmdLineParser::kScenario).ToUtf8(), flags, error)) {
        LogMessage("--scenario: " + error);
        return false;
    }
    if (cmd.Has(cCmdLineParser::kSeed)) {
        const std::string text = cmd.Text(cCmdLineParser::kSeed).ToUtf8();
        char* end = nullptr;
        errno = 0;
        const unsigned long long seed = std::strtoull(text.c_str(), &end, 10);
        if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0) {
            LogMessage("--seed wants a whole number >= 0, not \"" + text + "\"");
            return false;
        }
        config.seed = seed;
    }
    ApplySimScenario(flags, config);
    scenario = SimScenarioName(flags);
    return true;
}

int cbHeadlessMonitor::OnEvent(int id, int count, void* data, int value) {
    if (id == kEventLedChanged) {
        // A device switched off reports no LED; the one used last is what the next start wants.
        const bool led = value == kLedInternalRed || value == kLedClipRed || value == kLedClipInfrared;
        if (MVarArray* settings = GetSettings(true); settings && led)
            settings->Item(MVariant(kActiveLedKey)).Value() = MVariant(int32_t{value});
    } else if (id == kEventRecordedBlob) {
        const auto* blob = static_cast<const sSampleBlob*>(data);
        if (blob && blob->count > 0 && blob->times[0] < 0.001) GetSavedStatus().ForceLedChange();
    }
    return 0;
}

void InstallStopSignals() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = OnStopSignal;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int StopSignal() {
    return g_stopSignal;
}

bool StopRequestedByReplacement() {
    return g_replaced != 0;
}

int RunHeadless(const sHeadlessConfig& config) {
    cAppState* app = GetAppState(true);
    if (!app) return kExitStartFailed;
    SetLogMirror(MirrorToStderr, nullptr);
    MTaskManager tm; // keeps the scheduler alive for the whole run

    StartCore();
    KillOtherInstances();
    StartSettings();
    const bool deviceOk = StartDevice(config, *app);
    ApplyIsolineSetting();
    OpenCommandLineRecord(*app);

    bool closed = false;
    int runExitCode = kExitOk;
    cAppCmdLineCommands commands([&](int code) {
        closed = true;
        runExitCode = code;
    });
    cCmdLineController controller(app->CmdLine, commands);
    controller.TaskManager().AddTask(&controller, 0, cCmdLineController::kPeriodMs);
    cbHeadlessMonitor monitor;
    if (MEventManager* em = GetEventManager(true)) {
        em->Subscribe(&monitor, kEventLedChanged, kPriorityPaintSamples);
        em->Subscribe(&monitor, kEventRecordedBlob, kPriorityPaintSamples);
    }
    if (app->CmdLine.Unattended && !deviceOk) {
        closed = true;
        runExitCode = kExitStartFailed;
    }

    using Clock = std::chrono::steady_clock;
    const auto tick = std::chrono::milliseconds(config.tickMs > 0 ? config.tickMs : 3);
    const auto pollPeriod = std::chrono::milliseconds(config.pollMs > 0 ? config.pollMs : 1000);
    auto nextTick = Clock::now();
    auto nextPoll = nextTick;
    while (!closed && g_stopSignal == 0) {
        const auto now = Clock::now();
        if (now >= nextPoll) {
            if (MJvUSB* usb = app->Device()) usb->Poll();
            nextPoll += pollPeriod;
            if (nextPoll < now) nextPoll = now + pollPeriod;
        }
        MainTasksTick(tm, nullptr, nullptr);
        nextTick += tick;
        const auto after = Clock::now();
        if (nextTick < after) nextTick = after; // a long task: do not try to catch up
        std::this_thread::sleep_until(nextTick);
    }

    const int signal = g_stopSignal;
    const bool unfinished = app->CmdLine.Unattended && !closed;
    tm.RemoveTask(&controller);
    if (MEventManager* em = GetEventManager(false)) em->Unsubscribe(&monitor);
    Shutdown(*app);
    SetLogMirror(nullptr, nullptr);

    if (g_replaced) return kExitReplaced;
    if (closed) return runExitCode;
    if (signal != 0 && unfinished) return 128 + signal;
    return kExitOk;
}
