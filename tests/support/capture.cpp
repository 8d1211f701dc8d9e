#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
QStringList recorded;
}

DebugCapture::DebugCapture()
    : previous_(qInstallMessageHandler(&DebugCapture::handler))
{
    recorded.clear();
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previous_);
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
    : fd_(fd)
{
    std::fflush(nullptr);
    char name[] = "/tmp/stdout-capture-XXXXXX";
    fileFd_ = mkstemp(name);
    unlink(name);
    savedFd_ = dup(fd_);
    dup2(fileFd_, fd_);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(nullptr);
    dup2(savedFd_, fd_);
    close(savedFd_);
    close(fileFd_);
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
    while ((got = pread(fileFd_, chunk, sizeof chunk, offset)) > 0) {
        result.append(chunk, static_cast<int>(got));
        offset += got;
    }
    return result;
}
