#pragma once

#include <QList>
#include <QPair>
#include <QString>

namespace NVL::Engineering::VK {

// Sections [insight] and [sites] of vk.cfg: how long a battery may be quiet, and the sites' address
// ranges as written (name, range), each range of a site on its own; the ranges are checked where they are
// used.
struct InsightSection
{
    int silentDays = 14; // a battery not heard from for this long is silent
    QList<QPair<QString, QString>> siteRanges;
};

} // namespace NVL::Engineering::VK
