#include "devicecheck/deviceprocess.h"

#include "devicecheck/libraryhost.h"

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

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
    int channel[2];
    int output[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        result.failure = QStringLiteral("cannot make the channel to the library's process: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        result.failure = QStringLiteral("cannot make the pipe for the library's output: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(errno)));
        close(channel[0]);
        close(channel[1]);
        return result;
    }
    // Nothing of this process's buffered output may be written a second time by the child.
    std::fflush(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        close(channel[0]);
        close(output[0]);
        hostLibrary(encoded.constData(), channel[1], output[1]);
    }
    close(channel[1]);
    close(output[1]);
    if (m_pid < 0) {
        result.failure = QStringLiteral("cannot start the library's process: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(errno)));
        close(channel[0]);
        close(output[0]);
        return result;
    }
    m_channel = channel[0];
    m_outputFd = output[0];
    fcntl(m_outputFd, F_SETFL, fcntl(m_outputFd, F_GETFL) | O_NONBLOCK);

    HostLoadAnswer answer;
    const qint64 deadline = nowMs() + 1000LL * m_timeoutSeconds;
    switch (readAnswer(&answer, sizeof answer, deadline)) {
    case Read::TimedOut:
        stop();
        result.failure =
            QStringLiteral("the library did not finish loading within %1 s").arg(m_timeoutSeconds);
        return result;
    case Read::Closed:
        result.failure = QStringLiteral("the library ended the process with %1 while loading")
                             .arg(ending(deadline));
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
    const auto start = std::chrono::steady_clock::now();
    const qint64 deadline = nowMs() + 1000LL * m_timeoutSeconds;
    HostAnswer answer;
    Read read = send(m_channel, &request, sizeof request, MSG_NOSIGNAL)
            == static_cast<ssize_t>(sizeof request)
        ? readAnswer(&answer, sizeof answer, deadline)
        : Read::Closed;
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    if (read == Read::TimedOut) {
        stop();
        result.failure = QStringLiteral("%1 did not return within %2 s; the device's state is "
                                        "unknown, so nothing more is called")
                             .arg(name)
                             .arg(m_timeoutSeconds);
        return result;
    }
    if (read == Read::Closed) {
        result.failure = QStringLiteral("the library ended the process with %1 during %2")
                             .arg(ending(deadline), name);
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
    // The child's own measure, without the pipe's round trip, unless it cannot be right.
    result.milliseconds = answer.milliseconds >= 0 && answer.milliseconds <= elapsed.count()
        ? answer.milliseconds
        : elapsed.count();
    result.out = QByteArray(answer.out, kHostBufferSize);
    record(name, result.milliseconds);
    return result;
}

DeviceProcess::Read DeviceProcess::readAnswer(void* data, size_t size, qint64 deadline)
{
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        pollfd fds[2] = {{m_channel, POLLIN, 0}, {m_outputFd, POLLIN, 0}};
        const qint64 left = deadline - nowMs();
        if (left <= 0)
            return Read::TimedOut;
        const int ready = poll(fds, m_outputFd >= 0 ? 2 : 1, static_cast<int>(qMin(left, 1000LL)));
        if (ready < 0 && errno != EINTR)
            return Read::Closed;
        if (ready <= 0)
            continue;
        if (fds[1].revents)
            drainOutput();
        if (!fds[0].revents)
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

QString DeviceProcess::ending(qint64 deadline)
{
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(m_pid, &status, WNOHANG)) == 0 && nowMs() < deadline)
        usleep(10000);
    if (ended != m_pid) {
        stop();
        return QStringLiteral("its channel closed, and the process was ended");
    }
    m_pid = -1;
    close(m_channel);
    m_channel = -1;
    drainOutput();
    if (WIFSIGNALED(status))
        return signalName(WTERMSIG(status));
    return QStringLiteral("exit status %1").arg(WEXITSTATUS(status));
}

void DeviceProcess::stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) { }
        m_pid = -1;
    }
    if (m_channel >= 0) {
        close(m_channel);
        m_channel = -1;
    }
    drainOutput();
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
