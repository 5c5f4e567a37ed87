#pragma once
// The simulated photoplethysmograph "Kestrel-9": a pulse model (SimPulseModel) seen through the
// sensor model (SimSensor), packed into 32-byte packets and handed out through feature reports.
//
// Time: the device lives on simulated time in whole samples (2 ms). With clock pacing it catches
// up with a clock whenever it is touched (every transfer and query), so a test that moves a
// FakeClock moves the device, and nothing ever sleeps. The clock is the process clock
// (core/Clock.h) by default, or one given to SetPacing; a clock that jumps backwards or by more
// than maxCatchUp seconds is taken to be a different clock and continues without a jump.
// Advance(seconds) moves the device directly, on top of the clock (and alone with manual pacing).
//
// Output: one sample packet (type 5) per 28 samples (56 ms), serial 0..63 wrapping, tag = active
// LED; a status packet (type 6) every `statusEveryPackets` sample periods, right after a command
// or a clip change alters something, and at power-up. Packets wait in a bounded queue; when it is
// full the oldest is dropped and counted. A GetFeature with nothing pending returns a type 0 report.
// With the power off (command byte 5 = 0) no sample packets are produced; status packets go on.
//
// Threads: every member may be called from any thread (the transport's reader thread transfers
// while the main thread plugs, reconfigures and reads the truth); one lock, m_lock of the
// endpoint, guards all state.

#include "core/Clock.h"
#include "device/Protocol.h"
#include "sim/SimHidBus.h"
#include "sim/SimPulseModel.h"
#include "sim/SimRandom.h"
#include "sim/SimSensor.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

enum class SimStart {
    Dark,      // LED drive and LF gain at their lowest: a tiny carrier and a flat line
    Saturated, // full drive and gain: carrier >= 4000, the baseline stuck at the top rail
};

enum class SimPacing {
    ProcessClock, // GetMicroseconds() of core/Clock.h
    Clock,        // the IClock given to SetPacing
    Manual,       // Advance only
};

struct SimFaults {
    double lossProbability = 0;      // device packets that never reach the host
    double duplicateProbability = 0; // device packets handed out twice
    double corruptProbability = 0;   // device packets with a wrong checksum
    double getErrorProbability = 0;  // GetFeature transfers that fail (the packet stays queued)
    double setErrorProbability = 0;  // SetFeature transfers that fail (the command is not applied)
    bool getAlwaysFails = false;
    bool setAlwaysFails = false;
};

struct SimCounters {
    uint64_t samplePackets = 0; // produced, including lost ones
    uint64_t statusPackets = 0; // produced, including lost ones
    uint64_t lost = 0;
    uint64_t duplicated = 0;
    uint64_t corrupted = 0;
    uint64_t overflowDropped = 0; // oldest packets dropped from a full queue
    uint64_t delivered = 0;       // packets handed out (type 0 reports not counted)
    uint64_t emptyReads = 0;      // type 0 reports handed out
    uint64_t getErrors = 0;
    uint64_t setErrors = 0;
    uint64_t commandsApplied = 0;    // valid command packets
    uint64_t commandsRejected = 0;   // wrong type, checksum or LED number
    uint64_t clampedDifferences = 0; // steps larger than a signed byte, sent as -128 or 127
};

struct SimKestrelConfig {
    uint64_t seed = 1;      // seeds every random stream of the device
    SimPulseConfig pulse;   // its seed is replaced by one derived from `seed`
    SimSensorConfig sensor; // likewise
    SimStart start = SimStart::Dark;
    bool clipAttached = true;
    std::string serialNumber = "K9-000123";
    std::string path = "sim:kestrel-9/0";
    size_t queueCapacity = 256;
    int statusEveryPackets = 3; // 168 ms
    SimPacing pacing = SimPacing::ProcessClock;
    IClock* clock = nullptr; // for SimPacing::Clock (null: manual); must outlive the device or be replaced
    double maxCatchUp = 600; // seconds
};

// The values a sample packet was built from, for tests.
struct SimTracePacket {
    uint64_t index = 0; // sample packet number since the device started
    double time = 0;    // simulated time of the first sample, seconds (the clock of TrueBeats)
    uint8_t serial = 0;
    std::array<uint16_t, kSamplesPerPacket> intended{}; // converter values
    std::array<uint16_t, kSamplesPerPacket> sent{};     // what the differences reconstruct
};

