#include "ScrambleText.h"

namespace NVL::Engineering::VK {

std::string scrambleText(std::string text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>(static_cast<unsigned char>(text[i])
                                    ^ static_cast<unsigned char>(scrambleKey[i % scrambleKey.size()]));
    return text;
}

} // namespace NVL::Engineering::VK
