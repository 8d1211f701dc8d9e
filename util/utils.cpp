#include "util/utils.h"

Utils::Utils() = default;
Utils::~Utils() = default;

void Utils::hexStringAdd30(const void* in, int len, void* out)
{
    if (len <= 0 || !in || !out)
        return;
    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    for (int i = 0; i < len; ++i) {
        dst[2 * i] = static_cast<unsigned char>(0x30 | (src[i] >> 4));
        dst[2 * i + 1] = static_cast<unsigned char>(0x30 | (src[i] & 0x0F));
    }
}

void Utils::hexStringDec30(const void* in, int len, void* out)
{
    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    for (int i = 0; i < len / 2; ++i)
        dst[i] = static_cast<unsigned char>(((src[2 * i] & 0x0F) << 4) | (src[2 * i + 1] & 0x0F));
}

void Utils::bytesToHexString(const unsigned char* in, int len, unsigned char* out)
{
    if (len <= 0 || !in || !out)
        return;
    for (int i = 0; i < len; ++i) {
        out[2 * i] = static_cast<unsigned char>(hexToChar(static_cast<char>(in[i] >> 4)));
        out[2 * i + 1] = static_cast<unsigned char>(hexToChar(static_cast<char>(in[i] & 0x0F)));
    }
}

void Utils::hexStringToBytes(const unsigned char* in, int len, unsigned char* out)
{
    if (len < 2 || !in || !out)
        return;
    for (int i = 0; i < len / 2; ++i) {
        const int high = charToHex(static_cast<char>(in[2 * i]));
        const int low = charToHex(static_cast<char>(in[2 * i + 1])) & 0x0F;
        out[i] = static_cast<unsigned char>((high << 4) | low);
    }
}

char Utils::charToHex(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9')
        return static_cast<char>(u - '0');
    if (u >= 'A' && u <= 'F')
        return static_cast<char>(u - 'A' + 10);
    if (u >= 'a' && u <= 'f')
        return static_cast<char>(u - 'a' + 10);
    return 0;
}

char Utils::hexToChar(char n)
{
    const int value = n; // char is unsigned on ARM, signed on x86
    if (value >= 0 && value <= 9)
        return static_cast<char>('0' + value);
    if (value >= 10 && value <= 15)
        return static_cast<char>('A' + value - 10);
    return '\0';
}
