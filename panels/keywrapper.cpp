#include "panels/keywrapper.h"

#include "clkey.h"

#include <cstring>

namespace {
constexpr int kKeyBufferSize = 4096;
// Public and private text plus the "|" separator must leave a NUL in the text buffer.
constexpr int kMaxTotalKeyLength = (kKeyBufferSize - 2) / 2;
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
    char store[] = "";
    char password[] = "";
    CLKeyManage manager(store, password);

    unsigned char publicKey[kKeyBufferSize];
    unsigned char privateKey[kKeyBufferSize];
    char text[kKeyBufferSize];
    std::memset(publicKey, 0, sizeof publicKey);
    std::memset(privateKey, 0, sizeof privateKey);
    std::memset(text, 0, sizeof text);
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
