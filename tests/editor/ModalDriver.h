#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

// Drives the modal windows that code under test opens with exec(): each dialog that becomes the active
// modal window goes to the next queued handler; every message box is recorded and answered with its
// default button, like a user who reads it and presses OK. A modal dialog nobody expected is recorded
// and rejected so that a test never hangs.
class ModalDriver : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(QWidget *)>;

    struct Box
    {
        QString title;
        QString text;
        int icon = 0; // QMessageBox::Icon
        QWidget *parent = nullptr;
    };

    ModalDriver();

    // Handlers run in order, one per dialog, from the dialog's own event loop.
    void expectDialog(Handler handler);
    // The next message box is answered with the button of this text instead of its default.
    void answerNextBox(const QString &buttonText) { m_answers.append(buttonText); }
    bool allDialogsHandled() const { return m_handlers.isEmpty(); }

    QList<Box> boxes;
    QStringList unexpectedDialogs;

private:
    void poll();

    QTimer m_timer;
    QList<Handler> m_handlers;
    QStringList m_answers;
    QList<QPointer<QWidget>> m_seen;
};
