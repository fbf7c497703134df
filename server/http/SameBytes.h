#pragma once

#include <QByteArray>

#include <algorithm>

namespace NVL::Engineering::VK {

// Whether a secret a client sent is the expected one, compared in full whatever differs first, so that the
// time taken tells nothing about the secret. An empty expected value matches nothing.
inline bool sameBytes(const QByteArray &sent, const QByteArray &expected)
{
    unsigned char difference = sent.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < sent.size(); ++i)
        difference |= static_cast<unsigned char>(sent.at(i) ^ expected.at(i % std::max<qsizetype>(expected.size(), 1)));
    return difference == 0 && !expected.isEmpty();
}

} // namespace NVL::Engineering::VK
