#include "devicecheck/libraryhost.h"

#include "device/devicecalls.h"
#include "device/devicefunctions.h"
#include "devicecheck/hostprotocol.h"
#include "devicecheck/sandbox.h"
#include "util/libraryidentity.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// The answer under way and the buffer's guard page, where the fault handler finds them.
HostAnswer answer;
char* buffer = nullptr;
char* guardPage = nullptr;
size_t pageSize = 0;
int channelFd = -1;

bool sendAll(const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = send(channelFd, bytes, size, MSG_NOSIGNAL);
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
        const ssize_t got = recv(channelFd, bytes, size, 0);
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// A write into the guard page ends the call: the answer says so, with the buffer as it was
// left. Any other fault is the library's own and ends the process with the signal.
void onFault(int, siginfo_t* info, void*)
{
    const auto* address = static_cast<const char*>(info->si_addr);
    if (guardPage && address >= guardPage && address < guardPage + pageSize) {
        answer.ending = kHostGuardPage;
        answer.code = 0;
        answer.milliseconds = 0;
        std::memcpy(answer.out, buffer, kHostBufferSize);
        sendAll(&answer, sizeof answer);
        _exit(0);
    }
    signal(SIGSEGV, SIG_DFL);
}

// The descriptors the library's process keeps: the channel and the report pipe, moved to these.
constexpr int kChannelFd = 3;
constexpr int kReportFd = 4;

// Closes every descriptor from first on: close_range where the kernel has it, otherwise each
// entry of /proc/self/fd, in passes until one finds nothing left to close.
void closeFrom(int first)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0u, 0u) == 0)
        return;
#endif
    for (bool closed = true; closed;) {
        closed = false;
        DIR* directory = opendir("/proc/self/fd");
        if (!directory)
            _exit(127);
        int fds[256];
        int count = 0;
        while (dirent* entry = readdir(directory))
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && count < 256)
                fds[count++] = std::atoi(entry->d_name);
        const int own = dirfd(directory);
        for (int i = 0; i < count; ++i)
            if (fds[i] >= first && fds[i] != own) {
                close(fds[i]);
                closed = true;
            }
        closedir(directory);
    }
}

// Standard input from /dev/null, standard output and error into output, the channel and the
// report pipe kept, and every other descriptor the checker had open closed, so that the library
// can reach none of them.
void isolateDescriptors(const HostSetup& setup)
{
    // Above every descriptor that is to be replaced, then in place.
    const int channel = fcntl(setup.channel, F_DUPFD_CLOEXEC, kReportFd + 1);
    const int report = fcntl(setup.report, F_DUPFD_CLOEXEC, kReportFd + 1);
    const int nothing = open("/dev/null", O_RDONLY);
    if (channel < 0 || report < 0 || nothing < 0 || dup2(nothing, 0) < 0
        || dup2(setup.output, 1) < 0 || dup2(setup.output, 2) < 0
        || dup3(channel, kChannelFd, O_CLOEXEC) < 0 || dup3(report, kReportFd, O_CLOEXEC) < 0)
        _exit(127);
    channelFd = kChannelFd;
    closeFrom(kReportFd + 1);
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

// A library that calls exit() ends the process here, with its status and what it printed, before
// any handler this process inherited from the checker runs: Qt's global teardown belongs to the
// checker, not to its copy.
void onExit(int status, void*)
{
    std::fflush(nullptr);
    _exit(status);
}

void load(const char* path, void** handle)
{
    HostLoadAnswer loaded;
    std::memset(&loaded, 0, sizeof loaded);
    *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!*handle) {
        const char* error = dlerror();
        std::strncpy(loaded.error, error ? error : "", sizeof loaded.error - 1);
    } else {
        loaded.loaded = 1;
        for (int i = 0; i < kDeviceFunctionCount; ++i)
            if (dlsym(*handle, kDeviceFunctionNames[i]))
                loaded.exported |= 1u << i;
        struct link_map* object = nullptr;
        if (dlinfo(*handle, RTLD_DI_LINKMAP, &object) == 0 && object) {
            loaded.dynamicAddress = reinterpret_cast<uintptr_t>(object->l_ld);
            // The mark counts only when the library itself defines it, not one it depends on.
            void* mark = dlsym(*handle, kSimulatorMarkSymbol);
            Dl_info info;
            struct link_map* owner = nullptr;
            loaded.simulatorMark = mark
                && dladdr1(mark, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) != 0
                && owner == object;
        }
    }
    std::fflush(nullptr);
    if (!sendAll(&loaded, sizeof loaded) || !*handle)
        _exit(0);
}

// The output buffer with the inaccessible page right after its last byte, and the fault handler
// on a stack of its own, since the fault may come from a smashed stack.
void guardBuffer()
{
    pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* region =
        mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED)
        _exit(127);
    guardPage = static_cast<char*>(region) + pageSize;
    if (mprotect(guardPage, pageSize, PROT_NONE) != 0)
        _exit(127);
    buffer = guardPage - kHostBufferSize;

    stack_t stack;
    std::memset(&stack, 0, sizeof stack);
    stack.ss_size = 64 * 1024;
    stack.ss_sp =
        mmap(nullptr, stack.ss_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (stack.ss_sp == MAP_FAILED || sigaltstack(&stack, nullptr) != 0
        || sigaction(SIGSEGV, &action, nullptr) != 0)
        _exit(127);
}

int32_t call(void* handle, const HostRequest& request)
{
    void* function = dlsym(handle, kDeviceFunctionNames[request.function]);
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

double now()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_nsec) / 1e6;
}
}

void hostLibrary(const char* path, const HostSetup& setup)
{
    // A session of its own: the checker ends it as a whole, and the terminal's signals meant for
    // the checker do not reach it.
    setsid();
    isolateDescriptors(setup);
    HostHello hello;
    std::memset(&hello, 0, sizeof hello);
    hello.filterError = enterSandbox(setup.checker, setup.checkerGroup, kReportFd,
                                     hello.filterProblem, sizeof hello.filterProblem);
    if (!sendAll(&hello, sizeof hello))
        _exit(0);
    on_exit(onExit, nullptr);
    void* handle = nullptr;
    load(path, &handle);
    guardBuffer();

    HostRequest request;
    while (receiveAll(&request, sizeof request)) {
        request.text[kHostTextSize] = '\0';
        if (request.function < kGenerateKeyFromPw || request.function > kWriteDeviceSN
            || request.textLength < 0 || request.textLength > kHostTextSize
            || !dlsym(handle, kDeviceFunctionNames[request.function]))
            _exit(127);
        for (int i = 0; i < kHostBufferSize; ++i)
            buffer[i] = hostGuardByte(i);
        std::memset(&answer, 0, sizeof answer);
        const double start = now();
        try {
            answer.code = call(handle, request);
            answer.ending = kHostReturned;
        } catch (...) {
            answer.ending = kHostThrew;
        }
        answer.milliseconds = now() - start;
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
