#ifndef ZORV_MUTEX_H
#define ZORV_MUTEX_H

#include "ZorvMutexImp.h"

namespace zorv_detail {
struct SharedMutexMapping;
}

// The named mutex of one user: shared by every process and thread of that user
// that creates the same name, and released by the system when its holder dies.
class ZORV_UTIL_EXPORT ZorvMutex : public ZorvMutexImp {
public:
    ZorvMutex();
    ~ZorvMutex() override;
    ZorvMutex(const ZorvMutex&) = delete;
    ZorvMutex& operator=(const ZorvMutex&) = delete;

    bool create(const TStr& name) override;
    bool tryLock() override;
    bool lock(int limitMs) override;
    void unlock() override;
    void close() override;

private:
    bool take(int limitMs); // lock and tryLock (limit 0)

    zorv_detail::SharedMutexMapping* mMapping = nullptr; // shared with the process-wide cache
    bool mHeld = false;
};

#endif
