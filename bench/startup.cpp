// Start-up benchmark driver: starts the tool's start-up program and the bare-dialog reference of
// one or more build directories, and for the first the floor (the bare dialog loading the key
// library, libcrypto and the device library, as the tool must) and the tool beside a device
// library 4 MiB larger, all alternately, each with its build directory as working directory
// (where the simulator sits at ./quorvel/libClientScreen.so; the larger library in
// bench/large-library/) on Qt's offscreen platform. Prints the medians of their start-up times as
// table rows, one per build directory, the first build's tool against the floor and its CPU
// times, the cost of the larger library, and the peak resident memory of the first; and into
// BREAKDOWN_FILE two more tables: where the first build's start-up goes, part by part, in time
// and in CPU time, for the tool, the tool with the larger library, the floor and the bare dialog.
//
// usage: bench_startup BREAKDOWN_FILE RUNS LABEL BUILD_DIR [LABEL BUILD_DIR]...
//   BUILD_DIR holds bench/bench_startup_tool, bench/bench_startup_reference and
//   bench/bench_startup_floor; LABEL names it in its row.
#include "benchtable.h"
#include "monotonicclock.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// Points of one start, in milliseconds: since the launcher's timestamp, or of the process's CPU
// time; and the parts the program measured of itself, negative when it does not measure them.
struct Times {
    double main = 0;
    double constructed = 0;
    double shown = 0;
    double load = -1;
    double identity = -1;
    double hash = -1;      // the first hash in the process
    double hashAgain = -1; // a hash once the code and buffers are warm
};

// One start of one program.
struct Sample {
    Times wall, cpu;
    double peakMiB = 0;
    long long hashBytes = 0;
    std::string hashEngine;
};

enum Program { Tool, Reference, Floor, ToolLargeLibrary, ProgramCount };

struct Build {
    std::string label;
    std::string programs[ProgramCount];
    std::string directories[ProgramCount]; // the working directory each program starts in
    bool withFloor = false;                // and the tool with the larger library
    std::vector<Sample> samples[ProgramCount];
};

// The number after "name=" in output, in milliseconds when it is nanoseconds; -1 when absent.
double field(const std::string& output, const char* name, double scale = 1e-6)
{
    const std::size_t at = output.find(std::string(" ") + name + "=");
    if (at == std::string::npos)
        return -1;
    return std::atof(output.c_str() + at + std::strlen(name) + 2) * scale;
}

std::string textField(const std::string& output, const char* name)
{
    const std::string key = std::string(" ") + name + "=";
    const std::size_t at = output.find(key);
    if (at == std::string::npos)
        return std::string();
    const std::size_t start = at + key.size();
    return output.substr(start, output.find_first_of(" \n", start) - start);
}

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
    long long mainNs = 0;
    long long constructedNs = 0;
    if (std::sscanf(output.c_str(),
                    "startup_ns=%lld vmhwm_kib=%lld main_ns=%lld constructed_ns=%lld", &startupNs,
                    &peakKib, &mainNs, &constructedNs)
            != 4
        || startupNs <= 0 || peakKib <= 0 || mainNs <= 0 || constructedNs < mainNs
        || startupNs < constructedNs) {
        std::fprintf(stderr, "%s printed no measurement: %s\n", program.c_str(), output.c_str());
        return false;
    }
    sample.wall.shown = static_cast<double>(startupNs) / 1e6;
    sample.wall.main = static_cast<double>(mainNs) / 1e6;
    sample.wall.constructed = static_cast<double>(constructedNs) / 1e6;
    // The field of each part in time and in CPU time: null for the three times read above.
    const struct {
        double Times::*part;
        const char* wall;
        const char* cpu;
    } parts[] = {
        {&Times::shown, nullptr, "cpu_shown_ns"},
        {&Times::main, nullptr, "cpu_main_ns"},
        {&Times::constructed, nullptr, "cpu_constructed_ns"},
        {&Times::load, "load_ns", "load_cpu_ns"},
        {&Times::identity, "identity_ns", "identity_cpu_ns"},
        {&Times::hash, "hash_ns", "hash_cpu_ns"},
        {&Times::hashAgain, "hash_again_ns", "hash_again_cpu_ns"},
    };
    for (const auto& part : parts) {
        if (part.wall)
            sample.wall.*part.part = field(output, part.wall);
        if (part.cpu)
            sample.cpu.*part.part = field(output, part.cpu);
    }
    if (sample.cpu.main <= 0 || sample.cpu.constructed < sample.cpu.main
        || sample.cpu.shown < sample.cpu.constructed) {
        std::fprintf(stderr, "%s printed no CPU times: %s\n", program.c_str(), output.c_str());
        return false;
    }
    sample.peakMiB = static_cast<double>(peakKib) / 1024.0;
    sample.hashBytes = static_cast<long long>(field(output, "hash_bytes", 1));
    sample.hashEngine = textField(output, "hash_engine");
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

