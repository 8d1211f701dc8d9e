// The PIN pad: key pair, main-key and work-key download, PIN entry. The cryptography is the key
// library's: SM2 key pairs and decryption of the downloaded keys, SM4 encryption of PIN blocks.
// Keys travel as split-nibble text: each byte b as the two characters 0x30 | (b >> 4) and
// 0x30 | (b & 0x0F), that is "0" to "9" and ":" to "?".
#include "clientscreen.h"
#include "devicestate.h"
#include "faultmode.h"
#include "secretbuffer.h"

#include "clkey.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

using clkey::SecretBuffer;

namespace {
constexpr int kPublicKeyText = 2 * kPublicKeySize + 1; // with its NUL
constexpr int kPinBlockText = 2 * kKeySize + 1;

// Longest encrypted key, in bytes, that the key text may hold.
constexpr std::size_t kMaxCipherSize = CS_MAX_KEY_TEXT / 2;

const char kDefaultPin[] = "123456";
constexpr std::size_t kMinPinLength = 4;
constexpr std::size_t kMaxPinLength = 12;

// Writes 2 * count characters for count bytes; no NUL.
void splitNibbleEncode(const unsigned char* bytes, std::size_t count, char* text)
{
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = static_cast<char>(0x30 | (bytes[i] >> 4));
        text[2 * i + 1] = static_cast<char>(0x30 | (bytes[i] & 0x0F));
    }
}

// Reads `length` characters (even) into length / 2 bytes. Returns false, with the bytes then
// undefined, when a character lies outside "0".."?".
bool splitNibbleDecode(const char* text, std::size_t length, unsigned char* bytes)
{
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x30 || c > 0x3F)
            return false;
        const unsigned char nibble = c & 0x0F;
        if (i % 2 == 0)
            bytes[i / 2] = static_cast<unsigned char>(nibble << 4);
        else
            bytes[i / 2] = static_cast<unsigned char>(bytes[i / 2] | nibble);
    }
    return true;
}

// Checks key text and decodes it into cipher, which then holds len / 2 bytes.
int decodeKeyText(const char* text, int len, SecretBuffer& cipher)
{
    if (!text)
        return CS_ERR_NULL_INPUT;
    if (len < 0)
        return CS_ERR_NEGATIVE_SIZE;
    if (len == 0 || len % 2 != 0 || len > CS_MAX_KEY_TEXT)
        return CS_ERR_TEXT_LENGTH;
    if (!cipher.allocate(static_cast<std::size_t>(len / 2)))
        return CS_ERR_INTERNAL;
    if (!splitNibbleDecode(text, static_cast<std::size_t>(len), cipher.data()))
        return CS_ERR_TEXT_CHARACTER;
    return CS_OK;
}

// The key library takes plain char pointers but does not change its inputs.
char* keyLibBytes(const unsigned char* bytes)
{
    return reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
}

// Makes an SM2 key pair. CS_OK or CS_ERR_INTERNAL.
int generateKeyPair(unsigned char publicKey[kPublicKeySize], SecretBuffer& privateKey)
{
    // Room to spare: the key library is told no capacities.
    unsigned char publicBuffer[256] = {};
    SecretBuffer privateBuffer;
    if (!privateBuffer.allocate(256))
        return CS_ERR_INTERNAL;
    int publicLen = 0;
    int privateLen = 0;
    CLKeyManage keys(nullptr, nullptr);
    if (!keys.GenerateKey(publicBuffer, publicLen, privateBuffer.data(), privateLen, CLKEY_TYPE_SM2)
        || publicLen != static_cast<int>(kPublicKeySize)
        || privateLen != static_cast<int>(kPrivateKeySize))
        return CS_ERR_INTERNAL;
    std::memcpy(publicKey, publicBuffer, kPublicKeySize);
    privateBuffer.truncate(kPrivateKeySize);
    privateKey = std::move(privateBuffer);
    return CS_OK;
}

// Decrypts cipherLen (at most kMaxCipherSize) bytes under key with the key library's algorithm
// alg into a 16-byte key. CS_OK, CS_ERR_DECRYPT_FAILED, CS_ERR_KEY_LENGTH or CS_ERR_INTERNAL;
// plain is written only on success.
int decryptKey(const unsigned char* key, int keyLen, const unsigned char* cipher, int cipherLen,
               int alg, SecretBuffer& plain)
{
    // Neither SM2 nor unpadded SM4 decryption gives more bytes than it is given.
    SecretBuffer out;
    if (!out.allocate(kMaxCipherSize))
        return CS_ERR_INTERNAL;
    CLKeyManage keys(nullptr, nullptr);
    const int length = keys.DecodeKey(keyLibBytes(key), keyLen, keyLibBytes(cipher), cipherLen,
                                      keyLibBytes(out.data()), alg);
    if (length == CLKEY_ERR_INTERNAL)
        return CS_ERR_INTERNAL;
    if (length < 0)
        return CS_ERR_DECRYPT_FAILED;
    if (length != static_cast<int>(kKeySize))
        return CS_ERR_KEY_LENGTH;
    out.truncate(kKeySize);
    plain = std::move(out);
    return CS_OK;
}

