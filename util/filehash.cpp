#include "util/filehash.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <cerrno>

#include <unistd.h>

namespace {
// No device library comes near this size; a larger file is not hashed, so that a sparse or
// endless file cannot stall the caller.
const off_t maxHashedBytes = off_t(1) << 30;
}

QString descriptorDigest(int fd)
{
    if (fd < 0)
        return QString();
    // Read in pieces rather than mapped: a file cut short while it is mapped would end the process
    // with SIGBUS. Small pieces, whose buffer pages cost less to fault in than the reads they save.
    QByteArray piece(32 * 1024, Qt::Uninitialized);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(fd, piece.data(), static_cast<size_t>(piece.size()), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return QString();
        if (got == 0)
            return QString::fromLatin1(hash.result().toHex());
        offset += got;
        if (offset > maxHashedBytes)
            return QString();
        hash.addData(piece.constData(), static_cast<int>(got));
    }
}
