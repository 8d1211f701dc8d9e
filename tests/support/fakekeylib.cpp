#include "fakekeylib.h"

#include "clkey.h"

#include <cstring>
#include <stdexcept>

namespace {
FakeKeyLib state;

int scriptedCrypt(const char* name, char* key, int keyLen, char* data, int dataLen, char* out,
                  int alg)
{
    state.calls << QString::fromLatin1(name);
    state.key = QByteArray(key, keyLen > 0 ? keyLen : 0);
    state.keyLength = keyLen;
    state.data = QByteArray(data, dataLen > 0 ? dataLen : 0);
    state.dataLength = dataLen;
    state.algorithm = alg;
    if (state.throwOnCrypt)
        throw std::runtime_error("scripted key library failure");
    std::memcpy(out, state.cryptOutput.constData(), static_cast<size_t>(state.cryptOutput.size()));
    return state.cryptResult;
}
}

FakeKeyLib& fakeKeyLib()
{
    return state;
}

void resetFakeKeyLib()
{
    state = FakeKeyLib();
}

CLKey::CLKey() = default;
CLKey::~CLKey() = default;

int CLKey::EncodeKey(char* key, int keyLen, char* data, int dataLen, char* out, int alg)
{
    return scriptedCrypt("EncodeKey", key, keyLen, data, dataLen, out, alg);
}

int CLKey::DecodeKey(char* key, int keyLen, char* data, int dataLen, char* out, int alg)
{
    return scriptedCrypt("DecodeKey", key, keyLen, data, dataLen, out, alg);
}

int CLKey::GenerateKey(void* publicKey, int& publicLen, void* privateKey, int& privateLen, int type)
{
    state.calls << QStringLiteral("GenerateKey");
    state.generateType = type;
    std::memcpy(publicKey, state.publicKey.constData(),
                static_cast<size_t>(state.publicKey.size()));
    std::memcpy(privateKey, state.privateKey.constData(),
                static_cast<size_t>(state.privateKey.size()));
    publicLen = state.publicLength;
    privateLen = state.privateLength;
    return state.generateResult;
}

CLKeyManage::CLKeyManage(char* store, char* password)
{
    ++state.constructed;
    state.constructorTexts << QString::fromUtf8(store) << QString::fromUtf8(password);
}

CLKeyManage::~CLKeyManage()
{
    ++state.destroyed;
}

int ConvAscii(unsigned char* bytes, char* text, unsigned int len)
{
    state.calls << QStringLiteral("ConvAscii");
    static const char digits[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < len; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return static_cast<int>(2 * len);
}
