// Arbitrary bytes as what a client sends down the QET pipe: split into frames
// the way a connection reads them, each body decoded as a request and as an
// acknowledgement. A body that decodes must encode back to the very bytes it
// came from (the encoding is canonical), so the decoder can neither accept
// trailing garbage nor invent content.
#include "qet/QETPipeFrame.h"

#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void checkBody(const QByteArray& frame, const QByteArray& body) {
    QStringList arguments;
    if (QETPipeFrame::decodeRequest(body, &arguments)) {
        if (QETPipeFrame::encodeRequest(arguments) != frame) {
            std::abort();
        }
    } else if (!arguments.isEmpty()) {
        std::abort(); // a refused body must leave the output alone
    }
    quint32 status = 0xDEADBEEF;
    if (QETPipeFrame::decodeAcknowledgement(body, &status)) {
        if (QETPipeFrame::encodeAcknowledgement(status) != frame) {
            std::abort();
        }
    } else if (status != 0xDEADBEEF) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    size_t offset = 0;
    while (size - offset >= static_cast<size_t>(QETPipeFrame::kHeaderSize)) {
        const quint32 length = QETPipeFrame::bodyLength(bytes + offset);
        if (!QETPipeFrame::isValidBodyLength(length)) {
            // A connection is dropped here; what follows is never read. The
            // rest is still worth decoding as one body of its own.
            if (length >= 1 && length <= QETPipeFrame::kMaxBodyLength) {
                std::abort(); // the check refused a length in range
            }
            offset += QETPipeFrame::kHeaderSize;
            const QByteArray rest(bytes + offset, static_cast<int>(size - offset));
            QStringList arguments;
            quint32 status = 0;
            QETPipeFrame::decodeRequest(rest, &arguments);
            QETPipeFrame::decodeAcknowledgement(rest, &status);
            return 0;
        }
        const size_t available = size - offset - QETPipeFrame::kHeaderSize;
        const size_t take = length < available ? length : available;
        const QByteArray frame(bytes + offset, static_cast<int>(QETPipeFrame::kHeaderSize + take));
        const QByteArray body = frame.mid(QETPipeFrame::kHeaderSize);
        if (take == length) {
            checkBody(frame, body);
        } else if (!body.isEmpty()) {
            // A frame cut short: a connection would wait for the rest. Taken
            // as a whole body of its own it must obey the same rules.
            QByteArray own(QETPipeFrame::kHeaderSize, '\0');
            qToBigEndian<quint32>(static_cast<quint32>(body.size()), own.data());
            checkBody(own + body, body);
        }
        offset += QETPipeFrame::kHeaderSize + take;
    }
    return 0;
}
