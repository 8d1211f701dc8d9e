// Split-nibble text: each byte b travels as the two characters 0x30 | (b >> 4) and
// 0x30 | (b & 0x0F), that is "0" to "9" and ":" to "?".
#ifndef SPLITNIBBLE_H
#define SPLITNIBBLE_H

#include <cstddef>

// Writes 2 * count characters for count bytes; no NUL.
void splitNibbleEncode(const unsigned char* bytes, std::size_t count, char* text);

// Reads `length` characters (even) into length / 2 bytes. Returns false, with the bytes then
// undefined, when a character lies outside "0".."?".
bool splitNibbleDecode(const char* text, std::size_t length, unsigned char* bytes);

#endif
