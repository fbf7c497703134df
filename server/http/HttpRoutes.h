#pragma once

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace NVL::Engineering::VK {

// The HTTP side's one table of what it answers: each route's path, the methods it takes, who may ask,
// whether it answers CSV too, and its handler. The 404 and 405 answers come from the same table.
class HttpRoutes
{
public:
    enum class Access {
        Open,  // anyone: the sign-in page and what it needs
        Token, // with the bearer token or a signed-in browser's session
    };
    enum class Kind {
        Api,  // JSON, or CSV with .csv or Accept: text/csv where the route has it
        Page, // HTML for a browser
        Other // /metrics, /healthz, the dashboard's own files
    };
    // What matched besides the route: the {name} segment, and whether CSV was asked for.
    struct Match
    {
        QString argument;
        bool csv = false;
    };
    using Handler = std::function<HttpResponse(const HttpRequest &, const Match &)>;
    struct Route
    {
        QString path; // segments by '/', one of them may be {name}
        QList<QByteArray> methods;
        Access access = Access::Token;
        Kind kind = Kind::Api;
        bool csvToo = false; // also at the path with .csv
        Handler handler;
    };

    void add(Route route);
    // The route a path names, or none.
    const Route *find(const QString &path, Match &match) const;
    const std::vector<Route> &routes() const { return m_routes; }
    // What Allow says of a route: its methods, and HEAD with GET.
    static QByteArray allowed(const Route &route);
    static bool takes(const Route &route, const QByteArray &method);

private:
    struct Pattern
    {
        QStringList segments;
        int argumentAt = -1;
    };
    std::vector<Route> m_routes;
    std::vector<Pattern> m_patterns;
};

} // namespace NVL::Engineering::VK
