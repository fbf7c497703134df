#pragma once

#include <QtGlobal>

#include <array>
#include <cstddef>

namespace NVL::Engineering::VK {

// What a battery is sorted by, compared word by word: a number, or the letters of a text such as the
// alias, so that one sort in parts serves every column of the list.
struct SortKey
{
    static constexpr std::size_t MaxLetters = 24;
    std::array<quint64, 3> words{};

    static SortKey number(qint64 value);
    // As qstrnicmp orders: ASCII letters without case, up to the first NUL.
    static SortKey text(const char *letters, std::size_t size);

    friend bool operator<(const SortKey &a, const SortKey &b) { return a.words < b.words; }
    friend bool operator==(const SortKey &a, const SortKey &b) { return a.words == b.words; }
};

} // namespace NVL::Engineering::VK
