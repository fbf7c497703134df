#include "BenchOutput.h"

#include "BenchServer.h"

#include <QCoreApplication>

#include <cstdio>

namespace NVL::Engineering::VK::Bench {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void say(const QString &text)
{
    out() << text << Qt::endl;
}

QString ms(double value)
{
    return QString::number(value, 'f', 1);
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("NOT met");
}

int fail(const QString &what, const BenchServer *server)
{
    out().flush();
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(what));
    if (server)
        std::fprintf(stderr, "server log:\n%s\n", qPrintable(server->logSinceStart().right(4000)));
    return 1;
}

} // namespace NVL::Engineering::VK::Bench
