#ifndef ZORV_MUTEX_H
#define ZORV_MUTEX_H

#include "ZorvMutexImp.h"

namespace zorv_detail {
struct MutexHandle;
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
    zorv_detail::MutexHandle* mHandle;
};

#endif
