// The SHA-256 of an open file, through libcrypto's EVP interface, linked with the tool rather than
// looked up in the process at run time.
#ifndef FILEHASH_H
#define FILEHASH_H

#include <QString>

// 64 lowercase hex digits of the SHA-256 of the whole file fd is open on, read from its first byte
// without moving fd's offset; empty when it cannot be read to its end or holds more than 1 GiB,
// more than any library.
QString descriptorDigest(int fd);

#endif
