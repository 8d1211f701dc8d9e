// bench_devicecheck RUNS [REFERENCE_BUILD]: what a device-check run against the simulator costs,
// process start to exit, and what the process boundary adds to each device call in a soak, as
// device-check itself reports it (the median round trip of a request the library's process
// answers without calling the library). Runs the device-check of the working directory (a build
// directory, where ./quorvel/libClientScreen.so is the simulator) and, when REFERENCE_BUILD names
// another build directory, that build's device-check in the same way, alternating the two, so
// that both see the same load. Prints the rows of scripts/bench's table.
#include "benchtable.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
// Runs device-check in folder with arguments; its wall time in milliseconds and its standard
// output, or a negative time when it did not run and exit 0.
double runDeviceCheck(const std::string& folder, const std::vector<std::string>& arguments,
                      std::string* output)
{
    const std::string program = folder + "/device-check";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    output->clear();
    char chunk[4096];
    for (ssize_t got; spawned == 0 && (got = read(pipeFds[0], chunk, sizeof chunk)) != 0;)
        if (got > 0)
            output->append(chunk, static_cast<size_t>(got));
        else if (errno != EINTR)
            break;
    close(pipeFds[0]);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed.count() : -1;
}

// The median of "soak process boundary: median <x> ms" in a report, in microseconds; negative
// when the line is missing.
double boundaryMicroseconds(const std::string& report)
{
    const std::string marker = "soak process boundary: median ";
    const size_t at = report.find(marker);
    return at == std::string::npos ? -1 : 1000 * std::atof(report.c_str() + at + marker.size());
}

bool measured(const std::vector<double>& values)
{
    for (const double value : values)
        if (value < 0)
            return false;
    return true;
}
}

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 31;
    const std::string own = ".";
    const std::string reference = argc > 2 ? argv[2] : "";
    std::vector<double> ownRuns, referenceRuns;
    std::string output;
    for (int i = 0; i < runs; ++i) {
        ownRuns.push_back(runDeviceCheck(own, {}, &output));
        if (!reference.empty())
            referenceRuns.push_back(runDeviceCheck(reference, {}, &output));
    }
    // Soaks of 2000 rounds, several a side, alternating; each gives one median.
    std::vector<double> ownBoundary, referenceBoundary;
    for (int i = 0; i < 5; ++i) {
        runDeviceCheck(own, {"--repeat", "2000"}, &output);
        ownBoundary.push_back(boundaryMicroseconds(output));
        if (!reference.empty()) {
            runDeviceCheck(reference, {"--repeat", "2000"}, &output);
            referenceBoundary.push_back(boundaryMicroseconds(output));
        }
    }
    if (!measured(ownRuns) || !measured(referenceRuns) || !measured(ownBoundary)
        || !measured(referenceBoundary)) {
        std::fprintf(stderr,
                     "bench_devicecheck: a device-check run did not qualify the simulator\n");
        return 1;
    }
    const std::string runsLabel = "device-check against the simulator, process start to exit, "
                                  "against "
        + (reference.empty() ? std::string("nothing") : reference) + ", ms (median of "
        + std::to_string(runs) + ")";
    const std::string boundaryLabel = "process boundary a call in a soak of 2000 rounds, against "
        + (reference.empty() ? std::string("nothing") : reference)
        + ", µs (median of 5 soaks' medians)";
    printCeilingRow(runsLabel.c_str(), ownRuns, referenceRuns.empty() ? ownRuns : referenceRuns, 60,
                    "ms");
    printCeilingRow(boundaryLabel.c_str(), ownBoundary,
                    referenceBoundary.empty() ? ownBoundary : referenceBoundary, 50, "µs");
    return 0;
}
