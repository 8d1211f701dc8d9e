/* PIN pad simulator: a stand-in for the terminal's device library libClientScreen.so.
 * Declares the eleven device functions, the simulator's mark and every code they return. */
#ifndef CLIENTSCREEN_H
#define CLIENTSCREEN_H

#define CLIENTSCREEN_EXPORT __attribute__((visibility("default")))

/* Longest split-nibble key text that SetPwMkey and SetPwWkey accept, in characters. */
#define CS_MAX_KEY_TEXT 1024
/* Longest serial number, in characters (the out buffer of PN_ReadDeviceSN is 256 bytes). */
#define CS_MAX_SERIAL 32

/* Return codes. 0 is success; every failure has its own negative code, kept clear of the key
 * library's own codes (-1 to -8). A call that fails changes no state and writes no output. */
enum ClientScreenResult {
    CS_OK = 0,

    /* Arguments */
    CS_ERR_NULL_OUTPUT = -100,   /* the output buffer pointer is null */
    CS_ERR_NULL_INPUT = -101,    /* a required input text (key text, serial number, path) is null */
    CS_ERR_NEGATIVE_SIZE = -102, /* a buffer size or length argument is negative */
    CS_ERR_OUTPUT_TOO_SMALL = -103, /* the output text and its NUL would not fit the given size */
    CS_ERR_NEGATIVE_TIMEOUT = -104, /* the timeout is negative */
    CS_ERR_NOT_SUPPORTED = -105,    /* the function exists but the simulator does not offer it */
    CS_ERR_INTERNAL = -106,         /* the key library failed on valid input */

    /* PIN pad */
    CS_ERR_TEXT_LENGTH = -110,    /* key text length zero, odd, or above CS_MAX_KEY_TEXT */
    CS_ERR_TEXT_CHARACTER = -111, /* key text holds a character outside "0".."?" */
    CS_ERR_NO_KEY_PAIR = -112,    /* SetPwMkey before any GenerateKeyFromPw */
    CS_ERR_NO_MAIN_KEY = -113,    /* SetPwWkey before a main key was set */
    CS_ERR_NO_WORK_KEY = -114,    /* InputPassword before a work key was set */
    CS_ERR_DECRYPT_FAILED = -115, /* the key library rejected the encrypted key */
    CS_ERR_KEY_LENGTH = -116,     /* the decrypted key is not 16 bytes */
    CS_ERR_PIN_TOO_LONG = -117,   /* the PIN has more digits than InputPassword's maxLen */
    CS_ERR_PIN_INVALID = -118,    /* QUORVEL_SIM_PIN is not 4 to 12 decimal digits */

    /* Serial number */
    CS_ERR_SN_EMPTY = -130,     /* the serial number is the empty text */
    CS_ERR_SN_TOO_LONG = -131,  /* the serial number is longer than CS_MAX_SERIAL characters */
    CS_ERR_SN_CONTROL = -132,   /* the serial number holds a control byte (below 0x20, or 0x7F) */
    CS_ERR_SN_NON_ASCII = -133, /* the serial number holds a byte of 0x80 or above */

    /* PDF */
    CS_ERR_PDF_MISSING = -140,    /* no file at the path */
    CS_ERR_PDF_UNREADABLE = -141, /* the file cannot be opened or read, or is not a regular file */
    CS_ERR_PDF_NOT_PDF = -142     /* the file does not start with "%PDF-" */
};

/* Fault modes, for testing a checker of device libraries: QUORVEL_SIM_FAULT, read at every call,
 * makes the simulator misbehave on purpose. Unset, empty or any other value: no fault.
 *   overrun          GenerateKeyFromPw and InputPassword write 8 bytes just past the size they
 *                    are given, PN_ReadDeviceSN just past its 256-byte buffer
 *   ignore-size      GenerateKeyFromPw and InputPassword write their full text whatever size they
 *                    are given (a size too small or negative no longer fails)
 *   accept-tampered  SetPwMkey answers CS_OK for every non-null text it would refuse (tampered,
 *                    empty, malformed) and keeps the main key it had
 *   wrong-pin-block  InputPassword encrypts the block of a different PIN: the last digit plus one
 *   hang             InputPassword returns only after sleeping its timeout's seconds */

