// The history and its HTTP API on the real server: what a fleet manager's tools read, who may read it,
// and, under a shifted clock, the thinning over simulated weeks and a delete; and the history's thread in
// this process, for the order in which it answers.
#include "HistoryKeeper.h"
#include "RadioPeer.h"
#include "VoltkeepProcess.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <QSaveFile>
#include <QtTest>

#include <memory>
#include <utility>

#include <unistd.h>

using namespace NVL::Engineering::VK;

namespace {

const QString Loopback = QStringLiteral("127.0.0.1");
// The threads' variant: the server reads the clock on several threads, and the plain library's shared state
// can hand one of them the real time while another reads the clock file.
const QString Faketime = QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1");

struct Answer
{
    int status = 0;
    QByteArray type;
    QByteArray body;
};

BatteryRecord report(quint8 serialByte, quint8 percent)
{
    BatteryRecord r;
    r.version = 1;
    r.typeCode = SelfMeasuringTypeB;
    r.serial[2] = 0x42;
    r.serial[7] = serialByte;
    r.healthPercent = percent;
    r.fullCapacity = 3500;
    r.cycleCount = 100;
    std::memcpy(r.alias, "Truck 7", 7);
    return r;
}

// Field 19 of /proc/<pid>[/task/<tid>]/stat, counted after the command's closing parenthesis.
int niceOf(const QString &statPath)
{
    QFile stat(statPath);
    if (!stat.open(QIODevice::ReadOnly))
        return -100;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ').value(16).toInt();
}

} // namespace

class TestHistoryApi : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VoltkeepProcess> m_server;
    quint16 m_httpPort = 0;
    QString m_mounted;
    QNetworkAccessManager m_network;

    bool startServer(const QString &httpSection, const QList<QPair<QString, QString>> &environment = {})
    {
        if (!m_dir)
            m_dir = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<VoltkeepProcess>(m_dir->path());
        m_server->setPort(VoltkeepProcess::freePort());
        m_httpPort = VoltkeepProcess::freePort();
        QFile cfg(m_server->dataFolder() + QStringLiteral("/vk.cfg"));
        if (!cfg.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        cfg.write("[General]\nport=" + QByteArray::number(m_server->port()) + "\n"
                  + QString(httpSection).arg(m_httpPort).toUtf8());
        cfg.close();
        for (const auto &variable : environment)
            m_server->setEnvironment(variable.first, variable.second);
        return m_server->start() && m_server->log().contains(QLatin1String("Accepting connections on port"));
    }

    bool send(const BatteryRecord &r)
    {
        RadioPeer peer(Loopback, m_server->port());
        // The version reply comes after the report was taken in and stamped.
        return peer.connectToServer() && peer.sendReport(r) && peer.version().has_value();
    }

    Answer get(const QString &path, const QByteArray &header = {}, const QByteArray &value = {},
               const QByteArray &verb = QByteArrayLiteral("GET"))
    {
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path)));
        if (!header.isEmpty())
            request.setRawHeader(header, value);
        QNetworkReply *reply = m_network.sendCustomRequest(request, verb);
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        Answer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                      reply->header(QNetworkRequest::ContentTypeHeader).toByteArray(), reply->readAll()};
        reply->deleteLater();
        return answer;
    }

    QJsonObject json(const QString &path)
    {
        return QJsonDocument::fromJson(get(path).body).object();
    }

