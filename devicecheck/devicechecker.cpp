#include "devicecheck/devicechecker.h"

#include "device/devicefunctions.h"
#include "devicecheck/devicereply.h"
#include "devicecheck/pinblockreader.h"
#include "panels/keydownload.h"
#include "panels/keywrapper.h"
#include "panels/testkeys.h"
#include "util/libraryidentity.h"

#include <QLibrary>

#include <exception>
#include <vector>

namespace {
const QString kExports = QStringLiteral("exports");
const QString kKeyPairFormat = QStringLiteral("keypair-format");
const QString kKeyPairBounds = QStringLiteral("keypair-bounds");
const QString kKeyPairSmallBuffer = QStringLiteral("keypair-small-buffer");
const QString kMainKeyTampered = QStringLiteral("mainkey-tampered");
const QString kMainKeyEmpty = QStringLiteral("mainkey-empty");
const QString kMainKey = QStringLiteral("mainkey");
const QString kWorkKey = QStringLiteral("workkey");
const QString kPinBlock = QStringLiteral("pin-block");
const QString kPinBounds = QStringLiteral("pin-bounds");
const QString kSerialRead = QStringLiteral("sn-read");
const QString kSerialWrite = QStringLiteral("sn-write");

const char* const kDeviceFunctions[] = {"GenerateKeyFromPw", "SetPwMkey",       "SetPwWkey",
                                        "InputPassword",     "PN_ReadDeviceSN", "PN_WriteDeviceSN",
                                        "MP_StartInfoHtml",  "MP_SignPDF",      "MP_SHOW_PDF",
                                        "MP_ConfirmPDF",     "MP_SignPDF_Voice"};

// The sizes the tool passes, and the one it tries on purpose to see the size honoured.
constexpr int kKeyPairSize = 256;
constexpr int kSmallKeyPairSize = 64;
constexpr int kPinOutSize = 255;
// PN_ReadDeviceSN is told no size; its text and NUL must fit 255 bytes.
constexpr int kSerialSize = 255;

// The key library's SM2 ciphertext is C1 (65 bytes) || C3 (32 bytes) || C2. Flipping a bit there
// changes the ciphertext whatever the order, so a device must refuse it either way.
constexpr int kC3Offset = 65;
constexpr int kC3Size = 32;
constexpr int kKeyLibraryBuffer = 4096;
constexpr int kPinBlockSize = 16;

const char kSimulatorPinVariable[] = "QUORVEL_SIM_PIN";
const char kTestSerials[2][16] = {"DEVICE-CHECK-1", "DEVICE-CHECK-2"};

// One call of the key wrapper, as the tool makes it; the output, or empty with the reason.
QByteArray keyLibrary(QByteArray key, QByteArray data, int algorithm, int decrypt, int maxLength,
                      QString* problem)
{
    std::vector<char> out(kKeyLibraryBuffer, '\0');
    int length = 0;
    try {
        length = pinpadEnAndDec(key.data(), key.size(), data.data(), data.size(), out.data(),
                                algorithm, decrypt);
    } catch (const std::exception& error) {
        *problem = QStringLiteral("the key library threw: ") + QString::fromLocal8Bit(error.what());
        return QByteArray();
    } catch (...) {
        *problem = QStringLiteral("the key library threw");
        return QByteArray();
    }
    if (length <= 0 || length > maxLength) {
        *problem = QStringLiteral("the key library answered %1 (%2 under algorithm %3)")
                       .arg(length)
                       .arg(decrypt ? QStringLiteral("decrypting") : QStringLiteral("encrypting"))
                       .arg(algorithm);
        return QByteArray();
    }
    return QByteArray(out.data(), length);
}

QByteArray testKey(const char (&key)[16])
{
    return QByteArray(key, sizeof key);
}

QString quoted(const QByteArray& printable)
{
    return QLatin1Char('"') + QString::fromLatin1(printable) + QLatin1Char('"');
}
}

const QStringList& DeviceChecker::checkIds()
{
    static const QStringList ids{
        kExports,         kKeyPairFormat, kKeyPairBounds, kKeyPairSmallBuffer,
        kMainKeyTampered, kMainKeyEmpty,  kMainKey,       kWorkKey,
        kPinBlock,        kPinBounds,     kSerialRead,    kSerialWrite};
    return ids;
}

