// The second layer around the device library, after the namespaces: a seccomp filter built from
// the policy table (filterpolicy.h), which every process the library starts inherits, and no
// capability, for when the checker runs as root. A refused call is reported on the report pipe
// and ends the process that made it.
#ifndef FILTER_H
#define FILTER_H

#include <cstddef>

#include <sys/types.h>

// Installs the filter in this process, before the library is loaded. checker and checkerGroup are
// the checker's pid and process group, 0 when the checker is out of this process's reach (the
// rules aimed at it are then left out). Every refused call writes a HostRefusal to reportFd and
// ends its process. Returns 0, or the errno of what failed, with the failure written into problem
// (NUL-terminated, at most size bytes).
int enterFilter(pid_t checker, pid_t checkerGroup, int reportFd, char* problem, size_t size);

#endif
