#pragma once
// Small numeric thread ids and a per-thread "alive" flag. Ids count up from 1 and are never
// reused within a process, so an id held in a lock or a list cannot be confused with a later
// thread. The alive flag turns false when the thread's thread-local storage is destroyed at thread
// exit; locks keep a reference to it to notice holders that ended without unlocking.

#include <atomic>
#include <cstdint>
#include <memory>

using MThreadAliveFlag = std::shared_ptr<const std::atomic<bool>>;

// Id of the calling thread (assigned on first use; never 0).
uint32_t CurrentThreadId();
// Alive flag of the calling thread.
MThreadAliveFlag CurrentThreadAlive();

namespace thread_id_detail {
// A fresh id for a thread that is about to start; the new thread adopts it with AdoptThreadId
// before anything else asks for its id, so that the starter knows the id at once.
uint32_t ReserveThreadId();
void AdoptThreadId(uint32_t id);
} // namespace thread_id_detail
