// Fuzz target for the simulator's text inputs: SetPwMkey, SetPwWkey, PN_WriteDeviceSN, and the
// PDF path of MP_SHOW_PDF and MP_ConfirmPDF. It links libClientScreen.so itself, so the calls go
// through the library's exported functions; the key library linked beside it plays the host.
//
// Input, byte 0 chooses the call:
//   0, 1  SetPwMkey / SetPwWkey with arbitrary text: length mode and parameter bytes (see
//         chooseLength; mode 0xFF passes a null text), then the text.
//   2, 3  the same with a real encrypted key: length mode and parameter bytes, a two-byte
//         position and a byte that changes the character there (0: no change; bit 7 set: that
//         byte itself, else its low nibble XORed into the character), then the key (the rest):
//         SM2-encrypted under the pad's public key, or SM4-encrypted under its main key.
//   4     PN_WriteDeviceSN: a flags byte (0xFF: null), then the serial number.
//   5, 6  MP_SHOW_PDF / MP_ConfirmPDF on a file: a timeout byte (0xE0 and above: negative), a
//         flags byte (0xFF: null path, 0xFE: null output), then the file's content.
//   7, 8  MP_SHOW_PDF / MP_ConfirmPDF with the rest of the input as the path itself: a timeout
//         byte, then the path.
// Key texts go in twice: as an exact-size copy of len characters with no NUL after them, and as a
// NUL-terminated copy; both must give the same code. Every code is checked against what the
// header documents, and the pad's keys are checked after each call (a failed call changes none)
// and put back to the known main and work keys, so each input runs from the same state.
#include "fuzzinput.h"

#include "clientscreen.h"
#include "clkey.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kKeySize = 16;
constexpr int kSm2Overhead = 97;
const uint8_t kMainKey[kKeySize] = {0x5A, 0x1C, 0x7E, 0x3B, 0x9D, 0x04, 0xF2, 0xA6,
                                    0xC8, 0xE1, 0xB3, 0xD5, 0xF7, 0x09, 0x2A, 0x4C};
const uint8_t kWorkKey[kKeySize] = {0xB4, 0xE2, 0x9C, 0x71, 0xA0, 0x5D, 0x3F, 0x86,
                                    0xE7, 0xC2, 0x19, 0x4B, 0x6A, 0xD0, 0x8F, 0x35};
// The PIN block of the default PIN 123456.
const uint8_t kPinBlock[kKeySize] = {0x06, 0x12, 0x34, 0x56, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

using Bytes = std::vector<uint8_t>;

// What the fuzzer knows the pad holds. An empty key: none, or (main key only) not known.
struct PadKeys {
    Bytes publicKey;
    Bytes mainKey;
    Bytes workKey;
};
PadKeys pad;
std::string scratchPdf;

Bytes hostCipher(bool encrypt, const Bytes& key, const Bytes& data, int alg)
{
    Bytes k(key), d(data);
    Bytes out(data.size() + kSm2Overhead + 16);
    CLKeyManage keys(nullptr, nullptr);
    char* kp = reinterpret_cast<char*>(k.data());
    char* dp = reinterpret_cast<char*>(d.data());
    char* op = reinterpret_cast<char*>(out.data());
    const int n = encrypt ? keys.EncodeKey(kp, int(k.size()), dp, int(d.size()), op, alg)
                          : keys.DecodeKey(kp, int(k.size()), dp, int(d.size()), op, alg);
    FUZZ_CHECK(n >= 0);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// The host's split-nibble codec, apart from the simulator's.
Bytes toSplitNibble(const Bytes& bytes)
{
    Bytes text;
    for (uint8_t b : bytes) {
        text.push_back(static_cast<uint8_t>('0' + (b >> 4)));
        text.push_back(static_cast<uint8_t>('0' + (b & 0x0F)));
    }
    return text;
}

Bytes fromSplitNibble(const uint8_t* text, std::size_t length)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < length; i += 2)
        bytes.push_back(static_cast<uint8_t>(((text[i] & 0x0F) << 4) | (text[i + 1] & 0x0F)));
    return bytes;
}

int sendText(int (*function)(const char*, int), const Bytes& text)
{
    ExactCopy copy(text.data(), text.size());
    return function(copy.data(), static_cast<int>(text.size()));
}

