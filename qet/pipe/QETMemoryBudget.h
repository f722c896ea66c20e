#ifndef QET_MEMORYBUDGET_H
#define QET_MEMORYBUDGET_H

#include <QHash>
#include <QtGlobal>

class QETPipeConnection;

// The bytes buffered for all connections together: bodies being read, and
// what Qt holds in each socket's read and write buffers. Each connection is
// bounded on its own, but thousands of them each holding an almost complete
// frame would add up to gigabytes. Past kBudgetBytes the server drops the
// connection whose unfinished frame is the oldest: a client that completes
// its frames is never the one chosen while such a connection exists.
class QETMemoryBudget {
public:
    static constexpr qint64 kBudgetBytes = 64 * 1024 * 1024;

    QETMemoryBudget();

    // What a connection holds now, and since when (a stamp from nextStamp(),
    // 0 when it holds no unfinished frame).
    void update(QETPipeConnection* connection, qint64 bytes, quint64 unfinishedSince);
    void forget(QETPipeConnection* connection);
    quint64 nextStamp() { return ++mStamp; }

    bool isExceeded() const { return mTotal > kBudgetBytes; }
    // The connection to drop: the oldest unfinished frame, else the most
    // bytes held. Null when nothing is held.
    QETPipeConnection* victim() const;

private:
    struct Held {
        qint64 bytes;
        quint64 unfinishedSince;
    };
    void giveBackAfterPeak();

    QHash<QETPipeConnection*, Held> mHeld;
    qint64 mTotal = 0;
    qint64 mPeakBytes = 0; // since the last trim
    int mPeakConnections = 0;
    quint64 mStamp = 0;
};

#endif
