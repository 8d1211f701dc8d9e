#include "sm2cipher.h"

#include "clkey.h"
#include "cryptoptr.h"
#include "sm2ciphertext.h"

#include <openssl/core_names.h>
#include <openssl/obj_mac.h>

#include <cstring>

namespace clkey {

namespace {

const char kSm2Name[] = "SM2";

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

// Builds an SM2 key from the key parameters in builder; selection says which half it holds.
PkeyPtr keyFromParams(OSSL_PARAM_BLD* builder, int selection)
{
    if (OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, kSm2Name, 0) != 1)
        return nullptr;
    ParamPtr params(OSSL_PARAM_BLD_to_param(builder));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, kSm2Name, nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1
        || EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) != 1)
        return nullptr;
    return PkeyPtr(key);
}

// A context ready to encrypt or decrypt under key, with SM3 as the scheme's hash.
PkeyCtxPtr cipherContext(EVP_PKEY* key, bool encrypt)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx)
        return nullptr;
    char digest[] = "SM3";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_ASYM_CIPHER_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    const int initialised = encrypt ? EVP_PKEY_encrypt_init_ex(ctx.get(), params)
                                    : EVP_PKEY_decrypt_init_ex(ctx.get(), params);
    if (initialised != 1)
        return nullptr;
    return ctx;
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

    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder
        || OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point,
                                            sizeof point)
            != 1)
        return CLKEY_ERR_INTERNAL;
    PkeyPtr key = keyFromParams(builder.get(), EVP_PKEY_PUBLIC_KEY);
    PkeyCtxPtr ctx = key ? cipherContext(key.get(), true) : nullptr;
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

    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder
        || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get()) != 1)
        return CLKEY_ERR_INTERNAL;
    PkeyPtr key = keyFromParams(builder.get(), EVP_PKEY_KEYPAIR);
    PkeyCtxPtr ctx = key ? cipherContext(key.get(), false) : nullptr;
    std::size_t messageLen = 0;
    if (!ctx || EVP_PKEY_decrypt(ctx.get(), nullptr, &messageLen, der.data(), der.size()) != 1
        || !out.allocate(messageLen))
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
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, kSm2Name, nullptr));
    EVP_PKEY* generated = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1
        || EVP_PKEY_CTX_set_group_name(ctx.get(), kSm2Name) != 1
        || EVP_PKEY_generate(ctx.get(), &generated) != 1)
        return false;
    PkeyPtr key(generated);

    unsigned char point[kSm2PointBytes];
    std::size_t pointLen = 0;
    BIGNUM* scalar = nullptr;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                        &pointLen)
            != 1
        || pointLen != kSm2PointBytes || point[0] != 0x04
        || EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar) != 1)
        return false;
    BignumPtr scalarOwner(scalar);
    if (BN_bn2binpad(scalar, privateKey, static_cast<int>(kSm2PrivateKeyBytes))
        != static_cast<int>(kSm2PrivateKeyBytes))
        return false;
    std::memcpy(publicKey, point + 1, kSm2PublicKeyBytes);
    return true;
}

} // namespace clkey
