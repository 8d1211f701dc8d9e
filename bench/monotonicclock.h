// The clock the start-up benchmark's launcher and probe share: CLOCK_MONOTONIC, which both
// processes read alike, so that one can take a time stamp and the other subtract it; and the
// process's CPU time, which other work on the machine disturbs far less.
#ifndef MONOTONICCLOCK_H
#define MONOTONICCLOCK_H

#include <ctime>

// CLOCK_MONOTONIC now, in nanoseconds.
inline long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// CPU time this process has used since it started (all threads, user and system), in
// nanoseconds.
inline long long processCpuNs()
{
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<long long>(used.tv_sec) * 1000000000LL + used.tv_nsec;
}

#endif