// part(sample) over the samples where it is measured (not negative).
template <typename Part>
std::vector<double> values(const std::vector<Sample>& samples, Part part)
{
    std::vector<double> result;
    for (const Sample& sample : samples) {
        const double value = part(sample);
        if (value >= 0)
            result.push_back(value);
    }
    return result;
}

// A table of where the first build's start-up goes, part by part, with the spread of each part:
// in time (times is &Sample::wall) or in CPU time (&Sample::cpu).
void writeBreakdown(std::FILE* out, const Build& build, int runs, Times Sample::*times,
                    const char* what)
{
    const Sample& last = build.samples[Floor].back();
    std::fprintf(out,
                 "| start-up, %s, by part: %s, median (quartiles) of %d | tool | tool, %.1f MiB "
                 "library | floor | bare dialog |\n| --- | ---: | ---: | ---: | ---: |\n",
                 build.label.c_str(), what, runs, libraryMiB(build.directories[ToolLargeLibrary]));
    auto row = [&](const std::string& part, auto measure) {
        std::fprintf(out, "| %s |", part.c_str());
        for (const Program program : {Tool, ToolLargeLibrary, Floor, Reference}) {
            const auto value = [&](const Sample& sample) { return measure(sample.*times); };
            std::fprintf(out, " %s |", spreadCell(values(build.samples[program], value)).c_str());
        }
        std::fprintf(out, "\n");
    };
    row("process start to main: the libraries loaded and linked",
        [](const Times& t) { return t.main; });
    row("main to window constructed", [](const Times& t) { return t.constructed - t.main; });
    // Measured in the floor, which makes the window's calls for the device library: the load
    // where the window makes it, the identity once shown, for the first time in the process.
    row("… of which the device library load (in the floor: the window's call)",
        [](const Times& t) { return t.load; });
    row("first layout and paint", [](const Times& t) { return t.shown - t.constructed; });
    row("process start to window shown", [](const Times& t) { return t.shown; });
    // The identity is taken on a thread of its own from the end of the load on, in parallel
    // with the rest of the start-up; in the floor, on its own thread, once the window is shown.
    row("the identity, on a thread of its own: maps lookup and checks (in the floor: the "
        "window's call, less a warm hash)",
        [](const Times& t) { return t.identity < 0 ? -1 : t.identity - t.hashAgain; });
    char hashPart[200];
    std::snprintf(hashPart, sizeof hashPart,
                  "the identity, on a thread of its own: hash, %lld KiB, %s (in the floor: the "
                  "first in the process)",
                  last.hashBytes / 1024, last.hashEngine.c_str());
    row(hashPart, [](const Times& t) { return t.hash; });
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 5 || argc % 2 != 1) {
        std::fprintf(stderr, "usage: %s BREAKDOWN_FILE RUNS LABEL BUILD_DIR [LABEL BUILD_DIR]...\n",
                     argv[0]);
        return 2;
    }
    const char* breakdownFile = argv[1];
    const int runs = std::atoi(argv[2]);
    if (runs < 1) {
        std::fprintf(stderr, "RUNS must be at least 1\n");
        return 2;
    }
    std::vector<Build> builds;
    for (int arg = 3; arg < argc; arg += 2) {
        // Absolute, as each program starts after changing into it.
        char* directory = realpath(argv[arg + 1], nullptr);
        if (!directory) {
            std::fprintf(stderr, "%s: %s\n", argv[arg + 1], std::strerror(errno));
            return 2;
        }
        Build build;
        build.label = argv[arg];
        const std::string root = directory;
        std::free(directory);
        build.programs[Tool] = root + "/bench/bench_startup_tool";
        build.programs[Reference] = root + "/bench/bench_startup_reference";
        build.programs[Floor] = root + "/bench/bench_startup_floor";
        build.programs[ToolLargeLibrary] = build.programs[Tool];
        for (const Program program : {Tool, Reference, Floor})
            build.directories[program] = root;
        build.directories[ToolLargeLibrary] = root + "/bench/large-library";
        build.withFloor = builds.empty();
        builds.push_back(build);
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // Every program to start in one run, as (build, program).
    std::vector<std::pair<std::size_t, Program>> starts;
    for (std::size_t index = 0; index < builds.size(); ++index) {
        for (const Program program : {Tool, Reference, Floor, ToolLargeLibrary}) {
            if (program == Tool || program == Reference || builds[index].withFloor)
                starts.emplace_back(index, program);
        }
    }

    // One unmeasured start of each, so that all find their files in the page cache.
    Sample warmUp;
    for (const auto& start : starts) {
        const Build& build = builds[start.first];
        if (!runOnce(build.directories[start.second], build.programs[start.second], warmUp))
            return 1;
    }

    // Each run starts every program once; the order rotates from run to run, so that no program
    // always follows the same one.
    for (int run = 0; run < runs; ++run) {
        for (std::size_t step = 0; step < starts.size(); ++step) {
            const auto& start = starts[(step + static_cast<std::size_t>(run)) % starts.size()];
            Build& build = builds[start.first];
            Sample sample;
            if (!runOnce(build.directories[start.second], build.programs[start.second], sample))
                return 1;
            build.samples[start.second].push_back(sample);
        }
    }

    const auto startup = [](const Sample& s) { return s.wall.shown; };
    const auto startupCpu = [](const Sample& s) { return s.cpu.shown; };
    const auto peak = [](const Sample& s) { return s.peakMiB; };
    char measure[240];
    for (const Build& build : builds) {
        std::snprintf(measure, sizeof measure,
                      "start-up, %s: process start to window shown, ms (median of %d)",
                      build.label.c_str(), runs);
        printRatioRow(measure, median(values(build.samples[Tool], startup)),
                      median(values(build.samples[Reference], startup)), 1.15);
        if (!build.withFloor)
            continue;
        std::snprintf(measure, sizeof measure,
                      "start-up, %s, against the floor (the bare dialog loading the key library, "
                      "libcrypto and the device library), ms (median of %d)",
                      build.label.c_str(), runs);
        printRatioRow(measure, median(values(build.samples[Tool], startup)),
                      median(values(build.samples[Floor], startup)), 1.05);
        // CPU time is far less disturbed by other work on the machine: it tells, on a busy one,
        // what the times above would be on a quiet one. It has no goal of its own.
        const std::pair<int, const char*> cpuReferences[] = {{Reference, "the bare dialog"},
                                                             {Floor, "the floor"}};
        for (const auto& reference : cpuReferences) {
            std::snprintf(measure, sizeof measure,
                          "start-up, %s: CPU time to window shown, ms (median of %d), against %s",
                          build.label.c_str(), runs, reference.second);
            printPlainRatioRow(measure, median(values(build.samples[Tool], startupCpu)),
                               median(values(build.samples[reference.first], startupCpu)));
        }
    }
    const Build& first = builds.front();
    std::snprintf(measure, sizeof measure,
                  "start-up, %s: the tool with a %.1f MiB device library (the simulator and 4 MiB "
                  "of padding) against the tool with the simulator (%.1f MiB), ms (median of %d)",
                  first.label.c_str(), libraryMiB(first.directories[ToolLargeLibrary]),
                  libraryMiB(first.directories[Tool]), runs);
    printDifferenceRow(measure, median(values(first.samples[ToolLargeLibrary], startup)),
                       median(values(first.samples[Tool], startup)), 2.0);
    std::snprintf(measure, sizeof measure, "peak resident memory (VmHWM), %s, MiB (median of %d)",
                  first.label.c_str(), runs);
    printDifferenceRow(measure, median(values(first.samples[Tool], peak)),
                       median(values(first.samples[Reference], peak)), 5.0);

    std::FILE* breakdown = std::fopen(breakdownFile, "w");
    if (!breakdown) {
        std::fprintf(stderr, "%s: %s\n", breakdownFile, std::strerror(errno));
        return 1;
    }
    writeBreakdown(breakdown, first, runs, &Sample::wall, "ms");
    std::fprintf(breakdown, "\n");
    writeBreakdown(breakdown, first, runs, &Sample::cpu, "CPU time, ms");
    return std::fclose(breakdown) == 0 ? 0 : 1;
}
