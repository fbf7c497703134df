#pragma once

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QLineEdit>
#include <QListWidget>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QWidget>

// Typing and clicking into the editor's windows as a user would, by object name.
namespace WidgetInput {

template <typename T>
T *child(QWidget *parent, const char *name)
{
    T *widget = parent->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

// Key by key; letters outside ASCII arrive as key events carrying their text, as from a keyboard layout.
inline void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClick(widget, c.toLatin1());
        } else {
            QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
            QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
        }
    }
}

inline void replaceText(QWidget *parent, const char *name, const QString &text)
{
    auto *edit = child<QLineEdit>(parent, name);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    typeText(edit, text);
}

// Radio buttons and check boxes take clicks on their indicator and label only, so they are clicked
// near their left edge; push buttons in the middle.
inline void click(QWidget *parent, const char *name)
{
    auto *button = child<QAbstractButton>(parent, name);
    const bool indicator = button->inherits("QRadioButton") || button->inherits("QCheckBox");
    const QPoint point = indicator ? QPoint(qMin(8, button->width() / 2), button->height() / 2) : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, point);
}

inline QStringList itemTexts(const QListWidget *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

inline QListWidgetItem *itemWithText(const QListWidget *list, const QString &text)
{
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text() == text)
            return list->item(i);
    }
    qFatal("no list item %s", qPrintable(text));
    return nullptr;
}

inline void clickItem(QListWidget *list, QListWidgetItem *item, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    list->scrollToItem(item);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, list->visualItemRect(item).center());
}

inline void doubleClickItem(QListWidget *list, QListWidgetItem *item)
{
    clickItem(list, item);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, list->visualItemRect(item).center());
}

} // namespace WidgetInput
