#include "sm4cipher.h"

#include "clkey.h"
#include "cryptoptr.h"

#include <openssl/evp.h>

namespace clkey {

int sm4EcbCrypt(bool encrypt, const unsigned char* key, std::size_t keyLen,
                const unsigned char* data, std::size_t dataLen, SecretBuffer& out)
{
    if (keyLen != kSm4KeyBytes)
        return CLKEY_ERR_KEY_LENGTH;
    if (dataLen == 0 || dataLen % kSm4BlockBytes != 0 || dataLen > kSm4MaxDataBytes)
        return CLKEY_ERR_DATA_LENGTH;

    CipherPtr cipher(EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr));
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx || !out.allocate(dataLen))
        return CLKEY_ERR_INTERNAL;

    // The data is whole blocks, so padding stays off and the output is exactly as long.
    int written = 0;
    int finalWritten = 0;
    if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), key, nullptr, encrypt ? 1 : 0, nullptr) != 1
        || EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1
        || EVP_CipherUpdate(ctx.get(), out.data(), &written, data, static_cast<int>(dataLen)) != 1
        || EVP_CipherFinal_ex(ctx.get(), out.data() + written, &finalWritten) != 1
        || static_cast<std::size_t>(written) + static_cast<std::size_t>(finalWritten) != dataLen)
        return CLKEY_ERR_INTERNAL;
    return 0;
}

} // namespace clkey
