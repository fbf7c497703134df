#include "MessageHeader.h"

#include <QtTest>

using namespace NVL::Engineering::VK;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

MessageHeader header(quint8 type, quint32 length)
{
    MessageHeader h = makeHeader(MessageType::Null);
    h.type = type;
    h.length = length;
    return h;
}

} // namespace

class TestMessageHeader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void byteExamples()
    {
        QCOMPARE(makeHeader(MessageType::ListRequest).toBytes(), hex("42 41 54 53 01 04 00 00 00 00 00 00"));
        QCOMPARE(makeHeader(MessageType::VersionResponse).toBytes() + QByteArray(1, '\1'),
                 hex("42 41 54 53 01 02 00 00 01 00 00 00 01"));
        QCOMPARE(makeHeader(MessageType::ListResponse, 4).toBytes() + QByteArray(4, '\0'),
                 hex("42 41 54 53 01 05 00 00 04 00 00 00 00 00 00 00"));
        const QByteArray parsed = hex("42 41 54 53 01 06 00 00 14 00 00 00");
        const MessageHeader h = MessageHeader::fromBytes(parsed.constData());
        QCOMPARE(h.magic, MessageHeader::Magic);
        QCOMPARE(h.type, quint8(6));
        QCOMPARE(h.length, 20u);
        QVERIFY(isValidHeader(parsed.constData()));
    }

    void makeHeaderLengths()
    {
        QCOMPARE(makeHeader(MessageType::BatteryReport, 7).length, 64u);
        QCOMPARE(makeHeader(MessageType::ListRequest, 7).length, 0u);
        QCOMPARE(makeHeader(MessageType::Null, 7).length, 0u);
        QCOMPARE(makeHeader(MessageType::VersionRequest, 7).length, 1u);
        QCOMPARE(makeHeader(MessageType::ListResponse, 132).length, 132u);
        QCOMPARE(makeHeader(MessageType::DeleteRequest, 12).length, 12u);
        const MessageHeader h = makeHeader(MessageType::DeleteRequest, 12);
        QCOMPARE(h.version, ProtocolVersion);
        QCOMPARE(h.reserved, quint16(0));
    }

    void lengthRules_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<quint32>("length");
        QTest::addColumn<bool>("valid");
        QTest::newRow("null 0") << 0 << 0u << true;
        QTest::newRow("null 1") << 0 << 1u << false;
        QTest::newRow("version request 1") << 1 << 1u << true;
        QTest::newRow("version request 0") << 1 << 0u << false;
        QTest::newRow("version response 1") << 2 << 1u << true;
        QTest::newRow("version response 2") << 2 << 2u << false;
        QTest::newRow("report 64") << 3 << 64u << true;
        QTest::newRow("report 63") << 3 << 63u << false;
        QTest::newRow("report 65") << 3 << 65u << false;
        QTest::newRow("list request 0") << 4 << 0u << true;
        QTest::newRow("list request 1") << 4 << 1u << false;
        QTest::newRow("list response 4") << 5 << 4u << true;
        QTest::newRow("list response 68") << 5 << 68u << true;
        QTest::newRow("list response 132") << 5 << 132u << true;
        QTest::newRow("list response 8") << 5 << 8u << false;
        // below 4 the subtraction wraps: 0 - 4 = 0xFFFFFFFC, whose low six bits are not zero
        QTest::newRow("list response 0 wraps") << 5 << 0u << false;
        QTest::newRow("list response 3 wraps") << 5 << 3u << false;
        QTest::newRow("list response near 2^32") << 5 << 0xFFFFFFC4u << true;
        QTest::newRow("delete 4") << 6 << 4u << true;
        QTest::newRow("delete 12") << 6 << 12u << true;
        QTest::newRow("delete 6") << 6 << 6u << false;
        QTest::newRow("delete 0 wraps") << 6 << 0u << false;
        QTest::newRow("delete 0xFFFFFFFC") << 6 << 0xFFFFFFFCu << true;
        QTest::newRow("type 7") << 7 << 0u << false;
        QTest::newRow("type 7 len 64") << 7 << 64u << false;
        QTest::newRow("type 255") << 255 << 4u << false;
    }

    void lengthRules()
    {
        QFETCH(int, type);
        QFETCH(quint32, length);
        QFETCH(bool, valid);
        QCOMPARE(isValidHeader(header(quint8(type), length)), valid);
    }

    void magicAndVersion()
    {
        QVERIFY(isValidHeader(hex("42 41 54 53 01 04 00 00 00 00 00 00").constData()));
        QVERIFY(!isValidHeader(hex("53 54 41 42 01 04 00 00 00 00 00 00").constData())); // S T A B
        QVERIFY(!isValidHeader(hex("42 41 54 53 02 04 00 00 00 00 00 00").constData()));
        QVERIFY(!isValidHeader(hex("42 41 54 53 00 04 00 00 00 00 00 00").constData()));
        // reserved is not examined on receipt
        QVERIFY(isValidHeader(hex("42 41 54 53 01 04 FF 7F 00 00 00 00").constData()));
    }

    void payloadLengths()
    {
        QCOMPARE(payloadLength(header(0, 0)), 0u);
        QCOMPARE(payloadLength(header(1, 1)), 1u);
        QCOMPARE(payloadLength(header(2, 1)), 1u);
        QCOMPARE(payloadLength(header(3, 64)), 64u);
        QCOMPARE(payloadLength(header(4, 0)), 0u);
        QCOMPARE(payloadLength(header(5, 132)), 4u);
        QCOMPARE(payloadLength(header(6, 20)), 4u);
        QCOMPARE(payloadLength(header(9, 20)), 0u);
    }
};

QTEST_GUILESS_MAIN(TestMessageHeader)
#include "tst_messageheader.moc"
