#include "acquisition/AutoRegulator.h"

#include "acquisition/DeviceLink.h"
#include "acquisition/DeviceTask.h"
#include "core/Clock.h"
#include "core/MVarArray.h"
#include "core/Settings.h"
#include "device/DeviceState.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr float kMapMax = 4100;
constexpr float kAnchorTop = 4100;   // code 0, full drive
constexpr float kAnchorBottom = 100; // code 255, no drive
constexpr uint32_t kAnchorAfterMs = 20'000;
constexpr uint32_t kAnchorAgeMs = 30'000;

} // namespace

void LearnMap(sApproxMap& map, int k, uint32_t now) {
    sApproxEntry* e = map.e;
    if (k >= 0 && k < 255) {
        const float slope = e[k].level / static_cast<float>(255 - k);
        for (int i = 1; i <= 254; ++i) {
            const int dist = std::abs((i - k) / 2);
            const float w = 1.0f / static_cast<float>(dist + 1);
            const float v = (1.0f - w) * e[i].level + w * static_cast<float>(255 - i) * slope;
            e[i].level = std::clamp(v, 0.0f, kMapMax);
        }
    }
    if (now - e[0].time > kAnchorAfterMs) {
        e[0].level = kAnchorTop;
        e[0].time = now - kAnchorAgeMs;
    }
    if (now - e[255].time > kAnchorAfterMs) {
        e[255].level = kAnchorBottom;
        e[255].time = now - kAnchorAgeMs;
    }
    for (int i = 1; i <= 254; ++i)
        e[i].level = 0.25f * e[i - 1].level + 0.5f * e[i].level + 0.25f * e[i + 1].level;
}

