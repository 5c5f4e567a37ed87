#pragma once
// The host's side of the protocol state: the serial-number rules that turn sample packets into
// blocks (with flat filler blocks for lost packets), the saved status packet with its LED change
// detection, and the one command buffer the host keeps for as long as it runs.
//
// Threads: all of it runs on the main thread (the device task, the regulator, window commands).

#include "device/Protocol.h"

#include <cstdint>

class MEventManager;
class MJvUSB;

// Serial numbers of sample packets (0..63). For each packet: a repeat of the last serial is a
// duplicate and dropped; otherwise the last serial steps forward to the packet's serial, and every
// serial skipped on the way produces a filler block of 28 copies of the packet's first sample, so
// the time axis stays continuous. With the resynchronise flag set, the packet's serial is taken
// as it is (one block, no fillers) and the flag cleared.
class cSerialTracker {
public:
    // Called once per block, fillers first; returns false when no block storage can be had, which
    // drops the rest of the packet.
    // bool sink(const sPacketSamples& block, bool filler)
    template <class Sink>
    int OnSamplePacket(const sBaseCmd& packet, Sink&& sink);

    void SetResync() { m_resync = true; }
    bool ResyncPending() const { return m_resync; }
    int LastSerial() const { return m_last; }
    // Back to the state at start-up: last serial 0, no resynchronisation pending.
    void Reset() {
        m_last = 0;
        m_resync = false;
    }

private:
    // Advances the last serial by one step towards `serial`; true when the step is a filler.
    bool Step(int serial);
    void LogDuplicate() const;

    int m_last = 0;
    bool m_resync = false;
    sPacketSamples m_real;   // the packet's own samples
    sPacketSamples m_filler; // 28 copies of its first sample
};

template <class Sink>
int cSerialTracker::OnSamplePacket(const sBaseCmd& packet, Sink&& sink) {
    const int serial = SampleSerial(packet);
    if (serial == m_last) {
        LogDuplicate();
        return 0;
    }
    ReconstructSamples(packet, m_real);
    bool fillerReady = false;
    int blocks = 0;
    while (m_last != serial) {
        const bool filler = Step(serial);
        if (filler && !fillerReady) {
            FillSamples(m_real.adc[0], m_filler);
            fillerReady = true;
        }
        if (!sink(filler ? m_filler : m_real, filler)) break;
        ++blocks;
    }
    return blocks;
}

// What a status packet changed.
struct sLedChange {
    bool changed = false;
    uint8_t previous = 0;
    uint8_t current = 0;
};

// The last status packet received: type 6, LED 5 (never reported by a device), checksum 0xAB and
// zeros until the first one arrives, so that the first status packet always counts as an LED change.
class cSavedStatus {
public:
    // Main-thread event ids raised for a status packet.
    static constexpr int kEventLedChanged = 0; // data = previous LED (in the pointer), value = new LED
    static constexpr int kEventStatus = 1;     // data = the saved packet, value = 0

    // Compares the packet's LED with the saved one, then copies the packet over the saved one.
    sLedChange Update(const sBaseCmd& packet);
    // Update, then raise event 0 (only when the LED changed) before event 1.
    sLedChange UpdateAndRaise(const sBaseCmd& packet, MEventManager& events);

    sBaseCmd& Packet() { return m_saved; }
    const sBaseCmd& Packet() const { return m_saved; }
    // Makes the next status packet count as an LED change.
    void ForceLedChange() { m_saved[kStatusLed] = kLedForceChange; }
    void Reset() { m_saved = InitialStatusPacket(); }

private:
    sBaseCmd m_saved = InitialStatusPacket();
};

// The host's command buffer. The device always receives all of it: changing one field resends
// the others with their last values.
class cCommandBuffer {
public:
    sBaseCmd& Packet() { return m_cmd; }
    const sBaseCmd& Packet() const { return m_cmd; }

    void SetLed(uint8_t led) { CommandSetLed(m_cmd, led); }
    void SetDrive(uint8_t code) { CommandSetDrive(m_cmd, code); }
    void SetLf(uint8_t code) { CommandSetLf(m_cmd, code); }
    void SetRecovery(bool on) { CommandSetRecovery(m_cmd, on); }
    void SetPower(bool on) { CommandSetPower(m_cmd, on); }
    uint8_t Led() const { return m_cmd[kCmdLed]; }
    uint8_t Drive() const { return m_cmd[kCmdDrive]; }
    uint8_t Lf() const { return m_cmd[kCmdLf]; }
    bool Recovery() const { return m_cmd[kCmdRecovery] != 0; }
    bool Power() const { return m_cmd[kCmdPower] != 0; }

    // LED as given, drive 250, LF 50, recovery and power on.
    void Configure(uint8_t activeLed) { CommandConfigure(m_cmd, activeLed); }
    // All LEDs and the power off.
    void PowerOff() { CommandPowerOff(m_cmd); }

    // Stores the checksum into the buffer and queues a copy on the transport; false without one.
    bool Send(MJvUSB* usb);

    void Reset() { m_cmd = InitialCommandPacket(); }

private:
    sBaseCmd m_cmd = InitialCommandPacket();
};

// Process-wide instances, created on first use and destroyed at program end. Main thread.
cSavedStatus& GetSavedStatus();
cCommandBuffer& GetCommandBuffer();
