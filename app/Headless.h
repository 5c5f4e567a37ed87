#pragma once
// The program without windows: the same modules, commands and scheduler as with the main window,
// run from a plain loop. Start-up (in this order): the core objects, replacing older instances,
// the settings file (command-line values merged over it), the device object and the live chain,
// the command-line controller. The loop runs the scheduler's tick every 3 ms and the device
// hot-plug scan every second until the unattended run ends or a SIGTERM, SIGINT or SIGHUP
// arrives. Shutdown: the recording is stopped and its record closed, the device's LEDs and power
// are switched off (unless --keep_power_on) and it is disconnected, the device object is
// destroyed and the settings are saved.
//
// Exit code: the unattended run's (0 on success, kExitRecordFailed, kExitExportFailed),
// kExitReplaced when a newer instance asked this one to close, 128 + the signal number when a
// signal cut an unattended run short, 0 otherwise.
//
// Thread: main thread.

#include "core/MEventManager.h"

#include <functional>
#include <memory>
#include <string>

class IHidController;
class cCmdLineParser;
struct SimKestrelConfig;

// What the window's live monitor does with the live chain that matters without a window too:
// it remembers the LED the device reports ("ActiveLed", event 0) and makes a new recording get
// the device state from the next status packet (event 4 at record time 0).
class cbHeadlessMonitor final : public MEventCallback {
public:
    int OnEvent(int id, int count, void* data, int value) override;
};

struct sHeadlessConfig {
    // The controller of the real device (hidapi); the simulated Kestrel-9 is used instead when
    // the command line says --simulate.
    std::function<std::unique_ptr<IHidController>()> makeController;
    // Period of the scheduler tick and of the hot-plug scan, milliseconds.
    int tickMs = 3;
    int pollMs = 1000;
};

// The simulated device of --simulate: --seed and --scenario from the command line applied to
// config; scenario gets the scenarios' names. False (logged) for a bad seed or scenario.
bool SimConfigFromCmdLine(const cCmdLineParser& cmd, SimKestrelConfig& config, std::string& scenario);

// Runs the program from the parsed command line (GetAppState()->CmdLine) until it ends; returns
// the exit code.
int RunHeadless(const sHeadlessConfig& config);

// Installs the handlers of SIGTERM, SIGINT and SIGHUP that end the loop (and ignores SIGPIPE).
void InstallStopSignals();
// The signal that asked the program to stop (0: none) and whether a replacing instance sent it.
int StopSignal();
bool StopRequestedByReplacement();
