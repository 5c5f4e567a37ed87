#include "sim/SimKestrel.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

constexpr double kSamplePeriodS = 1.0 / SimKestrel::kSamplesPerSecond;
constexpr double kStatusCarrierNoise = 2.0; // ADC units
// A baseline this far from mid-scale is pinned beyond a rail deeply enough that the pulse does
// not show, and stays there for minutes without recovery.
constexpr double kStuckOffset = SimSensor::kMidScale + 2000;

// Random streams of one device, derived from its seed.
enum Stream : uint64_t { kPulseStream, kSensorStream, kFaultStream, kTransferStream, kMeasureStream };

SimSettings StartSettings(SimStart start) {
    SimSettings s;
    s.led = kLedInternalRed;
    s.recovery = false;
    s.power = true;
    if (start == SimStart::Saturated) {
        s.drive = 0;
        s.lf = 0;
    } else {
        s.drive = 255;
        s.lf = 255;
    }
    return s;
}

SimPulseConfig PulseConfigFor(const SimKestrelConfig& c) {
    SimPulseConfig p = c.pulse;
    p.seed = SimRandom::Derive(c.seed, kPulseStream);
    return p;
}

SimSensorConfig SensorConfigFor(const SimKestrelConfig& c) {
    SimSensorConfig s = c.sensor;
    s.seed = SimRandom::Derive(c.seed, kSensorStream);
    return s;
}

} // namespace

SimHidInfo SimKestrel::DefaultInfo(const SimKestrelConfig& config) {
    SimHidInfo info;
    info.vendorId = kVendorId;
    info.productId = kProductId;
    info.manufacturer = "mqt-lab";
    info.product = "Kestrel-9";
    info.serialNumber = config.serialNumber;
    info.path = config.path;
    info.featureReportLength = kReportLength;
    info.usagePage = 0xFF00; // vendor-defined
    info.usage = 0x01;
    return info;
}

SimKestrel::SimKestrel(const SimKestrelConfig& config)
    : SimHidEndpoint(DefaultInfo(config)), m_config(config), m_pulse(PulseConfigFor(config)),
      m_sensor(SensorConfigFor(config)), m_faultRng(SimRandom::Derive(config.seed, kFaultStream)),
      m_transferRng(SimRandom::Derive(config.seed, kTransferStream)),
      m_measureRng(SimRandom::Derive(config.seed, kMeasureStream)), m_clip(config.clipAttached) {
    m_config.queueCapacity = std::max<size_t>(1, m_config.queueCapacity);
    m_config.statusEveryPackets = std::max(1, m_config.statusEveryPackets);
    if (m_config.pacing == SimPacing::Clock && !m_config.clock) m_config.pacing = SimPacing::Manual;
    std::lock_guard lock(m_lock);
    m_lastClockUs = ClockMicrosecondsLocked();
    PowerUpLocked();
}

// ---- time -----------------------------------------------------------------------------------------

long double SimKestrel::ClockMicrosecondsLocked() const {
    switch (m_config.pacing) {
        case SimPacing::ProcessClock:
            return GetMicroseconds();
        case SimPacing::Clock:
            return m_config.clock->Microseconds();
        case SimPacing::Manual:
            break;
    }
    return 0;
}

void SimKestrel::SyncLocked() {
    if (m_config.pacing != SimPacing::Manual) {
        const long double now = ClockMicrosecondsLocked();
        long double delta = now - m_lastClockUs;
        // Going backwards or leaping far ahead means another clock was installed: carry on from
        // where the device is rather than replaying (or skipping) hours.
        if (delta < 0 || delta > static_cast<long double>(m_config.maxCatchUp) * 1e6L) delta = 0;
        m_clockElapsedUs += delta;
        m_lastClockUs = now;
    }
    const long double elapsedUs = m_clockElapsedUs + static_cast<long double>(m_manualNs) / 1000.0L;
    const auto target = static_cast<int64_t>(std::floor(elapsedUs * kSamplesPerSecond / 1e6L + 1e-9L));
    while (m_samples < target) StepSampleLocked();
}

