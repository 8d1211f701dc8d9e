#include "sm2cipher.h"

#include "clkey.h"
#include "opensslcompat.h"
#include "sm2ciphertext.h"

#include <openssl/obj_mac.h>

#include <cstring>

namespace clkey {

namespace {

// Decoding an uncompressed point refuses coordinates outside the field and points off the curve.
int checkPublicPoint(const unsigned char* point)
{
    EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
    EcPointPtr decoded(group ? EC_POINT_new(group.get()) : nullptr);
    if (!decoded)
        return CLKEY_ERR_INTERNAL;
    if (EC_POINT_oct2point(group.get(), decoded.get(), point, kSm2PointBytes, nullptr) != 1
        || EC_POINT_is_on_curve(group.get(), decoded.get(), nullptr) != 1)
        return CLKEY_ERR_INVALID_PUBLIC_KEY;
    return 0;
}

// A private key is usable when 0 < d < n, n the order of the curve's base point.
int checkPrivateScalar(const BIGNUM* scalar)
{
    EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
    if (!group)
        return CLKEY_ERR_INTERNAL;
    if (BN_is_zero(scalar) || BN_cmp(scalar, EC_GROUP_get0_order(group.get())) >= 0)
        return CLKEY_ERR_INVALID_PRIVATE_KEY;
    return 0;
}

} // namespace

int sm2Encrypt(const unsigned char* publicKey, std::size_t publicLen, const unsigned char* message,
               std::size_t messageLen, SecretBuffer& out)
{
    if (publicLen != kSm2PublicKeyBytes && publicLen != kSm2PointBytes)
        return CLKEY_ERR_KEY_LENGTH;
    if (messageLen == 0 || messageLen > kSm2MaxMessageBytes)
        return CLKEY_ERR_DATA_LENGTH;

    unsigned char point[kSm2PointBytes];
    if (publicLen == kSm2PointBytes) {
        if (publicKey[0] != 0x04)
            return CLKEY_ERR_INVALID_PUBLIC_KEY;
        std::memcpy(point, publicKey, kSm2PointBytes);
    } else {
        point[0] = 0x04;
        std::memcpy(point + 1, publicKey, kSm2PublicKeyBytes);
    }
    if (const int rc = checkPublicPoint(point))
        return rc;

    PkeyPtr key = sm2KeyFromPoint(point);
    PkeyCtxPtr ctx = key ? sm2CipherContext(key.get(), true) : nullptr;
    SecretBuffer der;
    std::size_t derLen = 0;
    if (!ctx || EVP_PKEY_encrypt(ctx.get(), nullptr, &derLen, message, messageLen) != 1
        || !der.allocate(derLen)
        || EVP_PKEY_encrypt(ctx.get(), der.data(), &derLen, message, messageLen) != 1
        || !out.allocate(kSm2Overhead + messageLen))
        return CLKEY_ERR_INTERNAL;
    return sm2DerToRaw(der.data(), derLen, messageLen, out.data());
}

int sm2Decrypt(const unsigned char* privateKey, std::size_t privateLen,
               const unsigned char* ciphertext, std::size_t ciphertextLen, SecretBuffer& out)
{
    if (privateLen != kSm2PrivateKeyBytes)
        return CLKEY_ERR_KEY_LENGTH;
    if (ciphertextLen <= kSm2Overhead || ciphertextLen > kSm2Overhead + kSm2MaxMessageBytes)
        return CLKEY_ERR_DATA_LENGTH;

    // Held in secure memory where libcrypto has it, and wiped when freed.
    BignumPtr scalar(BN_secure_new());
    if (!scalar
        || BN_bin2bn(privateKey, static_cast<int>(kSm2PrivateKeyBytes), scalar.get()) == nullptr)
        return CLKEY_ERR_INTERNAL;
    if (const int rc = checkPrivateScalar(scalar.get()))
        return rc;

    SecretBuffer der;
    if (const int rc = sm2RawToDer(ciphertext, ciphertextLen, der))
        return rc;

    PkeyPtr key = sm2KeyFromScalar(scalar.get());
    PkeyCtxPtr ctx = key ? sm2CipherContext(key.get(), false) : nullptr;
    // The message is as long as C2. libcrypto's own estimate (a decrypt call without an output
    // buffer) is too small in OpenSSL 1.1.1 before 1.1.1l, so the buffer is sized from the
    // ciphertext instead.
    std::size_t messageLen = ciphertextLen - kSm2Overhead;
    if (!ctx || !out.allocate(messageLen))
        return CLKEY_ERR_INTERNAL;
    // Here libcrypto checks C1 against the curve and C3 against the recovered message.
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &messageLen, der.data(), der.size()) != 1
        || messageLen != ciphertextLen - kSm2Overhead)
        return CLKEY_ERR_DECRYPT_FAILED;
    out.truncate(messageLen);
    return 0;
}

bool sm2GenerateKey(unsigned char* publicKey, unsigned char* privateKey)
{
    PkeyPtr key = sm2GenerateKeyPair();
    unsigned char point[kSm2PointBytes];
    BignumPtr scalar;
    if (!key || !sm2KeyParts(key.get(), point, scalar) || point[0] != 0x04)
        return false;
    if (BN_bn2binpad(scalar.get(), privateKey, static_cast<int>(kSm2PrivateKeyBytes))
        != static_cast<int>(kSm2PrivateKeyBytes))
        return false;
    std::memcpy(publicKey, point + 1, kSm2PublicKeyBytes);
    return true;
}

} // namespace clkey
