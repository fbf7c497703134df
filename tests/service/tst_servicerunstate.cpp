// The service-run state on its own: control requests from other threads reach the service on the
// event-loop thread, each answered only after the service acted on it, with the states published
// in order.
#include "ServiceBase.h"
#include "ServiceRunState.h"

#include <QCoreApplication>
#include <QMutex>
#include <QTest>
#include <QThread>

#include <thread>
#include <vector>

using namespace NVL::Engineering::VK;

namespace {

// Uses the test's own application object and event loop; records every call with its thread.
class JournalService final : public ServiceBase
{
public:
    explicit JournalService(int flags = 0)
        : ServiceBase(0, nullptr, QStringLiteral("Journal"))
    {
        setServiceFlags(flags);
    }

    void note(const QString &entry)
    {
        const QMutexLocker lock(&m_mutex);
        m_journal.append(entry);
        if (QThread::currentThread() != qApp->thread())
            m_offMainThread.append(entry);
    }

    QStringList entries() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_journal;
    }

    QStringList offMain() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_offMainThread;
    }

    bool refuseApplication = false;
    int exitFromStart = -1;
    QStringList applicationArguments;

protected:
    void start() override
    {
        note(QStringLiteral("start"));
        if (exitFromStart >= 0)
            QCoreApplication::exit(exitFromStart);
    }
    void stop() override
    {
        // Slow enough that a control handler that did not wait would be seen answering first.
        QThread::msleep(50);
        note(QStringLiteral("stop"));
    }
    void pause() override { note(QStringLiteral("pause")); }
    void resume() override { note(QStringLiteral("resume")); }
    void runCommand(int code) override { note(QStringLiteral("command %1").arg(code)); }
    void makeApplication(int &argc, char **argv) override
    {
        for (int i = 0; i < argc; ++i)
            applicationArguments.append(QString::fromLocal8Bit(argv[i]));
        m_made = !refuseApplication;
    }
    int runApplication() override { return QCoreApplication::exec(); }
    void deleteApplication() override { m_made = false; }
    bool hasApplication() const override { return m_made; }

private:
    mutable QMutex m_mutex;
    QStringList m_journal;
    QStringList m_offMainThread;
    bool m_made = false;
};

class StatusRecorder
{
public:
    ServiceRunState::Publisher publisher()
    {
        return [this](const ServiceStatus &status) {
            const QMutexLocker lock(&m_mutex);
            m_statuses.push_back(status);
        };
    }

    std::vector<ServiceStatus> statuses() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_statuses;
    }

    QList<quint32> states() const
    {
        QList<quint32> result;
        for (const ServiceStatus &status : statuses())
            result.append(status.currentState);
        return result;
    }

    // Without repeats: whether the control thread republishes the pending state after the service
    // acted depends on whether the event loop has ended by then.
    QList<quint32> changes() const
    {
        QList<quint32> result;
        for (quint32 state : states())
            if (result.isEmpty() || result.last() != state)
                result.append(state);
        return result;
    }

private:
    mutable QMutex m_mutex;
    std::vector<ServiceStatus> m_statuses;
};

} // namespace

class TestServiceRunState : public QObject
{
    Q_OBJECT

private slots:
    void startThenStopPublishesInOrder();
    void pauseContinueCommandsAndShutdown();
    void exitCodeOfTheLoopIsPublished();
    void noStartWithinTheLimit();
    void noApplicationReleasesTheServiceMain();
};

void TestServiceRunState::startThenStopPublishesInOrder()
{
    JournalService service;
    StatusRecorder recorder;
    ServiceRunState state(service, recorder.publisher());
    QCOMPARE(state.status().currentState, quint32(ServiceStopped));
    QCOMPARE(state.status().serviceType, 0x110u);
    QCOMPARE(state.status().controlsAccepted, quint32(AcceptStop));

    std::thread serviceMain([&] {
        state.receiveArguments({QStringLiteral("Journal"), QStringLiteral("-a")});
        state.waitForApplication();
        state.control(ControlInternalStart);
        service.note(QStringLiteral("start answered"));
        state.control(ControlInterrogate);
        state.control(ControlStop);
        service.note(QStringLiteral("stop answered"));
    });
    QVERIFY(state.waitForStart(5000));
    QCOMPARE(state.arguments(), (QStringList{QStringLiteral("Journal"), QStringLiteral("-a")}));
    QVERIFY(state.runApplication());
    serviceMain.join();
    state.endApplication();

    QCOMPARE(service.applicationArguments, (QStringList{QStringLiteral("Journal"), QStringLiteral("-a")}));
    QCOMPARE(service.entries(), (QStringList{QStringLiteral("start"), QStringLiteral("start answered"),
                                             QStringLiteral("stop"), QStringLiteral("stop answered")}));
    // Only the answers came from the other thread; the service ran on the event loop's.
    QCOMPARE(service.offMain(), (QStringList{QStringLiteral("start answered"), QStringLiteral("stop answered")}));
    // Start pending, running, running again for the interrogation, stop pending, stopped.
    QCOMPARE(recorder.states().mid(0, 4), (QList<quint32>{2, 4, 4, 3}));
    QCOMPARE(recorder.changes(), (QList<quint32>{2, 4, 3, 1}));
    for (const ServiceStatus &status : recorder.statuses()) {
        QCOMPARE(status.serviceType, 0x110u);
        QCOMPARE(status.controlsAccepted, 1u);
        QCOMPARE(status.serviceSpecificExitCode, 0u);
        QCOMPARE(status.checkPoint, 0u);
        QCOMPARE(status.waitHint, 0u);
    }
    QCOMPARE(recorder.statuses().back().exitCode, 0u);
    QCOMPARE(state.status().currentState, quint32(ServiceStopped));
}

