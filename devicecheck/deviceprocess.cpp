#include "devicecheck/deviceprocess.h"

#include "devicecheck/processtree.h"
#include "devicecheck/spawn.h"
#include "libraryhost/filterpolicy.h"

#include <QFileInfo>

#include <seccomp.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// The library's output kept for the report; the rest is counted.
constexpr int kOutputKept = 4096;
// What one look at the output reads at most: a library that writes without end is read in turns
// with everything else, never for good.
constexpr qint64 kOutputTurn = 1 << 20;
// The refusal records kept, and read at one look; the rest are counted.
constexpr int kRefusalsKept = 32;
constexpr int kRefusalsTurn = 64;
// How long the host may take to unload the library once every call is made, and bubblewrap to
// set up the sandbox.
constexpr qint64 kUnloadMs = 2000;
constexpr qint64 kSetupMs = 5000;
// How long a wait for an answer looks without sleeping first: most answers come within it, and a
// process that sleeps for each one is woken for each, which on an idle virtual machine costs more
// than the whole round trip otherwise does. Longer calls are waited for asleep.
constexpr int kSpinMicroseconds = 100;

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

// The call a record names, "kill()", in the record's architecture, and the policy's words for it.
Refusal namedRefusal(const HostRefusal& record, bool byLibrary, const QString& when)
{
    char* name = seccomp_syscall_resolve_num_arch(record.arch, record.syscall);
    const QString call = name ? QString::fromLatin1(name) + QStringLiteral("()")
                              : QStringLiteral("syscall %1()").arg(record.syscall);
    const QString words = name ? QString::fromLatin1(FilterPolicy::refusalWords(name)) : QString();
    std::free(name);
    return {call, words, byLibrary, when};
}

