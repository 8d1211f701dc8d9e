#include "devicecheck/devicechecker.h"

#include "device/devicecalls.h"
#include "devicecheck/devicereply.h"
#include "devicecheck/pinblockreader.h"
#include "keydownload/keydownload.h"
#include "util/libraryidentity.h"
#include "util/visibletext.h"

#include <QFile>

#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {
constexpr quint32 bit(int function)
{
    return 1u << function;
}

// A key pair buffer smaller than the tool's, tried on purpose to see the size honoured.
constexpr int kSmallKeyPairSize = 64;

// The key library's SM2 ciphertext is C1 (65 bytes) || C3 (32 bytes) || C2. Flipping a bit there
// changes the ciphertext whatever the order, so a device must refuse it either way.
constexpr int kC3Offset = 65;
constexpr int kC3Size = 32;
constexpr int kKeySize = 16;
constexpr int kPinBlockSize = 16;
constexpr int kCheckValueSize = 3;

const char kTestSerials[2][16] = {"DEVICE-CHECK-1", "DEVICE-CHECK-2"};

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

// The first 3 bytes of the key's SM4 encryption of 16 zero bytes, in hex: names a key in the
// evidence without giving it away.
QString checkValue(const QByteArray& key)
{
    QString problem;
    const QByteArray cipher =
        keyLibrary(key, QByteArray(kKeySize, '\0'), kSm4, false, kKeySize, &problem);
    return QString::fromLatin1(cipher.left(kCheckValueSize).toHex().toUpper());
}

QString quoted(const QByteArray& printable)
{
    return QLatin1Char('"') + QString::fromLatin1(printable) + QLatin1Char('"');
}

}

const std::vector<DeviceChecker::Check>& DeviceChecker::checks()
{
    static const std::vector<Check> table{
        {"exports", 0, 0, &DeviceChecker::checkExports},
        {"keypair-format", bit(kGenerateKeyFromPw), 0, &DeviceChecker::checkKeyPair},
        {"keypair-bounds", bit(kGenerateKeyFromPw), KeyPairReturned,
         &DeviceChecker::checkKeyPairBounds},
        {"keypair-small-buffer", bit(kGenerateKeyFromPw), 0, &DeviceChecker::checkSmallKeyBuffer},
        {"mainkey-tampered", bit(kSetPwMkey), PublicKey, &DeviceChecker::checkTamperedMainKey},
        {"mainkey-empty", bit(kSetPwMkey), 0, &DeviceChecker::checkEmptyMainKey},
        {"mainkey", bit(kSetPwMkey), PublicKey, &DeviceChecker::checkMainKey},
        {"workkey", bit(kSetPwWkey), MainKeyAccepted, &DeviceChecker::checkWorkKey},
        {"pin-block", bit(kInputPassword), WorkKeyAccepted, &DeviceChecker::checkPinBlock},
        {"pin-bounds", bit(kInputPassword), PinEntryReturned, &DeviceChecker::checkPinBounds},
        {"sn-read", bit(kReadDeviceSN), 0, &DeviceChecker::checkSerialRead},
        {"sn-write", bit(kReadDeviceSN) | bit(kWriteDeviceSN), SnWriteAsked | SerialRead,
         &DeviceChecker::checkSerialWrite},
        {"soak", bit(kGenerateKeyFromPw) | bit(kSetPwMkey) | bit(kSetPwWkey),
         SoakAsked | WorkKeyAccepted, &DeviceChecker::checkSoak},
    };
    return table;
}