// The keys the pad holds are the ones the fuzzer expects: a PIN entry fails without a work key
// and otherwise gives the default PIN's block under the work key.
void checkPadKeys()
{
    GuardedBuffer out(255);
    const int code = InputPassword(120, "", "", "", 6, 255, out.data());
    if (pad.workKey.empty()) {
        FUZZ_CHECK(code == CS_ERR_NO_WORK_KEY);
        FUZZ_CHECK(out.untouchedFrom(0));
        return;
    }
    FUZZ_CHECK(code == CS_OK);
    FUZZ_CHECK(out.data()[2 * kKeySize] == '\0' && out.untouchedFrom(2 * kKeySize + 1));
    const Bytes block = hostCipher(false, pad.workKey, fromSplitNibble(out.bytes(), 2 * kKeySize),
                                   CLKEY_ALG_SM4_ECB);
    FUZZ_CHECK(block == Bytes(kPinBlock, kPinBlock + kKeySize));
}

// Puts the known main and work keys back wherever a call changed them.
void restorePadKeys()
{
    const Bytes mainKey(kMainKey, kMainKey + kKeySize);
    const Bytes workKey(kWorkKey, kWorkKey + kKeySize);
    if (pad.mainKey != mainKey) {
        FUZZ_CHECK(sendText(SetPwMkey,
                            toSplitNibble(hostCipher(true, pad.publicKey, mainKey, CLKEY_ALG_SM2)))
                   == CS_OK);
        pad.mainKey = mainKey;
        pad.workKey.clear();
    }
    if (pad.workKey != workKey) {
        FUZZ_CHECK(sendText(SetPwWkey,
                            toSplitNibble(hostCipher(true, mainKey, workKey, CLKEY_ALG_SM4_ECB)))
                   == CS_OK);
        pad.workKey = workKey;
    }
}

bool isSplitNibbleText(const uint8_t* text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] < 0x30 || text[i] > 0x3F)
            return false;
    return true;
}

// The code SetPwMkey (main) or SetPwWkey must give for the first len characters of text.
// genuine: the text is untouched split-nibble text of a real encrypted key of plainSize bytes.
int expectedKeyTextCode(bool main, const Bytes& text, int len, bool genuine, std::size_t plainSize)
{
    if (len < 0)
        return CS_ERR_NEGATIVE_SIZE;
    if (len == 0 || len % 2 != 0 || len > CS_MAX_KEY_TEXT)
        return CS_ERR_TEXT_LENGTH;
    if (!isSplitNibbleText(text.data(), static_cast<std::size_t>(len)))
        return CS_ERR_TEXT_CHARACTER;
    const std::size_t bytes = static_cast<std::size_t>(len) / 2;
    if (main) {
        // SM2 ciphertexts carry a check value: only the whole, untouched text decrypts.
        if (!genuine || static_cast<std::size_t>(len) != text.size())
            return CS_ERR_DECRYPT_FAILED;
        return plainSize == kKeySize ? CS_OK : CS_ERR_KEY_LENGTH;
    }
    // SM4-ECB decrypts any whole blocks, and only whole blocks.
    if (bytes % 16 != 0)
        return CS_ERR_DECRYPT_FAILED;
    return bytes == kKeySize ? CS_OK : CS_ERR_KEY_LENGTH;
}

// Sends the first len characters of text to SetPwMkey or SetPwWkey, checks the code and the keys
// the pad then holds, and restores them.
void keyTextCall(bool main, const Bytes& text, uint8_t mode, uint8_t parameter, bool genuine,
                 const Bytes& plain)
{
    int (*const function)(const char*, int) = main ? SetPwMkey : SetPwWkey;
    if (mode == 0xFF) {
        FUZZ_CHECK(function(nullptr, 2) == CS_ERR_NULL_INPUT);
        checkPadKeys();
        return;
    }
    const int len = chooseLength(mode, parameter, text.size());
    const int expected = expectedKeyTextCode(main, text, len, genuine, plain.size());

    // Only the first len characters are read: nothing after them, not even a NUL.
    ExactCopy exact(text.data(), len > 0 ? static_cast<std::size_t>(len) : 0);
    FUZZ_CHECK(function(exact.data(), len) == expected);
    std::string terminated(text.begin(), text.end());
    FUZZ_CHECK(function(terminated.c_str(), len) == expected);

    if (expected == CS_OK && main) {
        pad.mainKey = plain;
        pad.workKey.clear();
    } else if (expected == CS_OK) {
        pad.workKey = hostCipher(false, pad.mainKey,
                                 fromSplitNibble(text.data(), static_cast<std::size_t>(len)),
                                 CLKEY_ALG_SM4_ECB);
    }
    checkPadKeys();
    restorePadKeys();
}

