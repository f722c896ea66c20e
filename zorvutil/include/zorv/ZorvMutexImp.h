#ifndef ZORV_MUTEXIMP_H
#define ZORV_MUTEXIMP_H

#include "TStr.h"

// A named mutex: any two objects given one name are one mutex.
// The order of the virtual operations is part of the binary interface.
class ZORV_UTIL_EXPORT ZorvMutexImp {
public:
    virtual ~ZorvMutexImp();
    // Makes this object the mutex of that name; true when it can be used.
    virtual bool create(const TStr& name) = 0;
    // Takes the mutex if it is free, without waiting; true when taken.
    virtual bool tryLock() = 0;
    // Waits at most limitMs milliseconds (a negative limit: without bound) and
    // takes the mutex; true when taken.
    virtual bool lock(int limitMs) = 0;
    // Releases the mutex taken by lock or tryLock.
    virtual void unlock() = 0;
    // Releases a mutex still held and lets go of the name: the object stands
    // for no mutex until the next create.
    virtual void close() = 0;
};

#endif
