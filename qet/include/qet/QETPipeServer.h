#ifndef QET_PIPESERVER_H
#define QET_PIPESERVER_H

#include "QETExport.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <memory>

class QLocalServer;
class QETPipeConduit;
class QETPipeConnection;
class QETPipeInternalConduit;
class QETPipePacket;
class ZorvLogger;

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

    // $XDG_RUNTIME_DIR/QET.pipe when XDG_RUNTIME_DIR is an absolute path
    // (and, if it exists, ours and not writable by others),
    // else /dev/shm/zorv-<uid>/QET.pipe, that directory created 0700 and
    // refused (empty result, reason in *why) when it is a link, not a
    // directory, not ours or open to group or others.
    static QString socketPath(QString* why = nullptr);
    // Creates dir with mode 0700 when missing; true when it is then a real
    // directory of ours that group and others cannot enter.
    static bool ensurePrivateDirectory(const QString& dir, QString* why = nullptr);

    // Starts serving. False when the socket cannot be had or another QET
    // already serves it; the server then has no conduit.
    bool listen();
    void close();
    bool isListening() const;
    QString serverPath() const { return mPath; }

    // The internal conduit while listening, else null.
    QETPipeConduit* conduit() const;

    // Idle limit per connection in milliseconds; 0 or less: none.
    void setTimeout(long milliseconds);
    long timeout() const { return mTimeout; }
    // Bound on open connections; -1 (any negative value): none.
    void setMaxConnections(long count);
    long maxConnections() const { return mMaxConnections; }
    int connectionCount() const { return mConnections.size(); }

    // The one handling path of every packet: logs it, keeps it until it has
    // been offered through packetReceived from the event loop.
    void handlePacket(QETPipePacket* packet, const QString& origin);

    // Writes an error record of vendor ZorvQet to QET.log in the local user
    // data directory; file and line say where the failure was seen (the
    // record keeps the file's last path component).
    void logError(ErrorCode code, const char* file, int line);

signals:
    // Emitted from the event loop, never from inside a socket read, so a
    // handler may run a nested event loop. The packet stays valid for the
    // emission; retain it to keep it longer.
    void packetReceived(QETPipePacket* packet);

private slots:
    void acceptConnections();
    void deliverPending();
    void forgetConnection(QObject* connection);

private:
    bool claimSocketFile();

    QLocalServer* mLocal;
    std::unique_ptr<QETPipeInternalConduit> mConduit;
    std::unique_ptr<ZorvLogger> mErrorLogger;
    QSet<QObject*> mConnections;
    QList<QETPipePacket*> mPending;
    QString mPath;
    long mTimeout;
    long mMaxConnections;
};

#endif
