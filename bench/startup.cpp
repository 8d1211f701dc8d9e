// Start-up benchmark driver: starts the tool's start-up program and the bare-dialog reference
// alternately, each from the current working directory on Qt's offscreen platform, and prints
// the medians of their start-up times and peak resident memory as table rows.
//
// usage: bench_startup TOOL_PROGRAM REFERENCE_PROGRAM [RUNS]
#include "benchtable.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct Sample {
    double startupMs = 0;
    double peakMiB = 0;
};

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Runs program once and reads the probe's line from its standard output.
bool runOnce(const char* program, Sample& sample)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        std::perror("pipe");
        return false;
    }
    // Taken as late as possible before the new process exists; the child reads it back.
    const std::string spawn = std::to_string(monotonicNs());
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return false;
    }
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        setenv("BENCH_SPAWN_NS", spawn.c_str(), 1);
        execl(program, program, static_cast<char*>(nullptr));
        std::fprintf(stderr, "exec %s: %s\n", program, std::strerror(errno));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[256];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0)
            output.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d): %s\n", program, status, output.c_str());
        return false;
    }
    long long startupNs = 0;
    long long peakKib = 0;
    if (std::sscanf(output.c_str(), "startup_ns=%lld vmhwm_kib=%lld", &startupNs, &peakKib) != 2
        || startupNs <= 0 || peakKib <= 0) {
        std::fprintf(stderr, "%s printed no measurement: %s\n", program, output.c_str());
        return false;
    }
    sample.startupMs = static_cast<double>(startupNs) / 1e6;
    sample.peakMiB = static_cast<double>(peakKib) / 1024.0;
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s TOOL_PROGRAM REFERENCE_PROGRAM [RUNS]\n", argv[0]);
        return 2;
    }
    const char* tool = argv[1];
    const char* reference = argv[2];
    const int runs = argc == 4 ? std::atoi(argv[3]) : 31;
    if (runs < 1) {
        std::fprintf(stderr, "RUNS must be at least 1\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // One unmeasured start of each, so that both find their files in the page cache.
    Sample warmUp;
    if (!runOnce(tool, warmUp) || !runOnce(reference, warmUp))
        return 1;

    std::vector<double> toolMs, referenceMs, toolMiB, referenceMiB;
    for (int run = 0; run < runs; ++run) {
        // Alternate which goes first, so that neither always follows the other.
        const char* order[2] = {tool, reference};
        if (run % 2 == 1)
            std::swap(order[0], order[1]);
        for (const char* program : order) {
            Sample sample;
            if (!runOnce(program, sample))
                return 1;
            const bool isTool = program == tool;
            (isTool ? toolMs : referenceMs).push_back(sample.startupMs);
            (isTool ? toolMiB : referenceMiB).push_back(sample.peakMiB);
        }
    }

    char measure[160];
    std::snprintf(measure, sizeof measure,
                  "start-up: process start to window shown, ms (median of %d)", runs);
    printRatioRow(measure, median(toolMs), median(referenceMs), 1.15);
    std::snprintf(measure, sizeof measure, "peak resident memory (VmHWM), MiB (median of %d)",
                  runs);
    printDifferenceRow(measure, median(toolMiB), median(referenceMiB), 5.0);
    return 0;
}
