// Start-up benchmark driver: starts, alternately, the tool's start-up program beside the simulator
// and beside device libraries 4 MiB and 300 MiB larger, the floor (a bare dialog loading the key
// library, libcrypto and the device library, as the tool must) and the bare dialog, each in its
// working directory (the build directory, where the simulator sits at
// ./quorvel/libClientScreen.so; the larger libraries in bench/large-library/ and
// bench/huge-library/) on Qt's offscreen platform. Given the start-up program of another build
// (BASELINE_TOOL), it starts that one beside the same three libraries in the same alternation, so
// that two builds are compared in one run. Prints the medians of their start-up times and of
// their peak resident memory as table rows.
//
// usage: bench_startup RUNS BUILD_DIR [BASELINE_TOOL]
//   BUILD_DIR holds bench/bench_startup_tool, bench/bench_startup_reference and
//   bench/bench_startup_floor.
#include "benchtable.h"
#include "monotonicclock.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// One start of one program.
struct Sample {
    double startupMs = 0;
    double peakMiB = 0;
};

// Without a baseline build, only the programs before BaselineTool are started.
enum Program {
    Tool,
    ToolLargeLibrary,
    ToolHugeLibrary,
    Floor,
    Reference,
    BaselineTool,
    BaselineLargeLibrary,
    BaselineHugeLibrary,
    ProgramCount
};

struct Start {
    std::string program;
    std::string directory; // the working directory it starts in
};

// Runs program once in directory and reads the probe's line from its standard output.
bool runOnce(const Start& start, Sample& sample)
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
        if (chdir(start.directory.c_str()) != 0) {
            std::fprintf(stderr, "cd %s: %s\n", start.directory.c_str(), std::strerror(errno));
            _exit(127);
        }
        execl(start.program.c_str(), start.program.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "exec %s: %s\n", start.program.c_str(), std::strerror(errno));
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
        std::fprintf(stderr, "%s failed (status %d): %s\n", start.program.c_str(), status,
                     output.c_str());
        return false;
    }
    long long startupNs = 0;
    long long peakKib = 0;
    if (std::sscanf(output.c_str(), "startup_ns=%lld vmhwm_kib=%lld", &startupNs, &peakKib) != 2
        || startupNs <= 0 || peakKib <= 0) {
        std::fprintf(stderr, "%s printed no measurement: %s\n", start.program.c_str(),
                     output.c_str());
        return false;
    }
    sample.startupMs = static_cast<double>(startupNs) / 1e6;
    sample.peakMiB = static_cast<double>(peakKib) / 1024.0;
    return true;
}

// The size of the device library that a program finds in directory, in MiB.
double libraryMiB(const std::string& directory)
{
    struct stat status { };
    if (stat((directory + "/quorvel/libClientScreen.so").c_str(), &status) != 0)
        return 0;
    return static_cast<double>(status.st_size) / (1024.0 * 1024.0);
}

std::vector<double> startups(const std::vector<Sample>& samples)
{
    std::vector<double> values;
    for (const Sample& sample : samples)
        values.push_back(sample.startupMs);
    return values;
}

double medianPeak(const std::vector<Sample>& samples)
{
    std::vector<double> values;
    for (const Sample& sample : samples)
        values.push_back(sample.peakMiB);
    return median(values);
}