// A genuine encrypted key as split-nibble text, with one character changed as the input says.
void genuineKeyText(bool main, FuzzInput& input)
{
    const uint8_t mode = input.byte();
    const uint8_t parameter = input.byte();
    const unsigned position = (unsigned{input.byte()} << 8) | input.byte();
    const uint8_t change = input.byte();
    Bytes plain = input.bytes(600);
    if (!main)
        plain.resize(plain.size() - plain.size() % 16);

    Bytes text;
    if (!plain.empty())
        text = toSplitNibble(main ? hostCipher(true, pad.publicKey, plain, CLKEY_ALG_SM2)
                                  : hostCipher(true, pad.mainKey, plain, CLKEY_ALG_SM4_ECB));
    bool genuine = true;
    if (!text.empty() && change != 0) {
        uint8_t& c = text[position % text.size()];
        const uint8_t changed = change & 0x80 ? change : static_cast<uint8_t>(c ^ (change & 0x0F));
        genuine = changed == c;
        c = changed;
    }
    keyTextCall(main, text, mode, parameter, genuine, plain);
}

std::string readSerial()
{
    GuardedBuffer out(256);
    FUZZ_CHECK(PN_ReadDeviceSN(0, "", 9600, out.data()) == CS_OK);
    const void* nul = std::memchr(out.data(), '\0', CS_MAX_SERIAL + 1);
    FUZZ_CHECK(nul != nullptr);
    const std::size_t length = static_cast<const char*>(nul) - out.data();
    FUZZ_CHECK(out.untouchedFrom(length + 1));
    return std::string(out.data(), length);
}

void writeSerial(FuzzInput& input)
{
    const uint8_t flags = input.byte();
    const Bytes sn = input.rest();
    const std::string before = readSerial();
    if (flags == 0xFF) {
        FUZZ_CHECK(PN_WriteDeviceSN(0, "", 9600, nullptr) == CS_ERR_NULL_INPUT);
        FUZZ_CHECK(readSerial() == before);
        return;
    }

    const std::string terminated(sn.begin(), sn.end());
    const std::string text(terminated.c_str()); // up to the first NUL
    bool control = false;
    bool nonAscii = false;
    for (std::size_t i = 0; i < text.size() && i < CS_MAX_SERIAL; ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        control = control || c < 0x20 || c == 0x7F;
        nonAscii = nonAscii || c >= 0x80;
    }
    const int code = PN_WriteDeviceSN(0, "", 9600, terminated.c_str());
    if (text.empty())
        FUZZ_CHECK(code == CS_ERR_SN_EMPTY);
    else if (text.size() > CS_MAX_SERIAL)
        FUZZ_CHECK(code == CS_ERR_SN_TOO_LONG);
    else if (control && nonAscii)
        FUZZ_CHECK(code == CS_ERR_SN_CONTROL || code == CS_ERR_SN_NON_ASCII);
    else if (control)
        FUZZ_CHECK(code == CS_ERR_SN_CONTROL);
    else if (nonAscii)
        FUZZ_CHECK(code == CS_ERR_SN_NON_ASCII);
    else
        FUZZ_CHECK(code == CS_OK);
    FUZZ_CHECK(readSerial() == (code == CS_OK ? text : before));

    // At most CS_MAX_SERIAL + 1 bytes are read, so a buffer that long needs no NUL.
    if (sn.size() >= CS_MAX_SERIAL + 1) {
        ExactCopy exact(sn.data(), CS_MAX_SERIAL + 1);
        FUZZ_CHECK(PN_WriteDeviceSN(0, "", 9600, exact.data()) == code);
    }
}

int chooseTimeout(uint8_t byte)
{
    if (byte == 0xFF)
        return INT_MIN;
    return byte < 0xE0 ? byte : 0xDF - byte;
}

