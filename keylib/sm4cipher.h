// SM4 in ECB mode without padding, the key library's algorithm code 2.
#ifndef SM4CIPHER_H
#define SM4CIPHER_H

#include "secretbuffer.h"

#include <cstddef>

namespace clkey {

constexpr std::size_t kSm4KeyBytes = 16;
constexpr std::size_t kSm4BlockBytes = 16;
constexpr std::size_t kSm4MaxDataBytes = 1024 * 1024;

// Encrypts or decrypts dataLen bytes (a positive multiple of the block size, at most
// kSm4MaxDataBytes) under a 16-byte key into out, which then holds dataLen bytes.
// Returns 0 or a CLKeyError.
int sm4EcbCrypt(bool encrypt, const unsigned char* key, std::size_t keyLen,
                const unsigned char* data, std::size_t dataLen, SecretBuffer& out);

} // namespace clkey

#endif