// The rows of one build's tool: against the floor, beside the two larger libraries, and its peak
// memory against the bare dialog's.
void printToolRows(const char* build, const std::vector<Sample>* samples, Program tool,
                   Program large, Program huge, const std::string& root, int runs)
{
    char measure[320];
    std::snprintf(measure, sizeof measure,
                  "start-up%s, against the floor (the bare dialog loading the key library, "
                  "libcrypto and the device library), ms (median of %d)",
                  build, runs);
    printRatioRow(measure, median(startups(samples[tool])), median(startups(samples[Floor])), 1.3);
    const struct {
        Program program;
        const char* directory;
        const char* padding;
        double goalMs;
    } larger[] = {{large, "/bench/large-library", "4 MiB", 40},
                  {huge, "/bench/huge-library", "300 MiB", 500}};
    for (const auto& library : larger) {
        std::snprintf(measure, sizeof measure,
                      "start-up%s with a %.1f MiB device library (the simulator and %s of "
                      "padding), against the same with the simulator (%.1f MiB), ms (median of "
                      "%d, quartiles)",
                      build, libraryMiB(root + library.directory), library.padding,
                      libraryMiB(root), runs);
        printCeilingRow(measure, startups(samples[library.program]), startups(samples[tool]),
                        library.goalMs, "ms");
    }
    std::snprintf(measure, sizeof measure,
                  "peak resident memory (VmHWM)%s, against the bare dialog, MiB (median of %d)",
                  build, runs);
    printDifferenceRow(measure, medianPeak(samples[tool]), medianPeak(samples[Reference]), 5.0);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s RUNS BUILD_DIR [BASELINE_TOOL]\n", argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    if (runs < 1) {
        std::fprintf(stderr, "RUNS must be at least 1\n");
        return 2;
    }
    // Absolute, as each program starts after changing into it.
    char* directory = realpath(argv[2], nullptr);
    if (!directory) {
        std::fprintf(stderr, "%s: %s\n", argv[2], std::strerror(errno));
        return 2;
    }
    const std::string root = directory;
    std::free(directory);
    std::string baseline;
    if (argc == 4) {
        char* program = realpath(argv[3], nullptr);
        if (!program) {
            std::fprintf(stderr, "%s: %s\n", argv[3], std::strerror(errno));
            return 2;
        }
        baseline = program;
        std::free(program);
    }
    Start starts[ProgramCount];
    starts[Tool] = {root + "/bench/bench_startup_tool", root};
    starts[ToolLargeLibrary] = {starts[Tool].program, root + "/bench/large-library"};
    starts[ToolHugeLibrary] = {starts[Tool].program, root + "/bench/huge-library"};
    starts[Floor] = {root + "/bench/bench_startup_floor", root};
    starts[Reference] = {root + "/bench/bench_startup_reference", root};
    starts[BaselineTool] = {baseline, root};
    starts[BaselineLargeLibrary] = {baseline, starts[ToolLargeLibrary].directory};
    starts[BaselineHugeLibrary] = {baseline, starts[ToolHugeLibrary].directory};
    const int programs = baseline.empty() ? BaselineTool : ProgramCount;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // One unmeasured start of each, so that all find their files in the page cache.
    Sample sample;
    for (int program = 0; program < programs; ++program) {
        if (!runOnce(starts[program], sample))
            return 1;
    }
    // Each run starts every program once, in an order shuffled afresh for each run (from a fixed
    // seed, so that every run of the benchmark uses the same orders). How long a start takes
    // depends on what ran just before it: here, after a start beside the 300 MiB library or after
    // an idle pause, about 2 ms more than straight after a short start. A rotated order would
    // keep each program behind the same one in every run.
    std::vector<Sample> samples[ProgramCount];
    std::vector<int> order;
    for (int program = 0; program < programs; ++program)
        order.push_back(program);
    std::mt19937 random(20240601);
    for (int run = 0; run < runs; ++run) {
        std::shuffle(order.begin(), order.end(), random);
        for (const int program : order) {
            if (!runOnce(starts[program], sample))
                return 1;
            samples[program].push_back(sample);
        }
    }

    char measure[240];
    std::snprintf(measure, sizeof measure,
                  "start-up: process start to window shown, against the bare dialog, ms (median "
                  "of %d)",
                  runs);
    printPlainRatioRow(measure, median(startups(samples[Tool])),
                       median(startups(samples[Reference])));
    printToolRows("", samples, Tool, ToolLargeLibrary, ToolHugeLibrary, root, runs);
    if (!baseline.empty())
        printToolRows(" of the baseline build's tool", samples, BaselineTool, BaselineLargeLibrary,
                      BaselineHugeLibrary, root, runs);
    return 0;
}
