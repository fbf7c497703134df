#include "Forecast.h"

namespace NVL::Engineering::VK {

const char *Forecast::statusName(Status status)
{
    switch (status) {
    case Status::NotEnoughHistory: return "not-enough-history";
    case Status::NoDecline: return "no-decline";
    case Status::Now: return "now";
    case Status::Date: return "date";
    case Status::BeyondCap: return "beyond-cap";
    }
    return "not-enough-history";
}

const char *Forecast::modelName(Model model)
{
    switch (model) {
    case Model::Line: return "line";
    case Model::Bend: return "bend";
    case Model::Drop: return "drop";
    }
    return "line";
}

} // namespace NVL::Engineering::VK