QString DeviceChecker::toolVersion()
{
    return QStringLiteral(DEVICE_CHECK_VERSION);
}

DeviceChecker::DeviceChecker(const CheckOptions& options, LineSink sink)
    : m_options(options)
    , m_sink(std::move(sink))
    , m_caller(options.timeoutSeconds)
{
}

DeviceChecker::~DeviceChecker() = default;

CheckReport DeviceChecker::run()
{
    // The simulator takes the PIN its user "types" from this variable; a device library does not
    // read it. A value already set is the tester's choice and stays.
    if (qEnvironmentVariableIsEmpty(kSimulatorPinVariable))
        qputenv(kSimulatorPinVariable, m_options.pin.toLatin1());

    m_library = std::make_unique<QLibrary>(m_options.library);
    // Every symbol bound at load: a library with an unresolved dependency fails here, not in a
    // call.
    m_library->setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!m_library->load()) {
        const QString reason = loadFailureText(m_options.library, m_library->errorString());
        LibraryIdentity identity;
        identity.path = requestedPath(m_options.library);
        m_report.setLibrary(identity);
        m_report.setLoadFailure(reason);
        m_sink(QStringLiteral("cannot load the device library: ") + reason);
        return m_report;
    }
    m_report.setLibrary(identifyLibrary(*m_library));
    m_sink(QStringLiteral("library: ") + identityText(m_report.library()));

    checkExports();
    checkKeyPair();
    checkSmallKeyBuffer();
    checkTamperedMainKey();
    checkEmptyMainKey();
    checkMainKey();
    checkWorkKey();
    checkPinBlock();
    checkPinBounds();
    checkSerialRead();
    checkSerialWrite();

    m_report.setTimings(m_caller.timings());
    for (const QString& line : m_report.timingLines())
        m_sink(line);
    m_sink(m_report.summaryLine());
    return m_report;
}

void DeviceChecker::record(const QString& id, CheckStatus status, const QString& detail,
                           double milliseconds)
{
    const CheckResult result{id, status, detail, milliseconds};
    m_report.add(result);
    m_sink(CheckReport::line(result));
}

bool DeviceChecker::ready(const QString& id, std::initializer_list<const char*> functions)
{
    if (m_caller.stopped()) {
        record(id, CheckStatus::Skip,
               QStringLiteral("not run: an earlier device call did not return, so the device's "
                              "state is unknown"));
        return false;
    }
    QStringList missing;
    for (const char* name : functions)
        if (!m_functions.contains(QLatin1String(name)))
            missing << QLatin1String(name);
    if (!missing.isEmpty()) {
        record(
            id, CheckStatus::Skip,
            QStringLiteral("needs %1, which the library does not export").arg(missing.join(", ")));
        return false;
    }
    return true;
}

bool DeviceChecker::returned(const QString& id, const QString& function, const CallResult& call)
{
    if (call.returned)
        return true;
    if (call.threw)
        record(id, CheckStatus::Fail, function + QStringLiteral(" threw a C++ exception"));
    else
        record(id, CheckStatus::Fail,
               QStringLiteral("%1 did not return within %2 s; the device's state is unknown, so "
                              "nothing more is called")
                   .arg(function)
                   .arg(m_caller.timeoutSeconds()));
    return false;
}

void DeviceChecker::recordBounds(const QString& id, const QByteArray& out, int size)
{
    const QString overrun = overrunProblem(out, size);
    if (overrun.isEmpty())
        record(id, CheckStatus::Pass,
               QStringLiteral("nothing written past the %1 bytes passed").arg(size));
    else
        record(id, CheckStatus::Fail, overrun);
}

void DeviceChecker::checkExports()
{
    QStringList missing;
    for (const char* name : kDeviceFunctions) {
        const QFunctionPointer pointer = m_library->resolve(name);
        if (pointer)
            m_functions.insert(QLatin1String(name), pointer);
        else
            missing << QLatin1String(name);
    }
    if (missing.isEmpty())
        record(kExports, CheckStatus::Pass, QStringLiteral("all 11 device functions resolve"));
    else
        record(kExports, CheckStatus::Fail, QStringLiteral("missing: ") + missing.join(", "));
}

