// What keeps a device library's process, and every process it starts, from reaching back at the
// checker: a seccomp filter (libseccomp) that refuses tracing, reading or writing another
// process's memory, signalling the checker and changing another process's limits; and the
// capability to trace a process that is not dumpable, dropped for when the checker runs as root.
// A refused call is reported on a pipe and ends the process that made it.
#ifndef SANDBOX_H
#define SANDBOX_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

// What the library's process writes on the report pipe for each call the filter refused.
struct SandboxRecord {
    int32_t pid;     // the process that made the call
    int32_t syscall; // its number, as the kernel gives it
    uint32_t arch;   // the kernel's AUDIT_ARCH_* of the call
    int32_t reserved;
};

// In the library's process, before the library is loaded: makes the process dumpable (so that the
// checker, as an ordinary user, can read its /proc entries), drops the capability to trace, and
// installs the filter, which everything the process starts inherits. checker and checkerGroup
// are the checker's pid and process group. Every refused call writes a SandboxRecord to
// reportFd and ends its process. Returns 0, or the errno of what failed, with the failure written
// into problem (NUL-terminated, at most size bytes). Uses no Qt.
int enterSandbox(pid_t checker, pid_t checkerGroup, int reportFd, char* problem, size_t size);

// "kill()" for a record of kill, in the record's architecture; "syscall 62()" when it has no name.
std::string refusedCallName(const SandboxRecord& record);
// What the refused call was aimed at, as the report says it: " on the checker" for the calls that
// signal, " on another process" for prlimit64, otherwise empty.
std::string refusedCallTarget(const SandboxRecord& record);

#endif
