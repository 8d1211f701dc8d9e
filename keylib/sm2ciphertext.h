// Conversion between the key library's SM2 ciphertext layout C1||C3||C2 (C1 the uncompressed
// point 04||X||Y, C3 the SM3 check value, C2 the masked message) and the DER form libcrypto
// reads and writes: SEQUENCE { INTEGER x, INTEGER y, OCTET STRING C3, OCTET STRING C2 }.
#ifndef SM2CIPHERTEXT_H
#define SM2CIPHERTEXT_H

#include "secretbuffer.h"

#include <cstddef>

namespace clkey {

constexpr std::size_t kSm2CoordinateBytes = 32;
constexpr std::size_t kSm2PointBytes = 1 + 2 * kSm2CoordinateBytes; // 04||X||Y
constexpr std::size_t kSm2HashBytes = 32;                           // SM3
constexpr std::size_t kSm2Overhead = kSm2PointBytes + kSm2HashBytes;

// Encodes rawLen bytes of C1||C3||C2 (C2 at least one byte) as DER into der.
// Returns 0, CLKEY_ERR_DECRYPT_FAILED when C1 is not an uncompressed point, or CLKEY_ERR_INTERNAL.
int sm2RawToDer(const unsigned char* raw, std::size_t rawLen, SecretBuffer& der);

// Decodes derLen bytes of DER holding a messageLen-byte C2 into raw, kSm2Overhead + messageLen
// bytes of C1||C3||C2. Returns 0 or CLKEY_ERR_INTERNAL when the DER is not of that shape.
int sm2DerToRaw(const unsigned char* der, std::size_t derLen, std::size_t messageLen,
                unsigned char* raw);

} // namespace clkey

#endif
