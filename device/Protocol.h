#pragma once
// The photoplethysmograph's packet protocol: fixed 32-byte packets carried in HID feature reports.
// Byte 0 is the packet type ("ComId" in log lines), byte 31 its checksum; multi-byte fields are
// little-endian. The device sends sample packets (type 5) and status packets (type 6); the host
// sends one kind of command packet (type 4) that always carries every setting.

#include <cstddef>
#include <cstdint>

inline constexpr int kPacketSize = 32;
// A feature report is the report id byte followed by one packet; devices may report more bytes.
inline constexpr int kMinFeatureReportLength = kPacketSize + 1;

// Packet types.
inline constexpr uint8_t kPacketNone = 0;    // nothing to read; not checksum-tested
inline constexpr uint8_t kPacketUnused2 = 2; // tested, then dropped by the reader
inline constexpr uint8_t kPacketUnused3 = 3; // tested, then dropped by the reader
inline constexpr uint8_t kPacketCommand = 4; // host -> device
inline constexpr uint8_t kPacketSamples = 5; // 28 samples of the pulse wave
inline constexpr uint8_t kPacketStatus = 6;  // LED, drive, gain, carrier level
inline constexpr uint8_t kPacketUnused8 = 8; // passed on, ignored by the decoder

// Checksum of every packet type without a rule of its own.
inline constexpr uint8_t kConstantChecksum = 0xAB;

struct sBaseCmd {
    uint8_t data[kPacketSize] = {};

    uint8_t& operator[](size_t i) { return data[i]; }
    const uint8_t& operator[](size_t i) const { return data[i]; }
    uint8_t Type() const { return data[0]; }
    uint8_t Checksum() const { return data[kPacketSize - 1]; }

    friend bool operator==(const sBaseCmd&, const sBaseCmd&) = default;
};
static_assert(sizeof(sBaseCmd) == kPacketSize);

// ---- checksums --------------------------------------------------------------------------------------

// The checksum the device computes for the packet's type. Type 4: XOR of bytes 0..5. Type 5: sum
// mod 256 of the serial (byte 1 bits 0-5), the tag (byte 1 bits 6-7), byte 2 and bytes 4..30
// (byte 3 is not covered). Type 6: XOR of bytes 0..4 and 6..8 (byte 5 is not covered). Others: 0xAB.
uint8_t PacketChecksum(const sBaseCmd& p);
inline bool PacketChecksumValid(const sBaseCmd& p) {
    return PacketChecksum(p) == p.Checksum();
}
// The command rule (XOR of bytes 0..5) whatever byte 0 holds: what the transport stamps on a send.
inline uint8_t CommandChecksum(const sBaseCmd& p) {
    return static_cast<uint8_t>(p[0] ^ p[1] ^ p[2] ^ p[3] ^ p[4] ^ p[5]);
}
// Stores the checksum into byte 31.
inline void StampChecksum(sBaseCmd& p) {
    p[kPacketSize - 1] = PacketChecksum(p);
}

// What the reader does with a packet it has read from the device.
enum class ReceiveAction {
    Ignore,        // type 0: no packet
    ChecksumError, // checksum mismatch: log and drop
    Drop,          // types 2 and 3: valid but unused by the host
    Queue,         // everything else: hand to the decoder
};
ReceiveAction ClassifyReceived(const sBaseCmd& p);

// ---- sample packet (type 5) ---------------------------------------------------------------------

inline constexpr int kSamplesPerPacket = 28;
inline constexpr int kSerialModulo = 64;
inline constexpr double kAdcFullScale = 4095.0;
inline constexpr double kSamplePeriod = 0.002; // seconds, 500 samples per second

inline uint8_t SampleSerial(const sBaseCmd& p) {
    return p[1] & 0x3F;
}
inline uint8_t SampleTag(const sBaseCmd& p) {
    return p[1] >> 6;
}
inline uint16_t SampleFirstValue(const sBaseCmd& p) {
    return static_cast<uint16_t>(p[2] | (p[3] << 8));
}

// One packet's samples. The running value is kept in double precision and is not clamped: a value
// that leaves 0..4095 is passed on as it is.
struct sPacketSamples {
    double adc[kSamplesPerPacket];    // running value, ADC units
    double scaled[kSamplesPerPacket]; // adc / 4095
    uint16_t raw[kSamplesPerPacket];  // adc converted to a 16-bit integer (negative values wrap)
};

