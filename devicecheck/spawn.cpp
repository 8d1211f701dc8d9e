#include "devicecheck/spawn.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// In the child: every descriptor from first on closed.
void closeFrom(int first)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0u, 0u) == 0)
        return;
#endif
    const long open = sysconf(_SC_OPEN_MAX);
    for (long fd = first; fd < (open > 0 && open < 65536 ? open : 65536); ++fd)
        close(static_cast<int>(fd));
}

// In the child: what the request asks, then exec. Only system calls; on failure the errno goes to
// report, which exec would have closed.
[[noreturn]] void becomeProgram(char* const* argv, char* const* envp, const int* descriptors,
                                int count, const char* directory, int report)
{
    // Above every target first, so that placing one never overwrites a source still needed.
    const int above = count + 1 > report ? count + 1 : report + 1;
    int moved[16];
    int failed = 0;
    for (int i = 0; i < count && failed == 0; ++i)
        if ((moved[i] = fcntl(descriptors[i], F_DUPFD_CLOEXEC, above)) < 0)
            failed = errno;
    for (int i = 0; i < count && failed == 0; ++i)
        if (dup2(moved[i], i) < 0)
            failed = errno;
    const int reportAt = fcntl(report, F_DUPFD_CLOEXEC, count);
    closeFrom(count);
    if (failed == 0 && setsid() < 0)
        failed = errno;
    if (failed == 0 && chdir(directory) != 0)
        failed = errno;
    struct sigaction standard;
    std::memset(&standard, 0, sizeof standard);
    standard.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number)
        sigaction(number, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (failed == 0) {
        execve(argv[0], argv, envp);
        failed = errno;
    }
    if (reportAt >= 0) {
        const ssize_t written = write(reportAt, &failed, sizeof failed);
        (void)written;
    }
    _exit(127);
}

std::vector<char*> pointers(QByteArrayList& texts)
{
    std::vector<char*> list;
    for (QByteArray& text : texts)
        list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}
}

pid_t spawnProgram(const SpawnRequest& request, QString* error)
{
    QByteArrayList arguments = request.arguments;
    QByteArrayList environment = request.environment;
    const std::vector<char*> argv = pointers(arguments);
    const std::vector<char*> envp = pointers(environment);
    const QByteArray program = arguments.value(0);
    const auto failure = [&](const char* what, int number) {
        *error = QFile::decodeName(program) + QStringLiteral(": ") + QLatin1String(what)
            + QString::fromLocal8Bit(std::strerror(number));
        return pid_t(-1);
    };
    if (arguments.isEmpty() || request.descriptors.size() > 16)
        return failure("", EINVAL);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return failure("pipe: ", errno);
    const pid_t pid = fork();
    if (pid == 0)
        becomeProgram(argv.data(), envp.data(), request.descriptors.constData(),
                      request.descriptors.size(), request.workingDirectory.constData(), report[1]);
    const int forkError = errno;
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        return failure("fork: ", forkError);
    }
    // Nothing comes when exec succeeded: the pipe closed with it.
    int execError = 0;
    ssize_t got;
    while ((got = read(report[0], &execError, sizeof execError)) < 0 && errno == EINTR) { }
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof execError)) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
        return failure("", execError);
    }
    return pid;
}
