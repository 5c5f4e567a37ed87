#include "core/Clock.h"
#include "sim/SimKestrel.h"
#include "tests/sim/SimHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

using simtest::HostDecoder;

namespace {

constexpr double kPacketSeconds = 0.056;

SimKestrelConfig Manual(uint64_t seed = 1, SimStart start = SimStart::Dark) {
    SimKestrelConfig c;
    c.seed = seed;
    c.start = start;
    c.pacing = SimPacing::Manual;
    return c;
}

sBaseCmd Command(uint8_t led, uint8_t drive, uint8_t lf, bool recovery = false, bool power = true) {
    sBaseCmd c = InitialCommandPacket();
    CommandSetLed(c, led);
    CommandSetDrive(c, drive);
    CommandSetLf(c, lf);
    CommandSetRecovery(c, recovery);
    CommandSetPower(c, power);
    StampChecksum(c);
    return c;
}

std::vector<sBaseCmd> ReadAll(SimKestrel& dev) {
    std::vector<sBaseCmd> out;
    sBaseCmd p;
    while (dev.ReadPacket(&p)) out.push_back(p);
    return out;
}

int CountType(const std::vector<sBaseCmd>& packets, uint8_t type) {
    return static_cast<int>(
        std::count_if(packets.begin(), packets.end(), [&](const sBaseCmd& p) { return p.Type() == type; }));
}

// Sets the codes, re-centres the baseline, lets it settle and records four seconds.
struct Measurement {
    int carrier = 0;
    double low = 0, high = 0; // extremes of the whole recording
    double pulse = 0;         // median peak-to-peak of the one-second pieces (the baseline drifts)
    double PeakToPeak() const { return pulse; }
};

Measurement Measure(SimKestrel& dev, uint8_t led, uint8_t drive, uint8_t lf) {
    dev.WriteCommand(Command(led, drive, lf, true));
    dev.Advance(1.0);
    dev.WriteCommand(Command(led, drive, lf, false));
    dev.Advance(3.0);
    ReadAll(dev);
    HostDecoder host;
    host.keepSamples = true;
    dev.Advance(4.0);
    host.Drain(dev);
    Measurement m;
    m.carrier = StatusCarrierLevel(host.status);
    m.low = *std::min_element(host.samples.begin(), host.samples.end());
    m.high = *std::max_element(host.samples.begin(), host.samples.end());
    std::vector<double> pieces;
    for (size_t from = 0; from + 500 <= host.samples.size(); from += 500) {
        const auto [lo, hi] = std::minmax_element(host.samples.begin() + static_cast<long>(from),
                                                  host.samples.begin() + static_cast<long>(from + 500));
        pieces.push_back(*hi - *lo);
    }
    std::sort(pieces.begin(), pieces.end());
    m.pulse = pieces[pieces.size() / 2];
    return m;
}

} // namespace

// ---- the packet stream ----------------------------------------------------------------------------

TEST(SimKestrel, SamplePacketsDecodeToTheSignalTheDeviceMeant) {
    SimKestrel dev(Manual(5));
    dev.EnableTrace(1000);
    dev.WriteCommand(Command(kLedInternalRed, 140, 150, true));
    dev.Advance(1.0);
    dev.WriteCommand(Command(kLedInternalRed, 140, 150, false));
    // Steep enough for differences beyond a signed byte (a gain step slams the signal).
    dev.Advance(4.0);
    dev.WriteCommand(Command(kLedInternalRed, 140, 20, false));
    dev.Advance(5.0);

    const auto packets = ReadAll(dev);
    const auto trace = dev.Trace();
    std::vector<sBaseCmd> samples;
    for (const auto& p : packets) {
        EXPECT_TRUE(PacketChecksumValid(p)) << "type " << int(p.Type());
        if (p.Type() == kPacketSamples) samples.push_back(p);
    }
    ASSERT_EQ(samples.size(), trace.size());
    ASSERT_EQ(samples.size(), static_cast<size_t>(10.0 / kPacketSeconds));

    int clampedSeen = 0;
    double worstJoin = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const sBaseCmd& p = samples[i];
        EXPECT_EQ(SampleSerial(p), i % 64);
        EXPECT_EQ(SampleTag(p), kLedInternalRed);
        sPacketSamples s;
        ReconstructSamples(p, s);
        for (int k = 0; k < kSamplesPerPacket; ++k) {
            // Exactly what the device sent, always inside the converter's range.
            EXPECT_EQ(s.adc[k], trace[i].sent[static_cast<size_t>(k)]);
            EXPECT_GE(s.adc[k], 0);
            EXPECT_LE(s.adc[k], 4095);
        }
        if (trace[i].sent != trace[i].intended) ++clampedSeen;
        // The first value is absolute, so the stream rejoins the true signal at every packet.
        EXPECT_EQ(s.adc[0], trace[i].intended[0]);
        if (i > 0) worstJoin = std::max(worstJoin, std::abs(s.adc[0] - trace[i - 1].intended[27]));
    }
    const SimCounters c = dev.Counters();
    EXPECT_GT(c.clampedDifferences, 0u);
    EXPECT_GT(clampedSeen, 0);
    EXPECT_LT(worstJoin, 4096);
}

