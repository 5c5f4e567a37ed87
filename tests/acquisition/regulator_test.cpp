// The regulation step, the approximation maps and their settings.

#include "tests/acquisition/AcqTestUtil.h"

#include <set>

using namespace acqtest;

namespace {

// ---- maps ---------------------------------------------------------------------------------------------

sApproxMap Rising(float perCode) { // level grows by perCode per code below 255
    sApproxMap m;
    for (int i = 0; i < 256; ++i) m.e[i].level = static_cast<float>(255 - i) * perCode;
    return m;
}

TEST(FindCode, ProbesUnmeasuredMultiplesOf50OnTheWayDown) {
    struct Case {
        const char* what;
        sApproxMap map;
        float target;
        int expected;
    };
    std::vector<Case> cases;
    cases.push_back({"fresh map, every level below the target: measure 250 first", Rising(10), 3400, 250});
    {
        sApproxMap m = Rising(10);
        m.e[252].level = 3500; // met before 250
        cases.push_back({"a level above the target before 250", m, 3400, 253});
    }
    {
        sApproxMap m = Rising(10);
        m.e[250].count = 1;
        cases.push_back({"250 measured: 200 is next", m, 3400, 200});
        m.e[200].count = 1;
        m.e[150].count = 1;
        m.e[100].count = 1;
        cases.push_back({"measured down to 100: the level closest below", m, 1000, 156});
    }
    {
        sApproxMap m;
        for (auto& e : m.e) e.count = 1; // every level 4000: nothing lies below 3400
        cases.push_back({"nothing below the target", m, 3400, 0});
        m.e[255].level = 100;
        cases.push_back({"only the least drive lies below", m, 3400, 255});
    }
    for (const Case& c : cases) EXPECT_EQ(FindCode(c.map, c.target), c.expected) << c.what;
}

TEST(LearnMap, StraightLineThroughCode255StaysPut) {
    sApproxMap m = Rising(16);
    for (auto& e : m.e) e.time = 100'000;
    LearnMap(m, 130, 100'000);
    for (int i = 0; i < 256; ++i) EXPECT_NEAR(m.e[i].level, (255 - i) * 16.0f, 0.01f) << i;
}

TEST(LearnMap, PullsTowardsTheMeasurementMostNearIt) {
    sApproxMap m; // 4000 everywhere
    for (auto& e : m.e) e.time = 100'000;
    m.e[155].level = 2000; // the measurement: the line through (155, 2000) and (255, 0)
    LearnMap(m, 155, 100'000);
    // Codes near the measurement end up near the line; the pull fades with distance.
    EXPECT_NEAR(m.e[155].level, 2000, 150);
    float previousGap = 0;
    for (int i = 160; i <= 250; i += 10) {
        const float gap = m.e[i].level - (255 - i) * 20.0f;
        EXPECT_GT(gap, previousGap) << i;
        previousGap = gap;
    }
    for (const auto& e : m.e) {
        EXPECT_GE(e.level, 0);
        EXPECT_LE(e.level, 4100);
    }
}

TEST(LearnMap, AnchorsTheEndsOnlyWhenStale) {
    sApproxMap m;
    m.e[0].time = 90'000;   // 20 s ago exactly: not yet stale
    m.e[255].time = 50'000; // stale
    m.e[0].level = 3000;
    m.e[255].level = 700;
    LearnMap(m, 255, 110'000);
    EXPECT_EQ(m.e[0].level, 3000);
    EXPECT_EQ(m.e[0].time, 90'000u);
    EXPECT_EQ(m.e[255].level, 100);
    EXPECT_EQ(m.e[255].time, 80'000u); // 30 s in the past: stays in force at every step
    LearnMap(m, 255, 110'001);
    EXPECT_EQ(m.e[0].level, 4100);
    EXPECT_EQ(m.e[0].time, 80'001u);
    EXPECT_EQ(m.e[255].time, 80'001u);
}

// ---- regulation step ----------------------------------------------------------------------------------

class Regulator : public AcqFixture {
protected:
    Regulator() {
        Start(&m_link);
        GetCommandBuffer().Configure(kLedInternalRed);
        R().SetRandomSeed(7);
    }
    cAutoRegulator& R() { return A().Regulator(); }

    struct Signal {
        float mean = 2000, upper = 3300, lower = 800; // amplitude 2500: in range
    };
    // One step with this status packet and signal; returns the commands it sent.
    std::vector<sBaseCmd> Step(const sBaseCmd& status) { return Step(status, Signal{}); }
    std::vector<sBaseCmd> Step(const sBaseCmd& status, Signal sig) {
        GetSavedStatus().Packet() = status;
        sSignalStats& st = A().DeviceTask().Stats();
        st.mean = sig.mean;
        st.upper = sig.upper;
        st.lower = sig.lower;
        m_link.sent.clear();
        R().OnEvent(kEventStatus, 1, &GetSavedStatus().Packet(), 0);
        R().Run();
        return m_link.sent;
    }
    // A first step with the LED in use, so that later steps see no LED change.
    void Prime(uint8_t led, uint8_t drive, uint8_t lf) {
        GetCommandBuffer().SetDrive(drive);
        GetCommandBuffer().SetLf(lf);
        R().Map(led).lf = lf;
        Step(StatusPacket(led, drive, lf, 3000));
        m_clock.AdvanceMs(10'000);
    }

    QueueLink m_link;
};

TEST_F(Regulator, DriveReactsToTheCarrierLevel) {
    struct Case {
        const char* what;
        uint8_t drive;
        uint16_t carrier;
        std::set<int> expected; // the drive code afterwards; empty: nothing sent
    };
    const Case cases[] = {
        {"saturated at 100 halves the drive: 155 shown becomes 77 or 76", 100, 4050, {178, 179}},
        {"saturated at 250 stays at the least drive (250 or 251)", 250, 4050, {250, 251}},
        {"saturated at 0", 0, 4095, {128, 129}},
        {"3000 is in range", 100, 3000, {}},
        {"2000 and 3800 are in range", 100, 2000, {}},
        {"dark at full drive starts again at 250", 3, 150, {250}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Prime(kLedInternalRed, c.drive, 100);
        R().AutoAmpLF = false;
        const auto sent = Step(StatusPacket(kLedInternalRed, c.drive, 100, c.carrier));
        if (c.expected.empty()) {
            EXPECT_TRUE(sent.empty());
            continue;
        }
        EXPECT_TRUE(c.expected.count(GetCommandBuffer().Drive())) << int(GetCommandBuffer().Drive());
        if (GetCommandBuffer().Drive() != c.drive) {
            ASSERT_EQ(sent.size(), 2u);
            EXPECT_EQ(sent[0][kCmdDrive], GetCommandBuffer().Drive());
            EXPECT_EQ(sent[1][kCmdDrive], GetCommandBuffer().Drive());
        }
        EXPECT_FALSE(R().Settled());
        R().AutoAmpLF = true;
    }
}

TEST_F(Regulator, SaturationPicksBothNeighboursAndWaitsForTheDevice) {
    std::set<int> seen;
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        R().SetRandomSeed(seed);
        Prime(kLedInternalRed, 100, 100);
        const auto sent = Step(StatusPacket(kLedInternalRed, 100, 100, 4050));
        ASSERT_EQ(sent.size(), 2u);
        seen.insert(sent[1][kCmdDrive]);
        // 2 ms later the device still reports the old drive: no second halving.
        m_clock.AdvanceMs(2);
        EXPECT_TRUE(Step(StatusPacket(kLedInternalRed, 100, 100, 4050)).empty());
    }
    EXPECT_EQ(seen, (std::set<int>{178, 179}));
}

TEST_F(Regulator, OneCodeStepsWaitForAQuietSpellToEnd) {
    // A learned map in which code 200 lies just below 3400 while the command holds 201.
    auto learned = [&] {
        sApproxMap& m = R().Map(kLedInternalRed);
        for (int i = 0; i < 256; ++i) {
            m.e[i].count = 1;
            m.e[i].time = GetTickCount();
            m.e[i].level = i >= 202 ? 1000 : i == 201 ? 3300 : i == 200 ? 3395 : 3500;
        }
    };
    Prime(kLedInternalRed, 201, 100);
    R().AutoAmpLF = false;
    learned();
    auto sent = Step(StatusPacket(kLedInternalRed, 120, 100, 1900));
    ASSERT_EQ(FindCode(R().Map(kLedInternalRed), 3400), 200);
    EXPECT_TRUE(sent.empty()); // no drive change for more than 3 s: one code is not worth it

    Step(StatusPacket(kLedInternalRed, 120, 100, 4050)); // saturated: a drive change now
    GetCommandBuffer().SetDrive(201);
    m_clock.AdvanceMs(3999);
    learned();
    sent = Step(StatusPacket(kLedInternalRed, 120, 100, 1900));
    ASSERT_EQ(FindCode(R().Map(kLedInternalRed), 3400), 200);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][kCmdDrive], 200);
}

TEST_F(Regulator, GainFollowsTheAmplitude) {
    struct Case {
        const char* what;
        uint8_t lf;
        Signal sig;
        int expected; // -1: nothing sent
        bool settled;
    };
    const Case cases[] = {
        {"999 at 100: step 3 x 2 (settled stays)", 100, {2000, 1500, 501}, 94, true},
        {"0 at 10: step limited to g - 2", 10, {2000, 1000, 1000}, 2, true},
        {"1999 at 1: too little gain left to raise", 1, {2000, 2999, 1000}, -1, true},
        {"4000 at 250: step 3 x 4000 div 3600", 250, {2000, 4000, 0}, 253, false},
        {"4000 at 254: step limited to 1", 254, {2000, 4000, 0}, 255, false},
        {"3000 within the envelopes' limits", 100, {2000, 3500, 500}, -1, true},
        {"in range but the upper envelope above 4000", 100, {2000, 4050, 1200}, 101, false},
        {"in range but the lower envelope below 50", 100, {2000, 2040, 40}, 101, false},
        {"too much and already the lowest gain", 255, {2000, 4090, 10}, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Prime(kLedInternalRed, 150, c.lf);
        const auto sent = Step(StatusPacket(kLedInternalRed, 150, c.lf, 3000), c.sig);
        if (c.expected < 0) {
            EXPECT_TRUE(sent.empty());
        } else {
            ASSERT_EQ(sent.size(), 2u);
            EXPECT_EQ(sent[1][kCmdLf], c.expected);
        }
        EXPECT_EQ(R().Settled(), c.settled);
    }
}

TEST_F(Regulator, EveryChangeGoesOutTwiceFirstWithTheGainOneStepTowardsTheMiddle) {
    struct Case {
        uint8_t lfAfter;
        uint8_t first;
    };
    // LF 6 with amplitude 1999 lowers the code to 3; a saturated carrier keeps LF 100.
    Prime(kLedInternalRed, 150, 6);
    auto sent = Step(StatusPacket(kLedInternalRed, 150, 6, 3000), {2000, 2999, 1000});
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][kCmdLf], 4);
    EXPECT_EQ(sent[1][kCmdLf], 3);

    Prime(kLedInternalRed, 150, 100);
    sent = Step(StatusPacket(kLedInternalRed, 150, 100, 4050));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][kCmdLf], 99);
    EXPECT_EQ(sent[1][kCmdLf], 100);
    for (const sBaseCmd& c : sent) EXPECT_TRUE(PacketChecksumValid(c));
    EXPECT_EQ(GetCommandBuffer().Lf(), 100); // the buffer keeps the real value
}

TEST_F(Regulator, BaselineRecoveryOnAtARailOffInTheMiddle) {
    Prime(kLedInternalRed, 150, 100);
    // Stuck at the bottom: recovery on.
    auto sent = Step(StatusPacket(kLedInternalRed, 150, 100, 3000), {20, 40, 0});
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][kCmdRecovery], 1);
    EXPECT_FALSE(R().Settled());
    // While the device re-centres the gain is left alone, whatever the amplitude; back in the
    // middle, recovery goes off only a second after it went on.
    GetCommandBuffer().SetLf(100);
    m_clock.AdvanceMs(500);
    EXPECT_TRUE(Step(StatusPacket(kLedInternalRed, 150, 100, 3000, true), {2000, 2100, 1900}).empty());
    m_clock.AdvanceMs(600);
    sent = Step(StatusPacket(kLedInternalRed, 150, 100, 3000, true), {2000, 3000, 1000});
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][kCmdRecovery], 0);
    // Another rail within 5 s of the last switch waits.
    m_clock.AdvanceMs(1000);
    auto quiet = Step(StatusPacket(kLedInternalRed, 150, 100, 3000), {4050, 4095, 4000});
    for (const sBaseCmd& c : quiet) EXPECT_EQ(c[kCmdRecovery], 0);
    m_clock.AdvanceMs(5000);
    sent = Step(StatusPacket(kLedInternalRed, 150, 100, 3000), {4050, 4095, 4000});
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][kCmdRecovery], 1);
}

