#include "QETPipeConnection.h"

#include "QETMemoryBudget.h"
#include "qet/QETBase.h"
#include "qet/QETPipeFrame.h"
#include "qet/QETPipePacket.h"

#include <QLocalSocket>

namespace {

// Qt's own buffer in front of ours: with it bounded, a client that streams
// without end costs at most this plus one frame body.
constexpr qint64 kSocketReadBufferSize = 64 * 1024;
// Acknowledgements waiting for a client that does not read them. Beyond this
// no further request of that client is read until it has taken some: without
// the bound a client that only writes would grow the server's write buffer
// by one acknowledgement per request, without end.
constexpr qint64 kMaxUnsentBytes = 64 * 1024;

// Keeps a packet alive across the handling of one request.
class PacketRef {
public:
    explicit PacketRef(QETPipePacket* packet) : mPacket(packet) { mPacket->retain(); }
    ~PacketRef() { mPacket->release(); }
    PacketRef(const PacketRef&) = delete;
    PacketRef& operator=(const PacketRef&) = delete;
    QETPipePacket* get() const { return mPacket; }

private:
    QETPipePacket* mPacket;
};

} // namespace

QETPipeConnection::QETPipeConnection(QETPipeServer* server, QLocalSocket* socket)
    : QObject(server), mServer(server), mSocket(socket), mExpected(0), mUnfinishedSince(0),
      mDropped(false), mFinished(false), mErrorLogged(false), mPeerLeft(false) {
    mSocket->setParent(this);
    mSocket->setReadBufferSize(kSocketReadBufferSize);
    mIdleTimer.setSingleShot(true);
    connect(&mIdleTimer, SIGNAL(timeout()), this, SLOT(idleTimedOut()));
    connect(mSocket, SIGNAL(readyRead()), this, SLOT(readFrames()));
    connect(mSocket, SIGNAL(bytesWritten(qint64)), this, SLOT(readFrames()));
    connect(mSocket, SIGNAL(disconnected()), this, SLOT(peerLeft()));
    restartIdleTimer();
    // From the loop, once the server has connected to us: bytes may have
    // arrived before our signals were connected, and the first count in the
    // budget may already choose a connection to drop.
    QMetaObject::invokeMethod(this, "readFrames", Qt::QueuedConnection);
}

QETPipeConnection::~QETPipeConnection() = default;

void QETPipeConnection::restartIdleTimer() {
    const long limit = mServer->timeout();
    if (limit > 0) {
        mIdleTimer.start(static_cast<int>(qMin<long>(limit, INT_MAX)));
    } else {
        mIdleTimer.stop();
    }
}

void QETPipeConnection::account() {
    // A dropped connection is out of the budget for good.
    if (mDropped || mFinished) {
        return;
    }
    // A frame counts as unfinished from the read that left it incomplete; a
    // client whose frames complete is stamped afresh at each one.
    const bool unfinished = mExpected != 0 || mSocket->bytesAvailable() > 0;
    if (!unfinished) {
        mUnfinishedSince = 0;
    } else if (mUnfinishedSince == 0) {
        mUnfinishedSince = mServer->memoryBudget().nextStamp();
    }
    mServer->accountConnection(
        this, mBody.capacity() + mSocket->bytesAvailable() + mSocket->bytesToWrite(),
        mUnfinishedSince);
}

void QETPipeConnection::dropForBudget() {
    drop(QETPipeServer::kErrorFrameTooLarge, __FILE__, __LINE__);
}

void QETPipeConnection::readFrames() {
    // Every way out of the loop leaves the count of held bytes up to date.
    struct Account {
        QETPipeConnection* connection;
        ~Account() { connection->account(); }
    } account{this};
    while (!mDropped) {
        // Resumed by bytesWritten once the client has read. A client that
        // has left reads nothing more, and what it sent is still handled.
        if (!mPeerLeft && mSocket->bytesToWrite() > kMaxUnsentBytes) {
            return;
        }
        if (mExpected == 0) {
            if (mSocket->bytesAvailable() < QETPipeFrame::kHeaderSize) {
                return;
            }
            char header[QETPipeFrame::kHeaderSize];
            mSocket->read(header, sizeof header);
            const quint32 length = QETPipeFrame::bodyLength(header);
            // Checked before a single byte of the body is kept.
            if (!QETPipeFrame::isValidBodyLength(length)) {
                drop(length == 0 ? QETPipeServer::kErrorMalformedFrame
                                 : QETPipeServer::kErrorFrameTooLarge,
                     __FILE__, __LINE__);
                return;
            }
            mExpected = length;
            mBody.clear();
        }
        const qint64 missing = static_cast<qint64>(mExpected) - mBody.size();
        if (mSocket->bytesAvailable() <= 0) {
            return;
        }
        // No more than is there: Qt sizes its result to the request first.
        mBody.append(mSocket->read(qMin(missing, mSocket->bytesAvailable())));
        if (mBody.size() < static_cast<int>(mExpected)) {
            return;
        }
        mExpected = 0;
        mUnfinishedSince = 0;
        QStringList arguments;
        if (!QETPipeFrame::decodeRequest(mBody, &arguments)) {
            drop(QETPipeServer::kErrorMalformedFrame, __FILE__, __LINE__);
            return;
        }
        mBody.clear(); // frees its room too
        restartIdleTimer();
        {
            PacketRef packet(new QETPipePacket(arguments));
            mServer->handlePacket(packet.get(), QStringLiteral("socket"));
        }
        mSocket->write(QETPipeFrame::encodeAcknowledgement(QETPipeFrame::kStatusHandled));
    }
}

void QETPipeConnection::idleTimedOut() {
    drop(QETPipeServer::kErrorIdleTimeout, __FILE__, __LINE__);
}

void QETPipeConnection::peerLeft() {
    // Whatever the client sent before it left still counts.
    mPeerLeft = true;
    readFrames();
    if (!mDropped && (mExpected != 0 || mSocket->bytesAvailable() > 0)) {
        // The client went away inside a frame.
        drop(QETPipeServer::kErrorMalformedFrame, __FILE__, __LINE__);
        return;
    }
    finish();
}

void QETPipeConnection::drop(QETPipeServer::ErrorCode code, const char* file, int line) {
    if (mDropped) {
        return;
    }
    mDropped = true;
    mIdleTimer.stop();
    if (!mErrorLogged) {
        mErrorLogged = true;
        mServer->logError(code, file, line);
    }
    QETBase::logDebug(QStringLiteral("pipe connection dropped, error %1").arg(int(code)));
    // abort() rather than disconnectFromServer(): nothing more is owed to a
    // client that broke the protocol, and waiting for it to read would let it
    // keep the connection.
    mSocket->abort();
    finish();
}

void QETPipeConnection::finish() {
    if (mFinished) {
        return;
    }
    mFinished = true;
    mIdleTimer.stop();
    mSocket->disconnect(this);
    // Never deleted here: this may run inside the socket's own signal.
    emit finished(this);
    deleteLater();
}
