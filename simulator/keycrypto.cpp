#include "keycrypto.h"

#include "clkey.h"

#include <cstring>

namespace {
// The key library takes plain char pointers but does not change its inputs.
char* keyLibBytes(const unsigned char* bytes)
{
    return reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
}
}

int generateKeyPair(unsigned char publicKey[kPublicKeySize], Secret<kPrivateKeySize>& privateKey)
{
    // Room to spare: the key library is told no capacities.
    unsigned char publicBuffer[256] = {};
    Secret<256> privateBuffer;
    int publicLen = 0;
    int privateLen = 0;
    CLKeyManage keys(nullptr, nullptr);
    if (!keys.GenerateKey(publicBuffer, publicLen, privateBuffer.data(), privateLen,
                          CLKEY_TYPE_SM2)
        || publicLen != static_cast<int>(kPublicKeySize)
        || privateLen != static_cast<int>(kPrivateKeySize))
        return CS_ERR_INTERNAL;
    std::memcpy(publicKey, publicBuffer, kPublicKeySize);
    std::memcpy(privateKey.data(), privateBuffer.data(), kPrivateKeySize);
    return CS_OK;
}

int decryptKey(const unsigned char* key, int keyLen, const unsigned char* cipher, int cipherLen,
               int alg, Secret<kKeySize>& plain)
{
    // Neither SM2 nor unpadded SM4 decryption gives more bytes than it is given.
    Secret<kMaxCipherSize> out;
    CLKeyManage keys(nullptr, nullptr);
    const int length = keys.DecodeKey(keyLibBytes(key), keyLen, keyLibBytes(cipher), cipherLen,
                                      keyLibBytes(out.data()), alg);
    if (length == CLKEY_ERR_INTERNAL)
        return CS_ERR_INTERNAL;
    if (length < 0)
        return CS_ERR_DECRYPT_FAILED;
    if (length != static_cast<int>(kKeySize))
        return CS_ERR_KEY_LENGTH;
    std::memcpy(plain.data(), out.data(), kKeySize);
    return CS_OK;
}

int encryptPinBlock(const Secret<kKeySize>& workKey, const Secret<kKeySize>& pinBlock,
                    unsigned char encrypted[kKeySize])
{
    Secret<64> out; // SM4-ECB without padding writes 16 bytes; the rest is margin
    CLKeyManage keys(nullptr, nullptr);
    const int length = keys.EncodeKey(keyLibBytes(workKey.data()), kKeySize,
                                      keyLibBytes(pinBlock.data()), kKeySize,
                                      keyLibBytes(out.data()), CLKEY_ALG_SM4_ECB);
    if (length != static_cast<int>(kKeySize))
        return CS_ERR_INTERNAL;
    std::memcpy(encrypted, out.data(), kKeySize);
    return CS_OK;
}
