#ifndef QET_PIPESERVER_H
#define QET_PIPESERVER_H

#include "QETExport.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <memory>

class QETErrorLog;
class QETInstanceLock;
class QETMemoryBudget;
class QETPipeConduit;
class QETPipeConnection;
class QETPipeInternalConduit;
class QETPipeListener;
class QETPipePacket;

// The QET pipe: a local socket owned by this user, on which other processes
// send requests, plus the internal conduit for this process's own. Every
// packet, whichever way it came, is logged once and then offered through
// packetReceived from the event loop.
class QET_EXPORT QETPipeServer : public QObject {
    Q_OBJECT
public:
    // The error codes of vendor ZorvQet in the error-code table.
    enum ErrorCode {
        kErrorListen = 1,
        kErrorAlreadyServing = 2,
        kErrorMalformedFrame = 3,
        kErrorFrameTooLarge = 4,
        kErrorTooManyConnections = 5,
        kErrorIdleTimeout = 6,
    };

    explicit QETPipeServer(QObject* parent = nullptr);
    ~QETPipeServer() override;

    // $XDG_RUNTIME_DIR/QET.pipe when XDG_RUNTIME_DIR is a directory of ours
    // that neither group nor others may write in (links followed), else
    // QET.pipe in the user's lock place; empty when neither can be had. *why
    // says why XDG_RUNTIME_DIR, or everything, was passed over.
    static QString socketPath(QString* why = nullptr);

    // Starts serving: on the socket a service manager handed over, else on
    // socketPath(), once this QET holds the user's instance lock. False when
    // the socket cannot be had or another QET serves this user
    // (anotherQetServes()); the server then has no conduit.
    bool listen();
    void close();
    bool isListening() const;
    // Whether listen() found another QET serving this user. It says nothing
    // itself then: the caller may still hand that QET its command line.
    bool anotherQetServes() const { return mAnotherQetServes; }
    // Says on stderr and in an error record that another QET serves.
    void reportAnotherQet(const QString& detail = QString());

    // The internal conduit while listening, else null.
    QETPipeConduit* conduit() const;

    // Idle limit per connection in milliseconds; 0 or less: none.
    void setTimeout(long milliseconds);
    long timeout() const { return mTimeout; }
    // Bound on open connections, at most the cap that QET's descriptor
    // limit allows; -1 (any negative value) means that cap.
    void setMaxConnections(long count);
    long maxConnections() const;
    int connectionCount() const { return mConnections.size(); }

    // The one handling path of every packet: logs it, keeps it until it has
    // been offered through packetReceived from the event loop.
    void handlePacket(QETPipePacket* packet, const QString& origin);

    // Writes an error record of vendor ZorvQet to QET.log in the local user
    // data directory, a few a second per code at most; file and line say
    // where the failure was seen (the record keeps the file's last path
    // component).
    void logError(ErrorCode code, const char* file, int line);

    // For the connections: the memory all of them hold together.
    QETMemoryBudget& memoryBudget() { return *mBudget; }
    void accountConnection(QETPipeConnection* connection, qint64 bytes, quint64 unfinishedSince);

signals:
    // Emitted from the event loop, never from inside a socket read, so a
    // handler may run a nested event loop. The packet stays valid for the
    // emission; retain it to keep it longer.
    void packetReceived(QETPipePacket* packet);
    // The listening socket stopped working: no client will reach this QET
    // again, so it should end (a service manager then starts a new one).
    void listenerLost();

private slots:
    void takeConnection(int fd);
    void refuseConnection();
    void loseListener();
    void deliverPending();
    void forgetConnection(QObject* connection);

private:
    bool listenOnPath();
    bool claimSocketFile();
    void complain(const QString& text);

    QETPipeListener* mListener;
    std::unique_ptr<QETInstanceLock> mLock;
    std::unique_ptr<QETErrorLog> mErrorLog;
    std::unique_ptr<QETMemoryBudget> mBudget;
    std::unique_ptr<QETPipeInternalConduit> mConduit;
    QSet<QETPipeConnection*> mConnections;
    QList<QETPipePacket*> mPending;
    QString mPath;
    long mTimeout;
    long mMaxConnections; // as set; negative: the cap
    long mConnectionCap;
    bool mAnotherQetServes;
};

#endif
