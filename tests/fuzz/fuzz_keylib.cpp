// Fuzz target for the key library's CLKeyManage::EncodeKey and DecodeKey.
//
// Input, byte 0 chooses one of four runs:
//   0, 1  arbitrary call (0 EncodeKey, 1 DecodeKey). Then: an algorithm selector (2, 5, an int8
//         or an int32 read next), a pointer byte (0xF0 and above: its low three bits null the
//         key, data and output pointers), key length mode and parameter bytes, a key byte count,
//         the key, data length mode and parameter bytes, and the data (the rest).
//   2     SM4 round trip: a 16-byte key, then the data (the rest, cut to whole 16-byte blocks).
//   3     SM2 round trip: a flags byte (bit 0: public key as 65 bytes 04||X||Y), a two-byte
//         tamper position, a tamper mask byte, a 32-byte private key, then the message (the rest).
// The output buffer is as large as the key library documents for those inputs (the data length
// for SM4; 97 bytes more for SM2 encryption, 97 fewer for decryption), with guard bytes after it.
// Every call must give a negative code with the output untouched, or a length that fits with
// nothing written past it.
#include "fuzzinput.h"

#include "clkey.h"
#include "cryptoptr.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

namespace {

constexpr int kSm2Overhead = 97; // C1 65 bytes + C3 32 bytes
constexpr int kSm2MaxMessage = 4096;
constexpr int kSm4Block = 16;
constexpr int kSm4MaxData = 1024 * 1024;

// The most bytes the key library documents writing for these inputs.
std::size_t documentedMaximum(bool encode, int alg, int dataLen)
{
    if (dataLen <= 0)
        return 0;
    const auto n = static_cast<std::size_t>(dataLen);
    if (alg == CLKEY_ALG_SM4_ECB)
        return n;
    if (alg == CLKEY_ALG_SM2 && encode)
        return n + kSm2Overhead;
    if (alg == CLKEY_ALG_SM2)
        return n > kSm2Overhead ? n - kSm2Overhead : 0;
    return 0;
}

int runKeyLib(bool encode, char* key, int keyLen, char* data, int dataLen, char* out, int alg)
{
    CLKeyManage keys(nullptr, nullptr);
    return encode ? keys.EncodeKey(key, keyLen, data, dataLen, out, alg)
                  : keys.DecodeKey(key, keyLen, data, dataLen, out, alg);
}

// A call on exact-size copies of key and data into a guarded output of the documented size;
// checks the result against the buffer and returns it.
int checkedCall(bool encode, const std::vector<uint8_t>& key, int keyLen,
                const std::vector<uint8_t>& data, int dataLen, int alg, GuardedBuffer& out,
                bool nullKey = false, bool nullData = false, bool nullOut = false)
{
    ExactCopy keyCopy(key.data(), keyLen > 0 ? static_cast<std::size_t>(keyLen) : 0);
    ExactCopy dataCopy(data.data(), dataLen > 0 ? static_cast<std::size_t>(dataLen) : 0);
    const int rc = runKeyLib(encode, nullKey ? nullptr : keyCopy.data(), keyLen,
                             nullData ? nullptr : dataCopy.data(), dataLen,
                             nullOut ? nullptr : out.data(), alg);
    if (nullKey || nullData || nullOut)
        FUZZ_CHECK(rc < 0);
    if (rc < 0) {
        FUZZ_CHECK(out.untouchedFrom(0));
    } else {
        FUZZ_CHECK(static_cast<std::size_t>(rc) <= out.size());
        FUZZ_CHECK(out.untouchedFrom(static_cast<std::size_t>(rc)));
    }
    return rc;
}

void arbitraryCall(bool encode, FuzzInput& input)
{
    int alg = 0;
    switch (input.byte() % 4) {
    case 0:
        alg = CLKEY_ALG_SM4_ECB;
        break;
    case 1:
        alg = CLKEY_ALG_SM2;
        break;
    case 2:
        alg = static_cast<int8_t>(input.byte());
        break;
    default:
        alg = input.int32();
        break;
    }
    const uint8_t pointers = input.byte();
    const bool nulls = pointers >= 0xF0;
    const uint8_t keyMode = input.byte();
    const uint8_t keyParameter = input.byte();
    const std::vector<uint8_t> key = input.bytes(input.byte());
    const uint8_t dataMode = input.byte();
    const uint8_t dataParameter = input.byte();
    const std::vector<uint8_t> data = input.rest();
    const int keyLen = chooseLength(keyMode, keyParameter, key.size());
    const int dataLen = chooseLength(dataMode, dataParameter, data.size());

    GuardedBuffer out(documentedMaximum(encode, alg, dataLen));
    const bool nullKey = nulls && (pointers & 1);
    const bool nullData = nulls && (pointers & 2);
    const bool nullOut = nulls && (pointers & 4);
    const int rc =
        checkedCall(encode, key, keyLen, data, dataLen, alg, out, nullKey, nullData, nullOut);

    // Any 16-byte key and whole blocks of data are valid SM4 input: it never refuses them.
    if (alg == CLKEY_ALG_SM4_ECB && !nullKey && !nullData && !nullOut && keyLen == 16 && dataLen > 0
        && dataLen % kSm4Block == 0 && dataLen <= kSm4MaxData)
        FUZZ_CHECK(rc == dataLen);
}

void sm4RoundTrip(FuzzInput& input)
{
    const std::vector<uint8_t> key = input.bytes(16);
    std::vector<uint8_t> plain = input.rest();
    if (key.size() != 16)
        return;
    plain.resize(plain.size() - plain.size() % kSm4Block);
    const int len = static_cast<int>(plain.size());

    GuardedBuffer cipher(plain.size());
    const int encrypted = checkedCall(true, key, 16, plain, len, CLKEY_ALG_SM4_ECB, cipher);
    if (plain.empty()) {
        FUZZ_CHECK(encrypted == CLKEY_ERR_DATA_LENGTH);
        return;
    }
    FUZZ_CHECK(encrypted == len);

    const std::vector<uint8_t> cipherBytes(cipher.bytes(), cipher.bytes() + len);
    GuardedBuffer back(plain.size());
    FUZZ_CHECK(checkedCall(false, key, 16, cipherBytes, len, CLKEY_ALG_SM4_ECB, back) == len);
    FUZZ_CHECK(std::memcmp(back.bytes(), plain.data(), plain.size()) == 0);
}

const EC_GROUP* sm2Group()
{
    static const clkey::EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
    FUZZ_CHECK(group != nullptr);
    return group.get();
}

// The public point d*G as 04||X||Y, computed here with libcrypto's EC arithmetic; false when d is
// not a usable private key (zero, or not below the group order).
bool publicPoint(const std::vector<uint8_t>& privateKey, uint8_t point[65])
{
    const EC_GROUP* group = sm2Group();
    clkey::BignumPtr d(BN_bin2bn(privateKey.data(), static_cast<int>(privateKey.size()), nullptr));
    FUZZ_CHECK(d != nullptr);
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group)) >= 0)
        return false;
    clkey::EcPointPtr product(EC_POINT_new(group));
    FUZZ_CHECK(product && EC_POINT_mul(group, product.get(), d.get(), nullptr, nullptr, nullptr));
    FUZZ_CHECK(
        EC_POINT_point2oct(group, product.get(), POINT_CONVERSION_UNCOMPRESSED, point, 65, nullptr)
        == 65);
    return true;
}

