#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <vector>

namespace NVL::Engineering::VK {

// Helpers shared by the record conversions.

// Reads a JSON number as a 32-bit int. Unlike the library's own int conversion this refuses booleans
// ("type must be number, but is boolean") and numbers outside the 32-bit range (out_of_range 406),
// instead of silently converting them to some other value.
std::int32_t jsonToInt(const nlohmann::json &value);

// Throws what the library throws for a key lookup in a value that is not an object.
void requireObject(const nlohmann::json &value);

// Walks a value the way the library iterates it: an array yields its elements, an object its member
// values in key order, null nothing, any other value itself once (which then fails the conversion).
template <typename Record>
std::vector<Record> jsonToList(const nlohmann::json &value)
{
    std::vector<Record> result;
    for (const auto &element : value)
        result.push_back(element.template get<Record>());
    return result;
}

} // namespace NVL::Engineering::VK
