// Key-chain benchmark: the PIN pad panel's four handlers (key pair, main key, work key, PIN
// entry) against the simulator, and the same cryptography called directly on libcrypto, run in
// alternating blocks; prints the median time of one whole chain of each as a table row.
//
// usage: bench_keychain [ROUNDS [CHAINS_PER_ROUND]]
// Debug lines of the panel go to standard error, as in the tool; scripts/bench sends them to a
// file.
#include "benchtable.h"
#include "opensslcompat.h"
#include "panels/pinpadwidget.h"

#include <QApplication>
#include <QLibrary>
#include <QStringList>

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// The keys the panel downloads (its test main and work keys) and the PIN block the simulator
// builds for its default PIN 123456.
const unsigned char kMainKey[16] = {0x5A, 0x1C, 0x7E, 0x3B, 0x9D, 0x04, 0xF2, 0xA6,
                                    0xC8, 0xE1, 0xB3, 0xD5, 0xF7, 0x09, 0x2A, 0x4C};
const unsigned char kWorkKey[16] = {0xB4, 0xE2, 0x9C, 0x71, 0xA0, 0x5D, 0x3F, 0x86,
                                    0xE7, 0xC2, 0x19, 0x4B, 0x6A, 0xD0, 0x8F, 0x35};
const unsigned char kPinBlock[16] = {0x06, 0x12, 0x34, 0x56, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

using clkey::CipherCtxPtr;
using clkey::PkeyCtxPtr;
using clkey::PkeyPtr;

// SM4-ECB without padding over one 16-byte block.
bool sm4Block(bool encrypt, const unsigned char* key, const unsigned char* in, unsigned char* out)
{
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int written = 0;
    int finalWritten = 0;
    return ctx && clkey::sm4EcbInit(ctx.get(), key, encrypt)
        && EVP_CipherUpdate(ctx.get(), out, &written, in, 16) == 1
        && EVP_CipherFinal_ex(ctx.get(), out + written, &finalWritten) == 1
        && written + finalWritten == 16;
}

// What the chain computes, straight on libcrypto: an SM2 key pair; the main key SM2-encrypted
// under its public key and decrypted under its private key; the work key SM4-encrypted and
// decrypted under the main key; the PIN block SM4-encrypted under the work key.
bool directChain(unsigned char encryptedPin[16])
{
    PkeyPtr key = clkey::sm2GenerateKeyPair();
    if (!key)
        return false;

    PkeyCtxPtr encryptCtx = clkey::sm2CipherContext(key.get(), true);
    unsigned char sm2Cipher[256];
    std::size_t sm2CipherLen = sizeof sm2Cipher;
    if (!encryptCtx
        || EVP_PKEY_encrypt(encryptCtx.get(), sm2Cipher, &sm2CipherLen, kMainKey, 16) != 1)
        return false;
    PkeyCtxPtr decryptCtx = clkey::sm2CipherContext(key.get(), false);
    unsigned char mainKey[256];
    std::size_t mainKeyLen = sizeof mainKey;
    if (!decryptCtx
        || EVP_PKEY_decrypt(decryptCtx.get(), mainKey, &mainKeyLen, sm2Cipher, sm2CipherLen) != 1
        || mainKeyLen != 16 || std::memcmp(mainKey, kMainKey, 16) != 0)
        return false;

    unsigned char sm4Cipher[16];
    unsigned char workKey[16];
    if (!sm4Block(true, mainKey, kWorkKey, sm4Cipher)
        || !sm4Block(false, mainKey, sm4Cipher, workKey) || std::memcmp(workKey, kWorkKey, 16) != 0)
        return false;

    return sm4Block(true, workKey, kPinBlock, encryptedPin);
}

double elapsedUs(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int chainsPerRound = argc > 2 ? std::atoi(argv[2]) : 10;
    if (rounds < 1 || chainsPerRound < 1) {
        std::fprintf(stderr, "usage: %s [ROUNDS [CHAINS_PER_ROUND]]\n", argv[0]);
        return 2;
    }

    PinPadWidget panel;
    QLibrary library(QStringLiteral(SIMULATOR_PATH));
    if (!library.load()) {
        std::fprintf(stderr, "cannot load the simulator: %s\n", qPrintable(library.errorString()));
        return 1;
    }
    panel.loadLibrary(&library);
    QStringList lines;
    QObject::connect(&panel, &BaseWidget::onMessage,
                     [&lines](const QString& line) { lines << line; });

    const QStringList tags{QStringLiteral("(申请公私钥对)GenerateKeyFromPw:[0] "),
                           QStringLiteral("(下载主密钥)SetPwMkey:[0] "),
                           QStringLiteral("(下载工作密钥)SetPwWkey:[0] "),
                           QStringLiteral("(输入密码)InputPassword:[0] ")};
    auto panelChain = [&]() -> double {
        lines.clear();
        const Clock::time_point start = Clock::now();
        panel.onPairKeyClick();
        panel.onMainKeyClick();
        panel.onWorkKeyClick();
        panel.onInputPinClick();
        const double us = elapsedUs(start);
        // A step that failed would make the chain look fast: every step must have answered 0.
        for (int step = 0; step < 4; ++step) {
            if (lines.value(step).left(tags[step].size()) != tags[step]) {
                std::fprintf(stderr, "panel step %d failed: %s\n", step + 1,
                             qPrintable(lines.value(step)));
                std::exit(1);
            }
        }
        return us;
    };
    auto libcryptoChain = [&]() -> double {
        unsigned char encryptedPin[16];
        const Clock::time_point start = Clock::now();
        const bool done = directChain(encryptedPin);
        const double us = elapsedUs(start);
        if (!done) {
            std::fprintf(stderr, "direct libcrypto chain failed\n");
            std::exit(1);
        }
        return us;
    };

    // Unmeasured: first calls load providers and fill caches on both sides.
    panelChain();
    libcryptoChain();

    std::vector<double> panelUs, libcryptoUs;
    for (int round = 0; round < rounds; ++round) {
        for (int order = 0; order < 2; ++order) {
            const bool panelTurn = (order == 0) == (round % 2 == 0);
            for (int chain = 0; chain < chainsPerRound; ++chain)
                (panelTurn ? panelUs : libcryptoUs)
                    .push_back(panelTurn ? panelChain() : libcryptoChain());
        }
    }

    char measure[160];
    std::snprintf(measure, sizeof measure,
                  "four-step key chain: panel + simulator vs libcrypto, µs (median of %d)",
                  rounds * chainsPerRound);
    printRatioRow(measure, median(panelUs), median(libcryptoUs), 1.3);
    return 0;
}