DeviceChecker::Verdict DeviceChecker::verdict(const Check& check)
{
    // Why a check that needs a fact is skipped without it, in the order they are looked at; only
    // the tester's own choice excuses the skip.
    static const struct {
        Fact fact;
        const char* reason;
        bool excused;
    } kMissing[] = {
        {SnWriteAsked, "run with --write-sn to write a test serial number and restore the original",
         true},
        {SoakAsked, "run with --repeat N to repeat the key chain N times", true},
        {KeyPairReturned, "needs the key pair request, which did not return", false},
        {PublicKey, "no public key to encrypt under: ", false},
        {MainKeyAccepted, "needs the main key, which was not accepted", false},
        {WorkKeyAccepted, "needs the work key, which was not accepted", false},
        {PinEntryReturned, "needs the PIN entry, which was not made", false},
        {SerialRead, "needs the original serial number to restore, which sn-read did not give",
         false},
    };
    const std::pair<bool, Fact> established[] = {
        {m_options.writeSn, SnWriteAsked},    {m_keyPairCall.returned, KeyPairReturned},
        {!m_publicKey.isEmpty(), PublicKey},  {m_mainKeyAccepted, MainKeyAccepted},
        {m_workKeyAccepted, WorkKeyAccepted}, {m_pinCall.returned, PinEntryReturned},
        {!m_serial.isEmpty(), SerialRead},    {m_options.repeat > 1, SoakAsked}};
    quint32 facts = 0;
    for (const auto& fact : established)
        if (fact.first)
            facts |= fact.second;
    const auto need = std::find_if(std::begin(kMissing), std::end(kMissing), [&](const auto& n) {
        return (check.needs & n.fact) && !(facts & n.fact);
    });
    const bool needMissing = need != std::end(kMissing);
    const auto skipFor = [&] {
        return Verdict{CheckStatus::Skip,
                       QString::fromUtf8(need->reason)
                           + (need->fact == PublicKey ? m_publicKeyProblem : QString()),
                       -1, need->excused};
    };
    // A check the tester did not ask for is excused, whatever else happened.
    if (needMissing && need->excused)
        return skipFor();
    if (!m_process.running())
        return {CheckStatus::Skip,
                QStringLiteral("not run: the library's process has ended, so the device's state "
                               "is unknown")};
    QStringList missing;
    for (int i = 0; i < kDeviceFunctionCount; ++i)
        if ((check.functions & bit(i)) && !(m_file.exported() & bit(i)))
            missing << QLatin1String(kDeviceFunctionNames[i]);
    if (!missing.isEmpty())
        return {CheckStatus::Skip,
                QStringLiteral("needs %1, which the library does not export")
                    .arg(missing.join(QStringLiteral(", ")))};
    if (needMissing)
        return skipFor();
    return (this->*check.run)();
}

const QStringList& DeviceChecker::checkIds()
{
    static const QStringList ids = [] {
        QStringList list;
        for (const Check& check : checks())
            list << QLatin1String(check.id);
        return list;
    }();
    return ids;
}

QString DeviceChecker::toolVersion()
{
    return QStringLiteral(DEVICE_CHECK_VERSION);
}

DeviceChecker::DeviceChecker(const CheckOptions& options, LineSink sink)
    : m_options(options)
    , m_sink(std::move(sink))
    , m_process(options.timeoutSeconds)
{
}

CheckReport DeviceChecker::run()
{
    if (!load())
        return m_report;
    if (!makeKeys()) {
        m_process.stop();
        return m_report;
    }

    for (const Check& check : checks())
        record(check.id, verdict(check));
    if (m_report.soak().rounds() > 0)
        for (const QString& line : m_report.soak().lines())
            m_sink(line, false);
    finish();

    m_report.setTimings(m_process.timings());
    for (const QString& line : m_report.timingLines())
        m_sink(line, false);
    m_sink(m_report.summaryLine(), false);
    return m_report;
}

void DeviceChecker::finish()
{
    // What the library mapped since it loaded is named too, and its file must not have changed.
    HostIdentity identity = m_process.running()
        ? identifyHost(m_process.hostPid(), m_file, m_options.hostProgram, m_identity.others)
        : m_identity;
    if (!m_file.unchanged()) {
        identity.library.sha256.clear();
        identity.library.simulator = false;
    }
    m_report.setIdentity(identity);
    if (CheckReport::identityLine(identity) != CheckReport::identityLine(m_identity))
        m_sink(CheckReport::identityLine(identity, QStringLiteral("library after the last call: ")),
               false);
    m_process.finish();
    reportOutput();
    for (const Refusal& refusal : m_process.refusalsOutsideCalls()) {
        m_report.addRefusal(refusal.sentence());
        m_sink(QStringLiteral("sandbox: ") + refusal.sentence(), false);
    }
    m_report.setAllProcessesEnded(m_process.allEnded());
    if (!m_process.allEnded())
        m_sink(QStringLiteral("sandbox: a process of the library's could not be ended"), false);
}

