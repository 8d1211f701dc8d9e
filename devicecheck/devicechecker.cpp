#include "devicecheck/devicechecker.h"

#include "device/devicecalls.h"
#include "devicecheck/devicereply.h"
#include "devicecheck/pinblockreader.h"
#include "util/visibletext.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSysInfo>

#include <algorithm>

namespace {
constexpr quint32 bit(int function)
{
    return 1u << function;
}

// A key pair buffer smaller than the tool's, tried on purpose to see the size honoured.
constexpr int kSmallKeyPairSize = 64;

const char kTestSerials[2][16] = {"DEVICE-CHECK-1", "DEVICE-CHECK-2"};

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

CheckResult DeviceChecker::result(const Check& check)
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
        {m_options.writeSn, SnWriteAsked},           {m_keyPairCall.returned, KeyPairReturned},
        {!m_chain.publicKey().isEmpty(), PublicKey}, {m_mainKeyAccepted, MainKeyAccepted},
        {m_workKeyAccepted, WorkKeyAccepted},        {m_pinCall.returned, PinEntryReturned},
        {!m_serial.isEmpty(), SerialRead},           {m_options.repeat > 1, SoakAsked}};
    quint32 facts = 0;
    for (const auto& fact : established)
        if (fact.first)
            facts |= fact.second;
    const auto need = std::find_if(std::begin(kMissing), std::end(kMissing), [&](const auto& n) {
        return (check.needs & n.fact) && !(facts & n.fact);
    });
    const bool needMissing = need != std::end(kMissing);
    const auto skipFor = [&] {
        return CheckResult::skip(
            QString::fromUtf8(need->reason)
                + (need->fact == PublicKey ? m_chain.publicKeyProblem() : QString()),
            need->excused);
    };
    // A check the tester did not ask for is excused, whatever else happened.
    if (needMissing && need->excused)
        return skipFor();
    if (!m_process.running())
        return CheckResult::skip(QStringLiteral("not run: the library's process has ended, so the "
                                                "device's state is unknown"));
    QStringList missing;
    for (int i = 0; i < kDeviceFunctionCount; ++i)
        if ((check.functions & bit(i)) && !(m_file.exported() & bit(i)))
            missing << QLatin1String(kDeviceFunctionNames[i]);
    if (!missing.isEmpty())
        return CheckResult::skip(QStringLiteral("needs %1, which the library does not export")
                                     .arg(missing.join(QStringLiteral(", "))));
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
    , m_chain(&m_process)
{
}

