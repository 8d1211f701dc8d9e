#include "opensslcompat.h"

#include "sm2ciphertext.h"

#include <openssl/obj_mac.h>
#include <openssl/opensslv.h>

// OpenSSL 3 builds SM2 keys from parameters and fetches algorithms by name; 1.1.1 builds them as
// EC keys on the SM2 curve, which only act as SM2 once their type says so.
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#define CLKEY_OPENSSL_3 1
#else
#include <openssl/ec.h>
#define CLKEY_OPENSSL_3 0
#endif

namespace clkey {

#if CLKEY_OPENSSL_3

namespace {

const char kSm2Name[] = "SM2";

using ParamBldPtr = CryptoPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamPtr = CryptoPtr<OSSL_PARAM, OSSL_PARAM_free>;
using CipherPtr = CryptoPtr<EVP_CIPHER, EVP_CIPHER_free>;

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

} // namespace

PkeyPtr sm2KeyFromPoint(const unsigned char* point)
{
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder
        || OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point,
                                            kSm2PointBytes)
            != 1)
        return nullptr;
    return keyFromParams(builder.get(), EVP_PKEY_PUBLIC_KEY);
}

PkeyPtr sm2KeyFromScalar(const BIGNUM* scalar)
{
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar) != 1)
        return nullptr;
    return keyFromParams(builder.get(), EVP_PKEY_KEYPAIR);
}

PkeyPtr sm2GenerateKeyPair()
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, kSm2Name, nullptr));
    EVP_PKEY* generated = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1
        || EVP_PKEY_CTX_set_group_name(ctx.get(), kSm2Name) != 1
        || EVP_PKEY_generate(ctx.get(), &generated) != 1)
        return nullptr;
    return PkeyPtr(generated);
}

bool sm2KeyParts(const EVP_PKEY* key, unsigned char* point, BignumPtr& scalar)
{
    std::size_t pointLen = 0;
    BIGNUM* privateScalar = nullptr;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, kSm2PointBytes,
                                        &pointLen)
            != 1
        || pointLen != kSm2PointBytes
        || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &privateScalar) != 1)
        return false;
    scalar.reset(privateScalar);
    return true;
}

PkeyCtxPtr sm2CipherContext(EVP_PKEY* key, bool encrypt)
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

bool sm4EcbInit(EVP_CIPHER_CTX* ctx, const unsigned char* key, bool encrypt)
{
    CipherPtr cipher(EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr));
    return cipher
        && EVP_CipherInit_ex2(ctx, cipher.get(), key, nullptr, encrypt ? 1 : 0, nullptr) == 1
        && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
}

#else

namespace {

using EcKeyPtr = CryptoPtr<EC_KEY, EC_KEY_free>;

// Wraps an EC key on the SM2 curve as an EVP key of type SM2, so that the SM2 scheme, not ECDSA
// or ECDH, answers its encrypt and decrypt calls.
PkeyPtr sm2KeyFromEcKey(EcKeyPtr ecKey)
{
    PkeyPtr key(EVP_PKEY_new());
    if (!key || EVP_PKEY_assign_EC_KEY(key.get(), ecKey.get()) != 1)
        return nullptr;
    ecKey.release();
    if (EVP_PKEY_set_alias_type(key.get(), EVP_PKEY_SM2) != 1)
        return nullptr;
    return key;
}

} // namespace

PkeyPtr sm2KeyFromPoint(const unsigned char* point)
{
    EcKeyPtr ecKey(EC_KEY_new_by_curve_name(NID_sm2));
    if (!ecKey || EC_KEY_oct2key(ecKey.get(), point, kSm2PointBytes, nullptr) != 1)
        return nullptr;
    return sm2KeyFromEcKey(std::move(ecKey));
}

PkeyPtr sm2KeyFromScalar(const BIGNUM* scalar)
{
    EcKeyPtr ecKey(EC_KEY_new_by_curve_name(NID_sm2));
    if (!ecKey || EC_KEY_set_private_key(ecKey.get(), scalar) != 1)
        return nullptr;
    return sm2KeyFromEcKey(std::move(ecKey));
}

PkeyPtr sm2GenerateKeyPair()
{
    EcKeyPtr ecKey(EC_KEY_new_by_curve_name(NID_sm2));
    if (!ecKey || EC_KEY_generate_key(ecKey.get()) != 1)
        return nullptr;
    return sm2KeyFromEcKey(std::move(ecKey));
}

bool sm2KeyParts(const EVP_PKEY* key, unsigned char* point, BignumPtr& scalar)
{
    // EVP_PKEY_get0_EC_KEY takes a non-const key in 1.1.1; it only reads it.
    const EC_KEY* ecKey = EVP_PKEY_get0_EC_KEY(const_cast<EVP_PKEY*>(key));
    const EC_POINT* publicPoint = ecKey ? EC_KEY_get0_public_key(ecKey) : nullptr;
    const BIGNUM* privateScalar = ecKey ? EC_KEY_get0_private_key(ecKey) : nullptr;
    if (!publicPoint || !privateScalar
        || EC_POINT_point2oct(EC_KEY_get0_group(ecKey), publicPoint, POINT_CONVERSION_UNCOMPRESSED,
                              point, kSm2PointBytes, nullptr)
            != kSm2PointBytes)
        return false;
    // Held in secure memory where libcrypto has it, and wiped when freed.
    scalar.reset(BN_secure_new());
    return scalar && BN_copy(scalar.get(), privateScalar) != nullptr;
}

PkeyCtxPtr sm2CipherContext(EVP_PKEY* key, bool encrypt)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    const int initialised = !ctx ? 0
        : encrypt                ? EVP_PKEY_encrypt_init(ctx.get())
                                 : EVP_PKEY_decrypt_init(ctx.get());
    if (initialised != 1
        || EVP_PKEY_CTX_ctrl(ctx.get(), -1, EVP_PKEY_OP_TYPE_CRYPT, EVP_PKEY_CTRL_MD, 0,
                             const_cast<EVP_MD*>(EVP_sm3()))
            != 1)
        return nullptr;
    return ctx;
}

bool sm4EcbInit(EVP_CIPHER_CTX* ctx, const unsigned char* key, bool encrypt)
{
    return EVP_CipherInit_ex(ctx, EVP_sm4_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) == 1
        && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
}

#endif

} // namespace clkey
