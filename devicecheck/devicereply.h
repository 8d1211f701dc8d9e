// What a device function left in its guarded buffer, judged: its text up to the NUL within the
// size passed, whether that text is split-nibble text, printable ASCII or an SM2 public key, and
// whether anything was written past the size. Each ...Problem gives the reason in plain words,
// empty when there is none.
#ifndef DEVICEREPLY_H
#define DEVICEREPLY_H

#include <QByteArray>
#include <QString>

QByteArray toSplitNibble(const QByteArray& bytes);
QByteArray fromSplitNibble(const QByteArray& text);

// The text before the first NUL of out, when that NUL lies within its first size bytes.
bool terminatedText(const QByteArray& out, int size, QByteArray* text);
QString noNulProblem(int size);

// Any byte outside "0" to "?".
QString splitNibbleProblem(const QByteArray& text);
// Empty text, or any byte outside 0x20 to 0x7E.
QString printableProblem(const QByteArray& text);
// Any byte past the first size bytes of out that is no longer the guard pattern.
QString overrunProblem(const QByteArray& out, int size);
// The reply of GenerateKeyFromPw(size, out) that returned code: a NUL-terminated split-nibble
// text of 64 bytes X||Y or 65 bytes 04||X||Y on the SM2 curve, whose bytes go to key.
QString publicKeyProblem(int code, const QByteArray& out, int size, QByteArray* key);

#endif