CheckReport DeviceChecker::run()
{
    RunContext context;
    context.options = m_options;
    context.started = QDateTime::currentDateTimeUtc();
    context.host = QSysInfo::machineHostName();
    context.version = toolVersion();
    context.keyLibrary = keyLibraryIdentity();
    QElapsedTimer wall;
    wall.start();
    const auto ended = [&] {
        context.wallMilliseconds = static_cast<double>(wall.nsecsElapsed()) / 1e6;
        m_report.setContext(context);
        return m_report;
    };

    if (!load())
        return ended();
    if (!m_chain.freshKeys()) {
        const QString reason = QStringLiteral("libcrypto's RAND_bytes cannot make this run's keys");
        m_report.setLoadFailure(reason);
        m_sink(QStringLiteral("device-check: cannot check the device library: ") + reason, true);
        m_process.stop();
        return ended();
    }
    m_report.setKeyCheckValues(m_chain.mainKeyCheckValue(), m_chain.workKeyCheckValue());

    for (const Check& check : checks())
        record(check.id, result(check));
    if (m_report.soak().rounds() > 0)
        for (const QString& line : m_report.soak().lines())
            m_sink(line, false);
    finish();

    m_report.setTimings(m_process.timings());
    for (const QString& line : m_report.timingLines())
        m_sink(line, false);
    m_sink(m_report.summaryLine(), false);
    return ended();
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
        identity.unconfirmedBecause = QStringLiteral("the file changed since it was opened");
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
        reason = m_file.problem();
    } else {
        HostLaunch launch;
        launch.hostProgram = m_options.hostProgram;
        launch.library = m_file.realPath();
        launch.devices = defaultDevices() + m_options.devices;
        // The simulator takes the PIN its user "types" from its environment; no other library
        // is given it.
        launch.simulator = m_file.simulatorMark();
        launch.pin = m_options.pin;
        const LoadResult load = m_process.start(launch);
        if (!load.loaded)
            reason = m_file.loadFailure(load.failure, load.loaderError);
    }
    m_report.setSandbox(m_process.sandboxProblem(), m_process.inNamespaces());
    if (!reason.isEmpty()) {
        // "<the file's path, cleaned>: <why>", in English whatever the loader said.
        reason = displayedPath(path) + QStringLiteral(": ") + reason;
        m_report.setLoadFailure(reason);
        reportSandbox();
        m_sink(QStringLiteral("device-check: cannot load the device library: ")
                   + visibleText(reason),
               true);
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

void DeviceChecker::record(const char* id, CheckResult result)
{
    result.id = QLatin1String(id);
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
    if (m_process.outputBytes() > output.size())
        shown += QStringLiteral(" … (%1 bytes in all)").arg(m_process.outputBytes());
    m_report.setLibraryOutput(shown);
    m_sink(QStringLiteral("library output: ") + shown, false);
}

CheckResult DeviceChecker::failure(const CallResult& call, const QString& problem)
{
    return CheckResult::fail(problem.isEmpty() ? call.failure : problem);
}

CheckResult DeviceChecker::refusal(const CallResult& call, const QString& problem,
                                   const QString& offered)
{
    if (!call.returned)
        return failure(call, problem);
    if (call.code != 0)
        return CheckResult::pass(QStringLiteral("refused with %1 %2").arg(call.code).arg(offered),
                                 call.milliseconds);
    return CheckResult::fail(QStringLiteral("accepted (0) ") + offered, call.milliseconds);
}

CheckResult DeviceChecker::bounds(const CallResult& call, int size)
{
    const QString overrun = overrunProblem(call.out, size);
    if (overrun.isEmpty())
        return CheckResult::pass(
            QStringLiteral("nothing written past the %1 bytes passed").arg(size));
    return CheckResult::fail(overrun);
}

CheckResult DeviceChecker::checkExports()
{
    if (m_process.outputBytes() > 0) {
        m_process.stop();
        return CheckResult::fail(QStringLiteral("the library wrote %1 bytes to standard output or "
                                                "error while loading")
                                     .arg(m_process.outputBytes()));
    }
    QStringList missing;
    for (int i = 0; i < kDeviceFunctionCount; ++i)
        if (!(m_file.exported() & bit(i)))
            missing << QLatin1String(kDeviceFunctionNames[i]);
    if (!missing.isEmpty())
        return CheckResult::fail(QStringLiteral("missing: ") + missing.join(", "));
    return CheckResult::pass(QStringLiteral("all 11 device functions resolve"));
}

CheckResult DeviceChecker::checkKeyPair()
{
    m_keyPairCall = m_chain.requestKeyPair(kKeyPairSize);
    const QByteArray& key = m_chain.publicKey();
    if (!m_keyPairCall.returned)
        return failure(m_keyPairCall);
    if (key.isEmpty())
        return CheckResult::fail(m_chain.publicKeyProblem(), m_keyPairCall.milliseconds);
    return CheckResult::pass(
        QStringLiteral("%1 characters of split-nibble text, %2 bytes %3, a point on the SM2 "
                       "curve")
            .arg(2 * key.size())
            .arg(key.size())
            .arg(key.size() == 64 ? QStringLiteral("X‖Y") : QStringLiteral("04‖X‖Y")),
        m_keyPairCall.milliseconds);
}

CheckResult DeviceChecker::checkKeyPairBounds()
{
    return bounds(m_keyPairCall, kKeyPairSize);
}

CheckResult DeviceChecker::checkSmallKeyBuffer()
{
    const CallResult call =
        m_process.call(kGenerateKeyFromPw, {kSmallKeyPairSize}, kSmallKeyPairSize);
    if (!call.returned)
        return failure(call);
    // A request that succeeded made a new key pair; the main-key checks need the current one, and
    // a device that cannot give it any more fails here rather than leave them unrun.
    if (call.code == 0) {
        const CallResult again = m_chain.requestKeyPair(kKeyPairSize);
        if (!again.returned)
            return failure(again);
        if (m_chain.publicKey().isEmpty())
            return CheckResult::fail(
                QStringLiteral("returned 0, then the key pair request with %1 bytes failed: %2")
                    .arg(kKeyPairSize)
                    .arg(m_chain.publicKeyProblem()),
                call.milliseconds + again.milliseconds);
    }

    const QString overrun = overrunProblem(call.out, kSmallKeyPairSize);
    QByteArray text;
    if (!overrun.isEmpty())
        return CheckResult::fail(
            QStringLiteral("returned %1 and wrote past the buffer: %2").arg(call.code).arg(overrun),
            call.milliseconds);
    if (call.code != 0)
        return CheckResult::pass(QStringLiteral("refused with %1, nothing written past the %2 "
                                                "bytes passed")
                                     .arg(call.code)
                                     .arg(kSmallKeyPairSize),
                                 call.milliseconds);
    if (!terminatedText(call.out, kSmallKeyPairSize, &text))
        return CheckResult::fail(QStringLiteral("returned 0 but left ")
                                     + noNulProblem(kSmallKeyPairSize),
                                 call.milliseconds);
    return CheckResult::pass(QStringLiteral("returned 0 with %1 characters and their NUL within "
                                            "the %2 bytes passed")
                                 .arg(text.size())
                                 .arg(kSmallKeyPairSize),
                             call.milliseconds);
}

CheckResult DeviceChecker::checkTamperedMainKey()
{
    QString problem;
    const CallResult call = m_chain.sendMainKey(true, &problem);
    return refusal(call, problem, QStringLiteral("this run's main key with one bit of C3 flipped"));
}

CheckResult DeviceChecker::checkEmptyMainKey()
{
    return refusal(m_process.call(kSetPwMkey, {0}), QString(), QStringLiteral("the empty text"));
}

CheckResult DeviceChecker::checkMainKey()
{
    QString problem;
    int cipherSize = 0;
    const CallResult call = m_chain.sendMainKey(false, &problem, &cipherSize);
    if (!call.returned)
        return failure(call, problem);
    if (call.code != 0)
        return CheckResult::fail(
            QStringLiteral("refused with %1 this run's main key's SM2 ciphertext").arg(call.code),
            call.milliseconds);
    m_mainKeyAccepted = true;
    // Offered again after the genuine key: a device that refused the first offer only because it
    // came first is caught here.
    const CallResult tampered = m_chain.sendMainKey(true, &problem);
    const CheckResult again =
        refusal(tampered, problem, QStringLiteral("the same key with one bit of C3 flipped"));
    if (again.status != CheckStatus::Pass)
        return CheckResult::fail(
            QStringLiteral("accepted this run's main key, then ") + again.detail,
            again.milliseconds < 0 ? -1 : call.milliseconds + again.milliseconds);
    return CheckResult::pass(
        QStringLiteral("accepted this run's main key's SM2 ciphertext (%1 bytes), then %2")
            .arg(cipherSize)
            .arg(again.detail),
        call.milliseconds + again.milliseconds);
}

CheckResult DeviceChecker::checkWorkKey()
{
    QString problem;
    int cipherSize = 0;
    const CallResult call = m_chain.sendWorkKey(&problem, &cipherSize);
    if (!call.returned)
        return failure(call, problem);
    m_workKeyAccepted = call.code == 0;
    if (!m_workKeyAccepted)
        return CheckResult::fail(
            QStringLiteral("refused with %1 this run's work key under its main key").arg(call.code),
            call.milliseconds);
    return CheckResult::pass(
        QStringLiteral("accepted this run's work key under its main key (SM4, %1 bytes)")
            .arg(cipherSize),
        call.milliseconds);
}

CheckResult DeviceChecker::checkPinBlock()
{
    // The simulator types by itself; at a device the tester must, and the call waits for it.
    if (!m_report.library().simulator)
        m_sink(QStringLiteral("请在密码键盘上输入 %1 并确认").arg(m_options.pin), false);
    PinBlockReading reading;
    QString problem;
    m_pinCall = m_chain.enterPin(m_options.pin, &reading, &problem);
    if (!m_pinCall.returned)
        return failure(m_pinCall);
    if (!problem.isEmpty())
        return CheckResult::fail(problem, m_pinCall.milliseconds);
    return CheckResult::pass(QStringLiteral("the PIN block (%1) decrypts under this run's work key "
                                            "to %2, the PIN typed")
                                 .arg(reading.layout, reading.pin),
                             m_pinCall.milliseconds);
}

CheckResult DeviceChecker::checkPinBounds()
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

CheckResult DeviceChecker::checkSerialRead()
{
    QString problem;
    const CallResult call = readSerial(&m_serial, &problem);
    if (!call.returned)
        return failure(call);
    if (!problem.isEmpty())
        return CheckResult::fail(problem, call.milliseconds);
    return CheckResult::pass(QStringLiteral("serial number %1, nothing written past %2 bytes")
                                 .arg(quoted(m_serial))
                                 .arg(kSerialSize),
                             call.milliseconds);
}

CheckResult DeviceChecker::checkSerialWrite()
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
        return CheckResult::fail(problem, milliseconds);
    return CheckResult::pass(QStringLiteral("wrote %1, read it back, restored %2 and read it back")
                                 .arg(quoted(test), quoted(original)),
                             milliseconds);
}

