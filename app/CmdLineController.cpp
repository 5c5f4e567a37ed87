#include "app/CmdLineController.h"

#include "acquisition/Acquisition.h"
#include "app/AppState.h"
#include "app/CmdLineParser.h"
#include "app/Commands.h"
#include "core/Log.h"

#include <algorithm>
#include <cstdio>

bool cAppCmdLineCommands::DeviceObjectExists() {
    return ::DeviceObjectExists();
}

bool cAppCmdLineCommands::DeviceConnected() {
    return ::DeviceConnected();
}

void cAppCmdLineCommands::SetIntRedLedActionExecute() {
    ::SetIntRedLedActionExecute();
}

void cAppCmdLineCommands::SetClipRedLedActionExecute() {
    ::SetClipRedLedActionExecute();
}

void cAppCmdLineCommands::SetClipIRLedActionExecute() {
    ::SetClipIRLedActionExecute();
}

bool cAppCmdLineCommands::RegulatorSettled() {
    return ::RegulatorSettled();
}

float cAppCmdLineCommands::DisplayedHeartRate() {
    return GetDisplayedHeartRate();
}

void cAppCmdLineCommands::SetAutoLedRegulation(bool on) {
    ::SetAutoLedRegulation(on);
}

void cAppCmdLineCommands::SetCurrentRecordFile(const MString& path) {
    GetAppState(true)->CurrentRecordFile = path;
}

bool cAppCmdLineCommands::RecStartActionExecute() {
    // Nobody is there to answer: an unattended run overwrites what the file held.
    return ::RecStartActionExecute([] { return true; }) == RecStartResult::kStarted;
}

void cAppCmdLineCommands::RecStopActionExecute() {
    ::RecStopActionExecute();
}

void cAppCmdLineCommands::ShowOpenedRecordActionExecute() {
    ::ShowOpenedRecordActionExecute();
}

bool cAppCmdLineCommands::ExportRecToTextActionExecute() {
    return ::ExportRecToTextActionExecute();
}

bool cAppCmdLineCommands::WriteExport(const MString& path, std::string& failure) {
    const ExportResult r = WriteExportFile(path);
    if (!r.ok) failure = r.message.ToUtf8() + (r.reason.empty() ? "" : " (" + r.reason + ")");
    return r.ok;
}

void cAppCmdLineCommands::CloseMainWindow(int exitCode) {
    if (m_close) m_close(exitCode);
}

cCmdLineController::cCmdLineController(const cCmdLineParser& parser, ICmdLineCommands& commands)
    : m_parser(parser), m_commands(commands) {}

void cCmdLineController::Run() {
    if (!m_parser.Unattended || !m_commands.DeviceObjectExists()) return;
    switch (m_step) {
        case kPrepare:
            Prepare();
            break;
        case kRecord:
            Record();
            break;
        case kExport:
            Export();
            break;
        default:
            if (!m_closed) {
                m_closed = true;
                m_commands.CloseMainWindow(m_exitCode);
            }
            break;
    }
}

void cCmdLineController::Prepare() {
    if (!m_ledChosen) {
        // The device gets its LED when it connects; a choice made before would be replaced.
        if (!m_commands.DeviceConnected()) {
            if (!m_waitingLogged) LogMessage("Waiting for the device to be connected");
            m_waitingLogged = true;
            return;
        }
        const MString led = m_parser.Text(cCmdLineParser::kLed);
        if (m_parser.Has(cCmdLineParser::kLed)) {
            if (led.Equals(u"red"))
                m_commands.SetIntRedLedActionExecute();
            else if (led.Equals(u"red_clip"))
                m_commands.SetClipRedLedActionExecute();
            else if (led.Equals(u"ir_clip"))
                m_commands.SetClipIRLedActionExecute();
            else
                LogMessage("Unknown LED \"" + led.ToUtf8() + "\": the LED is left as it is");
        }
        m_ledChosen = true;
        return;
    }
    if (!m_commands.RegulatorSettled()) return;
    if (m_pulseCount < kPulseSamples) {
        m_pulse[m_pulseCount++] = m_commands.DisplayedHeartRate();
        return;
    }
    float sum = 0;
    for (float hr : m_pulse) sum += hr;
    const float mean = sum * (1.0f / 3.0f);
    const auto [lo, hi] = std::minmax_element(m_pulse, m_pulse + kPulseSamples);
    const float spread = (*hi - *lo) / (mean + 0.01f);
    m_pulseCount = 0;
    if (spread > kMaxSpread || mean < kMinRate || mean > kMaxRate) {
        if (!m_stabilityLogged) LogMessage("Waiting for a stable pulse");
        m_stabilityLogged = true;
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "Stable pulse: %.0f beats per minute", static_cast<double>(mean));
    LogMessage(text);
    m_commands.SetAutoLedRegulation(false);
    m_step = kRecord;
}

void cCmdLineController::Record() {
    if (!m_recordingStarted) {
        m_recordingStarted = true;
        m_commands.SetCurrentRecordFile(m_parser.RecordFileName);
        if (!m_commands.RecStartActionExecute()) {
            Fail(kExitRecordFailed,
                 "The record file " + m_parser.RecordFileName.ToUtf8() + " cannot be created");
            return;
        }
        LogMessage("Recording into " + m_parser.RecordFileName.ToUtf8());
        m_ticks = 0;
        return;
    }
    if (m_ticks >= m_parser.Duration) {
        m_commands.RecStopActionExecute();
        m_commands.ShowOpenedRecordActionExecute();
        m_step = kExport;
    }
    ++m_ticks;
}

void cCmdLineController::Export() {
    m_step = kExit;
    if (!m_commands.ExportRecToTextActionExecute()) {
        Fail(kExitRecordFailed,
             "The record " + m_parser.RecordFileName.ToUtf8() + " cannot be read for the export");
        return;
    }
    std::string failure;
    if (!m_commands.WriteExport(m_parser.ExportFileName, failure)) {
        Fail(kExitExportFailed,
             "The export " + m_parser.ExportFileName.ToUtf8() + " cannot be written: " + failure);
        return;
    }
    LogMessage("Exported into " + m_parser.ExportFileName.ToUtf8());
}

void cCmdLineController::Fail(int exitCode, const std::string& message) {
    LogMessage(message);
    m_exitCode = exitCode;
    m_step = kExit;
}
