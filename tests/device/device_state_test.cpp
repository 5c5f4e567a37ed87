#include "core/MEventManager.h"
#include "device/DeviceState.h"
#include "tests/device/LogCapture.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

struct Block {
    bool filler;
    std::array<double, kSamplesPerPacket> scaled;
    std::array<uint16_t, kSamplesPerPacket> raw;
};

// Sample packet whose samples are first, first + 1, ... first + 27.
sBaseCmd Ramp(int serial, uint16_t first) {
    std::array<int8_t, 27> diffs;
    diffs.fill(1);
    return MakeSamplePacket(static_cast<uint8_t>(serial), 0, first, diffs.data());
}

class SerialFixture : public ::testing::Test {
protected:
    // Feeds one packet; collects its blocks; the sink refuses after `accept` blocks in all.
    int Feed(const sBaseCmd& packet) {
        return tracker.OnSamplePacket(packet, [this](const sPacketSamples& s, bool filler) {
            if (accept >= 0 && static_cast<int>(blocks.size()) >= accept) return false;
            Block b{filler, {}, {}};
            for (int k = 0; k < kSamplesPerPacket; ++k) {
                b.scaled[static_cast<size_t>(k)] = s.scaled[k];
                b.raw[static_cast<size_t>(k)] = s.raw[k];
            }
            blocks.push_back(b);
            return true;
        });
    }
    std::vector<bool> Fillers() const {
        std::vector<bool> out;
        for (const auto& b : blocks) out.push_back(b.filler);
        return out;
    }

    LogCapture log;
    cSerialTracker tracker;
    std::vector<Block> blocks;
    int accept = -1; // blocks the sink takes in all; -1 = unlimited
};

TEST_F(SerialFixture, SequencesGiveBlocksFillersAndMessages) {
    struct Case {
        const char* name;
        std::vector<int> serials;
        bool resyncFirst;
        std::vector<bool> fillers; // every block produced, in order
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"consecutive from start", {1, 2, 3}, false, {false, false, false}, {}},
        {"duplicate dropped",
         {10, 11, 11, 12},
         true,
         {false, false, false},
         {"Duplicated reports, serial = 11"}},
        {"gap of two",
         {10, 13},
         true,
         {false, true, true, false},
         {"add fake packet, serial 11", "add fake packet, serial 12"}},
        {"63 then 0 is consecutive", {62, 63, 0, 1}, true, {false, false, false, false}, {}},
        {"wrap with a gap", {63, 1}, true, {false, true, false}, {"add fake packet, serial 0"}},
        {"first packet 0 repeats the initial serial",
         {0, 1},
         false,
         {false},
         {"Duplicated reports, serial = 0"}},
        {"without resync the first packet fills from 0",
         {3},
         false,
         {true, true, false},
         {"add fake packet, serial 1", "add fake packet, serial 2"}},
    };
    for (const auto& c : cases) {
        tracker.Reset();
        blocks.clear();
        log.Clear();
        if (c.resyncFirst) tracker.SetResync();
        for (int s : c.serials) Feed(Ramp(s, 100));
        EXPECT_EQ(Fillers(), c.fillers) << c.name;
        EXPECT_EQ(log.Lines(), c.messages) << c.name;
        EXPECT_EQ(tracker.LastSerial(), c.serials.back()) << c.name;
    }
}

TEST_F(SerialFixture, FillersRepeatTheReceivedPacketsFirstSample) {
    tracker.SetResync();
    Feed(Ramp(10, 500));
    blocks.clear();
    EXPECT_EQ(Feed(Ramp(13, 2000)), 3);
    ASSERT_EQ(blocks.size(), 3u);
    for (int b = 0; b < 2; ++b) {
        EXPECT_TRUE(blocks[static_cast<size_t>(b)].filler);
        for (int k = 0; k < kSamplesPerPacket; ++k) {
            EXPECT_DOUBLE_EQ(blocks[static_cast<size_t>(b)].scaled[static_cast<size_t>(k)], 2000 / 4095.0);
            EXPECT_EQ(blocks[static_cast<size_t>(b)].raw[static_cast<size_t>(k)], 2000);
        }
    }
    EXPECT_FALSE(blocks[2].filler);
    for (int k = 0; k < kSamplesPerPacket; ++k) EXPECT_EQ(blocks[2].raw[static_cast<size_t>(k)], 2000 + k);
}

TEST_F(SerialFixture, ResyncTakesAnySerialOnceAndClearsTheFlag) {
    tracker.SetResync();
    Feed(Ramp(10, 0));
    tracker.SetResync();
    EXPECT_EQ(Feed(Ramp(40, 0)), 1);
    EXPECT_FALSE(tracker.ResyncPending());
    EXPECT_TRUE(log.Lines().empty());
    // The flag is gone: the next gap produces fillers again.
    EXPECT_EQ(Feed(Ramp(42, 0)), 2);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"add fake packet, serial 41"});
}

TEST_F(SerialFixture, DuplicateIsTestedBeforeResync) {
    tracker.SetResync();
    Feed(Ramp(10, 0));
    tracker.SetResync();
    EXPECT_EQ(Feed(Ramp(10, 0)), 0);
    EXPECT_TRUE(tracker.ResyncPending());
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Duplicated reports, serial = 10"});
}

