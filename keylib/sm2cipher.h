// SM2 public-key encryption with SM3 and SM2 key pairs: the key library's algorithm code 5 and
// key type 5. Ciphertexts are C1||C3||C2 (see sm2ciphertext.h).
#ifndef SM2CIPHER_H
#define SM2CIPHER_H

#include "secretbuffer.h"

#include <cstddef>

namespace clkey {

constexpr std::size_t kSm2PublicKeyBytes = 64; // X||Y; 65 with the 04 prefix
constexpr std::size_t kSm2PrivateKeyBytes = 32;
constexpr std::size_t kSm2MaxMessageBytes = 4096;

// Encrypts messageLen bytes (1 to kSm2MaxMessageBytes) under a public key of 64 bytes X||Y or
// 65 bytes 04||X||Y into out, kSm2Overhead + messageLen bytes of C1||C3||C2.
// Returns 0 or a CLKeyError.
int sm2Encrypt(const unsigned char* publicKey, std::size_t publicLen, const unsigned char* message,
               std::size_t messageLen, SecretBuffer& out);

// Decrypts ciphertextLen bytes of C1||C3||C2 under a 32-byte private key into out.
// Returns 0 or a CLKeyError.
int sm2Decrypt(const unsigned char* privateKey, std::size_t privateLen,
               const unsigned char* ciphertext, std::size_t ciphertextLen, SecretBuffer& out);

// Generates a key pair into publicKey (64 bytes X||Y) and privateKey (32 bytes, big-endian,
// left-padded with zeros). Returns false when libcrypto fails.
bool sm2GenerateKey(unsigned char* publicKey, unsigned char* privateKey);

} // namespace clkey

#endif
