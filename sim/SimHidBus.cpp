#include "sim/SimHidBus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

SimHidEndpoint::SimHidEndpoint(SimHidInfo info) : m_info(std::move(info)) {}

bool SimHidEndpoint::Present() const {
    std::lock_guard lock(m_lock);
    return m_present;
}

uint64_t SimHidEndpoint::Generation() const {
    std::lock_guard lock(m_lock);
    return m_generation;
}

bool SimHidEndpoint::PresentAt(uint64_t* generation) const {
    std::lock_guard lock(m_lock);
    if (generation) *generation = m_generation;
    return m_present;
}

void SimHidEndpoint::Plug() {
    std::lock_guard lock(m_lock);
    if (m_present) return;
    BeforePlugChangeLocked();
    m_present = true;
    ++m_generation;
    OnPlugLocked();
}

void SimHidEndpoint::Unplug() {
    std::lock_guard lock(m_lock);
    if (!m_present) return;
    BeforePlugChangeLocked();
    m_present = false;
    OnUnplugLocked();
}

bool SimGenericHid::GetFeature(uint64_t generation, uint8_t* buf, int len, int* error) {
    std::lock_guard lock(m_lock);
    int code = 0;
    if (!ValidLocked(generation))
        code = ENODEV;
    else if (Info().featureReportLength <= 0)
        code = EPIPE;
    else if (!buf || len < 1)
        code = EINVAL;
    if (code) {
        if (error) *error = code;
        return false;
    }
    std::memset(buf + 1, 0, static_cast<size_t>(len - 1));
    return true;
}

bool SimGenericHid::SetFeature(uint64_t generation, const uint8_t* buf, int len, int* error) {
    std::lock_guard lock(m_lock);
    int code = 0;
    if (!ValidLocked(generation))
        code = ENODEV;
    else if (Info().featureReportLength <= 0)
        code = EPIPE;
    else if (!buf || len < 1)
        code = EINVAL;
    if (code) {
        if (error) *error = code;
        return false;
    }
    return true;
}

SimHidInfo SimGenericHid::MouseInfo(const std::string& path) {
    SimHidInfo info;
    info.vendorId = 0x046D;
    info.productId = 0xC077;
    info.manufacturer = "Logitech";
    info.product = "USB Optical Mouse";
    info.path = path;
    info.usagePage = 0x01;
    info.usage = 0x02;
    return info;
}

void SimHidBus::Attach(std::shared_ptr<SimHidEndpoint> endpoint) {
    if (!endpoint) return;
    std::shared_ptr<SimHidEndpoint> replaced;
    {
        std::lock_guard lock(m_lock);
        auto it = std::find_if(m_endpoints.begin(), m_endpoints.end(),
                               [&](const auto& e) { return e->Info().path == endpoint->Info().path; });
        if (it != m_endpoints.end()) {
            if (*it == endpoint) return;
            replaced = *it;
            m_endpoints.erase(it);
        }
        m_endpoints.push_back(std::move(endpoint));
    }
    if (replaced) replaced->Unplug();
}

void SimHidBus::Detach(const SimHidEndpoint* endpoint) {
    std::shared_ptr<SimHidEndpoint> removed;
    {
        std::lock_guard lock(m_lock);
        auto it = std::find_if(m_endpoints.begin(), m_endpoints.end(),
                               [&](const auto& e) { return e.get() == endpoint; });
        if (it == m_endpoints.end()) return;
        removed = *it;
        m_endpoints.erase(it);
    }
    removed->Unplug();
}

void SimHidBus::DetachAll() {
    std::vector<std::shared_ptr<SimHidEndpoint>> removed;
    {
        std::lock_guard lock(m_lock);
        removed.swap(m_endpoints);
    }
    for (auto& e : removed) e->Unplug();
}

std::vector<std::shared_ptr<SimHidEndpoint>> SimHidBus::Attached() const {
    std::lock_guard lock(m_lock);
    return m_endpoints;
}

std::vector<SimHidBus::Entry> SimHidBus::Present() const {
    std::vector<Entry> out;
    for (auto& e : Attached()) {
        uint64_t generation = 0;
        if (e->PresentAt(&generation)) out.push_back({e, generation});
    }
    return out;
}

std::shared_ptr<SimHidEndpoint> SimHidBus::FindPresent(const std::string& path) const {
    for (auto& e : Attached())
        if (e->Info().path == path && e->Present()) return e;
    return nullptr;
}