// Tests of the host's beat detection compare against TrueBeats; the peaks there must be the peaks
// in the decoded stream, on the time axis of the trace.
TEST(SimKestrel, TrueBeatsMatchThePeaksOfTheDecodedWave) {
    SimKestrel dev(Manual(14));
    Measure(dev, kLedInternalRed, 130, 150);
    dev.EnableTrace(1000);
    ReadAll(dev);
    dev.Advance(20.0);
    const auto trace = dev.Trace();
    ASSERT_GE(trace.size(), 357u);
    std::vector<double> times, values;
    for (const auto& packet : trace) {
        for (int k = 0; k < kSamplesPerPacket; ++k) {
            times.push_back(packet.time + k * 0.002);
            values.push_back(packet.sent[static_cast<size_t>(k)]);
        }
    }
    for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.002, 1e-9);

    const auto beats = dev.TrueBeats(times.front(), times.back() - 1.5);
    ASSERT_GE(beats.size(), 20u);
    for (const SimBeat& b : beats) {
        const auto from = std::lower_bound(times.begin(), times.end(), b.onset) - times.begin();
        const auto to = std::lower_bound(times.begin(), times.end(), b.onset + b.interval) - times.begin();
        const auto top = std::max_element(values.begin() + from, values.begin() + to) - values.begin();
        EXPECT_NEAR(times[static_cast<size_t>(top)], b.peak, 0.03) << "beat at " << b.onset;
    }
}

TEST(SimKestrel, SerialsWrapAndStatusComesPeriodically) {
    SimKestrel dev(Manual());
    dev.Advance(10.0);
    const auto packets = ReadAll(dev);
    HostDecoder host;
    for (const auto& p : packets) host.Take(p);
    EXPECT_EQ(host.samplePackets, 178);
    EXPECT_EQ(host.missing, 0);
    EXPECT_EQ(host.duplicates, 0);
    EXPECT_EQ(host.checksumErrors, 0);
    // One at power-up and one every three sample periods.
    EXPECT_EQ(host.statusPackets, 1 + 178 / 3);
    EXPECT_EQ(dev.NextSerial(), 178 % 64);
}

TEST(SimKestrel, EmptyQueueGivesTypeZeroReport) {
    SimKestrel dev(Manual());
    ReadAll(dev);
    uint8_t buf[40];
    std::memset(buf, 0xEE, sizeof buf);
    buf[0] = 0;
    int error = 0;
    ASSERT_TRUE(dev.GetFeature(buf, sizeof buf, &error));
    for (size_t i = 1; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0) << i;
    EXPECT_EQ(dev.Counters().emptyReads, 1u);

    // Too short a buffer or a report id the device does not have: refused, nothing consumed.
    dev.Advance(0.2);
    const size_t pending = dev.Pending();
    EXPECT_FALSE(dev.GetFeature(buf, 20, &error));
    EXPECT_EQ(error, EINVAL);
    buf[0] = 3;
    EXPECT_FALSE(dev.GetFeature(buf, sizeof buf, &error));
    EXPECT_EQ(error, EPIPE);
    EXPECT_EQ(dev.Pending(), pending);
}