bool DeviceChecker::load()
{
    const QString path = absoluteLibraryPath(m_options.library);
    HostIdentity asked;
    asked.library.path = path;
    m_report.setIdentity(asked);

    QString reason;
    if (!m_file.open(path)) {
        reason = path + QStringLiteral(": ") + m_file.problem();
    } else {
        HostLaunch launch;
        launch.hostProgram = m_options.hostProgram;
        launch.library = m_file.realPath();
        launch.devices = defaultDevices() + m_options.devices;
        // The simulator takes the PIN its user "types" from its environment; no other library
        // is given it.
        launch.simulator = m_file.simulatorMark();
        launch.pin = m_options.pin;
        const LoadResult load = m_process.start(launch, m_file.fd());
        if (load.loaderError)
            reason = loadFailureText(path, load.failure);
        else if (!load.loaded)
            reason = path + QStringLiteral(": ") + load.failure;
    }
    m_report.setSandbox(m_process.sandboxProblem(), m_process.inNamespaces());
    if (!reason.isEmpty()) {
        m_report.setLoadFailure(reason);
        reportSandbox();
        m_sink(QStringLiteral("cannot load the device library: ") + visibleText(reason), true);
        reportOutput();
        return false;
    }

    // The file the host mapped must be the one opened and hashed, unchanged since; every other
    // file it mapped from outside the system's folders is named beside it.
    m_identity = identifyHost(m_process.hostPid(), m_file, m_options.hostProgram);
    m_report.setIdentity(m_identity);
    m_sink(CheckReport::identityLine(m_identity), false);
    reportSandbox();
    return true;
}

void DeviceChecker::reportSandbox()
{
    if (!m_process.sandboxProblem().isEmpty())
        m_sink(QStringLiteral("sandbox: unavailable: ") + m_process.sandboxProblem(), false);
}

bool DeviceChecker::makeKeys()
{
    if (!randomKeys()) {
        const QString reason = QStringLiteral("libcrypto's RAND_bytes cannot make this run's keys");
        m_report.setLoadFailure(reason);
        m_sink(QStringLiteral("cannot check the device library: ") + reason, true);
        return false;
    }
    m_report.setKeyCheckValues(checkValue(m_mainKey), checkValue(m_workKey));
    return true;
}

bool DeviceChecker::randomKeys()
{
    m_mainKey = QByteArray(kKeySize, '\0');
    m_workKey = QByteArray(kKeySize, '\0');
    return RAND_bytes(reinterpret_cast<unsigned char*>(m_mainKey.data()), kKeySize) == 1
        && RAND_bytes(reinterpret_cast<unsigned char*>(m_workKey.data()), kKeySize) == 1;
}

void DeviceChecker::record(const char* id, const Verdict& verdict)
{
    const CheckResult result{QLatin1String(id), verdict.status, verdict.detail,
                             verdict.milliseconds, verdict.excused};
    m_report.add(result);
    m_sink(CheckReport::line(result), false);
}

void DeviceChecker::reportOutput()
{
    if (m_process.outputBytes() == 0)
        return;
    // Every byte, a NUL included: QString::fromUtf8 of a whole QByteArray would stop at the first.
    const QByteArray& output = m_process.output();
    QString shown = visibleText(QString::fromUtf8(output.constData(), output.size()));
    if (m_process.outputBytes() > m_process.output().size())
        shown += QStringLiteral(" … (%1 bytes in all)").arg(m_process.outputBytes());
    m_report.setLibraryOutput(shown);
    m_sink(QStringLiteral("library output: ") + shown, false);
}

DeviceChecker::Verdict DeviceChecker::failure(const CallResult& call)
{
    return {CheckStatus::Fail, call.failure};
}

DeviceChecker::Verdict DeviceChecker::refusal(const CallResult& call, const QString& offered)
{
    if (!call.returned)
        return failure(call);
    if (call.code != 0)
        return {CheckStatus::Pass, QStringLiteral("refused with %1 %2").arg(call.code).arg(offered),
                call.milliseconds};
    return {CheckStatus::Fail, QStringLiteral("accepted (0) ") + offered, call.milliseconds};
}

DeviceChecker::Verdict DeviceChecker::bounds(const CallResult& call, int size)
{
    const QString overrun = overrunProblem(call.out, size);
    if (overrun.isEmpty())
        return {CheckStatus::Pass,
                QStringLiteral("nothing written past the %1 bytes passed").arg(size)};
    return {CheckStatus::Fail, overrun};
}

