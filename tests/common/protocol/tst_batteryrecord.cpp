#include "BatteryRecord.h"

#include <QtTest>

using namespace NVL::Engineering::VK;

namespace {

BatteryRecord ordinary(quint16 cycles, quint16 capacity)
{
    BatteryRecord r;
    r.version = 1;
    r.typeCode = 0x00001234;
    r.cycleCount = cycles;
    r.fullCapacity = capacity;
    return r;
}

BatteryRecord selfMeasuring(quint32 type, quint8 percent)
{
    BatteryRecord r;
    r.version = 2;
    r.typeCode = type;
    r.healthPercent = percent;
    r.cycleCount = 3000; // would be 0 % if the cycles counted
    r.fullCapacity = 10;
    return r;
}

} // namespace

class TestBatteryRecord : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void layoutMatchesWireOffsets()
    {
        QByteArray bytes(64, '\0');
        bytes[0] = 2;
        bytes[1] = 77;
        bytes[4] = char(0xA0);
        bytes[12] = char(0xE5);
        bytes[20] = 'R';
        bytes[40] = char(0x34); bytes[41] = char(0x12);
        bytes[44] = char(0x80); bytes[45] = char(0x0C);
        bytes[50] = 1;
        bytes[52] = 0x16; bytes[53] = 0; bytes[54] = 0; bytes[55] = 0x01;
        bytes[56] = 1; bytes[57] = 0; bytes[58] = char(168); bytes[59] = char(192);
        bytes[60] = char(0x10); bytes[63] = char(0x60);
        const BatteryRecord r = BatteryRecord::fromBytes(bytes);
        QCOMPARE(r.version, quint8(2));
        QCOMPARE(r.healthPercent, quint8(77));
        QCOMPARE(r.serial[0], quint8(0xA0));
        QCOMPARE(r.esn[0], quint8(0xE5));
        QCOMPARE(r.alias[0], 'R');
        QCOMPARE(r.cycleCount, quint16(0x1234));
        QCOMPARE(r.fullCapacity, quint16(3200));
        QCOMPARE(r.kindFlag, quint8(1));
        QCOMPARE(r.typeCode, SelfMeasuringTypeB);
        QCOMPARE(r.reportAddress, 0xC0A80001u);
        QCOMPARE(r.reportTime, 0x60000010u);
        QCOMPARE(r.toBytes(), bytes);
        QCOMPARE(r.serialKey(), bytes.mid(4, 8));
        QCOMPARE(reportAddressText(r), QStringLiteral("192.168.0.1"));
        QCOMPARE(capacityText(r), QStringLiteral("3200 mAh"));
        QCOMPARE(cycleCountText(r), QStringLiteral("4660"));
    }

    void validity()
    {
        QByteArray bytes(64, '\0');
        for (int first : {0, 3, 255}) {
            bytes[0] = char(first);
            QVERIFY2(!isValidRecord(bytes), qPrintable(QString::number(first)));
        }
        bytes[0] = 1;
        QVERIFY(isValidRecord(bytes));
        bytes[0] = 2;
        QVERIFY(isValidRecord(bytes));
        QVERIFY(!isValidRecord(bytes.left(63)));
        QVERIFY(!isValidRecord(bytes + QByteArray(1, '\1')));
        QVERIFY(!isValidRecord(QByteArray()));
    }

    void computedHealth_data()
    {
        QTest::addColumn<int>("cycles");
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("percent");
        QTest::addColumn<int>("health");
        QTest::newRow("new") << 0 << 3780 << 100 << int(Excellent);
        QTest::newRow("500 cycles") << 500 << 3780 << 80 << int(Poor);
        QTest::newRow("250 cycles, big") << 250 << 4000 << 90 << int(Good);
        QTest::newRow("3100 mAh") << 0 << 3100 << 82 << int(Fair);
        QTest::newRow("worn out") << 3000 << 60000 << 0 << int(Poor);
        QTest::newRow("87.037 rounds down") << 0 << 3290 << 87 << int(Good);
        QTest::newRow("93.49 rounds down") << 0 << 3534 << 93 << int(Good);
        QTest::newRow("93.52 rounds up") << 0 << 3535 << 94 << int(Excellent);
        QTest::newRow("86.5 boundary") << 0 << 3270 << 87 << int(Good);
        QTest::newRow("capacity above reference capped") << 0 << 65535 << 100 << int(Excellent);
        QTest::newRow("cycles 100") << 100 << 3780 << 96 << int(Excellent);
    }

    void computedHealth()
    {
        QFETCH(int, cycles);
        QFETCH(int, capacity);
        QFETCH(int, percent);
        QFETCH(int, health);
        const BatteryRecord r = ordinary(quint16(cycles), quint16(capacity));
        QCOMPARE(healthPercentage(r), percent);
        QCOMPARE(int(healthClass(r)), health);
    }

    void kindFlagZeroesOrdinaryHealth()
    {
        BatteryRecord r = ordinary(0, 3780);
        r.kindFlag = 2;
        QCOMPARE(healthPercentage(r), 0);
        QCOMPARE(healthClass(r), Poor);
        QCOMPARE(healthName(r), QStringLiteral("Poor"));
    }

    void selfMeasuringTypesUseReportedPercent()
    {
        for (quint32 type : {SelfMeasuringTypeA, SelfMeasuringTypeB}) {
            BatteryRecord r = selfMeasuring(type, 95);
            r.kindFlag = 3; // does not zero a self-measured value
            QCOMPARE(healthPercentage(r), 95);
            QCOMPARE(healthName(r), QStringLiteral("Excellent"));
            r = selfMeasuring(type, 200);
            QCOMPARE(healthPercentage(r), 200);
            QCOMPARE(healthClass(r), Poor);
            QCOMPARE(healthName(r), QStringLiteral("Poor"));
            r = selfMeasuring(type, 84);
            QCOMPARE(healthName(r), QStringLiteral("Fair"));
            r = selfMeasuring(type, 88);
            QCOMPARE(healthName(r), QStringLiteral("Good"));
        }
    }

    void serialRenderings()
    {
        BatteryRecord r = selfMeasuring(SelfMeasuringTypeA, 90);
        const quint8 serial[8] = {0xFF, 0xEE, 'B', 0x01, 0x23, 0x45, 0x67, 0x89};
        std::copy(serial, serial + 8, r.serial);
        QCOMPARE(serialText(r), QStringLiteral("B0123456789"));

        r.kindFlag = 1; // ten digits from offsets 6 to 10
        QCOMPARE(serialText(r), QStringLiteral("4201234567"));

        r.kindFlag = 0;
        r.typeCode = SelfMeasuringTypeB;
        QCOMPARE(serialText(r), QStringLiteral("0123456789"));

        r.typeCode = 0x05410201; // any other type has no rendered serial
        QCOMPARE(serialText(r), QString());
    }

    void esnIsUpperHexInStorageOrderAndCached()
    {
        BatteryRecord r;
        const quint8 esn[8] = {0x00, 0x0A, 0xBC, 0xDE, 0xF1, 0x23, 0x45, 0x07};
        std::copy(esn, esn + 8, r.esn);
        QCOMPARE(esnText(r), QStringLiteral("000ABCDEF1234507"));
        QCOMPARE(esnText(r), QStringLiteral("000ABCDEF1234507"));
        r.esn[7] = 0x08; // a different ESN must not get the remembered text
        QCOMPARE(esnText(r), QStringLiteral("000ABCDEF1234508"));
    }

    void aliasStopsAtZeroOrFieldEnd()
    {
        BatteryRecord r;
        std::memcpy(r.alias, "Truck 7\0junk", 12);
        QCOMPARE(aliasText(r), QStringLiteral("Truck 7"));
        std::memcpy(r.alias, "ABCDEFGHIJKLMNOPQRST", 20);
        r.cycleCount = 0x4141; // the byte after the field must not leak in
        QCOMPARE(aliasText(r), QStringLiteral("ABCDEFGHIJKLMNOPQRST"));
        std::memcpy(r.alias, "Zo\xC3\xAB", 5);
        QCOMPARE(aliasText(r), QString::fromUtf8("Zo\xC3\xAB"));
    }

    void reportDateIsLocal()
    {
        BatteryRecord r;
        r.reportTime = 1736899200u + 23 * 3600 + 30 * 60; // 2025-01-15 23:30 UTC
        qputenv("TZ", "UTC");
        tzset();
        QCOMPARE(reportDateText(r), QStringLiteral("2025-01-15"));
        qputenv("TZ", "Asia/Tokyo");
        tzset();
        QCOMPARE(reportDateText(r), QStringLiteral("2025-01-16"));
        qputenv("TZ", "UTC");
        tzset();
        r.reportTime = 0xFFFFFFFFu; // unsigned: 2106, not 1969
        QCOMPARE(reportDateText(r), QStringLiteral("2106-02-07"));
    }
};

QTEST_GUILESS_MAIN(TestBatteryRecord)
#include "tst_batteryrecord.moc"
