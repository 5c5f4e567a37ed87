#pragma once
// Publish/subscribe hub with deferred delivery. Raising an event only queues it; the manager's
// scheduler task (every 5 ms, main thread) delivers the queue in raising order to the listeners of
// each event id, in ascending priority. An event raised again while an identical one (same id,
// data and value) is still queued is merged into it and delivered once with a repeat count.

#include "core/MTaskManager.h"
#include "core/RingedQueueT.h"

#include <cstdint>
#include <memory>
#include <vector>

// A listener. The destructor unsubscribes it from every event.
class MEventCallback {
public:
    MEventCallback() = default;
    MEventCallback(const MEventCallback&) = delete;
    MEventCallback& operator=(const MEventCallback&) = delete;
    // count: how many identical raisings were merged into this delivery. The result is ignored.
    virtual int OnEvent(int id, int count, void* data, int value) = 0;
    virtual ~MEventCallback();
};

// One queued event.
struct MEventRaiseInfo {
    int32_t id = 0;
    int32_t count = 0; // merged raisings, starts at 1
    void* data = nullptr;
    int32_t value = 0;
};

// The listeners of one event id, in calling order.
class MEventContainer {
public:
    struct s_evcbinfo {
        MEventCallback* callback = nullptr; // not owned
        int priority = 0;                   // smaller is called earlier
    };

    explicit MEventContainer(int eventId) : id(eventId) {}
    int Count() const { return static_cast<int>(entries.size()); }

    std::vector<s_evcbinfo> entries; // sorted by priority; equal priorities in subscription order
    int id;
};

class MEventManager final : public MTaskBase {
public:
    static constexpr int kQueueCapacity = 500;
    static constexpr float kPeriodMs = 5;

    // Adds itself to the scheduler with a period of 5 ms.
    MEventManager();
    ~MEventManager() override;

    // Main thread. No duplicate check: subscribing twice delivers each event twice. False only when
    // memory runs out.
    bool Subscribe(MEventCallback* callback, int id, int priority);
    // Main thread. Removes the first entry of callback in every container; unknown listeners are ignored.
    void Unsubscribe(MEventCallback* callback);
    // Any thread. Merges with an identical pending event or queues a new one; when the queue is
    // full, the pending events are discarded and this one is kept.
    void Raise(int id, void* data, int value);
    // Main thread: delivers until the queue is empty, including events raised during delivery.
    void Run() override;

    int Pending() { return m_queue.Count(); }
    // Listeners of id, or null when nobody ever subscribed to it. Main thread.
    const MEventContainer* FindContainer(int id) const;

private:
    MEventContainer* Find(int id) const;

    // Sorted by id; a container lives as long as the manager. Main thread only.
    std::vector<std::unique_ptr<MEventContainer>> m_containers;
    // Pending events; guarded by its own lock, touched from any thread.
    RingedQueueT<MEventRaiseInfo> m_queue;
    // Delivery in progress (main thread): the container being called and the index of the listener
    // being called, kept right when listeners subscribe or unsubscribe from inside OnEvent.
    bool m_running = false;
    MEventContainer* m_delivering = nullptr;
    int m_deliverIndex = 0;
};

// The process-wide manager. create = true constructs it on first use; create = false returns the
// existing one or null (also after ShutdownEventManager and at program end).
MEventManager* GetEventManager(bool create);

// Destroys the process-wide manager (pending events are dropped). Called at program end, before the
// scheduler stops; never from inside a delivery. A later GetEventManager(true) builds a new one.
void ShutdownEventManager();
