// Reading the NUL-terminated text that a device function wrote into a handler's buffer.
#ifndef DEVICETEXT_H
#define DEVICETEXT_H

#include <QString>

// The text in buffer up to its first NUL, read as UTF-8, but never past the first `cleared`
// bytes: a device that forgets the NUL cannot make the caller read beyond its buffer.
QString deviceText(const char* buffer, int cleared);

#endif
