#pragma once

class QSettings;

namespace NVL::Engineering::VK {

// Section [history] of vk.cfg. A value that is no valid setting is logged and its default used.
struct HistorySettings
{
    bool enabled = true;
    int years = 5;     // points older than this are removed
    int boundary = 80; // the percentage forecasts aim at: the upper end of Poor in the class table

    static HistorySettings read(QSettings &settings);
};

} // namespace NVL::Engineering::VK