DeviceChecker::Verdict DeviceChecker::checkExports()
{
    if (m_process.outputBytes() > 0) {
        m_process.stop();
        return {CheckStatus::Fail,
                QStringLiteral("the library wrote %1 bytes to standard output or error while "
                               "loading")
                    .arg(m_process.outputBytes())};
    }
    QStringList missing;
    for (int i = 0; i < kDeviceFunctionCount; ++i)
        if (!(m_file.exported() & bit(i)))
            missing << QLatin1String(kDeviceFunctionNames[i]);
    if (!missing.isEmpty())
        return {CheckStatus::Fail, QStringLiteral("missing: ") + missing.join(", ")};
    return {CheckStatus::Pass, QStringLiteral("all 11 device functions resolve")};
}

CallResult DeviceChecker::requestKeyPair()
{
    const CallResult call = m_process.call(kGenerateKeyFromPw, {kKeyPairSize}, kKeyPairSize);
    m_publicKey.clear();
    m_publicKeyProblem = call.returned
        ? publicKeyProblem(call.code, call.out, kKeyPairSize, &m_publicKey)
        : QStringLiteral("the key pair request did not complete");
    return call;
}

DeviceChecker::Verdict DeviceChecker::checkKeyPair()
{
    m_keyPairCall = requestKeyPair();
    if (!m_keyPairCall.returned)
        return failure(m_keyPairCall);
    if (m_publicKey.isEmpty())
        return {CheckStatus::Fail, m_publicKeyProblem, m_keyPairCall.milliseconds};
    return {CheckStatus::Pass,
            QStringLiteral("%1 characters of split-nibble text, %2 bytes %3, a point on the SM2 "
                           "curve")
                .arg(2 * m_publicKey.size())
                .arg(m_publicKey.size())
                .arg(m_publicKey.size() == 64 ? QStringLiteral("X‖Y") : QStringLiteral("04‖X‖Y")),
            m_keyPairCall.milliseconds};
}

DeviceChecker::Verdict DeviceChecker::checkKeyPairBounds()
{
    return bounds(m_keyPairCall, kKeyPairSize);
}

DeviceChecker::Verdict DeviceChecker::checkSmallKeyBuffer()
{
    const CallResult call =
        m_process.call(kGenerateKeyFromPw, {kSmallKeyPairSize}, kSmallKeyPairSize);
    if (!call.returned)
        return failure(call);
    // A request that succeeded made a new key pair; the main-key checks need the current one, and
    // a device that cannot give it any more fails here rather than leave them unrun.
    if (call.code == 0) {
        const CallResult again = requestKeyPair();
        if (!again.returned)
            return failure(again);
        if (m_publicKey.isEmpty())
            return {CheckStatus::Fail,
                    QStringLiteral("returned 0, then the key pair request with %1 bytes failed: %2")
                        .arg(kKeyPairSize)
                        .arg(m_publicKeyProblem),
                    call.milliseconds + again.milliseconds};
    }

    const QString overrun = overrunProblem(call.out, kSmallKeyPairSize);
    QByteArray text;
    if (!overrun.isEmpty())
        return {
            CheckStatus::Fail,
            QStringLiteral("returned %1 and wrote past the buffer: %2").arg(call.code).arg(overrun),
            call.milliseconds};
    if (call.code != 0)
        return {CheckStatus::Pass,
                QStringLiteral("refused with %1, nothing written past the %2 bytes passed")
                    .arg(call.code)
                    .arg(kSmallKeyPairSize),
                call.milliseconds};
    if (!terminatedText(call.out, kSmallKeyPairSize, &text))
        return {CheckStatus::Fail,
                QStringLiteral("returned 0 but left ") + noNulProblem(kSmallKeyPairSize),
                call.milliseconds};
    return {CheckStatus::Pass,
            QStringLiteral("returned 0 with %1 characters and their NUL within the %2 bytes passed")
                .arg(text.size())
                .arg(kSmallKeyPairSize),
            call.milliseconds};
}

