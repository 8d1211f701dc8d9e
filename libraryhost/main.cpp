// device-check-host: loads one device library and calls its functions as the device checker asks,
// copying bytes back and judging nothing (see hostprotocol.h). The checker starts it fresh with
// exec, inside namespaces where it can, with only the descriptors of the protocol open. It links
// the C library, libdl and libseccomp alone: nothing of the checker's is in this process for the
// library to find.
#include "device/devicecalls.h"
#include "device/devicefunctions.h"
#include "libraryhost/filter.h"
#include "libraryhost/guardedbuffer.h"
#include "libraryhost/hostprotocol.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool sendAll(const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = send(kHostChannelFd, bytes, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool receiveAll(void* data, size_t size)
{
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = recv(kHostChannelFd, bytes, size, 0);
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// The answer of a call that wrote into the guard page: the buffer as it was left.
HostAnswer answer;

[[noreturn]] void onOverrun(const char* buffer)
{
    answer.ending = kHostGuardPage;
    answer.code = 0;
    std::memcpy(answer.out, buffer, kHostBufferSize);
    sendAll(&answer, sizeof answer);
    _exit(0);
}

// Standard output and error into the output pipe. The checker started this program with the
// protocol's descriptors alone.
void settleDescriptors()
{
    if (dup2(kHostOutputFd, 1) < 0 || dup2(kHostOutputFd, 2) < 0 || close(kHostOutputFd) != 0)
        _exit(127);
    // What the library writes is seen as it writes it, so that it counts against the call.
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

pid_t argumentPid(int argc, char* argv[], int index)
{
    return index < argc ? static_cast<pid_t>(std::atol(argv[index])) : 0;
}

void* load(const char* path)
{
    HostLoadAnswer loaded;
    std::memset(&loaded, 0, sizeof loaded);
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        std::strncpy(loaded.error, error ? error : "", sizeof loaded.error - 1);
    }
    loaded.loaded = handle ? 1 : 0;
    std::fflush(nullptr);
    if (!sendAll(&loaded, sizeof loaded) || !handle)
        _exit(0);
    return handle;
}

int32_t call(void* function, const HostRequest& request, char* buffer)
{
    const int32_t* n = request.numbers;
    switch (request.function) {
    case kGenerateKeyFromPw:
        return reinterpret_cast<GenerateKeyFromPwFunc>(function)(n[0], buffer);
    case kSetPwMkey:
        return reinterpret_cast<SetPwMkeyFunc>(function)(request.text, request.textLength);
    case kSetPwWkey:
        return reinterpret_cast<SetPwWkeyFunc>(function)(request.text, request.textLength);
    case kInputPassword:
        return reinterpret_cast<InputPasswordFunc>(function)(n[0], kPinText, kPinText, kPinText,
                                                             n[1], n[2], buffer);
    case kReadDeviceSN:
        return reinterpret_cast<ReadDeviceSNFunc>(function)(n[0], kDeviceParameter, n[1], buffer);
    default:
        return reinterpret_cast<WriteDeviceSNFunc>(function)(n[0], kDeviceParameter, n[1],
                                                             request.text);
    }
}
}

// In a build with AddressSanitizer: no quarantine of freed memory, which would grow the resident
// size that a soak judges by itself, and no leak check at exit, which a library that calls exit()
// would start with a tracer the filter refuses. Never called in any other build.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options()
{
    return "quarantine_size_mb=0:thread_local_quarantine_size_kb=0:detect_leaks=0";
}

int main(int argc, char* argv[])
{
    settleDescriptors();
    if (argc < 2)
        _exit(127);
    HostHello hello;
    std::memset(&hello, 0, sizeof hello);
    hello.pid = static_cast<int32_t>(getpid());
    hello.filterError = enterFilter(argumentPid(argc, argv, 2), argumentPid(argc, argv, 3),
                                    kHostReportFd, hello.filterProblem, sizeof hello.filterProblem);
    if (!sendAll(&hello, sizeof hello))
        _exit(0);
    void* handle = load(argv[1]);
    if (!makeGuardedBuffer(onOverrun))
        _exit(127);

    HostRequest request;
    while (receiveAll(&request, sizeof request)) {
        request.text[kHostTextSize] = '\0';
        std::memset(&answer, 0, sizeof answer);
        if (request.function == kHostEcho) {
            answer.ending = kHostReturned;
            if (!sendAll(&answer, sizeof answer))
                break;
            continue;
        }
        void* function = request.function >= kGenerateKeyFromPw
                && request.function <= kWriteDeviceSN && request.textLength >= 0
                && request.textLength <= kHostTextSize
            ? dlsym(handle, kDeviceFunctionNames[request.function])
            : nullptr;
        if (!function)
            _exit(127);
        char* buffer = freshGuardedBuffer();
        answer.code = call(function, request, buffer);
        answer.ending = kHostReturned;
        std::fflush(nullptr);
        std::memcpy(answer.out, buffer, kHostBufferSize);
        if (!sendAll(&answer, sizeof answer))
            break;
    }
    // The checker is done: the library is unloaded, as a process that ends normally would, so
    // that it can release the device; what it writes meanwhile is still the library's output.
    dlclose(handle);
    std::fflush(nullptr);
    _exit(0);
}
