#include "JsonFields.h"

#include <cmath>
#include <limits>
#include <string>

namespace NVL::Engineering::VK {

namespace {

[[noreturn]] void throwOverflow(const nlohmann::json &value)
{
    throw nlohmann::json::out_of_range::create(
        406, "number overflow: " + value.dump() + " does not fit a 32-bit integer", &value);
}

} // namespace

std::int32_t jsonToInt(const nlohmann::json &value)
{
    constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
    constexpr auto highest = std::numeric_limits<std::int32_t>::max();
    switch (value.type()) {
    case nlohmann::json::value_t::number_integer: {
        const auto n = value.get<std::int64_t>();
        if (n < lowest || n > highest)
            throwOverflow(value);
        return static_cast<std::int32_t>(n);
    }
    case nlohmann::json::value_t::number_unsigned: {
        const auto n = value.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(highest))
            throwOverflow(value);
        return static_cast<std::int32_t>(n);
    }
    case nlohmann::json::value_t::number_float: {
        // Truncated like the library does, but a cast of a value out of range would be undefined.
        const double d = std::trunc(value.get<double>());
        if (!(d >= static_cast<double>(lowest) && d <= static_cast<double>(highest)))
            throwOverflow(value);
        return static_cast<std::int32_t>(d);
    }
    default:
        throw nlohmann::json::type_error::create(
            302, std::string("type must be number, but is ") + value.type_name(), &value);
    }
}

void requireObject(const nlohmann::json &value)
{
    if (!value.is_object())
        throw nlohmann::json::type_error::create(
            304, std::string("cannot use at() with ") + value.type_name(), &value);
}

} // namespace NVL::Engineering::VK
