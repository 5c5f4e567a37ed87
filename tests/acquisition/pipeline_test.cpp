// The device task, the filter listener, the live heart rate, the blob pool and the recorder,
// driven with hand-made packets and events on the fake clock.

#include "tests/acquisition/AcqTestUtil.h"

#include <cmath>

using namespace acqtest;

namespace {

class Pipeline : public AcqFixture {
protected:
    Pipeline() { Start(&m_link); }

    // Decodes a packet now and delivers the events it raised.
    void Feed(const sBaseCmd& p) {
        A().DeviceTask().Decode(p);
        Deliver();
    }
    // Sample packets with consecutive serials, one every 56 ms of clock.
    void Stream(int count, uint16_t value = 2000) {
        for (int i = 0; i < count; ++i) {
            m_clock.AdvanceMs(56);
            Feed(FlatPacket(static_cast<uint8_t>(m_serial++ % 64), value));
        }
    }
    // A blob with n samples, raised as event id.
    sSampleBlob* RaiseBlob(int id, int n, double t0, double value = 0.5) {
        sSampleBlob* b = AcquireBlob();
        EXPECT_TRUE(b && b->Resize(n));
        for (int i = 0; i < n; ++i) {
            b->times[static_cast<size_t>(i)] = t0 + 0.002 * i;
            b->values[static_cast<size_t>(i)] = value;
        }
        GetEventManager(true)->Raise(id, b, 0);
        return b;
    }

