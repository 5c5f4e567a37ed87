// The automation service for the bus tests: the automation objects on the session bus over the
// simulated Kestrel-9, run by Qt's event loop with the 3 ms scheduler tick and the hot-plug scan,
// the way the program's automation mode runs them. No settings file is read or written.
//
//   corvina_dbus_testhost [--no-device] [--idle-ms=N]
//
// Prints "ready" on stderr (after its log lines) once the objects are registered and the name is
// taken. Exit codes: 0 the last client left, 3 no client called within the idle time, 5 the
// service could not start, 225 another instance took the name over.

#include "acquisition/Acquisition.h"
#include "app/AppState.h"
#include "app/Settings.h"
#include "app/dbus/AutomationBus.h"
#include "core/Log.h"
#include "core/MEventManager.h"
#include "core/MTaskManager.h"
#include "core/Settings.h"
#include "device/DeviceState.h"
#include "device/MJvUSB.h"
#include "sim/SimHidController.h"
#include "storage/PGFiles.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

constexpr int kExitIdle = 3;

void MirrorToStderr(std::string_view line, void*) {
    std::string out(line);
    out += '\n';
    if (::write(STDERR_FILENO, out.data(), out.size()) < 0) return;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool withDevice = true;
    int idleMs = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-device") == 0)
            withDevice = false;
        else if (std::strncmp(argv[i], "--idle-ms=", 10) == 0)
            idleMs = std::atoi(argv[i] + 10);
    }
    SetLogMirror(MirrorToStderr, nullptr);

    SetSettingsFilePath(MString());
    GetSettings(true);
    GetEventManager(true);
    GetPGFiles(true);
    MTaskManager tm;
    cAppState* state = GetAppState(true);
    if (withDevice) {
        SimKestrelConfig config;
        config.seed = 1;
        if (!state->CreateDevice(std::make_unique<SimHidController>(config)) ||
            !StartAcquisition(state->Device())) {
            std::fputs("corvina_dbus_testhost: the simulated device cannot be started\n", stderr);
            return kExitStartFailed;
        }
        ConfigureOnConnect();
        GetSavedStatus().ForceLedChange();
        state->Device()->Poll(); // the device plugged in at start connects
    }

    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&tm] { MainTasksTick(tm, nullptr, nullptr); });
    tick.start(3);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [state] {
        if (MJvUSB* usb = state->Device()) usb->Poll();
    });
    poll.start(1000);

    int code = 0;
    {
        cAutomationBus bus(QDBusConnection::sessionBus());
        bus.SetLastClientGoneHook([] { QCoreApplication::exit(0); });
        bus.SetNameLostHook([] { QCoreApplication::exit(kExitReplaced); });
        bus.SetIdleHook([] { QCoreApplication::exit(kExitIdle); });
        if (!bus.RegisterObjects() || !bus.RequestName()) {
            std::fprintf(stderr, "corvina_dbus_testhost: %s\n", bus.ErrorText().toUtf8().constData());
            code = kExitStartFailed;
        } else {
            if (idleMs > 0) bus.StartIdleTimer(idleMs);
            std::fputs("ready\n", stderr);
            code = QCoreApplication::exec();
        }
    }
    tick.stop();
    poll.stop();
    StopAcquisition();
    ShutdownAppState();
    GetPGFiles(true)->Close();
    SetLogMirror(nullptr, nullptr);
    return code;
}
