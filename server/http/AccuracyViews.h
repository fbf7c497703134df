#pragma once

#include "ApiTable.h"
#include "ForecastAccuracy.h"

namespace NVL::Engineering::VK {

class Html;

// How good the fleet's forecast dates were, as the API and the overview tell it: by horizon, the share
// of replayed forecasts whose band held what the battery then reported, the median miss in points, and
// for batteries that have since reached Poor the median miss of the date.
namespace AccuracyViews {

ApiTable table(const ForecastAccuracy &accuracy);
// The overview's panel "How good are our dates"; `made`: seconds since 1970, 0 while no track record of
// this fleet's own is made yet.
void panel(Html &h, const ForecastAccuracy &accuracy, qint64 made);

} // namespace AccuracyViews

} // namespace NVL::Engineering::VK
