// Signatures of the device library's exported functions, as the panels resolve and call them.
// Every function returns a 32-bit signed code; "out" buffers receive NUL-terminated text.
#ifndef DEVICEFUNCTIONS_H
#define DEVICEFUNCTIONS_H

#include <cstdint>

extern "C" {
// PIN pad
typedef int32_t (*GenerateKeyFromPwFunc)(int32_t size, char* out);
typedef int32_t (*SetPwMkeyFunc)(const char* text, int32_t length);
typedef int32_t (*SetPwWkeyFunc)(const char* text, int32_t length);
typedef int32_t (*InputPasswordFunc)(int32_t timeout, const char* a, const char* b, const char* c,
                                     int32_t maxLength, int32_t outSize, char* out);

// Serial number
typedef int32_t (*ReadDeviceSNFunc)(int32_t port, const char* param, int32_t baud, char* out);
typedef int32_t (*WriteDeviceSNFunc)(int32_t port, const char* param, int32_t baud,
                                     const char* serialNumber);

// PDF display and confirmation
typedef int32_t (*ShowPdfFunc)(int32_t port, const char* param, int32_t baud, int32_t timeout,
                               const char* path);
typedef int32_t (*ConfirmPdfFunc)(int32_t port, const char* param, int32_t baud, int32_t timeout,
                                  const char* path, char* out);

// Bound but never called by the tool (information page, PDF signing); their argument lists
// belong to the device library.
typedef void (*UncalledDeviceFunc)();
}

#endif
