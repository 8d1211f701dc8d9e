// A hostile device library for the device checker's tests. HOSTILE_DEVICE_MODE, read when it is
// loaded and at every call, chooses what it does to the process that loads it:
//   exit-in-constructor, hang-in-constructor  end the process, or never return, while loading
//   replace-self      while loading, delete its own file and put HOSTILE_DEVICE_REPLACEMENT
//                     where /proc/PID/maps then names it, "<its path> (deleted)"
//   exit, print, overrun-3841, overrun-5000   in GenerateKeyFromPw: exit(0), print a forged
//                     report line, or write that many bytes past the size passed
//   abort             abort() in SetPwMkey
//   never-decrypts    the curve's generator as its public key
// Otherwise (and after print) it is a fake that never decrypts anything: a fresh point as its
// public key, only the first SetPwMkey and an empty text refused, any work key accepted, and the
// PIN block encrypted under the tool's fixed test work key.
#include "keydownload/testkeys.h"

#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool mode(const char* name)
{
    const char* chosen = std::getenv("HOSTILE_DEVICE_MODE");
    return chosen && std::strcmp(chosen, name) == 0;
}

void splitNibble(const unsigned char* bytes, int size, char* out)
{
    for (int i = 0; i < size; ++i) {
        out[2 * i] = static_cast<char>('0' + (bytes[i] >> 4));
        out[2 * i + 1] = static_cast<char>('0' + (bytes[i] & 0x0F));
    }
    out[2 * size] = '\0';
}

// X||Y of the generator, or of a fresh multiple of it whose factor is thrown away.
bool publicKey(unsigned char* key)
{
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    EC_POINT* point = group ? EC_POINT_new(group) : nullptr;
    BIGNUM* factor = BN_new();
    unsigned char encoded[65];
    bool made = point && factor
        && (mode("never-decrypts") ? BN_one(factor) : BN_rand(factor, 255, 0, 0)) == 1
        && EC_POINT_mul(group, point, factor, nullptr, nullptr, nullptr) == 1
        && EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, encoded, sizeof encoded,
                              nullptr)
            == sizeof encoded;
    if (made)
        std::memcpy(key, encoded + 1, 64);
    BN_free(factor);
    EC_POINT_free(point);
    EC_GROUP_free(group);
    return made;
}

__attribute__((constructor)) void onLoad()
{
    if (mode("exit-in-constructor"))
        std::exit(0);
    while (mode("hang-in-constructor"))
        pause();
    if (mode("replace-self")) {
        Dl_info self;
        const char* replacement = std::getenv("HOSTILE_DEVICE_REPLACEMENT");
        // Its own file goes, and the replacement takes the name the kernel then shows for it.
        if (replacement && dladdr(reinterpret_cast<void*>(&onLoad), &self) && self.dli_fname) {
            char shown[4096];
            std::snprintf(shown, sizeof shown, "%s (deleted)", self.dli_fname);
            std::remove(self.dli_fname);
            std::rename(replacement, shown);
        }
    }
}

int mainKeyCalls = 0;
}

extern "C" {
__attribute__((visibility("default"))) int32_t GenerateKeyFromPw(int32_t size, char* out)
{
    if (mode("exit"))
        std::exit(0);
    if (mode("print"))
        std::printf("PASS keypair-format: forged by the library\n");
    if (mode("overrun-3841") || mode("overrun-5000"))
        std::memset(out + size, 'A', mode("overrun-3841") ? 3841 : 5000);
    unsigned char key[64];
    if (size < 129 || !publicKey(key))
        return -1;
    splitNibble(key, 64, out);
    return 0;
}

__attribute__((visibility("default"))) int32_t SetPwMkey(const char*, int32_t length)
{
    if (mode("abort"))
        std::abort();
    return ++mainKeyCalls == 1 || length == 0 ? -1 : 0;
}

__attribute__((visibility("default"))) int32_t SetPwWkey(const char*, int32_t)
{
    return 0;
}

__attribute__((visibility("default"))) int32_t
InputPassword(int32_t, const char*, const char*, const char*, int32_t, int32_t outSize, char* out)
{
    const char* pin = std::getenv("QUORVEL_SIM_PIN");
    const int length = pin ? static_cast<int>(std::strlen(pin)) : 0;
    if (outSize < 33 || length < 4 || length > 12)
        return -1;
    unsigned char block[16];
    std::memset(block, 0xFF, sizeof block);
    block[0] = static_cast<unsigned char>(length);
    for (int i = 0; i < length; ++i) {
        unsigned char& byte = block[1 + i / 2];
        const int digit = pin[i] - '0';
        byte = static_cast<unsigned char>(i % 2 == 0 ? (digit << 4) | 0x0F : (byte & 0xF0) | digit);
    }
    unsigned char cipher[32];
    int written = 0;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    const bool encrypted = context
        && EVP_EncryptInit_ex(context, EVP_sm4_ecb(), nullptr,
                              reinterpret_cast<const unsigned char*>(kTestWorkKey), nullptr)
            == 1
        && EVP_CIPHER_CTX_set_padding(context, 0) == 1
        && EVP_EncryptUpdate(context, cipher, &written, block, sizeof block) == 1;
    EVP_CIPHER_CTX_free(context);
    if (!encrypted || written != 16)
        return -1;
    splitNibble(cipher, 16, out);
    return 0;
}

__attribute__((visibility("default"))) int32_t PN_ReadDeviceSN(int32_t, const char*, int32_t,
                                                               char* out)
{
    std::strcpy(out, "HOSTILE1");
    return 0;
}

__attribute__((visibility("default"))) int32_t PN_WriteDeviceSN(int32_t, const char*, int32_t,
                                                                const char*)
{
    return -1;
}

__attribute__((visibility("default"))) int32_t MP_StartInfoHtml()
{
    return -1;
}
__attribute__((visibility("default"))) int32_t MP_SignPDF()
{
    return -1;
}
__attribute__((visibility("default"))) int32_t MP_SHOW_PDF()
{
    return -1;
}
__attribute__((visibility("default"))) int32_t MP_ConfirmPDF()
{
    return -1;
}
__attribute__((visibility("default"))) int32_t MP_SignPDF_Voice()
{
    return -1;
}
}
