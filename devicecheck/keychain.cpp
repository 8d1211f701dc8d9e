#include "devicecheck/keychain.h"

#include "device/devicecalls.h"
#include "devicecheck/devicereply.h"
#include "keydownload/keydownload.h"

#include <openssl/rand.h>

namespace {
// The key library's SM2 ciphertext is C1 (65 bytes) || C3 (32 bytes) || C2. Flipping a bit there
// changes the ciphertext whatever the order, so a device must refuse it either way.
constexpr int kC3Offset = 65;
constexpr int kC3Size = 32;
constexpr int kKeySize = 16;
constexpr int kPinBlockSize = 16;
constexpr int kCheckValueSize = 3;

// One call of the key library, as the tool makes it; the output, or empty with the reason.
QByteArray keyLibrary(const QByteArray& key, const QByteArray& data, int algorithm, bool decrypt,
                      int maxLength, QString* problem)
{
    const KeyLibraryResult call = callKeyLibrary(key, data, algorithm, decrypt, maxLength);
    switch (call.outcome) {
    case KeyLibraryOutcome::Done:
        return call.bytes;
    case KeyLibraryOutcome::Threw:
        *problem = call.thrown.isNull() ? QStringLiteral("the key library threw")
                                        : QStringLiteral("the key library threw: ") + call.thrown;
        break;
    case KeyLibraryOutcome::Failed:
    case KeyLibraryOutcome::TooLong:
        *problem = QStringLiteral("the key library answered %1 (%2 under algorithm %3)")
                       .arg(call.length)
                       .arg(decrypt ? QStringLiteral("decrypting") : QStringLiteral("encrypting"))
                       .arg(algorithm);
        break;
    }
    return QByteArray();
}

QString checkValue(const QByteArray& key)
{
    QString problem;
    const QByteArray cipher =
        keyLibrary(key, QByteArray(kKeySize, '\0'), kSm4, false, kKeySize, &problem);
    return QString::fromLatin1(cipher.left(kCheckValueSize).toHex().toUpper());
}
}

KeyChain::KeyChain(DeviceProcess* process)
    : m_process(process)
{
}

bool KeyChain::freshKeys()
{
    m_mainKey = QByteArray(kKeySize, '\0');
    m_workKey = QByteArray(kKeySize, '\0');
    return RAND_bytes(reinterpret_cast<unsigned char*>(m_mainKey.data()), kKeySize) == 1
        && RAND_bytes(reinterpret_cast<unsigned char*>(m_workKey.data()), kKeySize) == 1;
}

QString KeyChain::mainKeyCheckValue() const
{
    return checkValue(m_mainKey);
}

QString KeyChain::workKeyCheckValue() const
{
    return checkValue(m_workKey);
}

CallResult KeyChain::requestKeyPair(int size)
{
    const CallResult call = m_process->call(kGenerateKeyFromPw, {size}, size);
    m_publicKey.clear();
    m_publicKeyProblem = call.returned ? ::publicKeyProblem(call.code, call.out, size, &m_publicKey)
                                       : QStringLiteral("the key pair request did not complete");
    return call;
}

CallResult KeyChain::sendMainKey(bool tampered, QString* problem, int* cipherSize)
{
    problem->clear();
    if (m_publicKey.isEmpty()) {
        *problem = QStringLiteral("no public key to encrypt under: ") + m_publicKeyProblem;
        return CallResult();
    }
    QByteArray cipher = keyLibrary(m_publicKey, m_mainKey, kSm2, false, kMaxMainKeyCipher, problem);
    if (!cipher.isEmpty() && cipher.size() < kC3Offset + kC3Size)
        *problem =
            QStringLiteral("the key library's SM2 ciphertext has %1 bytes, too few for C1‖C3")
                .arg(cipher.size());
    if (!problem->isEmpty())
        return CallResult();
    if (tampered)
        cipher[kC3Offset] = static_cast<char>(cipher[kC3Offset] ^ 0x01);
    if (cipherSize)
        *cipherSize = cipher.size();
    const QByteArray text = toSplitNibble(cipher);
    return m_process->call(kSetPwMkey, {text.size()}, -1, text);
}

CallResult KeyChain::sendWorkKey(QString* problem, int* cipherSize)
{
    problem->clear();
    const QByteArray cipher =
        keyLibrary(m_mainKey, m_workKey, kSm4, false, kMaxWorkKeyCipher, problem);
    if (cipher.isEmpty())
        return CallResult();
    if (cipherSize)
        *cipherSize = cipher.size();
    const QByteArray text = toSplitNibble(cipher);
    return m_process->call(kSetPwWkey, {text.size()}, -1, text);
}

CallResult KeyChain::enterPin(const QString& pin, PinBlockReading* reading, QString* problem)
{
    problem->clear();
    const CallResult call =
        m_process->call(kInputPassword, {kPinTimeout, kPinMaxLength, kPinOutSize}, kPinOutSize);
    if (call.returned)
        *problem = pinBlockProblem(call, pin, reading);
    return call;
}

QString KeyChain::pinBlockProblem(const CallResult& call, const QString& pin,
                                  PinBlockReading* reading) const
{
    QByteArray text;
    QString problem;
    QByteArray block;
    if (call.code != 0)
        problem = QStringLiteral("InputPassword returned %1").arg(call.code);
    else if (!terminatedText(call.out, kPinOutSize, &text))
        problem = noNulProblem(kPinOutSize);
    else if (text.size() != 2 * kPinBlockSize)
        problem = QStringLiteral("%1 characters of text; an encrypted PIN block is %2")
                      .arg(text.size())
                      .arg(2 * kPinBlockSize);
    else if ((problem = splitNibbleProblem(text)).isEmpty())
        block = keyLibrary(m_workKey, fromSplitNibble(text), kSm4, true, kPinBlockSize, &problem);
    if (!problem.isEmpty())
        return problem;

    *reading = readPinBlock(block);
    const QString hex = QString::fromLatin1(block.toHex().toUpper());
    if (!reading->recognised)
        return QStringLiteral("unrecognised PIN block layout under this run's work key, "
                              "decrypted: ")
            + hex;
    if (reading->pin != pin)
        return QStringLiteral("the PIN block (%1) carries %2, not the PIN typed, %3; decrypted: %4")
            .arg(reading->layout, reading->pin, pin, hex);
    return QString();
}
