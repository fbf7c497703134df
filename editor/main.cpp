// Bellwright: the editor of the notification configuration that the Voltkeep service reads.
#include "ApplicationVersion.h"
#include "ConfigurationMessages.h"
#include "DataPaths.h"
#include "DisplayScaling.h"
#include "QMainSubclassForm.h"
#include "SingleInstanceLock.h"
#ifdef VK_EDITOR_TEST_HOOK
#include "ProcessTestHook.h"
#endif

#include <QApplication>
#include <QMessageBox>

#include <exception>
#include <memory>

using namespace NVL::Engineering::VK;

#ifdef BELLWRIGHT_VERSION_STAMP
// The executable's version where the platform has no version resource: found by `strings`.
extern "C" __attribute__((used)) const char bellwrightVersionStamp[] = "Bellwright-version " BELLWRIGHT_VERSION_STAMP;
#endif

int main(int argc, char *argv[])
{
    chooseDisplayScaling();
    QApplication application(argc, argv);
#ifdef VK_EDITOR_TEST_HOOK
    ProcessTestHook::installIfRequested();
#endif

    SingleInstanceLock lock;
    if (!lock.tryLock()) {
        QMessageBox::critical(nullptr, QCoreApplication::translate("Bellwright", "Bellwright Startup Failure"),
                              QCoreApplication::translate("Bellwright", "Only one instance of Bellwright can exist!"));
        return 1;
    }

    const QString configurationFile = DataPaths::current().configurationFile;
    try {
        std::unique_ptr<QMainSubclassForm> window;
        try {
            window = std::make_unique<QMainSubclassForm>(configurationFile);
        } catch (const std::exception &error) {
            // The file is left as it is; the user learns which file and what is wrong with it.
            showUnreadableConfiguration(nullptr, configurationFile, error);
            return 1;
        }
        window->setWindowTitle(QStringLiteral("Bellwright v%1").arg(applicationVersion.text()));
        window->show();
        const int status = application.exec();
        const bool unreadable = window->configurationUnreadable();
        window.reset(); // shows the restart prompt
        return unreadable ? 1 : status;
    } catch (...) {
        return 1;
    }
}
