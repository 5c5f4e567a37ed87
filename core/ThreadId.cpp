#include "core/ThreadId.h"

namespace {

std::atomic<uint32_t> g_nextThreadId{1};

struct ThreadIdentity {
    uint32_t id = 0;
    std::shared_ptr<std::atomic<bool>> alive;

    ~ThreadIdentity() {
        if (alive) alive->store(false, std::memory_order_release);
    }
};

thread_local ThreadIdentity t_identity;

uint32_t NextId() {
    uint32_t id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    if (id == 0) id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed); // after 2^32 threads
    return id;
}

} // namespace

uint32_t CurrentThreadId() {
    if (t_identity.id == 0) t_identity.id = NextId();
    return t_identity.id;
}

MThreadAliveFlag CurrentThreadAlive() {
    if (!t_identity.alive) t_identity.alive = std::make_shared<std::atomic<bool>>(true);
    return t_identity.alive;
}

namespace thread_id_detail {

uint32_t ReserveThreadId() {
    return NextId();
}

void AdoptThreadId(uint32_t id) {
    if (t_identity.id == 0) t_identity.id = id;
}

} // namespace thread_id_detail