QByteArray DeviceChecker::mainKeyCipher(bool tampered, QString* problem)
{
    if (m_publicKey.isEmpty())
        return QByteArray();
    QByteArray cipher = keyLibrary(m_publicKey, m_mainKey, kSm2, false, kMaxMainKeyCipher, problem);
    if (!cipher.isEmpty() && cipher.size() < kC3Offset + kC3Size) {
        *problem =
            QStringLiteral("the key library's SM2 ciphertext has %1 bytes, too few for C1‖C3")
                .arg(cipher.size());
        return QByteArray();
    }
    if (tampered && !cipher.isEmpty())
        cipher[kC3Offset] = static_cast<char>(cipher[kC3Offset] ^ 0x01);
    return cipher;
}

CallResult DeviceChecker::sendMainKey(const QByteArray& cipher)
{
    const QByteArray text = toSplitNibble(cipher);
    return m_process.call(kSetPwMkey, {text.size()}, -1, text);
}

DeviceChecker::Verdict DeviceChecker::checkTamperedMainKey()
{
    QString problem;
    const QByteArray cipher = mainKeyCipher(true, &problem);
    if (cipher.isEmpty())
        return {CheckStatus::Fail, problem};
    return refusal(sendMainKey(cipher),
                   QStringLiteral("this run's main key with one bit of C3 flipped"));
}

DeviceChecker::Verdict DeviceChecker::checkEmptyMainKey()
{
    return refusal(m_process.call(kSetPwMkey, {0}), QStringLiteral("the empty text"));
}

DeviceChecker::Verdict DeviceChecker::checkMainKey()
{
    QString problem;
    const QByteArray cipher = mainKeyCipher(false, &problem);
    const QByteArray tampered = mainKeyCipher(true, &problem);
    if (cipher.isEmpty() || tampered.isEmpty())
        return {CheckStatus::Fail, problem};
    const CallResult call = sendMainKey(cipher);
    if (!call.returned)
        return failure(call);
    if (call.code != 0)
        return {
            CheckStatus::Fail,
            QStringLiteral("refused with %1 this run's main key's SM2 ciphertext").arg(call.code),
            call.milliseconds};
    m_mainKeyAccepted = true;
    // Offered again after the genuine key: a device that refused the first offer only because it
    // came first is caught here.
    const Verdict again =
        refusal(sendMainKey(tampered), QStringLiteral("the same key with one bit of C3 flipped"));
    if (again.status != CheckStatus::Pass)
        return {CheckStatus::Fail,
                QStringLiteral("accepted this run's main key, then ") + again.detail,
                again.milliseconds < 0 ? -1 : call.milliseconds + again.milliseconds};
    return {CheckStatus::Pass,
            QStringLiteral("accepted this run's main key's SM2 ciphertext (%1 bytes), then %2")
                .arg(cipher.size())
                .arg(again.detail),
            call.milliseconds + again.milliseconds};
}

CallResult DeviceChecker::sendWorkKey(QString* problem, int* cipherSize)
{
    const QByteArray cipher =
        keyLibrary(m_mainKey, m_workKey, kSm4, false, kMaxWorkKeyCipher, problem);
    if (cipherSize)
        *cipherSize = cipher.size();
    if (cipher.isEmpty())
        return CallResult();
    const QByteArray text = toSplitNibble(cipher);
    return m_process.call(kSetPwWkey, {text.size()}, -1, text);
}

DeviceChecker::Verdict DeviceChecker::checkWorkKey()
{
    QString problem;
    int cipherSize = 0;
    const CallResult call = sendWorkKey(&problem, &cipherSize);
    if (!problem.isEmpty())
        return {CheckStatus::Fail, problem};
    if (!call.returned)
        return failure(call);
    m_workKeyAccepted = call.code == 0;
    if (!m_workKeyAccepted)
        return {
            CheckStatus::Fail,
            QStringLiteral("refused with %1 this run's work key under its main key").arg(call.code),
            call.milliseconds};
    return {CheckStatus::Pass,
            QStringLiteral("accepted this run's work key under its main key (SM4, %1 bytes)")
                .arg(cipherSize),
            call.milliseconds};
}

DeviceChecker::Verdict DeviceChecker::checkPinBlock()
{
    // The simulator types by itself; at a device the tester must, and the call waits for it.
    if (!m_report.library().simulator)
        m_sink(QStringLiteral("请在密码键盘上输入 %1 并确认").arg(m_options.pin), false);
    m_pinCall =
        m_process.call(kInputPassword, {kPinTimeout, kPinMaxLength, kPinOutSize}, kPinOutSize);
    const CallResult& call = m_pinCall;
    if (!call.returned)
        return failure(call);
    PinBlockReading reading;
    const QString problem = pinBlockProblem(call, &reading);
    if (!problem.isEmpty())
        return {CheckStatus::Fail, problem, call.milliseconds};
    return {CheckStatus::Pass,
            QStringLiteral("the PIN block (%1) decrypts under this run's work key to %2, the PIN "
                           "typed")
                .arg(reading.layout, reading.pin),
            call.milliseconds};
}

