#pragma once
// A small host for driving the simulated photoplethysmograph in tests: a decoder that checks
// packets the way the program's reader and decoder do and keeps the same running signal
// statistics, and a stand-in for the program's automatic LED and gain regulation, so the closed
// loop can be tried without the acquisition module.

#include "device/Protocol.h"
#include "sim/SimKestrel.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace simtest {

struct HostDecoder {
    // Counts.
    int samplePackets = 0;
    int statusPackets = 0;
    int checksumErrors = 0;
    int duplicates = 0;
    int missing = 0; // serials skipped
    // Signal statistics as the program keeps them (ADC units).
    float mean = 0, upper = 0, lower = 0;
    sBaseCmd status = InitialStatusPacket();
    bool statusReceived = false;
    bool haveSerial = false;
    int lastSerial = 0;
    std::vector<double> samples; // every reconstructed sample, in order (gaps not filled)
    bool keepSamples = false;

    void Take(const sBaseCmd& p) {
        switch (ClassifyReceived(p)) {
            case ReceiveAction::Ignore:
            case ReceiveAction::Drop:
                return;
            case ReceiveAction::ChecksumError:
                ++checksumErrors;
                return;
            case ReceiveAction::Queue:
                break;
        }
        if (p.Type() == kPacketStatus) {
            status = p;
            statusReceived = true;
            ++statusPackets;
            return;
        }
        if (p.Type() != kPacketSamples) return;
        const int serial = SampleSerial(p);
        if (haveSerial && serial == lastSerial) {
            ++duplicates;
            return;
        }
        if (haveSerial) missing += (serial - lastSerial - 1 + kSerialModulo) % kSerialModulo;
        haveSerial = true;
        lastSerial = serial;
        ++samplePackets;
        sPacketSamples s;
        ReconstructSamples(p, s);
        for (int k = 0; k < kSamplesPerPacket; ++k) {
            if (keepSamples) samples.push_back(s.adc[k]);
            if (k == 0 || s.raw[k] > 4095) continue;
            const float r = s.raw[k];
            mean = 0.99f * mean + 0.01f * r;
            upper -= 0.3f;
            lower += 0.3f;
            if (r > upper) upper = r;
            if (r < lower) lower = r;
        }
    }

    // Reads everything the device has queued.
    void Drain(SimKestrel& device) {
        sBaseCmd p;
        while (device.ReadPacket(&p)) Take(p);
    }

    int Amplitude() const { return static_cast<int>(upper - lower); }
};

// Stand-in for the program's regulator: learns a drive-to-carrier map per LED, aims the carrier
// at 3400 (accepting 2000..3800), the pulse amplitude at 2000..3600 and switches baseline recovery
// on while the signal sits at a rail.
class StandInRegulator {
public:
    struct MapEntry {
        uint32_t time = 0;
        float level = 4000;
        int count = 0;
    };
    struct Map {
        MapEntry e[256];
        uint8_t lf = 100;
    };

    sBaseCmd command = InitialCommandPacket();
    bool settled = false;

    void Connect(SimKestrel& device, uint8_t led) {
        CommandConfigure(command, led);
        Send(device);
    }