CheckResult DeviceChecker::checkSoak()
{
    // Only the simulator types a PIN by itself: at a device every entry would need the tester.
    const bool pinEntry =
        m_report.library().simulator && (m_file.exported() & bit(kInputPassword)) != 0;
    Soak soak(m_options.repeat);
    int roundsRun = 0;
    for (int round = 1; round <= m_options.repeat && m_process.running(); ++round) {
        soakRound(round, pinEntry, &soak);
        roundsRun = round;
        // A round that ended the library's process leaves nothing to sample.
        if (!m_process.running())
            break;
        soak.addBoundary(m_process.echo());
        soak.sample(round, m_process.hostPid());
    }
    soak.setRoundsRun(roundsRun);
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
        return CheckResult::fail(problems.join(QStringLiteral("; ")), soak.milliseconds());
    const QString rounds =
        QStringLiteral("%1 rounds of the key chain%2, none failed")
            .arg(soak.roundsRun())
            .arg(pinEntry ? QStringLiteral(" and the PIN entry")
                          : QStringLiteral(" without the PIN entry, which only the simulator "
                                           "makes by itself"));
    if (!soak.growthJudged())
        return CheckResult::pass(rounds
                                     + QStringLiteral("; the process's growth was not judged: "
                                                      "that takes --repeat %1 or more")
                                           .arg(Soak::kRoundsToJudge),
                                 soak.milliseconds());
    return CheckResult::pass(rounds + QStringLiteral(", and the library's process did not grow"),
                             soak.milliseconds());
}

