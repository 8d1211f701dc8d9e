// Reads the PIN out of a decrypted 16-byte PIN block, in the layouts the checker knows: the
// simulator's (control nibble 0) and ISO 9564 format 2 (control nibble 2). Both hold the length
// nibble N (4 to 12), N BCD digits and F nibbles to the end of the block.
#ifndef PINBLOCKREADER_H
#define PINBLOCKREADER_H

#include <QByteArray>
#include <QString>

struct PinBlockReading {
    bool recognised = false;
    QString layout; // the layout's name, when recognised
    QString pin;    // the PIN's digits, when recognised
};

PinBlockReading readPinBlock(const QByteArray& block);

#endif
