#ifndef QET_PIPEFRAME_H
#define QET_PIPEFRAME_H

#include "QETExport.h"

#include <QByteArray>
#include <QStringList>

// The frame of the QET pipe, both directions: a big-endian quint32 length L
// that does not count itself, then L bytes of QDataStream (Qt_5_15) holding
// the magic, the protocol version, the kind and the kind's payload.
class QET_EXPORT QETPipeFrame {
public:
    static constexpr quint32 kMagic = 0x51455450; // "QETP"
    static constexpr quint16 kProtocolVersion = 1;
    static constexpr quint8 kKindRequest = 1;
    static constexpr quint8 kKindAcknowledgement = 2;
    static constexpr quint32 kStatusHandled = 0;
    static constexpr int kHeaderSize = 4;
    static constexpr quint32 kMaxBodyLength = 1024 * 1024;

    // Whole frames, header included.
    static QByteArray encodeRequest(const QStringList& arguments);
    static QByteArray encodeAcknowledgement(quint32 status);

    // The length a header announces; valid only when 1 <= length <= 1 MiB.
    static quint32 bodyLength(const char* header);
    static bool isValidBodyLength(quint32 length);

    // Bodies without their header. False unless the body is exactly one frame
    // of the expected kind: right magic, version and kind, payload decoded
    // with nothing left over.
    static bool decodeRequest(const QByteArray& body, QStringList* arguments);
    static bool decodeAcknowledgement(const QByteArray& body, quint32* status);
};

#endif