QString DeviceChecker::pinBlockProblem(const CallResult& call, PinBlockReading* reading) const
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
    if (reading->pin != m_options.pin)
        return QStringLiteral("the PIN block (%1) carries %2, not the PIN typed, %3; decrypted: %4")
            .arg(reading->layout, reading->pin, m_options.pin, hex);
    return QString();
}

DeviceChecker::Verdict DeviceChecker::checkPinBounds()
{
    return bounds(m_pinCall, kPinOutSize);
}

CallResult DeviceChecker::readSerial(QByteArray* serial, QString* problem)
{
    const CallResult call = m_process.call(kReadDeviceSN, {kDevicePort, kDeviceBaud}, kSerialSize);
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

DeviceChecker::Verdict DeviceChecker::checkSerialRead()
{
    QString problem;
    const CallResult call = readSerial(&m_serial, &problem);
    if (!call.returned)
        return failure(call);
    if (!problem.isEmpty())
        return {CheckStatus::Fail, problem, call.milliseconds};
    return {CheckStatus::Pass,
            QStringLiteral("serial number %1, nothing written past %2 bytes")
                .arg(quoted(m_serial))
                .arg(kSerialSize),
            call.milliseconds};
}

DeviceChecker::Verdict DeviceChecker::checkSerialWrite()
{
    const QByteArray original = m_serial;
    const QByteArray test(original == kTestSerials[0] ? kTestSerials[1] : kTestSerials[0]);
    double milliseconds = 0;
    QString problem; // the first thing that went wrong
    bool refused = false;

    // Writes sn and reads it back. The call that did not complete, if one did not.
    auto writeAndReadBack = [&](const QByteArray& sn, const QString& stage) {
        const CallResult written =
            m_process.call(kWriteDeviceSN, {kDevicePort, kDeviceBaud}, -1, sn);
        if (!written.returned)
            return written;
        milliseconds += written.milliseconds;
        if (written.code != 0) {
            refused = true;
            if (problem.isEmpty())
                problem = QStringLiteral("PN_WriteDeviceSN refused %1 with %2")
                              .arg(quoted(sn))
                              .arg(written.code);
            return written;
        }
        QByteArray readBack;
        QString readProblem;
        const CallResult read = readSerial(&readBack, &readProblem);
        if (!read.returned)
            return read;
        milliseconds += read.milliseconds;
        if (problem.isEmpty() && !readProblem.isEmpty())
            problem = QStringLiteral("reading back %1 %2: %3").arg(stage, quoted(sn), readProblem);
        else if (problem.isEmpty() && readBack != sn)
            problem = QStringLiteral("read back %1 %2 %3").arg(quoted(readBack), stage, quoted(sn));
        return read;
    };

    CallResult last = writeAndReadBack(test, QStringLiteral("after writing"));
    // A refused test number leaves the original in place: nothing to restore.
    if (last.returned && !refused)
        last = writeAndReadBack(original, QStringLiteral("after restoring"));
    if (!last.returned)
        return failure(last);
    if (!problem.isEmpty())
        return {CheckStatus::Fail, problem, milliseconds};
    return {CheckStatus::Pass,
            QStringLiteral("wrote %1, read it back, restored %2 and read it back")
                .arg(quoted(test), quoted(original)),
            milliseconds};
}

DeviceChecker::Verdict DeviceChecker::checkSoak()
{
    // Only the simulator types a PIN by itself: at a device every entry would need the tester.
    const bool pinEntry =
        m_report.library().simulator && (m_file.exported() & bit(kInputPassword)) != 0;
    Soak soak(m_options.repeat);
    int round = 1;
    for (; round <= m_options.repeat && m_process.running(); ++round) {
        soakRound(round, pinEntry, &soak);
        soak.addBoundary(m_process.echo());
        soak.sample(round, m_process.hostPid());
    }
    soak.setRoundsRun(round - 1);
    m_report.setSoak(soak);

    QStringList problems;
    if (soak.failedRounds() > 0)
        problems << QStringLiteral("%1 of %2 rounds failed, the first at round %3, %4: %5")
                        .arg(soak.failedRounds())
                        .arg(soak.roundsRun())
                        .arg(soak.firstFailure().round)
                        .arg(soak.firstFailure().function, soak.firstFailure().detail);
    const QString growth = soak.growthProblem();
    if (!growth.isEmpty())
        problems << QStringLiteral("the library's process leaks: ") + growth;
    // A process that hid itself from /proc could leak unseen: that is not a pass.
    if (!soak.unreadable().isEmpty())
        problems << QStringLiteral("its growth cannot be judged: ") + soak.unreadable();
    if (!problems.isEmpty())
        return {CheckStatus::Fail, problems.join(QStringLiteral("; ")), soak.milliseconds()};
    const QString rounds =
        QStringLiteral("%1 rounds of the key chain%2, none failed")
            .arg(soak.roundsRun())
            .arg(pinEntry ? QStringLiteral(" and the PIN entry")
                          : QStringLiteral(" without the PIN entry, which only the simulator "
                                           "makes by itself"));
    if (!soak.growthJudged())
        return {CheckStatus::Pass,
                rounds
                    + QStringLiteral("; the process's growth was not judged: that takes --repeat "
                                     "%1 or more")
                          .arg(Soak::kRoundsToJudge),
                soak.milliseconds()};
    return {CheckStatus::Pass, rounds + QStringLiteral(", and the library's process did not grow"),
            soak.milliseconds()};
}

void DeviceChecker::soakRound(int round, bool pinEntry, Soak* soak)
{
    // Counts the call; false, with the failure kept, when it did not return.
    const auto called = [&](int function, const CallResult& call) {
        const QString name = QLatin1String(kDeviceFunctionNames[function]);
        soak->addCall(name, call.returned, call.milliseconds);
        if (!call.returned)
            soak->addFailure(round, name, call.failure);
        return call.returned;
    };
    const auto failed = [&](int function, const QString& detail) {
        soak->addFailure(round, QLatin1String(kDeviceFunctionNames[function]), detail);
    };

    if (!randomKeys()) {
        failed(kSetPwMkey, QStringLiteral("libcrypto's RAND_bytes cannot make this round's keys"));
        return;
    }
    const CallResult pair = requestKeyPair();
    if (!called(kGenerateKeyFromPw, pair))
        return;
    if (m_publicKey.isEmpty())
        return failed(kGenerateKeyFromPw, m_publicKeyProblem);
    QString problem;
    const QByteArray cipher = mainKeyCipher(false, &problem);
    if (cipher.isEmpty())
        return failed(kSetPwMkey, problem);
    const CallResult main = sendMainKey(cipher);
    if (!called(kSetPwMkey, main))
        return;
    if (main.code != 0)
        return failed(kSetPwMkey,
                      QStringLiteral("refused with %1 this round's main key").arg(main.code));
    // The tampered key on every tenth round: a device that stops refusing it is caught too.
    if (round % 10 == 0) {
        const QByteArray tampered = mainKeyCipher(true, &problem);
        if (tampered.isEmpty())
            return failed(kSetPwMkey, problem);
        const CallResult refused = sendMainKey(tampered);
        if (!called(kSetPwMkey, refused))
            return;
        if (refused.code == 0)
            return failed(kSetPwMkey,
                          QStringLiteral("accepted (0) this round's main key with one "
                                         "bit of C3 flipped"));
    }
    const CallResult work = sendWorkKey(&problem);
    if (!problem.isEmpty())
        return failed(kSetPwWkey, problem);
    if (!called(kSetPwWkey, work))
        return;
    if (work.code != 0)
        return failed(kSetPwWkey,
                      QStringLiteral("refused with %1 this round's work key").arg(work.code));
    if (!pinEntry)
        return;
    const CallResult pin =
        m_process.call(kInputPassword, {kPinTimeout, kPinMaxLength, kPinOutSize}, kPinOutSize);
    if (!called(kInputPassword, pin))
        return;
    PinBlockReading reading;
    const QString pinProblem = pinBlockProblem(pin, &reading);
    if (!pinProblem.isEmpty())
        failed(kInputPassword, pinProblem);
}