    void Step(SimKestrel& device, HostDecoder& host, uint32_t now) {
        if (!host.statusReceived) return;
        host.statusReceived = false;
        sBaseCmd& s = host.status;
        bool changed = false;
        const float m = host.mean;
        if (s[kStatusRecovery]) {
            if (m > 1000 && m < 3000 && now - m_lastRecovery > 1000) {
                command[kCmdRecovery] = 0;
                m_lastRecovery = now;
                changed = true;
            }
        } else if ((m < 50 || m > 4000) && now - m_lastRecovery > 5000) {
            command[kCmdRecovery] = 1;
            m_lastRecovery = now;
            changed = true;
            settled = false;
        }

        Map& map = m_maps[s[kStatusLed] == 1 ? 0 : s[kStatusLed] == 2 ? 1 : 2];
        const int k = s[kStatusDrive];
        const float level = StatusCarrierLevel(s);
        map.e[k].level = level;
        map.e[k].count += 1;
        map.e[k].time = now;
        LearnMap(map, k, now);

        if (level < 2000 || level > 3800) {
            const uint32_t dt = now - m_lastDrive;
            int code;
            if (level >= 4000) {
                code = dt > 2 ? std::min(250, 255 - (255 - k) / 2) + static_cast<int>(m_coin++ & 1)
                              : command[kCmdDrive];
                settled = false;
            } else {
                code = FindCode(map, 3400);
                if (code != command[kCmdDrive] && dt / 1000 > 3 && std::abs(code - command[kCmdDrive]) < 2)
                    code = command[kCmdDrive];
            }
            if (code != command[kCmdDrive]) {
                command[kCmdDrive] = static_cast<uint8_t>(code);
                m_lastDrive = now;
                changed = true;
            }
        }
        if (level < 200 && k < 5) {
            command[kCmdDrive] = 250;
            settled = false;
            changed = true;
        }

        if (s[kStatusLed] != m_lastLed) {
            m_lastLed = s[kStatusLed];
            s[kStatusLf] = command[kCmdLf] = map.lf;
            changed = true;
        } else {
            map.lf = s[kStatusLf];
        }

        if (!s[kStatusRecovery]) {
            const int a = static_cast<int>(host.upper - host.lower);
            const int g = s[kStatusLf];
            if (a < 2000 && g >= 2) {
                int step = 3 * (2000 / (a + 1));
                step = std::max(1, std::min(step, g - 2));
                command[kCmdLf] = static_cast<uint8_t>(g - step);
                changed = true;
            } else if (a > 3600 || host.upper > 4000 || host.lower < 50) {
                if (g == 255) {
                    settled = true;
                } else {
                    const int step = a > 3600 ? std::min(3 * a / 3600, 255 - g) : 1;
                    command[kCmdLf] = static_cast<uint8_t>(g + step);
                    settled = false;
                    changed = true;
                }
            } else {
                settled = true;
            }
        }

        if (changed) {
            const int d = command[kCmdLf] < 5 ? 1 : -1;
            command[kCmdLf] = static_cast<uint8_t>(command[kCmdLf] + d);
            Send(device);
            command[kCmdLf] = static_cast<uint8_t>(command[kCmdLf] - d);
            Send(device);
        }
    }

private:
    void Send(SimKestrel& device) {
        StampChecksum(command);
        device.WriteCommand(command);
    }

    static void LearnMap(Map& map, int k, uint32_t now) {
        if (k < 255) {
            const float slope = map.e[k].level / static_cast<float>(255 - k);
            for (int i = 1; i <= 254; ++i) {
                const int e = std::abs((i - k) / 2);
                const float w = 1.0f / static_cast<float>(e + 1);
                float v = (1 - w) * map.e[i].level + w * static_cast<float>(255 - i) * slope;
                map.e[i].level = std::fmin(std::fmax(v, 0.0f), 4100.0f);
            }
        }
        if (now - map.e[0].time > 20000) {
            map.e[0].level = 4100;
            map.e[0].time = now - 30000;
        }
        if (now - map.e[255].time > 20000) {
            map.e[255].level = 100;
            map.e[255].time = now - 30000;
        }
        for (int i = 1; i <= 254; ++i)
            map.e[i].level = 0.25f * map.e[i - 1].level + 0.5f * map.e[i].level + 0.25f * map.e[i + 1].level;
    }

    static int FindCode(const Map& map, float target) {
        int best = 0;
        float bestDiff = 100000;
        for (int i = 255; i >= 0; --i) {
            if (map.e[i].count == 0 && i % 50 == 0) return i;
            const float diff = target - map.e[i].level;
            if (diff > 0 && diff < bestDiff) {
                best = i;
                bestDiff = diff;
            }
            if (diff < 0) return best;
        }
        return best;
    }

    Map m_maps[3];
    int m_lastLed = 0;
    uint32_t m_lastDrive = 0;
    uint32_t m_lastRecovery = 0;
    uint32_t m_coin = 0;
};

} // namespace simtest