CallResult DeviceChecker::requestKeyPair()
{
    const auto generate = function<GenerateKeyFromPwFunc>("GenerateKeyFromPw");
    return m_caller.call(QStringLiteral("GenerateKeyFromPw"),
                         [generate](char* out) { return generate(kKeyPairSize, out); });
}

QString DeviceChecker::takePublicKey(const CallResult& call)
{
    m_mainKeyCipher.clear();
    m_publicKeyProblem = publicKeyProblem(call.code, call.out, kKeyPairSize, &m_publicKey);
    return m_publicKeyProblem;
}

void DeviceChecker::checkKeyPair()
{
    if (!ready(kKeyPairFormat, {"GenerateKeyFromPw"})) {
        ready(kKeyPairBounds, {"GenerateKeyFromPw"});
        return;
    }
    const CallResult call = requestKeyPair();
    if (returned(kKeyPairFormat, QStringLiteral("GenerateKeyFromPw"), call)) {
        const QString problem = takePublicKey(call);
        if (problem.isEmpty())
            record(kKeyPairFormat, CheckStatus::Pass,
                   QStringLiteral("%1 characters of split-nibble text, %2 bytes %3, a point on the "
                                  "SM2 curve")
                       .arg(2 * m_publicKey.size())
                       .arg(m_publicKey.size())
                       .arg(m_publicKey.size() == 64 ? QStringLiteral("X‖Y")
                                                     : QStringLiteral("04‖X‖Y")),
                   call.milliseconds);
        else
            record(kKeyPairFormat, CheckStatus::Fail, problem, call.milliseconds);
    }
    if (ready(kKeyPairBounds, {}))
        recordBounds(kKeyPairBounds, call.out, kKeyPairSize);
}

void DeviceChecker::checkSmallKeyBuffer()
{
    if (!ready(kKeyPairSmallBuffer, {"GenerateKeyFromPw"}))
        return;
    const auto generate = function<GenerateKeyFromPwFunc>("GenerateKeyFromPw");
    const CallResult call =
        m_caller.call(QStringLiteral("GenerateKeyFromPw"),
                      [generate](char* out) { return generate(kSmallKeyPairSize, out); });
    if (!returned(kKeyPairSmallBuffer, QStringLiteral("GenerateKeyFromPw"), call))
        return;

    // A request that succeeded made a new key pair; the main-key checks need the current one.
    if (call.code == 0) {
        const CallResult again = requestKeyPair();
        if (!returned(kKeyPairSmallBuffer, QStringLiteral("GenerateKeyFromPw"), again)) {
            m_publicKey.clear();
            m_publicKeyProblem = QStringLiteral("the key pair was requested again and "
                                                "GenerateKeyFromPw did not answer");
            return;
        }
        takePublicKey(again);
    }

    const QString overrun = overrunProblem(call.out, kSmallKeyPairSize);
    QByteArray text;
    if (!overrun.isEmpty())
        record(
            kKeyPairSmallBuffer, CheckStatus::Fail,
            QStringLiteral("returned %1 and wrote past the buffer: %2").arg(call.code).arg(overrun),
            call.milliseconds);
    else if (call.code != 0)
        record(kKeyPairSmallBuffer, CheckStatus::Pass,
               QStringLiteral("refused with %1, nothing written past the %2 bytes passed")
                   .arg(call.code)
                   .arg(kSmallKeyPairSize),
               call.milliseconds);
    else if (!terminatedText(call.out, kSmallKeyPairSize, &text))
        record(kKeyPairSmallBuffer, CheckStatus::Fail,
               QStringLiteral("returned 0 but left ") + noNulProblem(kSmallKeyPairSize),
               call.milliseconds);
    else
        record(
            kKeyPairSmallBuffer, CheckStatus::Pass,
            QStringLiteral("returned 0 with %1 characters and their NUL within the %2 bytes passed")
                .arg(text.size())
                .arg(kSmallKeyPairSize),
            call.milliseconds);
}

