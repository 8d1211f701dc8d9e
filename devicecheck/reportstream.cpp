#include "devicecheck/reportstream.h"

#include "devicecheck/processtree.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

ReportStream::ReportStream(int fd, qint64 deadlineMs)
    : m_fd(fd)
    , m_deadlineMs(deadlineMs)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return;
    m_socket = S_ISSOCK(status.st_mode);
    // A pipe or a terminal opened anew is a file description of this process's alone, made
    // non-blocking without touching the one it shares with the shell. A regular file never holds a
    // write for long, and is written as it is, at its own offset.
    if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))
        m_own = open(("/proc/self/fd/" + QByteArray::number(fd)).constData(),
                     O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

ReportStream::~ReportStream()
{
    if (m_own >= 0)
        close(m_own);
}

bool ReportStream::writeLine(const QString& line)
{
    if (m_lost.isEmpty())
        m_lost = writeAll((line + QLatin1Char('\n')).toUtf8());
    return m_lost.isEmpty();
}

QString ReportStream::writeAll(const QByteArray& bytes)
{
    const int fd = m_own >= 0 ? m_own : m_fd;
    const qint64 deadline = ProcessTree::nowMs() + m_deadlineMs;
    for (int at = 0; at < bytes.size();) {
        const size_t size = static_cast<size_t>(bytes.size() - at);
        const ssize_t written = m_socket
            ? send(fd, bytes.constData() + at, size, MSG_DONTWAIT | MSG_NOSIGNAL)
            : write(fd, bytes.constData() + at, size);
        if (written > 0) {
            at += static_cast<int>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EPIPE)
            return QStringLiteral("its reader went away");
        if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return QString::fromLocal8Bit(std::strerror(written == 0 ? EIO : errno));
        const qint64 left = deadline - ProcessTree::nowMs();
        if (left <= 0)
            return QStringLiteral("it took no line for %1 s").arg(m_deadlineMs / 1000);
        pollfd ready{fd, POLLOUT, 0};
        poll(&ready, 1, static_cast<int>(qMin<qint64>(left, 1000)));
    }
    return QString();
}
