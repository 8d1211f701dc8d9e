// The child side of the device checker: loads the device library in a forked process and calls
// its functions on request, copying bytes and judging nothing. Uses no Qt, and never returns.
#ifndef LIBRARYHOST_H
#define LIBRARYHOST_H

#include <sys/types.h>

// The descriptors the child keeps, and who the checker is.
struct HostSetup {
    int channel; // requests come and answers go here (see hostprotocol.h)
    int output;  // the library's standard output and error
    int report;  // the sandbox's records of refused calls (see sandbox.h)
    pid_t checker;
    pid_t checkerGroup;
};

// Runs in the child right after fork(): leads a session of its own, keeps only the descriptors
// of setup, enters the sandbox, then loads the library and calls it until the channel closes, when
// it unloads the library and ends. Ends with _exit.
[[noreturn]] void hostLibrary(const char* path, const HostSetup& setup);

#endif
