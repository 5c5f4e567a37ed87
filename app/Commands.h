#pragma once
// The application's commands without a window: connect and disconnect, the record commands, open
// and view a record, the text export, the LED selection and the recent-file list. The main window
// binds its buttons to them, the command-line controller and the automation interface call them,
// so whatever the windows can do also runs without a display.
//
// They work on the process-wide objects: the application state (current record file, device
// object), the settings tree, the recording state and clock, the record file object and the live
// chain. What a window shows around a command (docking a view, choosing a tab, the ribbon's
// recent list) goes through ICommandViews, which the headless program does not install.
//
// Thread: main thread only.

#include "app/TextExport.h"
#include "core/MString.h"

#include <cstdint>
#include <functional>
#include <vector>

// Texts of the commands.
inline constexpr char16_t kNoDeviceMessage[] = u"Устройство не обнаружено!";
inline constexpr char16_t kOverwriteQuestion[] = u"Ранее сделанная запись будет удалена. Продолжить?";
inline constexpr char16_t kOverwriteTitle[] = u"Подтвердите действие";
inline constexpr char16_t kNoRecordMessage[] = u"Пожалуйста, откройте запись для анализа!";

// Starting a new recording asks before overwriting one longer than this (seconds).
inline constexpr double kOverwriteQuestionSeconds = 5.0;
// After the power-off command, the reader gets this long to deliver it before disconnecting.
inline constexpr int kPowerOffWaitMs = 200;
// Ribbon tabs.
inline constexpr int kDeviceTab = 0;
inline constexpr int kMeasurementsTab = 1;

// What a window does around the commands; every operation does nothing by default.
class ICommandViews {
public:
    virtual ~ICommandViews() = default;
    virtual void DockLiveMonitor() {}
    virtual void DockLog() {}
    virtual void DockRecordViewer() {}
    virtual void DockExport() {}
    virtual void SelectTab(int index) {}
    // The record file object has just opened the current record for reading: show it.
    virtual void RecordOpened() {}
    // A record is opened from the recent list: unplace the fragment markers, reset the scroll
    // position and empty the analysis results.
    virtual void ResetFragment() {}
    virtual void RecentFilesChanged(const std::vector<MString>& files) {}
    virtual void IsolineCorrectionChanged() {}
};
// Installs the window's views (null: none). The caller keeps them alive while installed.
void SetCommandViews(ICommandViews* views);

// A device object exists / it holds a connected device.
bool DeviceObjectExists();
bool DeviceConnected();

// Connect when not connected (logs kNoDeviceMessage and shows the log when none is found);
// otherwise switch the LEDs and the power off (unless the command line asked to keep the power
// on), give the reader kPowerOffWaitMs to send it, and disconnect. Returns the connection state
// afterwards. Nothing without a device object.
bool UsbEnumActionExecute();

// "Новая": path becomes the current record file, and a new record is created there (recording
// clock at 0). False (and no current record file) when it cannot be created.
bool RecNewFileActionExecute(const MString& path);

enum class RecStartResult {
    kStarted,
    kDeclined, // the recording to be overwritten is longer than 5 s and the answer was no
    kFailed,   // no current record file, or it cannot be created (logged)
};
// Answers kOverwriteQuestion: true to go on. No answer (an empty function) means no.
using ConfirmOverwrite = std::function<bool()>;
// "Начать": (re)creates the current record file, stores the start marks in its metadata and sets
// the recording state to recording with the clock at 0. A failed create leaves the state stopped.
RecStartResult RecStartActionExecute(const ConfirmOverwrite& confirm);
// "Стоп": state stopped; the record file is closed (its metadata stored).
void RecStopActionExecute();
// "Пауза": recording <-> paused; nothing while stopped.
void RecPauseActionExecute();

// A record file by its name: the extension ".pwv" in any case ("X.PWV" too). Any other file is
// foreign data to import.
bool IsRecordFilePath(const MString& path);
// Asked before an import replaces an existing record (its path); true to replace it.
using ConfirmReplace = std::function<bool(const MString& target)>;

// "Открыть" with the chosen file: state stopped, the record file closed, path becomes the current
// record file and is opened for reading; a record with samples goes to the head of the recent
// list. A file that is not a record is imported first (at importRateHz, into the ".pwv" beside it)
// when a rate is given, else refused; an existing record there is replaced only when
// confirmReplace says so (no function: not replaced, nothing opened). True when a record is open
// for reading.
bool OpenRecordActionExecute(const MString& path, int importRateHz = 0,
                             const ConfirmReplace& confirmReplace = {});
// "Смотреть": state stopped, the device disconnected (as UsbEnumActionExecute), the record file
// closed and the current record file opened for reading. True when it is open.
bool ShowOpenedRecordActionExecute();
// A recent-list entry: when path exists it becomes the current record file and is shown, with the
// fragment unplaced and the analysis results emptied.
bool OpenRecentFile(const MString& path);
// Empties both analysis tables (variability, pulse-wave indexes) and puts the pulse-wave markers
// back to 0: the results of another record must not be read as this one's.
void ClearAnalysisResults();

// "Изокорректор": toggles isoline correction of record reads and stores it in the settings.
void IsoLineCorrectionActionExecute();
bool IsolineCorrectionChecked();
// Applies "AutoCorrectIsoline" from the settings to the record file object (start-up).
void ApplyIsolineSetting();

// "Экспорт в текст": when a record is open for reading, loads the export options from the
// settings, sets the fragment to the whole record and shows the export view. False otherwise.
bool ExportRecToTextActionExecute();
// Writes the export of the open record with the prepared options.
ExportResult WriteExportFile(const MString& path, const ExportProgress& progress = {});

// LED selection; only with a device object. The clip LEDs also set drive 250 and make the
// regulator skip its next step.
void SetIntRedLedActionExecute();
void SetClipRedLedActionExecute();
void SetClipIRLedActionExecute();
// The "Авто" switch of the LED current regulation.
void SetAutoLedRegulation(bool on);

// Puts path at the head of the recent-file list (an empty path only tidies it up), tells the
// views and saves the settings. Returns the list, most recent first.
std::vector<MString> AddRecentFile(const MString& path);

// Which commands are enabled, as the window's periodic refresh shows them.
struct sCommandStates {
    bool connected = false;
    bool newFile = false;  // "Новая", "Встроенный", the gain panel
    bool clipLeds = false; // connected and the clip present
    bool start = false;
    bool stop = false; // also "Пауза"
    bool pauseChecked = false;
    bool exportText = false;
    uint8_t activeLed = 0; // as the device last reported it
};
sCommandStates GetCommandStates();
// The window caption: the base caption, " - " and the current record file's name.
MString MainCaption(const MString& baseCaption);
