#include "qet/QETPipeClient.h"

#include "qet/QETPipeFrame.h"
#include "qet/QETPipeServer.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>

QETPipeClient::QETPipeClient() : mSocket(new QLocalSocket) {}

QETPipeClient::~QETPipeClient() {
    delete mSocket;
}

bool QETPipeClient::connectToServer(const QString& path, int timeoutMs) {
    QString target = path;
    if (target.isEmpty()) {
        QString why;
        target = QETPipeServer::socketPath(&why);
        if (target.isEmpty()) {
            mError = QStringLiteral("no QET socket: %1").arg(why);
            return false;
        }
    }
    mSocket->connectToServer(target);
    if (!mSocket->waitForConnected(timeoutMs)) {
        switch (mSocket->error()) {
        case QLocalSocket::ServerNotFoundError:
            mError = QStringLiteral("no socket at %1").arg(target);
            break;
        case QLocalSocket::ConnectionRefusedError:
            mError = QStringLiteral("nothing listens on %1").arg(target);
            break;
        default:
            mError = QStringLiteral("cannot connect to %1: %2").arg(target, mSocket->errorString());
            break;
        }
        return false;
    }
    return true;
}

bool QETPipeClient::connectWhenListening(const QString& path, int timeoutMs) {
    constexpr int kRetryMs = 20;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (connectToServer(path, static_cast<int>(qMax<qint64>(1, left)))) {
            return true;
        }
        const bool notYet = mSocket->error() == QLocalSocket::ServerNotFoundError ||
                            mSocket->error() == QLocalSocket::ConnectionRefusedError;
        mSocket->abort();
        if (!notYet || left <= kRetryMs) {
            return false;
        }
        QThread::msleep(kRetryMs);
    }
}

bool QETPipeClient::readExactly(char* data, qint64 size, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    qint64 done = 0;
    while (done < size) {
        const qint64 got = mSocket->read(data + done, size - done);
        if (got < 0) {
            mError = mSocket->errorString();
            return false;
        }
        done += got;
        if (done == size) {
            break;
        }
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || !mSocket->waitForReadyRead(static_cast<int>(left))) {
            mError = mSocket->state() == QLocalSocket::ConnectedState
                         ? QStringLiteral("no acknowledgement within %1 ms").arg(timeoutMs)
                         : QStringLiteral("QET closed the connection");
            return false;
        }
    }
    return true;
}

bool QETPipeClient::send(const QStringList& arguments, int timeoutMs, quint32* status) {
    QElapsedTimer clock;
    clock.start();
    const QByteArray frame = QETPipeFrame::encodeRequest(arguments);
    if (frame.size() - QETPipeFrame::kHeaderSize > static_cast<int>(QETPipeFrame::kMaxBodyLength)) {
        mError = QStringLiteral("request larger than %1 bytes").arg(QETPipeFrame::kMaxBodyLength);
        return false;
    }
    mSocket->write(frame);
    while (mSocket->bytesToWrite() > 0) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || !mSocket->waitForBytesWritten(static_cast<int>(left))) {
            mError = QStringLiteral("cannot send the request: %1").arg(mSocket->errorString());
            return false;
        }
    }
    char header[QETPipeFrame::kHeaderSize];
    const int left = static_cast<int>(qMax<qint64>(1, timeoutMs - clock.elapsed()));
    if (!readExactly(header, sizeof header, left)) {
        return false;
    }
    const quint32 length = QETPipeFrame::bodyLength(header);
    if (!QETPipeFrame::isValidBodyLength(length)) {
        mError = QStringLiteral("bad acknowledgement length %1").arg(length);
        return false;
    }
    QByteArray body(static_cast<int>(length), '\0');
    if (!readExactly(body.data(), length,
                     static_cast<int>(qMax<qint64>(1, timeoutMs - clock.elapsed())))) {
        return false;
    }
    quint32 value = 0;
    if (!QETPipeFrame::decodeAcknowledgement(body, &value)) {
        mError = QStringLiteral("malformed acknowledgement");
        return false;
    }
    if (status != nullptr) {
        *status = value;
    }
    return true;
}

void QETPipeClient::disconnectFromServer() {
    mSocket->abort();
}
