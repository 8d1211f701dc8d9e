// Ending every process a device library's process started, detached or not, before the checker
// gives its verdict: a process left behind could rewrite the evidence or the report after the
// checker has ended. Everything here is async-signal-safe (system calls only, no allocation), so
// that a signal handler can end the library's processes on the way out too.
#ifndef PROCESSTREE_H
#define PROCESSTREE_H

#include <sys/types.h>

namespace ProcessTree {

// Makes this process the child subreaper of everything it starts: a descendant whose parent ends
// is handed to this process instead of init, so that it stays within reach. 0, or the errno.
int becomeSubreaper();

// The library's process, which leads a session of its own: what killRound and the signal handler
// end. 0: none.
void setLibrarySession(pid_t session);
pid_t librarySession();

// One round: SIGKILL to the library's session and its process group, to every child of this
// process and to every descendant of those that /proc shows, however deep, left the session or
// not. How many processes were found.
int killRound();

// A child of parent, the first /proc lists; 0 when it has none.
pid_t firstChild(pid_t parent);

// Reaps the children of this process that have ended, and only those: the status of each reaped
// process goes to ended(pid, status, context). How many are left, ended or not.
int reapChildren(void (*ended)(pid_t pid, int status, void* context), void* context);

// Rounds of killing and reaping until no process of the library's is left, or until deadlineMs
// of CLOCK_MONOTONIC (milliseconds) has passed; true when none is left. Between rounds,
// betweenRounds(context) runs when given: the checker drains the library's output there.
bool endAll(long long deadlineMs, void (*ended)(pid_t, int, void*), void* context,
            void (*betweenRounds)(void*) = nullptr);

// CLOCK_MONOTONIC in milliseconds.
long long nowMs();

} // namespace ProcessTree

#endif
