// The PIN pad: key pair, main-key and work-key download, PIN entry.
#include "clientscreen.h"
#include "devicestate.h"
#include "faultmode.h"
#include "keycrypto.h"
#include "pinblock.h"
#include "secret.h"
#include "splitnibble.h"

#include "clkey.h"

#include <chrono>
#include <thread>

namespace {
constexpr int kPublicKeyText = 2 * kPublicKeySize + 1; // with its NUL
constexpr int kPinBlockText = 2 * kKeySize + 1;

// Checks key text and decodes it into cipher, which then holds len / 2 bytes.
int decodeKeyText(const char* text, int len, Secret<kMaxCipherSize>& cipher)
{
    if (!text)
        return CS_ERR_NULL_INPUT;
    if (len < 0)
        return CS_ERR_NEGATIVE_SIZE;
    if (len == 0 || len % 2 != 0 || len > CS_MAX_KEY_TEXT)
        return CS_ERR_TEXT_LENGTH;
    if (!splitNibbleDecode(text, static_cast<std::size_t>(len), cipher.data()))
        return CS_ERR_TEXT_CHARACTER;
    return CS_OK;
}
}

int GenerateKeyFromPw(int size, char* out)
{
    if (!out)
        return CS_ERR_NULL_OUTPUT;
    const bool checkSize = faultMode() != FaultMode::IgnoreSize;
    if (checkSize && size < 0)
        return CS_ERR_NEGATIVE_SIZE;
    if (checkSize && size < kPublicKeyText)
        return CS_ERR_OUTPUT_TOO_SMALL;

    unsigned char publicKey[kPublicKeySize];
    Secret<kPrivateKeySize> privateKey;
    const int generated = generateKeyPair(publicKey, privateKey);
    if (generated != CS_OK)
        return generated;

    DeviceState& state = deviceState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.privateKey.set(privateKey);
    splitNibbleEncode(publicKey, kPublicKeySize, out);
    out[2 * kPublicKeySize] = '\0';
    overrunPast(out, size);
    return CS_OK;
}

namespace {
int setMainKey(const char* text, int len)
{
    Secret<kMaxCipherSize> cipher;
    const int decoded = decodeKeyText(text, len, cipher);
    if (decoded != CS_OK)
        return decoded;

    DeviceState& state = deviceState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.privateKey.present())
        return CS_ERR_NO_KEY_PAIR;
    Secret<kKeySize> mainKey;
    const int decrypted = decryptKey(state.privateKey.key().data(), kPrivateKeySize, cipher.data(),
                                     len / 2, CLKEY_ALG_SM2, mainKey);
    if (decrypted != CS_OK)
        return decrypted;
    state.mainKey.set(mainKey);
    // A work key was encrypted under the old main key; it no longer belongs to this session.
    state.workKey.drop();
    return CS_OK;
}
}

int SetPwMkey(const char* text, int len)
{
    const int result = setMainKey(text, len);
    // The fault answers success for any text it refused, and keeps the main key it had.
    if (result != CS_OK && text && faultMode() == FaultMode::AcceptTampered)
        return CS_OK;
    return result;
}

int SetPwWkey(const char* text, int len)
{
    Secret<kMaxCipherSize> cipher;
    const int decoded = decodeKeyText(text, len, cipher);
    if (decoded != CS_OK)
        return decoded;

    DeviceState& state = deviceState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.mainKey.present())
        return CS_ERR_NO_MAIN_KEY;
    Secret<kKeySize> workKey;
    const int decrypted = decryptKey(state.mainKey.key().data(), kKeySize, cipher.data(), len / 2,
                                     CLKEY_ALG_SM4_ECB, workKey);
    if (decrypted != CS_OK)
        return decrypted;
    state.workKey.set(workKey);
    return CS_OK;
}

int InputPassword(int timeout, const char*, const char*, const char*, int maxLen, int outSize,
                  char* out)
{
    if (!out)
        return CS_ERR_NULL_OUTPUT;
    const bool checkSize = faultMode() != FaultMode::IgnoreSize;
    if (maxLen < 0 || (checkSize && outSize < 0))
        return CS_ERR_NEGATIVE_SIZE;
    if (checkSize && outSize < kPinBlockText)
        return CS_ERR_OUTPUT_TOO_SMALL;
    if (timeout < 0)
        return CS_ERR_NEGATIVE_TIMEOUT;
    // A pad on which nobody confirms: the call comes back when the pad gives up. Nothing is locked
    // meanwhile.
    if (faultMode() == FaultMode::Hang)
        std::this_thread::sleep_for(std::chrono::seconds(timeout));

    DeviceState& state = deviceState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.workKey.present())
        return CS_ERR_NO_WORK_KEY;
    Secret<kKeySize> pinBlock;
    const int built = buildPinBlock(maxLen, pinBlock);
    if (built != CS_OK)
        return built;
    Secret<kKeySize> encrypted;
    const int sealed = encryptPinBlock(state.workKey.key(), pinBlock, encrypted.data());
    if (sealed != CS_OK)
        return sealed;
    splitNibbleEncode(encrypted.data(), kKeySize, out);
    out[2 * kKeySize] = '\0';
    overrunPast(out, outSize);
    return CS_OK;
}
