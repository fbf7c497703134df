#include "ModalDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

ModalDriver::ModalDriver()
{
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
    m_timer.start();
}

void ModalDriver::expectDialog(Handler handler)
{
    m_handlers.append(std::move(handler));
}

void ModalDriver::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    for (const QPointer<QWidget> &known : std::as_const(m_seen)) {
        if (known == modal)
            return;
    }
    m_seen.append(modal);

    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        boxes.append({box->windowTitle(), box->text(), int(box->icon()), box->parentWidget()});
        const QString answer = m_answers.isEmpty() ? QString() : m_answers.takeFirst();
        QTimer::singleShot(0, box, [box, answer] {
            QAbstractButton *button = box->defaultButton();
            for (QAbstractButton *candidate : box->buttons())
                if (!answer.isEmpty() && candidate->text().remove(QLatin1Char('&')) == answer)
                    button = candidate;
            if (!button && !box->buttons().isEmpty())
                button = box->buttons().constFirst();
            if (button)
                button->click();
            else
                box->close();
        });
        return;
    }

    QPointer<QWidget> target(modal);
    if (m_handlers.isEmpty()) {
        unexpectedDialogs.append(QString::fromLatin1(modal->metaObject()->className()));
        QTimer::singleShot(0, modal, [target] {
            if (auto *dialog = qobject_cast<QDialog *>(target.data()))
                dialog->reject();
            else if (target)
                target->close();
        });
        return;
    }
    Handler handler = m_handlers.takeFirst();
    QTimer::singleShot(0, modal, [target, handler] {
        if (target)
            handler(target.data());
    });
}
