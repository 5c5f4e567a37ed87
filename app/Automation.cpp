#include "app/Automation.h"

#include "acquisition/Acquisition.h"
#include "acquisition/RecordingState.h"
#include "app/Commands.h"
#include "core/Log.h"
#include "device/DeviceState.h"
#include "device/Protocol.h"
#include "storage/PGFiles.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace {

sAutomationStatus Ok() {
    return {};
}

sAutomationStatus Fail(const char* text) {
    return {AutomationCode::kFail, text};
}

sAutomationStatus NullPointer() {
    return {AutomationCode::kPointer, kAutomationNullPointer};
}

PGFiles& Record() {
    return *GetPGFiles(true);
}

// Record seconds as the bus carries them.
float RecordSeconds(double t) {
    return static_cast<float>(t);
}

// trunc(value x 1000) as a 32-bit integer; a value no record sample can have (NaN, or beyond the
// 32-bit range once scaled) is clamped rather than left to an undefined conversion.
int32_t ScaledSample(double value) {
    const double scaled = std::trunc(value * kAutomationSampleScale);
    if (scaled != scaled) return 0;
    return static_cast<int32_t>(std::clamp(scaled, double(INT32_MIN), double(INT32_MAX)));
}

// Holds the queue's lock for a scope.
class QueueLock {
public:
    explicit QueueLock(cRawAdcQueue& q) : m_q(q) { m_q.Lock(); }
    ~QueueLock() { m_q.Unlock(); }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;

private:
    cRawAdcQueue& m_q;
};

} // namespace

// ---- CoDevice -----------------------------------------------------------------------------------

sAutomationStatus cCoDevice::IsConnected(int32_t* retIsCon) const {
    if (!retIsCon) return NullPointer();
    *retIsCon = DeviceConnected() ? 1 : 0;
    return DeviceObjectExists() ? Ok() : Fail(kAutomationNoDevice);
}

sAutomationStatus cCoDevice::Connect(int32_t* retIsCon) const {
    if (!retIsCon) return NullPointer();
    *retIsCon = 0;
    if (!DeviceObjectExists()) return Fail(kAutomationNoDevice);
    UsbEnumActionExecute();
    *retIsCon = DeviceConnected() ? 1 : 0;
    return Ok();
}

sAutomationStatus cCoDevice::Disconnect() const {
    if (!DeviceObjectExists()) return Fail(kAutomationNoDevice);
    if (DeviceConnected()) UsbEnumActionExecute();
    return Ok();
}

sAutomationStatus cCoDevice::GetRawData(std::vector<int32_t>* retData) const {
    if (!retData) return NullPointer();
    retData->clear();
    cAcquisition* acquisition = GetAcquisition();
    if (!acquisition) return Ok();
    cRawAdcQueue& queue = acquisition->RawQueue();
    QueueLock lock(queue);
    const int n = queue.Count();
    const unsigned short* values = queue.Data();
    try {
        retData->assign(values, values + n); // unsigned 16-bit values, widened without sign
    } catch (const std::bad_alloc&) {
        return Fail(kAutomationNoMemory); // the values stay for the next call
    }
    queue.Clear();
    return Ok();
}

sAutomationStatus cCoDevice::GetHeartRate(float* retHr) const {
    if (!retHr) return NullPointer();
    *retHr = GetDisplayedHeartRate();
    return Ok();
}

sAutomationStatus cCoDevice::GetDcOffset(int32_t* retOffs) const {
    if (!retOffs) return NullPointer();
    *retOffs = StatusCarrierLevel(GetSavedStatus().Packet());
    return Ok();
}

sAutomationStatus cCoDevice::GetHfAmp(int32_t* retAmp) const {
    if (!retAmp) return NullPointer();
    *retAmp = StatusDriveCode(GetSavedStatus().Packet());
    return Ok();
}

sAutomationStatus cCoDevice::GetLfAmp(int32_t* retAmp) const {
    if (!retAmp) return NullPointer();
    *retAmp = StatusLfCode(GetSavedStatus().Packet());
    return Ok();
}

// ---- CoRecord -----------------------------------------------------------------------------------

sAutomationStatus cCoRecord::OpenFile(const MString& inFileName, int32_t* retIsOk) const {
    if (!retIsOk) return NullPointer();
    *retIsOk = 0;
    const int state = GetRecordingState().state;
    if (state == kRecordingActive || state == kRecordingPaused) {
        LogMessage("Automation: " + inFileName.ToUtf8() + " is not opened while a recording " +
                   (state == kRecordingActive ? "runs" : "is paused"));
        return Ok();
    }
    PGFiles& record = Record();
    if (!record.Open(inFileName)) {
        LogMessage("Automation: the record " + inFileName.ToUtf8() + " cannot be opened");
        return Ok();
    }
    *retIsOk = record.EndTime() > record.StartTime() ? 1 : 0;
    return Ok();
}

sAutomationStatus cCoRecord::GetLength(float* retLength) const {
    if (!retLength) return NullPointer();
    const PGFiles& record = Record();
    *retLength = RecordSeconds(record.EndTime() - record.StartTime());
    return Ok();
}

sAutomationStatus cCoRecord::GoToPos(float inPos, float* retPos) const {
    if (!retPos) return NullPointer();
    // With isoline correction a seek reads forwards until it passes the position, which for NaN
    // or infinity would read the whole record.
    if (!std::isfinite(inPos)) return Fail(kAutomationPositionNotFinite);
    PGFiles& record = Record();
    record.SeekTime(double(inPos) + record.StartTime(), false);
    *retPos = RecordSeconds(record.CurrentTime() - record.StartTime());
    return Ok();
}

sAutomationStatus cCoRecord::GetPos(float* retPos) const {
    if (!retPos) return NullPointer();
    const PGFiles& record = Record();
    *retPos = RecordSeconds(record.CurrentTime() - record.StartTime());
    return Ok();
}

sAutomationStatus cCoRecord::ReadSamples(int32_t inCount, std::vector<int32_t>* retData) const {
    if (!retData) return NullPointer();
    retData->clear();
    const int32_t count = std::clamp(inCount, kAutomationMinReadCount, kAutomationMaxReadCount);
    std::vector<double> values, times;
    try {
        values.resize(size_t(count));
        times.resize(size_t(count));
        retData->reserve(size_t(count));
    } catch (const std::bad_alloc&) {
        return Fail(kAutomationNoMemory); // nothing read, the position stays
    }
    const int32_t n = Record().ReadSamples(values.data(), times.data(), count);
    for (int32_t i = 0; i < n; ++i) retData->push_back(ScaledSample(values[size_t(i)]));
    return Ok();
}

sAutomationStatus cCoRecord::GetHeartRate(float* retHr) const {
    if (!retHr) return NullPointer();
    *retHr = static_cast<float>(Record().CurrentHeartRate());
    return Ok();
}
