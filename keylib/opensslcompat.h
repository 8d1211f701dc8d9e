// The libcrypto calls whose form differs between OpenSSL 1.1.1 and 3.x, behind one interface:
// SM2 keys from a point or a scalar, SM2 key generation and cipher contexts, the SM4-ECB cipher.
#ifndef OPENSSLCOMPAT_H
#define OPENSSLCOMPAT_H

#include "cryptoptr.h"

namespace clkey {

// An SM2 public key from the 65-byte uncompressed point 04||X||Y, already checked to be on the
// curve. Null when libcrypto fails.
PkeyPtr sm2KeyFromPoint(const unsigned char* point);

// An SM2 private key from its scalar, already checked to be in range. Null when libcrypto fails.
PkeyPtr sm2KeyFromScalar(const BIGNUM* scalar);

// A new SM2 key pair. Null when libcrypto fails.
PkeyPtr sm2GenerateKeyPair();

// The public point of key as 65 bytes 04||X||Y and its private scalar. False when libcrypto fails.
bool sm2KeyParts(const EVP_PKEY* key, unsigned char* point, BignumPtr& scalar);

// A context ready to encrypt or decrypt under key, with SM3 as the scheme's hash.
PkeyCtxPtr sm2CipherContext(EVP_PKEY* key, bool encrypt);

// Sets ctx up for SM4-ECB under a 16-byte key, without padding. False when libcrypto fails.
bool sm4EcbInit(EVP_CIPHER_CTX* ctx, const unsigned char* key, bool encrypt);

} // namespace clkey

#endif
