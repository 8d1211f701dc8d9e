// The PIN pad's key chain as device-check drives it: fresh random main and work keys, the key pair
// request, the main key encrypted under the public key the device reported (or with one bit of C3
// flipped, which a device must refuse), the work key encrypted under the main key, and the PIN
// entry, whose block must decrypt under the work key to the PIN typed. The checks and every round
// of the soak go through this one chain, each step made and judged the same way.
#ifndef KEYCHAIN_H
#define KEYCHAIN_H

#include "devicecheck/deviceprocess.h"
#include "devicecheck/pinblockreader.h"

#include <QByteArray>
#include <QString>

class KeyChain {
public:
    explicit KeyChain(DeviceProcess* process);

    // New main and work keys from libcrypto's random generator; false when it cannot make them.
    bool freshKeys();
    // The first 3 bytes of a key's SM4 encryption of 16 zero bytes, in hex: names a key in the
    // evidence without giving it away.
    QString mainKeyCheckValue() const;
    QString workKeyCheckValue() const;

    // GenerateKeyFromPw with a buffer of size bytes. The public key is kept when the call
    // returned a point on the SM2 curve; otherwise publicKeyProblem() says why there is none.
    CallResult requestKeyPair(int size);
    const QByteArray& publicKey() const { return m_publicKey; }
    const QString& publicKeyProblem() const { return m_publicKeyProblem; }

    // The main key's SM2 ciphertext under the public key, sent with SetPwMkey; one bit of C3
    // flipped when tampered. When the key library cannot make it nothing is sent, and problem
    // says why; the call then did not return and has no failure of its own.
    CallResult sendMainKey(bool tampered, QString* problem, int* cipherSize = nullptr);
    // The work key's SM4 ciphertext under the main key, sent with SetPwWkey; as sendMainKey.
    CallResult sendWorkKey(QString* problem, int* cipherSize = nullptr);
    // The PIN entry. problem is empty when its block decrypts under the work key to pin; reading
    // then holds the block's layout and PIN.
    CallResult enterPin(const QString& pin, PinBlockReading* reading, QString* problem);

private:
    // The PIN entry's answer judged, as enterPin says.
    QString pinBlockProblem(const CallResult& call, const QString& pin,
                            PinBlockReading* reading) const;

    DeviceProcess* m_process;
    QByteArray m_mainKey; // never shown
    QByteArray m_workKey;
    QByteArray m_publicKey; // empty until a valid key pair was reported
    QString m_publicKeyProblem = QStringLiteral("no key pair was requested");
};

#endif
