#include "qet/QETPipeFrame.h"

#include <QDataStream>
#include <QtEndian>

namespace {

// Every string in a QDataStream costs at least its own quint32 length, so a
// count larger than the bytes left / 4 cannot be honest. Qt's own QList reader
// reserves the announced count up front, which a hostile frame could turn into
// a multi-gigabyte allocation; hence the strings are read one by one here.
constexpr int kMinEncodedStringSize = 4;

QByteArray withHeader(const QByteArray& body) {
    QByteArray frame(QETPipeFrame::kHeaderSize, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(body.size()), frame.data());
    frame.append(body);
    return frame;
}

QByteArray encodeBody(quint8 kind, const QStringList* arguments, quint32 status) {
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_15);
    out << QETPipeFrame::kMagic << QETPipeFrame::kProtocolVersion << kind;
    if (arguments != nullptr) {
        out << *arguments;
    } else {
        out << status;
    }
    return body;
}

bool readPreamble(QDataStream& in, quint8 expectedKind) {
    quint32 magic = 0;
    quint16 version = 0;
    quint8 kind = 0;
    in >> magic >> version >> kind;
    return in.status() == QDataStream::Ok && magic == QETPipeFrame::kMagic &&
           version == QETPipeFrame::kProtocolVersion && kind == expectedKind;
}

} // namespace

QByteArray QETPipeFrame::encodeRequest(const QStringList& arguments) {
    return withHeader(encodeBody(kKindRequest, &arguments, 0));
}

QByteArray QETPipeFrame::encodeAcknowledgement(quint32 status) {
    return withHeader(encodeBody(kKindAcknowledgement, nullptr, status));
}

quint32 QETPipeFrame::bodyLength(const char* header) {
    return qFromBigEndian<quint32>(header);
}

bool QETPipeFrame::isValidBodyLength(quint32 length) {
    return length >= 1 && length <= kMaxBodyLength;
}

bool QETPipeFrame::decodeRequest(const QByteArray& body, QStringList* arguments) {
    QDataStream in(body);
    in.setVersion(QDataStream::Qt_5_15);
    if (!readPreamble(in, kKindRequest)) {
        return false;
    }
    quint32 count = 0;
    in >> count;
    if (in.status() != QDataStream::Ok) {
        return false;
    }
    const qint64 left = body.size() - in.device()->pos();
    if (static_cast<qint64>(count) > left / kMinEncodedStringSize) {
        return false;
    }
    QStringList decoded;
    decoded.reserve(static_cast<int>(count));
    for (quint32 i = 0; i < count; ++i) {
        QString argument;
        in >> argument;
        if (in.status() != QDataStream::Ok) {
            return false;
        }
        decoded.append(argument);
    }
    if (!in.atEnd()) {
        return false;
    }
    *arguments = decoded;
    return true;
}

bool QETPipeFrame::decodeAcknowledgement(const QByteArray& body, quint32* status) {
    QDataStream in(body);
    in.setVersion(QDataStream::Qt_5_15);
    if (!readPreamble(in, kKindAcknowledgement)) {
        return false;
    }
    quint32 value = 0;
    in >> value;
    if (in.status() != QDataStream::Ok || !in.atEnd()) {
        return false;
    }
    *status = value;
    return true;
}