TEST_F(Regulator, TheGainIsRememberedPerLed) {
    Prime(kLedInternalRed, 150, 120);
    R().Map(kLedClipRed).lf = 77;
    // The gain in use with the internal LED is remembered at every step.
    Step(StatusPacket(kLedInternalRed, 150, 123, 3000));
    EXPECT_EQ(R().Map(kLedInternalRed).lf, 123);
    // Switching to the clip: its own gain goes into the command and into the saved status.
    auto sent = Step(StatusPacket(kLedClipRed, 150, 50, 3000));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][kCmdLf], 77);
    EXPECT_EQ(StatusLfCode(GetSavedStatus().Packet()), 77);
    // And back.
    sent = Step(StatusPacket(kLedInternalRed, 150, 77, 3000));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][kCmdLf], 123);
}

TEST_F(Regulator, SwitchesStopOnlyTheirOwnRegulation) {
    Prime(kLedInternalRed, 100, 100);
    R().AutoLedI = false;
    R().AutoAmpLF = false;
    const float before = R().Map(kLedInternalRed).e[100].level;
    // Saturated carrier, tiny amplitude, signal at a rail: only recovery acts.
    const auto sent = Step(StatusPacket(kLedInternalRed, 100, 100, 4050), {20, 40, 0});
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][kCmdDrive], 100);
    EXPECT_EQ(sent[1][kCmdLf], 100);
    EXPECT_EQ(sent[1][kCmdRecovery], 1);
    EXPECT_NE(R().Map(kLedInternalRed).e[100].level, before); // learning goes on
}

