// Byte/text codecs: split-nibble text (each nibble added to '0') for the PIN pad functions and
// uppercase hex for the debug log. Callers zero their buffers; no function writes a NUL.
#ifndef UTILS_H
#define UTILS_H

class Utils {
public:
    Utils();
    ~Utils();

    // Split-nibble encode len bytes into 2*len characters; nothing for len <= 0 or null pointers.
    static void hexStringAdd30(const void* in, int len, void* out);
    // Split-nibble decode len characters into len/2 bytes from each character's low nibble.
    static void hexStringDec30(const void* in, int len, void* out);
    // Uppercase hex encode len bytes into 2*len characters; nothing for len <= 0 or null pointers.
    static void bytesToHexString(const unsigned char* in, int len, unsigned char* out);
    // Hex decode len characters into len/2 bytes, invalid digits counting as 0.
    static void hexStringToBytes(const unsigned char* in, int len, unsigned char* out);
    // Value of one hex digit, either case; 0 for any other character.
    static char charToHex(char c);
    // Uppercase hex digit of a nibble 0..15; NUL for any other value.
    static char hexToChar(char n);
};

#endif
