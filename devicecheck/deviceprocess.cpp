#include "devicecheck/deviceprocess.h"

#include "devicecheck/libraryhost.h"
#include "devicecheck/processtree.h"
#include "devicecheck/sandbox.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// The library's output kept for the report; the rest is counted.
constexpr int kOutputKept = 4096;
// How long the library's process may take to unload the library once every call is made, and
// how long ending every process of the library's may take.
constexpr qint64 kUnloadMs = 2000;
constexpr qint64 kEndingMs = 5000;

using ProcessTree::nowMs;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString signalName(int number)
{
    static const struct {
        int number;
        const char* name;
    } kNames[] = {{SIGSEGV, "SIGSEGV"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},
                  {SIGFPE, "SIGFPE"},   {SIGILL, "SIGILL"},   {SIGKILL, "SIGKILL"},
                  {SIGTERM, "SIGTERM"}, {SIGTRAP, "SIGTRAP"}, {SIGPIPE, "SIGPIPE"},
                  {SIGSYS, "SIGSYS"},   {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},
                  {SIGQUIT, "SIGQUIT"}, {SIGALRM, "SIGALRM"}, {SIGUSR1, "SIGUSR1"},
                  {SIGUSR2, "SIGUSR2"}, {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"}};
    for (const auto& name : kNames)
        if (name.number == number)
            return QLatin1String(name.name);
    return QStringLiteral("signal %1").arg(number);
}
}

QString Refusal::sentence() const
{
    const QString who =
        byLibrary ? QStringLiteral("the library") : QStringLiteral("a process the library started");
    if (call.isEmpty())
        return QStringLiteral("%1 ended with SIGSYS %2: the sandbox ended it for a call it refuses")
            .arg(who, when);
    return QStringLiteral("%1 tried %2%3 %4; the sandbox ended its process")
        .arg(who, call, target, when);
}

DeviceProcess::DeviceProcess(int timeoutSeconds)
    : m_timeoutSeconds(timeoutSeconds)
{
}

DeviceProcess::~DeviceProcess()
{
    stop();
}

LoadResult DeviceProcess::start(const QString& path)
{
    LoadResult result;
    const QByteArray encoded = QFile::encodeName(path);
    // Whatever the library starts stays this process's descendant, to be ended before the verdict.
    static const int subreaperError = ProcessTree::becomeSubreaper();
    int channel[2] = {-1, -1};
    int output[2] = {-1, -1};
    int report[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0
        || pipe2(output, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
        result.failure = QStringLiteral("cannot make the channel to the library's process: %1")
                             .arg(errorText(errno));
        for (const int fd : {channel[0], channel[1], output[0], output[1], report[0], report[1]})
            if (fd >= 0)
                close(fd);
        return result;
    }
    // Nothing of this process's buffered output may be written a second time by the child.
    std::fflush(nullptr);
    const HostSetup setup{channel[1], output[1], report[1], getpid(), getpgrp()};
    m_pid = fork();
    if (m_pid == 0)
        hostLibrary(encoded.constData(), setup);
    close(channel[1]);
    close(output[1]);
    close(report[1]);
    m_channel = channel[0];
    m_outputFd = output[0];
    m_reportFd = report[0];
    if (m_pid < 0) {
        result.failure =
            QStringLiteral("cannot start the library's process: %1").arg(errorText(errno));
        stop();
        return result;
    }
    m_leader = m_pid;
    ProcessTree::setLibrarySession(m_pid);
    fcntl(m_outputFd, F_SETFL, fcntl(m_outputFd, F_GETFL) | O_NONBLOCK);
    fcntl(m_reportFd, F_SETFL, fcntl(m_reportFd, F_GETFL) | O_NONBLOCK);

    const qint64 deadline = nowMs() + 1000LL * m_timeoutSeconds;
    const QString loading = QStringLiteral("while loading");
    HostHello hello;
    HostLoadAnswer answer;
    Read read = readAnswer(&hello, sizeof hello, deadline, loading);
    if (read == Read::Done) {
        hello.filterProblem[kHostProblemSize - 1] = '\0';
        m_filtered = hello.filterError == 0;
        QStringList missing;
        if (!m_filtered)
            missing << QStringLiteral("the seccomp filter (%1)")
                           .arg(QString::fromLocal8Bit(hello.filterProblem));
        if (subreaperError != 0)
            missing
                << QStringLiteral("the child subreaper (prctl: %1)").arg(errorText(subreaperError));
        m_sandboxProblem = missing.join(QStringLiteral(", "));
        read = readAnswer(&answer, sizeof answer, deadline, loading);
    }
    switch (read) {
    case Read::TimedOut:
        stop();
        result.failure =
            QStringLiteral("the library did not finish loading within %1 s").arg(m_timeoutSeconds);
        return result;
    case Read::Closed:
    case Read::Refused:
        result.failure = gone(loading, deadline);
        stop();
        return result;
    case Read::Done:
        break;
    }
    if (answer.loaded != 1) {
        stop();
        answer.error[kHostErrorSize - 1] = '\0';
        result.failure = QString::fromLocal8Bit(answer.error);
        result.loaderError = true;
        return result;
    }
    result.loaded = true;
    result.exported = answer.exported;
    result.dynamicAddress = static_cast<quintptr>(answer.dynamicAddress);
    result.simulatorMark = answer.simulatorMark == 1;
    return result;
}

CallResult DeviceProcess::call(int function, std::initializer_list<int> numbers, int outSize,
                               const QByteArray& text)
{
    CallResult result;
    const QString name = QLatin1String(kDeviceFunctionNames[function]);
    if (!running()) {
        result.failure =
            QStringLiteral("%1 was not called: the library's process has ended").arg(name);
        return result;
    }
    const qint64 deadline = nowMs() + 1000LL * m_timeoutSeconds;
    // A call refused since the last answer came from a process the library left running.
    drainOutput();
    if (readRefusals(QStringLiteral("before ") + name)) {
        result.failure = useRefusals();
        stop();
        return result;
    }
    HostRequest request;
    std::memset(&request, 0, sizeof request);
    request.function = function;
    int i = 0;
    for (const int number : numbers)
        if (i < 3)
            request.numbers[i++] = number;
    request.textLength = static_cast<int32_t>(qMin(text.size(), kHostTextSize));
    std::memcpy(request.text, text.constData(), static_cast<size_t>(request.textLength));

    const qint64 before = m_outputBytes;
    const QString during = QStringLiteral("during ") + name;
    const auto start = std::chrono::steady_clock::now();
    HostAnswer answer;
    Read read = send(m_channel, &request, sizeof request, MSG_NOSIGNAL)
            == static_cast<ssize_t>(sizeof request)
        ? readAnswer(&answer, sizeof answer, deadline, during)
        : Read::Closed;
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    // A refusal made while the call ran counts against it, even when its answer came as well.
    if (read == Read::Done && readRefusals(during))
        read = Read::Refused;
    if (read == Read::TimedOut) {
        stop();
        result.failure = QStringLiteral("%1 did not return within %2 s; the device's state is "
                                        "unknown, so nothing more is called")
                             .arg(name)
                             .arg(m_timeoutSeconds);
        return result;
    }
    if (read != Read::Done) {
        result.failure = gone(during, deadline);
        stop();
        return result;
    }
    drainOutput();
    if (answer.ending == kHostGuardPage) {
        stop();
        result.failure = QStringLiteral("%1 overran its buffer into the guard page").arg(name);
        if (outSize >= 0)
            result.failure += QStringLiteral(", %1 bytes past the %2 bytes passed")
                                  .arg(kHostBufferSize - outSize)
                                  .arg(outSize);
        return result;
    }
    if (m_outputBytes > before) {
        stop();
        result.failure =
            QStringLiteral("the library wrote %1 bytes to standard output or error during %2")
                .arg(m_outputBytes - before)
                .arg(name);
        return result;
    }
    if (answer.ending == kHostThrew) {
        result.failure = name + QStringLiteral(" threw a C++ exception");
        return result;
    }
    if (answer.ending != kHostReturned) {
        stop();
        result.failure = QStringLiteral("the library's process answered %1 with a message that "
                                        "is not an answer")
                             .arg(name);
        return result;
    }
    result.returned = true;
    result.code = answer.code;
    result.roundTrip = elapsed.count();
    // The child's own measure, without the pipe's round trip, unless it cannot be right.
    result.milliseconds = answer.milliseconds >= 0 && answer.milliseconds <= elapsed.count()
        ? answer.milliseconds
        : elapsed.count();
    result.out = QByteArray(answer.out, kHostBufferSize);
    record(name, result.milliseconds);
    return result;
}

DeviceProcess::Read DeviceProcess::readAnswer(void* data, size_t size, qint64 deadline,
                                              const QString& when)
{
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        pollfd fds[3] = {{m_reportFd, POLLIN, 0}, {m_channel, POLLIN, 0}, {m_outputFd, POLLIN, 0}};
        const qint64 left = deadline - nowMs();
        if (left <= 0)
            return Read::TimedOut;
        const int ready = poll(fds, 3, static_cast<int>(qMin(left, 1000LL)));
        if (ready < 0 && errno != EINTR)
            return Read::Closed;
        if (ready <= 0)
            continue;
        if (fds[2].revents)
            drainOutput();
        // A refused call is reported before the process that made it is gone.
        if (fds[0].revents && readRefusals(when))
            return Read::Refused;
        if (!fds[1].revents)
            continue;
        const ssize_t got = recv(m_channel, bytes, size, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return Read::Closed;
        if (got > 0) {
            bytes += got;
            size -= static_cast<size_t>(got);
        }
    }
    return Read::Done;
}

void DeviceProcess::drainOutput()
{
    char chunk[4096];
    while (m_outputFd >= 0) {
        const ssize_t got = read(m_outputFd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return;
        if (got == 0) {
            close(m_outputFd);
            m_outputFd = -1;
            return;
        }
        const int keep = static_cast<int>(qMin<qint64>(got, kOutputKept - m_output.size()));
        if (keep > 0)
            m_output.append(chunk, keep);
        m_outputBytes += got;
    }
}

bool DeviceProcess::readRefusals(const QString& when)
{
    const int before = m_refusals.size();
    SandboxRecord record;
    while (m_reportFd >= 0) {
        const ssize_t got = read(m_reportFd, &record, sizeof record);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0) {
            close(m_reportFd);
            m_reportFd = -1;
        }
        // Records are written whole, so a short one is not one.
        if (got != static_cast<ssize_t>(sizeof record))
            break;
        m_refusals.append({QString::fromStdString(refusedCallName(record)),
                           QString::fromStdString(refusedCallTarget(record)),
                           record.pid == m_leader, when});
    }
    return m_refusals.size() > before;
}

QString DeviceProcess::useRefusals()
{
    if (m_refusalsUsed >= m_refusals.size())
        return QString();
    const QString sentence = m_refusals[m_refusalsUsed].sentence();
    m_refusalsUsed = m_refusals.size();
    return sentence;
}

QString DeviceProcess::gone(const QString& when, qint64 deadline)
{
    readRefusals(when);
    if (m_refusalsUsed < m_refusals.size())
        return useRefusals();
    int status = 0;
    int stoppedBy = 0;
    for (;;) {
        const pid_t ended = waitpid(m_pid, &status, WNOHANG);
        if (ended == m_pid && (WIFEXITED(status) || WIFSIGNALED(status)))
            break;
        // Stopped, or held by a tracer: not an ending. It is ended here, and waited for.
        if (ended == m_pid && WIFSTOPPED(status)) {
            stoppedBy = WSTOPSIG(status);
            kill(m_pid, SIGKILL);
        }
        if (nowMs() >= deadline) {
            stop();
            return QStringLiteral("the library closed its channel %1, and its process was ended")
                .arg(when);
        }
        usleep(10000);
    }
    m_pid = -1;
    drainOutput();
    // The record of a refused call may come just after the process it ended.
    readRefusals(when);
    if (m_refusalsUsed < m_refusals.size())
        return useRefusals();
    if (stoppedBy != 0)
        return QStringLiteral("the library stopped its process with %1 %2; it was ended")
            .arg(signalName(stoppedBy), when);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS && m_filtered)
        return QStringLiteral("the sandbox ended the library's process with SIGSYS %1").arg(when);
    if (WIFSIGNALED(status))
        return QStringLiteral("the library ended the process with %1 %2")
            .arg(signalName(WTERMSIG(status)), when);
    return QStringLiteral("the library ended the process with exit status %1 %2")
        .arg(WEXITSTATUS(status))
        .arg(when);
}

void DeviceProcess::endAll(const QString& when)
{
    // The library's process gets no more requests.
    if (m_channel >= 0) {
        close(m_channel);
        m_channel = -1;
    }
    struct Context {
        DeviceProcess* process;
        const QString& when;
    } context{this, when};
    const auto ended = [](pid_t pid, int status, void* data) {
        const Context& context = *static_cast<Context*>(data);
        DeviceProcess* process = context.process;
        if (pid == process->m_pid)
            process->m_pid = -1;
        else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS && process->m_filtered)
            // Ended by the filter itself, or by a refused call after it ran another program,
            // which does not keep the handler that reports.
            process->m_refusals.append({QString(), QString(), false, context.when});
    };
    const auto between = [](void* data) {
        const Context& context = *static_cast<Context*>(data);
        context.process->drainOutput();
        context.process->readRefusals(context.when);
    };
    m_allEnded = ProcessTree::endAll(nowMs() + kEndingMs, ended, &context, between) && m_allEnded;
    ProcessTree::setLibrarySession(0);
    m_pid = -1;
    // Every process that held the output's pipe is gone: it is read to its end.
    const qint64 deadline = nowMs() + kEndingMs;
    while (m_outputFd >= 0 && nowMs() < deadline) {
        pollfd fd{m_outputFd, POLLIN, 0};
        poll(&fd, 1, 100);
        drainOutput();
    }
    readRefusals(when);
    for (int* fd : {&m_outputFd, &m_reportFd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void DeviceProcess::stop()
{
    if (m_pid > 0)
        kill(m_pid, SIGKILL);
    if (m_pid > 0 || m_channel >= 0 || m_outputFd >= 0 || m_reportFd >= 0)
        endAll(QStringLiteral("as its processes were ended"));
}

void DeviceProcess::finish()
{
    // With its channel closed the library's process unloads the library, which runs its
    // destructors: they may release the device, or print.
    if (m_channel >= 0) {
        close(m_channel);
        m_channel = -1;
    }
    const QString when = QStringLiteral("after the last call");
    const qint64 deadline = nowMs() + qMin<qint64>(kUnloadMs, 1000LL * m_timeoutSeconds);
    while (m_pid > 0 && nowMs() < deadline) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid
            && (WIFEXITED(status) || WIFSIGNALED(status))) {
            m_pid = -1;
            break;
        }
        pollfd fds[2] = {{m_outputFd, POLLIN, 0}, {m_reportFd, POLLIN, 0}};
        poll(fds, 2, 10);
        drainOutput();
        readRefusals(when);
    }
    if (m_pid > 0)
        kill(m_pid, SIGKILL);
    endAll(when);
}

int DeviceProcess::firstOverwritten(const QByteArray& out, int from)
{
    for (int i = qMax(from, 0); i < out.size(); ++i)
        if (out[i] != hostGuardByte(i))
            return i;
    return -1;
}

int DeviceProcess::overwrittenCount(const QByteArray& out, int from)
{
    int count = 0;
    for (int i = qMax(from, 0); i < out.size(); ++i)
        if (out[i] != hostGuardByte(i))
            ++count;
    return count;
}

void DeviceProcess::record(const QString& function, double milliseconds)
{
    for (FunctionTimings& timings : m_timings) {
        if (timings.function == function) {
            timings.milliseconds.append(milliseconds);
            return;
        }
    }
    m_timings.append({function, {milliseconds}});
}
