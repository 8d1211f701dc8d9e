#include "sm4cipher.h"

#include "clkey.h"
#include "opensslcompat.h"

#include <openssl/evp.h>

namespace clkey {

int sm4EcbCrypt(bool encrypt, const unsigned char* key, std::size_t keyLen,
                const unsigned char* data, std::size_t dataLen, SecretBuffer& out)
{
    if (keyLen != kSm4KeyBytes)
        return CLKEY_ERR_KEY_LENGTH;
    if (dataLen == 0 || dataLen % kSm4BlockBytes != 0 || dataLen > kSm4MaxDataBytes)
        return CLKEY_ERR_DATA_LENGTH;

    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || !out.allocate(dataLen))
        return CLKEY_ERR_INTERNAL;

    // The data is whole blocks, so padding stays off and the output is exactly as long.
    int written = 0;
    int finalWritten = 0;
    if (!sm4EcbInit(ctx.get(), key, encrypt)
        || EVP_CipherUpdate(ctx.get(), out.data(), &written, data, static_cast<int>(dataLen)) != 1
        || EVP_CipherFinal_ex(ctx.get(), out.data() + written, &finalWritten) != 1
        || static_cast<std::size_t>(written) + static_cast<std::size_t>(finalWritten) != dataLen)
        return CLKEY_ERR_INTERNAL;
    return 0;
}

} // namespace clkey
