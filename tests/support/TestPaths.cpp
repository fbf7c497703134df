#include "TestPaths.h"

#include <QByteArray>

namespace TestPaths {

QString voltkeepBinary()
{
    return QStringLiteral(VK_VOLTKEEP_BIN);
}

QString supportDir()
{
    return QStringLiteral(VK_TEST_SUPPORT_DIR);
}

QString python()
{
    const QByteArray fromEnv = qgetenv("VK_PYTHON");
    return fromEnv.isEmpty() ? QStringLiteral("/usr/bin/python3") : QString::fromLocal8Bit(fromEnv);
}

} // namespace TestPaths
