#ifndef QET_BASE_H
#define QET_BASE_H

#include "QETExport.h"

#include <QString>
#include <atomic>

// Reference-counted base of the pipe objects. A new object starts with no
// owner (count 0): whoever keeps it calls retain(), and the release() that
// brings the count back to 0 deletes it.
class QET_EXPORT QETBase {
public:
    QETBase();
    virtual ~QETBase();

    QETBase(const QETBase&) = delete;
    QETBase& operator=(const QETBase&) = delete;

    void retain();
    void release();
    int refCount() const;

    // Writes one debug message of component ZorvQet through the process's
    // debug logger; safe before any application object exists and from any
    // thread.
    static void logDebug(const QString& message);
    // How many times this process's own records (debug and error) stopped
    // waiting for a log's lock and were written without it.
    static long logLockWaitsGivenUp();

private:
    std::atomic<int> mRefCount;
};

#endif