int FindCode(const sApproxMap& map, float target) {
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

cAutoRegulator::cAutoRegulator(IDeviceLink* link, const sSignalStats& stats) : m_link(link), m_stats(stats) {}

sApproxMap& cAutoRegulator::Map(int led) {
    return m_maps[MapIndex(led)];
}

int cAutoRegulator::OnEvent(int id, int count, void* data, int value) {
    m_statusReceived = true;
    return 0;
}

int cAutoRegulator::RandomBit() {
    // A counter through a 32-bit mixer: deterministic for a seed, every bit well stirred.
    m_random += 0x9E3779B9u;
    uint32_t z = m_random;
    z = (z ^ (z >> 16)) * 0x85EBCA6Bu;
    z = (z ^ (z >> 13)) * 0xC2B2AE35u;
    z ^= z >> 16;
    return static_cast<int>(z & 1);
}

void cAutoRegulator::Run() {
    if (!m_statusReceived) return;
    if (m_skip) {
        m_skip = false;
        return;
    }
    m_statusReceived = false;
    bool changed = false;
    const uint32_t now = GetTickCount();
    sBaseCmd& s = GetSavedStatus().Packet();
    cCommandBuffer& c = GetCommandBuffer();

    // Baseline recovery: on while the signal sits at a rail, off once it is back in the middle.
    const float mean = m_stats.mean;
    if (StatusRecoveryActive(s)) {
        if (mean > 1000 && mean < 3000 && now - m_lastRecoveryChange > 1000) {
            c.SetRecovery(false);
            m_lastRecoveryChange = now;
            changed = true;
        }
    } else if ((mean < 50 || mean > 4000) && now - m_lastRecoveryChange > 5000) {
        c.SetRecovery(true);
        m_lastRecoveryChange = now;
        changed = true;
        m_settled = false;
    }

    // Learning.
    const uint8_t led = StatusActiveLed(s);
    sApproxMap& map = Map(led);
    const int k = StatusDriveCode(s);
    const float level = StatusCarrierLevel(s);
    map.e[k].level = level;
    map.e[k].count += 1;
    map.e[k].time = GetTickCount();
    LearnMap(map, k, map.e[k].time);

    // Drive.
    if (AutoLedI) {
        if (level < 2000 || level > 3800) {
            const uint32_t dt = now - m_lastDriveChange;
            int code;
            if (level >= 4000) { // saturated: halve the drive
                code = dt > 2 ? std::min(250, 255 - (255 - k) / 2) + RandomBit() : c.Drive();
                m_settled = false;
            } else {
                code = FindCode(map, kTargetCarrier);
                // After a quiet spell, one-code steps are not worth a disturbance.
                if (code != c.Drive() && dt / 1000 > 3 && std::abs(code - c.Drive()) < 2) code = c.Drive();
            }
            if (code != c.Drive()) {
                c.SetDrive(static_cast<uint8_t>(code));
                m_lastDriveChange = now;
                changed = true;
            }
        }
        if (level < 200 && k < 5) { // full drive and still dark: start again from little drive
            c.SetDrive(250);
            m_settled = false;
            changed = true;
        }
    }

    // The LF code follows the LED.
    if (led != m_lastLed) {
        m_lastLed = led;
        s[kStatusLf] = map.lf;
        c.SetLf(map.lf);
        changed = true;
    } else {
        map.lf = StatusLfCode(s);
    }

    // LF gain: amplitude into 2000...3600, never against a re-centring amplifier.
    if (AutoAmpLF && !StatusRecoveryActive(s)) {
        const int amplitude = std::max(static_cast<int>(m_stats.upper - m_stats.lower), 0);
        const int g = StatusLfCode(s);
        if (amplitude < 2000 && g >= 2) {
            const int step = std::max(std::min(3 * (2000 / (amplitude + 1)), g - 2), 1);
            c.SetLf(static_cast<uint8_t>(g - step));
            changed = true;
        } else if (amplitude > 3600 || m_stats.upper > 4000 || m_stats.lower < 50) {
            if (g == 255) {
                m_settled = true;
            } else {
                const int step = amplitude > 3600 ? std::min(3 * amplitude / 3600, 255 - g) : 1;
                c.SetLf(static_cast<uint8_t>(g + step));
                m_settled = false;
                changed = true;
            }
        } else {
            m_settled = true;
        }
    }

    if (changed && m_link) SendTwice();
}

void cAutoRegulator::SendTwice() {
    cCommandBuffer& c = GetCommandBuffer();
    const int d = c.Lf() < 5 ? 1 : -1;
    c.SetLf(static_cast<uint8_t>(c.Lf() + d));
    StampChecksum(c.Packet());
    m_link->Send(c.Packet());
    c.SetLf(static_cast<uint8_t>(c.Lf() - d));
    StampChecksum(c.Packet());
    m_link->Send(c.Packet());
}

void cAutoRegulator::LoadMaps() {
    const MVarArray* root = GetSettings(true);
    if (!root) return;
    const uint32_t now = GetTickCount();
    for (int m = 0; m < 3; ++m) {
        sApproxMap& map = m_maps[m];
        const MVarArray* sub = root->Find(MVariant(kMapKeys[m]));
        const MVarArray* lf = sub ? sub->Find(MVariant(kLfKey)) : nullptr;
        // A missing code reads as 0, like any setting that was never stored; a damaged one is
        // kept within the code range.
        map.lf = static_cast<uint8_t>(lf ? std::clamp<int32_t>(lf->Value().AsInt(), 0, 255) : 0);
        if (!sub) continue;
        for (int code = 0; code < sApproxMap::kCodes; ++code) {
            const MVarArray* node = sub->Find(MVariant(static_cast<int32_t>(code)));
            if (!node || node->Value().IsEmpty()) continue;
            // A damaged file must not put levels outside the map's range.
            map.e[code].level = static_cast<float>(std::clamp<int32_t>(node->Value().AsInt(), 0, 4100));
            map.e[code].time = now;
        }
    }
}

void cAutoRegulator::SaveMaps() const {
    MVarArray* root = GetSettings(true);
    if (!root) return;
    for (int m = 0; m < 3; ++m) {
        MVarArray& sub = root->Item(MVariant(kMapKeys[m]));
        const sApproxMap& map = m_maps[m];
        for (int code = 0; code < sApproxMap::kCodes; ++code)
            sub.Item(MVariant(static_cast<int32_t>(code))).Value() =
                MVariant(static_cast<double>(map.e[code].level));
        sub.Item(MVariant(kLfKey)).Value() = MVariant(static_cast<int32_t>(map.lf));
    }
}
