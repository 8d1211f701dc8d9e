#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
QStringList recorded;
}

DebugCapture::DebugCapture()
    : m_previous(qInstallMessageHandler(&DebugCapture::handler))
{
    recorded.clear();
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(m_previous);
}

QStringList DebugCapture::messages() const
{
    return recorded;
}

QStringList DebugCapture::lines() const
{
    QStringList result;
    for (const QString& message : recorded)
        result << message.trimmed();
    return result;
}

void DebugCapture::clear()
{
    recorded.clear();
}

void DebugCapture::handler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg)
        recorded << message;
}

StdoutCapture::StdoutCapture(int fd)
    : m_fd(fd)
{
    std::fflush(nullptr);
    char name[] = "/tmp/stdout-capture-XXXXXX";
    m_fileFd = mkstemp(name);
    unlink(name);
    m_savedFd = dup(m_fd);
    dup2(m_fileFd, m_fd);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(nullptr);
    dup2(m_savedFd, m_fd);
    close(m_savedFd);
    close(m_fileFd);
}

QByteArray StdoutCapture::text()
{
    std::fflush(nullptr);
    return written();
}

QByteArray StdoutCapture::written() const
{
    QByteArray result;
    char chunk[4096];
    off_t offset = 0;
    ssize_t got;
    while ((got = pread(m_fileFd, chunk, sizeof chunk, offset)) > 0) {
        result.append(chunk, static_cast<int>(got));
        offset += got;
    }
    return result;
}
