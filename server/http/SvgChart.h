#pragma once

#include <QByteArray>
#include <QList>
#include <QPointF>
#include <QString>

namespace NVL::Engineering::VK {

// A line chart drawn on the server as SVG, with time (seconds since the epoch) across and a value up.
// The look comes from the stylesheet through class names; the drawing only places things.
class SvgChart
{
public:
    SvgChart(int width, int height, const QString &description);

    void setRange(double fromTime, double toTime, double low, double high);
    // Grid lines and labels: values every `step` with the unit after them (a short unit such as " %"), or
    // with the unit once above the axis (`caption`, for words that would crowd the labels); dates by month
    // or year.
    void valueAxis(double step, const QString &unit, const QString &caption = QString());
    void timeAxis();

    // Lines, dots and areas are clipped to the plot.
    void line(const QList<QPointF> &points, const char *cssClass);
    // Each dot tells its time and value on hover; one outside the value range is a triangle at the edge
    // it passes, pointing the way it lies.
    void dots(const QList<QPointF> &points, const char *cssClass, const QString &unit);
    void polygon(const QList<QPointF> &points, const char *cssClass);
    // A horizontal line across the chart at a value, labelled below its left end.
    void level(double value, const QString &label, const char *cssClass);
    // A vertical line at a time, labelled at its top.
    // A vertical line at `time` labelled above the plot, or on its first line inside it (`inside`), so that
    // two markers near each other keep their labels apart.
    void marker(double time, const QString &label, const char *cssClass, bool inside = false);
    // A label at the plot's right edge for a time past it, with an arrow.
    void beyond(const QString &label, const char *cssClass);

    QByteArray svg() const;

    double left() const { return m_fromTime; }
    double right() const { return m_toTime; }

private:
    double x(double time) const;
    double y(double value) const;
    QByteArray coordinates(const QList<QPointF> &points) const;

    int m_width;
    int m_height;
    QString m_description;
    double m_fromTime = 0, m_toTime = 1, m_low = 0, m_high = 1;
    QByteArray m_grid;
    QByteArray m_clipped;
    QByteArray m_body;
    QByteArray m_clipId;
};

} // namespace NVL::Engineering::VK
