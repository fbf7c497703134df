#include "ShotTaker.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>

namespace NVL::Engineering::VK {

namespace {

bool waitUntilExposed(QWidget &window)
{
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        if (window.windowHandle() && window.windowHandle()->isExposed()) {
            return true;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return false;
}

void settle(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

ShotTaker::ShotTaker(const QString &folder) : m_folder(folder) {}

bool ShotTaker::take(QWidget &window, const QString &name)
{
    window.show();
    window.raise();
    window.activateWindow();
    const bool exposed = waitUntilExposed(window);
    settle(300); // the first full paint after exposure


    QPixmap pixels;
    if (exposed && window.screen()) {
        pixels = window.screen()->grabWindow(window.winId());
    }
    if (pixels.isNull()) {
        pixels = window.grab(); // platforms without screen grabbing (offscreen): the widget's own rendering
    }
    const QString path = m_folder.filePath(name + QStringLiteral(".png"));
    const bool saved = !pixels.isNull() && pixels.save(path, "PNG");
    std::fprintf(saved ? stdout : stderr, "%s %s (%dx%d)\n", saved ? "saved" : "FAILED", qPrintable(path),
                 pixels.width(), pixels.height());
    if (!saved) {
        ++m_failed;
    }
    window.hide();
    return saved;
}

} // namespace NVL::Engineering::VK