class SimKestrel final : public SimHidEndpoint {
public:
    static constexpr uint16_t kVendorId = 0x16C0;
    static constexpr uint16_t kProductId = 0x05DF;
    static constexpr int kReportLength = kPacketSize + 1;
    static constexpr int kSamplesPerSecond = 500;

    explicit SimKestrel(const SimKestrelConfig& config = {});

    // ---- pacing
    void SetPacing(SimPacing pacing, IClock* clock = nullptr);
    // Moves simulated time forward (whole samples; fractions are carried to the next call).
    void Advance(double seconds);
    // Simulated seconds since the device started. Queries below catch up with the clock first.
    double Time();

    // ---- host side
    using SimHidEndpoint::GetFeature;
    using SimHidEndpoint::SetFeature;
    bool GetFeature(uint64_t generation, uint8_t* buf, int len, int* error) override;
    bool SetFeature(uint64_t generation, const uint8_t* buf, int len, int* error) override;
    // The same through whatever is plugged in now (fails only while unplugged).
    bool GetFeature(uint8_t* buf, int len, int* error);
    bool SetFeature(const uint8_t* buf, int len, int* error);
    // Takes the next queued packet without a transfer (no transfer faults); false when none.
    bool ReadPacket(sBaseCmd* packet);
    // Applies a packet as a received command; false when it is rejected or the device is gone.
    bool WriteCommand(const sBaseCmd& packet);

    // ---- environment
    void AttachClip(bool attached);
    bool ClipAttached() const;
    void SetFaults(const SimFaults& faults);
    SimFaults Faults() const;
    void SetTransmission(double transmission);
    void SetMeanRate(double bpm);
    void SetEctopicProbability(double p);
    void SetArtefactsPerMinute(double perMinute);
    // Pushes the baseline far beyond the top (+1) or bottom (-1) rail, where it sticks.
    void StickBaseline(int rail);
    void EnableTrace(size_t maxPackets); // 0 turns it off and clears it
    std::vector<SimTracePacket> Trace() const;

    // ---- truth
    std::vector<SimBeat> TrueBeats(double from, double to);
    std::vector<SimDisturbance> TrueDisturbances(double from, double to);
    double TrueRateAt(double t);
    double DrivingRate();
    SimSettings Settings() const;
    double CarrierLevel();
    double BaselineOffset(); // relative to mid-scale, ADC units
    size_t Pending();
    SimCounters Counters();
    uint8_t NextSerial();

    static SimHidInfo DefaultInfo(const SimKestrelConfig& config);

private:
    void BeforePlugChangeLocked() override;
    void OnPlugLocked() override;
    void OnUnplugLocked() override;

    void PowerUpLocked();
    void SyncLocked();
    void StepSampleLocked();
    void EmitSamplePacketLocked();
    void EmitStatusLocked();
    void EnqueueLocked(sBaseCmd packet);
    bool ApplyCommandLocked(const sBaseCmd& packet);
    bool ReadPacketLocked(sBaseCmd* packet);
    long double ClockMicrosecondsLocked() const;

    SimKestrelConfig m_config;
    // Simulation state; because catching up with the clock happens in const queries.
    SimPulseModel m_pulse;
    SimSensor m_sensor;
    SimRandom m_faultRng;
    SimRandom m_transferRng;
    SimRandom m_measureRng;
    bool m_clip;
    SimFaults m_faults;

    int64_t m_samples = 0; // samples simulated since start
    long double m_clockElapsedUs = 0;
    long double m_lastClockUs = 0;
    int64_t m_manualNs = 0;
    std::array<uint16_t, kSamplesPerPacket> m_block{};
    int m_fill = 0;
    uint8_t m_serial = 0;
    int m_samplesSinceStatus = 0;
    uint64_t m_packetIndex = 0;
    std::deque<sBaseCmd> m_queue;
    SimCounters m_counters;
    size_t m_traceLimit = 0;
    std::deque<SimTracePacket> m_trace;
};
