// Start-up probe shared by the start-up benchmark programs: waits for the window's first paint,
// then prints how long the process took to get there and its peak resident memory.
#ifndef STARTUPPROBE_H
#define STARTUPPROBE_H

class QApplication;
class QWidget;

// Shows window and runs the event loop until its first paint has finished. Then prints one line
// to standard output, "startup_ns=<n> vmhwm_kib=<k>": n is the time since the launcher's
// timestamp BENCH_SPAWN_NS (CLOCK_MONOTONIC nanoseconds, taken just before it started this
// process), k the process's peak resident set (VmHWM). When requiredMapping is not null, the
// process must have a file whose path ends with it mapped by then (the device library). Returns
// the process exit code: 0, or 1 after a message on standard error.
int runStartupProbe(QApplication& application, QWidget& window, const char* requiredMapping);

#endif
