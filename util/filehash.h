// The SHA-256 of an open file, with Qt's own SHA-256 (QCryptographicHash): the tool looks up no
// hash function in the process, where a device or key library could have put one of its own.
#ifndef FILEHASH_H
#define FILEHASH_H

#include <QString>

// 64 lowercase hex digits of the SHA-256 of the whole file fd is open on, read from its first byte
// without moving fd's offset; empty when it cannot be read to its end or holds more than 1 GiB,
// more than any library.
QString descriptorDigest(int fd);

#endif