void SimKestrel::SetPacing(SimPacing pacing, IClock* clock) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    if (pacing == SimPacing::Clock && !clock) pacing = SimPacing::Manual;
    m_config.pacing = pacing;
    m_config.clock = clock;
    m_lastClockUs = ClockMicrosecondsLocked();
}

void SimKestrel::Advance(double seconds) {
    if (!(seconds > 0)) return;
    std::lock_guard lock(m_lock);
    m_manualNs += static_cast<int64_t>(std::llround(seconds * 1e9));
    SyncLocked();
}

double SimKestrel::Time() {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return static_cast<double>(m_samples) * kSamplePeriodS;
}

// ---- signal and packets ---------------------------------------------------------------------------

void SimKestrel::PowerUpLocked() {
    m_queue.clear();
    m_fill = 0;
    m_serial = 0;
    m_samplesSinceStatus = 0;
    m_sensor.Configure(StartSettings(m_config.start), m_clip);
    if (m_config.start == SimStart::Saturated) m_sensor.SetOffset(kStuckOffset);
    EmitStatusLocked();
}

void SimKestrel::StepSampleLocked() {
    const double volume = m_pulse.Step(kSamplePeriodS);
    ++m_samples;
    if (!PresentLocked()) return; // unplugged: the finger lives on, the device is off
    const double analogue = m_sensor.Step(volume, kSamplePeriodS);

    if (m_sensor.Settings().power) {
        // A saturated sensor (strong ambient light, a slipping finger) reads the converter's top.
        const double clipped = m_pulse.Saturated()
                                   ? SimSensor::kAdcMax
                                   : std::clamp(std::round(analogue), 0.0, SimSensor::kAdcMax);
        m_block[static_cast<size_t>(m_fill++)] = static_cast<uint16_t>(clipped);
        if (m_fill == kSamplesPerPacket) {
            EmitSamplePacketLocked();
            m_fill = 0;
        }
    } else {
        m_fill = 0; // the converter is off
    }

    if (++m_samplesSinceStatus >= m_config.statusEveryPackets * kSamplesPerPacket) EmitStatusLocked();
}

void SimKestrel::EmitSamplePacketLocked() {
    // The first value is absolute; the differences are limited to a signed byte, and the running
    // value follows what the host will reconstruct, so the stream stays consistent.
    int8_t diffs[kSamplesPerPacket - 1];
    SimTracePacket trace;
    trace.index = m_packetIndex;
    trace.time = static_cast<double>(m_samples - kSamplesPerPacket + 1) * kSamplePeriodS;
    trace.serial = m_serial;
    trace.intended = m_block;
    int running = m_block[0];
    trace.sent[0] = m_block[0];
    for (int k = 1; k < kSamplesPerPacket; ++k) {
        const int want = m_block[static_cast<size_t>(k)] - running;
        const int d = std::clamp(want, -128, 127);
        if (d != want) ++m_counters.clampedDifferences;
        diffs[k - 1] = static_cast<int8_t>(d);
        running += d;
        trace.sent[static_cast<size_t>(k)] = static_cast<uint16_t>(running);
    }
    const auto tag = static_cast<uint8_t>(m_sensor.Settings().led & 0x3);
    const sBaseCmd packet = MakeSamplePacket(m_serial, tag, m_block[0], diffs);

    if (m_traceLimit > 0) {
        m_trace.push_back(trace);
        while (m_trace.size() > m_traceLimit) m_trace.pop_front();
    }
    ++m_packetIndex;
    m_serial = static_cast<uint8_t>((m_serial + 1) % kSerialModulo);
    ++m_counters.samplePackets;
    EnqueueLocked(packet);
}

