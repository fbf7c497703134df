// CSV fields: texts a spreadsheet would run are neutralised, the rest quoted only where needed.
#include "CsvField.h"

#include <QTest>

using namespace NVL::Engineering::VK;

class TestCsvField : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void field_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("written");
        QTest::newRow("plain") << QStringLiteral("Truck 7") << QStringLiteral("Truck 7");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("comma") << QStringLiteral("a,b") << QStringLiteral("\"a,b\"");
        QTest::newRow("quote") << QStringLiteral("say \"hi\"") << QStringLiteral("\"say \"\"hi\"\"\"");
        QTest::newRow("formula, quoted") << QStringLiteral("=HYPERLINK(\"http://x\",\"y\")")
                                         << QStringLiteral("\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\"");
        QTest::newRow("plus") << QStringLiteral("+cmd|/C calc!A0") << QStringLiteral("'+cmd|/C calc!A0");
        QTest::newRow("minus") << QStringLiteral("-2+3") << QStringLiteral("'-2+3");
        QTest::newRow("at") << QStringLiteral("@SUM(1+1)*cmd|x") << QStringLiteral("'@SUM(1+1)*cmd|x");
        QTest::newRow("tab") << QStringLiteral("\t=1") << QStringLiteral("'\t=1");
        QTest::newRow("carriage return") << QStringLiteral("\r=1") << QStringLiteral("\"'\r=1\"");
        QTest::newRow("formula sign inside") << QStringLiteral("a=b") << QStringLiteral("a=b");
    }

    void field()
    {
        QFETCH(QString, text);
        QFETCH(QString, written);
        QCOMPARE(Csv::field(text), written);
    }
};

QTEST_GUILESS_MAIN(TestCsvField)
#include "tst_csvfield.moc"
