// Whether the public key a PIN pad reports is a point on the SM2 curve, checked by libcrypto.
#ifndef SM2POINT_H
#define SM2POINT_H

#include <QByteArray>

// key: 64 bytes X||Y, or 65 bytes 04||X||Y. False for any other length or prefix.
bool isSm2Point(const QByteArray& key);
// Whether key is the curve's generator, whose private key is 1: anyone can decrypt under it.
bool isSm2Generator(const QByteArray& key);

#endif
