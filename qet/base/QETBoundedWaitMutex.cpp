#include "qet/QETBoundedWait.h"

#include <atomic>

namespace {
std::atomic<long> sWaitsGivenUp(0);
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
