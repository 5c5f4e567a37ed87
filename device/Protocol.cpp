#include "device/Protocol.h"

uint8_t PacketChecksum(const sBaseCmd& p) {
    switch (p.Type()) {
        case kPacketCommand:
            return CommandChecksum(p);
        case kPacketSamples: {
            // The device adds the two parts of byte 1 separately and skips byte 3.
            unsigned sum = (p[1] & 0x3Fu) + (p[1] >> 6) + p[2];
            for (size_t i = 4; i <= 30; ++i) sum += p[i];
            return static_cast<uint8_t>(sum);
        }
        case kPacketStatus:
            return static_cast<uint8_t>(p[0] ^ p[1] ^ p[2] ^ p[3] ^ p[4] ^ p[6] ^ p[7] ^ p[8]);
        default:
            return kConstantChecksum;
    }
}

ReceiveAction ClassifyReceived(const sBaseCmd& p) {
    if (p.Type() == kPacketNone) return ReceiveAction::Ignore;
    if (!PacketChecksumValid(p)) return ReceiveAction::ChecksumError;
    if (p.Type() == kPacketUnused2 || p.Type() == kPacketUnused3) return ReceiveAction::Drop;
    return ReceiveAction::Queue;
}

void ReconstructSamples(const sBaseCmd& p, sPacketSamples& out) {
    double v = SampleFirstValue(p);
    for (int k = 0; k < kSamplesPerPacket; ++k) {
        if (k > 0) v += static_cast<int8_t>(p[static_cast<size_t>(3 + k)]);
        out.adc[k] = v;
        out.scaled[k] = v / kAdcFullScale;
        // The value is integral and within -3456..69000, so the int conversion is exact; the
        // 16-bit conversion then wraps negative values.
        out.raw[k] = static_cast<uint16_t>(static_cast<int32_t>(v));
    }
}

void FillSamples(double value, sPacketSamples& out) {
    const double scaled = value / kAdcFullScale;
    const auto raw = static_cast<uint16_t>(static_cast<int32_t>(value));
    for (int k = 0; k < kSamplesPerPacket; ++k) {
        out.adc[k] = value;
        out.scaled[k] = scaled;
        out.raw[k] = raw;
    }
}

sBaseCmd MakeSamplePacket(uint8_t serial, uint8_t tag, uint16_t first, const int8_t* diffs) {
    sBaseCmd p;
    p[0] = kPacketSamples;
    p[1] = static_cast<uint8_t>((serial & 0x3F) | ((tag & 0x3) << 6));
    p[2] = static_cast<uint8_t>(first & 0xFF);
    p[3] = static_cast<uint8_t>(first >> 8);
    for (size_t k = 0; k < kSamplesPerPacket - 1; ++k) p[4 + k] = static_cast<uint8_t>(diffs[k]);
    StampChecksum(p);
    return p;
}

sBaseCmd MakeStatusPacket(const sStatusFields& f) {
    sBaseCmd p;
    p[0] = kPacketStatus;
    p[kStatusDrive] = f.driveCode;
    p[kStatusLf] = f.lfCode;
    p[kStatusLed] = f.activeLed;
    p[kStatusCarrier] = static_cast<uint8_t>(f.carrierLevel & 0xFF);
    p[kStatusCarrier + 1] = static_cast<uint8_t>(f.carrierLevel >> 8);
    p[kStatusClip] = f.clipPresent ? 1 : 0;
    p[kStatusRecovery] = f.recoveryActive ? 1 : 0;
    StampChecksum(p);
    return p;
}

sBaseCmd InitialStatusPacket() {
    sBaseCmd p;
    p[0] = kPacketStatus;
    p[kStatusLed] = kLedNeverReported;
    p[kPacketSize - 1] = kConstantChecksum;
    return p;
}

sBaseCmd InitialCommandPacket() {
    sBaseCmd p;
    p[0] = kPacketCommand;
    p[kPacketSize - 1] = kConstantChecksum;
    return p;
}

void CommandConfigure(sBaseCmd& c, uint8_t activeLed) {
    c[0] = kPacketCommand;
    CommandSetLed(c, activeLed);
    CommandSetDrive(c, kConnectDriveCode);
    CommandSetLf(c, kConnectLfCode);
    CommandSetRecovery(c, true);
    CommandSetPower(c, true);
}

void CommandPowerOff(sBaseCmd& c) {
    CommandSetLed(c, kLedOff);
    CommandSetPower(c, false);
}
