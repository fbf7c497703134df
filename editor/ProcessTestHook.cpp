#include "ProcessTestHook.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace NVL::Engineering::VK {

namespace {

QByteArray escaped(const QString &text)
{
    QString copy = text;
    copy.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return copy.toUtf8();
}

void report(const QByteArray &line)
{
    std::fprintf(stderr, "bellwright-test: %s\n", line.constData());
    std::fflush(stderr);
}

} // namespace

void ProcessTestHook::installIfRequested()
{
    if (qEnvironmentVariable("BELLWRIGHT_TEST_HOOK") != QLatin1String("1"))
        return;
    auto *hook = new ProcessTestHook(qApp);
    qApp->installEventFilter(hook);
}

ProcessTestHook::ProcessTestHook(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    m_input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_input, &QSocketNotifier::activated, this, &ProcessTestHook::readCommands);
#endif
}

bool ProcessTestHook::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Show || !watched->isWidgetType())
        return false;
    auto *widget = static_cast<QWidget *>(watched);
    if (!widget->isWindow())
        return false;

    // The class without its namespace: the line names windows as a user would.
    const QByteArray className = QByteArray(widget->metaObject()->className()).split(':').last();
    QByteArray line = "shown " + className + " title=" + escaped(widget->windowTitle());
    auto *box = qobject_cast<QMessageBox *>(widget);
    if (box)
        line += " text=" + escaped(box->text());
    report(line);

    if (box) {
        // Answered from the box's own event loop, as a user's click would be.
        QTimer::singleShot(0, box, [box] {
            QAbstractButton *button = box->defaultButton();
            if (!button && !box->buttons().isEmpty())
                button = box->buttons().constFirst();
            if (button)
                button->click();
            else
                box->close();
        });
    }
    return false;
}

void ProcessTestHook::readCommands()
{
#ifdef Q_OS_UNIX
    char buffer[256];
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count <= 0) {
        m_input->setEnabled(false); // standard input ended; nothing more will come
        return;
    }
    m_pending.append(buffer, count);
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray command = m_pending.left(end).trimmed();
        m_pending.remove(0, end + 1);
        if (command == "close") {
            for (QWidget *window : QApplication::topLevelWidgets()) {
                if (qobject_cast<QMainWindow *>(window))
                    window->close();
            }
        }
    }
#endif
}

} // namespace NVL::Engineering::VK
