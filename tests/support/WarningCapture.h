#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects the warnings emitted while it lives; one at a time.
class WarningCapture
{
public:
    WarningCapture()
    {
        active = this;
        m_previous = qInstallMessageHandler(&WarningCapture::handle);
    }
    ~WarningCapture()
    {
        qInstallMessageHandler(m_previous);
        active = nullptr;
    }
    WarningCapture(const WarningCapture &) = delete;
    WarningCapture &operator=(const WarningCapture &) = delete;

    QStringList warnings;

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (active && type == QtWarningMsg)
            active->warnings.append(message);
    }

    static inline WarningCapture *active = nullptr;
    QtMessageHandler m_previous = nullptr;
};
