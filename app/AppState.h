#pragma once
// Process-wide state of the application layer: what the user works on and the one device object.
// The other process-wide objects the commands use live with their modules: the settings tree
// (core/Settings.h), the recording state and clock (acquisition/RecordingState.h), the record file
// object (storage/PGFiles.h) and the live chain (acquisition/Acquisition.h).
//
// Thread: main thread only (commands, scheduler tasks and automation calls all run there).

#include "app/CmdLineParser.h"
#include "app/TextExport.h"
#include "core/MString.h"

#include <cstdint>
#include <memory>

class IHidController;
class MJvUSB;

// What the program says about itself.
inline constexpr char kVersionText[] = "Corvina 2019 v2.24 Feb 13 2022";
inline constexpr int32_t kVersionNumber = 224;
inline constexpr char kApplicationTitle[] = "Фотоплетизмограф";
inline constexpr char kBaseCaption[] = "Corvina 2019";

// Exit codes of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitBadCommandLine = 2;
inline constexpr int kExitRecordFailed = 3;
inline constexpr int kExitExportFailed = 4;
inline constexpr int kExitStartFailed = 5;
// A registration switch could not write or remove the session bus's activation file.
inline constexpr int kExitRegistrationFailed = 6;
// Ended by a newer instance that replaces it (after closing its record and saving the settings).
inline constexpr int kExitReplaced = 225;

class cAppState {
public:
    cAppState();
    ~cAppState();
    cAppState(const cAppState&) = delete;
    cAppState& operator=(const cAppState&) = delete;

    // Full path of the record the user works on; empty when none.
    MString CurrentRecordFile;
    // The command line as parsed at start.
    cCmdLineParser CmdLine;
    // Options of the text export (loaded from the settings when the export is prepared).
    ExportOptions Export;

    // The one device object: the HID transport over the given controller. Creating it again
    // replaces the old one. False when it cannot be made.
    bool CreateDevice(std::unique_ptr<IHidController> controller);
    // Destroys it (the transport releases the device and stops its reader).
    void DestroyDevice();
    MJvUSB* Device() { return m_device.get(); }

private:
    std::unique_ptr<MJvUSB> m_device;
};

// The process-wide state. create = true builds it on first use; create = false returns it or null.
cAppState* GetAppState(bool create = true);
// Destroys it (and the device object). Called at program end.
void ShutdownAppState();