private Q_SLOTS:
    void initTestCase() { m_network.setProxy(QNetworkProxy::NoProxy); }

    // The event loop waits for a question: it waits for what was told before it, not for a burst's points.
    void questionPassesWaitingPoints()
    {
        QTemporaryDir dir;
        HistoryKeeper keeper(HistorySettings{}, dir.filePath(QStringLiteral("vk-history.db")));
        const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
        QList<BatteryRecord> burst(12 * HistoryKeeper::PointBatch, report(3, 80));
        for (quint32 i = 0; i < quint32(burst.size()); ++i) {
            std::memcpy(burst[i].serial + 3, &i, sizeof i);
            burst[i].reportTime = now;
        }
        const BatteryRecord gone = burst.takeFirst();
        const BatteryRecord kept = burst.takeFirst();
        keeper.record({gone, kept});
        keeper.removeBattery(gone.serialKey());
        for (qsizetype i = 0; i < burst.size(); i += HistoryKeeper::PointBatch)
            keeper.record(burst.mid(i, HistoryKeeper::PointBatch));
        QVERIFY(!keeper.history(gone.serialKey(), 0, now));
        QCOMPARE(keeper.history(kept.serialKey(), 0, now).value_or(QList<HistoryPoint>{}).size(), 1);
        QVERIFY2(keeper.waitingJobs() > 0, "the questions waited for the whole burst");
    }

    void cleanup()
    {
        m_server.reset();
        if (!m_mounted.isEmpty())
            QProcess::execute(QStringLiteral("umount"), {std::exchange(m_mounted, QString())});
        m_dir.reset();
    }

    void fleetHistoryAndForecastOverHttp()
    {
        QVERIFY(startServer(QStringLiteral("[http]\nlisten=127.0.0.1:%1\n")));
        QVERIFY(m_server->log().contains(QStringLiteral("HTTP API listening on 127.0.0.1:%1").arg(m_httpPort)));
        // The history's thread gives way to the event loop: ten nice levels below the server.
        const QString proc = QStringLiteral("/proc/%1").arg(m_server->processId());
        const int serverNice = niceOf(proc + QStringLiteral("/stat"));
        QStringList nices;
        for (const QString &task : QDir(proc + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            nices.append(QString::number(niceOf(proc + QStringLiteral("/task/") + task + QStringLiteral("/stat"))));
        QVERIFY2(nices.contains(QString::number(qMin(serverNice + 10, 19))), qPrintable(nices.join(u' ')));
        const quint32 before = quint32(QDateTime::currentSecsSinceEpoch());
        QVERIFY(send(report(1, 95)));
        BatteryRecord hostile = report(2, 70);
        std::memcpy(hostile.alias, "@SUM(1+1)*cmd|x", 15);
        QVERIFY(send(hostile));
        const QString key1 = QStringLiteral("00004200000000" "01");
        const QString key2 = QStringLiteral("00004200000000" "02");

        // The forecasts follow the commit within a few turns of the event loop; a battery Poor by its
        // report is due without one.
        QTRY_COMPARE_WITH_TIMEOUT(json(QStringLiteral("/api/v1/batteries"))[QLatin1String("batteries")][0][QLatin1String("forecastStatus")]
                                      .toString(),
                                  QStringLiteral("not-enough-history"), 5000);
        QCOMPARE(json(QStringLiteral("/api/v1/forecast?within=30"))[QLatin1String("batteries")].toArray().size(), 1);
        const QJsonObject due = json(QStringLiteral("/api/v1/forecast?within=30"))[QLatin1String("batteries")][0].toObject();
        QCOMPARE(due[QLatin1String("serial")].toString(), key2);
        QCOMPARE(due[QLatin1String("forecastStatus")].toString(), QStringLiteral("now"));

        const QJsonArray fleet = json(QStringLiteral("/api/v1/batteries"))[QLatin1String("batteries")].toArray();
        QCOMPARE(fleet.size(), 2);
        const QJsonObject first = fleet[0].toObject();
        QCOMPARE(first[QLatin1String("serial")].toString(), key1);
        QCOMPARE(first[QLatin1String("healthPercent")].toInt(), 95);
        QCOMPARE(first[QLatin1String("healthClass")].toString(), QStringLiteral("Excellent"));
        QCOMPARE(first[QLatin1String("alias")].toString(), QStringLiteral("Truck 7"));
        QCOMPARE(first[QLatin1String("forecastStatus")].toString(), QStringLiteral("not-enough-history"));
        const QDateTime stamped = QDateTime::fromString(first[QLatin1String("reportTime")].toString(), Qt::ISODate);
        QVERIFY(stamped.isValid() && stamped.toSecsSinceEpoch() >= before);

        const QJsonArray points = json(QStringLiteral("/api/v1/batteries/%1/history").arg(key1))[QLatin1String("points")].toArray();
        QCOMPARE(points.size(), 1);
        QCOMPARE(points[0].toObject()[QLatin1String("healthPercent")].toInt(), 95);
        QCOMPARE(points[0].toObject()[QLatin1String("cycleCount")].toInt(), 100);
        const QString today = QDate::currentDate().toString(Qt::ISODate);
        const QString tomorrow = QDate::currentDate().addDays(1).toString(Qt::ISODate);
        QCOMPARE(json(QStringLiteral("/api/v1/batteries/%1/history?from=%2").arg(key1, tomorrow))[QLatin1String("points")]
                     .toArray().size(), 0);

        const Answer csv = get(QStringLiteral("/api/v1/batteries/%1/history.csv?to=%2").arg(key1, today));
        QCOMPARE(csv.type, QByteArrayLiteral("text/csv; charset=utf-8"));
        QCOMPARE(csv.body.count("\r\n"), 2);
        QVERIFY(csv.body.startsWith("time,healthPercent,healthClass,fullCapacity,cycleCount\r\n"));

        struct Row { QString path; QByteArray accept; QByteArray verb; int status; QByteArray start; };
        const Row rows[] = {
            {QStringLiteral("/api/v1/batteries.csv"), {}, "GET", 200, "serial,serialText,esn,alias,"},
            {QStringLiteral("/api/v1/batteries"), "text/csv", "GET", 200, "serial,serialText,esn,alias,"},
            {QStringLiteral("/api/v1/batteries/%1").arg(key2), {}, "GET", 200, "{\"serial\":\"" + key2.toLatin1()},
            {QStringLiteral("/api/v1/batteries/%1.csv").arg(key2), {}, "GET", 200, "serial,"},
            {QStringLiteral("/api/v1/forecast.csv?within=0"), {}, "GET", 200, "serial,"},
            {QStringLiteral("/api/v1/batteries/00004200000000FF"), {}, "GET", 404, "no battery with serial"},
            {QStringLiteral("/api/v1/batteries/00004200000000FF/history"), {}, "GET", 404, "no history of serial"},
            {QStringLiteral("/api/v1/batteries/42"), {}, "GET", 400, "serial: 16 hexadecimal digits expected"},
            {QStringLiteral("/api/v1/batteries/%1/history?from=yesterday").arg(key1), {}, "GET", 400, "from: not an ISO 8601"},
            {QStringLiteral("/api/v1/forecast"), {}, "GET", 400, "within: a whole number of days"},
            {QStringLiteral("/api/v1/forecast?within=-1"), {}, "GET", 400, "within: a whole number of days"},
            {QStringLiteral("/api/v2/batteries"), {}, "GET", 404, "no such resource"},
            {QStringLiteral("/api/v1/batteries"), {}, "DELETE", 405, "the API only reads"},
            {QStringLiteral("/api/v1/batteries?due=soon"), {}, "GET", 400, "due: a whole number of days"},
            {QStringLiteral("/api/v1/batteries.csv?due=30"), {}, "GET", 200, "serial,serialText,esn,alias,"},
            // A filter not understood is said, not ignored: the CSV refuses it; class names in any case.
            {QStringLiteral("/batteries.csv?class=bogus"), {}, "GET", 400, "class=bogus is no health class"},
            {QStringLiteral("/batteries.csv?sort=bogus"), {}, "GET", 400, "sort=bogus is no column"},
            {QStringLiteral("/batteries.csv?class=Poor"), {}, "GET", 200, "serial,serialText,esn,alias,"},
            // People get a page with the ways back: an unknown battery, a mistyped page.
            {QStringLiteral("/batteries/00004200000000FF"), "text/html", "GET", 404, "<!DOCTYPE html>"},
            {QStringLiteral("/batterie"), "text/html", "GET", 404, "<!DOCTYPE html>"},
        };
        for (const Row &row : rows) {
            const Answer answer = get(row.path, row.accept.isEmpty() ? QByteArray() : QByteArrayLiteral("Accept"),
                                      row.accept, row.verb);
            QVERIFY2(answer.status == row.status && answer.body.startsWith(row.start),
                     qPrintable(row.path + QStringLiteral(": %1 ").arg(answer.status) + QString::fromUtf8(answer.body.left(80))));
            if (row.start.startsWith('<'))
                QVERIFY(answer.body.contains("<a href=\"/batteries\">All batteries</a>"));
            else
                QVERIFY(row.status == 200 || answer.body.count('\n') == 1);
        }
        QCOMPARE(get(QStringLiteral("/batteries.csv?class=Poor")).body.count("\r\n"), 2); // the header and the Poor one
        const Answer notUnderstood = get(QStringLiteral("/batteries?due=abc&sort=bogus"));
        QVERIFY2(notUnderstood.status == 200 && notUnderstood.body.contains("id=\"not-understood\"")
                     && notUnderstood.body.contains("due=abc is not a whole number of days") && notUnderstood.body.contains("sort=bogus is no column"),
                 notUnderstood.body.constData());
        // Neither has a date; the one Poor by its newest report is due all the same.
        QCOMPARE(get(QStringLiteral("/api/v1/batteries.csv?due=30")).body.count("\r\n"), 2);
        // An alias that a spreadsheet would run reaches every CSV as text.
        for (const QString &path : {QStringLiteral("/api/v1/batteries.csv"), QStringLiteral("/api/v1/batteries/%1.csv").arg(key2),
                                    QStringLiteral("/api/v1/forecast.csv?within=0"), QStringLiteral("/batteries.csv")}) {
            const QByteArray csvBody = get(path).body;
            QVERIFY2(csvBody.contains(",'@SUM(1+1)*cmd|x,") && !csvBody.contains(",@"), qPrintable(path));
        }

        // Reports still stored as ever: the API took nothing from the radios.
        RadioPeer peer(Loopback, m_server->port());
        QVERIFY(peer.connectToServer());
        QCOMPARE(peer.list()->size(), 2);
        QCOMPARE(json(QStringLiteral("/api/v1/forecast?within=30"))[QLatin1String("pending")].toInt(), 0);

        // Forecasts missing at a start are fitted in the background, and the log says when that is done.
        m_server->terminate();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("forecasts"));
            db.setDatabaseName(m_server->dataFolder() + QStringLiteral("/vk-history.db"));
            QVERIFY(db.open());
            QVERIFY(QSqlQuery(db).exec(QStringLiteral("DELETE FROM forecasts")));
            // As if the process had ended between the commit to vk.db and the history's.
            QVERIFY(QSqlQuery(db).exec(QStringLiteral("DELETE FROM points WHERE id = (SELECT id FROM batteries WHERE "
                                                      "serial = x'%1')").arg(key1)));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("forecasts"));
        QVERIFY(m_server->start());
        QVERIFY(m_server->waitForLog(QStringLiteral("Forecasts fitted after the start: 2 batteries in")));
        QVERIFY(m_server->waitForLog(QStringLiteral("History caught up: 1 report(s) stored in vk.db had no point yet")));
        QCOMPARE(json(QStringLiteral("/api/v1/batteries/%1/history").arg(key1))[QLatin1String("points")].toArray().size(), 1);
    }

    void fullDiskShowsOnlyWhatIsStored()
    {
        // The data folder on a file system of 1 MiB: far less than the reports sent need.
        m_dir = std::make_unique<QTemporaryDir>();
        if (geteuid() != 0
            || QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                           QStringLiteral("size=1m"), QStringLiteral("tmpfs"), m_dir->path()}) != 0)
            QSKIP("a small file system cannot be mounted here (it takes root)");
        m_mounted = m_dir->path();
        QVERIFY(startServer(QStringLiteral("[http]\nlisten=127.0.0.1:%1\n")));
        constexpr int Sent = 20000;
        QByteArray messages;
        for (int i = 0; i < Sent; ++i) {
            BatteryRecord r = report(0, 90);
            r.serial[5] = quint8(i >> 16);
            r.serial[6] = quint8(i >> 8);
            r.serial[7] = quint8(i);
            messages += RadioPeer::reportMessage(r);
        }
        RadioPeer peer(Loopback, m_server->port());
        QVERIFY(peer.connectToServer() && peer.sendRaw(messages));
        const auto listed = peer.list();
        QVERIFY(listed && listed->size() > 0 && listed->size() < Sent);
        const qsizetype stored = listed->size();

        // The index, the API and the metrics show what vk.db holds, and the rest is counted once.
        QCOMPARE(json(QStringLiteral("/api/v1/batteries"))[QLatin1String("batteries")].toArray().size(), stored);
        const QByteArray metrics = get(QStringLiteral("/metrics")).body;
        qsizetype batteries = 0;
        for (const QByteArray &line : metrics.split('\n')) {
            if (line.startsWith("voltkeep_batteries{"))
                batteries += line.mid(line.lastIndexOf(' ') + 1).toLongLong();
        }
        QCOMPARE(batteries, stored);
        QVERIFY2(metrics.contains("voltkeep_reports_dropped_total{reason=\"disk_full\"} " + QByteArray::number(Sent - stored)),
                 metrics.constData());
        // Health says what cannot be stored: the reports, unless the room the history's failed commit gave
        // back let the newest reports be stored; then the history, unless its next commit fitted as well.
        const auto health = get(QStringLiteral("/healthz"));
        const bool storingAgain = m_server->log().contains(QStringLiteral("; storing again"));
        const bool reportsRefused = health.status == 503 && health.body.contains("reports cannot be stored: disk full");
        const bool historyRefused = health.status == 503 && health.body.contains("the battery history cannot be written");
        const bool healthy = health.status == 200 && health.body.trimmed() == "ok";
        QVERIFY2(reportsRefused || (storingAgain && (historyRefused || healthy)),
                 qPrintable(QString::fromUtf8(health.body) + m_server->log()));
        // Said once per episode, not per commit: each failed commit of the history gives back room that a
        // commit of reports may take, and every further episode follows the log's word that storing works again.
        const int episodes = m_server->countInLog(QStringLiteral("disk full: reports cannot be stored"));
        const int recoveries = m_server->countInLog(QStringLiteral("; storing again"));
        QVERIFY2(episodes >= 1 && (episodes == recoveries || episodes == recoveries + 1), qPrintable(m_server->log()));
        // Every Error says why; besides the episodes, the history's failure once.
        const QStringList errors = m_server->log().split(QLatin1Char('\n')).filter(QLatin1String("Error: "));
        QVERIFY2(errors.size() <= episodes + 2, qPrintable(errors.join(QLatin1Char('\n'))));
        for (const QString &error : errors)
            QVERIFY2(!error.trimmed().endsWith(QLatin1Char(':')), qPrintable(error));
    }

    void historyThatCannotBeWrittenSaysSo()
    {
        QVERIFY(startServer(QStringLiteral("[http]\nlisten=127.0.0.1:%1\n")));
        QVERIFY(send(report(1, 95)));
        m_server->terminate();
        // The history file alone made read-only, as a read-only mount or a wrong owner would leave it.
        const QString history = m_server->dataFolder() + QStringLiteral("/vk-history.db");
        if (geteuid() != 0 || QProcess::execute(QStringLiteral("mount"), {QStringLiteral("--bind"), history, history}) != 0)
            QSKIP("a file cannot be mounted read-only here (it takes root)");
        m_mounted = history;
        QCOMPARE(QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,bind,ro"), history, history}), 0);
        QVERIFY(m_server->start());
        QVERIFY(m_server->waitForLog(QStringLiteral("vk-history.db cannot be written: attempt to write a readonly database")));
        QVERIFY(send(report(1, 94))); // radios are served all the same

        const Answer health = get(QStringLiteral("/healthz"));
        QCOMPARE(health.status, 503);
        QVERIFY2(health.body.contains("the battery history is not kept: "), health.body.constData());
        QVERIFY(get(QStringLiteral("/metrics")).body.contains("\nvoltkeep_history_up 0\n"));
        const Answer points = get(QStringLiteral("/api/v1/batteries/00004200000000" "01/history"));
        QCOMPARE(points.status, 503);
        QVERIFY2(points.body.startsWith("history is on but not kept: "), points.body.constData());
    }

    void tokenAndNonLoopbackListening()
    {
        QVERIFY(startServer(QStringLiteral("[http]\nlisten=127.0.0.1:%1\ntoken=s3cret\n")));
        QCOMPARE(get(QStringLiteral("/api/v1/batteries")).status, 401);
        QCOMPARE(get(QStringLiteral("/api/v1/nothing")).status, 401);
        QCOMPARE(get(QStringLiteral("/api/v1/batteries"), "Authorization", "Bearer wrong").status, 401);
        QCOMPARE(get(QStringLiteral("/api/v1/batteries"), "Authorization", "Bearer s3cret").status, 200);

        QVERIFY(startServer(QStringLiteral("[http]\nlisten=0.0.0.0:%1\n")));
        QVERIFY(m_server->log().contains(QLatin1String("HTTP API not started: 0.0.0.0:")));
        QCOMPARE(m_server->countInLog(QStringLiteral("HTTP API listening")), 0);
        QVERIFY(send(report(3, 90)));
    }

    void thinningOverSimulatedWeeksAndDelete()
    {
        if (!QFile::exists(Faketime))
            QSKIP("libfaketime is not installed (Debian package faketime)");
        // The server's clock is the real one shifted by the offset in this file, read at every call;
        // timers keep the real monotonic clock.
        QTemporaryDir clockDir;
        const QString clockFile = clockDir.filePath(QStringLiteral("offset"));
        // Replaced whole: a server reading a file being rewritten would find it empty and take the real time.
        const auto setClock = [&clockFile](const QDateTime &when) {
            QSaveFile file(clockFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray::number(when.toSecsSinceEpoch() - QDateTime::currentSecsSinceEpoch()).prepend(
                when.toSecsSinceEpoch() >= QDateTime::currentSecsSinceEpoch() ? "+" : ""));
            QVERIFY(file.commit());
        };
        const QDateTime start(QDate::currentDate().addDays(1), QTime(8, 0));
        setClock(start);
        QByteArray preload = Faketime.toUtf8();
        const QByteArray asanOptions = qgetenv("ASAN_OPTIONS");
        QVERIFY(startServer(QStringLiteral("[http]\nlisten=127.0.0.1:%1\n"),
                            {{QStringLiteral("LD_PRELOAD"), QString::fromUtf8(preload)},
                             {QStringLiteral("FAKETIME_TIMESTAMP_FILE"), clockFile},
                             {QStringLiteral("FAKETIME_NO_CACHE"), QStringLiteral("1")},
                             {QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1")},
                             // The sanitizer's runtime then comes second in the list of libraries; it works so.
                             {QStringLiteral("ASAN_OPTIONS"),
                              QString::fromUtf8(asanOptions + (asanOptions.isEmpty() ? "" : ":")) +
                                  QStringLiteral("verify_asan_link_order=0")}}));
        // Six weeks, two reports a day of one battery.
        const int days = 42;
        for (int d = 0; d < days; ++d) {
            for (int hour : {8, 16}) {
                setClock(start.addDays(d).addSecs((hour - 8) * 3600));
                QVERIFY(send(report(5, quint8(99 - d / 6))));
            }
        }
        // The newest 30 days and today keep both points; the days before them only the later one.
        const QString key = QStringLiteral("0000420000000005");
        const int thinnedDays = days - 1 - 30;
        QTRY_COMPARE_WITH_TIMEOUT(json(QStringLiteral("/api/v1/batteries/%1/history").arg(key))[QLatin1String("points")]
                                      .toArray().size(),
                                  thinnedDays + 2 * (days - thinnedDays), 10000);
        const QJsonArray points = json(QStringLiteral("/api/v1/batteries/%1/history").arg(key))[QLatin1String("points")].toArray();
        for (int i = 0; i < thinnedDays; ++i) {
            const QDateTime time = QDateTime::fromString(points[i].toObject()[QLatin1String("time")].toString(), Qt::ISODate);
            QCOMPARE(time.toLocalTime().date(), start.date().addDays(i));
            QCOMPARE(time.toLocalTime().time().hour(), 16);
        }
        QCOMPARE(json(QStringLiteral("/api/v1/batteries/%1").arg(key))[QLatin1String("forecastStatus")].toString(),
                 QStringLiteral("date"));

        RadioPeer peer(Loopback, m_server->port());
        QVERIFY(peer.connectToServer());
        QVERIFY(peer.deleteSerials({QByteArray::fromHex(key.toLatin1())}));
        QVERIFY(peer.version().has_value());
        QCOMPARE(get(QStringLiteral("/api/v1/batteries/%1/history").arg(key)).status, 404);
        QCOMPARE(get(QStringLiteral("/api/v1/batteries/%1").arg(key)).status, 404);
    }
};

QTEST_GUILESS_MAIN(TestHistoryApi)
#include "tst_historyapi.moc"
