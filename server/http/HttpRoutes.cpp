#include "HttpRoutes.h"

namespace NVL::Engineering::VK {

namespace {

const QString Csv = QStringLiteral(".csv");

} // namespace

void HttpRoutes::add(Route route)
{
    Pattern pattern;
    pattern.segments = route.path.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < pattern.segments.size(); ++i) {
        if (pattern.segments[i].startsWith(QLatin1Char('{')))
            pattern.argumentAt = int(i);
    }
    m_routes.push_back(std::move(route));
    m_patterns.push_back(std::move(pattern));
}

const HttpRoutes::Route *HttpRoutes::find(const QString &path, Match &match) const
{
    const QStringList segments = path.split(QLatin1Char('/'));
    for (size_t r = 0; r < m_routes.size(); ++r) {
        const Pattern &pattern = m_patterns[r];
        if (pattern.segments.size() != segments.size())
            continue;
        for (const bool csv : {true, false}) {
            if (csv && (!m_routes[r].csvToo || !segments.constLast().endsWith(Csv)))
                continue;
            bool same = true;
            QString argument;
            for (qsizetype i = 0; i < segments.size() && same; ++i) {
                QString segment = segments[i];
                if (csv && i == segments.size() - 1)
                    segment.chop(Csv.size());
                if (i == pattern.argumentAt) {
                    argument = segment;
                    same = !segment.isEmpty();
                } else {
                    same = segment == pattern.segments[i];
                }
            }
            if (same) {
                match = {argument, csv};
                return &m_routes[r];
            }
        }
    }
    return nullptr;
}

QByteArray HttpRoutes::allowed(const Route &route)
{
    QList<QByteArray> methods = route.methods;
    if (methods.contains("GET") && !methods.contains("HEAD"))
        methods.insert(methods.indexOf("GET") + 1, "HEAD");
    return methods.join(", ");
}

bool HttpRoutes::takes(const Route &route, const QByteArray &method)
{
    return route.methods.contains(method) || (method == "HEAD" && route.methods.contains("GET"));
}

} // namespace NVL::Engineering::VK