QByteArray DeviceChecker::mainKeyCipher(QString* problem)
{
    if (m_mainKeyCipher.isEmpty())
        m_mainKeyCipher =
            keyLibrary(m_publicKey, testKey(kTestMainKey), kSm2, 0, kMaxMainKeyCipher, problem);
    return m_mainKeyCipher;
}

CallResult DeviceChecker::sendMainKey(const QByteArray& cipher)
{
    const auto setMainKey = function<SetPwMkeyFunc>("SetPwMkey");
    const QByteArray text = toSplitNibble(cipher);
    return m_caller.call(QStringLiteral("SetPwMkey"), [setMainKey, text](char*) {
        return setMainKey(text.constData(), text.size());
    });
}

void DeviceChecker::checkTamperedMainKey()
{
    if (!ready(kMainKeyTampered, {"SetPwMkey"}))
        return;
    if (m_publicKey.isEmpty()) {
        record(kMainKeyTampered, CheckStatus::Skip,
               QStringLiteral("no public key to encrypt under: ") + m_publicKeyProblem);
        return;
    }
    QString problem;
    QByteArray cipher = mainKeyCipher(&problem);
    if (cipher.isEmpty()) {
        record(kMainKeyTampered, CheckStatus::Fail, problem);
        return;
    }
    if (cipher.size() < kC3Offset + kC3Size) {
        record(kMainKeyTampered, CheckStatus::Fail,
               QStringLiteral("the key library's SM2 ciphertext has %1 bytes, too few for C1‖C3")
                   .arg(cipher.size()));
        return;
    }
    cipher[kC3Offset] = static_cast<char>(cipher[kC3Offset] ^ 0x01);
    const CallResult call = sendMainKey(cipher);
    if (!returned(kMainKeyTampered, QStringLiteral("SetPwMkey"), call))
        return;
    if (call.code != 0)
        record(kMainKeyTampered, CheckStatus::Pass,
               QStringLiteral("refused with %1 the main key with one bit of C3 flipped")
                   .arg(call.code),
               call.milliseconds);
    else
        record(kMainKeyTampered, CheckStatus::Fail,
               QStringLiteral("accepted (0) the main key with one bit of C3 flipped"),
               call.milliseconds);
}

void DeviceChecker::checkEmptyMainKey()
{
    if (!ready(kMainKeyEmpty, {"SetPwMkey"}))
        return;
    const auto setMainKey = function<SetPwMkeyFunc>("SetPwMkey");
    const CallResult call = m_caller.call(QStringLiteral("SetPwMkey"),
                                          [setMainKey](char*) { return setMainKey("", 0); });
    if (!returned(kMainKeyEmpty, QStringLiteral("SetPwMkey"), call))
        return;
    if (call.code != 0)
        record(kMainKeyEmpty, CheckStatus::Pass,
               QStringLiteral("refused with %1 the empty text").arg(call.code), call.milliseconds);
    else
        record(kMainKeyEmpty, CheckStatus::Fail, QStringLiteral("accepted (0) the empty text"),
               call.milliseconds);
}

void DeviceChecker::checkMainKey()
{
    if (!ready(kMainKey, {"SetPwMkey"}))
        return;
    if (m_publicKey.isEmpty()) {
        record(kMainKey, CheckStatus::Skip,
               QStringLiteral("no public key to encrypt under: ") + m_publicKeyProblem);
        return;
    }
    QString problem;
    const QByteArray cipher = mainKeyCipher(&problem);
    if (cipher.isEmpty()) {
        record(kMainKey, CheckStatus::Fail, problem);
        return;
    }
    const CallResult call = sendMainKey(cipher);
    if (!returned(kMainKey, QStringLiteral("SetPwMkey"), call))
        return;
    m_mainKeyAccepted = call.code == 0;
    if (m_mainKeyAccepted)
        record(kMainKey, CheckStatus::Pass,
               QStringLiteral("accepted the test main key's SM2 ciphertext (%1 bytes)")
                   .arg(cipher.size()),
               call.milliseconds);
    else
        record(kMainKey, CheckStatus::Fail,
               QStringLiteral("refused with %1 the test main key's SM2 ciphertext").arg(call.code),
               call.milliseconds);
}

