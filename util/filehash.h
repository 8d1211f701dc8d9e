// SHA-256 of an open file: with libcrypto's when the process has libcrypto loaded at start (it is
// several times faster on CPUs with SHA instructions), otherwise with Qt's.
#ifndef FILEHASH_H
#define FILEHASH_H

#include <QString>

enum class Sha256Engine {
    Libcrypto, // libcrypto's SHA-256, found in the process at run time
    Qt,        // QCryptographicHash
};

// 64 lowercase hex digits of the whole file fd is open on, read from its first byte without
// moving fd's offset; empty when it cannot be read to its end or holds more than 1 GiB, more
// than any library. Uses libcrypto when it is there.
QString descriptorSha256(int fd);

// The same with the given engine; empty as well when that engine is not available.
QString descriptorSha256(int fd, Sha256Engine engine);

// Whether libcrypto's SHA-256 was found in the process when the program started. It is looked
// up there only: the tool never links libcrypto itself, and a library loaded later cannot stand
// in for it.
bool libcryptoSha256Available();

#endif
