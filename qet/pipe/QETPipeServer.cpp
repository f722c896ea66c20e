#include "qet/QETPipeServer.h"

#include "DirectoryPolicy.h"
#include "LockPlace.h"
#include "QETDescriptorLimit.h"
#include "QETErrorLog.h"
#include "QETInstanceLock.h"
#include "QETMemoryBudget.h"
#include "QETPipeConnection.h"
#include "QETPipeListener.h"
#include "QETSocketActivation.h"
#include "SystemCalls.h"
#include "qet/QETBase.h"
#include "qet/QETPipeInternalConduit.h"
#include "qet/QETPipePacket.h"

#include <QFile>
#include <QLocalSocket>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char* const kSocketName = "/QET.pipe";

constexpr long kDefaultTimeoutMs = 5000;
// How long a probe of an existing socket may take. A live QET accepts at
// once (the kernel completes the connection even while it is busy), a dead
// one is refused at once; the bound only matters for a stuck peer.
constexpr int kProbeTimeoutMs = 2000;

QString local(const std::string& text) {
    return QString::fromLocal8Bit(text.c_str());
}

// The path a listening socket is bound to, for the messages of an activated
// QET.
QString boundPath(int fd) {
    sockaddr_un address = {};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        address.sun_path[0] == '\0') {
        return QStringLiteral("the socket of the service manager");
    }
    return QFile::decodeName(address.sun_path);
}

} // namespace

QETPipeServer::QETPipeServer(QObject* parent)
    : QObject(parent), mListener(new QETPipeListener(this)), mErrorLog(new QETErrorLog),
      mBudget(new QETMemoryBudget), mTimeout(kDefaultTimeoutMs), mMaxConnections(-1),
      mConnectionCap(1), mAnotherQetServes(false) {
    connect(mListener, &QETPipeListener::accepted, this, &QETPipeServer::takeConnection);
    connect(mListener, &QETPipeListener::shed, this, &QETPipeServer::refuseConnection);
    connect(mListener, &QETPipeListener::lost, this, &QETPipeServer::loseListener);
}

QETPipeServer::~QETPipeServer() {
    close();
    for (QETPipePacket* packet : mPending) {
        packet->release();
    }
    mPending.clear();
}

void QETPipeServer::complain(const QString& text) {
    std::fprintf(stderr, "QET: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

QString QETPipeServer::socketPath(QString* why) {
    if (why != nullptr) {
        why->clear();
    }
    std::string reason;
    const char* runtime = zorv_detail::environmentValue("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') {
        // A socket's path has a fixed room: one that does not fit is no
        // place for it, like a runtime directory of another user's.
        const bool allowed =
            zorv_detail::directoryAllowed(runtime, zorv_detail::DirectoryUse::Private, &reason);
        if (allowed &&
            std::strlen(runtime) + std::strlen(kSocketName) < sizeof(sockaddr_un{}.sun_path)) {
            return QFile::decodeName(runtime) + QLatin1String(kSocketName);
        }
        if (allowed) {
            reason = "is too long for a socket's path";
        }
        reason = std::string("XDG_RUNTIME_DIR ") + runtime + " " + reason;
    }
    std::string lockWhy;
    const std::string dir = zorv_detail::lockDirectory(&lockWhy);
    if (why != nullptr) {
        *why = local(dir.empty() ? (reason.empty() ? "" : reason + "; ") + lockWhy : reason);
    }
    return dir.empty() ? QString() : QFile::decodeName(dir.c_str()) + QLatin1String(kSocketName);
}

bool QETPipeServer::listen() {
    if (isListening()) {
        return true;
    }
    mAnotherQetServes = false;
    mErrorLog->directoryUsable();
    QString why;
    const int handed = zorv_detail::takeListeningDescriptor(&why);
    if (handed == zorv_detail::kActivationUnusable) {
        complain(why);
        logError(kErrorListen, __FILE__, __LINE__);
        return false;
    }
    // Before the socket is claimed: two QETs starting at once must not both
    // decide that a stale socket is theirs to replace.
    mLock.reset(new QETInstanceLock);
    switch (mLock->take(&why)) {
    case QETInstanceLock::kTaken:
        break;
    case QETInstanceLock::kHeldByAnother:
        mLock.reset();
        mAnotherQetServes = true;
        return false;
    case QETInstanceLock::kUnavailable:
        mLock.reset();
        complain(QStringLiteral("no instance lock (%1); a second QET is kept out by the socket "
                                "alone")
                     .arg(why));
        break;
    }
    if (handed >= 0) {
        // The socket and its file belong to the service manager.
        mListener->adopt(handed);
        mPath = boundPath(handed);
    } else if (!listenOnPath()) {
        mLock.reset();
        return false;
    }
    if (mLock) {
        mLock->recordSocket(mPath);
    }
    mConnectionCap = zorv_detail::connectionCap();
    mConduit.reset(new QETPipeInternalConduit(this));
    QETBase::logDebug(QStringLiteral("pipe server listening on %1, at most %2 connections")
                          .arg(mPath)
                          .arg(maxConnections()));
    return true;
}

bool QETPipeServer::listenOnPath() {
    QString why;
    mPath = socketPath(&why);
    if (mPath.isEmpty()) {
        complain(QStringLiteral("no place for the pipe socket: %1").arg(why));
        logError(kErrorListen, __FILE__, __LINE__);
        return false;
    }
    if (!why.isEmpty()) {
        complain(QStringLiteral("%1; serving on %2").arg(why, mPath));
    }
    if (!claimSocketFile()) {
        return false;
    }
    bool inUse = false;
    if (!mListener->listen(mPath, &why, &inUse)) {
        if (inUse) {
            // Another QET without our lock place took the path meanwhile.
            mAnotherQetServes = true;
            return false;
        }
        complain(QStringLiteral("cannot listen on %1: %2").arg(mPath, why));
        logError(kErrorListen, __FILE__, __LINE__);
        return false;
    }
    return true;
}

bool QETPipeServer::claimSocketFile() {
    const QByteArray native = QFile::encodeName(mPath);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0) {
        return true;
    }
    if (!S_ISSOCK(st.st_mode)) {
        complain(QStringLiteral("%1 exists and is not a socket").arg(mPath));
        logError(kErrorListen, __FILE__, __LINE__);
        return false;
    }
    // Even with the lock, a live socket may be served by a QET that knows
    // another lock place, or be the one a service manager listens on.
    QLocalSocket probe;
    probe.connectToServer(mPath);
    if (probe.waitForConnected(kProbeTimeoutMs)) {
        probe.abort();
        mAnotherQetServes = true;
        return false;
    }
    // Only a refusal proves that nobody listens; a timeout or a full backlog
    // may hide a live but busy QET, whose socket must not be taken away.
    if (probe.error() != QLocalSocket::ConnectionRefusedError) {
        complain(QStringLiteral("cannot tell whether a QET serves %1: %2")
                     .arg(mPath, probe.errorString()));
        logError(kErrorAlreadyServing, __FILE__, __LINE__);
        return false;
    }
    // Stale: left by a QET that died without cleaning up.
    ::unlink(native.constData());
    return true;
}

void QETPipeServer::reportAnotherQet(const QString& detail) {
    const QString where = mPath.isEmpty() ? socketPath() : mPath;
    complain(QStringLiteral("another QET is already serving this user on %1%2")
                 .arg(where, detail.isEmpty() ? QString() : QStringLiteral(": ") + detail));
    logError(kErrorAlreadyServing, __FILE__, __LINE__);
}

void QETPipeServer::close() {
    mConduit.reset();
    // Removes the socket file, but only one this server made: never the
    // socket of another QET, nor a service manager's.
    mListener->close();
    mLock.reset();
    const QList<QETPipeConnection*> open = mConnections.values();
    mConnections.clear();
    for (QETPipeConnection* connection : open) {
        connection->disconnect(this);
        mBudget->forget(connection);
        delete connection;
    }
}

bool QETPipeServer::isListening() const {
    return mListener->isListening();
}

QETPipeConduit* QETPipeServer::conduit() const {
    return mConduit.get();
}

void QETPipeServer::setTimeout(long milliseconds) {
    mTimeout = milliseconds;
}

void QETPipeServer::setMaxConnections(long count) {
    mMaxConnections = count;
}

long QETPipeServer::maxConnections() const {
    return mMaxConnections < 0 || mMaxConnections > mConnectionCap ? mConnectionCap
                                                                   : mMaxConnections;
}

void QETPipeServer::takeConnection(int fd) {
    if (mConnections.size() >= maxConnections()) {
        ::close(fd);
        refuseConnection();
        return;
    }
    QLocalSocket* socket = new QLocalSocket;
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        return;
    }
    QETPipeConnection* connection = new QETPipeConnection(this, socket);
    mConnections.insert(connection);
    connect(connection, SIGNAL(finished(QObject*)), this, SLOT(forgetConnection(QObject*)));
}

