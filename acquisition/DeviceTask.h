#pragma once
// The device task: every 20 ms it drains the packets the reader thread has received and decodes
// them. A status packet updates the saved status (events 0 and 1). A sample packet becomes one
// block of 28 samples, preceded by a flat filler block for every packet lost before it; each
// block goes out as event 2 in a pooled blob, time-stamped on the data clock, its raw ADC values
// go to the raw queue and its samples update the running signal statistics the regulator uses.
//
// The data clock advances by exactly 2 ms per sample. Once per block it is compared with the
// computer clock: a drift above 0.1 s is pulled in by 1 ms per block; after a pause of more than
// 5 s (a reconnect) the offset between the two is reset, so the time stamps continue without a
// jump.
//
// Thread: main thread. The raw queue is also drained by automation calls (it locks itself).

#include "core/MQueue.h"
#include "core/MTaskManager.h"
#include "device/DeviceState.h"
#include "device/Protocol.h"

class IDeviceLink;
struct sSampleBlob;

// Running statistics of the raw signal, in ADC units: the slow mean (time constant 100 samples)
// shows where the signal sits in the converter's range; the envelopes follow peaks and troughs
// at once and decay towards each other by 0.3 units per sample, so upper - lower is the recent
// peak-to-peak amplitude.
struct sSignalStats {
    float mean = 0;
    float upper = 0;
    float lower = 0;
};

// The raw ADC queue: 16-bit values of every decoded sample, for the automation interface.
using cRawAdcQueue = MQueueT<unsigned short>;

class c_devicetask final : public MTaskBase {
public:
    static constexpr float kPeriodMs = 20;
    // Raw queue limit as configured; the queue turns it into 8192 bytes (4096 samples).
    static constexpr int kRawQueueMaxSize = 2000;
    // Clock alignment (seconds).
    static constexpr double kResetDrift = 5.0;
    static constexpr double kPullDrift = 0.1;
    static constexpr double kPullStep = 0.001;

    // link may be null (no device object); raw may be null (no raw queue).
    c_devicetask(IDeviceLink* link, cRawAdcQueue* raw);

    // Without a connected device the next packet is taken as it comes (resynchronise);
    // otherwise every waiting packet is decoded.
    void Run() override;
    // Decodes one received packet.
    void Decode(const sBaseCmd& packet);

    cSerialTracker& Serial() { return m_serial; }
    // Makes the next sample packet start a fresh serial sequence (no filler blocks).
    void SetResync() { m_serial.SetResync(); }
    const sSignalStats& Stats() const { return m_stats; }
    sSignalStats& Stats() { return m_stats; }
    double DeviceTime() const { return m_deviceTime; }
    double ClockOffset() const { return m_offset; }

private:
    bool EmitBlock(const sPacketSamples& block);
    void PutRaw(const uint16_t* raw);

    IDeviceLink* m_link;
    cRawAdcQueue* m_raw;
    cSerialTracker m_serial;
    double m_deviceTime = 0; // seconds on the data clock, time of the last sample stamped
    double m_offset = 0;     // computer clock - data clock, seconds
    sSignalStats m_stats;
};