TEST(SimKestrel, CommandsApplyAndAreAnsweredWithStatus) {
    SimKestrel dev(Manual());
    ReadAll(dev);

    ASSERT_TRUE(dev.WriteCommand(Command(kLedClipInfrared, 180, 90, true)));
    auto packets = ReadAll(dev);
    ASSERT_EQ(packets.size(), 1u); // the status comes at once, before any time passes
    const sBaseCmd& s = packets[0];
    EXPECT_EQ(s.Type(), kPacketStatus);
    EXPECT_EQ(StatusDriveCode(s), 180);
    EXPECT_EQ(StatusLfCode(s), 90);
    EXPECT_EQ(StatusActiveLed(s), kLedClipInfrared);
    EXPECT_TRUE(StatusClipPresent(s));
    EXPECT_TRUE(StatusRecoveryActive(s));
    EXPECT_NEAR(StatusCarrierLevel(s), dev.CarrierLevel(), 10);

    // Resending the same settings changes nothing and says nothing.
    ASSERT_TRUE(dev.WriteCommand(Command(kLedClipInfrared, 180, 90, true)));
    EXPECT_TRUE(ReadAll(dev).empty());

    // Commands the device does not accept leave the settings alone.
    sBaseCmd badChecksum = Command(kLedInternalRed, 10, 10);
    badChecksum[kPacketSize - 1] ^= 0x5A;
    sBaseCmd badLed = Command(4, 10, 10);
    sBaseCmd notCommand = Command(kLedInternalRed, 10, 10);
    notCommand[0] = kPacketStatus;
    StampChecksum(notCommand);
    for (const sBaseCmd& c : {badChecksum, badLed, notCommand}) EXPECT_FALSE(dev.WriteCommand(c));
    EXPECT_EQ(dev.Settings().drive, 180);
    EXPECT_EQ(dev.Settings().led, kLedClipInfrared);
    EXPECT_EQ(dev.Counters().commandsRejected, 3u);
    EXPECT_TRUE(ReadAll(dev).empty());

    // The same through a feature report: report id 0, then the packet.
    uint8_t report[33] = {};
    const sBaseCmd next = Command(kLedInternalRed, 120, 60);
    std::memcpy(report + 1, next.data, kPacketSize);
    int error = 0;
    ASSERT_TRUE(dev.SetFeature(report, sizeof report, &error));
    EXPECT_EQ(dev.Settings().led, kLedInternalRed);
    EXPECT_EQ(dev.Settings().lf, 60);
}

TEST(SimKestrel, PowerOffStopsSamplesAndLedOffGivesAFlatDarkLine) {
    SimKestrel dev(Manual());
    dev.WriteCommand(Command(kLedInternalRed, 120, 120, false, false));
    dev.Advance(2.0);
    auto packets = ReadAll(dev);
    EXPECT_EQ(CountType(packets, kPacketSamples), 0);
    EXPECT_GE(CountType(packets, kPacketStatus), 10); // still talking
    EXPECT_FALSE(StatusRecoveryActive(packets.back()));

    const Measurement off = Measure(dev, kLedOff, 0, 120);
    EXPECT_LT(off.carrier, 20);
    EXPECT_LT(off.PeakToPeak(), 60);
    const Measurement on = Measure(dev, kLedInternalRed, 130, 120);
    EXPECT_GT(on.carrier, 2000);
    EXPECT_GT(on.PeakToPeak(), 1000);
}

// ---- the sensor through the device ----------------------------------------------------------------

struct LedCase {
    uint8_t led;
    const char* name;
};

class SimKestrelLed : public ::testing::TestWithParam<LedCase> {};

