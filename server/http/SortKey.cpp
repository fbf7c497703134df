#include "SortKey.h"

#include <algorithm>

namespace NVL::Engineering::VK {

SortKey SortKey::number(qint64 value)
{
    SortKey key;
    key.words[0] = quint64(value) ^ (quint64(1) << 63); // unsigned order of a signed number
    return key;
}

SortKey SortKey::text(const char *letters, std::size_t size)
{
    SortKey key;
    for (std::size_t i = 0; i < std::min(size, MaxLetters) && letters[i] != '\0'; ++i) {
        const auto c = quint8(letters[i]);
        const quint64 folded = c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
        key.words[i / 8] |= folded << (8 * (7 - i % 8)); // the first letter weighs most
    }
    return key;
}

} // namespace NVL::Engineering::VK
