#include "SvgChart.h"

#include "Html.h"

#include <QDate>
#include <QDateTime>
#include <QHash>

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

namespace {

// Room for the value labels on the left and the dates below.
constexpr double LeftMargin = 52;
constexpr double RightMargin = 14;
constexpr double TopMargin = 22;
constexpr double BottomMargin = 26;

QByteArray n(double value)
{
    return QByteArray::number(value, 'f', 1);
}

} // namespace

SvgChart::SvgChart(int width, int height, const QString &description)
    : m_width(width)
    , m_height(height)
    , m_description(description)
    // Unique within a page as long as its charts describe different things.
    , m_clipId("plot-" + QByteArray::number(qHash(description), 16))
{
}

void SvgChart::setRange(double fromTime, double toTime, double low, double high)
{
    m_fromTime = fromTime;
    m_toTime = toTime > fromTime ? toTime : fromTime + 86400;
    m_low = low;
    m_high = high > low ? high : low + 1;
}

double SvgChart::x(double time) const
{
    return LeftMargin + (time - m_fromTime) / (m_toTime - m_fromTime) * (m_width - LeftMargin - RightMargin);
}

double SvgChart::y(double value) const
{
    const double clamped = std::clamp(value, m_low, m_high);
    return TopMargin + (m_high - clamped) / (m_high - m_low) * (m_height - TopMargin - BottomMargin);
}

void SvgChart::valueAxis(double step, const QString &unit, const QString &caption)
{
    if (!caption.isEmpty())
        m_grid += "<text class=\"axis\" x=\"" + n(LeftMargin - 6) + "\" y=\"" + n(TopMargin - 8) + "\" text-anchor=\"end\">"
            + Html::escaped(caption) + "</text>";
    for (double v = std::ceil(m_low / step) * step; v <= m_high + 1e-9; v += step) {
        m_grid += "<line class=\"grid\" x1=\"" + n(LeftMargin) + "\" x2=\"" + n(m_width - RightMargin) + "\" y1=\""
            + n(y(v)) + "\" y2=\"" + n(y(v)) + "\"/><text class=\"axis\" x=\"" + n(LeftMargin - 6) + "\" y=\""
            + n(y(v) + 4) + "\" text-anchor=\"end\">" + QByteArray::number(v, 'f', 0) + Html::escaped(unit) + "</text>";
    }
}

void SvgChart::timeAxis()
{
    const QDate first = QDateTime::fromSecsSinceEpoch(qint64(m_fromTime)).date();
    const QDate last = QDateTime::fromSecsSinceEpoch(qint64(m_toTime)).date();
    const qint64 months = (last.year() - first.year()) * 12 + last.month() - first.month();
    // About six labels whatever the span.
    const int step = months <= 6 ? 1 : months <= 12 ? 2 : months <= 24 ? 3 : months <= 48 ? 6 : 12;
    QDate tick(first.year(), 1, 1);
    while (tick <= first)
        tick = tick.addMonths(step);
    for (; tick <= last; tick = tick.addMonths(step)) {
        const double at = x(double(QDateTime(tick, QTime(0, 0)).toSecsSinceEpoch()));
        const QString label = tick.month() == 1 || step == 12 ? QString::number(tick.year())
                                                              : tick.toString(QStringLiteral("MMM"));
        m_grid += "<line class=\"grid\" x1=\"" + n(at) + "\" x2=\"" + n(at) + "\" y1=\"" + n(TopMargin) + "\" y2=\""
            + n(m_height - BottomMargin) + "\"/><text class=\"axis\" x=\"" + n(at) + "\" y=\"" + n(m_height - 8)
            + "\" text-anchor=\"middle\">" + Html::escaped(label) + "</text>";
    }
}

QByteArray SvgChart::coordinates(const QList<QPointF> &points) const
{
    QByteArray out;
    out.reserve(points.size() * 12);
    for (const QPointF &p : points)
        out += n(x(p.x())) + ',' + n(y(p.y())) + ' ';
    return out.trimmed();
}

void SvgChart::line(const QList<QPointF> &points, const char *cssClass)
{
    if (!points.isEmpty())
        m_clipped += QByteArrayLiteral("<polyline class=\"") + cssClass + "\" points=\"" + coordinates(points) + "\"/>";
}

