#pragma once
// Automatic LED and gain regulation. Every 300 ms, when a status packet has arrived since the
// last step, the regulator:
//  - switches the device's baseline recovery on while the signal mean sits at a rail and off
//    once it is back in the middle;
//  - learns, per LED, a map from drive code to carrier level and uses it to aim the carrier at
//    3400 ADC units in one step whenever it leaves 2000...3800 (halving the drive when the
//    carrier saturates);
//  - remembers the LF code in use with each LED and restores it when the LED changes;
//  - keeps the pulse amplitude (upper - lower envelope) within 2000...3600 with the LF code.
// Each change goes to the device as two commands, the first with the LF code one step off
// towards the middle, the second with the new values.
//
// Codes are device codes: a lower code means more drive or gain (the user sees 255 - code).
//
// Thread: main thread (scheduler task and event delivery).

#include "core/MEventManager.h"
#include "core/MTaskManager.h"

#include <cstdint>

class IDeviceLink;
struct sSignalStats;

// One entry per drive code: the carrier level learned for it.
struct sApproxEntry {
    uint32_t time = 0;  // GetTickCount() of the last measurement or anchoring
    float level = 4000; // carrier level, ADC units
    int count = 0;      // measurements at this code
};

struct sApproxMap {
    static constexpr int kCodes = 256;
    sApproxEntry e[kCodes];
    uint8_t lf = 100; // LF code last used with this LED
};

// Pulls the whole map towards the straight line through the measurement at code k and
// (255, 0), most strongly near k; re-anchors code 0 at 4100 and code 255 at 100 when they have
// not been measured for 20 s; then smooths the map. Single precision throughout.
void LearnMap(sApproxMap& map, int k, uint32_t now);
// The drive code whose learned level lies closest below target, scanning from code 255 (least
// drive) downwards; an unmeasured code that is a multiple of 50 met on the way is returned at
// once so that it gets measured.
int FindCode(const sApproxMap& map, float target);

class cAutoRegulator final : public MTaskBase, public MEventCallback {
public:
    static constexpr float kPeriodMs = 300;
    static constexpr float kTargetCarrier = 3400;

    // Settings keys.
    static constexpr const char* kMapKeys[3] = {"LedIntApproxMap", "LedClipRedApproxMap",
                                                "LedClipIrApproxMap"};
    static constexpr const char* kLfKey = "ResLf";

    // link may be null (no device object: nothing is sent); stats are the decoder's statistics.
    cAutoRegulator(IDeviceLink* link, const sSignalStats& stats);

    // One regulation step.
    void Run() override;
    // Event 1: a status packet has arrived.
    int OnEvent(int id, int count, void* data, int value) override;

    // Levels (every stored code; the others keep theirs) and LF codes from the settings tree.
    void LoadMaps();
    // Levels and LF codes into the settings tree.
    void SaveMaps() const;

    // The map of an LED: 1 internal red, 2 clip red, anything else clip infrared.
    sApproxMap& Map(int led);
    static int MapIndex(int led) { return led == 1 ? 0 : led == 2 ? 1 : 2; }

    // True once the LF regulation found the amplitude in range (or the gain at its lowest);
    // false after it lowered the gain, switched recovery on or saw a saturated carrier.
    bool Settled() const { return m_settled; }
    // The next step does nothing (set when a clip LED is selected: the device needs a moment).
    void SkipNextStep() { m_skip = true; }
    bool SkipPending() const { return m_skip; }
    // Seeds the coin that randomises the drive code after a saturated carrier.
    void SetRandomSeed(uint32_t seed) { m_random = seed; }

    // The two "Авто" switches next to the level gauges: drive (LED current) and LF gain
    // regulation. Turning one off stops only that regulation; learning, the LF code memory and
    // baseline recovery go on.
    bool AutoLedI = true;
    bool AutoAmpLF = true;

private:
    int RandomBit();
    void SendTwice();

    IDeviceLink* m_link;
    const sSignalStats& m_stats;
    sApproxMap m_maps[3]; // internal red, clip red, clip infrared
    bool m_statusReceived = false;
    bool m_skip = false;
    bool m_settled = false;
    int m_lastLed = 0;
    uint32_t m_lastDriveChange = 0;
    uint32_t m_lastRecoveryChange = 0;
    uint32_t m_random = 1;
};
