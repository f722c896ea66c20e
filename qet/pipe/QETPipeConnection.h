#ifndef QET_PIPECONNECTION_H
#define QET_PIPECONNECTION_H

#include "qet/QETPipeServer.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QLocalSocket;

// One client of the pipe socket: reads its frames, hands each request to the
// server, answers each with an acknowledgement, and drops the connection on
// the first bad frame or when it stays idle too long. What it buffers is
// counted in the server's memory budget.
class QETPipeConnection : public QObject {
    Q_OBJECT
public:
    QETPipeConnection(QETPipeServer* server, QLocalSocket* socket);
    ~QETPipeConnection() override;

    // Chosen by the memory budget: dropped as a frame over the limit.
    void dropForBudget();

signals:
    void finished(QObject* connection);

private slots:
    void readFrames();
    void idleTimedOut();
    void peerLeft();

private:
    void drop(QETPipeServer::ErrorCode code, const char* file, int line);
    void finish();
    void restartIdleTimer();
    void account();

    QETPipeServer* mServer;
    QLocalSocket* mSocket;
    QTimer mIdleTimer;
    QByteArray mBody;
    quint32 mExpected;        // body length of the frame being read, 0 between frames
    quint64 mUnfinishedSince; // budget stamp of the frame not yet complete, 0 if none
    bool mDropped;
    bool mFinished;
    bool mErrorLogged; // at most one error record per connection
    bool mPeerLeft;    // the client has gone: its acknowledgements no longer hold us up
};

#endif