#ifdef __cplusplus
extern "C" {
#endif

/* PIN pad.
 *
 * The PIN pad holds an SM2 key pair, a main key and a work key (16 bytes each). Keys travel as
 * split-nibble text: each byte b as the two characters 0x30 | (b >> 4) and 0x30 | (b & 0x0F). */

/* Makes a new SM2 key pair and keeps its private key; the main and work keys are kept.
 *   size: capacity of out in bytes, at least 129
 *   out:  receives the public key (64 bytes X||Y) as 128 characters of split-nibble text + NUL
 * Codes: CS_OK, CS_ERR_NULL_OUTPUT, CS_ERR_NEGATIVE_SIZE, CS_ERR_OUTPUT_TOO_SMALL,
 *        CS_ERR_INTERNAL. */
CLIENTSCREEN_EXPORT int GenerateKeyFromPw(int size, char* out);

/* Sets the main key: text is an SM2 ciphertext (C1||C3||C2) under the current public key, as
 * split-nibble text. A new main key drops the work key.
 *   text: the split-nibble text; only its first len characters are read
 *   len:  number of characters, even, 2 to CS_MAX_KEY_TEXT
 * Codes: CS_OK, CS_ERR_NULL_INPUT, CS_ERR_NEGATIVE_SIZE, CS_ERR_TEXT_LENGTH,
 *        CS_ERR_TEXT_CHARACTER, CS_ERR_NO_KEY_PAIR, CS_ERR_DECRYPT_FAILED, CS_ERR_KEY_LENGTH,
 *        CS_ERR_INTERNAL. */
CLIENTSCREEN_EXPORT int SetPwMkey(const char* text, int len);

/* Sets the work key: text is the key encrypted under the main key with SM4-ECB, as split-nibble
 * text. Arguments as for SetPwMkey.
 * Codes: CS_OK, CS_ERR_NULL_INPUT, CS_ERR_NEGATIVE_SIZE, CS_ERR_TEXT_LENGTH,
 *        CS_ERR_TEXT_CHARACTER, CS_ERR_NO_MAIN_KEY, CS_ERR_DECRYPT_FAILED, CS_ERR_KEY_LENGTH,
 *        CS_ERR_INTERNAL. */
CLIENTSCREEN_EXPORT int SetPwWkey(const char* text, int len);

/* Takes a PIN entry. The PIN is QUORVEL_SIM_PIN (4 to 12 digits; 123456 when unset or empty).
 * The PIN block is 0x0N (N the number of digits), the digits as BCD, then F nibbles up to 16
 * bytes; it is encrypted with SM4-ECB under the work key. QUORVEL_SIM_PIN_BLOCK=iso9564-2, read
 * at every call, makes the first byte 0x2N instead (ISO 9564 format 2); it is not a fault.
 *   timeout: seconds the pad would wait for the PIN, 0 or more (nobody types, so it is not used)
 *   prompt1, prompt2, prompt3: texts the pad would show; not read, null allowed
 *   maxLen:  most PIN digits accepted, 0 or more
 *   outSize: capacity of out in bytes, at least 33
 *   out:     receives the encrypted PIN block as 32 characters of split-nibble text + NUL
 * Codes: CS_OK, CS_ERR_NULL_OUTPUT, CS_ERR_NEGATIVE_SIZE, CS_ERR_OUTPUT_TOO_SMALL,
 *        CS_ERR_NEGATIVE_TIMEOUT, CS_ERR_NO_WORK_KEY, CS_ERR_PIN_INVALID, CS_ERR_PIN_TOO_LONG,
 *        CS_ERR_INTERNAL. */
CLIENTSCREEN_EXPORT int InputPassword(int timeout, const char* prompt1, const char* prompt2,
                                      const char* prompt3, int maxLen, int outSize, char* out);

/* Serial number and PDF functions: port, param and baud name the device's serial line; the
 * simulator has none and does not read them (param may be null). */

/* Reads the serial number. Until one is written it is QUORVEL_SIM_SN, or QV000001 when that is
 * unset or not 1 to 32 printable ASCII characters.
 *   out: a 256-byte buffer; receives at most CS_MAX_SERIAL characters + NUL
 * Codes: CS_OK, CS_ERR_NULL_OUTPUT. */
CLIENTSCREEN_EXPORT int PN_ReadDeviceSN(int port, const char* param, int baud, char* out);

/* Writes the serial number that later reads return.
 *   sn: 1 to CS_MAX_SERIAL printable ASCII characters (0x20 to 0x7E), NUL-terminated; at most
 *       CS_MAX_SERIAL + 1 bytes are read
 * Codes: CS_OK, CS_ERR_NULL_INPUT, CS_ERR_SN_EMPTY, CS_ERR_SN_TOO_LONG, CS_ERR_SN_CONTROL,
 *        CS_ERR_SN_NON_ASCII. */
CLIENTSCREEN_EXPORT int PN_WriteDeviceSN(int port, const char* param, int baud, const char* sn);

/* Shows a PDF on the device's screen: succeeds when path names a readable regular file that
 * starts with "%PDF-".
 *   timeout: seconds the page stays up, 0 or more
 *   path:    the file's path, NUL-terminated (UTF-8)
 * Codes: CS_OK, CS_ERR_NULL_INPUT, CS_ERR_NEGATIVE_TIMEOUT, CS_ERR_PDF_MISSING,
 *        CS_ERR_PDF_UNREADABLE, CS_ERR_PDF_NOT_PDF. */
CLIENTSCREEN_EXPORT int MP_SHOW_PDF(int port, const char* param, int baud, int timeout,
                                    const char* path);

/* Shows a PDF for the user to confirm; the simulated user always confirms.
 *   timeout, path: as for MP_SHOW_PDF
 *   out: a 256-byte buffer; receives "1" + NUL (confirmed)
 * Codes: those of MP_SHOW_PDF and CS_ERR_NULL_OUTPUT. */
CLIENTSCREEN_EXPORT int MP_ConfirmPDF(int port, const char* param, int baud, int timeout,
                                      const char* path, char* out);

/* The simulator's mark. A library that exports this name is this project's simulator, not a
 * device: the tool looks the name up (and calls nothing) to tell a simulated answer from a real
 * device's. Returns the simulator's version text, for example "quorvel-simulator 1.0". */
CLIENTSCREEN_EXPORT const char* QV_SimulatorVersion(void);

/* Not offered by the simulator: each returns CS_ERR_NOT_SUPPORTED and reads and writes nothing. */

/* Shows an information page for the user to confirm.
 *   html: the page's HTML text; out: a 256-byte buffer for the user's answer */
CLIENTSCREEN_EXPORT int MP_StartInfoHtml(int port, const char* param, int baud, int timeout,
                                         const char* html, char* out);

/* Has the user sign a PDF.
 *   pdfPath: the file; position: "x,y,width,height" of the signature area;
 *   out: a 256-byte buffer for the path of the signed PDF */
CLIENTSCREEN_EXPORT int MP_SignPDF(int port, const char* param, int baud, int timeout,
                                   const char* pdfPath, const char* position, char* out);

/* As MP_SignPDF, first speaking voice (a text the device reads aloud). */
CLIENTSCREEN_EXPORT int MP_SignPDF_Voice(int port, const char* param, int baud, int timeout,
                                         const char* pdfPath, const char* position,
                                         const char* voice, char* out);

#ifdef __cplusplus
}
#endif

#endif