TEST_P(SimKestrelLed, CarrierRisesWithDriveAndSaturates) {
    SimKestrel dev(Manual(3));
    std::vector<int> levels;
    for (int drive = 250; drive >= 0; drive -= 25) {
        dev.WriteCommand(Command(GetParam().led, static_cast<uint8_t>(drive), 200));
        dev.Advance(0.2);
        HostDecoder host;
        host.Drain(dev);
        levels.push_back(StatusCarrierLevel(host.status));
    }
    for (size_t i = 1; i < levels.size(); ++i) EXPECT_GE(levels[i], levels[i - 1] - 5) << "step " << i;
    EXPECT_LT(levels.front(), 400);
    EXPECT_GE(levels.back(), 4000); // over-driven
    EXPECT_LE(levels.back(), 4095);
    // The regulator's target is reachable.
    EXPECT_TRUE(std::any_of(levels.begin(), levels.end(), [](int l) { return l >= 2600 && l <= 3800; }));
}

TEST_P(SimKestrelLed, PulseAmplitudeRisesWithGainAndDriveAndClipsAtTheRails) {
    SimKestrel dev(Manual(4));
    const uint8_t led = GetParam().led;
    // A drive that gives a carrier of about 2800 for this LED.
    uint8_t drive = 250;
    for (int d = 250; d >= 0; d -= 5) {
        dev.WriteCommand(Command(led, static_cast<uint8_t>(d), 200));
        drive = static_cast<uint8_t>(d);
        if (dev.CarrierLevel() >= 2800) break;
    }

    double previous = 0;
    for (uint8_t lf : {250, 215, 180, 145}) {
        const Measurement m = Measure(dev, led, drive, lf);
        EXPECT_GT(m.PeakToPeak(), previous * 1.5) << "LF code " << int(lf);
        EXPECT_LT(m.high, 4095);
        EXPECT_GT(m.low, 0);
        previous = m.PeakToPeak();
    }
    const Measurement full = Measure(dev, led, drive, 10);
    EXPECT_TRUE(full.high == 4095 && full.low == 0) << full.low << " " << full.high;

    // With the drive, up to that carrier.
    previous = 0;
    for (double share : {0.25, 0.5, 0.75, 1.0}) {
        const auto d = static_cast<uint8_t>(std::lround(255 - (255 - drive) * share));
        const Measurement m = Measure(dev, led, d, 170);
        EXPECT_GT(m.PeakToPeak(), previous * 1.3) << "drive " << int(d);
        previous = m.PeakToPeak();
    }
}

