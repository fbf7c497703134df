#include "SqliteFile.h"
#include "StoreChoice.h"
#include "Voltkeep.h"

#include <QCoreApplication>
#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

QtMessageHandler qtDefault = nullptr;

// Qt's database drivers say what failed in lines of their own ("QPSQLDriver::rollbackTransaction: Database
// not open"); the server says it once, with its reason, in its log. Every other message passes on.
void withoutDriverChatter(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg && (message.startsWith(QLatin1String("QPSQL")) || message.startsWith(QLatin1String("QSql"))))
        return;
    qtDefault(type, context, message);
}

} // namespace

int main(int argc, char **argv)
{
    qtDefault = qInstallMessageHandler(withoutDriverChatter);
#if defined(__GLIBC__)
    // Whole-fleet answers and start-up work hold large buffers for a moment: mapped apart and unmapped
    // again, and the heap's free top given back, they leave no memory behind that the server keeps.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
#endif
    NVL::Engineering::VK::SqliteFile::stopMemoryStatistics();
    if (argc == 2 && std::strcmp(argv[1], "--migrate-to-postgresql") == 0) {
        QCoreApplication application(argc, argv); // Qt's database drivers are plugins
        return NVL::Engineering::VK::StoreChoice::migrateToPostgresql(NVL::Engineering::VK::DataPaths::current());
    }
    NVL::Engineering::VK::Voltkeep server(argc, argv);
    return server.run();
}
