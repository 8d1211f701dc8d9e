// The PIN pad's key download, shared by the PIN pad panel and the device checker: the key
// library's algorithm codes, the longest ciphertext each download accepts, and the one call of
// the key library that both make through the key wrapper.
#ifndef KEYDOWNLOAD_H
#define KEYDOWNLOAD_H

#include "clkey.h"

#include <QByteArray>
#include <QString>

// The main key goes under the device's SM2 public key, the work key under the main key with SM4.
constexpr int kSm2 = CLKEY_ALG_SM2;
constexpr int kSm4 = CLKEY_ALG_SM4_ECB;

// The buffers that hold a downloaded key's split-nibble text (two characters a byte) and its NUL.
constexpr int kMainKeyTextSize = 1024;
constexpr int kWorkKeyTextSize = 256;

// The longest ciphertexts whose split-nibble text still leaves room for the NUL: 511 and 127.
constexpr int kMaxMainKeyCipher = (kMainKeyTextSize - 1) / 2;
constexpr int kMaxWorkKeyCipher = (kWorkKeyTextSize - 1) / 2;

// How a call of the key library ended. Only Done hands back bytes; every caller words the other
// three its own way.
enum class KeyLibraryOutcome {
    Done,    // 0 < L <= the caller's maximum
    Threw,   // the key library threw; thrown holds its text when it threw a std::exception
    Failed,  // L <= 0
    TooLong, // L above the caller's maximum
};

struct KeyLibraryResult {
    KeyLibraryOutcome outcome = KeyLibraryOutcome::Failed;
    int length = 0;   // L, the key library's result, when it answered
    QByteArray bytes; // the L bytes written, when Done
    QString thrown;   // what() of the exception, when it threw one; null otherwise
};

// Encrypts (decrypt false) or decrypts data under key with the key library's algorithm code,
// through pinpadEnAndDec, into a zeroed buffer far larger than any answer the callers accept.
// Nothing but the returned bytes leaves the call: the buffer is wiped before it returns.
KeyLibraryResult callKeyLibrary(const QByteArray& key, const QByteArray& data, int algorithm,
                                bool decrypt, int maxLength);

#endif