// The text a reading of a pipe gave, made one plain line.
QString plainLine(const QByteArray& text)
{
    QString line = QString::fromLocal8Bit(text).trimmed();
    line.replace(QLatin1Char('\n'), QStringLiteral("; "));
    for (QChar& c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    return line.left(300);
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

bool DeviceProcess::launch(const QByteArrayList& command, const HostLaunch& host, QString* problem)
{
    int channel[2] = {-1, -1};
    int output[2] = {-1, -1};
    int report[2] = {-1, -1};
    int setup[2] = {-1, -1};
    const int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
    const bool made = nothing >= 0
        && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) == 0
        && pipe2(output, O_CLOEXEC) == 0 && pipe2(report, O_CLOEXEC) == 0
        && pipe2(setup, O_CLOEXEC) == 0;
    pid_t pid = -1;
    if (!made) {
        *problem = QStringLiteral("cannot make the channel to the library's process: %1")
                       .arg(errorText(errno));
    } else {
        SpawnRequest request;
        request.arguments = command;
        request.environment = hostEnvironment(host);
        request.workingDirectory = hostWorkingDirectory();
        request.descriptors = {nothing, nothing, setup[1], channel[1], report[1], output[1]};
        pid = spawnProgram(request, problem);
    }
    for (const int fd : {nothing, channel[1], output[1], report[1], setup[1]})
        if (fd >= 0)
            close(fd);
    m_channel = channel[0];
    m_outputFd = output[0];
    m_reportFd = report[0];
    m_setupFd = setup[0];
    if (pid < 0) {
        closeDescriptors();
        return false;
    }
    m_pid = pid;
    ProcessTree::setLibrarySession(m_pid);
    for (const int fd : {m_outputFd, m_reportFd, m_setupFd})
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

LoadResult DeviceProcess::start(const HostLaunch& host)
{
    LoadResult result;
    // Whatever the library starts stays this process's descendant, to be ended before the verdict.
    static const int subreaperError = ProcessTree::becomeSubreaper();
    const QString loading = QStringLiteral("while loading");
    const qint64 deadline = nowMs() + 1000LL * m_timeoutSeconds;
    HostHello hello;
    Read read = Read::Closed;

    // In the namespaces first; the hello comes before the library is loaded, so a sandbox that
    // does not say hello is bubblewrap's failure, never the library's.
    QString namespaces;
    if (!QFileInfo(bubblewrapProgram()).isExecutable()) {
        namespaces = QStringLiteral("bubblewrap (%1) is not installed").arg(bubblewrapProgram());
    } else if (launch(sandboxedCommand(host), host, &namespaces)) {
        read = readAnswer(&hello, sizeof hello, qMin(deadline, nowMs() + kSetupMs), loading);
        if (read == Read::Done) {
            m_inNamespaces = true;
            // bubblewrap's first process is the pid namespace's first, whose child the host is.
            m_hostPid = ProcessTree::firstChild(ProcessTree::firstChild(m_pid));
        } else {
            namespaces = setupFailure(nowMs() + kSetupMs);
            stop();
            m_refusals.clear();
            m_refusalCount = m_refusalsUsed = 0;
        }
    }
    if (!m_inNamespaces) {
        QString problem;
        if (!launch(directCommand(host, getpid(), getpgrp()), host, &problem)) {
            result.failure = problem;
            return result;
        }
        m_hostPid = m_pid;
        read = readAnswer(&hello, sizeof hello, deadline, loading);
    }
    HostLoadAnswer answer;
    if (read == Read::Done) {
        hello.filterProblem[kHostProblemSize - 1] = '\0';
        m_hostOwnPid = hello.pid;
        m_filtered = hello.filterError == 0;
        QStringList missing;
        if (!m_inNamespaces)
            missing << QStringLiteral("the namespaces (%1)").arg(namespaces);
        if (!m_filtered)
            missing << QStringLiteral("the seccomp filter (%1)")
                           .arg(QString::fromLocal8Bit(hello.filterProblem));
        // Without a pid namespace, only this process can keep hold of what the library starts.
        if (!m_inNamespaces && subreaperError != 0)
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
    return result;
}

QString DeviceProcess::setupFailure(qint64 deadline)
{
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(m_pid, &status, WNOHANG)) == 0 && nowMs() < deadline)
        usleep(2000);
    if (ended == m_pid)
        m_pid = -1;
    QByteArray text;
    char chunk[1024];
    ssize_t got;
    while (text.size() < 4096 && (got = read(m_setupFd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<int>(got));
    const QString said = plainLine(text);
    return said.isEmpty()
        ? QStringLiteral("bubblewrap ended without starting the library's process")
        : said;
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
    if (answer.ending != kHostReturned) {
        stop();
        result.failure = QStringLiteral("the library's process answered %1 with a message that "
                                        "is not an answer")
                             .arg(name);
        return result;
    }
    result.returned = true;
    result.code = answer.code;
    // This process's own measure, the process boundary's share included: no library can report
    // itself faster than it answered.
    result.milliseconds = elapsed.count();
    result.out = QByteArray(answer.out, kHostBufferSize);
    record(name, result.milliseconds);
    return result;
}

double DeviceProcess::echo()
{
    if (!running())
        return -1;
    HostRequest request;
    std::memset(&request, 0, sizeof request);
    request.function = kHostEcho;
    const auto start = std::chrono::steady_clock::now();
    HostAnswer answer;
    const bool answered = send(m_channel, &request, sizeof request, MSG_NOSIGNAL)
            == static_cast<ssize_t>(sizeof request)
        && readAnswer(&answer, sizeof answer, nowMs() + 1000LL * m_timeoutSeconds,
                      QStringLiteral("between calls"))
            == Read::Done
        && answer.ending == kHostReturned;
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    return answered ? elapsed.count() : -1;
}

DeviceProcess::Read DeviceProcess::readAnswer(void* data, size_t size, qint64 deadline,
                                              const QString& when)
{
    char* bytes = static_cast<char*>(data);
    const auto spinEnd =
        std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
    while (size > 0) {
        pollfd fds[3] = {{m_reportFd, POLLIN, 0}, {m_channel, POLLIN, 0}, {m_outputFd, POLLIN, 0}};
        const qint64 left = deadline - nowMs();
        if (left <= 0)
            return Read::TimedOut;
        const bool spinning = std::chrono::steady_clock::now() < spinEnd;
        const int ready = poll(fds, 3, spinning ? 0 : static_cast<int>(qMin(left, 1000LL)));
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
    for (qint64 read = 0; m_outputFd >= 0 && read < kOutputTurn;) {
        const ssize_t got = ::read(m_outputFd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return;
        if (got == 0) {
            close(m_outputFd);
            m_outputFd = -1;
            return;
        }
        // Kept whole, NUL bytes and all: the report escapes what it shows.
        const int keep = static_cast<int>(qMin<qint64>(got, kOutputKept - m_output.size()));
        if (keep > 0)
            m_output.append(chunk, keep);
        m_outputBytes += got;
        read += got;
    }
}

bool DeviceProcess::readRefusals(const QString& when)
{
    const int before = m_refusalCount;
    HostRefusal record;
    for (int turn = 0; m_reportFd >= 0 && turn < kRefusalsTurn; ++turn) {
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
        if (++m_refusalCount <= kRefusalsKept)
            m_refusals.append(namedRefusal(record, record.pid == m_hostOwnPid, when));
    }
    return m_refusalCount > before;
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
        usleep(1000);
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
    // bubblewrap ends as the host did: with its exit status, or 128 and the number of the signal
    // that ended it.
    int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (m_inNamespaces && WIFEXITED(status) && WEXITSTATUS(status) > 128
        && WEXITSTATUS(status) < 128 + NSIG)
        signal = WEXITSTATUS(status) - 128;
    if (signal == SIGSYS && m_filtered)
        return QStringLiteral("the sandbox ended the library's process with SIGSYS %1").arg(when);
    if (signal != 0)
        return QStringLiteral("the library ended the process with %1 %2")
            .arg(signalName(signal), when);
    return QStringLiteral("the library ended the process with exit status %1 %2")
        .arg(WEXITSTATUS(status))
        .arg(when);
}

void DeviceProcess::endAll(const QString& when)
{
    // The host gets no more requests.
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
        else if (!process->m_inNamespaces && WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS
                 && process->m_filtered && process->m_refusals.size() < kRefusalsKept)
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
    closeDescriptors();
}

void DeviceProcess::closeDescriptors()
{
    for (int* fd : {&m_channel, &m_outputFd, &m_reportFd, &m_setupFd}) {
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
    // With its channel closed the host unloads the library, which runs its destructors: they may
    // release the device, or print.
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
        poll(fds, 2, 1);
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