bool isCurvePoint(const uint8_t* point)
{
    const EC_GROUP* group = sm2Group();
    clkey::EcPointPtr decoded(EC_POINT_new(group));
    return decoded && EC_POINT_oct2point(group, decoded.get(), point, 65, nullptr) == 1
        && EC_POINT_is_on_curve(group, decoded.get(), nullptr) == 1;
}

void sm2RoundTrip(FuzzInput& input)
{
    const uint8_t flags = input.byte();
    const unsigned tamperAt = (unsigned{input.byte()} << 8) | input.byte();
    const uint8_t tamperMask = input.byte();
    const std::vector<uint8_t> privateKey = input.bytes(32);
    const std::vector<uint8_t> message = input.rest();
    if (privateKey.size() != 32)
        return;
    const int len = message.size() > INT_MAX - kSm2Overhead ? 0 : static_cast<int>(message.size());

    uint8_t point[65];
    if (!publicPoint(privateKey, point)) {
        // An unusable private key decrypts nothing, whatever the ciphertext.
        std::vector<uint8_t> cipher(message);
        cipher.resize(cipher.size() + kSm2Overhead, 0x04);
        GuardedBuffer out(message.size());
        FUZZ_CHECK(checkedCall(false, privateKey, 32, cipher, static_cast<int>(cipher.size()),
                               CLKEY_ALG_SM2, out)
                   < 0);
        return;
    }
    const bool prefixed = flags & 1;
    const std::vector<uint8_t> publicKey(point + (prefixed ? 0 : 1), point + 65);

    GuardedBuffer cipher(message.size() + kSm2Overhead);
    const int encrypted = checkedCall(true, publicKey, static_cast<int>(publicKey.size()), message,
                                      len, CLKEY_ALG_SM2, cipher);
    if (len == 0 || len > kSm2MaxMessage) {
        FUZZ_CHECK(encrypted == CLKEY_ERR_DATA_LENGTH);
        return;
    }
    FUZZ_CHECK(encrypted == len + kSm2Overhead);
    FUZZ_CHECK(isCurvePoint(cipher.bytes())); // C1 leads, as an uncompressed point

    std::vector<uint8_t> cipherBytes(cipher.bytes(), cipher.bytes() + encrypted);
    GuardedBuffer back(message.size());
    FUZZ_CHECK(checkedCall(false, privateKey, 32, cipherBytes, encrypted, CLKEY_ALG_SM2, back)
               == len);
    FUZZ_CHECK(std::memcmp(back.bytes(), message.data(), message.size()) == 0);

    // C3 binds C1 and C2 to the message: any changed byte makes decryption fail.
    if (tamperMask == 0)
        return;
    cipherBytes[tamperAt % cipherBytes.size()] ^= tamperMask;
    GuardedBuffer tampered(message.size());
    FUZZ_CHECK(checkedCall(false, privateKey, 32, cipherBytes, encrypted, CLKEY_ALG_SM2, tampered)
               < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    switch (input.byte() % 4) {
    case 0:
        arbitraryCall(true, input);
        break;
    case 1:
        arbitraryCall(false, input);
        break;
    case 2:
        sm4RoundTrip(input);
        break;
    default:
        sm2RoundTrip(input);
        break;
    }
    return 0;
}
