// The numbers of the PIN pad's key download, shared by the PIN pad panel and the device checker:
// the key library's algorithm codes, and the longest ciphertext each download accepts.
#ifndef KEYDOWNLOAD_H
#define KEYDOWNLOAD_H

#include "clkey.h"

// The main key goes under the device's SM2 public key, the work key under the main key with SM4.
constexpr int kSm2 = CLKEY_ALG_SM2;
constexpr int kSm4 = CLKEY_ALG_SM4_ECB;

// The buffers that hold a downloaded key's split-nibble text (two characters a byte) and its NUL.
constexpr int kMainKeyTextSize = 1024;
constexpr int kWorkKeyTextSize = 256;

// The longest ciphertexts whose split-nibble text still leaves room for the NUL: 511 and 127.
constexpr int kMaxMainKeyCipher = (kMainKeyTextSize - 1) / 2;
constexpr int kMaxWorkKeyCipher = (kWorkKeyTextSize - 1) / 2;

#endif
