// What passes between the device checker and the library host, the small program that loads the
// device library in a process of its own: the descriptors and arguments the host is started with,
// then fixed binary messages on its channel (a hello, the load answer, one request and one answer
// per device call), and on its report pipe one record per call its filter refused.
#ifndef HOSTPROTOCOL_H
#define HOSTPROTOCOL_H

#include <cstdint>

// The descriptors the host starts with, and the only ones: the checker closes every other before it
// starts the sandbox tool or the host, so that no open file of its own (one it inherited from the
// lab's shell or CI agent included) is within the library's reach. 0 and 1 are /dev/null; 2 is
// where a sandbox tool that starts the host writes its own complaints, kept apart from what the
// library writes.
constexpr int kHostChannelFd = 3; // a stream socket: requests in, answers out
constexpr int kHostReportFd = 4;  // a pipe: a HostRefusal for each call the filter refused
constexpr int kHostOutputFd = 5;  // a pipe: the library's standard output and error

// The host's arguments: the library's path, then, where the checker is within the host's reach,
// the checker's pid and process group, which the filter keeps signals away from.
//   device-check-host PATH [CHECKER-PID CHECKER-GROUP]

// The device functions, in the order of the checker's export bits.
constexpr int kDeviceFunctionCount = 11;
constexpr const char* kDeviceFunctionNames[kDeviceFunctionCount] = {
    "GenerateKeyFromPw", "SetPwMkey",        "SetPwWkey",        "InputPassword",
    "PN_ReadDeviceSN",   "PN_WriteDeviceSN", "MP_StartInfoHtml", "MP_SignPDF",
    "MP_SHOW_PDF",       "MP_ConfirmPDF",    "MP_SignPDF_Voice"};

// The functions the host calls, by their index in kDeviceFunctionNames, and kHostEcho, which the
// host answers at once without calling the library: the cost of the process boundary alone.
enum HostFunction : int32_t {
    kHostEcho = -1,
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

// The first message, sent before the library is loaded, so that no code of the library's has run.
struct HostHello {
    int32_t pid;                          // the host's pid as it sees itself
    int32_t filterError;                  // 0: the filter is in place; otherwise the errno
    char filterProblem[kHostProblemSize]; // what failed, NUL-terminated, when filterError != 0
};

// Whether the library loaded. Nothing else the host could say of the library is taken from it:
// the checker reads the library's exports from the file and its mappings from /proc.
struct HostLoadAnswer {
    int32_t loaded;             // 1: dlopen succeeded
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
    kHostGuardPage = 2, // a write reached the page after the output buffer
};

struct HostAnswer {
    int32_t ending;
    int32_t code;
    char out[kHostBufferSize]; // the whole guarded buffer as the function left it
};

// What the host's filter writes on the report pipe for each call it refused.
struct HostRefusal {
    int32_t pid;     // the process that made the call, as the host's pid namespace numbers it
    int32_t syscall; // its number, as the kernel gives it
    uint32_t arch;   // the kernel's AUDIT_ARCH_* of the call
    int32_t reserved;
};

// The guard pattern's byte at offset: never NUL, so a device that writes no text leaves no
// terminator, and varying, so that a copy of one stretch of the pattern elsewhere still shows.
constexpr char hostGuardByte(int offset)
{
    return static_cast<char>(0x80 | ((offset * 37 + 11) & 0x7F));
}

#endif
