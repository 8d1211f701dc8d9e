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

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    char name[] = "/tmp/stdout-capture-XXXXXX";
    fileFd_ = mkstemp(name);
    unlink(name);
    savedFd_ = dup(STDOUT_FILENO);
    dup2(fileFd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    dup2(savedFd_, STDOUT_FILENO);
    close(savedFd_);
    close(fileFd_);
}

QByteArray StdoutCapture::text()
{
    std::fflush(stdout);
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
