#ifndef QET_BOUNDEDWAIT_H
#define QET_BOUNDEDWAIT_H

#include "QETExport.h"

#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvMutex.h>

// QET's event loop serves every client, so its own records must never wait
// long for a log's named mutex: a writer stopped while it holds the mutex
// (Ctrl-Z, a debugger) would otherwise stall every request for the library's
// whole wait limit. A record whose wait runs out is written anyway; records
// stay whole because the library writes each one in a single write(2).

// A named mutex whose lock waits at most kMaxWaitMs, whatever limit it is
// asked for.
class QET_EXPORT QETBoundedWaitMutex : public ZorvMutex {
public:
    static constexpr int kMaxWaitMs = 100;

    // As ZorvMutex's; the first time a log's mutex cannot be had (no lock
    // place, or one without room), QET says on stderr that its records go
    // out without their lock.
    bool create(const TStr& name) override;
    bool lock(int limitMs) override;

    // Waits that ran out in this process, for the log at the end of a run.
    static long waitsGivenUp();
};

// A logger whose records wait for their mutex as QETBoundedWaitMutex does.
// ZorvLogger::log creates its mutex only when it finds none and deletes it
// after each record, so one is put in place before every record.
template <class Logger> class QETBoundedWait : public Logger {
public:
    using Logger::Logger;

    void log(const ZorvLoggable& record) override { log(const_cast<ZorvLoggable*>(&record)); }
    void log(ZorvLoggable* record) override {
        if (this->mMutex == nullptr) {
            this->mMutex = new QETBoundedWaitMutex;
        }
        Logger::log(record);
    }
};

#endif
