#include "device/Protocol.h"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <utility>

namespace {

sBaseCmd Packet(std::initializer_list<std::pair<int, int>> bytes) {
    sBaseCmd p;
    for (auto [i, v] : bytes) p[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    return p;
}

struct ChecksumCase {
    const char* name;
    sBaseCmd packet;
    int expected;
};

TEST(PacketChecksum, RulesPerType) {
    const ChecksumCase cases[] = {
        // serial 5, tag 1, first byte 0x10, all differences 0: 5 + 1 + 16
        {"samples example", Packet({{0, 5}, {1, 0x45}, {2, 0x10}}), 22},
        // byte 1 = 0xFF: serial 63 and tag 3 are added separately (66), not as 255
        {"samples split byte 1", Packet({{0, 5}, {1, 0xFF}}), 66},
        {"samples skip byte 3", Packet({{0, 5}, {1, 0x01}, {3, 0x77}}), 1},
        {"samples byte 30 counted", Packet({{0, 5}, {30, 9}}), 9},
        {"samples wrap mod 256", Packet({{0, 5}, {2, 200}, {4, 100}}), 44},
        {"samples byte 31 not counted", Packet({{0, 5}, {31, 99}}), 0},
        {"command xor 0..5", Packet({{0, 4}, {1, 1}, {2, 250}, {3, 50}, {4, 1}, {5, 1}}),
         4 ^ 1 ^ 250 ^ 50 ^ 1 ^ 1},
        {"command ignores 6..30", Packet({{0, 4}, {6, 0x55}, {30, 0x66}}), 4},
        {"status xor skips byte 5",
         Packet({{0, 6}, {1, 0x11}, {2, 0x22}, {3, 2}, {4, 0x80}, {5, 0x0C}, {6, 1}, {7, 0x40}, {8, 1}}),
         6 ^ 0x11 ^ 0x22 ^ 2 ^ 0x80 ^ 1 ^ 0x40 ^ 1},
        {"status ignores 9..30", Packet({{0, 6}, {9, 0x12}, {30, 0x34}}), 6},
        {"no packet", Packet({}), 0xAB},
        {"type 2", Packet({{0, 2}, {1, 7}}), 0xAB},
        {"type 3", Packet({{0, 3}}), 0xAB},
        {"type 8", Packet({{0, 8}, {5, 1}}), 0xAB},
        {"type 200", Packet({{0, 200}}), 0xAB},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PacketChecksum(c.packet), c.expected) << c.name;
        sBaseCmd stamped = c.packet;
        StampChecksum(stamped);
        EXPECT_TRUE(PacketChecksumValid(stamped)) << c.name;
        EXPECT_EQ(stamped.Checksum(), c.expected) << c.name;
    }
}

TEST(PacketChecksum, ReceiveClassification) {
    struct Case {
        const char* name;
        sBaseCmd packet;
        ReceiveAction expected;
    };
    const Case cases[] = {
        {"type 0 is never tested", Packet({{0, 0}, {31, 0x12}}), ReceiveAction::Ignore},
        {"type 2 with 0xAB is dropped", Packet({{0, 2}, {31, 0xAB}}), ReceiveAction::Drop},
        {"type 2 with another checksum", Packet({{0, 2}, {31, 0xAA}}), ReceiveAction::ChecksumError},
        {"type 3 with 0xAB is dropped", Packet({{0, 3}, {31, 0xAB}}), ReceiveAction::Drop},
        {"type 8 with 0xAB is queued", Packet({{0, 8}, {31, 0xAB}}), ReceiveAction::Queue},
        {"type 4 echoed back is queued", Packet({{0, 4}, {1, 1}, {31, 5}}), ReceiveAction::Queue},
        {"good sample packet", Packet({{0, 5}, {1, 0x45}, {2, 0x10}, {31, 22}}), ReceiveAction::Queue},
        {"bad sample packet", Packet({{0, 5}, {1, 0x45}, {2, 0x10}, {31, 23}}), ReceiveAction::ChecksumError},
        {"sample byte 3 change keeps it valid", Packet({{0, 5}, {3, 0x0F}, {31, 0}}), ReceiveAction::Queue},
        {"status byte 5 change keeps it valid", Packet({{0, 6}, {5, 0x0F}, {31, 6}}), ReceiveAction::Queue},
        {"status byte 7 is covered", Packet({{0, 6}, {7, 1}, {31, 6}}), ReceiveAction::ChecksumError},
    };
    for (const auto& c : cases) EXPECT_EQ(ClassifyReceived(c.packet), c.expected) << c.name;
}

TEST(SamplePacket, FieldsAndBuilder) {
    std::array<int8_t, 27> diffs{};
    const sBaseCmd p = MakeSamplePacket(63, 2, 0x0ABC, diffs.data());
    EXPECT_EQ(p[0], kPacketSamples);
    EXPECT_EQ(p[1], 0xBF);
    EXPECT_EQ(SampleSerial(p), 63);
    EXPECT_EQ(SampleTag(p), 2);
    EXPECT_EQ(SampleFirstValue(p), 0x0ABC);
    EXPECT_EQ(p[2], 0xBC);
    EXPECT_EQ(p[3], 0x0A);
    EXPECT_TRUE(PacketChecksumValid(p));
}

TEST(SamplePacket, ReconstructionAppliesSignedDifferences) {
    struct Case {
        const char* name;
        uint16_t first;
        int8_t diff; // every difference
        double last; // running value of sample 28
    };
    const Case cases[] = {
        {"flat", 2048, 0, 2048},
        {"rising +127", 100, 127, 100 + 27 * 127},     // leaves 0..4095 upwards, not clamped
        {"falling -128", 4000, -128, 4000 - 27 * 128}, // goes negative, not clamped
        {"small steps", 1000, -1, 973},
    };
    for (const auto& c : cases) {
        std::array<int8_t, 27> diffs;
        diffs.fill(c.diff);
        sPacketSamples s;
        ReconstructSamples(MakeSamplePacket(1, 0, c.first, diffs.data()), s);
        for (int k = 0; k < kSamplesPerPacket; ++k) {
            const double expected = c.first + k * static_cast<double>(c.diff);
            EXPECT_EQ(s.adc[k], expected) << c.name << " k=" << k;
            EXPECT_DOUBLE_EQ(s.scaled[k], expected / 4095.0) << c.name << " k=" << k;
            EXPECT_EQ(s.raw[k], static_cast<uint16_t>(static_cast<int>(expected))) << c.name << " k=" << k;
        }
        EXPECT_EQ(s.adc[27], c.last) << c.name;
    }
}

TEST(SamplePacket, NegativeRunningValueWrapsOnlyInTheRawValue) {
    std::array<int8_t, 27> diffs{};
    diffs[0] = -10; // 5 - 10 = -5
    sPacketSamples s;
    ReconstructSamples(MakeSamplePacket(0, 0, 5, diffs.data()), s);
    EXPECT_EQ(s.adc[1], -5.0);
    EXPECT_DOUBLE_EQ(s.scaled[1], -5.0 / 4095.0);
    EXPECT_EQ(s.raw[1], 65531);
    EXPECT_EQ(s.raw[27], 65531);
}

TEST(SamplePacket, FullScaleIsOne) {
    std::array<int8_t, 27> diffs{};
    sPacketSamples s;
    ReconstructSamples(MakeSamplePacket(0, 0, 4095, diffs.data()), s);
    EXPECT_EQ(s.scaled[0], 1.0);
    FillSamples(4095, s);
    for (int k = 0; k < kSamplesPerPacket; ++k) {
        EXPECT_EQ(s.scaled[k], 1.0);
        EXPECT_EQ(s.raw[k], 4095);
    }
}

TEST(StatusPacket, FieldsRoundTrip) {
    const sBaseCmd p = MakeStatusPacket({.driveCode = 100,
                                         .lfCode = 200,
                                         .activeLed = kLedClipInfrared,
                                         .carrierLevel = 3400,
                                         .clipPresent = true,
                                         .recoveryActive = true});
    EXPECT_EQ(p.Type(), kPacketStatus);
    EXPECT_EQ(StatusDriveCode(p), 100);
    EXPECT_EQ(StatusLfCode(p), 200);
    EXPECT_EQ(StatusActiveLed(p), kLedClipInfrared);
    EXPECT_EQ(StatusCarrierLevel(p), 3400);
    EXPECT_EQ(p[4], 3400 & 0xFF);
    EXPECT_EQ(p[5], 3400 >> 8);
    EXPECT_TRUE(StatusClipPresent(p));
    EXPECT_TRUE(StatusRecoveryActive(p));
    EXPECT_EQ(ClassifyReceived(p), ReceiveAction::Queue);
}

TEST(InitialPackets, StatusAndCommand) {
    const sBaseCmd s = InitialStatusPacket();
    EXPECT_EQ(s, Packet({{0, 6}, {3, 5}, {31, 0xAB}}));
    const sBaseCmd c = InitialCommandPacket();
    EXPECT_EQ(c, Packet({{0, 4}, {31, 0xAB}}));
}

TEST(CommandPacket, ConfigureAndPowerOff) {
    sBaseCmd c = InitialCommandPacket();
    CommandConfigure(c, kLedClipRed);
    EXPECT_EQ(c[kCmdLed], 2);
    EXPECT_EQ(c[kCmdDrive], 250);
    EXPECT_EQ(c[kCmdLf], 50);
    EXPECT_EQ(c[kCmdRecovery], 1);
    EXPECT_EQ(c[kCmdPower], 1);
    CommandSetDrive(c, 120);
    CommandPowerOff(c);
    // Power-off keeps the other settings: the device always receives the whole buffer.
    EXPECT_EQ(c, Packet({{0, 4}, {2, 120}, {3, 50}, {4, 1}, {31, 0xAB}}));
    StampChecksum(c);
    EXPECT_EQ(c.Checksum(), 4 ^ 120 ^ 50 ^ 1);
}

} // namespace
