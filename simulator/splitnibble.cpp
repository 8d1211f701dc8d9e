#include "splitnibble.h"

void splitNibbleEncode(const unsigned char* bytes, std::size_t count, char* text)
{
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = static_cast<char>(0x30 | (bytes[i] >> 4));
        text[2 * i + 1] = static_cast<char>(0x30 | (bytes[i] & 0x0F));
    }
}

bool splitNibbleDecode(const char* text, std::size_t length, unsigned char* bytes)
{
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x30 || c > 0x3F)
            return false;
        const unsigned char nibble = c & 0x0F;
        if (i % 2 == 0)
            bytes[i / 2] = static_cast<unsigned char>(nibble << 4);
        else
            bytes[i / 2] = static_cast<unsigned char>(bytes[i / 2] | nibble);
    }
    return true;
}