void SimKestrel::EmitStatusLocked() {
    m_samplesSinceStatus = 0;
    const SimSettings& s = m_sensor.Settings();
    sStatusFields f;
    f.driveCode = s.drive;
    f.lfCode = s.lf;
    f.activeLed = s.led;
    const double level = m_sensor.CarrierLevel() + kStatusCarrierNoise * m_measureRng.Gauss();
    f.carrierLevel = static_cast<uint16_t>(std::clamp(std::round(level), 0.0, SimSensor::kAdcMax));
    f.clipPresent = m_clip;
    f.recoveryActive = s.recovery && s.power;
    ++m_counters.statusPackets;
    EnqueueLocked(MakeStatusPacket(f));
}

void SimKestrel::EnqueueLocked(sBaseCmd packet) {
    if (m_faultRng.Chance(m_faults.lossProbability)) {
        ++m_counters.lost;
        return;
    }
    if (m_faultRng.Chance(m_faults.corruptProbability)) {
        packet[kPacketSize - 1] ^= static_cast<uint8_t>(1 + m_faultRng.Below(255));
        ++m_counters.corrupted;
    }
    const int copies = m_faultRng.Chance(m_faults.duplicateProbability) ? 2 : 1;
    if (copies == 2) ++m_counters.duplicated;
    for (int i = 0; i < copies; ++i) {
        if (m_queue.size() >= m_config.queueCapacity) {
            m_queue.pop_front();
            ++m_counters.overflowDropped;
        }
        m_queue.push_back(packet);
    }
}

bool SimKestrel::ApplyCommandLocked(const sBaseCmd& p) {
    if (p.Type() != kPacketCommand || !PacketChecksumValid(p) || p[kCmdLed] > kLedClipInfrared) {
        ++m_counters.commandsRejected;
        return false;
    }
    ++m_counters.commandsApplied;
    SimSettings s;
    s.led = p[kCmdLed];
    s.drive = p[kCmdDrive];
    s.lf = p[kCmdLf];
    s.recovery = p[kCmdRecovery] != 0;
    s.power = p[kCmdPower] != 0;
    if (!(s == m_sensor.Settings())) {
        m_sensor.Configure(s, m_clip);
        if (!s.power) m_fill = 0;
        EmitStatusLocked();
    }
    return true;
}

bool SimKestrel::ReadPacketLocked(sBaseCmd* packet) {
    if (m_queue.empty()) return false;
    *packet = m_queue.front();
    m_queue.pop_front();
    return true;
}

// ---- transfers ------------------------------------------------------------------------------------

bool SimKestrel::GetFeature(uint64_t generation, uint8_t* buf, int len, int* error) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    int code = 0;
    if (!ValidLocked(generation))
        code = ENODEV;
    else if (!buf || len < kReportLength)
        code = EINVAL;
    else if (buf[0] != 0)
        code = EPIPE; // the device has no numbered reports
    else if (m_faults.getAlwaysFails || m_transferRng.Chance(m_faults.getErrorProbability))
        code = EIO;
    if (code) {
        if (code == EIO) ++m_counters.getErrors;
        if (error) *error = code;
        return false;
    }
    std::memset(buf + 1, 0, static_cast<size_t>(len - 1));
    sBaseCmd packet;
    if (ReadPacketLocked(&packet)) {
        std::memcpy(buf + 1, packet.data, kPacketSize);
        ++m_counters.delivered;
    } else {
        ++m_counters.emptyReads;
    }
    return true;
}

bool SimKestrel::SetFeature(uint64_t generation, const uint8_t* buf, int len, int* error) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    int code = 0;
    if (!ValidLocked(generation))
        code = ENODEV;
    else if (!buf || len < kReportLength)
        code = EINVAL;
    else if (buf[0] != 0)
        code = EPIPE;
    else if (m_faults.setAlwaysFails || m_transferRng.Chance(m_faults.setErrorProbability))
        code = EIO;
    if (code) {
        if (code == EIO) ++m_counters.setErrors;
        if (error) *error = code;
        return false;
    }
    sBaseCmd packet;
    std::memcpy(packet.data, buf + 1, kPacketSize);
    ApplyCommandLocked(packet); // a command the device does not accept is ignored, as on the wire
    return true;
}

