#ifndef QET_BOUNDEDWAIT_H
#define QET_BOUNDEDWAIT_H

#include "QETExport.h"

#include <zorv/ZorvDebugLogger.h>
#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvPerfLogger.h>

#include <type_traits>

// QET's event loop serves every client, so its own records must never wait
// long for a log's named mutex: a writer stopped while it holds the mutex
// (Ctrl-Z, a debugger) would otherwise stall every request for the library's
// whole wait limit. A record whose wait runs out is written anyway; records
// stay whole because the library writes each one in a single write(2).

// What QET's records met at their logs' named mutexes.
class QET_EXPORT QETLogLocks {
public:
    static constexpr int kMaxWaitMs = 100;

    // One record of logger's: counts a wait that ran out; the first time a
    // log's mutex cannot be had at all (no lock place, or one without room),
    // says on stderr that QET's records go out without their lock.
    static void note(const ZorvLogger& logger, bool waitRanOut, bool withoutMutex);

    // Waits that ran out in this process, for the log at the end of a run.
    static long waitsGivenUp();
};

// A logger whose records wait at most QETLogLocks::kMaxWaitMs for their
// named mutex.
template <class Logger> class QETBoundedWait : public Logger {
public:
    using Logger::Logger;

    void log(const ZorvLoggable& record) override { log(const_cast<ZorvLoggable*>(&record)); }
    void log(ZorvLoggable* record) override {
        if (record == nullptr || !switchedOn()) {
            return;
        }
        const auto outcome = this->logWithWaitLimit(record, QETLogLocks::kMaxWaitMs);
        QETLogLocks::note(*this, outcome == Logger::kRecordWaitRanOut,
                          outcome == Logger::kRecordWithoutMutex);
    }

private:
    // The debug and performance loggers write only when switched on, as
    // their own log does.
    bool switchedOn() const {
        if constexpr (std::is_base_of_v<ZorvDebugLogger, Logger>) {
            return this->mDebugLogEnabled;
        } else if constexpr (std::is_base_of_v<ZorvPerfLogger, Logger>) {
            return this->mPerfLogEnabled;
        } else {
            return true;
        }
    }
};

#endif