// Shows or confirms path; checks the output buffer and returns the code.
int showOrConfirm(bool confirm, int timeout, const char* path, bool nullOutput)
{
    if (!confirm)
        return MP_SHOW_PDF(0, "", 9600, timeout, path);
    GuardedBuffer out(256);
    const int code = MP_ConfirmPDF(0, "", 9600, timeout, path, nullOutput ? nullptr : out.data());
    if (code == CS_OK)
        FUZZ_CHECK(out.data()[0] == '1' && out.data()[1] == '\0' && out.untouchedFrom(2));
    else
        FUZZ_CHECK(out.untouchedFrom(0));
    return code;
}

void pdfFile(bool confirm, FuzzInput& input)
{
    const int timeout = chooseTimeout(input.byte());
    const uint8_t flags = input.byte();
    const Bytes content = input.rest();

    const int fd = open(scratchPdf.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(content.empty()
               || write(fd, content.data(), content.size())
                   == static_cast<ssize_t>(content.size()));
    close(fd);

    const bool nullPath = flags == 0xFF;
    const bool nullOutput = confirm && flags == 0xFE;
    const int code =
        showOrConfirm(confirm, timeout, nullPath ? nullptr : scratchPdf.c_str(), nullOutput);
    const bool isPdf = content.size() >= 5 && std::memcmp(content.data(), "%PDF-", 5) == 0;
    if (nullPath || nullOutput) {
        const int nullCode = nullPath ? CS_ERR_NULL_INPUT : CS_ERR_NULL_OUTPUT;
        FUZZ_CHECK(code == nullCode || (timeout < 0 && code == CS_ERR_NEGATIVE_TIMEOUT));
    } else if (timeout < 0) {
        FUZZ_CHECK(code == CS_ERR_NEGATIVE_TIMEOUT);
    } else {
        FUZZ_CHECK(code == (isPdf ? CS_OK : CS_ERR_PDF_NOT_PDF));
    }
}

void pdfPath(bool confirm, FuzzInput& input)
{
    const int timeout = chooseTimeout(input.byte());
    const Bytes bytes = input.rest();
    const std::string path(bytes.begin(), bytes.end());
    // Opening some device nodes has effects of its own (a watchdog starts counting), so no path
    // that could name one under /dev is tried.
    if (std::string(path.c_str()).find("dev") != std::string::npos)
        return;
    const int code = showOrConfirm(confirm, timeout, path.c_str(), false);
    if (timeout < 0)
        FUZZ_CHECK(code == CS_ERR_NEGATIVE_TIMEOUT);
    else
        FUZZ_CHECK(code == CS_OK || code == CS_ERR_PDF_MISSING || code == CS_ERR_PDF_UNREADABLE
                   || code == CS_ERR_PDF_NOT_PDF);
}

void removePdfFile()
{
    unlink(scratchPdf.c_str());
    rmdir(scratchPdf.substr(0, scratchPdf.rfind('/')).c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The PIN block checks assume the default PIN; the serial number starts at its default.
    unsetenv("QUORVEL_SIM_PIN");
    unsetenv("QUORVEL_SIM_SN");

    char text[256] = {};
    FUZZ_CHECK(GenerateKeyFromPw(sizeof text, text) == CS_OK);
    pad.publicKey = fromSplitNibble(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    FUZZ_CHECK(pad.publicKey.size() == 64);
    restorePadKeys();
    checkPadKeys();

    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_simulator.XXXXXX";
    FUZZ_CHECK(mkdtemp(&dir[0]) != nullptr);
    scratchPdf = dir + "/file.pdf";
    const int fd = open(scratchPdf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    close(fd);
    std::atexit(removePdfFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const uint8_t call = input.byte() % 9;
    switch (call) {
    case 0:
    case 1: {
        const uint8_t mode = input.byte();
        const uint8_t parameter = input.byte();
        keyTextCall(call == 0, input.rest(), mode, parameter, false, Bytes());
        break;
    }
    case 2:
    case 3:
        genuineKeyText(call == 2, input);
        break;
    case 4:
        writeSerial(input);
        break;
    case 5:
    case 6:
        pdfFile(call == 6, input);
        break;
    default:
        pdfPath(call == 8, input);
        break;
    }
    return 0;
}
