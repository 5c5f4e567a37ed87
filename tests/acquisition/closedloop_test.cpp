// The regulator and the live heart rate against the simulated device, on simulated time: the
// device task reads the simulator's queue, commands reach it at once, the fake clock moves 1 ms
// per main-loop tick.

#include "tests/acquisition/AcqTestUtil.h"

#include <algorithm>
#include <cmath>
#include <vector>

using namespace acqtest;

namespace {

struct LoopCase {
    const char* name;
    uint8_t led;
    SimStart start;
    bool configure; // the connect routine ran; else the device is regulated as it was found
};

// Data-clock times at which the device reported baseline recovery switching on and off.
class RecoveryLog final : public MEventCallback {
public:
    std::vector<std::pair<double, double>> spans; // on, off (off = +inf while on)
    RecoveryLog() { GetEventManager(true)->Subscribe(this, kEventStatus, 0); }
    int OnEvent(int, int, void* data, int) override {
        const bool on = StatusRecoveryActive(*static_cast<const sBaseCmd*>(data));
        const double t = GetAcquisition()->DeviceTask().DeviceTime();
        if (on && (spans.empty() || !std::isinf(spans.back().second))) spans.push_back({t, INFINITY});
        if (!on && !spans.empty() && std::isinf(spans.back().second)) spans.back().second = t;
        return 0;
    }
    // Beat detection pauses while recovery is on and needs two beats to pick up the rhythm again.
    bool Near(double t) const {
        for (const auto& s : spans)
            if (t > s.first - 0.3 && t < s.second + 2.5) return true;
        return false;
    }
};

class ClosedLoop : public AcqFixture, public ::testing::WithParamInterface<LoopCase> {
protected:
    // Data clock -> simulated time: finds the packet that carried a decoded block.
    static double SimTimeOffset(SimKestrel& device, const Probe::Blob& block) {
        for (const SimTracePacket& p : device.Trace()) {
            bool same = true;
            for (int k = 0; k < kSamplesPerPacket && same; ++k)
                same = std::lround(block.values[static_cast<size_t>(k)] * 4095) ==
                       p.sent[static_cast<size_t>(k)];
            if (same) return p.time - block.times[0];
        }
        return NAN;
    }
};

TEST_P(ClosedLoop, SettlesWithin20SecondsAndTracksTheHeartRate) {
    const LoopCase& c = GetParam();
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ResetProcessState();
        SimKestrelConfig config;
        config.seed = seed;
        config.start = c.start;
        SimKestrel device(config); // paced by the fake clock
        device.EnableTrace(2000);
        SimLink link(device);
        Start(&link);
        A().Regulator().SetRandomSeed(seed);
        GetSettings()->Item(MVariant("ActiveLed")).Value() = MVariant(static_cast<int32_t>(c.led));
        if (c.configure) {
            ConfigureOnConnect();
        } else {
            GetCommandBuffer().Configure(c.led);
            GetCommandBuffer().SetDrive(device.Settings().drive);
            GetCommandBuffer().SetLf(device.Settings().lf);
            GetCommandBuffer().SetRecovery(false);
            A().SendCommand();
        }
        Probe probe({kEventRawBlob, kEventHeartBeat});
        RecoveryLog recovery;

        // Regulation: carrier 2000...3800, amplitude 2000...3600, settled.
        const double t0 = Seconds();
        double settledAt = -1;
        while (settledAt < 0 && Seconds() - t0 < 20) {
            Run(100);
            const sBaseCmd& s = GetSavedStatus().Packet();
            const int carrier = StatusCarrierLevel(s);
            const sSignalStats& st = A().DeviceTask().Stats();
            const int amplitude = static_cast<int>(st.upper - st.lower);
            if (StatusActiveLed(s) == c.led && carrier >= 2000 && carrier <= 3800 && amplitude >= 2000 &&
                amplitude <= 3600 && RegulatorSettled())
                settledAt = Seconds() - t0;
        }
        ASSERT_GT(settledAt, 0) << "carrier " << StatusCarrierLevel(GetSavedStatus().Packet()) << ", drive "
                                << int(GetCommandBuffer().Drive()) << ", LF " << int(GetCommandBuffer().Lf());
        EXPECT_EQ(device.Settings().led, c.led);

        // Heart rate: give the detector 10 s, then compare 40 s of beats with the simulator's.
        Run(10'000);
        const size_t firstBeat = probe.beats.size();
        Run(40'000);
        const auto raw = probe.Of(kEventRawBlob);
        ASSERT_FALSE(raw.empty());
        const double offset = SimTimeOffset(device, *raw[raw.size() - 10]);
        ASSERT_FALSE(std::isnan(offset));
        const std::vector<SimBeat> truth = device.TrueBeats(0, device.Time());
        // The true rate in the detector's own terms: 60 / period, the period smoothed as
        // 0.1 x the previous one + 0.9 x the last interval.
        std::vector<double> trueRate(truth.size());
        double smoothed = 0;
        for (size_t k = 0; k < truth.size(); ++k) {
            smoothed = k == 0 ? truth[k].interval : 0.1 * smoothed + 0.9 * truth[k].interval;
            trueRate[k] = 60.0 / smoothed;
        }

        // Each detection falls on a true beat's upstroke (within 0.25 s of its foot) or is extra.
        std::vector<double> errors; // rate measured at consecutive upstrokes against the true interval
        std::vector<int> detected(truth.size(), 0);
        int extra = 0, previous = -10;
        double measuredSum = 0, trueSum = 0;
        for (size_t i = firstBeat; i < probe.beats.size(); ++i) {
            const double ts = probe.beats[i].time + offset;
            int j = -1;
            for (size_t k = 0; k < truth.size(); ++k)
                if (truth[k].onset - 0.05 <= ts && ts <= truth[k].onset + 0.25) j = static_cast<int>(k);
            if (j < 0) {
                if (!recovery.Near(probe.beats[i].time)) ++extra;
                previous = -10;
                continue;
            }
            detected[static_cast<size_t>(j)] = 1;
            if (previous == j - 1) {
                const double rate = trueRate[static_cast<size_t>(j - 1)];
                errors.push_back(std::fabs(probe.beats[i].hr - rate));
                measuredSum += probe.beats[i].hr;
                trueSum += rate;
            }
            previous = j;
        }
        const int beats = static_cast<int>(probe.beats.size() - firstBeat);
        ASSERT_GT(errors.size(), 30u);
        std::sort(errors.begin(), errors.end());
        const double n = static_cast<double>(errors.size());
        // The rate follows the true rate beat by beat, within 2 bpm every time.
        EXPECT_LE(errors.back(), 2.0) << "median " << errors[errors.size() / 2];
        EXPECT_NEAR(measuredSum / n, trueSum / n, 0.5);
        // Every beat of the window is found, and nothing else.
        int missed = 0;
        for (size_t k = 0; k < truth.size(); ++k) {
            const double t = truth[k].onset - offset;
            if (t > probe.beats[firstBeat].time + 0.5 && t < probe.beats.back().time - 0.5 && !detected[k] &&
                !recovery.Near(t))
                ++missed;
        }
        EXPECT_EQ(missed, 0);
        EXPECT_EQ(extra, 0) << "of " << beats;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Starts, ClosedLoop,
    ::testing::Values(LoopCase{"InternalDark", kLedInternalRed, SimStart::Dark, true},
                      LoopCase{"InternalSaturated", kLedInternalRed, SimStart::Saturated, true},
                      LoopCase{"InternalDarkAsFound", kLedInternalRed, SimStart::Dark, false},
                      LoopCase{"InternalSaturatedAsFound", kLedInternalRed, SimStart::Saturated, false},
                      LoopCase{"ClipRedDark", kLedClipRed, SimStart::Dark, true},
                      LoopCase{"ClipRedSaturated", kLedClipRed, SimStart::Saturated, true},
                      LoopCase{"ClipRedSaturatedAsFound", kLedClipRed, SimStart::Saturated, false},
                      LoopCase{"ClipInfraredDark", kLedClipInfrared, SimStart::Dark, true},
                      LoopCase{"ClipInfraredSaturated", kLedClipInfrared, SimStart::Saturated, true},
                      LoopCase{"ClipInfraredSaturatedAsFound", kLedClipInfrared, SimStart::Saturated, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
