#include "keydownload/keywrapper.h"

#include "clkey.h"

#include <cstring>
#include <string.h>

namespace {
constexpr int kKeyBufferSize = 4096;
// Public and private text plus the "|" separator must leave a NUL in the text buffer.
constexpr int kMaxTotalKeyLength = (kKeyBufferSize - 2) / 2;

// The key pair as text, built in the caller's buffers so that the caller can wipe them.
std::string keyPairText(int type, unsigned char* publicKey, unsigned char* privateKey, char* text)
{
    char store[] = "";
    char password[] = "";
    CLKeyManage manager(store, password);

    std::memset(publicKey, 0, kKeyBufferSize);
    std::memset(privateKey, 0, kKeyBufferSize);
    std::memset(text, 0, kKeyBufferSize);
    int publicLength = 0;
    int privateLength = 0;

    if (!manager.GenerateKey(publicKey, publicLength, privateKey, privateLength, type))
        return std::string();

    // A key library that reports lengths beyond the buffers would make the text overrun them.
    const bool fits = publicLength >= 0 && privateLength >= 0 && publicLength <= kKeyBufferSize
        && privateLength <= kKeyBufferSize && publicLength + privateLength <= kMaxTotalKeyLength;
    if (!fits)
        return std::string();

    ConvAscii(publicKey, text, static_cast<unsigned int>(publicLength));
    text[2 * publicLength] = '|';
    ConvAscii(privateKey, text + 2 * publicLength + 1, static_cast<unsigned int>(privateLength));
    return std::string(text);
}
}

int pinpadEnAndDec(char* key, int keyLen, char* data, int dataLen, char* out, int alg, int decrypt)
{
    char store[] = "";
    char password[] = "";
    CLKeyManage manager(store, password);
    if (decrypt)
        return manager.DecodeKey(key, keyLen, data, dataLen, out, alg);
    return manager.EncodeKey(key, keyLen, data, dataLen, out, alg);
}

std::string generateKey(int type)
{
    unsigned char publicKey[kKeyBufferSize];
    unsigned char privateKey[kKeyBufferSize];
    char text[kKeyBufferSize];
    const std::string pair = keyPairText(type, publicKey, privateKey, text);
    // The private key passed through all three buffers. explicit_bzero (glibc) is a call the
    // compiler may not drop as a dead store, which it may do with memset on buffers about to go
    // out of scope; OPENSSL_cleanse would need the tool to link libcrypto.
    explicit_bzero(publicKey, sizeof publicKey);
    explicit_bzero(privateKey, sizeof privateKey);
    explicit_bzero(text, sizeof text);
    return pair;
}
