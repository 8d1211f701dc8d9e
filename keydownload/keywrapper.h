// The tool's two entry points into the key library. Both stand in the executable's dynamic symbol
// table; the tool itself calls only pinpadEnAndDec.
#ifndef KEYWRAPPER_H
#define KEYWRAPPER_H

#include <string>

// Encrypts (decrypt == 0) or decrypts (any other value) dataLen bytes of data under key with the
// key library's algorithm alg, into the caller's zeroed out buffer. Returns the key library's
// result unchanged: the number of bytes written, or its negative error code.
int pinpadEnAndDec(char* key, int keyLen, char* data, int dataLen, char* out, int alg, int decrypt);

// A key pair of the key library's type code as "<public hex>|<private hex>"; empty when the key
// library fails or reports lengths that do not fit the text buffer.
std::string generateKey(int type);

#endif
