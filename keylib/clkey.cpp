#include "clkey.h"

#include "secretbuffer.h"
#include "sm2cipher.h"
#include "sm4cipher.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <climits>
#include <cstring>

namespace {

// libcrypto records why a call failed on the calling thread's error queue. The key library
// answers with its own codes, so it leaves that queue as the caller had it.
class ErrorQueueGuard {
public:
    ErrorQueueGuard() { ERR_set_mark(); }
    ~ErrorQueueGuard() { ERR_pop_to_mark(); }
    ErrorQueueGuard(const ErrorQueueGuard&) = delete;
    ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
};

int runCipher(bool encode, const char* key, int keyLen, const char* data, int dataLen, char* out,
              int alg)
{
    if (key == nullptr || data == nullptr || out == nullptr)
        return CLKEY_ERR_NULL_POINTER;
    if (alg != CLKEY_ALG_SM4_ECB && alg != CLKEY_ALG_SM2)
        return CLKEY_ERR_UNKNOWN_ALGORITHM;
    if (keyLen < 0)
        return CLKEY_ERR_KEY_LENGTH;
    if (dataLen < 0)
        return CLKEY_ERR_DATA_LENGTH;

    ErrorQueueGuard errorQueue;
    const auto* keyBytes = reinterpret_cast<const unsigned char*>(key);
    const auto* dataBytes = reinterpret_cast<const unsigned char*>(data);
    const auto keySize = static_cast<std::size_t>(keyLen);
    const auto dataSize = static_cast<std::size_t>(dataLen);

    // The result is built in a buffer of its own, so that a failure leaves out untouched.
    clkey::SecretBuffer result;
    int rc = 0;
    if (alg == CLKEY_ALG_SM4_ECB)
        rc = clkey::sm4EcbCrypt(encode, keyBytes, keySize, dataBytes, dataSize, result);
    else if (encode)
        rc = clkey::sm2Encrypt(keyBytes, keySize, dataBytes, dataSize, result);
    else
        rc = clkey::sm2Decrypt(keyBytes, keySize, dataBytes, dataSize, result);
    if (rc != 0)
        return rc;
    std::memcpy(out, result.data(), result.size());
    return static_cast<int>(result.size());
}

} // namespace

CLKey::CLKey() = default;

CLKey::~CLKey() = default;

int CLKey::EncodeKey(char* key, int keyLen, char* data, int dataLen, char* out, int alg)
{
    return runCipher(true, key, keyLen, data, dataLen, out, alg);
}

int CLKey::DecodeKey(char* key, int keyLen, char* data, int dataLen, char* out, int alg)
{
    return runCipher(false, key, keyLen, data, dataLen, out, alg);
}

int CLKey::GenerateKey(void* publicKey, int& publicLen, void* privateKey, int& privateLen, int type)
{
    publicLen = 0;
    privateLen = 0;
    if (type != CLKEY_TYPE_SM2 || publicKey == nullptr || privateKey == nullptr)
        return 0;

    ErrorQueueGuard errorQueue;
    unsigned char generatedPublic[clkey::kSm2PublicKeyBytes];
    unsigned char generatedPrivate[clkey::kSm2PrivateKeyBytes];
    const bool generated = clkey::sm2GenerateKey(generatedPublic, generatedPrivate);
    if (generated) {
        std::memcpy(publicKey, generatedPublic, sizeof generatedPublic);
        std::memcpy(privateKey, generatedPrivate, sizeof generatedPrivate);
        publicLen = static_cast<int>(sizeof generatedPublic);
        privateLen = static_cast<int>(sizeof generatedPrivate);
    }
    OPENSSL_cleanse(generatedPrivate, sizeof generatedPrivate);
    return generated ? 1 : 0;
}

CLKeyManage::CLKeyManage(char*, char*)
{
}

CLKeyManage::~CLKeyManage() = default;

int ConvAscii(unsigned char* bytes, char* text, unsigned int len)
{
    static const char kDigits[] = "0123456789ABCDEF";
    // The count of characters must fit the int result.
    if (bytes == nullptr || text == nullptr || len > INT_MAX / 2)
        return 0;
    for (unsigned int i = 0; i < len; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return static_cast<int>(2 * len);
}
