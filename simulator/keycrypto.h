// The PIN pad's cryptography, done by the key library: SM2 key pairs and decryption of the
// downloaded keys, SM4 encryption of PIN blocks. Results are ClientScreenResult codes.
#ifndef KEYCRYPTO_H
#define KEYCRYPTO_H

#include "clientscreen.h"
#include "secret.h"

#include <cstddef>

constexpr std::size_t kPublicKeySize = 64;  // SM2 X||Y
constexpr std::size_t kPrivateKeySize = 32; // SM2 scalar
constexpr std::size_t kKeySize = 16;        // SM4 main and work keys

// Longest encrypted key, in bytes, that decryptKey takes.
constexpr std::size_t kMaxCipherSize = CS_MAX_KEY_TEXT / 2;

// Makes an SM2 key pair. CS_OK or CS_ERR_INTERNAL.
int generateKeyPair(unsigned char publicKey[kPublicKeySize], Secret<kPrivateKeySize>& privateKey);

// Decrypts cipherLen (at most kMaxCipherSize) bytes under key with the key library's algorithm
// alg into a 16-byte key. CS_OK, CS_ERR_DECRYPT_FAILED, CS_ERR_KEY_LENGTH or CS_ERR_INTERNAL;
// plain is written only on success.
int decryptKey(const unsigned char* key, int keyLen, const unsigned char* cipher, int cipherLen,
               int alg, Secret<kKeySize>& plain);

// Encrypts a 16-byte PIN block with SM4-ECB. CS_OK or CS_ERR_INTERNAL.
int encryptPinBlock(const Secret<kKeySize>& workKey, const Secret<kKeySize>& pinBlock,
                    unsigned char encrypted[kKeySize]);

#endif
