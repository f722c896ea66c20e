#include "qet/QETBoundedWait.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<long> sWaitsGivenUp(0);
std::atomic<bool> sNoLockSaid(false);
} // namespace

void QETLogLocks::note(const ZorvLogger& logger, bool waitRanOut, bool withoutMutex) {
    if (waitRanOut) {
        sWaitsGivenUp.fetch_add(1, std::memory_order_relaxed);
    }
    if (withoutMutex && !sNoLockSaid.exchange(true)) {
        std::fprintf(stderr,
                     "QET: log records are written without their lock: no mutex for %s in the "
                     "lock place (none usable, or no room in it; see 'zorvlog status')\n",
                     logger.getLogFileName().bytes().c_str());
        std::fflush(stderr);
    }
}

long QETLogLocks::waitsGivenUp() {
    return sWaitsGivenUp.load(std::memory_order_relaxed);
}
