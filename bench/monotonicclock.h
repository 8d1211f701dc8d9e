// The clock the start-up benchmark's launcher and probe share: CLOCK_MONOTONIC, which both
// processes read alike, so that one can take a time stamp and the other subtract it.
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

#endif