void SvgChart::dots(const QList<QPointF> &points, const char *cssClass, const QString &unit)
{
    for (const QPointF &p : points) {
        const QByteArray title = "<title>"
            + Html::escaped(QDateTime::fromSecsSinceEpoch(qint64(p.x())).toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                            + QStringLiteral(": ") + QString::number(p.y(), 'f', 0) + unit)
            + "</title>";
        const double cx = x(p.x());
        if (p.y() > m_high || p.y() < m_low) {
            // Inside the plot, so that the clip keeps it whole.
            const bool above = p.y() > m_high;
            const double edge = y(p.y()) + (above ? 1 : -1);
            const double tip = edge, base = above ? edge + 7 : edge - 7;
            m_clipped += QByteArrayLiteral("<polygon class=\"") + cssClass + " outside\" points=\"" + n(cx) + ','
                + n(tip) + ' ' + n(cx - 4.5) + ',' + n(base) + ' ' + n(cx + 4.5) + ',' + n(base) + "\">" + title
                + "</polygon>";
            continue;
        }
        m_clipped += QByteArrayLiteral("<circle class=\"") + cssClass + "\" cx=\"" + n(cx) + "\" cy=\"" + n(y(p.y()))
            + "\">" + title + "</circle>";
    }
}

void SvgChart::polygon(const QList<QPointF> &points, const char *cssClass)
{
    if (!points.isEmpty())
        m_clipped += QByteArrayLiteral("<polygon class=\"") + cssClass + "\" points=\"" + coordinates(points) + "\"/>";
}

void SvgChart::level(double value, const QString &label, const char *cssClass)
{
    m_body += QByteArrayLiteral("<line class=\"") + cssClass + "\" x1=\"" + n(LeftMargin) + "\" x2=\""
        + n(m_width - RightMargin) + "\" y1=\"" + n(y(value)) + "\" y2=\"" + n(y(value)) + "\"/><text class=\""
        + cssClass + "-label\" x=\"" + n(LeftMargin + 6) + "\" y=\"" + n(y(value) + 16) + "\">"
        + Html::escaped(label) + "</text>";
}

void SvgChart::marker(double time, const QString &label, const char *cssClass, bool inside)
{
    const double at = x(std::clamp(time, m_fromTime, m_toTime));
    const bool nearRight = at > m_width * 0.7;
    m_body += QByteArrayLiteral("<line class=\"") + cssClass + "\" x1=\"" + n(at) + "\" x2=\"" + n(at) + "\" y1=\""
        + n(TopMargin) + "\" y2=\"" + n(m_height - BottomMargin) + "\"/><text class=\"" + cssClass + "-label\" x=\""
        + n(nearRight ? at - 6 : at + 6) + "\" y=\"" + n(inside ? TopMargin + 16 : TopMargin - 6) + "\" text-anchor=\""
        + (nearRight ? "end" : "start") + "\">" + Html::escaped(label) + "</text>";
}

void SvgChart::beyond(const QString &label, const char *cssClass)
{
    m_body += QByteArrayLiteral("<text class=\"") + cssClass + "-label beyond\" x=\"" + n(m_width - RightMargin - 4)
        + "\" y=\"" + n(TopMargin - 6) + "\" text-anchor=\"end\">" + Html::escaped(label + QStringLiteral(" \u2192"))
        + "</text>";
}

QByteArray SvgChart::svg() const
{
    return "<svg class=\"chart\" viewBox=\"0 0 " + QByteArray::number(m_width) + ' ' + QByteArray::number(m_height)
        + "\" role=\"img\" aria-label=\"" + Html::escaped(m_description) + "\"><rect class=\"plot\" x=\""
        + n(LeftMargin) + "\" y=\"" + n(TopMargin) + "\" width=\"" + n(m_width - LeftMargin - RightMargin)
        + "\" height=\"" + n(m_height - TopMargin - BottomMargin) + "\"/><clipPath id=\"" + m_clipId + "\"><rect x=\""
        + n(LeftMargin) + "\" y=\"" + n(TopMargin) + "\" width=\"" + n(m_width - LeftMargin - RightMargin) + "\" height=\""
        + n(m_height - TopMargin - BottomMargin) + "\"/></clipPath>" + m_grid + "<g clip-path=\"url(#" + m_clipId + ")\">"
        + m_clipped + "</g>" + m_body + "</svg>";
}

} // namespace NVL::Engineering::VK
