#pragma once

#include <QDir>
#include <QString>

class QWidget;

namespace NVL::Engineering::VK {

// Shows a window, waits until the display server has drawn it and saves what is on the screen as
// <folder>/<name>.png.
class ShotTaker
{
public:
    explicit ShotTaker(const QString &folder);

    bool take(QWidget &window, const QString &name);
    int failures() const { return m_failed; }

private:
    QDir m_folder;
    int m_failed = 0;
};

} // namespace NVL::Engineering::VK