// Rebuilds the 28 samples from the first value and the 27 signed differences.
void ReconstructSamples(const sBaseCmd& p, sPacketSamples& out);
// A block of 28 copies of `value` (stands in for a lost packet).
void FillSamples(double value, sPacketSamples& out);

// Builds a sample packet with a valid checksum; diffs holds 27 differences.
sBaseCmd MakeSamplePacket(uint8_t serial, uint8_t tag, uint16_t first, const int8_t* diffs);

// ---- status packet (type 6) ---------------------------------------------------------------------

inline constexpr size_t kStatusDrive = 1;    // carrier (LED drive) control code; user sees 255 - code
inline constexpr size_t kStatusLf = 2;       // LF amplifier control code; user sees 255 - code
inline constexpr size_t kStatusLed = 3;      // active LED
inline constexpr size_t kStatusCarrier = 4;  // uint16 at 4..5, ADC units
inline constexpr size_t kStatusClip = 6;     // non-zero when the clip sensor is attached
inline constexpr size_t kStatusRecovery = 8; // non-zero while the device re-centres the baseline

inline uint8_t StatusDriveCode(const sBaseCmd& p) {
    return p[kStatusDrive];
}
inline uint8_t StatusLfCode(const sBaseCmd& p) {
    return p[kStatusLf];
}
inline uint8_t StatusActiveLed(const sBaseCmd& p) {
    return p[kStatusLed];
}
inline uint16_t StatusCarrierLevel(const sBaseCmd& p) {
    return static_cast<uint16_t>(p[kStatusCarrier] | (p[kStatusCarrier + 1] << 8));
}
inline bool StatusClipPresent(const sBaseCmd& p) {
    return p[kStatusClip] != 0;
}
inline bool StatusRecoveryActive(const sBaseCmd& p) {
    return p[kStatusRecovery] != 0;
}

struct sStatusFields {
    uint8_t driveCode = 0;
    uint8_t lfCode = 0;
    uint8_t activeLed = 0;
    uint16_t carrierLevel = 0;
    bool clipPresent = false;
    bool recoveryActive = false;
};
// Builds a status packet with a valid checksum.
sBaseCmd MakeStatusPacket(const sStatusFields& f);

// LED numbers (status byte 3, command byte 1).
inline constexpr uint8_t kLedOff = 0; // command only: all LEDs off
inline constexpr uint8_t kLedInternalRed = 1;
inline constexpr uint8_t kLedClipRed = 2;
inline constexpr uint8_t kLedClipInfrared = 3;
inline constexpr uint8_t kLedNeverReported = 5; // initial saved status: the first status packet is a change
inline constexpr uint8_t kLedForceChange = 255; // set to force a change on the next status packet

// Type 6, LED 5, checksum 0xAB, zeros elsewhere: what the decoder holds before the first status packet.
sBaseCmd InitialStatusPacket();

// ---- command packet (type 4) --------------------------------------------------------------------

inline constexpr size_t kCmdLed = 1;      // active LED, 0 = all off
inline constexpr size_t kCmdDrive = 2;    // carrier (LED drive) control code
inline constexpr size_t kCmdLf = 3;       // LF amplifier control code
inline constexpr size_t kCmdRecovery = 4; // baseline recovery request, 1 on / 0 off
inline constexpr size_t kCmdPower = 5;    // 1 on / 0 off

inline constexpr uint8_t kConnectDriveCode = 250;
inline constexpr uint8_t kConnectLfCode = 50;

// Type 4, checksum 0xAB, zeros elsewhere: the command buffer before the first configuration.
sBaseCmd InitialCommandPacket();

inline void CommandSetLed(sBaseCmd& c, uint8_t led) {
    c[kCmdLed] = led;
}
inline void CommandSetDrive(sBaseCmd& c, uint8_t code) {
    c[kCmdDrive] = code;
}
inline void CommandSetLf(sBaseCmd& c, uint8_t code) {
    c[kCmdLf] = code;
}
inline void CommandSetRecovery(sBaseCmd& c, bool on) {
    c[kCmdRecovery] = on ? 1 : 0;
}
inline void CommandSetPower(sBaseCmd& c, bool on) {
    c[kCmdPower] = on ? 1 : 0;
}
// The settings sent when a device has just been connected: the LED, drive 250, LF 50, recovery
// and power on.
void CommandConfigure(sBaseCmd& c, uint8_t activeLed);
// All LEDs and the power off: sent before the device is released.
void CommandPowerOff(sBaseCmd& c);