TEST_F(SerialFixture, RefusedBlockDropsTheRestOfThePacket) {
    tracker.SetResync();
    Feed(Ramp(10, 0));
    blocks.clear();
    accept = 1; // storage for one block only
    EXPECT_EQ(Feed(Ramp(14, 0)), 1);
    EXPECT_EQ(Fillers(), std::vector<bool>{true});
    // The serial advanced past the refused filler only: 11 produced, 12 logged and refused.
    EXPECT_EQ(tracker.LastSerial(), 12);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"add fake packet, serial 11", "add fake packet, serial 12"}));
}

TEST_F(SerialFixture, LongestGapHas62Fillers) {
    tracker.SetResync();
    Feed(Ramp(20, 0));
    blocks.clear();
    EXPECT_EQ(Feed(Ramp(19, 0)), 63);
    EXPECT_EQ(log.Lines().size(), 62u);
    EXPECT_FALSE(blocks.back().filler);
}

TEST(SavedStatus, InitialPacketAndLedChanges) {
    cSavedStatus s;
    EXPECT_EQ(s.Packet(), InitialStatusPacket());

    struct Step {
        uint8_t led;
        bool force; // ForceLedChange before the packet
        bool changed;
        uint8_t previous;
    };
    const Step steps[] = {
        {1, false, true, 5},  // the first status packet always changes the LED
        {1, false, false, 1}, // same LED
        {2, false, true, 1},  // internal red -> clip red
        {2, true, true, 255}, // forced
        {3, false, true, 2},
    };
    for (const auto& st : steps) {
        if (st.force) s.ForceLedChange();
        const sBaseCmd p = MakeStatusPacket({.driveCode = 7, .lfCode = 9, .activeLed = st.led});
        const sLedChange c = s.Update(p);
        EXPECT_EQ(c.changed, st.changed) << int(st.led);
        EXPECT_EQ(c.previous, st.previous) << int(st.led);
        EXPECT_EQ(c.current, st.led);
        EXPECT_EQ(s.Packet(), p);
    }
}

class RecordingListener : public MEventCallback {
public:
    struct Call {
        int id;
        int count;
        void* data;
        int value;
    };
    int OnEvent(int id, int count, void* data, int value) override {
        calls.push_back({id, count, data, value});
        return 0;
    }
    std::vector<Call> calls;
};

TEST(SavedStatus, RaisesLedChangeBeforeStatus) {
    MEventManager* events = GetEventManager(true);
    ASSERT_NE(events, nullptr);
    RecordingListener listener;
    events->Subscribe(&listener, cSavedStatus::kEventLedChanged, 5);
    events->Subscribe(&listener, cSavedStatus::kEventStatus, 10);
    events->Run();
    listener.calls.clear();

    cSavedStatus s;
    s.UpdateAndRaise(MakeStatusPacket({.activeLed = 1}), *events);
    events->Run();
    listener.calls.clear();

    s.UpdateAndRaise(MakeStatusPacket({.activeLed = 2}), *events);
    s.UpdateAndRaise(MakeStatusPacket({.activeLed = 2, .carrierLevel = 3000}), *events);
    events->Run();
    ASSERT_EQ(listener.calls.size(), 2u);
    EXPECT_EQ(listener.calls[0].id, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(listener.calls[0].data), 1u);
    EXPECT_EQ(listener.calls[0].value, 2);
    // Both status packets merge into one delivery that points at the newest saved packet.
    EXPECT_EQ(listener.calls[1].id, 1);
    EXPECT_EQ(listener.calls[1].count, 2);
    EXPECT_EQ(listener.calls[1].data, &s.Packet());
    EXPECT_EQ(StatusCarrierLevel(s.Packet()), 3000);
    events->Unsubscribe(&listener);
}

TEST(CommandBuffer, KeepsEveryFieldAndStampsOnSend) {
    cCommandBuffer c;
    EXPECT_EQ(c.Packet(), InitialCommandPacket());
    c.Configure(kLedInternalRed);
    c.SetDrive(120);
    c.SetLf(80);
    c.SetRecovery(false);
    EXPECT_EQ(c.Led(), 1);
    EXPECT_EQ(c.Drive(), 120);
    EXPECT_EQ(c.Lf(), 80);
    EXPECT_FALSE(c.Recovery());
    EXPECT_TRUE(c.Power());
    EXPECT_FALSE(c.Send(nullptr)); // no transport: nothing queued, but the checksum is current
    EXPECT_EQ(c.Packet().Checksum(), 4 ^ 1 ^ 120 ^ 80 ^ 0 ^ 1);
    c.PowerOff();
    EXPECT_EQ(c.Led(), 0);
    EXPECT_FALSE(c.Power());
    EXPECT_EQ(c.Drive(), 120);
}

TEST(CommandBuffer, ProcessWideInstances) {
    EXPECT_EQ(&GetCommandBuffer(), &GetCommandBuffer());
    EXPECT_EQ(&GetSavedStatus(), &GetSavedStatus());
    GetCommandBuffer().Reset();
    EXPECT_EQ(GetCommandBuffer().Packet(), InitialCommandPacket());
    GetSavedStatus().Reset();
    EXPECT_EQ(StatusActiveLed(GetSavedStatus().Packet()), kLedNeverReported);
}

} // namespace
