// The fixed binary messages between the device checker and the child process that hosts the
// device library: one load answer, then one request and one answer per device call.
#ifndef HOSTPROTOCOL_H
#define HOSTPROTOCOL_H

#include <cstdint>

// The device functions, in the order of the load answer's export bits.
constexpr int kDeviceFunctionCount = 11;
constexpr const char* kDeviceFunctionNames[kDeviceFunctionCount] = {
    "GenerateKeyFromPw", "SetPwMkey",        "SetPwWkey",        "InputPassword",
    "PN_ReadDeviceSN",   "PN_WriteDeviceSN", "MP_StartInfoHtml", "MP_SignPDF",
    "MP_SHOW_PDF",       "MP_ConfirmPDF",    "MP_SignPDF_Voice"};

// The functions the host calls, by their index in kDeviceFunctionNames.
enum HostFunction : int32_t {
    kGenerateKeyFromPw = 0,
    kSetPwMkey = 1,
    kSetPwWkey = 2,
    kInputPassword = 3,
    kReadDeviceSN = 4,
    kWriteDeviceSN = 5
};

// Every output buffer; the sizes passed to the device are far below it. An inaccessible page
// follows its last byte.
constexpr int kHostBufferSize = 4096;
// The longest text argument: a main key's split-nibble text.
constexpr int kHostTextSize = 1024;
constexpr int kHostErrorSize = 512;
constexpr int kHostProblemSize = 160;

// The first message, sent before the library is loaded: whether the sandbox's filter is in place
// in the library's process (see sandbox.h).
struct HostHello {
    int32_t filterError;                  // 0: in place; otherwise the errno of what failed
    char filterProblem[kHostProblemSize]; // what failed, NUL-terminated, when filterError != 0
};

struct HostLoadAnswer {
    int32_t loaded;             // 1: dlopen succeeded
    uint32_t exported;          // bit i: kDeviceFunctionNames[i] resolves
    uint64_t dynamicAddress;    // the loaded object's dynamic section (its link map's l_ld)
    int32_t simulatorMark;      // 1: the object itself defines the simulator's mark
    char error[kHostErrorSize]; // dlerror() when not loaded, NUL-terminated
};

// The integer arguments in the order the function takes them, the output buffer last. The text is
// the one text argument (SetPwMkey, SetPwWkey, PN_WriteDeviceSN); the other texts are empty.
struct HostRequest {
    int32_t function;
    int32_t numbers[3];
    int32_t textLength;
    char text[kHostTextSize + 1];
};

enum HostEnding : int32_t {
    kHostReturned = 1,
    kHostThrew = 2,     // a C++ exception left the function
    kHostGuardPage = 3, // a write reached the page after the output buffer
};

struct HostAnswer {
    int32_t ending;
    int32_t code;
    double milliseconds;
    char out[kHostBufferSize]; // the whole guarded buffer as the function left it
};

// The guard pattern's byte at offset: never NUL, so a device that writes no text leaves no
// terminator, and varying, so that a copy of one stretch of the pattern elsewhere still shows.
constexpr char hostGuardByte(int offset)
{
    return static_cast<char>(0x80 | ((offset * 37 + 11) & 0x7F));
}

#endif
