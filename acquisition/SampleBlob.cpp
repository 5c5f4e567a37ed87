#include "acquisition/SampleBlob.h"

#include "core/Clock.h"
#include "core/MAutoPtr.h"

#include <mutex>
#include <new>

namespace {

MAutoPtr<cSampleBlobManager> g_blobManager;
std::mutex g_blobManagerCreation;

} // namespace

bool sSampleBlob::Resize(int n) {
    if (n < 0) return false;
    try {
        if (times.size() < static_cast<size_t>(n)) times.resize(static_cast<size_t>(n));
        if (values.size() < static_cast<size_t>(n)) values.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
        return false;
    }
    count = n;
    return true;
}

cSampleBlobManager::cSampleBlobManager() {
    m_tm.AddTask(this, 0, kPeriodMs);
}

cSampleBlobManager::~cSampleBlobManager() {
    m_tm.RemoveTask(this);
}

sSampleBlob* cSampleBlobManager::AcquireBlob() {
    MAutoLock lock(m_lock);
    sSampleBlob* blob = nullptr;
    for (const auto& b : m_blobs) {
        if (!b->inUse) {
            blob = b.get();
            break;
        }
    }
    if (!blob) {
        try {
            m_blobs.push_back(std::make_unique<sSampleBlob>());
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        blob = m_blobs.back().get();
    }
    blob->inUse = true;
    blob->lastAcquired = GetTickCount();
    return blob;
}

void cSampleBlobManager::ReleaseBlob(sSampleBlob* blob) {
    if (!blob) return;
    MAutoLock lock(m_lock);
    blob->inUse = false;
}

void cSampleBlobManager::Run() {
    MAutoLock lock(m_lock);
    const uint32_t now = GetTickCount();
    for (auto it = m_blobs.begin(); it != m_blobs.end(); ++it) {
        // A blob still in use belongs to an event that has not been delivered yet: never freed.
        if (!(*it)->inUse && now - (*it)->lastAcquired > kIdleMs) {
            m_blobs.erase(it);
            return;
        }
    }
}

int cSampleBlobManager::Count() {
    MAutoLock lock(m_lock);
    return static_cast<int>(m_blobs.size());
}

int cSampleBlobManager::CountInUse() {
    MAutoLock lock(m_lock);
    int n = 0;
    for (const auto& b : m_blobs) n += b->inUse ? 1 : 0;
    return n;
}

cSampleBlobManager* GetBlobManager(bool create) {
    cSampleBlobManager* pool = g_blobManager.Get();
    if (pool || !create) return pool;
    std::lock_guard lock(g_blobManagerCreation);
    pool = g_blobManager.Get();
    if (!pool) {
        pool = new (std::nothrow) cSampleBlobManager;
        g_blobManager.Reset(pool);
    }
    return pool;
}

void ShutdownBlobManager() {
    std::lock_guard lock(g_blobManagerCreation);
    g_blobManager.Reset(nullptr);
}

sSampleBlob* AcquireBlob() {
    cSampleBlobManager* pool = GetBlobManager(true);
    return pool ? pool->AcquireBlob() : nullptr;
}

int cSamplesFinalCallback::OnEvent(int id, int count, void* data, int value) {
    if (!data) return 0;
    // Without a pool the blob went with it; there is nothing left to release.
    if (cSampleBlobManager* pool = GetBlobManager(false)) pool->ReleaseBlob(static_cast<sSampleBlob*>(data));
    return 0;
}
