#include "core/ThreadManager.h"

#include "core/ThreadId.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace {

// The state of the managed thread running on this thread, null elsewhere.
thread_local const MThreadState* t_currentThread = nullptr;

} // namespace

// ---- MThreadState ----

bool MThreadState::SetExitCode(int code) {
    int running = kStillActive;
    return m_exitCode.compare_exchange_strong(running, code, std::memory_order_acq_rel);
}

bool MThreadState::WaitStarted() {
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return m_released || m_cancelled; });
    return !m_cancelled;
}

bool MThreadState::Resume() {
    {
        std::lock_guard lock(m_mutex);
        if (m_released || m_cancelled) return false;
        m_released = true;
    }
    m_cv.notify_all();
    return true;
}

bool MThreadState::Cancel() {
    {
        std::lock_guard lock(m_mutex);
        if (m_released || m_cancelled) return false;
        m_cancelled = true;
    }
    m_cv.notify_all();
    return true;
}

bool MThreadState::WaitFinished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [this] { return m_finished.load(std::memory_order_acquire); });
}

void MThreadState::MarkFinished() {
    {
        std::lock_guard lock(m_mutex);
        m_finished.store(true, std::memory_order_release);
    }
    m_cv.notify_all();
}

// ---- ThreadManager ----

ThreadManager::~ThreadManager() {
    StopAllThreads();
}

bool ThreadManager::CurrentThreadStopRequested() {
    return t_currentThread && t_currentThread->StopRequested();
}

void ThreadManager::DropFinished() {
    auto finished = [](const std::unique_ptr<MThread>& t) {
        if (!t->Finished()) return false;
        if (t->m_thread.joinable()) t->m_thread.join(); // it has only its last instructions left
        return true;
    };
    m_threads.erase(std::remove_if(m_threads.begin(), m_threads.end(), finished), m_threads.end());
}

MThreadHandle ThreadManager::StartThread(MThreadFunc function, void* argument, bool suspended) {
    if (!function) return {};
    MAutoLock lock(m_lock);
    DropFinished();
    try {
        m_threads.reserve(m_threads.size() + 1);
        const uint32_t id = thread_id_detail::ReserveThreadId();
        std::shared_ptr<MThreadState> state(new MThreadState(id));
        state->m_released = !suspended;

        auto entry = std::make_unique<MThread>();
        entry->handle = MThreadHandle(state);
        entry->argument = argument;
        entry->threadId = id;
        entry->function = function;
        entry->flags = suspended ? 1 : 0;
        entry->m_thread = std::thread([state, function, argument] {
            thread_id_detail::AdoptThreadId(state->Id());
            t_currentThread = state.get();
            if (state->WaitStarted()) {
                state->SetExitCode(function(argument));
            } else {
                state->SetExitCode(MThreadState::kTerminatedExitCode); // stopped before it was resumed
            }
            t_currentThread = nullptr;
            state->MarkFinished();
        });
        MThreadHandle handle = entry->handle;
        m_threads.push_back(std::move(entry)); // capacity reserved above: cannot throw
        return handle;
    } catch (const std::system_error&) {
        return {};
    } catch (const std::bad_alloc&) {
        return {};
    }
}

bool ThreadManager::ResumeThread(const MThreadHandle& handle) {
    if (!handle) return false;
    MAutoLock lock(m_lock);
    MThread* t = FindThread(handle);
    return t && handle.m_state->Resume();
}

MThread* ThreadManager::FindThread(const MThreadHandle& handle) {
    MAutoLock lock(m_lock);
    for (const auto& t : m_threads)
        if (t->handle == handle) return t.get();
    return nullptr;
}

void ThreadManager::StopAllThreads() {
    MAutoLock lock(m_lock);
    // Ask all of them first so that they wind down together.
    for (const auto& t : m_threads) t->handle.m_state->m_stopRequested.store(true, std::memory_order_release);
    for (const auto& t : m_threads) {
        MThreadState& state = *t->handle.m_state;
        state.Cancel(); // a thread still waiting to be resumed leaves without running
        if (state.WaitFinished(kStopWait)) {
            if (t->m_thread.joinable()) t->m_thread.join();
        } else {
            // Cannot be killed safely: give it up. It keeps its shared state alive until it ends.
            state.SetExitCode(MThreadState::kTerminatedExitCode);
            if (t->m_thread.joinable()) t->m_thread.detach();
        }
    }
    m_threads.clear();
}

int ThreadManager::ThreadCount() {
    MAutoLock lock(m_lock);
    return static_cast<int>(m_threads.size());
}
