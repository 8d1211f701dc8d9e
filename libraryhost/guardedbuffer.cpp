#include "libraryhost/guardedbuffer.h"

#include "libraryhost/hostprotocol.h"

#include <csignal>
#include <cstddef>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace {
char* buffer = nullptr;
char* guardPage = nullptr;
size_t pageSize = 0;
void (*overrun)(const char*) = nullptr;

// A write into the guard page ends the call. Any other fault is the library's own and ends the
// process with the signal, as it would have without this handler.
void onFault(int, siginfo_t* info, void*)
{
    const auto* address = static_cast<const char*>(info->si_addr);
    if (guardPage && address >= guardPage && address < guardPage + pageSize)
        overrun(buffer);
    signal(SIGSEGV, SIG_DFL);
}
}

bool makeGuardedBuffer(void (*onOverrun)(const char* buffer))
{
    overrun = onOverrun;
    pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* region =
        mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED)
        return false;
    guardPage = static_cast<char*>(region) + pageSize;
    if (mprotect(guardPage, pageSize, PROT_NONE) != 0)
        return false;
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
    return stack.ss_sp != MAP_FAILED && sigaltstack(&stack, nullptr) == 0
        && sigaction(SIGSEGV, &action, nullptr) == 0;
}

char* freshGuardedBuffer()
{
    for (int i = 0; i < kHostBufferSize; ++i)
        buffer[i] = hostGuardByte(i);
    return buffer;
}
