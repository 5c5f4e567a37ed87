#include "core/MEventManager.h"

#include "core/MAutoPtr.h"

#include <algorithm>
#include <climits>
#include <mutex>
#include <new>

namespace {

// Constant-initialised: usable before dynamic initialisation and destroyed after every static
// object that was built at run time.
MAutoPtr<MEventManager> g_eventManager;
std::mutex g_eventManagerCreation;

} // namespace

MEventCallback::~MEventCallback() {
    if (MEventManager* em = GetEventManager(false)) em->Unsubscribe(this);
}

MEventManager::MEventManager() {
    m_queue.SetCapacity(kQueueCapacity);
    m_tm.AddTask(this, 0, kPeriodMs);
}

MEventManager::~MEventManager() {
    m_tm.RemoveTask(this);
}

MEventContainer* MEventManager::Find(int id) const {
    auto it =
        std::lower_bound(m_containers.begin(), m_containers.end(), id,
                         [](const std::unique_ptr<MEventContainer>& c, int key) { return c->id < key; });
    return (it != m_containers.end() && (*it)->id == id) ? it->get() : nullptr;
}

const MEventContainer* MEventManager::FindContainer(int id) const {
    return Find(id);
}

bool MEventManager::Subscribe(MEventCallback* callback, int id, int priority) {
    try {
        auto it =
            std::lower_bound(m_containers.begin(), m_containers.end(), id,
                             [](const std::unique_ptr<MEventContainer>& c, int key) { return c->id < key; });
        if (it == m_containers.end() || (*it)->id != id)
            it = m_containers.insert(it, std::make_unique<MEventContainer>(id));
        MEventContainer& c = **it;

        // After the last entry with a priority <= the new one: equal priorities keep subscription order.
        auto pos =
            std::upper_bound(c.entries.begin(), c.entries.end(), priority,
                             [](int p, const MEventContainer::s_evcbinfo& e) { return p < e.priority; });
        const int index = static_cast<int>(pos - c.entries.begin());
        c.entries.insert(pos, MEventContainer::s_evcbinfo{callback, priority});
        // Inserted before the listener being called: keep pointing at the same listener.
        if (&c == m_delivering && index <= m_deliverIndex) ++m_deliverIndex;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void MEventManager::Unsubscribe(MEventCallback* callback) {
    for (const auto& c : m_containers) {
        auto it =
            std::find_if(c->entries.begin(), c->entries.end(),
                         [callback](const MEventContainer::s_evcbinfo& e) { return e.callback == callback; });
        if (it == c->entries.end()) continue;
        const int index = static_cast<int>(it - c->entries.begin());
        c->entries.erase(it);
        // Removed at or before the listener being called: the next one moved down by one slot,
        // so step back to neither skip it nor call anybody twice.
        if (c.get() == m_delivering && index <= m_deliverIndex) --m_deliverIndex;
    }
}

void MEventManager::Raise(int id, void* data, int value) {
    MAutoLock lock(m_queue.Lock());
    MEventRaiseInfo* same = m_queue.FindPending(
        [&](const MEventRaiseInfo& e) { return e.id == id && e.data == data && e.value == value; });
    if (same) {
        if (same->count < INT32_MAX) ++same->count;
        return;
    }
    m_queue.Push(MEventRaiseInfo{id, 1, data, value});
}

void MEventManager::Run() {
    if (m_running) return; // a listener that runs the scheduler again must not re-enter delivery
    m_running = true;
    MEventRaiseInfo ev;
    while (m_queue.TryPop(ev)) {
        MEventContainer* c = Find(ev.id);
        if (!c) continue; // nobody listens: dropped
        m_delivering = c;
        for (m_deliverIndex = 0; m_deliverIndex < c->Count(); ++m_deliverIndex)
            c->entries[static_cast<size_t>(m_deliverIndex)].callback->OnEvent(ev.id, ev.count, ev.data,
                                                                              ev.value);
        m_delivering = nullptr;
    }
    m_running = false;
}

MEventManager* GetEventManager(bool create) {
    MEventManager* em = g_eventManager.Get();
    if (em || !create) return em;
    std::lock_guard lock(g_eventManagerCreation);
    em = g_eventManager.Get();
    if (!em) {
        em = new (std::nothrow) MEventManager;
        g_eventManager.Reset(em);
    }
    return em;
}

void ShutdownEventManager() {
    std::lock_guard lock(g_eventManagerCreation);
    g_eventManager.Reset(nullptr);
}
