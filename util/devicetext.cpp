#include "util/devicetext.h"

#include <cstring>

QString deviceText(const char* buffer, int cleared)
{
    if (!buffer || cleared <= 0)
        return QString();
    const void* nul = std::memchr(buffer, '\0', static_cast<size_t>(cleared));
    const int length = nul ? static_cast<int>(static_cast<const char*>(nul) - buffer) : cleared;
    return QString::fromUtf8(buffer, length);
}