INSTANTIATE_TEST_SUITE_P(Leds, SimKestrelLed,
                         ::testing::Values(LedCase{kLedInternalRed, "InternalRed"},
                                           LedCase{kLedClipRed, "ClipRed"},
                                           LedCase{kLedClipInfrared, "ClipInfrared"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimKestrel, LedsDifferInEfficiency) {
    SimKestrel dev(Manual());
    std::vector<double> carriers;
    for (uint8_t led : {kLedInternalRed, kLedClipRed, kLedClipInfrared}) {
        dev.WriteCommand(Command(led, 200, 200));
        carriers.push_back(dev.CarrierLevel());
    }
    EXPECT_NE(carriers[0], carriers[1]);
    EXPECT_NE(carriers[1], carriers[2]);
    EXPECT_NE(carriers[0], carriers[2]);
}

TEST(SimKestrel, ClipLedsNeedTheClip) {
    SimKestrelConfig c = Manual();
    c.clipAttached = false;
    SimKestrel dev(c);
    dev.WriteCommand(Command(kLedClipRed, 100, 150));
    HostDecoder host;
    host.Drain(dev);
    EXPECT_FALSE(StatusClipPresent(host.status));
    EXPECT_LT(StatusCarrierLevel(host.status), 20);

    dev.AttachClip(true);
    host.Drain(dev); // the change is reported at once
    EXPECT_TRUE(StatusClipPresent(host.status));
    EXPECT_GT(StatusCarrierLevel(host.status), 2000);

    dev.AttachClip(false);
    host.Drain(dev);
    EXPECT_FALSE(StatusClipPresent(host.status));
    EXPECT_LT(StatusCarrierLevel(host.status), 20);
    // The internal LED does not care.
    dev.WriteCommand(Command(kLedInternalRed, 100, 150));
    EXPECT_GT(dev.CarrierLevel(), 2000);
}

TEST(SimKestrel, StartStates) {
    {
        SimKestrel dark(Manual(2, SimStart::Dark));
        dark.Advance(3.0);
        HostDecoder host;
        host.keepSamples = true;
        host.Drain(dark);
        EXPECT_LT(StatusCarrierLevel(host.status), 20);
        const auto [lo, hi] = std::minmax_element(host.samples.begin(), host.samples.end());
        EXPECT_LT(*hi - *lo, 100); // flat: noise and a little baseline drift
    }
    {
        SimKestrel saturated(Manual(2, SimStart::Saturated));
        saturated.Advance(3.0);
        HostDecoder host;
        host.keepSamples = true;
        host.Drain(saturated);
        EXPECT_GE(StatusCarrierLevel(host.status), 4000);
        const size_t atRail =
            static_cast<size_t>(std::count(host.samples.begin(), host.samples.end(), 4095.0));
        EXPECT_GT(atRail, host.samples.size() * 9 / 10);
        EXPECT_GT(host.mean, 4000); // what makes a host ask for baseline recovery
    }
}

TEST(SimKestrel, BaselineSticksAtARailUntilRecoveryRecentresIt) {
    SimKestrel dev(Manual(8));
    Measure(dev, kLedInternalRed, 130, 150); // a normal signal first
    dev.StickBaseline(-1);
    dev.Advance(5.0);
    HostDecoder host;
    host.Drain(dev);
    EXPECT_LT(host.mean, 50); // still stuck after seconds

    dev.WriteCommand(Command(kLedInternalRed, 130, 150, true));
    dev.Advance(0.6);
    host.Drain(dev);
    EXPECT_TRUE(StatusRecoveryActive(host.status));
    EXPECT_GT(host.mean, 1000);
    EXPECT_LT(host.mean, 3000);

    dev.WriteCommand(Command(kLedInternalRed, 130, 150, false));
    dev.Advance(3.0);
    host.Drain(dev);
    EXPECT_FALSE(StatusRecoveryActive(host.status));
    EXPECT_GT(host.mean, 1000);
    EXPECT_LT(host.mean, 3000);
    EXPECT_GT(host.Amplitude(), 500); // the pulse is back
}

TEST(SimKestrel, LargeCarrierStepAtHighGainPinsTheBaseline) {
    SimKestrel dev(Manual(9));
    Measure(dev, kLedInternalRed, 200, 80);
    dev.WriteCommand(Command(kLedInternalRed, 100, 80)); // much more light
    dev.Advance(4.0);
    HostDecoder host;
    host.keepSamples = true;
    host.Drain(dev);
    // The last two seconds read the bottom rail; only pulse tips may rise above it.
    ASSERT_GE(host.samples.size(), 1000u);
    const auto last = host.samples.end() - 1000;
    EXPECT_GE(std::count(last, host.samples.end(), 0.0), 900);
    EXPECT_LT(host.mean, 100);
}

// ---- queue, faults ---------------------------------------------------------------------------------

TEST(SimKestrel, FullQueueDropsTheOldest) {
    SimKestrelConfig c = Manual();
    c.queueCapacity = 16;
    SimKestrel dev(c);
    dev.Advance(10.0);
    EXPECT_EQ(dev.Pending(), 16u);
    const SimCounters counters = dev.Counters();
    EXPECT_EQ(counters.overflowDropped, counters.samplePackets + counters.statusPackets - 16);
    // What is left is the newest: the last sample packet carries the last serial.
    const auto packets = ReadAll(dev);
    int lastSerial = -1;
    for (const auto& p : packets)
        if (p.Type() == kPacketSamples) lastSerial = SampleSerial(p);
    EXPECT_EQ(lastSerial, (178 - 1) % 64);
}

struct FaultCase {
    const char* name;
    SimFaults faults;
};

class SimKestrelFault : public ::testing::TestWithParam<FaultCase> {};

// 60 s of packets (1071 sample packets) read through feature reports by a host that retries.
TEST_P(SimKestrelFault, HostSeesWhatTheSwitchPromises) {
    SimKestrelConfig config = Manual(21);
    config.queueCapacity = 4096;
    SimKestrel dev(config);
    dev.SetFaults(GetParam().faults);
    dev.Advance(60.0);
    HostDecoder host;
    int failures = 0, reads = 0;
    for (;;) {
        uint8_t buf[33] = {};
        int error = 0;
        ++reads;
        if (!dev.GetFeature(buf, sizeof buf, &error)) {
            EXPECT_EQ(error, EIO);
            ++failures;
            continue;
        }
        sBaseCmd p;
        std::memcpy(p.data, buf + 1, kPacketSize);
        if (p.Type() == kPacketNone) break;
        host.Take(p);
    }
    const SimFaults& f = GetParam().faults;
    const double n = 1071;        // sample packets produced
    const double all = n + n / 3; // with the status packets
    const double l = f.lossProbability, d = f.duplicateProbability, c = f.corruptProbability;
    const auto near = [](double value, double expected, double tolerance) {
        return std::abs(value - expected) <= tolerance;
    };
    // A corrupt packet is dropped by the host, so it shows as a gap too.
    EXPECT_TRUE(near(host.missing, n * (l + (1 - l) * c), 0.03 * n + 1)) << host.missing;
    EXPECT_TRUE(near(host.duplicates, n * (1 - l) * (1 - c) * d, 0.03 * n + 1)) << host.duplicates;
    EXPECT_TRUE(near(host.checksumErrors, all * (1 - l) * c * (1 + d), 0.03 * all + 1))
        << host.checksumErrors;
    EXPECT_TRUE(near(failures, f.getErrorProbability * reads, 0.04 * reads + 1)) << failures;
    if (l == 0 && c == 0) {
        EXPECT_EQ(host.missing, 0); // failed reads lose nothing
    }
    // Every serial is either seen or counted missing (only a loss at the very end goes unseen).
    EXPECT_LE(host.samplePackets + host.missing, n);
    EXPECT_GE(host.samplePackets + host.missing, n - 10);
    EXPECT_EQ(dev.Counters().getErrors, static_cast<uint64_t>(failures));
}

INSTANTIATE_TEST_SUITE_P(Faults, SimKestrelFault,
                         ::testing::Values(FaultCase{"None", {}}, FaultCase{"Loss10", {0.10, 0, 0, 0, 0}},
                                           FaultCase{"Duplicate10", {0, 0.10, 0, 0, 0}},
                                           FaultCase{"Corrupt10", {0, 0, 0.10, 0, 0}},
                                           FaultCase{"GetErrors30", {0, 0, 0, 0.30, 0}},
                                           FaultCase{"Mixed", {0.05, 0.05, 0.05, 0.10, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimKestrel, FailingTransfersLoseNothingAndApplyNothing) {
    SimKestrel dev(Manual());
    dev.Advance(1.0);
    const size_t pending = dev.Pending();
    SimFaults f;
    f.getAlwaysFails = true;
    f.setAlwaysFails = true;
    dev.SetFaults(f);
    uint8_t buf[33] = {};
    int error = 0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(dev.GetFeature(buf, sizeof buf, &error));
        EXPECT_EQ(error, EIO);
    }
    EXPECT_EQ(dev.Pending(), pending);
    const sBaseCmd c = Command(kLedClipRed, 100, 100);
    std::memcpy(buf + 1, c.data, kPacketSize);
    EXPECT_FALSE(dev.SetFeature(buf, sizeof buf, &error));
    EXPECT_EQ(dev.Settings().led, kLedInternalRed);

    SimFaults setOnly;
    setOnly.setErrorProbability = 1.0;
    dev.SetFaults(setOnly);
    buf[0] = 0;
    EXPECT_TRUE(dev.GetFeature(buf, sizeof buf, &error));
    std::memcpy(buf + 1, c.data, kPacketSize);
    EXPECT_FALSE(dev.SetFeature(buf, sizeof buf, &error));
    dev.SetFaults({});
    EXPECT_TRUE(dev.SetFeature(buf, sizeof buf, &error));
    EXPECT_EQ(dev.Settings().led, kLedClipRed);
}

// ---- determinism, pacing --------------------------------------------------------------------------

std::vector<sBaseCmd> Session(uint64_t seed) {
    SimKestrelConfig c = Manual(seed);
    SimKestrel dev(c);
    dev.SetFaults({0.05, 0.05, 0.05, 0, 0});
    dev.WriteCommand(Command(kLedInternalRed, 150, 120, true));
    dev.Advance(1.3);
    dev.WriteCommand(Command(kLedInternalRed, 140, 110, false));
    dev.Advance(3.7);
    return ReadAll(dev);
}

TEST(SimKestrel, SameSeedSamePacketsOtherSeedOtherPackets) {
    const auto a = Session(77), b = Session(77), other = Session(78);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, other);
}

TEST(SimKestrel, FakeClockPacesTheDevice) {
    FakeClock clock(5'000'000);
    SimKestrelConfig c;
    c.pacing = SimPacing::Clock;
    c.clock = &clock;
    SimKestrel dev(c);
    EXPECT_EQ(dev.Counters().samplePackets, 0u);
    clock.Advance(10'000'000); // 10 s at once
    EXPECT_EQ(dev.Counters().samplePackets, 178u);
    EXPECT_DOUBLE_EQ(dev.Time(), 10.0);
    // In small, uneven steps: the same count.
    for (int i = 0; i < 2000; ++i) {
        clock.Advance(i % 2 ? 3'000 : 7'000);
        dev.Pending();
    }
    EXPECT_EQ(dev.Counters().samplePackets, static_cast<uint64_t>(20.0 / kPacketSeconds));
    // Advance adds to the clock.
    dev.Advance(5.6);
    EXPECT_EQ(dev.Counters().samplePackets, 357u + 100u);
}

TEST(SimKestrel, ProcessClockPacesTheDeviceAndAClockChangeDoesNotJump) {
    FakeClock first(1'000'000'000);
    ScopedClock use(first);
    SimKestrelConfig c;
    c.pacing = SimPacing::ProcessClock;
    SimKestrel dev(c);
    first.Advance(2'800'000);
    EXPECT_EQ(dev.Counters().samplePackets, 50u);

    {
        FakeClock second(0); // far behind the first: another clock, not time running backwards
        ScopedClock swap(second);
        EXPECT_DOUBLE_EQ(dev.Time(), 2.8);
        second.Advance(560'000);
        EXPECT_EQ(dev.Counters().samplePackets, 60u);
    }
    // Back on the first clock, which has not moved: nothing lost, nothing replayed.
    EXPECT_EQ(dev.Counters().samplePackets, 60u);
    first.Advance(56'000);
    EXPECT_EQ(dev.Counters().samplePackets, 61u);
}

TEST(SimKestrel, FractionsOfASampleAccumulate) {
    SimKestrel dev(Manual());
    for (int i = 0; i < 1000; ++i) dev.Advance(0.0007);
    EXPECT_NEAR(dev.Time(), 0.7, 1e-9);
    EXPECT_EQ(dev.Counters().samplePackets, 12u); // 350 samples
}

// ---- plugging, truth ------------------------------------------------------------------------------

TEST(SimKestrel, UnplugFailsTransfersAndReplugBootsAfresh) {
    SimKestrel dev(Manual(6));
    dev.WriteCommand(Command(kLedClipInfrared, 150, 100));
    dev.Advance(1.0);
    const uint64_t generation = dev.Generation();
    dev.Unplug();
    uint8_t buf[33] = {};
    int error = 0;
    EXPECT_FALSE(dev.GetFeature(buf, sizeof buf, &error));
    EXPECT_EQ(error, ENODEV);
    EXPECT_FALSE(dev.SetFeature(buf, sizeof buf, &error));
    EXPECT_FALSE(dev.WriteCommand(Command(kLedInternalRed, 1, 1)));
    const uint64_t before = dev.Counters().samplePackets;
    dev.Advance(2.0); // time passes for the finger, not for the device
    EXPECT_EQ(dev.Counters().samplePackets, before);
    EXPECT_DOUBLE_EQ(dev.Time(), 3.0);

    dev.Plug();
    EXPECT_NE(dev.Generation(), generation);
    EXPECT_FALSE(dev.GetFeature(generation, buf, sizeof buf, &error)); // a handle of the old plug-in
    EXPECT_EQ(error, ENODEV);
    EXPECT_EQ(dev.Settings().led, kLedInternalRed); // start settings
    EXPECT_EQ(dev.Settings().drive, 255);
    dev.Advance(0.2);
    const auto packets = ReadAll(dev);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.front().Type(), kPacketStatus);
    int serial = 0;
    for (const auto& p : packets) {
        if (p.Type() != kPacketSamples) continue;
        EXPECT_EQ(SampleSerial(p), serial);
        ++serial;
    }
    EXPECT_EQ(serial, 3);
    // The heart went on beating while the device was away.
    const auto beats = dev.TrueBeats(1.0, 3.0);
    EXPECT_GE(beats.size(), 2u);
}

TEST(SimKestrel, TrueRateFollowsTheSetting) {
    SimKestrel dev(Manual(12));
    dev.SetMeanRate(110);
    dev.Advance(40);
    const auto beats = dev.TrueBeats(10, 40);
    double sum = 0;
    for (const auto& b : beats) sum += b.rate;
    EXPECT_NEAR(sum / static_cast<double>(beats.size()), 110, 5);
    EXPECT_GT(dev.TrueRateAt(39.9), 80);
    EXPECT_NEAR(dev.DrivingRate(), 110, 15);
}

// ---- closed loop ----------------------------------------------------------------------------------

struct LoopCase {
    const char* name;
    uint8_t led;
    SimStart start;
    bool configureOnConnect; // a host that starts with drive 250, LF 50 and recovery on
};

class SimKestrelClosedLoop : public ::testing::TestWithParam<LoopCase> {};

// A stand-in for the program's regulator gets carrier and amplitude into range within 20 s.
TEST_P(SimKestrelClosedLoop, RegulationReachesTheTargetsWithin20Seconds) {
    for (uint64_t seed : {1u, 2u, 3u}) {
        SimKestrel dev(Manual(seed, GetParam().start));
        HostDecoder host;
        simtest::StandInRegulator regulator;
        if (GetParam().configureOnConnect) {
            regulator.Connect(dev, GetParam().led);
        } else {
            regulator.command = Command(GetParam().led, dev.Settings().drive, dev.Settings().lf, false);
            dev.WriteCommand(regulator.command);
        }
        double reached = -1;
        for (int tick = 1; tick <= 1000 && reached < 0; ++tick) { // 20 ms ticks
            dev.Advance(0.02);
            host.Drain(dev);
            if (tick % 15 != 0) continue; // every 300 ms
            regulator.Step(dev, host, 100000u + static_cast<uint32_t>(tick) * 20u);
            const int carrier = StatusCarrierLevel(host.status);
            const int amplitude = host.Amplitude();
            if (carrier >= 2000 && carrier <= 3800 && amplitude >= 2000 && amplitude <= 3600 &&
                !StatusRecoveryActive(host.status))
                reached = tick * 0.02;
        }
        EXPECT_GT(reached, 0) << "seed " << seed << ": carrier " << StatusCarrierLevel(host.status)
                              << ", amplitude " << host.Amplitude();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Starts, SimKestrelClosedLoop,
    ::testing::Values(LoopCase{"InternalDark", kLedInternalRed, SimStart::Dark, true},
                      LoopCase{"InternalDarkAsFound", kLedInternalRed, SimStart::Dark, false},
                      LoopCase{"InternalSaturated", kLedInternalRed, SimStart::Saturated, true},
                      LoopCase{"InternalSaturatedAsFound", kLedInternalRed, SimStart::Saturated, false},
                      LoopCase{"ClipRedDark", kLedClipRed, SimStart::Dark, true},
                      LoopCase{"ClipRedSaturatedAsFound", kLedClipRed, SimStart::Saturated, false},
                      LoopCase{"ClipInfraredDark", kLedClipInfrared, SimStart::Dark, true},
                      LoopCase{"ClipInfraredSaturatedAsFound", kLedClipInfrared, SimStart::Saturated, false}),
    [](const auto& info) { return std::string(info.param.name); });
