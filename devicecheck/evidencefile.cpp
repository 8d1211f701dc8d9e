#include "devicecheck/evidencefile.h"

#include "devicecheck/checkoptions.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The open evidence files' temporary names (the JSON and the JUnit report), where a signal
// handler finds them; an empty name is a free place.
constexpr int kTemporaries = 4;
constexpr size_t kNameSize = 4096;
char temporaryNames[kTemporaries][kNameSize];

char* freePlace()
{
    for (char* name : temporaryNames)
        if (name[0] == '\0')
            return name;
    return nullptr;
}
}

EvidenceFile::EvidenceFile(const QString& path)
    // A symbolic link is followed: the file it names is the one written, and the link stays.
    : m_path(QFileInfo(path).exists() ? QFileInfo(path).canonicalFilePath() : path)
{
}

EvidenceFile::~EvidenceFile()
{
    if (m_fd >= 0) {
        close(m_fd);
        unlink(m_temporary.constData());
        m_place[0] = '\0';
    }
}

bool EvidenceFile::open()
{
    m_temporary = QFile::encodeName(m_path) + ".XXXXXX";
    m_place = freePlace();
    if (!m_place || static_cast<size_t>(m_temporary.size()) >= kNameSize) {
        errno = ENAMETOOLONG;
        return fail(QStringLiteral("cannot create"));
    }
    m_fd = mkostemp(m_temporary.data(), O_CLOEXEC);
    if (m_fd < 0)
        return fail(QStringLiteral("cannot create"));
    std::memcpy(m_place, m_temporary.constData(), static_cast<size_t>(m_temporary.size()) + 1);
    // The permissions a file created in the ordinary way would get, not mkstemp's 0600; set again
    // when it is committed, whatever was done to the temporary file meanwhile.
    const mode_t mask = umask(0);
    umask(mask);
    m_mode = 0666 & ~mask;
    return true;
}

bool EvidenceFile::commit(const QByteArray& content)
{
    // The temporary name must still be this file: a name replaced during the run is not renamed.
    struct stat opened;
    struct stat named;
    if (fstat(m_fd, &opened) != 0 || lstat(m_temporary.constData(), &named) != 0
        || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        errno = EEXIST;
        return fail(QStringLiteral("the temporary file was replaced"));
    }
    if (ftruncate(m_fd, 0) != 0)
        return fail(QStringLiteral("cannot write"));
    for (qint64 written = 0; written < content.size();) {
        const ssize_t now = pwrite(m_fd, content.constData() + written,
                                   static_cast<size_t>(content.size() - written), written);
        if (now < 0 && errno == EINTR)
            continue;
        if (now <= 0)
            return fail(QStringLiteral("cannot write"));
        written += now;
    }
    if (fchmod(m_fd, m_mode) != 0 || fsync(m_fd) != 0)
        return fail(QStringLiteral("cannot write"));
    if (rename(m_temporary.constData(), QFile::encodeName(m_path).constData()) != 0)
        return fail(QStringLiteral("cannot put the finished file in place"));
    close(m_fd);
    m_fd = -1;
    m_place[0] = '\0';
    return true;
}

void EvidenceFile::removeTemporaries()
{
    for (const char* name : temporaryNames)
        if (name[0] != '\0')
            unlink(name);
}

bool EvidenceFile::fail(const QString& what)
{
    m_error = QStringLiteral("%1: %2: %3")
                  .arg(displayedPath(m_path), what, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}
