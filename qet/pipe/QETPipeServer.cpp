#include "qet/QETPipeServer.h"

#include "QETPipeConnection.h"
#include "qet/QETBase.h"
#include "qet/QETPipeInternalConduit.h"
#include "qet/QETPipePacket.h"

#include <zorv/ZorvErrorBase.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvUtil.h>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kSocketName = "QET.pipe";
const char* const kFallbackDirPrefix = "/dev/shm/zorv-";
const char* const kErrorLogName = "QET.log";
// The QET and protocol version that error records carry.
const char* const kVendorVersion = QET_VERSION_TEXT;

constexpr long kDefaultTimeoutMs = 5000;
constexpr long kNoConnectionLimit = -1;
// How long a probe of an existing socket may take. A live QET accepts at
// once (the kernel completes the connection even while it is busy), a dead
// one is refused at once; the bound only matters for a stuck peer.
constexpr int kProbeTimeoutMs = 2000;

void complain(const QString& text) {
    std::fprintf(stderr, "QET: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

// XDG_RUNTIME_DIR is meant to be the user's own; one that another user owns,
// or that everyone may write to (XDG_RUNTIME_DIR=/tmp), would let someone
// else put their own socket where our clients look for QET. Such a directory
// is passed over for the private fallback. One that does not exist is taken
// as given: listening there fails and says so.
bool isUsableRuntimeDirectory(const char* dir) {
    struct stat st;
    if (::stat(dir, &st) != 0) {
        return true;
    }
    return st.st_uid == ::geteuid() && (st.st_mode & S_IWOTH) == 0;
}

} // namespace

// The directory must be ours alone: anyone else who could write in it could
// put their own socket where our clients look for QET.
bool QETPipeServer::ensurePrivateDirectory(const QString& path, QString* whyOut) {
    QString ignored;
    QString* why = whyOut != nullptr ? whyOut : &ignored;
    const QByteArray dir = QFile::encodeName(path);
    if (::mkdir(dir.constData(), 0700) != 0 && errno != EEXIST) {
        *why = QStringLiteral("cannot create %1: %2")
                   .arg(QString::fromLocal8Bit(dir), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st;
    if (::lstat(dir.constData(), &st) != 0) {
        *why = QStringLiteral("cannot examine %1").arg(QString::fromLocal8Bit(dir));
        return false;
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        *why = QStringLiteral("%1 is not a directory").arg(QString::fromLocal8Bit(dir));
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *why = QStringLiteral("%1 belongs to another user").arg(QString::fromLocal8Bit(dir));
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        *why = QStringLiteral("%1 is open to group or others").arg(QString::fromLocal8Bit(dir));
        return false;
    }
    return true;
}

QETPipeServer::QETPipeServer(QObject* parent)
    : QObject(parent), mLocal(new QLocalServer(this)), mTimeout(kDefaultTimeoutMs),
      mMaxConnections(kNoConnectionLimit) {
    mLocal->setSocketOptions(QLocalServer::UserAccessOption);
    connect(mLocal, SIGNAL(newConnection()), this, SLOT(acceptConnections()));
}

QETPipeServer::~QETPipeServer() {
    close();
    for (QETPipePacket* packet : mPending) {
        packet->release();
    }
    mPending.clear();
}

QString QETPipeServer::socketPath(QString* why) {
    QString reason;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    QString path;
    if (runtime != nullptr && runtime[0] == '/' && isUsableRuntimeDirectory(runtime)) {
        path = QString::fromLocal8Bit(runtime) + QLatin1Char('/') + QLatin1String(kSocketName);
    } else {
        const QByteArray dir = QByteArray(kFallbackDirPrefix) + QByteArray::number(::geteuid());
        if (ensurePrivateDirectory(QFile::decodeName(dir), &reason)) {
            path = QString::fromLocal8Bit(dir) + QLatin1Char('/') + QLatin1String(kSocketName);
        }
    }
    if (why != nullptr) {
        *why = reason;
    }
    return path;
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
    QLocalSocket probe;
    probe.connectToServer(mPath);
    if (probe.waitForConnected(kProbeTimeoutMs)) {
        probe.abort();
        complain(QStringLiteral("another QET is already serving this user on %1").arg(mPath));
        logError(kErrorAlreadyServing, __FILE__, __LINE__);
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
    // Stale: left by a QET that died without cleaning up. Two QETs starting
    // at the same moment may both get here. With UserAccessOption Qt binds in
    // a private temporary directory and renames the socket into place, so
    // the later rename wins and the earlier server is left unreachable;
    // closing that window would need a lock file, which nothing else needs.
    ::unlink(native.constData());
    return true;
}

bool QETPipeServer::listen() {
    if (isListening()) {
        return true;
    }
    QString why;
    mPath = socketPath(&why);
    if (mPath.isEmpty()) {
        complain(QStringLiteral("no place for the pipe socket: %1").arg(why));
        logError(kErrorListen, __FILE__, __LINE__);
        return false;
    }
    if (!claimSocketFile()) {
        return false;
    }
    if (!mLocal->listen(mPath)) {
        const bool taken = mLocal->serverError() == QAbstractSocket::AddressInUseError;
        complain(QStringLiteral("cannot listen on %1: %2").arg(mPath, mLocal->errorString()));
        logError(taken ? kErrorAlreadyServing : kErrorListen, __FILE__, __LINE__);
        return false;
    }
    mConduit.reset(new QETPipeInternalConduit(this));
    QETBase::logDebug(QStringLiteral("pipe server listening on %1").arg(mPath));
    return true;
}

void QETPipeServer::close() {
    mConduit.reset();
    // Removes the socket file, but only one this server created: a server
    // that never listened must not remove the socket of another QET.
    if (mLocal->isListening()) {
        mLocal->close();
    }
    const QList<QObject*> open = mConnections.values();
    mConnections.clear();
    for (QObject* connection : open) {
        connection->disconnect(this);
        delete connection;
    }
}

bool QETPipeServer::isListening() const {
    return mLocal->isListening();
}

QETPipeConduit* QETPipeServer::conduit() const {
    return mConduit.get();
}

void QETPipeServer::setTimeout(long milliseconds) {
    mTimeout = milliseconds;
}

void QETPipeServer::setMaxConnections(long count) {
    mMaxConnections = count < 0 ? kNoConnectionLimit : count;
}

void QETPipeServer::acceptConnections() {
    while (mLocal->hasPendingConnections()) {
        QLocalSocket* socket = mLocal->nextPendingConnection();
        if (mMaxConnections >= 0 && mConnections.size() >= mMaxConnections) {
            logError(kErrorTooManyConnections, __FILE__, __LINE__);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        QETPipeConnection* connection = new QETPipeConnection(this, socket);
        mConnections.insert(connection);
        connect(connection, SIGNAL(finished(QObject*)), this, SLOT(forgetConnection(QObject*)));
    }
}

void QETPipeServer::forgetConnection(QObject* connection) {
    mConnections.remove(connection);
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
    const TStr dir = ZorvUtil::getZorvLocalUserDataLocation();
    if (dir.isEmpty()) {
        return;
    }
    const QString dirPath = QString::fromUtf8(dir.bytes().c_str());
    QDir().mkpath(dirPath);
    if (!mErrorLogger) {
        // Our own logger, so that the process-wide default one stays free for
        // the application; the table is read once, here.
        mErrorLogger.reset(new ZorvLogger(true));
    }
    const QByteArray logPath = (dirPath + QLatin1Char('/') + QLatin1String(kErrorLogName)).toUtf8();
    mErrorLogger->setLogFileName(TStr(logPath.constData()));
    mErrorLogger->startLogging();
    ZorvErrorBase record(Zorv::kZorvQet, static_cast<int>(code), TStr(file), line,
                         TStr(kVendorVersion));
    mErrorLogger->log(record);
}