// Encrypts a 16-byte PIN block with SM4-ECB into encrypted. CS_OK or CS_ERR_INTERNAL.
int encryptPinBlock(const unsigned char* workKey, const SecretBuffer& pinBlock,
                    SecretBuffer& encrypted)
{
    SecretBuffer out; // SM4-ECB without padding writes 16 bytes; the rest is margin
    if (!out.allocate(64))
        return CS_ERR_INTERNAL;
    CLKeyManage keys(nullptr, nullptr);
    const int length = keys.EncodeKey(keyLibBytes(workKey), kKeySize, keyLibBytes(pinBlock.data()),
                                      kKeySize, keyLibBytes(out.data()), CLKEY_ALG_SM4_ECB);
    if (length != static_cast<int>(kKeySize))
        return CS_ERR_INTERNAL;
    out.truncate(kKeySize);
    encrypted = std::move(out);
    return CS_OK;
}

// The PIN block's control nibble, chosen by QUORVEL_SIM_PIN_BLOCK and read on every call:
// "iso9564-2" gives ISO 9564 format 2 (2); unset, empty or any other value the simulator's own
// layout (0). Both layouts are otherwise the same.
unsigned char pinBlockControl()
{
    const char* layout = std::getenv("QUORVEL_SIM_PIN_BLOCK");
    return layout && std::strcmp(layout, "iso9564-2") == 0 ? 0x20 : 0x00;
}

// Builds the 16-byte PIN block of the PIN in QUORVEL_SIM_PIN (123456 when unset or empty): the
// control nibble and N, the number of digits, then the digits as BCD, F nibbles to the end.
// CS_OK, CS_ERR_PIN_INVALID (not 4 to 12 digits) or CS_ERR_PIN_TOO_LONG (more than maxLen
// digits); block is written only on success.
int buildPinBlock(int maxLen, SecretBuffer& block)
{
    const char* pin = std::getenv("QUORVEL_SIM_PIN");
    if (!pin || pin[0] == '\0')
        pin = kDefaultPin;

    // One character past the longest PIN is enough to reject a longer one.
    std::size_t length = 0;
    while (length <= kMaxPinLength && pin[length] != '\0') {
        if (pin[length] < '0' || pin[length] > '9')
            return CS_ERR_PIN_INVALID;
        ++length;
    }
    if (length < kMinPinLength || length > kMaxPinLength)
        return CS_ERR_PIN_INVALID;
    if (length > static_cast<std::size_t>(maxLen))
        return CS_ERR_PIN_TOO_LONG;
    if (!block.allocate(kKeySize))
        return CS_ERR_INTERNAL;

    // The fault puts a PIN of the same length with another last digit in the block.
    const bool wrongPin = faultMode() == FaultMode::WrongPinBlock;
    unsigned char* bytes = block.data();
    std::memset(bytes, 0xFF, kKeySize);
    bytes[0] = static_cast<unsigned char>(pinBlockControl() | length);
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char digit = static_cast<unsigned char>(pin[i] - '0');
        if (wrongPin && i == length - 1)
            digit = static_cast<unsigned char>((digit + 1) % 10);
        unsigned char& byte = bytes[1 + i / 2];
        byte = i % 2 == 0 ? static_cast<unsigned char>((digit << 4) | 0x0F)
                          : static_cast<unsigned char>((byte & 0xF0) | digit);
    }
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

    leakDescriptor();
    unsigned char publicKey[kPublicKeySize];
    SecretBuffer privateKey;
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
// A key download: decodes key text, decrypts it with the key library's algorithm alg under the key
// in `under` (missing: the code when the device holds none), and keeps the result in `into`. On
// success the key in `stale`, when given, is dropped in the same locked step.
int downloadKey(const char* text, int len, KeySlot DeviceState::*under, int missing, int alg,
                KeySlot DeviceState::*into, KeySlot DeviceState::*stale)
{
    SecretBuffer cipher;
    const int decoded = decodeKeyText(text, len, cipher);
    if (decoded != CS_OK)
        return decoded;

    DeviceState& state = deviceState();
    std::lock_guard<std::mutex> lock(state.mutex);
    const KeySlot& key = state.*under;
    if (!key.present())
        return missing;
    SecretBuffer plain;
    const int decrypted =
        decryptKey(key.data(), static_cast<int>(key.size()), cipher.data(), len / 2, alg, plain);
    if (decrypted != CS_OK)
        return decrypted;
    (state.*into).set(plain);
    if (stale)
        (state.*stale).drop();
    return CS_OK;
}
}

int SetPwMkey(const char* text, int len)
{
    if (flakyFailure())
        return CS_ERR_DECRYPT_FAILED;
    // A work key was encrypted under the old main key; it does not belong to the new key exchange.
    const int result = downloadKey(text, len, &DeviceState::privateKey, CS_ERR_NO_KEY_PAIR,
                                   CLKEY_ALG_SM2, &DeviceState::mainKey, &DeviceState::workKey);
    // The fault answers success for any text it refused, and keeps the main key it had.
    if (result != CS_OK && text && faultMode() == FaultMode::AcceptTampered)
        return CS_OK;
    return result;
}

int SetPwWkey(const char* text, int len)
{
    leakMemory();
    return downloadKey(text, len, &DeviceState::mainKey, CS_ERR_NO_MAIN_KEY, CLKEY_ALG_SM4_ECB,
                       &DeviceState::workKey, nullptr);
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
    SecretBuffer pinBlock;
    const int built = buildPinBlock(maxLen, pinBlock);
    if (built != CS_OK)
        return built;
    SecretBuffer encrypted;
    const int sealed = encryptPinBlock(state.workKey.data(), pinBlock, encrypted);
    if (sealed != CS_OK)
        return sealed;
    splitNibbleEncode(encrypted.data(), kKeySize, out);
    out[2 * kKeySize] = '\0';
    overrunPast(out, outSize);
    return CS_OK;
}
