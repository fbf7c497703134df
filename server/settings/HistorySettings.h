#pragma once

namespace NVL::Engineering::VK {

// Section [history] of vk.cfg.
struct HistorySettings
{
    bool enabled = true;
    int years = 5;     // points older than this are removed
    int boundary = 80; // the percentage forecasts aim at: the upper end of Poor in the class table
};

} // namespace NVL::Engineering::VK
