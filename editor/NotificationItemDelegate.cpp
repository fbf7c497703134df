#include "NotificationItemDelegate.h"

#include "NVLStyleHandle.h"

#include <QApplication>
#include <QPainter>

namespace NVL::Engineering::VK {

namespace {

constexpr int Padding = 3; // around the lines, inside the selection

QFont boldOf(QFont font)
{
    font.setBold(true);
    return font;
}

QStringList detailLines(const QModelIndex &index)
{
    const QString details = index.data(Qt::AccessibleDescriptionRole).toString();
    return details.isEmpty() ? QStringList() : details.split(QLatin1Char('\n'));
}

} // namespace

void NotificationItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    const QString alias = item.text;
    item.text.clear(); // the style draws the background, the selection and the focus; the lines are ours
    QStyle *style = item.widget ? item.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, item.widget);

    const bool selected = item.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = !(item.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : item.state & QStyle::State_Active   ? QPalette::Active
                                                                             : QPalette::Inactive;
    QRect line = item.rect.adjusted(Padding, Padding, -Padding, -Padding);
    painter->save();
    painter->setPen(item.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    painter->setFont(boldOf(item.font));
    const QFontMetrics boldMetrics(painter->font());
    line.setHeight(boldMetrics.height());
    painter->drawText(line, Qt::AlignLeft | Qt::AlignVCenter, boldMetrics.elidedText(alias, Qt::ElideRight, line.width()));
    painter->setFont(item.font);
    if (!selected) // quieter than the alias, dark enough to read
        painter->setPen(NVLStyleHandle::blendColors(item.palette.color(group, QPalette::Text),
                                                    item.palette.color(group, QPalette::Base), 70));
    for (const QString &text : detailLines(index)) {
        line.translate(0, line.height());
        line.setHeight(item.fontMetrics.height());
        painter->drawText(line, Qt::AlignLeft | Qt::AlignVCenter, item.fontMetrics.elidedText(text, Qt::ElideRight, line.width()));
    }
    painter->restore();
}

QSize NotificationItemDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    // As wide as the alias: the details are cut to the list rather than widening it.
    const QFontMetrics boldMetrics(boldOf(item.font));
    const int height = boldMetrics.height() + int(detailLines(index).size()) * item.fontMetrics.height();
    return QSize(boldMetrics.horizontalAdvance(item.text), height) + QSize(2 * Padding, 2 * Padding);
}

} // namespace NVL::Engineering::VK