void TestServiceRunState::pauseContinueCommandsAndShutdown()
{
    JournalService service(ServiceBase::CanBeSuspended | ServiceBase::NeedsStopOnShutdown);
    StatusRecorder recorder;
    ServiceRunState state(service, recorder.publisher());
    QCOMPARE(state.status().controlsAccepted, quint32(AcceptStop | AcceptPauseContinue | AcceptShutdown));

    std::thread serviceMain([&] {
        state.receiveArguments({QStringLiteral("Journal")});
        state.waitForApplication();
        state.control(ControlInternalStart);
        state.control(ControlPause);
        state.control(ControlContinue);
        state.control(128);
        state.control(255);
        state.control(6);   // not a code the handler knows
        state.control(257); // beyond the user range
        state.control(ControlShutdown);
        service.note(QStringLiteral("shutdown answered"));
    });
    QVERIFY(state.waitForStart(5000));
    QVERIFY(state.runApplication());
    serviceMain.join();

    QCOMPARE(service.entries(),
             (QStringList{QStringLiteral("start"), QStringLiteral("pause"), QStringLiteral("resume"),
                          QStringLiteral("command 0"), QStringLiteral("command 127"), QStringLiteral("stop"),
                          QStringLiteral("shutdown answered")}));
    QCOMPARE(service.offMain(), QStringList{QStringLiteral("shutdown answered")});
    // The shutdown publishes no pending state of its own; the other codes republish running.
    QCOMPARE(recorder.states().mid(0, 10), (QList<quint32>{2, 4, 6, 7, 5, 4, 4, 4, 4, 4}));
    QCOMPARE(recorder.changes(), (QList<quint32>{2, 4, 6, 7, 5, 4, 1}));
}

void TestServiceRunState::exitCodeOfTheLoopIsPublished()
{
    JournalService service;
    service.exitFromStart = 7;
    StatusRecorder recorder;
    ServiceRunState state(service, recorder.publisher());
    std::thread serviceMain([&] {
        state.receiveArguments({QStringLiteral("Journal")});
        state.waitForApplication();
        state.control(ControlInternalStart);
    });
    QVERIFY(state.waitForStart(5000));
    QVERIFY(state.runApplication());
    serviceMain.join();
    QCOMPARE(recorder.statuses().back().currentState, quint32(ServiceStopped));
    QCOMPARE(recorder.statuses().back().exitCode, 7u);

    // After the end a request neither reaches the service nor blocks nor revives the state.
    const int published = int(recorder.statuses().size());
    std::thread late([&] { state.control(ControlStop); state.control(ControlInterrogate); });
    late.join();
    QCOMPARE(int(recorder.statuses().size()), published);
    QCOMPARE(service.entries(), QStringList{QStringLiteral("start")});
}

void TestServiceRunState::noStartWithinTheLimit()
{
    JournalService service;
    ServiceRunState state(service, {});
    QVERIFY(!state.waitForStart(50));
    state.releaseStart();
    QVERIFY(state.waitForStart(0));
    QVERIFY(state.arguments().isEmpty());
}

void TestServiceRunState::noApplicationReleasesTheServiceMain()
{
    JournalService service;
    service.refuseApplication = true;
    StatusRecorder recorder;
    ServiceRunState state(service, recorder.publisher());
    std::thread serviceMain([&] {
        state.receiveArguments({QStringLiteral("Journal")});
        state.waitForApplication();
        state.control(ControlInternalStart);
    });
    QVERIFY(state.waitForStart(5000));
    QVERIFY(!state.runApplication());
    serviceMain.join();
    QVERIFY(recorder.statuses().empty());
    QVERIFY(service.entries().isEmpty());
}

QTEST_GUILESS_MAIN(TestServiceRunState)
#include "tst_servicerunstate.moc"
