// Start-up benchmark driver: starts the tool's start-up program and the bare-dialog reference of
// one or more build directories, all alternately, each with its build directory as working
// directory (where the simulator sits at ./quorvel/libClientScreen.so) on Qt's offscreen
// platform, and prints the medians of their start-up times as table rows, one per build
// directory, and the peak resident memory of the first.
//
// usage: bench_startup RUNS LABEL BUILD_DIR [LABEL BUILD_DIR]...
//   BUILD_DIR holds bench/bench_startup_tool and bench/bench_startup_reference; LABEL names it
//   in its row.
#include "benchtable.h"
#include "monotonicclock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Sample {
    double startupMs = 0;
    double peakMiB = 0;
};

struct Build {
    std::string label;
    std::string directory;
    std::string tool;
    std::string reference;
    std::vector<double> toolMs, referenceMs, toolMiB, referenceMiB;
};

// Runs program once in directory and reads the probe's line from its standard output.
bool runOnce(const std::string& directory, const std::string& program, Sample& sample)
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
        if (chdir(directory.c_str()) != 0) {
            std::fprintf(stderr, "cd %s: %s\n", directory.c_str(), std::strerror(errno));
            _exit(127);
        }
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "exec %s: %s\n", program.c_str(), std::strerror(errno));
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
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d): %s\n", program.c_str(), status,
                     output.c_str());
        return false;
    }
    long long startupNs = 0;
    long long peakKib = 0;
    if (std::sscanf(output.c_str(), "startup_ns=%lld vmhwm_kib=%lld", &startupNs, &peakKib) != 2
        || startupNs <= 0 || peakKib <= 0) {
        std::fprintf(stderr, "%s printed no measurement: %s\n", program.c_str(), output.c_str());
        return false;
    }
    sample.startupMs = static_cast<double>(startupNs) / 1e6;
    sample.peakMiB = static_cast<double>(peakKib) / 1024.0;
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 4 || argc % 2 != 0) {
        std::fprintf(stderr, "usage: %s RUNS LABEL BUILD_DIR [LABEL BUILD_DIR]...\n", argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    if (runs < 1) {
        std::fprintf(stderr, "RUNS must be at least 1\n");
        return 2;
    }
    std::vector<Build> builds;
    for (int arg = 2; arg < argc; arg += 2) {
        // Absolute, as each program starts after changing into it.
        char* directory = realpath(argv[arg + 1], nullptr);
        if (!directory) {
            std::fprintf(stderr, "%s: %s\n", argv[arg + 1], std::strerror(errno));
            return 2;
        }
        Build build;
        build.label = argv[arg];
        build.directory = directory;
        std::free(directory);
        build.tool = build.directory + "/bench/bench_startup_tool";
        build.reference = build.directory + "/bench/bench_startup_reference";
        builds.push_back(build);
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // One unmeasured start of each, so that all find their files in the page cache.
    Sample warmUp;
    for (const Build& build : builds) {
        if (!runOnce(build.directory, build.tool, warmUp)
            || !runOnce(build.directory, build.reference, warmUp))
            return 1;
    }

    // Each run starts every program once; the order rotates from run to run, so that no program
    // always follows the same one.
    const std::size_t programs = 2 * builds.size();
    for (int run = 0; run < runs; ++run) {
        for (std::size_t step = 0; step < programs; ++step) {
            const std::size_t slot = (step + static_cast<std::size_t>(run)) % programs;
            Build& build = builds[slot / 2];
            const bool isTool = slot % 2 == 0;
            Sample sample;
            if (!runOnce(build.directory, isTool ? build.tool : build.reference, sample))
                return 1;
            (isTool ? build.toolMs : build.referenceMs).push_back(sample.startupMs);
            (isTool ? build.toolMiB : build.referenceMiB).push_back(sample.peakMiB);
        }
    }

    char measure[200];
    for (const Build& build : builds) {
        std::snprintf(measure, sizeof measure,
                      "start-up, %s: process start to window shown, ms (median of %d)",
                      build.label.c_str(), runs);
        printRatioRow(measure, median(build.toolMs), median(build.referenceMs), 1.15);
    }
    const Build& first = builds.front();
    std::snprintf(measure, sizeof measure, "peak resident memory (VmHWM), %s, MiB (median of %d)",
                  first.label.c_str(), runs);
    printDifferenceRow(measure, median(first.toolMiB), median(first.referenceMiB), 5.0);
    return 0;
}
