#pragma once
// A simulated HID bus: the devices a simulated controller (SimHidController) or the fake hid_*
// library can see. A device on the bus is listed while it is plugged in. Every plug-in starts a
// new generation: a handle opened before an unplug keeps failing with ENODEV after a re-plug, as
// an old hidraw file descriptor would.
//
// Threads: every member may be called from any thread. Each endpoint guards its own state with its
// own lock; the bus guards its list with another. No code holds both at once.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct SimHidInfo {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string manufacturer;    // UTF-8
    std::string product;         // UTF-8
    std::string serialNumber;    // UTF-8
    std::string path;            // unique on the bus
    int featureReportLength = 0; // including the report id byte; 0 = no feature reports
    uint16_t releaseNumber = 0x0100;
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    int interfaceNumber = 0;
};

class SimHidEndpoint {
public:
    explicit SimHidEndpoint(SimHidInfo info);
    virtual ~SimHidEndpoint() = default;
    SimHidEndpoint(const SimHidEndpoint&) = delete;
    SimHidEndpoint& operator=(const SimHidEndpoint&) = delete;

    // Fixed at construction.
    const SimHidInfo& Info() const { return m_info; }

    bool Present() const;
    // Changes at every plug-in; handles remember the generation they were opened at.
    uint64_t Generation() const;
    // Both at once: true and the generation when plugged in.
    bool PresentAt(uint64_t* generation) const;
    void Plug();
    void Unplug();

    // Feature report transfers through a handle opened at `generation`. buf[0] is the report id.
    // On failure *error holds an errno code (ENODEV when the device is gone or was re-plugged).
    virtual bool GetFeature(uint64_t generation, uint8_t* buf, int len, int* error) = 0;
    virtual bool SetFeature(uint64_t generation, const uint8_t* buf, int len, int* error) = 0;

    // Generation 0 in a transfer means "whatever is plugged in now".
    static constexpr uint64_t kCurrentGeneration = 0;

protected:
    // Called with m_lock held: before the plug state changes, and after it has changed.
    virtual void BeforePlugChangeLocked() {}
    virtual void OnPlugLocked() {}
    virtual void OnUnplugLocked() {}
    // With m_lock held: the device is present and still at `generation` (or 0 for any).
    bool ValidLocked(uint64_t generation) const {
        return m_present && (generation == kCurrentGeneration || generation == m_generation);
    }
    bool PresentLocked() const { return m_present; }

    mutable std::mutex m_lock; // guards the plug state here and the derived device's state

private:
    const SimHidInfo m_info;
    bool m_present = true;
    uint64_t m_generation = 1;
};

// Any HID device that is not the photoplethysmograph (a mouse, a keyboard, a look-alike with other
// strings). With a feature report length it answers every GetFeature with an empty (type 0)
// report and accepts every SetFeature; without one, both fail with EPIPE.
class SimGenericHid final : public SimHidEndpoint {
public:
    explicit SimGenericHid(SimHidInfo info) : SimHidEndpoint(std::move(info)) {}

    bool GetFeature(uint64_t generation, uint8_t* buf, int len, int* error) override;
    bool SetFeature(uint64_t generation, const uint8_t* buf, int len, int* error) override;

    // A USB mouse: vendor 0x046D, product 0xC077, no feature reports.
    static SimHidInfo MouseInfo(const std::string& path);
};

class SimHidBus {
public:
    struct Entry {
        std::shared_ptr<SimHidEndpoint> endpoint;
        uint64_t generation = 0;
    };

    // Connects a device to the bus; it is listed while it is plugged in. A device whose path is
    // already on the bus replaces the earlier one.
    void Attach(std::shared_ptr<SimHidEndpoint> endpoint);
    // Removes a device for good (it is unplugged, so open handles fail).
    void Detach(const SimHidEndpoint* endpoint);
    void DetachAll();

    // The devices plugged in now, in the order they were attached.
    std::vector<Entry> Present() const;
    // A plugged-in device by path, or null.
    std::shared_ptr<SimHidEndpoint> FindPresent(const std::string& path) const;
    // Every attached device, plugged in or not.
    std::vector<std::shared_ptr<SimHidEndpoint>> Attached() const;

private:
    mutable std::mutex m_lock; // guards m_endpoints
    std::vector<std::shared_ptr<SimHidEndpoint>> m_endpoints;
};
