#include "util/filehash.h"

#include <QCryptographicHash>

#include <cerrno>
#include <functional>
#include <memory>

#include <dlfcn.h>
#include <unistd.h>

namespace {

// libcrypto's own SHA-256 functions, the same in OpenSSL 1.1.1 and 3.x. Not its EVP interface:
// in OpenSSL 3 the first EVP digest loads the configuration and the default provider, which
// costs a fresh process more (about 3 ms of CPU) than hashing the simulator through Qt.
struct Libcrypto {
    int (*init)(void*) = nullptr;
    int (*update)(void*, const void*, size_t) = nullptr;
    int (*final)(unsigned char*, void*) = nullptr;

    bool complete() const { return init && update && final; }
};

// Room for libcrypto's SHA256_CTX, 112 bytes in both versions, with some to spare.
struct alignas(16) Sha256Context {
    unsigned char bytes[256];
};

template <typename Function>
void find(Function& function, const char* name)
{
    function = reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
}

Libcrypto findLibcrypto()
{
    Libcrypto found;
    find(found.init, "SHA256_Init");
    find(found.update, "SHA256_Update");
    find(found.final, "SHA256_Final");
    return found.complete() ? found : Libcrypto();
}

// Looked up once, among the libraries the program started with, before it loads any device
// library: a device library could otherwise put functions of its own under these names into the
// global scope and have the tool report whatever digest it likes for itself.
const Libcrypto libcrypto = findLibcrypto();

// No device library comes near this size; a larger file is not hashed, so that a sparse or
// endless file cannot stall the caller.
const off_t maxHashedBytes = off_t(1) << 30;

// Reads the whole file in pieces, from offset 0, and hands each to consume; false when it
// cannot, or the file is larger than maxHashedBytes. Reads rather than maps it: a file cut short
// while it is mapped would end the process with SIGBUS.
bool readWhole(int fd, const std::function<bool(const char*, size_t)>& consume)
{
    // Small enough that the buffer's pages, each faulted in when first touched, cost less than
    // the reads they save: in a fresh process 32 KiB pieces hash the simulator in well under half
    // the CPU time that 256 KiB pieces take.
    constexpr size_t pieceSize = 32 * 1024;
    const std::unique_ptr<char[]> piece(new char[pieceSize]);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(fd, piece.get(), pieceSize, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        offset += got;
        if (offset > maxHashedBytes || !consume(piece.get(), static_cast<size_t>(got)))
            return false;
    }
}

QString hex(const unsigned char* digest, int size)
{
    return QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char*>(digest), size).toHex());
}

QString libcryptoSha256(int fd)
{
    Sha256Context context;
    if (libcrypto.init(&context) != 1)
        return QString();
    const bool read = readWhole(fd, [&](const char* data, size_t size) {
        return libcrypto.update(&context, data, size) == 1;
    });
    unsigned char digest[32];
    if (libcrypto.final(digest, &context) != 1 || !read)
        return QString();
    return hex(digest, sizeof digest);
}

QString qtSha256(int fd)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const bool read = readWhole(fd, [&](const char* data, size_t size) {
        hash.addData(data, static_cast<int>(size));
        return true;
    });
    return read ? QString::fromLatin1(hash.result().toHex()) : QString();
}

} // namespace

QString descriptorSha256(int fd)
{
    return descriptorSha256(
        fd, libcryptoSha256Available() ? Sha256Engine::Libcrypto : Sha256Engine::Qt);
}

QString descriptorSha256(int fd, Sha256Engine engine)
{
    if (fd < 0)
        return QString();
    if (engine == Sha256Engine::Libcrypto)
        return libcryptoSha256Available() ? libcryptoSha256(fd) : QString();
    return qtSha256(fd);
}

bool libcryptoSha256Available()
{
    return libcrypto.complete();
}
