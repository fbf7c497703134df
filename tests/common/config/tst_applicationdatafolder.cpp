#include "ApplicationDataFolder.h"
#include "DataPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace NVL::Engineering::VK;

class TestApplicationDataFolder : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Norvale"));
        QCoreApplication::setApplicationName(QStringLiteral("Voltkeep"));
    }

    void cleanup() { qunsetenv("NORVALE_COMMON_APPDATA"); }

    void environmentNamesTheCommonFolder()
    {
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        const QString base = temp.path() + QStringLiteral("/not/yet/there");
        qputenv("NORVALE_COMMON_APPDATA", base.toUtf8());

        QCOMPARE(commonApplicationDataFolder(), base);
        const QString folder = applicationDataFolder();
        QCOMPARE(folder, base + QStringLiteral("/Norvale/Voltkeep"));
        QVERIFY2(QFileInfo(folder).isDir(), "folder and its parents are created");
        // Calling again on an existing folder changes nothing.
        QCOMPARE(applicationDataFolder(), folder);
    }

    void processWideNamesAreUsed()
    {
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        qputenv("NORVALE_COMMON_APPDATA", temp.path().toUtf8());
        QCoreApplication::setApplicationName(QStringLiteral("Cellwarden"));
        QCOMPARE(applicationDataFolder(), temp.path() + QStringLiteral("/Norvale/Cellwarden"));
    }

    void unsetOrEmptyEnvironmentFallsBackToVarLib()
    {
        qputenv("NORVALE_COMMON_APPDATA", QByteArray());
        QCOMPARE(commonApplicationDataFolder(), QStringLiteral("/var/lib"));
        qunsetenv("NORVALE_COMMON_APPDATA");
        QCOMPARE(commonApplicationDataFolder(), QStringLiteral("/var/lib"));
        QCOMPARE(joinApplicationDataFolder(commonApplicationDataFolder(), QStringLiteral("Norvale"),
                                           QStringLiteral("Voltkeep")),
                 QStringLiteral("/var/lib/Norvale/Voltkeep"));
    }

    void joining_data()
    {
        QTest::addColumn<QString>("organisation");
        QTest::addColumn<QString>("application");
        QTest::addColumn<QString>("expected");
        QTest::newRow("both names") << "Norvale" << "Cellwarden" << "/base/Norvale/Cellwarden";
        QTest::newRow("no organisation") << "" << "Cellwarden" << "/base";
        QTest::newRow("no application") << "Norvale" << "" << "/base";
    }

    void joining()
    {
        QFETCH(QString, organisation);
        QFETCH(QString, application);
        QFETCH(QString, expected);
        QCOMPARE(joinApplicationDataFolder(QStringLiteral("/base"), organisation, application), expected);
    }

    // The paths computed once at start are those the process-wide names used to give.
    void dataPathsAreThoseOfTheProcessNames_data()
    {
        QTest::addColumn<bool>("override");
        QTest::newRow("default folder") << false;
        QTest::newRow("NORVALE_COMMON_APPDATA") << true;
    }

    void dataPathsAreThoseOfTheProcessNames()
    {
        QFETCH(bool, override);
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        if (override)
            qputenv("NORVALE_COMMON_APPDATA", temp.path().toUtf8());
        // As applicationDataFolder() joins them, without creating anything under the machine's folder.
        const auto folderOf = [](const QString &application) {
            QCoreApplication::setApplicationName(application);
            return joinApplicationDataFolder(commonApplicationDataFolder(), QCoreApplication::organizationName(),
                                             QCoreApplication::applicationName());
        };
        const DataPaths paths = DataPaths::current();
        QCOMPARE(paths.databaseFile(), folderOf(QStringLiteral("Voltkeep")) + QStringLiteral("/vk.db"));
        QCOMPARE(paths.settingsFile(), folderOf(QStringLiteral("Voltkeep")) + QStringLiteral("/vk.cfg"));
        QCOMPARE(paths.configurationFile, folderOf(QStringLiteral("Cellwarden")) + QStringLiteral("/Bellwright.JSON"));
        QCOMPARE(paths.serverFolder.startsWith(override ? temp.path() : QStringLiteral("/var/lib/")), true);
    }

    void noNamesMeansTheCommonFolderItself()
    {
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        qputenv("NORVALE_COMMON_APPDATA", temp.path().toUtf8());
        QCoreApplication::setOrganizationName(QString());
        QCOMPARE(applicationDataFolder(), temp.path());
        QVERIFY(QDir(temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestApplicationDataFolder)
#include "tst_applicationdatafolder.moc"
