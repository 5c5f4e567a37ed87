#pragma once
// Control of the fake hidapi library (corvina_fakehid): the hid_* functions of hidapi 0.13,
// served by a process-wide simulated HID bus instead of the kernel. A test links it in place of
// libhidapi-hidraw and shapes the bus through these functions.
//
// Start state (and after Reset()): one simulated photoplethysmograph, seed 1, paced by the process
// clock (core/Clock.h), plugged in. hid_* handles keep the plug-in they were opened at: after an
// unplug their transfers fail (hid_error: "No such device") even once the device is back; open it
// again.
//
// Threads: every function here and every hid_* function may be called from any thread.

#include "sim/SimHidBus.h"
#include "sim/SimKestrel.h"

#include <memory>

namespace fakehid {

// The bus behind the hid_* functions.
std::shared_ptr<SimHidBus> Bus();

// Back to the start state with one photoplethysmograph made from `config`; hid_init works again.
void Reset(const SimKestrelConfig& config = {});
// Removes every device from the bus.
void Clear();

// The first photoplethysmograph attached to the bus (plugged in or not), or null. Faults,
// pacing, clip and the true beats are reached through it.
std::shared_ptr<SimKestrel> Kestrel();
// Adds another photoplethysmograph; a path already on the bus gets a numbered one instead.
std::shared_ptr<SimKestrel> AddKestrel(SimKestrelConfig config);
// Adds any other device (see SimGenericHid), for example SimGenericHid::MouseInfo(path).
std::shared_ptr<SimGenericHid> AddDevice(const SimHidInfo& info);

// Unplugs / re-plugs the first photoplethysmograph.
void UnplugKestrel();
void PlugKestrel();

// Makes hid_init fail (returns -1) while set.
void SetInitFails(bool fails);
// hid_device handles opened and not yet closed.
int OpenHandles();

} // namespace fakehid