void DeviceChecker::soakRound(int round, bool pinEntry, Soak* soak)
{
    // Counts the call when one was made; false, with the failure kept, when the step failed:
    // the call did not return, the key library could not make its part, or the device refused.
    const auto step = [&](int function, const CallResult& call, const QString& problem,
                          const QString& refused = QString()) {
        const QString name = QLatin1String(kDeviceFunctionNames[function]);
        if (call.returned || !call.failure.isEmpty())
            soak->addCall(name, call.returned, call.milliseconds);
        const QString failure = !call.returned ? (problem.isEmpty() ? call.failure : problem)
            : !problem.isEmpty()               ? problem
                                               : refused;
        if (!failure.isEmpty())
            soak->addFailure(round, name, failure);
        return failure.isEmpty();
    };
    const auto refusedWith = [](const CallResult& call, const QString& what) {
        return call.returned && call.code != 0
            ? QStringLiteral("refused with %1 %2").arg(call.code).arg(what)
            : QString();
    };

    if (!m_chain.freshKeys()) {
        step(kSetPwMkey, CallResult(),
             QStringLiteral("libcrypto's RAND_bytes cannot make this round's keys"));
        return;
    }
    const CallResult pair = m_chain.requestKeyPair(kKeyPairSize);
    if (!step(kGenerateKeyFromPw, pair,
              pair.returned && m_chain.publicKey().isEmpty() ? m_chain.publicKeyProblem()
                                                             : QString()))
        return;
    QString problem;
    const CallResult main = m_chain.sendMainKey(false, &problem);
    if (!step(kSetPwMkey, main, problem,
              refusedWith(main, QStringLiteral("this round's main key"))))
        return;
    // The tampered key on every tenth round: a device that stops refusing it is caught too.
    if (round % 10 == 0) {
        const CallResult tampered = m_chain.sendMainKey(true, &problem);
        const QString accepted = tampered.returned && tampered.code == 0
            ? QStringLiteral("accepted (0) this round's main key with one bit of C3 flipped")
            : QString();
        if (!step(kSetPwMkey, tampered, problem, accepted))
            return;
    }
    const CallResult work = m_chain.sendWorkKey(&problem);
    if (!step(kSetPwWkey, work, problem,
              refusedWith(work, QStringLiteral("this round's work key"))))
        return;
    if (!pinEntry)
        return;
    PinBlockReading reading;
    const CallResult pin = m_chain.enterPin(m_options.pin, &reading, &problem);
    step(kInputPassword, pin, problem);
}