void DeviceChecker::checkWorkKey()
{
    if (!ready(kWorkKey, {"SetPwWkey"}))
        return;
    if (!m_mainKeyAccepted) {
        record(kWorkKey, CheckStatus::Skip,
               QStringLiteral("needs the main key, which was not accepted"));
        return;
    }
    QString problem;
    const QByteArray cipher = keyLibrary(testKey(kTestMainKey), testKey(kTestWorkKey), kSm4, 0,
                                         kMaxWorkKeyCipher, &problem);
    if (cipher.isEmpty()) {
        record(kWorkKey, CheckStatus::Fail, problem);
        return;
    }
    const auto setWorkKey = function<SetPwWkeyFunc>("SetPwWkey");
    const QByteArray text = toSplitNibble(cipher);
    const CallResult call = m_caller.call(QStringLiteral("SetPwWkey"), [setWorkKey, text](char*) {
        return setWorkKey(text.constData(), text.size());
    });
    if (!returned(kWorkKey, QStringLiteral("SetPwWkey"), call))
        return;
    m_workKeyAccepted = call.code == 0;
    if (m_workKeyAccepted)
        record(kWorkKey, CheckStatus::Pass,
               QStringLiteral("accepted the test work key under the test main key (SM4, %1 bytes)")
                   .arg(cipher.size()),
               call.milliseconds);
    else
        record(kWorkKey, CheckStatus::Fail,
               QStringLiteral("refused with %1 the test work key under the test main key")
                   .arg(call.code),
               call.milliseconds);
}

void DeviceChecker::checkPinBlock()
{
    if (!ready(kPinBlock, {"InputPassword"}))
        return;
    if (!m_workKeyAccepted) {
        record(kPinBlock, CheckStatus::Skip,
               QStringLiteral("needs the work key, which was not accepted"));
        return;
    }
    // The simulator types by itself; at a device the tester must, and the call waits for it.
    if (!m_report.library().simulator)
        m_sink(QStringLiteral("请在密码键盘上输入 %1 并确认").arg(m_options.pin));
    const auto inputPassword = function<InputPasswordFunc>("InputPassword");
    const CallResult call =
        m_caller.call(QStringLiteral("InputPassword"), [inputPassword](char* out) {
            return inputPassword(120, "", "", "", 6, kPinOutSize, out);
        });
    m_pinOut = call.out;
    if (!returned(kPinBlock, QStringLiteral("InputPassword"), call))
        return;

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
        block = keyLibrary(testKey(kTestWorkKey), fromSplitNibble(text), kSm4, 1, kPinBlockSize,
                           &problem);
    if (!problem.isEmpty()) {
        record(kPinBlock, CheckStatus::Fail, problem, call.milliseconds);
        return;
    }

    const PinBlockReading reading = readPinBlock(block);
    const QString hex = QString::fromLatin1(block.toHex().toUpper());
    if (!reading.recognised)
        record(kPinBlock, CheckStatus::Fail,
               QStringLiteral("unrecognised PIN block layout, decrypted: ") + hex,
               call.milliseconds);
    else if (reading.pin != m_options.pin)
        record(kPinBlock, CheckStatus::Fail,
               QStringLiteral("the PIN block (%1) carries %2, not the PIN typed, %3; decrypted: %4")
                   .arg(reading.layout, reading.pin, m_options.pin, hex),
               call.milliseconds);
    else
        record(kPinBlock, CheckStatus::Pass,
               QStringLiteral(
                   "the PIN block (%1) decrypts under the test work key to %2, the PIN typed")
                   .arg(reading.layout, reading.pin),
               call.milliseconds);
}

void DeviceChecker::checkPinBounds()
{
    if (!ready(kPinBounds, {"InputPassword"}))
        return;
    if (m_pinOut.isEmpty()) {
        record(kPinBounds, CheckStatus::Skip,
               QStringLiteral("needs the PIN entry, which was not made"));
        return;
    }
    recordBounds(kPinBounds, m_pinOut, kPinOutSize);
}

