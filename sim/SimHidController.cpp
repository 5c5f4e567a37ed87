#include "sim/SimHidController.h"

#include <atomic>
#include <cstring>

namespace {

// A handle on one plug-in of a simulated device.
class SimHidHandle final : public IHidDevice {
public:
    SimHidHandle(std::shared_ptr<SimHidEndpoint> endpoint, uint64_t generation)
        : m_endpoint(std::move(endpoint)), m_generation(generation) {}

    uint16_t VendorId() const override { return m_endpoint->Info().vendorId; }
    uint16_t ProductId() const override { return m_endpoint->Info().productId; }
    std::string Manufacturer() const override { return m_endpoint->Info().manufacturer; }
    std::string Product() const override { return m_endpoint->Info().product; }
    std::string SerialNumber() const override { return m_endpoint->Info().serialNumber; }
    std::string Path() const override { return m_endpoint->Info().path; }
    int FeatureReportLength() const override { return m_endpoint->Info().featureReportLength; }

    bool GetFeature(uint8_t* buf, int len, int* error) override {
        int code = 0;
        const bool ok = m_endpoint->GetFeature(m_generation, buf, len, &code);
        return Result(ok, code, error);
    }
    bool SetFeature(const uint8_t* buf, int len, int* error) override {
        int code = 0;
        const bool ok = m_endpoint->SetFeature(m_generation, buf, len, &code);
        return Result(ok, code, error);
    }
    std::string LastErrorText() const override {
        const int code = m_lastError.load(std::memory_order_relaxed);
        return code ? SimErrorText(code) : std::string();
    }

    bool StillPresent() const {
        uint64_t generation = 0;
        return m_endpoint->PresentAt(&generation) && generation == m_generation;
    }

private:
    bool Result(bool ok, int code, int* error) {
        if (!ok) {
            m_lastError.store(code, std::memory_order_relaxed);
            if (error) *error = code;
        }
        return ok;
    }

    std::shared_ptr<SimHidEndpoint> m_endpoint;
    uint64_t m_generation;
    std::atomic<int> m_lastError{0}; // errno of the last failed transfer
};

// strerror_r comes in two flavours; both end up here.
[[maybe_unused]] const char* PickMessage(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* PickMessage(const char* result, const char*) {
    return result;
}

} // namespace

std::string SimErrorText(int error) {
    char buffer[256] = {};
    const char* text = PickMessage(strerror_r(error, buffer, sizeof buffer), buffer);
    if (!text || !*text) return "Unknown error " + std::to_string(error);
    return text;
}

SimHidController::SimHidController(std::shared_ptr<SimHidBus> bus)
    : m_bus(bus ? std::move(bus) : std::make_shared<SimHidBus>()) {}

SimHidController::SimHidController(const SimKestrelConfig& config) : m_bus(std::make_shared<SimHidBus>()) {
    m_bus->Attach(std::make_shared<SimKestrel>(config));
}

std::shared_ptr<SimKestrel> SimHidController::Kestrel() const {
    for (auto& e : m_bus->Attached())
        if (auto k = std::dynamic_pointer_cast<SimKestrel>(e)) return k;
    return nullptr;
}

void SimHidController::SetListener(Listener* listener) {
    std::lock_guard lock(m_lock);
    m_listener = listener;
}

std::shared_ptr<IHidDevice> SimHidController::HandleFor(const SimHidBus::Entry& entry) {
    const Key key{entry.endpoint->Info().path, entry.generation};
    auto it = m_handles.find(key);
    if (it != m_handles.end()) return it->second;
    auto handle = std::make_shared<SimHidHandle>(entry.endpoint, entry.generation);
    m_handles.emplace(key, handle);
    return handle;
}

void SimHidController::Enumerate(const std::function<bool(IHidDevice& device, int index)>& visit) {
    const auto present = m_bus->Present();
    std::vector<std::shared_ptr<IHidDevice>> list;
    {
        std::lock_guard lock(m_lock);
        for (const auto& entry : present) list.push_back(HandleFor(entry));
        m_lastEnumeration = list;
    }
    // The visitor may check a device out, so no lock is held while it runs.
    for (size_t i = 0; i < list.size(); ++i)
        if (visit && !visit(*list[i], static_cast<int>(i))) break;
}

std::shared_ptr<IHidDevice> SimHidController::CheckOut(int index) {
    std::shared_ptr<IHidDevice> handle;
    {
        std::lock_guard lock(m_lock);
        if (index < 0 || static_cast<size_t>(index) >= m_lastEnumeration.size()) return nullptr;
        handle = m_lastEnumeration[static_cast<size_t>(index)];
    }
    if (!static_cast<SimHidHandle&>(*handle).StillPresent()) return nullptr;
    std::lock_guard lock(m_lock);
    if (!m_taken.insert(handle.get()).second) return nullptr;
    return handle;
}

void SimHidController::CheckIn(const std::shared_ptr<IHidDevice>& device) {
    if (!device) return;
    std::lock_guard lock(m_lock);
    m_taken.erase(device.get());
}

void SimHidController::Poll() {
    const auto present = m_bus->Present();
    Listener* listener = nullptr;
    std::vector<std::shared_ptr<IHidDevice>> removed, arrived;
    {
        std::lock_guard lock(m_lock);
        std::map<Key, std::shared_ptr<IHidDevice>> now;
        for (const auto& entry : present)
            now.emplace(Key{entry.endpoint->Info().path, entry.generation}, HandleFor(entry));
        for (const auto& [key, handle] : m_seen)
            if (!now.count(key)) removed.push_back(handle);
        // Arrivals in bus order.
        for (const auto& entry : present) {
            const Key key{entry.endpoint->Info().path, entry.generation};
            if (!m_polled || !m_seen.count(key)) arrived.push_back(now[key]);
        }
        // Handles of devices that have gone are forgotten (the taken ones live on with their holder).
        for (auto it = m_handles.begin(); it != m_handles.end();) {
            if (!now.count(it->first)) {
                m_taken.erase(it->second.get());
                it = m_handles.erase(it);
            } else {
                ++it;
            }
        }
        m_seen = std::move(now);
        m_polled = true;
        listener = m_listener;
    }
    if (!listener) return;
    for (auto& handle : removed) listener->OnDeviceUnplug(*handle);
    for (auto& handle : arrived) listener->OnDeviceArrival(*handle);
}

std::string SimHidController::ErrorText(int error) const {
    return SimErrorText(error);
}
