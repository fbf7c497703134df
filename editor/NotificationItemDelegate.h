#pragma once

#include <QStyledItemDelegate>

namespace NVL::Engineering::VK {

// Draws a notification's alias in bold with its details (Qt::AccessibleDescriptionRole, one line each)
// under it, each line cut to the list's width. The item's text stays the alias alone, so sorting and
// every use of the text are as before.
class NotificationItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};

} // namespace NVL::Engineering::VK
