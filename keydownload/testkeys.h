// The PIN pad's test keys: the PIN pad panel downloads them (its fields show their uppercase hex)
// and the device checker decrypts the PIN block with them.
#ifndef TESTKEYS_H
#define TESTKEYS_H

inline constexpr char kTestMainKey[16] = {'\x5A', '\x1C', '\x7E', '\x3B', '\x9D', '\x04',
                                          '\xF2', '\xA6', '\xC8', '\xE1', '\xB3', '\xD5',
                                          '\xF7', '\x09', '\x2A', '\x4C'};
inline constexpr char kTestWorkKey[16] = {'\xB4', '\xE2', '\x9C', '\x71', '\xA0', '\x5D',
                                          '\x3F', '\x86', '\xE7', '\xC2', '\x19', '\x4B',
                                          '\x6A', '\xD0', '\x8F', '\x35'};

#endif
