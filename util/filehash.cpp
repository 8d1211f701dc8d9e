#include "util/filehash.h"

#include <QByteArray>

#include <cerrno>
#include <memory>

#include <openssl/evp.h>
#include <unistd.h>

namespace {
// No device library comes near this size; a larger file is not hashed, so that a sparse or
// endless file cannot stall the caller.
const off_t maxHashedBytes = off_t(1) << 30;

// Frees the digest context on every way out of descriptorDigest.
struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;
}

QString descriptorDigest(int fd)
{
    if (fd < 0)
        return QString();
    const DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return QString();
    // Read in pieces rather than mapped: a file cut short while it is mapped would end the process
    // with SIGBUS. Small pieces, whose buffer pages cost less to fault in than the reads they save.
    QByteArray piece(32 * 1024, Qt::Uninitialized);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(fd, piece.data(), static_cast<size_t>(piece.size()), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return QString();
        if (got == 0)
            break;
        offset += got;
        if (offset > maxHashedBytes)
            return QString();
        if (EVP_DigestUpdate(context.get(), piece.constData(), static_cast<size_t>(got)) != 1)
            return QString();
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex());
}
