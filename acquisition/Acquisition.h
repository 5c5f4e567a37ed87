#pragma once
// The live acquisition module: the device task, the blob pool's release listener, the filter,
// the live heart rate, the recorder and the regulator, wired to the event manager and the
// scheduler. The program's entry starts it once, after the settings and before the main loop
// runs, and stops it at the end; tests stop and start it again to get fresh objects.
//
// Start order (it decides the order of equal priorities and of the scheduler's rotation):
// release listener, device task, filter, live heart rate, recorder, regulator.
//
// Thread: main thread only.

#include "acquisition/AutoRegulator.h"
#include "acquisition/CalcHb.h"
#include "acquisition/DeviceLink.h"
#include "acquisition/DeviceTask.h"
#include "acquisition/FilterPoints.h"
#include "acquisition/SampleBlob.h"
#include "acquisition/WriteSamples.h"

#include <cstdint>
#include <memory>

class MJvUSB;

class cAcquisition {
public:
    // link may be null (no device object).
    explicit cAcquisition(IDeviceLink* link);
    ~cAcquisition();
    cAcquisition(const cAcquisition&) = delete;
    cAcquisition& operator=(const cAcquisition&) = delete;

    IDeviceLink* Link() { return m_link; }
    c_devicetask& DeviceTask() { return m_deviceTask; }
    cbFilterPoints& FilterPoints() { return m_filter; }
    cbCalcHb& CalcHb() { return m_calcHb; }
    cbWriteSamples& Recorder() { return m_recorder; }
    cAutoRegulator& Regulator() { return m_regulator; }
    cRawAdcQueue& RawQueue() { return m_rawQueue; }

    // Stamps the command buffer's checksum and queues it on the link (when there is one).
    void SendCommand();

private:
    friend bool StartAcquisition(IDeviceLink*);
    bool Start();

    std::unique_ptr<cUsbDeviceLink> m_ownLink; // when started over the HID transport
    IDeviceLink* m_link;
    cRawAdcQueue m_rawQueue;
    cSamplesFinalCallback m_release;
    c_devicetask m_deviceTask;
    cbFilterPoints m_filter;
    cbCalcHb m_calcHb;
    cAutoRegulator m_regulator;
    cbWriteSamples m_recorder;

    friend bool StartAcquisition(MJvUSB*);
};

// Builds the module over the HID transport (usb may be null: no device object) and installs the
// configure-on-connect routine on it. Stops a running module first. False when out of memory.
// The transport must outlive the module: stop the module before destroying it.
bool StartAcquisition(MJvUSB* usb);
// The same over any packet source; the caller keeps link alive until StopAcquisition.
bool StartAcquisition(IDeviceLink* link);
// Delivers the events already queued, then unsubscribes and removes everything and destroys the
// module (and the routine installed on the transport).
void StopAcquisition();
// The running module, or null.
cAcquisition* GetAcquisition();

// What a device gets when it has just been connected: the LED last used ("ActiveLed" in the
// settings, internal red when missing or unknown), drive 250, LF 50, baseline recovery and power
// on; the next sample packet starts a fresh serial sequence, and the LED maps are reloaded.
void ConfigureOnConnect();

// The LED selection commands: internal red (1) sends the LED alone; a clip LED (2 or 3) also
// sets drive 250 and makes the regulator skip its next step.
void SelectLed(uint8_t led);
// Manual drive or LF code (from the level gauges).
void SetDriveCode(uint8_t code);
void SetLfCode(uint8_t code);

// Readers for the command line and the automation interface: the displayed heart rate (0 before
// the first beat or without the module) and the regulator's settled flag.
float GetDisplayedHeartRate();
bool RegulatorSettled();
