#include "qet/QETBoundedWait.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<long> sWaitsGivenUp(0);
std::atomic<bool> sNoLockSaid(false);
} // namespace

bool QETBoundedWaitMutex::create(const TStr& name) {
    if (ZorvMutex::create(name)) {
        return true;
    }
    if (!sNoLockSaid.exchange(true)) {
        std::fprintf(stderr,
                     "QET: log records are written without their lock: no mutex %s in the lock "
                     "place (none usable, or no room in it; see 'zorvlog status')\n",
                     name.bytes().c_str());
        std::fflush(stderr);
    }
    return false;
}

bool QETBoundedWaitMutex::lock(int limitMs) {
    const int limit = limitMs < 0 || limitMs > kMaxWaitMs ? kMaxWaitMs : limitMs;
    if (ZorvMutex::lock(limit)) {
        return true;
    }
    sWaitsGivenUp.fetch_add(1, std::memory_order_relaxed);
    return false;
}

long QETBoundedWaitMutex::waitsGivenUp() {
    return sWaitsGivenUp.load(std::memory_order_relaxed);
}
