#include "DisplayScaling.h"

#include <QGuiApplication>

namespace NVL::Engineering::VK {

void chooseDisplayScaling()
{
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::RoundPreferFloor);
}

} // namespace NVL::Engineering::VK