TEST_F(Regulator, RunsOnlyAfterAStatusPacketAndSkipsOnRequest) {
    Prime(kLedInternalRed, 100, 100);
    GetSavedStatus().Packet() = StatusPacket(kLedInternalRed, 100, 100, 4050);
    m_link.sent.clear();
    R().Run(); // no status since the last step
    EXPECT_TRUE(m_link.sent.empty());

    SelectLed(kLedClipRed); // drive 250 and a skipped step
    ASSERT_EQ(m_link.sent.size(), 1u);
    EXPECT_EQ(m_link.sent[0][kCmdLed], kLedClipRed);
    EXPECT_EQ(m_link.sent[0][kCmdDrive], 250);
    m_link.sent.clear();
    R().OnEvent(kEventStatus, 1, &GetSavedStatus().Packet(), 0);
    R().Run();
    EXPECT_TRUE(m_link.sent.empty());
    EXPECT_FALSE(R().SkipPending());
    R().Run(); // the status is still pending for the next step
    EXPECT_EQ(m_link.sent.size(), 2u);

    m_link.sent.clear();
    SelectLed(kLedInternalRed); // the LED alone, no skip
    ASSERT_EQ(m_link.sent.size(), 1u);
    EXPECT_EQ(m_link.sent[0][kCmdLed], kLedInternalRed);
    EXPECT_FALSE(R().SkipPending());
}

