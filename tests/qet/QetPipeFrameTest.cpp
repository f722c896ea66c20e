#include <qet/QETPipeFrame.h>

#include <gtest/gtest.h>

#include <QDataStream>
#include <QtEndian>

namespace {

QByteArray bodyOf(const QByteArray& frame) {
    return frame.mid(QETPipeFrame::kHeaderSize);
}

// A body written field by field, for frames the encoder would never make.
QByteArray handMade(quint32 magic, quint16 version, quint8 kind,
                    const std::function<void(QDataStream&)>& payload) {
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_15);
    out << magic << version << kind;
    payload(out);
    return body;
}

TEST(QetPipeFrame, RequestsRoundTripWithTheirLengthInFront) {
    const QStringList args = {QStringLiteral("open"), QString(),
                              QStringLiteral("gr\u00fc\u00dfe \u2603"),
                              QStringLiteral("tab\there")};
    const QByteArray frame = QETPipeFrame::encodeRequest(args);
    ASSERT_GT(frame.size(), QETPipeFrame::kHeaderSize);
    EXPECT_EQ(QETPipeFrame::bodyLength(frame.constData()),
              static_cast<quint32>(frame.size() - QETPipeFrame::kHeaderSize));
    EXPECT_EQ(static_cast<unsigned char>(frame[0]), 0u); // big-endian: high byte first
    QStringList decoded;
    ASSERT_TRUE(QETPipeFrame::decodeRequest(bodyOf(frame), &decoded));
    EXPECT_EQ(decoded, args);

    EXPECT_FALSE(QETPipeFrame::isValidBodyLength(0));
    EXPECT_TRUE(QETPipeFrame::isValidBodyLength(1024 * 1024));
    EXPECT_FALSE(QETPipeFrame::isValidBodyLength(1024 * 1024 + 1));
    QStringList none;
    ASSERT_TRUE(
        QETPipeFrame::decodeRequest(bodyOf(QETPipeFrame::encodeRequest(QStringList())), &none));
    EXPECT_TRUE(none.isEmpty());
}

TEST(QetPipeFrame, AcknowledgementsRoundTripAndAreNotRequests) {
    const QByteArray ack = bodyOf(QETPipeFrame::encodeAcknowledgement(7));
    quint32 status = 0;
    ASSERT_TRUE(QETPipeFrame::decodeAcknowledgement(ack, &status));
    EXPECT_EQ(status, 7u);
    QStringList args;
    EXPECT_FALSE(QETPipeFrame::decodeRequest(ack, &args));
    EXPECT_FALSE(QETPipeFrame::decodeAcknowledgement(
        bodyOf(QETPipeFrame::encodeRequest({QStringLiteral("x")})), &status));
}

TEST(QetPipeFrame, BadMagicVersionKindOrLeftoversAreRejected) {
    auto list = [](QDataStream& out) { out << QStringList{QStringLiteral("a")}; };
    QStringList args;
    EXPECT_TRUE(QETPipeFrame::decodeRequest(handMade(0x51455450, 1, 1, list), &args));
    EXPECT_EQ(args, QStringList{QStringLiteral("a")});
    args = QStringList{QStringLiteral("sentinel")};
    EXPECT_FALSE(QETPipeFrame::decodeRequest(handMade(0x51455451, 1, 1, list), &args));
    EXPECT_FALSE(QETPipeFrame::decodeRequest(handMade(0x51455450, 2, 1, list), &args));
    EXPECT_FALSE(QETPipeFrame::decodeRequest(handMade(0x51455450, 0, 1, list), &args));
    EXPECT_FALSE(QETPipeFrame::decodeRequest(handMade(0x51455450, 1, 3, list), &args));
    EXPECT_FALSE(QETPipeFrame::decodeRequest(
        handMade(0x51455450, 1, 1, [](QDataStream& out) { out << QStringList() << quint8(0); }),
        &args));

    const QByteArray good = bodyOf(QETPipeFrame::encodeRequest({QStringLiteral("abc")}));
    for (int cut = 0; cut < good.size(); ++cut) {
        EXPECT_FALSE(QETPipeFrame::decodeRequest(good.left(cut), &args)) << cut;
    }
    // An odd byte count cannot be UTF-16.
    EXPECT_FALSE(QETPipeFrame::decodeRequest(handMade(0x51455450, 1, 1,
                                                      [](QDataStream& out) {
                                                          out << quint32(1) << quint32(3)
                                                              << quint8(1) << quint16(2);
                                                      }),
                                             &args));
    EXPECT_EQ(args, QStringList{QStringLiteral("sentinel")}); // untouched by every failure
}

TEST(QetPipeFrame, AHostileStringCountIsRejectedWithoutAllocatingForIt) {
    // Four thousand million strings announced in a few bytes: must fail at
    // once rather than reserve room for them.
    QStringList args;
    EXPECT_FALSE(QETPipeFrame::decodeRequest(
        handMade(0x51455450, 1, 1, [](QDataStream& out) { out << quint32(0xFFFFFFF0); }), &args));
    EXPECT_FALSE(QETPipeFrame::decodeRequest(
        handMade(0x51455450, 1, 1,
                 [](QDataStream& out) { out << quint32(3) << QString() << QString(); }),
        &args));
    // Null strings cost four bytes each and are honest.
    EXPECT_TRUE(QETPipeFrame::decodeRequest(
        handMade(0x51455450, 1, 1,
                 [](QDataStream& out) { out << quint32(2) << QString() << QString(); }),
        &args));
    EXPECT_EQ(args.size(), 2);
}

} // namespace
