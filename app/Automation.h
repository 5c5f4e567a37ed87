#pragma once
// The automation interface without a bus: the methods of the two automation objects, CoDevice
// (the live device) and CoRecord (a record file). The objects keep no state of their own: every
// method works on the process-wide objects the windows use (the device object and the connection
// command, the raw ADC queue, the displayed heart rate, the saved status packet and the one record
// file object), so a client shares the device and the open record with the user. The bus adaptor
// (app/dbus/) only converts types and turns a failed status into a bus error.
//
// Every method returns a status and writes its result through an output pointer. A null output
// pointer gives kPointer and nothing else happens: nothing is connected, drained, opened, moved or
// read. A failure carries the text the bus error shows. Times and heart rates are single-precision
// (the bus widens them to double).
//
// Thread: main thread, between scheduler ticks (the bus delivers calls through the event loop).

#include "core/MString.h"

#include <cstdint>
#include <string>
#include <vector>

enum class AutomationCode {
    kOk,
    kFail,    // the operation could not be done (no device object, bad argument, no memory)
    kPointer, // a null output pointer
};

struct sAutomationStatus {
    AutomationCode code = AutomationCode::kOk;
    std::string text; // why it failed (UTF-8); empty when it did not

    bool Ok() const { return code == AutomationCode::kOk; }
};

// Texts of the failures.
inline constexpr char kAutomationNoDevice[] =
    "There is no device object: the program is still starting or already shutting down";
inline constexpr char kAutomationNullPointer[] = "An output pointer is null";
inline constexpr char kAutomationPositionNotFinite[] = "The position is not a finite number of seconds";
inline constexpr char kAutomationNoMemory[] = "There is not enough memory for the result";

// ReadSamples reads at least one and at most this many samples per call.
inline constexpr int32_t kAutomationMinReadCount = 1;
inline constexpr int32_t kAutomationMaxReadCount = 10'000;
// Record samples are returned as whole thousandths of the signal unit (truncated).
inline constexpr double kAutomationSampleScale = 1000.0;

// The connected photoplethysmograph.
class cCoDevice {
public:
    // 1 when the device object holds a connected device, else 0. Without a device object: 0 and
    // kFail.
    sAutomationStatus IsConnected(int32_t* retIsCon) const;
    // The connection command: connects when not connected; when connected it switches the LEDs
    // and the power off (unless the command line keeps the power on) and disconnects. The result
    // is the connection state afterwards. Without a device object: 0 and kFail.
    sAutomationStatus Connect(int32_t* retIsCon) const;
    // Disconnects as the connection command does when connected; nothing when not. Without a
    // device object: kFail.
    sAutomationStatus Disconnect() const;
    // The raw ADC values received since the previous call, oldest first, each 16-bit value
    // widened without sign; read and emptied under the queue's lock in one step, so no value is
    // returned twice or lost in between. Values that arrived while the queue was full are lost.
    // Empty without the live chain. kFail (and the queue kept) when no array can be had.
    sAutomationStatus GetRawData(std::vector<int32_t>* retData) const;
    // The displayed heart rate, beats per minute (0 before the first beat).
    sAutomationStatus GetHeartRate(float* retHr) const;
    // From the device's last status packet: the carrier signal level (ADC units), the carrier
    // (LED drive) control code and the LF amplifier control code.
    sAutomationStatus GetDcOffset(int32_t* retOffs) const;
    sAutomationStatus GetHfAmp(int32_t* retAmp) const;
    sAutomationStatus GetLfAmp(int32_t* retAmp) const;
};

// A record file, on the one record file object the viewer also reads: opening one here replaces
// what the viewer shows, and the viewer's reads move the position reported here. Positions are
// record seconds from the first time stamp (the start of the record's length). None of the reads
// checks that a record is open; without one they read nothing.
class cCoRecord {
public:
    // Closes what was open and opens inFileName for reading; 1 when it opened and holds at least
    // two time stamps (so it has a length), else 0. Refused with 0 (logged, nothing closed or
    // changed) while a recording runs or is paused: the record being written would be closed
    // under the recorder.
    sAutomationStatus OpenFile(const MString& inFileName, int32_t* retIsOk) const;
    // Seconds from the first to the last time stamp.
    sAutomationStatus GetLength(float* retLength) const;
    // Moves the reader to inPos and returns where it landed: within one sample period after
    // inPos; at the last time stamp for a position beyond it; at the first one for a position
    // before the start. kFail and nothing read for NaN or an infinite position.
    sAutomationStatus GoToPos(float inPos, float* retPos) const;
    // Where the next sample read lies (negative right after opening: the reader starts at the
    // first sample written, before the first time stamp).
    sAutomationStatus GetPos(float* retPos) const;
    // Up to inCount samples (clamped to 1 ... 10,000) from the reader's position on, isoline
    // corrected when the correction is on, each as trunc(value x 1000). Fewer (or none) at the
    // end of the record.
    sAutomationStatus ReadSamples(int32_t inCount, std::vector<int32_t>* retData) const;
    // The heart rate of the heart-rate entry last read, beats per minute.
    sAutomationStatus GetHeartRate(float* retHr) const;
};
