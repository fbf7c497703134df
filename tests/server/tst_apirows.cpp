// The API's battery rows written straight from a record say what the record's own texts say; guesses of
// the token from many addresses meet one bound.

#include "ApiTable.h"
#include "ApiViews.h"
#include "BatteryRecord.h"
#include "FleetAnswer.h"
#include "RecordingEventSink.h"
#include "SignInThrottle.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

using namespace NVL::Engineering::VK;

class TestApiRows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cellsSayWhatTheTextsSay_data()
    {
        QTest::addColumn<quint32>("type");
        QTest::addColumn<int>("kind");
        QTest::addColumn<quint8>("serialByte"); // serial[2]: the first character of some serial texts
        QTest::addColumn<QByteArray>("alias");
        QTest::newRow("other type, ASCII") << 0x12345678u << 0 << quint8('A') << QByteArray("Truck 7");
        QTest::newRow("type A, letter") << SelfMeasuringTypeA << 0 << quint8('K') << QByteArray("Löschzug Nordhafen");
        QTest::newRow("type A, byte above ASCII") << SelfMeasuringTypeA << 0 << quint8(0xC3) << QByteArray("\xFF\xFEoops");
        QTest::newRow("type B, kind 1") << SelfMeasuringTypeB << 1 << quint8(0x42) << QByteArray("=HYPERLINK(\"x\"),1");
        QTest::newRow("type B, control") << SelfMeasuringTypeB << 0 << quint8(0) << QByteArray("tab\there\nline");
    }

    void cellsSayWhatTheTextsSay()
    {
        QFETCH(quint32, type);
        QFETCH(int, kind);
        QFETCH(quint8, serialByte);
        QFETCH(QByteArray, alias);
        BatteryRecord r;
        r.version = 2;
        r.typeCode = type;
        r.kindFlag = quint8(kind);
        r.healthPercent = 84;
        r.fullCapacity = 2150;
        r.reportTime = 1765250000;
        r.reportAddress = 0x0A010405;
        const quint8 serial[8] = {0x00, 0x01, serialByte, 0x9A, 0xBC, 0xDE, 0xF0, 0x12};
        std::memcpy(r.serial, serial, 8);
        std::memcpy(r.esn, serial, 8);
        std::memcpy(r.alias, alias.constData(), size_t(std::min<qsizetype>(alias.size(), 20)));
        Forecast f;
        f.status = Forecast::Status::Date;
        f.day = 20800;
        f.slopePerYear = -7.256;
        f.days = 40;

        // A named type shows its name beside its code; any other its code twice.
        const TypeNames types({{SelfMeasuringTypeA, QStringLiteral("Li-ion 2300 mAh · Nordhafen")}});
        const QList<QJsonValue> row = ApiViews::batteryRow(r, f, types);
        const QString code = QStringLiteral("0x%1").arg(type, 8, 16, QLatin1Char('0'));
        // Poor by its newest report, a battery is Poor now: no day ahead, whatever its fit says.
        const bool poor = healthClass(r) == Poor;
        const QList<QJsonValue> expected{serialKeyText(r.serialKey()), serialText(r), esnText(r), aliasText(r),
                                         code, type == SelfMeasuringTypeA ? types.nameOf(type) : code, healthPercentage(r),
                                         healthName(r), 2150, 0, ApiViews::timeText(r.reportTime),
                                         QStringLiteral("10.1.4.5"), QString::fromLatin1(poor ? "now" : "date"),
                                         poor ? QJsonValue() : QJsonValue(ApiViews::dayText(20800))};
        QCOMPARE(row.mid(0, expected.size()), expected);
        QCOMPARE(row.at(16).toDouble(), -7.26);

        // Written from the cells, the same bytes as written from the values: JSON and CSV.
        const ApiTable table(ApiViews::batteryColumns());
        const ApiViews::BatteryCells cells = ApiViews::batteryCells(r, f, types);
        for (const bool csv : {false, true}) {
            QByteArray fromValues;
            QByteArray fromCells;
            table.appendRow(fromValues, row, true, csv);
            table.appendCells(fromCells, cells.data(), qsizetype(cells.size()), true, csv);
            QCOMPARE(fromCells, fromValues);
        }
        QByteArray json;
        table.appendCells(json, cells.data(), qsizetype(cells.size()), true, false);
        QCOMPARE(QJsonDocument::fromJson(json.trimmed()).object().value(QLatin1String("alias")), QJsonValue(aliasText(r)));
    }

    // Each address guesses under its own bound; all of them together past the fleet's bound make every
    // address wait, told once.
    void guessesFromManyAddressesMeetOneBound()
    {
        RecordingEventSink log;
        SignInThrottle throttle;
        const auto address = [](int i) { return QHostAddress(quint32(0x0A000000 + i)); };
        for (int i = 0; i < SignInThrottle::FleetFailures - 1; ++i) {
            throttle.failed(address(i));
            QCOMPARE(throttle.waitSeconds(address(i)), 0);
        }
        throttle.failed(address(1000));
        QCOMPARE(throttle.waitSeconds(address(2000)), 1);
        throttle.failed(address(1001));
        QCOMPARE(throttle.waitSeconds(address(2000)), 2);
        QCOMPARE(log.count(LogType::Warning, QStringLiteral("wrong tokens within a minute from all addresses")), 1);
    }

    void rankedAnswerSortsAcrossParts_data()
    {
        QTest::addColumn<bool>("descending");
        QTest::newRow("ascending") << false;
        QTest::newRow("descending") << true;
    }

    // The list sorted in parts orders aliases as the page sorted at once compares them.
    void aliasKeysOrderAsTheListCompares_data()
    {
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::newRow("case") << QByteArray("truck 12A") << QByteArray("Truck 12b");
        QTest::newRow("same letters") << QByteArray("VAN") << QByteArray("van");
        QTest::newRow("prefix") << QByteArray("Van") << QByteArray("Van 2");
        QTest::newRow("after the end") << QByteArray("Van\0zz", 6) << QByteArray("Van\0aa", 6);
        QTest::newRow("past ASCII") << QByteArray("\xC9" "cole") << QByteArray("\xE9" "cole");
        QTest::newRow("twenty letters") << QByteArray("Radio of the north 1") << QByteArray("Radio of the north 2");
    }

    void aliasKeysOrderAsTheListCompares()
    {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        BatteryRecord ra, rb;
        std::copy(a.cbegin(), a.cend(), ra.alias);
        std::copy(b.cbegin(), b.cend(), rb.alias);
        const int listed = qstrnicmp(ra.alias, rb.alias, sizeof ra.alias);
        const SortKey ka = SortKey::text(ra.alias, sizeof ra.alias), kb = SortKey::text(rb.alias, sizeof rb.alias);
        QCOMPARE(ka < kb ? -1 : (kb < ka ? 1 : 0), listed < 0 ? -1 : (listed > 0 ? 1 : 0));
    }

    // Chosen and sorted over many parts (sorted runs merged), the answer is the fleet sorted at once.
    void rankedAnswerSortsAcrossParts()
    {
        QFETCH(bool, descending);
        FleetIndex fleet;
        QRandomGenerator random(7);
        std::vector<std::pair<qint64, quint64>> expected;
        for (quint32 i = 0; i < 40000; ++i) {
            BatteryRecord r;
            r.version = 1;
            r.typeCode = SelfMeasuringTypeB;
            r.healthPercent = quint8(random.bounded(101));
            qToBigEndian(quint64(random.generate64() | 1), r.serial);
            fleet.update(r);
        }
        // Some leave again, from both runs the index keeps its order in.
        QList<QByteArray> leaving;
        for (const FleetIndex::Entry &e : fleet.entries())
            if (e.record.serial[7] % 5 == 0)
                leaving.append(e.record.serialKey());
        for (const QByteArray &serial : std::as_const(leaving)) {
            fleet.remove(serial);
            QVERIFY(!fleet.find(serial));
        }
        FleetIndex::Cursor cursor;
        std::size_t walked = 0;
        while (const FleetIndex::Entry *e = fleet.next(cursor)) {
            ++walked;
            QCOMPARE(FleetIndex::orderKey(e->record.serial), cursor.key);
            QCOMPARE(fleet.find(e->record.serialKey()), e); // found again where the last entry moved
            if (e->percent % 3 != 0)
                expected.emplace_back(e->percent, cursor.key);
        }
        QCOMPARE(walked, fleet.size());
        const std::vector<quint64> keys = fleet.orderedKeys();
        QVERIFY(std::is_sorted(keys.cbegin(), keys.cend()) && keys.size() == fleet.size());
        std::sort(expected.begin(), expected.end());
        if (descending)
            std::reverse(expected.begin(), expected.end());
        FleetAnswer answer(fleet, QByteArray(), true, [](const FleetIndex::Entry &e) -> std::optional<SortKey> {
            return e.percent % 3 != 0 ? std::optional<SortKey>(SortKey::number(e.percent)) : std::nullopt;
        }, descending);
        QByteArray written;
        int parts = 0;
        for (; !answer.atEnd(); ++parts)
            written += answer.next(64 * 1024);
        QVERIFY(parts > 10);
        const QList<QByteArray> lines = written.trimmed().split('\n');
        QCOMPARE(std::size_t(lines.size()), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            char key[8];
            qToBigEndian(expected[i].second, key);
            QVERIFY2(lines[qsizetype(i)].startsWith(QByteArray(key, 8).toHex().toUpper()), qPrintable(QString::number(i)));
        }
    }
};

QTEST_GUILESS_MAIN(TestApiRows)
#include "tst_apirows.moc"