bool SimKestrel::GetFeature(uint8_t* buf, int len, int* error) {
    return GetFeature(kCurrentGeneration, buf, len, error);
}

bool SimKestrel::SetFeature(const uint8_t* buf, int len, int* error) {
    return SetFeature(kCurrentGeneration, buf, len, error);
}

bool SimKestrel::ReadPacket(sBaseCmd* packet) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    if (!packet || !ValidLocked(kCurrentGeneration)) return false;
    const bool got = ReadPacketLocked(packet);
    if (got) ++m_counters.delivered;
    return got;
}

bool SimKestrel::WriteCommand(const sBaseCmd& packet) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    if (!ValidLocked(kCurrentGeneration)) return false;
    return ApplyCommandLocked(packet);
}

// ---- plugging -------------------------------------------------------------------------------------

void SimKestrel::BeforePlugChangeLocked() {
    // The time up to the change still belongs to the old state (packets while plugged in).
    SyncLocked();
}

void SimKestrel::OnUnplugLocked() {
    m_queue.clear();
    m_fill = 0;
}

void SimKestrel::OnPlugLocked() {
    // A re-plugged device boots afresh: start settings, serial 0, an empty queue.
    PowerUpLocked();
}

// ---- environment ----------------------------------------------------------------------------------

void SimKestrel::AttachClip(bool attached) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    if (m_clip == attached) return;
    m_clip = attached;
    m_sensor.Configure(m_sensor.Settings(), m_clip);
    if (PresentLocked()) EmitStatusLocked();
}

bool SimKestrel::ClipAttached() const {
    std::lock_guard lock(m_lock);
    return m_clip;
}

void SimKestrel::SetFaults(const SimFaults& faults) {
    std::lock_guard lock(m_lock);
    SyncLocked(); // packets of the time before the change keep the old faults
    m_faults = faults;
}

SimFaults SimKestrel::Faults() const {
    std::lock_guard lock(m_lock);
    return m_faults;
}

void SimKestrel::SetTransmission(double transmission) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    m_sensor.SetTransmission(transmission);
}

void SimKestrel::SetMeanRate(double bpm) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    m_pulse.SetMeanRate(std::clamp(bpm, 25.0, 240.0));
}

void SimKestrel::SetEctopicProbability(double p) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    m_pulse.SetEctopicProbability(p);
}

void SimKestrel::SetArtefactsPerMinute(double perMinute) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    m_pulse.SetArtefactsPerMinute(perMinute);
}

void SimKestrel::StickBaseline(int rail) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    if (rail != 0) m_sensor.SetOffset(rail > 0 ? kStuckOffset : -kStuckOffset);
}

void SimKestrel::EnableTrace(size_t maxPackets) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    m_traceLimit = maxPackets;
    while (m_trace.size() > m_traceLimit) m_trace.pop_front();
}

std::vector<SimTracePacket> SimKestrel::Trace() const {
    std::lock_guard lock(m_lock);
    return {m_trace.begin(), m_trace.end()};
}

// ---- truth ----------------------------------------------------------------------------------------

std::vector<SimBeat> SimKestrel::TrueBeats(double from, double to) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return m_pulse.Beats(from, to);
}

std::vector<SimDisturbance> SimKestrel::TrueDisturbances(double from, double to) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return m_pulse.Disturbances(from, to);
}

double SimKestrel::TrueRateAt(double t) {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return m_pulse.TrueRateAt(t);
}

double SimKestrel::DrivingRate() {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return m_pulse.DrivingRate();
}

SimSettings SimKestrel::Settings() const {
    std::lock_guard lock(m_lock);
    return m_sensor.Settings();
}

double SimKestrel::CarrierLevel() {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return m_sensor.CarrierLevel();
}

double SimKestrel::BaselineOffset() {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return m_sensor.Offset();
}

size_t SimKestrel::Pending() {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return m_queue.size();
}

SimCounters SimKestrel::Counters() {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return m_counters;
}

uint8_t SimKestrel::NextSerial() {
    std::lock_guard lock(m_lock);
    SyncLocked();
    return m_serial;
}
