#include "app/Commands.h"

#include "acquisition/Acquisition.h"
#include "acquisition/RecordingState.h"
#include "analysis/PulseIndexes.h"
#include "analysis/VariabilityCore.h"
#include "app/AppState.h"
#include "app/Settings.h"
#include "app/TextImport.h"
#include "core/Clock.h"
#include "core/FileUtils.h"
#include "core/Log.h"
#include "core/MVarArray.h"
#include "core/Settings.h"
#include "device/DeviceState.h"
#include "device/MJvUSB.h"
#include "storage/PGFiles.h"
#include "viewing/FragmentMarkers.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace {

ICommandViews g_noViews;
ICommandViews* g_views = &g_noViews; // main thread

ICommandViews& Views() {
    return *g_views;
}

MJvUSB* Device() {
    cAppState* app = GetAppState(false);
    return app ? app->Device() : nullptr;
}

MString& CurrentRecordFile() {
    return GetAppState(true)->CurrentRecordFile;
}

PGFiles& Record() {
    return *GetPGFiles(true);
}

bool OpenCurrentForReading() {
    const MString& path = CurrentRecordFile();
    if (path.IsEmpty()) return false;
    if (!Record().Open(path)) {
        LogMessage("The record " + path.ToUtf8() + " cannot be opened");
        return false;
    }
    Views().RecordOpened();
    return true;
}

void SelectLedWithDevice(uint8_t led) {
    if (Device()) SelectLed(led);
}

} // namespace

void SetCommandViews(ICommandViews* views) {
    g_views = views ? views : &g_noViews;
}

bool DeviceObjectExists() {
    return Device() != nullptr;
}

bool DeviceConnected() {
    MJvUSB* usb = Device();
    return usb && usb->IsConnected();
}

bool UsbEnumActionExecute() {
    MJvUSB* usb = Device();
    if (!usb) return false;
    if (usb->IsConnected()) {
        const cAppState* app = GetAppState(false);
        if (!(app && app->CmdLine.KeepPower)) {
            cCommandBuffer& c = GetCommandBuffer();
            c.SetLed(kLedOff);
            c.SetPower(false);
            c.Send(usb);
            std::this_thread::sleep_for(std::chrono::milliseconds(kPowerOffWaitMs));
        }
        usb->Disconnect();
    } else {
        usb->Connect();
        if (!usb->IsConnected()) {
            LogMessage(MString(kNoDeviceMessage).ToUtf8());
            Views().DockLog();
        }
    }
    Views().SelectTab(kDeviceTab);
    return usb->IsConnected();
}

bool RecNewFileActionExecute(const MString& path) {
    CurrentRecordFile() = path;
    Record().Close();
    GetRecordingState().clock = 0;
    if (!Record().Create(path)) {
        LogMessage("The record " + path.ToUtf8() + " cannot be created");
        CurrentRecordFile().Clear();
        return false;
    }
    AddRecentFile(path);
    return true;
}

RecStartResult RecStartActionExecute(const ConfirmOverwrite& confirm) {
    Views().DockLiveMonitor();
    sRecordingState& rec = GetRecordingState();
    PGFiles& record = Record();
    if (rec.clock > kOverwriteQuestionSeconds || record.EndTime() > kOverwriteQuestionSeconds)
        if (!confirm || !confirm()) return RecStartResult::kDeclined;
    const MString path = CurrentRecordFile();
    rec.clock = 0;
    if (path.IsEmpty() || !record.Create(path)) {
        // Recording into a file that does not exist would lose everything silently.
        LogMessage("The record " + path.ToUtf8() + " cannot be created");
        rec.state = kRecordingStopped;
        return RecStartResult::kFailed;
    }
    record.Metadata.Value(u"RecordStartT") = MString::FromInt(static_cast<int64_t>(std::time(nullptr)));
    record.Metadata.Value(u"Start GetTickCount()") = MString::FromInt(GetTickCount());
    rec.state = kRecordingActive;
    return RecStartResult::kStarted;
}

void RecStopActionExecute() {
    GetRecordingState().state = kRecordingStopped;
    Record().Close();
}

void RecPauseActionExecute() {
    Views().DockLiveMonitor();
    sRecordingState& rec = GetRecordingState();
    if (rec.state == kRecordingActive)
        rec.state = kRecordingPaused;
    else if (rec.state == kRecordingPaused)
        rec.state = kRecordingActive;
}

bool IsRecordFilePath(const MString& path) {
    const size_t slash = path.Str().find_last_of(u"/\\");
    MString name(path.View().substr(slash == std::u16string::npos ? 0 : slash + 1));
    return name.Extension().ToLower().Equals(u"pwv");
}

