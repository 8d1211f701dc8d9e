#include "devicecheck/libraryfile.h"

#include "libraryhost/hostprotocol.h"
#include "util/elffile.h"
#include "util/filehash.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// More than any device library: a file beyond it is not read whole.
constexpr qint64 kLargestLibrary = qint64(1) << 30;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The whole file fd is open on, from its first byte; empty when it cannot be read to its end.
QByteArray contents(int fd, qint64 size)
{
    if (size <= 0 || size > kLargestLibrary)
        return QByteArray();
    QByteArray bytes(static_cast<int>(size), '\0');
    for (qint64 at = 0; at < size;) {
        const ssize_t got = pread(fd, bytes.data() + at, static_cast<size_t>(size - at), at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return QByteArray();
        at += got;
    }
    return bytes;
}
}

LibraryFile::~LibraryFile()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool LibraryFile::open(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status;
    if (stat(name.constData(), &status) != 0) {
        m_problem = errorText(errno);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        m_problem = QStringLiteral("a folder, not a library file");
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        m_problem = QStringLiteral("not a regular file");
        return false;
    }
    m_fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (m_fd < 0 || fstat(m_fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        m_problem = m_fd < 0 ? errorText(errno) : QStringLiteral("not a regular file");
        return false;
    }
    m_state = fileState(status);
    char real[4096];
    const ssize_t length =
        readlink(("/proc/self/fd/" + QByteArray::number(m_fd)).constData(), real, sizeof real - 1);
    m_realPath = length > 0 ? QFile::decodeName(QByteArray(real, static_cast<int>(length))) : path;

    const QByteArray bytes = contents(m_fd, status.st_size);
    m_header = bytes.left(64);
    const QSet<QByteArray> defined = elfDefinedSymbols(bytes);
    for (int i = 0; i < kDeviceFunctionCount; ++i)
        if (defined.contains(kDeviceFunctionNames[i]))
            m_exported |= 1u << i;
    m_simulatorMark = defined.contains(kSimulatorMarkSymbol);
    m_sha256 = descriptorDigest(m_fd);
    return true;
}

QString LibraryFile::loadFailure(const QString& failure, bool loaderText) const
{
    if (!loaderText)
        return failure;
    ElfKind self;
    const ElfKind library = elfKindOfHeader(m_header);
    switch (elfMismatchWithThisProgram(library, &self)) {
    case ElfMismatch::NotElf:
        return QStringLiteral("not an ELF file");
    case ElfMismatch::WordSize:
        return QStringLiteral("a %1-bit ELF file; this program is %2-bit")
            .arg(library.wordBits)
            .arg(self.wordBits);
    case ElfMismatch::Machine:
        return QStringLiteral("an ELF file for %1; this program is for %2")
            .arg(elfMachineName(library.machine), elfMachineName(self.machine));
    case ElfMismatch::None:
        break;
    }
    // The loader's text starts with the path it was given, which the report already shows.
    const QString prefix = m_realPath + QStringLiteral(": ");
    return failure.startsWith(prefix) ? failure.mid(prefix.size()) : failure;
}

bool LibraryFile::unchanged() const
{
    struct stat status;
    return m_fd >= 0 && !m_sha256.isEmpty() && fstat(m_fd, &status) == 0
        && fileState(status) == m_state && descriptorDigest(m_fd) == m_sha256;
}