// ---- maps in the settings ------------------------------------------------------------------------------

TEST_F(Regulator, MapsGoThroughTheSettings) {
    R().Map(kLedInternalRed).e[10].level = 3999.5f;
    R().Map(kLedClipRed).e[200].level = 1234;
    R().Map(kLedClipInfrared).lf = 42;
    R().Map(kLedClipInfrared).e[7].count = 3;
    R().SaveMaps();
    MVarArray& root = *GetSettings();
    for (const char* key : {"LedIntApproxMap", "LedClipRedApproxMap", "LedClipIrApproxMap"}) {
        const MVarArray* sub = root.Find(MVariant(key));
        ASSERT_NE(sub, nullptr) << key;
        EXPECT_EQ(sub->Count(), 257) << key;
    }
    EXPECT_EQ(root.Find(MVariant("LedClipIrApproxMap"))->Find(MVariant("ResLf"))->Value().AsInt(), 42);

    StopAcquisition();
    m_clock.AdvanceMs(5000);
    Start(&m_link);
    R().LoadMaps();
    EXPECT_EQ(R().Map(kLedInternalRed).e[10].level, 3999); // whole units
    EXPECT_EQ(R().Map(kLedInternalRed).e[10].time, GetTickCount());
    EXPECT_EQ(R().Map(kLedClipRed).e[200].level, 1234);
    EXPECT_EQ(R().Map(kLedClipInfrared).lf, 42);
    EXPECT_EQ(R().Map(kLedClipInfrared).e[7].count, 0); // counts are not stored
}

TEST_F(Regulator, LoadingTakesWhatTheSettingsHold) {
    MVarArray& sub = GetSettings()->Item(MVariant("LedIntApproxMap"));
    sub.Item(MVariant(int32_t{5})).Value() = MVariant(int32_t{2500});
    sub.Item(MVariant(int32_t{6})).Value() = MVariant(1e12);        // damaged
    sub.Item(MVariant(int32_t{7})).Value() = MVariant(int32_t{-3}); // damaged
    sub.Item(MVariant("ResLf")).Value() = MVariant(int32_t{999});   // damaged
    R().Map(kLedClipRed).lf = 61;
    R().LoadMaps();
    const sApproxMap& m = R().Map(kLedInternalRed);
    EXPECT_EQ(m.e[5].level, 2500);
    EXPECT_EQ(m.e[6].level, 4100);
    EXPECT_EQ(m.e[7].level, 0);
    EXPECT_EQ(m.e[8].level, 4000); // not stored
    EXPECT_EQ(m.e[8].time, 0u);
    EXPECT_EQ(m.lf, 255);
    // A gain never stored reads as 0, like every missing setting; loading adds nothing.
    EXPECT_EQ(R().Map(kLedClipRed).lf, 0);
    EXPECT_EQ(GetSettings()->Find(MVariant("LedClipRedApproxMap")), nullptr);
}

} // namespace
