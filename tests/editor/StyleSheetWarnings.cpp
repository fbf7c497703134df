#include "StyleSheetWarnings.h"

namespace {

QtMessageHandler previousHandler = nullptr;
QStringList collected;

void recordStyleSheetWarning(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("Could not parse"))) {
        collected.append(message);
    }
    if (previousHandler) {
        previousHandler(type, context, message);
    }
}

} // namespace

StyleSheetWarnings::StyleSheetWarnings()
{
    collected.clear();
    previousHandler = qInstallMessageHandler(recordStyleSheetWarning);
}

StyleSheetWarnings::~StyleSheetWarnings()
{
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

QStringList StyleSheetWarnings::messages() const
{
    return collected;
}

void StyleSheetWarnings::clear()
{
    collected.clear();
}