void QETPipeServer::refuseConnection() {
    logError(kErrorTooManyConnections, __FILE__, __LINE__);
}

void QETPipeServer::loseListener() {
    complain(QStringLiteral("the pipe socket %1 no longer accepts connections").arg(mPath));
    logError(kErrorListen, __FILE__, __LINE__);
    mConduit.reset();
    emit listenerLost();
}

void QETPipeServer::forgetConnection(QObject* connection) {
    QETPipeConnection* gone = static_cast<QETPipeConnection*>(connection);
    mConnections.remove(gone);
    mBudget->forget(gone);
}

void QETPipeServer::accountConnection(QETPipeConnection* connection, qint64 bytes,
                                      quint64 unfinishedSince) {
    mBudget->update(connection, bytes, unfinishedSince);
    while (mBudget->isExceeded()) {
        QETPipeConnection* victim = mBudget->victim();
        if (victim == nullptr) {
            break;
        }
        QETBase::logDebug(
            QStringLiteral("memory budget of %1 bytes reached").arg(QETMemoryBudget::kBudgetBytes));
        // Gone from the budget once it has finished; not before, should the
        // drop be refused.
        mBudget->forget(victim);
        victim->dropForBudget();
    }
}

void QETPipeServer::handlePacket(QETPipePacket* packet, const QString& origin) {
    if (packet == nullptr) {
        return;
    }
    packet->retain();
    QETBase::logDebug(QStringLiteral("request from %1: %2")
                          .arg(origin, packet->arguments().join(QLatin1Char(' '))));
    mPending.append(packet);
    // One queued call drains everything that arrived before it runs.
    if (mPending.size() == 1) {
        QMetaObject::invokeMethod(this, "deliverPending", Qt::QueuedConnection);
    }
}

void QETPipeServer::deliverPending() {
    // Taken out first: a handler that spins a nested event loop may bring in
    // new packets, which then queue a delivery of their own.
    const QList<QETPipePacket*> batch = mPending;
    mPending.clear();
    for (QETPipePacket* packet : batch) {
        emit packetReceived(packet);
        packet->release();
    }
}

void QETPipeServer::logError(ErrorCode code, const char* file, int line) {
    mErrorLog->write(static_cast<int>(code), file, line);
}
