#pragma once
// The unattended run of the command line ("out_file"), a scheduler task every second:
//   0 prepare: once a device is connected, select the LED of "led"; then, while the regulator
//     reports its gain settled, collect three heart rates; when they agree (spread at most 15 %
//     of their mean) and lie within 30 ... 200 beats per minute, stop the LED current regulation
//     and go on, else collect three new ones. Without a device or a stable pulse it waits.
//   1 record: start recording into the record file; after `duration` further periods stop, and
//     open the record (which disconnects the device).
//   2 export: write the text export.
//   3 exit: close the program with the run's exit code.
// A record or export file that cannot be written is logged and the run goes straight to the exit
// with a non-zero code (kExitRecordFailed, kExitExportFailed).
//
// Thread: main thread (scheduler task).

#include "core/MString.h"
#include "core/MTaskManager.h"

#include <functional>
#include <string>

class cCmdLineParser;

// The commands the run drives; cAppCmdLineCommands runs the program's own.
class ICmdLineCommands {
public:
    virtual ~ICmdLineCommands() = default;
    virtual bool DeviceObjectExists() = 0;
    virtual bool DeviceConnected() = 0;
    virtual void SetIntRedLedActionExecute() = 0;
    virtual void SetClipRedLedActionExecute() = 0;
    virtual void SetClipIRLedActionExecute() = 0;
    virtual bool RegulatorSettled() = 0;
    // Beats per minute as displayed (0 before the first beat).
    virtual float DisplayedHeartRate() = 0;
    // The "Авто" switch of the LED current regulation.
    virtual void SetAutoLedRegulation(bool on) = 0;
    virtual void SetCurrentRecordFile(const MString& path) = 0;
    // False when the record file cannot be created.
    virtual bool RecStartActionExecute() = 0;
    virtual void RecStopActionExecute() = 0;
    virtual void ShowOpenedRecordActionExecute() = 0;
    // False when no record is open to export.
    virtual bool ExportRecToTextActionExecute() = 0;
    // False (with a message for the log) when the export cannot be written.
    virtual bool WriteExport(const MString& path, std::string& failure) = 0;
    // Ends the program (the main window's close) with this exit code.
    virtual void CloseMainWindow(int exitCode) = 0;
};

// The program's commands (app/Commands.h); closing calls the given function.
class cAppCmdLineCommands final : public ICmdLineCommands {
public:
    explicit cAppCmdLineCommands(std::function<void(int exitCode)> close) : m_close(std::move(close)) {}
    bool DeviceObjectExists() override;
    bool DeviceConnected() override;
    void SetIntRedLedActionExecute() override;
    void SetClipRedLedActionExecute() override;
    void SetClipIRLedActionExecute() override;
    bool RegulatorSettled() override;
    float DisplayedHeartRate() override;
    void SetAutoLedRegulation(bool on) override;
    void SetCurrentRecordFile(const MString& path) override;
    bool RecStartActionExecute() override;
    void RecStopActionExecute() override;
    void ShowOpenedRecordActionExecute() override;
    bool ExportRecToTextActionExecute() override;
    bool WriteExport(const MString& path, std::string& failure) override;
    void CloseMainWindow(int exitCode) override;

private:
    std::function<void(int)> m_close;
};

class cCmdLineController final : public MTaskBase {
public:
    static constexpr float kPeriodMs = 1000;
    enum Step { kPrepare = 0, kRecord = 1, kExport = 2, kExit = 3 };
    // Heart rates collected before the stability test, and its limits.
    static constexpr int kPulseSamples = 3;
    static constexpr float kMaxSpread = 0.15f;
    static constexpr float kMinRate = 30;
    static constexpr float kMaxRate = 200;

    // Both must outlive the controller. The caller adds it to the scheduler (AddTask).
    cCmdLineController(const cCmdLineParser& parser, ICmdLineCommands& commands);

    void Run() override;

    int CurrentStep() const { return m_step; }
    bool LedChosen() const { return m_ledChosen; }
    bool RecordingStarted() const { return m_recordingStarted; }
    int TickCount() const { return m_ticks; }
    int PulseSampleCount() const { return m_pulseCount; }
    // The code the run ends with (0 unless a file could not be written).
    int ExitCode() const { return m_exitCode; }

private:
    void Prepare();
    void Record();
    void Export();
    void Fail(int exitCode, const std::string& message);

    const cCmdLineParser& m_parser;
    ICmdLineCommands& m_commands;
    int m_step = kPrepare;
    bool m_ledChosen = false;
    bool m_recordingStarted = false;
    bool m_closed = false;
    int m_ticks = 0;
    float m_pulse[kPulseSamples] = {};
    int m_pulseCount = 0;
    int m_exitCode = 0;
    bool m_waitingLogged = false;
    bool m_stabilityLogged = false;
};
