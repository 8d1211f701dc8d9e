// The fixed arguments the tool passes to the device library's functions, shared by the panels
// and the device checker so that the checker calls the device exactly as the tool does.
#ifndef DEVICECALLS_H
#define DEVICECALLS_H

#include <cstdint>

// GenerateKeyFromPw: the size of the buffer it writes the key pair's text into.
constexpr int32_t kKeyPairSize = 256;

// InputPassword: seconds to wait, the text passed for each of its three text arguments, the
// longest PIN, and the size of the buffer it writes the PIN block's text into.
constexpr int32_t kPinTimeout = 120;
constexpr char kPinText[] = "";
constexpr int32_t kPinMaxLength = 6;
constexpr int32_t kPinOutSize = 255;

// The port, parameter text and baud rate that lead every serial-number and PDF call.
constexpr int32_t kDevicePort = 0;
constexpr char kDeviceParameter[] = "";
constexpr int32_t kDeviceBaud = 9600;

// PN_ReadDeviceSN is told no size: the tool reads its text and NUL within this many bytes.
constexpr int32_t kSerialSize = 255;

#endif
