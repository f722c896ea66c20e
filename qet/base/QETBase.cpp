#include "qet/QETBase.h"

#include "qet/QETBoundedWait.h"

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvDebugLogger.h>

#include <mutex>

QETBase::QETBase() : mRefCount(0) {}

QETBase::~QETBase() = default;

void QETBase::retain() {
    mRefCount.fetch_add(1, std::memory_order_relaxed);
}

void QETBase::release() {
    // acq_rel: whatever the other owners wrote to the object happens before
    // the delete that the last one performs.
    if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

int QETBase::refCount() const {
    return mRefCount.load(std::memory_order_relaxed);
}

long QETBase::logLockWaitsGivenUp() {
    return QETLogLocks::waitsGivenUp();
}

void QETBase::logDebug(const QString& message) {
    // One logger for the process. A logger object must be used by one thread
    // at a time, hence the lock; the named mutex inside log() only keeps
    // other processes' records from interleaving with ours, and waits briefly.
    static std::mutex guard;
    static QETBoundedWait<ZorvDebugLogger> logger;
    const QByteArray utf8 = message.toUtf8();
    ZorvDebugLog record(Zorv::kZorvQet, TStr(utf8.constData(), static_cast<size_t>(utf8.size())));
    std::lock_guard<std::mutex> lock(guard);
    // A fresh section per message, so every line carries its own time.
    logger.startLoggingWMilliSecs();
    logger.log(record);
}