    QueueLink m_link;
    int m_serial = 1;
};

// ---- decoding and time stamps -------------------------------------------------------------------------

TEST_F(Pipeline, BlocksAreStampedTwoMillisecondsApartFromStartUp) {
    Probe probe({kEventRawBlob});
    Stream(3, 1234);
    const auto blocks = probe.Of(kEventRawBlob);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_NEAR(blocks[0]->times[0], 0.002, 1e-12);
    double t = 0;
    for (const auto* b : blocks) {
        ASSERT_EQ(b->times.size(), 28u);
        for (size_t k = 0; k < 28; ++k) {
            t += 0.002;
            EXPECT_NEAR(b->times[k], t, 1e-9);
            EXPECT_DOUBLE_EQ(b->values[k], 1234 / 4095.0);
        }
    }
}

TEST_F(Pipeline, AfterTenSecondsOfSilenceTheTimeAxisContinues) {
    Probe probe({kEventRawBlob});
    Stream(2);
    m_clock.AdvanceMs(10'000);
    Stream(1);
    const auto blocks = probe.Of(kEventRawBlob);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_NEAR(blocks[2]->times[0], blocks[1]->times[27] + 0.002, 1e-9);
    EXPECT_NEAR(A().DeviceTask().ClockOffset() + A().DeviceTask().DeviceTime(), Seconds(), 0.06);
}

TEST_F(Pipeline, ALagIsPulledInByOneMillisecondPerBlock) {
    Probe probe({kEventRawBlob});
    Stream(1);
    m_clock.AdvanceMs(500); // the data clock now lags the computer clock by 0.5 s
    Stream(450);
    const auto blocks = probe.Of(kEventRawBlob);
    int pulled = 0, plain = 0;
    for (size_t i = 1; i < blocks.size(); ++i) {
        const double step = blocks[i]->times[0] - blocks[i - 1]->times[27];
        if (std::fabs(step - 0.003) < 1e-9) {
            ++pulled;
            EXPECT_EQ(plain, 0) << "block " << i; // pulled blocks come first, then none
        } else {
            EXPECT_NEAR(step, 0.002, 1e-9) << "block " << i;
            ++plain;
        }
    }
    EXPECT_NEAR(pulled, 400, 1); // down to 0.1 s: 17.9 ms per second of data
    // What is left: 0.1 s, measured before a block arrives (the last block's 56 ms are stamped).
    const double lag = Seconds() - A().DeviceTask().ClockOffset() - A().DeviceTask().DeviceTime();
    EXPECT_NEAR(lag + 0.056, 0.1, 0.002);
}

TEST_F(Pipeline, LostPacketsBecomeFlatBlocksOnAContinuousAxis) {
    Probe probe({kEventRawBlob});
    A().DeviceTask().SetResync(); // take serial 10 as it comes
    Feed(FlatPacket(10, 100));
    int8_t diffs[27];
    for (auto& d : diffs) d = 1;
    m_clock.AdvanceMs(2 * 56);
    Feed(MakeSamplePacket(13, 0, 500, diffs)); // 11 and 12 lost
    const auto blocks = probe.Of(kEventRawBlob);
    ASSERT_EQ(blocks.size(), 4u);
    for (size_t i = 1; i < 4; ++i) EXPECT_NEAR(blocks[i]->times[0], blocks[i - 1]->times[27] + 0.002, 1e-9);
    for (int i : {1, 2})
        for (double v : blocks[static_cast<size_t>(i)]->values) EXPECT_DOUBLE_EQ(v, 500 / 4095.0);
    EXPECT_DOUBLE_EQ(blocks[3]->values[27], 527 / 4095.0);

    // The raw queue holds every value of every block, fillers included.
    cRawAdcQueue& raw = A().RawQueue();
    ASSERT_EQ(raw.Count(), 4 * 28);
    std::vector<unsigned short> v(4 * 28);
    raw.Get(v.data(), 4 * 28);
    EXPECT_EQ(v[0], 100);
    EXPECT_EQ(v[28], 500);
    EXPECT_EQ(v[83], 500);
    EXPECT_EQ(v[84], 500);
    EXPECT_EQ(v[111], 527);
}

TEST_F(Pipeline, TheRawQueueKeeps4096ValuesAndDropsTheRest) {
    EXPECT_EQ(A().RawQueue().MaxSize(), 8192);
    for (int i = 0; i < 147; ++i)
        Feed(FlatPacket(static_cast<uint8_t>((i + 1) % 64), static_cast<uint16_t>(i)));
    cRawAdcQueue& raw = A().RawQueue();
    ASSERT_EQ(raw.Count(), 4096);
    // 146 whole blocks, then the first 8 values of the 147th.
    EXPECT_EQ(raw.Data()[146 * 28 - 1], 145);
    EXPECT_EQ(raw.Data()[4095], 146);
    // Once the automation side has taken some, new values fit again.
    raw.Get(nullptr, 28);
    Feed(FlatPacket(static_cast<uint8_t>(148 % 64), 999));
    EXPECT_EQ(raw.Count(), 4096);
    EXPECT_EQ(raw.Data()[4095], 999);
}

TEST_F(Pipeline, SignalStatistics) {
    const sSignalStats& st = A().DeviceTask().Stats();
    // The first sample of a block does not count.
    int8_t drop[27] = {};
    drop[0] = -128;
    Feed(MakeSamplePacket(1, 0, 4000, drop)); // 4000, then 27 x 3872
    EXPECT_FLOAT_EQ(st.upper, 3872);
    EXPECT_NEAR(st.lower, 27 * 0.3f, 1e-4); // troughs are followed at once, rises only 0.3 a sample
    // Flat 1000: the mean moves 27 steps of 1 %, the envelopes meet the value.
    A().DeviceTask().Stats() = sSignalStats{0, 0, 4095};
    Feed(FlatPacket(2, 1000));
    float mean = 0;
    for (int k = 0; k < 27; ++k) mean = 0.99f * mean + 0.01f * 1000.0f;
    EXPECT_FLOAT_EQ(st.mean, mean);
    EXPECT_FLOAT_EQ(st.upper, 1000);
    EXPECT_FLOAT_EQ(st.lower, 1000);
    // A running value that went negative wraps above 4095: no signal, nothing moves.
    const sSignalStats before = st;
    int8_t down[27] = {};
    down[0] = -20;
    Feed(MakeSamplePacket(3, 0, 10, down)); // 10, then 27 x -10
    EXPECT_EQ(st.mean, before.mean);
    EXPECT_EQ(st.upper, before.upper);
    EXPECT_EQ(st.lower, before.lower);
    // Peaks and troughs are followed at once; between them the envelopes decay by 0.3 a sample.
    int8_t wave[27] = {};
    wave[0] = 100;
    wave[1] = -100;
    Feed(MakeSamplePacket(4, 0, 1000, wave)); // 1000, 1100, then 26 x 1000
    EXPECT_NEAR(st.upper, 1100 - 0.3f * 26, 0.01);
    EXPECT_FLOAT_EQ(st.lower, 1000);
}

TEST_F(Pipeline, StatusPacketsAndTheConnection) {
    Probe probe({kEventLedChanged, kEventStatus});
    Feed(StatusPacket(kLedInternalRed, 200, 100, 3000));
    Feed(StatusPacket(kLedClipRed, 200, 100, 3000));
    Feed(StatusPacket(kLedClipRed, 200, 100, 3100));
    EXPECT_EQ(probe.ledChanges, (std::vector<std::pair<int, int>>{{kLedNeverReported, 1}, {1, 2}}));
    EXPECT_EQ(probe.statusEvents, 3);
    EXPECT_EQ(StatusCarrierLevel(GetSavedStatus().Packet()), 3100);

    // Without a device the task only prepares a fresh serial sequence.
    m_link.connected = false;
    m_link.incoming.push_back(FlatPacket(5, 1));
    A().DeviceTask().Run();
    EXPECT_TRUE(A().DeviceTask().Serial().ResyncPending());
    EXPECT_EQ(m_link.incoming.size(), 1u);
    m_link.connected = true;
    A().DeviceTask().Run();
    EXPECT_TRUE(m_link.incoming.empty());
    EXPECT_FALSE(A().DeviceTask().Serial().ResyncPending());
    EXPECT_EQ(A().DeviceTask().Serial().LastSerial(), 5);
}

// ---- filter -------------------------------------------------------------------------------------------

TEST_F(Pipeline, FilteredSamplesGoOutInBlobsOfAtLeast30) {
    Probe probe({kEventRawBlob, kEventFilteredBlob});
    int outputs = 0;
    for (int i = 0; i < 60; ++i) {
        Stream(1, static_cast<uint16_t>(2000 + 500 * std::sin(i * 0.3)));
        const int held = A().FilterPoints().Filter().OutputCount();
        EXPECT_LT(held, cbFilterPoints::kMinBlob) << i; // 30 or more are always passed on
        const auto filtered = probe.Of(kEventFilteredBlob);
        if (static_cast<int>(filtered.size()) > outputs) {
            EXPECT_EQ(held, 0);
            for (size_t k = static_cast<size_t>(outputs); k < filtered.size(); ++k)
                EXPECT_GE(filtered[k]->times.size(), 30u);
            outputs = static_cast<int>(filtered.size());
        }
    }
    ASSERT_GT(outputs, 0);
    // The filtered samples keep the raw time stamps, in order, without a gap.
    const auto raw = probe.Of(kEventRawBlob);
    const auto filtered = probe.Of(kEventFilteredBlob);
    std::vector<double> rawTimes, outTimes;
    for (const auto* b : raw) rawTimes.insert(rawTimes.end(), b->times.begin(), b->times.end());
    for (const auto* b : filtered) outTimes.insert(outTimes.end(), b->times.begin(), b->times.end());
    ASSERT_LE(outTimes.size(), rawTimes.size());
    for (size_t i = 0; i < outTimes.size(); ++i) ASSERT_DOUBLE_EQ(outTimes[i], rawTimes[i]);
}

TEST_F(Pipeline, ALevelSignalPassesTheFilterUnchanged) {
    Probe probe({kEventFilteredBlob});
    Stream(40, 3000);
    const auto filtered = probe.Of(kEventFilteredBlob);
    ASSERT_FALSE(filtered.empty());
    for (const auto* b : filtered)
        for (double v : b->values) EXPECT_NEAR(v, 3000 / 4095.0, 1e-9);
}

// ---- live heart rate ----------------------------------------------------------------------------------

TEST_F(Pipeline, OneBeatIsPassedOnPerBlob) {
    Probe probe({kEventHeartBeat});
    EXPECT_EQ(GetDisplayedHeartRate(), 0); // before the first beat
    RingedQueueT<sHrMeasure>& results = A().CalcHb().Calculator().Results();
    results.Push({70, 1.0, 0.1, 0.9});
    results.Push({71, 1.8, 0.1, 0.9}); // two beats found in one blob
    RaiseBlob(kEventFilteredBlob, 40, 2.0);
    Deliver();
    ASSERT_EQ(probe.beats.size(), 1u);
    EXPECT_EQ(probe.beats[0].time, 1.0);
    EXPECT_EQ(GetDisplayedHeartRate(), static_cast<float>(A().CalcHb().Calculator().Hr()));
    RaiseBlob(kEventFilteredBlob, 40, 2.08);
    Deliver();
    ASSERT_EQ(probe.beats.size(), 2u);
    EXPECT_EQ(probe.beats[1].time, 1.8);
    RaiseBlob(kEventFilteredBlob, 40, 2.16);
    Deliver();
    EXPECT_EQ(probe.beats.size(), 2u);
}

TEST_F(Pipeline, NoBeatDetectionDuringBaselineRecovery) {
    Probe probe({kEventHeartBeat});
    GetSavedStatus().Packet() = StatusPacket(kLedInternalRed, 150, 100, 3000, true);
    A().CalcHb().Calculator().Results().Push({70, 1.0, 0.1, 0.9});
    RaiseBlob(kEventFilteredBlob, 40, 2.0);
    Deliver();
    EXPECT_TRUE(probe.beats.empty());
    EXPECT_EQ(A().CalcHb().Calculator().LastBeatTime(), 0); // the detector did not even start
    GetSavedStatus().Packet() = StatusPacket(kLedInternalRed, 150, 100, 3000, false);
    RaiseBlob(kEventFilteredBlob, 40, 2.08);
    Deliver();
    EXPECT_EQ(probe.beats.size(), 1u);
    EXPECT_GT(A().CalcHb().Calculator().LastBeatTime(), 0);
}

TEST_F(Pipeline, APassedBeatStaysReadableWhileTheDetectorGoesOn) {
    struct Keep final : MEventCallback {
        const sHrMeasure* first = nullptr;
        Keep() { GetEventManager(true)->Subscribe(this, kEventHeartBeat, 50); }
        int OnEvent(int, int, void* data, int) override {
            if (!first) first = static_cast<const sHrMeasure*>(data);
            return 0;
        }
    } keep;
    RingedQueueT<sHrMeasure>& results = A().CalcHb().Calculator().Results();
    results.Push({64, 1.0, 0.2, 0.8});
    RaiseBlob(kEventFilteredBlob, 40, 2.0);
    Deliver();
    ASSERT_NE(keep.first, nullptr);
    // The detector's queue overflows and starts again at its first slot; the beat passed on stays.
    for (int i = 0; i < 40; ++i) results.Push({99, 5.0 + i, 0, 1});
    for (int i = 0; i < 20; ++i) {
        RaiseBlob(kEventFilteredBlob, 40, 3.0 + i);
        Deliver();
    }
    EXPECT_EQ(keep.first->hr, 64);
    EXPECT_EQ(keep.first->time, 1.0);
}

// ---- blob pool ----------------------------------------------------------------------------------------

TEST_F(Pipeline, ThePoolHandsOutFreeBlobsFirst) {
    cSampleBlobManager& pool = *GetBlobManager(true);
    ASSERT_EQ(pool.Count(), 0);
    sSampleBlob* a = AcquireBlob();
    sSampleBlob* b = AcquireBlob(); // a is in use: a new one
    ASSERT_NE(a, b);
    EXPECT_TRUE(a->inUse && b->inUse);
    EXPECT_EQ(pool.Count(), 2);
    GetEventManager(true)->Raise(kEventRecordedBlob, a, 0); // only the release listener
    Deliver();
    EXPECT_FALSE(a->inUse);
    EXPECT_EQ(AcquireBlob(), a);
    pool.ReleaseBlob(a);
    pool.ReleaseBlob(b);
    EXPECT_EQ(pool.CountInUse(), 0);
}

TEST_F(Pipeline, ThePoolFreesAtMostOneIdleBlobPerSecond) {
    cSampleBlobManager& pool = *GetBlobManager(true);
    std::vector<sSampleBlob*> blobs;
    for (int i = 0; i < 6; ++i) blobs.push_back(AcquireBlob());
    sSampleBlob* stuck = blobs[0]; // its event never comes back
    for (size_t i = 1; i < blobs.size(); ++i) pool.ReleaseBlob(blobs[i]);
    const int all = pool.Count();
    Run(59'500);
    EXPECT_EQ(pool.Count(), all);
    Run(1'500); // past a minute: one per run of the pool task
    const int first = pool.Count();
    EXPECT_GE(first, all - 2);
    EXPECT_LT(first, all);
    Run(2'000);
    EXPECT_EQ(pool.Count(), first - 2);
    Run(10'000);
    EXPECT_EQ(pool.Count(), 1); // a blob still in use is never freed
    EXPECT_TRUE(stuck->inUse);
    pool.ReleaseBlob(stuck);
}

// ---- recorder -----------------------------------------------------------------------------------------

TEST_F(Pipeline, NothingIsRecordedWhileNotRecording) {
    TempDir dir;
    ASSERT_TRUE(GetPGFiles()->Create(MString(dir.File("a.pwv").c_str())));
    Probe probe({kEventRecordedBlob});
    for (int state : {kRecordingStopped, kRecordingPaused}) {
        GetRecordingState().state = state;
        RaiseBlob(kEventFilteredBlob, 50, 10.0);
        sHrMeasure beat{70, 10.05, 0, 1};
        GetEventManager(true)->Raise(kEventHeartBeat, &beat, 0);
        GetEventManager(true)->Raise(kEventLedChanged, reinterpret_cast<void*>(uintptr_t{1}), 2);
        Deliver();
    }
    EXPECT_TRUE(probe.blobs.empty());
    EXPECT_EQ(A().Recorder().HrOffset(), 0);
    EXPECT_EQ(GetPGFiles()->CurrentTime(), 0);
    EXPECT_EQ(GetRecordingState().clock, 0);
    GetPGFiles()->Close();
    EXPECT_TRUE(ReadChunks(dir.File("a.pwv")).count(PGFiles::kSamplesId) == 0);
}

TEST_F(Pipeline, RecordingWritesSamplesBeatsAndDeviceStates) {
    TempDir dir;
    const std::string path = dir.File("rec.pwv");
    ASSERT_TRUE(GetPGFiles()->Create(MString(path.c_str())));
    GetRecordingState() = {kRecordingActive, 0};
    GetSavedStatus().Packet() = StatusPacket(kLedClipRed, 140, 90, 3000);
    Probe probe({kEventRecordedBlob});

    // Samples: written, and passed on on the recording clock.
    for (int i = 0; i < 4; ++i) RaiseBlob(kEventFilteredBlob, 50, 500.0 + 0.1 * i, 0.25 * i);
    Deliver();
    const auto recorded = probe.Of(kEventRecordedBlob);
    ASSERT_EQ(recorded.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        for (size_t k = 0; k < 50; ++k) {
            EXPECT_NEAR(recorded[i]->times[k], 0.002 * static_cast<double>(50 * i + k), 1e-9);
            EXPECT_EQ(recorded[i]->values[k], 0.25 * static_cast<double>(i));
        }
    EXPECT_NEAR(GetRecordingState().clock, 0.4, 1e-9);
    EXPECT_NEAR(GetPGFiles()->CurrentTime(), 0.4, 1e-9);

    // Beats: the first one anchors the data clock to the record time; the spacing is then kept,
    // until a beat drifts more than 5 s away.
    sHrMeasure beats[3] = {{70, 500.3, 0, 1}, {71, 501.1, 0, 1}, {72, 520.0, 0, 1}};
    for (auto& b : beats) {
        GetEventManager(true)->Raise(kEventHeartBeat, &b, 0);
        Deliver();
    }
    EXPECT_NEAR(A().Recorder().HrOffset(), 0.4 - 520.0, 1e-9);

    // Device state: on an LED change and every 3 s (which also saves the maps).
    GetEventManager(true)->Raise(kEventLedChanged, reinterpret_cast<void*>(uintptr_t{1}), 2);
    Deliver();
    EXPECT_EQ(GetSettings()->Find(MVariant("LedIntApproxMap")), nullptr);
    Run(3'100);
    EXPECT_NE(GetSettings()->Find(MVariant("LedIntApproxMap")), nullptr);
    GetPGFiles()->Close();

    auto chunks = ReadChunks(path);
    EXPECT_EQ(chunks[PGFiles::kSamplesId].size(), 4u);
    ASSERT_EQ(chunks[PGFiles::kHeartRateId].size(), 3u);
    const uint32_t ms[3] = {400, 1200, 400};
    for (int i = 0; i < 3; ++i) {
        const auto& p = chunks[PGFiles::kHeartRateId][static_cast<size_t>(i)];
        EXPECT_NEAR(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24, static_cast<int>(ms[i]), 1) << i;
    }
    // The LED change, the task's first run right after start-up and its run 3 s later.
    ASSERT_EQ(chunks[PGFiles::kRegulatorId].size(), 3u);
    for (const auto& p : chunks[PGFiles::kRegulatorId]) {
        EXPECT_EQ(p[4], kLedClipRed);
        EXPECT_EQ(p[5], 90);  // LF code
        EXPECT_EQ(p[6], 140); // drive code
    }
}

TEST_F(Pipeline, ARecordNeverStoresTheForcedLedPlaceholder) {
    // A new recording forces an LED change; a 3 s run before the next status packet has no
    // device state to write, and the status packet's change then writes the real one.
    TempDir dir;
    const std::string path = dir.File("rec.pwv");
    ASSERT_TRUE(GetPGFiles()->Create(MString(path.c_str())));
    GetRecordingState() = {kRecordingActive, 0};
    GetSavedStatus().Packet() = StatusPacket(kLedClipInfrared, 120, 80, 3000);
    GetSavedStatus().ForceLedChange();
    Run(3'100);
    GetSavedStatus().UpdateAndRaise(StatusPacket(kLedClipInfrared, 120, 80, 3000), *GetEventManager(true));
    Deliver();
    GetPGFiles()->Close();

    auto chunks = ReadChunks(path);
    ASSERT_EQ(chunks[PGFiles::kRegulatorId].size(), 1u);
    EXPECT_EQ(chunks[PGFiles::kRegulatorId][0][4], kLedClipInfrared);
}

// ---- module -------------------------------------------------------------------------------------------

TEST_F(Pipeline, ListenersRunInTheirOrder) {
    MEventManager& em = *GetEventManager(true);
    auto ids = [&](int id) {
        std::vector<int> priorities;
        for (const auto& e : em.FindContainer(id)->entries) priorities.push_back(e.priority);
        return priorities;
    };
    EXPECT_EQ(ids(kEventLedChanged), (std::vector<int>{2}));
    EXPECT_EQ(ids(kEventStatus), (std::vector<int>{10}));
    EXPECT_EQ(ids(kEventRawBlob), (std::vector<int>{1, 10000}));
    EXPECT_EQ(ids(kEventFilteredBlob), (std::vector<int>{1, 2, 10000}));
    EXPECT_EQ(ids(kEventRecordedBlob), (std::vector<int>{10000}));
    EXPECT_EQ(ids(kEventHeartBeat), (std::vector<int>{2}));
    EXPECT_EQ(em.FindContainer(kEventFilteredBlob)->entries[0].callback, &A().CalcHb());

    // Stopping takes every listener and task out; starting again builds them anew.
    StopAcquisition();
    for (int id = 0; id <= 5; ++id) EXPECT_EQ(em.FindContainer(id)->Count(), 0) << id;
    Start(&m_link);
    EXPECT_EQ(ids(kEventFilteredBlob), (std::vector<int>{1, 2, 10000}));
}

TEST_F(Pipeline, ConfigureOnConnect) {
    struct Case {
        const char* what;
        int stored; // 0: no setting
        uint8_t led;
    };
    const Case cases[] = {
        {"no setting", 0, 1}, {"clip infrared", 3, 3}, {"clip red", 2, 2}, {"unknown", 7, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ShutdownSettings();
        if (c.stored)
            GetSettings()->Item(MVariant("ActiveLed")).Value() = MVariant(static_cast<int32_t>(c.stored));
        GetSettings()->Item(MVariant("LedClipIrApproxMap")).Item(MVariant("ResLf")).Value() =
            MVariant(int32_t{33});
        m_link.sent.clear();
        ConfigureOnConnect();
        ASSERT_EQ(m_link.sent.size(), 1u);
        const sBaseCmd& cmd = m_link.sent[0];
        EXPECT_EQ(cmd[0], kPacketCommand);
        EXPECT_EQ(cmd[kCmdLed], c.led);
        EXPECT_EQ(cmd[kCmdDrive], 250);
        EXPECT_EQ(cmd[kCmdLf], 50);
        EXPECT_EQ(cmd[kCmdRecovery], 1);
        EXPECT_EQ(cmd[kCmdPower], 1);
        EXPECT_TRUE(PacketChecksumValid(cmd));
        EXPECT_TRUE(A().DeviceTask().Serial().ResyncPending());
        EXPECT_EQ(A().Regulator().Map(kLedClipInfrared).lf, 33); // maps loaded
        A().DeviceTask().Serial().Reset();
    }
}

TEST_F(Pipeline, ManualCodesAreSentAsTheyAre) {
    SetDriveCode(17);
    SetLfCode(201);
    ASSERT_EQ(m_link.sent.size(), 2u);
    EXPECT_EQ(m_link.sent[1][kCmdDrive], 17);
    EXPECT_EQ(m_link.sent[1][kCmdLf], 201);
    EXPECT_TRUE(PacketChecksumValid(m_link.sent[1]));
}

} // namespace