CallResult DeviceChecker::readSerial(QByteArray* serial, QString* problem)
{
    const auto read = function<ReadDeviceSNFunc>("PN_ReadDeviceSN");
    const CallResult call = m_caller.call(QStringLiteral("PN_ReadDeviceSN"),
                                          [read](char* out) { return read(0, "", 9600, out); });
    serial->clear();
    problem->clear();
    if (!call.returned)
        return call;
    QByteArray text;
    if (call.code != 0)
        *problem = QStringLiteral("PN_ReadDeviceSN returned %1").arg(call.code);
    else if (!terminatedText(call.out, kSerialSize, &text))
        *problem = noNulProblem(kSerialSize);
    else if ((*problem = printableProblem(text)).isEmpty())
        *serial = text;
    // A valid text is kept even past an overrun, so that a written serial number can be restored.
    if (problem->isEmpty())
        *problem = overrunProblem(call.out, kSerialSize);
    return call;
}

void DeviceChecker::checkSerialRead()
{
    if (!ready(kSerialRead, {"PN_ReadDeviceSN"}))
        return;
    QString problem;
    const CallResult call = readSerial(&m_serial, &problem);
    if (!returned(kSerialRead, QStringLiteral("PN_ReadDeviceSN"), call))
        return;
    if (problem.isEmpty())
        record(kSerialRead, CheckStatus::Pass,
               QStringLiteral("serial number %1, nothing written past %2 bytes")
                   .arg(quoted(m_serial))
                   .arg(kSerialSize),
               call.milliseconds);
    else
        record(kSerialRead, CheckStatus::Fail, problem, call.milliseconds);
}

void DeviceChecker::checkSerialWrite()
{
    if (!m_options.writeSn) {
        record(kSerialWrite, CheckStatus::Skip,
               QStringLiteral("run with --write-sn to write a test serial number and restore the "
                              "original"));
        return;
    }
    if (!ready(kSerialWrite, {"PN_ReadDeviceSN", "PN_WriteDeviceSN"}))
        return;
    if (m_serial.isEmpty()) {
        record(kSerialWrite, CheckStatus::Skip,
               QStringLiteral(
                   "needs the original serial number to restore, which sn-read did not give"));
        return;
    }
    const QByteArray original = m_serial;
    const QByteArray test(original == kTestSerials[0] ? kTestSerials[1] : kTestSerials[0]);
    const auto write = function<WriteDeviceSNFunc>("PN_WriteDeviceSN");
    const QString writeName = QStringLiteral("PN_WriteDeviceSN");
    double milliseconds = 0;
    QString failure; // the first thing that went wrong
    bool refused = false;

    // Writes sn and reads it back. False when a call did not return (its FAIL is then recorded).
    auto writeAndReadBack = [&](const QByteArray& sn, const QString& stage) {
        const CallResult written = m_caller.call(
            writeName, [write, sn](char*) { return write(0, "", 9600, sn.constData()); });
        if (!returned(kSerialWrite, writeName, written))
            return false;
        milliseconds += written.milliseconds;
        if (written.code != 0) {
            refused = true;
            if (failure.isEmpty())
                failure = QStringLiteral("PN_WriteDeviceSN refused %1 with %2")
                              .arg(quoted(sn))
                              .arg(written.code);
            return true;
        }
        QByteArray readBack;
        QString problem;
        const CallResult read = readSerial(&readBack, &problem);
        if (!returned(kSerialWrite, QStringLiteral("PN_ReadDeviceSN"), read))
            return false;
        milliseconds += read.milliseconds;
        if (failure.isEmpty() && !problem.isEmpty())
            failure = QStringLiteral("reading back %1 %2: %3").arg(stage, quoted(sn), problem);
        else if (failure.isEmpty() && readBack != sn)
            failure = QStringLiteral("read back %1 %2 %3").arg(quoted(readBack), stage, quoted(sn));
        return true;
    };

    if (!writeAndReadBack(test, QStringLiteral("after writing")))
        return;
    // A refused test number leaves the original in place: nothing to restore.
    if (!refused && !writeAndReadBack(original, QStringLiteral("after restoring")))
        return;
    if (failure.isEmpty())
        record(kSerialWrite, CheckStatus::Pass,
               QStringLiteral("wrote %1, read it back, restored %2 and read it back")
                   .arg(quoted(test), quoted(original)),
               milliseconds);
    else
        record(kSerialWrite, CheckStatus::Fail, failure, milliseconds);
}
