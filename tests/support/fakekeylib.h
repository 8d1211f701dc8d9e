// Scripted test double of the key library: CLKeyManage and ConvAscii answer as the test says and
// record what the key wrapper passed them.
#ifndef FAKEKEYLIB_H
#define FAKEKEYLIB_H

#include <QByteArray>
#include <QStringList>

struct FakeKeyLib {
    // Script
    int cryptResult = 0;       // returned by EncodeKey and DecodeKey
    QByteArray cryptOutput;    // copied into their output buffer
    bool throwOnCrypt = false; // EncodeKey and DecodeKey throw instead of answering
    int generateResult = 0;    // returned by GenerateKey
    int publicLength = 0;      // lengths GenerateKey reports
    int privateLength = 0;
    QByteArray publicKey; // bytes GenerateKey writes into the two key buffers
    QByteArray privateKey;

    // Record
    QStringList calls; // "EncodeKey", "DecodeKey", "GenerateKey", "ConvAscii"
    QByteArray key;    // key bytes of the last Encode/DecodeKey (keyLen of them)
    int keyLength = 0;
    QByteArray data;
    int dataLength = 0;
    int algorithm = 0;
    int generateType = 0;
    int constructed = 0;
    int destroyed = 0;
    QStringList constructorTexts;
};

// The one scripted key library of the test process; resetFakeKeyLib() restores it to defaults.
FakeKeyLib& fakeKeyLib();
void resetFakeKeyLib();

#endif
