// Start-up probe shared by the start-up benchmark programs: waits for the window's first paint,
// then prints how long the process took to get there, its parts, and its peak resident memory.
#ifndef STARTUPPROBE_H
#define STARTUPPROBE_H

#include <functional>
#include <string>

class QApplication;
class QWidget;

// Times the program takes before it calls the probe: CLOCK_MONOTONIC, and the process's CPU time.
struct StartupMarks {
    long long mainNs = 0;        // first thing in main
    long long constructedNs = 0; // the window constructed, before it is shown
    long long mainCpuNs = 0;
    long long constructedCpuNs = 0;
};

// Shows window and runs the event loop until its first paint has finished. Then prints one line
// to standard output, "startup_ns=<n> vmhwm_kib=<k> main_ns=<m> constructed_ns=<c>" followed by
// " cpu_main_ns=… cpu_constructed_ns=… cpu_shown_ns=…" and what afterShown returns (" name=value"
// fields, measured once the window is shown): n, m and c are times since the launcher's timestamp
// BENCH_SPAWN_NS (CLOCK_MONOTONIC nanoseconds, taken just before it started this process), the
// cpu_ fields the process's CPU time at the same points, k its peak resident set (VmHWM). When
// requiredMapping is not null, the process must have a file whose path ends with it mapped by
// then (the device library). afterShown returns an empty string to report a failure, after a
// message on standard error. Returns the process exit code: 0, or 1 after a message.
int runStartupProbe(QApplication& application, QWidget& window, const StartupMarks& marks,
                    const char* requiredMapping,
                    const std::function<std::string()>& afterShown = nullptr);

#endif
