#pragma once

#include <QObject>

class QSocketNotifier;

namespace NVL::Engineering::VK {

// For tests that run Bellwright as a process: with the environment variable BELLWRIGHT_TEST_HOOK set
// to 1, every window and message box the program shows is reported on standard error as one line
// ("bellwright-test: shown <class> title=<...> text=<...>"), every message box is answered with its
// default button, and the line "close" on standard input closes the main windows. Without the variable
// nothing is installed and the program behaves exactly as in use.
class ProcessTestHook : public QObject
{
    Q_OBJECT

public:
    static void installIfRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit ProcessTestHook(QObject *parent);
    void readCommands();

    QSocketNotifier *m_input = nullptr;
    QByteArray m_pending;
};

} // namespace NVL::Engineering::VK
