#pragma once
// IHidController over a simulated HID bus: the simulated photoplethysmograph (and any other
// simulated devices) for the program's demo mode and for tests of the transport.
//
// Enumeration lists the devices plugged in at that moment; CheckOut takes one of the last
// enumeration by index (null when it has gone or is already taken). Poll compares what is plugged
// in with what it saw last time (by path and plug-in generation) and reports removals, then
// arrivals; the first Poll reports every present device as an arrival. A device that is unplugged
// and plugged in again between two polls is reported as removed and arrived.
//
// Threads: Enumerate, CheckOut, CheckIn, Poll and SetListener on the main thread (m_lock still
// guards them, so tests may call from elsewhere); transfers on checked-out devices from any thread.

#include "device/IHidController.h"
#include "sim/SimHidBus.h"
#include "sim/SimKestrel.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class SimHidController final : public IHidController {
public:
    // Over a bus shared with the test or the program.
    explicit SimHidController(std::shared_ptr<SimHidBus> bus);
    // Over a bus of its own holding one photoplethysmograph.
    explicit SimHidController(const SimKestrelConfig& config = {});

    const std::shared_ptr<SimHidBus>& Bus() const { return m_bus; }
    // The first photoplethysmograph attached to the bus, or null.
    std::shared_ptr<SimKestrel> Kestrel() const;

    void SetListener(Listener* listener) override;
    void Enumerate(const std::function<bool(IHidDevice& device, int index)>& visit) override;
    std::shared_ptr<IHidDevice> CheckOut(int index) override;
    void CheckIn(const std::shared_ptr<IHidDevice>& device) override;
    void Poll() override;
    std::string ErrorText(int error) const override;

private:
    struct Key {
        std::string path;
        uint64_t generation;
        auto operator<=>(const Key&) const = default;
    };
    std::shared_ptr<IHidDevice> HandleFor(const SimHidBus::Entry& entry); // with m_lock held

    std::shared_ptr<SimHidBus> m_bus;
    std::mutex m_lock; // guards everything below
    Listener* m_listener = nullptr;
    std::map<Key, std::shared_ptr<IHidDevice>> m_handles; // one handle per plug-in, while present
    std::vector<std::shared_ptr<IHidDevice>> m_lastEnumeration;
    std::set<const IHidDevice*> m_taken;
    std::map<Key, std::shared_ptr<IHidDevice>> m_seen; // what the previous Poll saw
    bool m_polled = false;
};

// Text for an errno code, as the transports log it.
std::string SimErrorText(int error);