bool OpenRecordActionExecute(const MString& path, int importRateHz, const ConfirmReplace& confirmReplace) {
    GetRecordingState().state = kRecordingStopped;
    Record().Close();
    Views().DockRecordViewer();
    CurrentRecordFile() = path;
    bool ok = true;
    if (!IsRecordFilePath(path)) {
        if (importRateHz <= 0) {
            LogMessage("Not a record file: " + path.ToUtf8());
            return false;
        }
        const MString target = ImportTargetPath(path);
        if (FileExists(target) && (!confirmReplace || !confirmReplace(target))) {
            LogMessage("The import of " + path.ToUtf8() + " would replace the record " + target.ToUtf8() +
                       "; not replaced");
            return false;
        }
        CurrentRecordFile() = target;
        const TextImportResult imported = ImportTextFile(path, importRateHz, target, Record());
        if (!imported.ok) {
            LogMessage(MString(kImportFailedMessage).ToUtf8() + " (" + imported.reason + ")");
            ok = false;
        }
    }
    ok = ok && OpenCurrentForReading();
    if (ok && Record().StartTime() < Record().EndTime()) AddRecentFile(CurrentRecordFile());
    Views().SelectTab(kMeasurementsTab);
    return ok;
}

bool ShowOpenedRecordActionExecute() {
    GetRecordingState().state = kRecordingStopped;
    if (DeviceConnected()) UsbEnumActionExecute();
    Record().Close();
    Views().DockRecordViewer();
    return OpenCurrentForReading();
}

bool OpenRecentFile(const MString& path) {
    if (path.IsEmpty() || !FileExists(path)) return false;
    CurrentRecordFile() = path;
    if (FragmentMarkers* fragment = GetFragmentMarkers(false)) fragment->Reset();
    ClearAnalysisResults();
    Views().ResetFragment();
    const bool ok = ShowOpenedRecordActionExecute();
    Views().SelectTab(kMeasurementsTab);
    return ok;
}

void ClearAnalysisResults() {
    if (VariabilityCore* core = GetVariabilityCore(false)) {
        core->Clear();
        core->Compute(0, -1); // nothing to compute: the table is emptied
    }
    if (PulseIndexes* indexes = GetPulseIndexes(false)) {
        indexes->ClearTable();
        indexes->ClearMarkers();
    }
}

void IsoLineCorrectionActionExecute() {
    PGFiles& record = Record();
    record.IsolineCorrection = !record.IsolineCorrection;
    if (MVarArray* settings = GetSettings(true))
        settings->Item(MVariant(kAutoCorrectIsolineKey)).Value() =
            MVariant(int32_t{record.IsolineCorrection});
    Views().IsolineCorrectionChanged();
}

bool IsolineCorrectionChecked() {
    return Record().IsolineCorrection;
}

void ApplyIsolineSetting() {
    const MVarArray* settings = GetSettings(true);
    const MVarArray* node = settings ? settings->Find(MVariant(kAutoCorrectIsolineKey)) : nullptr;
    Record().IsolineCorrection = node && node->Value().AsInt() != 0;
}

bool ExportRecToTextActionExecute() {
    PGFiles& record = Record();
    if (!record.IsOpen()) return false;
    cAppState* app = GetAppState(true);
    if (const MVarArray* settings = GetSettings(true)) LoadExportOptions(*settings, app->Export);
    SetWholeRecordFragment(app->Export, record);
    Views().DockExport();
    return true;
}

ExportResult WriteExportFile(const MString& path, const ExportProgress& progress) {
    return WriteExport(path, GetAppState(true)->Export, Record(), progress);
}

void SetIntRedLedActionExecute() {
    SelectLedWithDevice(kLedInternalRed);
}

void SetClipRedLedActionExecute() {
    SelectLedWithDevice(kLedClipRed);
}

void SetClipIRLedActionExecute() {
    SelectLedWithDevice(kLedClipInfrared);
}

void SetAutoLedRegulation(bool on) {
    if (cAcquisition* a = GetAcquisition()) a->Regulator().AutoLedI = on;
}

std::vector<MString> AddRecentFile(const MString& path) {
    std::vector<MString> list;
    if (MVarArray* settings = GetSettings(true)) list = UpdateRecentFiles(*settings, path);
    Views().RecentFilesChanged(list);
    SaveSettings();
    return list;
}

sCommandStates GetCommandStates() {
    sCommandStates s;
    s.connected = DeviceConnected();
    const sBaseCmd& status = GetSavedStatus().Packet();
    s.activeLed = StatusActiveLed(status);
    s.newFile = s.connected;
    s.clipLeds = s.connected && StatusClipPresent(status);
    s.exportText = Record().IsOpen();
    const int state = GetRecordingState().state;
    s.pauseChecked = state == kRecordingPaused;
    if (s.connected && !CurrentRecordFile().IsEmpty()) {
        s.start = state == kRecordingStopped;
        s.stop = state == kRecordingPaused || state == kRecordingActive;
    }
    return s;
}

MString MainCaption(const MString& baseCaption) {
    const MString& path = CurrentRecordFile();
    if (path.IsEmpty()) return baseCaption;
    const size_t slash = path.Str().find_last_of(u"/\\");
    const MString name = slash == std::u16string::npos ? path : MString(path.View().substr(slash + 1));
    return baseCaption + u" - " + name;
}
