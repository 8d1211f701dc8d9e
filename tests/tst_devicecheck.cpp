// The device checker run in-process against the simulator, normally and in each of its fault
// modes, against a scripted library that lacks a function, and against a hostile library that
// ends, hangs, overruns, prints or fakes its way through: exactly the expected checks fail or are
// skipped, every other one passes, and the exit code says whether the library qualifies. The
// program itself against a hostile library that turns on the checker's process, its output or
// its evidence. And its command line.
#include "devicecheck/devicechecker.h"
#include "devicecheck/pinblockreader.h"

#include "childprocess.h"
#include "workingdirectory.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryFile>
#include <QXmlStreamReader>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>

namespace {
QString expectedStatus(const QString& id, const QStringList& failing, const QStringList& skipped)
{
    if (failing.contains(id))
        return QStringLiteral("FAIL");
    return skipped.contains(id) ? QStringLiteral("SKIP") : QStringLiteral("PASS");
}

// Every check from the given one on, for a run that ended there.
QStringList checksAfter(const QString& id)
{
    const QStringList& ids = DeviceChecker::checkIds();
    return ids.mid(ids.indexOf(id) + 1);
}

// The lines of a report but the one that says the sandbox is unavailable, where it is.
QStringList withoutSandboxLine(const QStringList& lines)
{
    return lines.filter(QRegularExpression(QStringLiteral("^(?!sandbox: unavailable: )")));
}

// The processes for which matches(pid, its /proc entry's file name) holds.
template <typename Matches>
QList<qint64> processes(Matches matches)
{
    QList<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number && pid != QCoreApplication::applicationPid() && matches(entry))
            found << pid;
    }
    return found;
}

QByteArray procFile(const QString& pid, const char* name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid, QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The processes whose command line holds marker: the library's processes are copies of the
// checker's, and keep its arguments.
QList<qint64> processesMarked(const QByteArray& marker)
{
    return processes([&](const QString& pid) { return procFile(pid, "cmdline").contains(marker); });
}

// This process's children, ended or not: where it is the subreaper, every process the library
// of an in-process run left behind is one.
QList<qint64> childProcesses()
{
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    return processes([&](const QString& pid) {
        const QByteArray stat = procFile(pid, "stat");
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        return fields.size() > 1 && fields[1] == self;
    });
}

// Why xml is not a JUnit report that the schema CI servers read accepts, with this many failure
// and error elements; empty when it is.
QString junitProblem(const QByteArray& xml, int failures, int errors)
{
    QTemporaryFile file;
    if (!file.open() || file.write(xml) != xml.size() || !file.flush())
        return QStringLiteral("cannot write the report to a file");
    ChildProcess xmllint;
    if (!xmllint.start(QStringLiteral("xmllint"),
                       {"--noout", "--schema", JUNIT_SCHEMA_PATH, file.fileName()})
        || !xmllint.waitForFinished(30000))
        return QStringLiteral("xmllint (libxml2-utils) did not run: ") + xmllint.error();
    if (xmllint.exitCode() != 0)
        return QStringLiteral("xmllint refused the report (its reasons above):\n")
            + QString::fromUtf8(xml);
    QXmlStreamReader reader(xml);
    int found[2] = {0, 0};
    while (reader.readNextStartElement() || !reader.atEnd()) {
        if (reader.isStartElement() && reader.name() == QLatin1String("failure"))
            ++found[0];
        if (reader.isStartElement() && reader.name() == QLatin1String("error"))
            ++found[1];
        if (!reader.isStartElement())
            reader.readNext();
    }
    if (found[0] != failures || found[1] != errors)
        return QStringLiteral("%1 failures and %2 errors, not %3 and %4:\n")
                   .arg(found[0])
                   .arg(found[1])
                   .arg(failures)
                   .arg(errors)
            + QString::fromUtf8(xml);
    return QString();
}

// Starts device-check with arguments: under the emulator in a cross build.
bool startDeviceCheck(
    ChildProcess* process, QStringList arguments,
    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QString program = QStringLiteral(DEVICE_CHECK_PATH);
    if (!QString(DEVICE_CHECK_EMULATOR).isEmpty()) {
        arguments.prepend(program);
        program = QStringLiteral(DEVICE_CHECK_EMULATOR);
    }
    return process->start(program, arguments, environment);
}

// Whether the sandbox holds here, from the evidence of a run against the simulator; why not.
QString sandboxProblem()
{
    static const QString problem = [] {
        WorkingDirectory directory;
        directory.copyLibrary(QStringLiteral(SIMULATOR_PATH));
        const QString json = directory.rootPath() + QStringLiteral("/sandbox.json");
        ChildProcess process;
        QFile evidence(json);
        if (!startDeviceCheck(&process, {"--json", json}) || !process.waitForFinished(60000)
            || !evidence.open(QIODevice::ReadOnly))
            return QStringLiteral("device-check did not run");
        const QJsonObject sandbox =
            QJsonDocument::fromJson(evidence.readAll()).object().value("sandbox").toObject();
        return sandbox.value("available").toBool() ? QString()
                                                   : sandbox.value("unavailableBecause").toString();
    }();
    return problem;
}
}

class TestDeviceCheck : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void checksAgainstLibrary_data();
    void checksAgainstLibrary();
    void programAgainstHostileLibrary_data();
    void programAgainstHostileLibrary();
    void programEndedBySignal_data();
    void programEndedBySignal();
    void soak_data();
    void soak();
    void arguments_data();
    void arguments();
    void readPinBlock_data();
    void readPinBlock();
};

void TestDeviceCheck::init()
{
    qunsetenv("QUORVEL_SIM_FAULT");
    qunsetenv("QUORVEL_SIM_PIN");
    qunsetenv("HOSTILE_DEVICE_MODE");
    qunsetenv("HOSTILE_DEVICE_REPLACEMENT");
    qunsetenv("HOSTILE_DEVICE_FORWARD");
}

void TestDeviceCheck::cleanup()
{
    init();
}

void TestDeviceCheck::checksAgainstLibrary_data()
{
    QTest::addColumn<QString>("library");  // copied into a fresh directory; "fifo": a FIFO there
    QTest::addColumn<QByteArray>("fault"); // the simulator's or the hostile library's mode
    QTest::addColumn<QByteArray>("simulatorPin"); // empty: QUORVEL_SIM_PIN unset
    QTest::addColumn<QString>("pin");
    QTest::addColumn<bool>("writeSn");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("confirmed");   // the identity of the library that loaded
    QTest::addColumn<QString>("expected"); // the start of a line of the output; %1: library path
    QTest::addColumn<QStringList>("failing");
    QTest::addColumn<QStringList>("skipped");

    const QString sim = QStringLiteral(SIMULATOR_PATH);
    const QString hostile = QStringLiteral(HOSTILE_DEVICE_PATH);
    const QStringList noSnWrite{"sn-write"};
    const QStringList none;
    QTest::newRow("normal") << sim << QByteArray() << QByteArray() << "123456" << false << 150 << 0
                            << true << QString() << none << noSnWrite;
    QTest::newRow("normal, --write-sn") << sim << QByteArray() << QByteArray() << "123456" << true
                                        << 150 << 0 << true << QString() << none << none;
    QTest::newRow("--pin sets the simulator's PIN")
        << sim << QByteArray() << QByteArray() << "4321" << false << 150 << 0 << true
        << "PASS pin-block: the PIN block (0N, BCD, F fill) decrypts under this run's work key to "
           "4321, the PIN typed"
        << none << noSnWrite;
    QTest::newRow("simulator's PIN already set to another")
        << sim << QByteArray() << QByteArray("4321") << "123456" << false << 150 << 1 << true
        << QString() << QStringList{"pin-block"} << noSnWrite;
    QTest::newRow("overrun") << sim << QByteArray("overrun") << QByteArray() << "123456" << false
                             << 150 << 1 << true << QString()
                             << QStringList{"keypair-bounds", "pin-bounds", "sn-read"} << noSnWrite;
    QTest::newRow("overrun, --write-sn")
        << sim << QByteArray("overrun") << QByteArray() << "123456" << true << 150 << 1 << true
        << QString() << QStringList{"keypair-bounds", "pin-bounds", "sn-read", "sn-write"} << none;
    QTest::newRow("ignore-size") << sim << QByteArray("ignore-size") << QByteArray() << "123456"
                                 << false << 150 << 1 << true << QString()
                                 << QStringList{"keypair-small-buffer"} << noSnWrite;
    QTest::newRow("accept-tampered")
        << sim << QByteArray("accept-tampered") << QByteArray() << "123456" << false << 150 << 1
        << true << QString() << QStringList{"mainkey-tampered", "mainkey-empty", "mainkey"}
        << noSnWrite;
    QTest::newRow("wrong-pin-block")
        << sim << QByteArray("wrong-pin-block") << QByteArray() << "123456" << false << 150 << 1
        << true << QString() << QStringList{"pin-block"} << noSnWrite;
    QTest::newRow("scripted library without SetPwWkey")
        << QStringLiteral(FAKE_DEVICE_NOWKEY_PATH) << QByteArray() << QByteArray() << "123456"
        << true << 150 << 1 << true << QString()
        << QStringList{"exports", "keypair-format", "keypair-small-buffer", "mainkey-empty",
                       "sn-read"}
        << QStringList{"mainkey-tampered", "mainkey",    "workkey",
                       "pin-block",        "pin-bounds", "sn-write"};
    QTest::newRow("hang") << sim << QByteArray("hang") << QByteArray() << "123456" << true << 3 << 1
                          << true
                          << "FAIL pin-block: InputPassword did not return within 3 s; the "
                             "device's state is unknown, so nothing more is called"
                          << QStringList{"pin-block"} << checksAfter("pin-block");

    // The library turns on the process that runs it.
    QTest::newRow("exit(0) in a call")
        << hostile << QByteArray("exit") << QByteArray() << "123456" << false << 150 << 1 << true
        << "FAIL keypair-format: the library ended the process with exit status 0 during "
           "GenerateKeyFromPw"
        << QStringList{"keypair-format"} << checksAfter("keypair-format");
    QTest::newRow("abort() in a call")
        << hostile << QByteArray("abort") << QByteArray() << "123456" << false << 150 << 1 << true
        << "FAIL mainkey-tampered: the library ended the process with SIGABRT during SetPwMkey"
        << QStringList{"mainkey-tampered"} << checksAfter("mainkey-tampered");
    QTest::newRow("exit(0) while loading")
        << hostile << QByteArray("exit-in-constructor") << QByteArray() << "123456" << false << 150
        << 2 << false
        << "cannot load the device library: %1: the library ended the process with exit status 0 "
           "while loading"
        << none << none;
    QTest::newRow("never returns while loading")
        << hostile << QByteArray("hang-in-constructor") << QByteArray() << "123456" << false << 2
        << 2 << false
        << "cannot load the device library: %1: the library did not finish loading within 2 s"
        << none << none;
    QTest::newRow("FIFO at the library path")
        << "fifo" << QByteArray() << QByteArray() << "123456" << false << 2 << 2 << false
        << "cannot load the device library: %1: not a regular file" << none << none;
    QTest::newRow("writes 3841 bytes past the size, 1 into the guard page")
        << hostile << QByteArray("overrun-3841") << QByteArray() << "123456" << false << 150 << 1
        << true
        << "FAIL keypair-format: GenerateKeyFromPw overran its buffer into the guard page, 3840 "
           "bytes past the 256 bytes passed"
        << QStringList{"keypair-format"} << checksAfter("keypair-format");
    QTest::newRow("writes 5000 bytes past the size")
        << hostile << QByteArray("overrun-5000") << QByteArray() << "123456" << false << 150 << 1
        << true
        << "FAIL keypair-format: GenerateKeyFromPw overran its buffer into the guard page, 3840 "
           "bytes past the 256 bytes passed"
        << QStringList{"keypair-format"} << checksAfter("keypair-format");
    QTest::newRow("prints a forged report line")
        << hostile << QByteArray("print") << QByteArray() << "123456" << false << 150 << 1 << true
        << "library output: PASS keypair-format: forged by the library\\x0A"
        << QStringList{"keypair-format"} << checksAfter("keypair-format");
    // A fake that decrypts nothing: it refuses only the first main key, takes any work key and
    // encrypts the PIN block under the window's fixed test work key.
    QTest::newRow("ignores the keys it is sent")
        << hostile << QByteArray() << QByteArray() << "123456" << false << 150 << 1 << true
        << "FAIL mainkey: accepted this run's main key, then accepted (0) the same key with one "
           "bit of C3 flipped"
        << QStringList{"mainkey", "pin-block"} << noSnWrite;
    QTest::newRow("the generator as public key")
        << hostile << QByteArray("never-decrypts") << QByteArray() << "123456" << false << 150 << 1
        << true
        << "FAIL keypair-format: the curve's generator, whose private key is 1, so that anyone can "
           "decrypt under it"
        << QStringList{"keypair-format"}
        << QStringList{"mainkey-tampered", "mainkey",    "workkey",
                       "pin-block",        "pin-bounds", "sn-write"};
    QTest::newRow("puts the simulator where its deleted file was named while loading")
        << hostile << QByteArray("replace-self") << QByteArray() << "123456" << false << 150 << 1
        << false << QString() << QStringList{"mainkey", "pin-block"} << noSnWrite;
    // A simulator behind a library that misbehaves only where the end of a run can see it.
    QTest::newRow("writes as it is unloaded, after its last call")
        << hostile << QByteArray("late-output") << QByteArray() << "123456" << false << 150 << 0
        << true << "library output: late output\\x0A" << none << noSnWrite;
    QTest::newRow("answers the small buffer with a cut text, then fails the key pair request")
        << hostile << QByteArray("cut-small-buffer") << QByteArray() << "123456" << false << 150
        << 1 << true
        << "FAIL keypair-small-buffer: returned 0, then the key pair request with 256 bytes "
           "failed: GenerateKeyFromPw returned -106"
        << QStringList{"keypair-small-buffer"}
        << QStringList{"mainkey-tampered", "mainkey",    "workkey",
                       "pin-block",        "pin-bounds", "sn-write"};
    QTest::newRow("rewrites its own file in place while loading")
        << hostile << QByteArray("rewrite-self") << QByteArray() << "123456" << false << 150 << 1
        << false
        << "11 passed, 0 failed, 2 skipped; not qualified: the library's identity is "
           "unconfirmed"
        << none << noSnWrite;
}

void TestDeviceCheck::checksAgainstLibrary()
{
    QFETCH(QString, library);
    QFETCH(QByteArray, fault);
    QFETCH(QByteArray, simulatorPin);
    QFETCH(QString, pin);
    QFETCH(bool, writeSn);
    QFETCH(int, timeout);
    QFETCH(int, exitCode);
    QFETCH(bool, confirmed);
    QFETCH(QString, expected);
    QFETCH(QStringList, failing);
    QFETCH(QStringList, skipped);

    // No row here repeats the key chain: the soak check is skipped, excused, in every one.
    if (!skipped.contains(QStringLiteral("soak")))
        skipped << QStringLiteral("soak");
    const bool hostile = library == QStringLiteral(HOSTILE_DEVICE_PATH);
    const bool simulator = library == QStringLiteral(SIMULATOR_PATH);
    WorkingDirectory directory;
    if (library == QStringLiteral("fifo"))
        QVERIFY(mkfifo(QFile::encodeName(directory.libraryPath()).constData(), 0600) == 0);
    else
        directory.copyLibrary(library);
    // What the hostile library puts in its own place in "replace-self".
    const QString replacement = QDir::current().absoluteFilePath(QStringLiteral("simulator.so"));
    QVERIFY(QFile::copy(QStringLiteral(SIMULATOR_PATH), replacement));
    qputenv("HOSTILE_DEVICE_REPLACEMENT", QFile::encodeName(replacement));
    if (!fault.isEmpty())
        qputenv(hostile ? "HOSTILE_DEVICE_MODE" : "QUORVEL_SIM_FAULT", fault);
    qputenv("HOSTILE_DEVICE_FORWARD", SIMULATOR_PATH);
    if (!simulatorPin.isEmpty())
        qputenv("QUORVEL_SIM_PIN", simulatorPin);
    const QString identity = exitCode == 2 || !confirmed
        ? QString()
        : QStringLiteral("library: ") + expectedIdentity(directory.libraryPath())
            + (simulator ? QStringLiteral(" (模拟设备)") : QString());

    CheckOptions options;
    options.library = directory.libraryPath();
    options.pin = pin;
    options.writeSn = writeSn;
    options.timeoutSeconds = timeout;
    QStringList lines;
    QStringList errors;
    DeviceChecker checker(
        options, [&](const QString& line, bool error) { (error ? errors : lines) << line; });
    const CheckReport report = checker.run();
    lines = withoutSandboxLine(lines);
    const QJsonObject json = report.toJson(DeviceChecker::toolVersion());
    QCOMPARE(report.exitCode(), exitCode);
    QCOMPARE(json.value("exitCode").toInt(), exitCode);
    QCOMPARE(json.value("qualified").toBool(), exitCode == 0);
    // Every process of the library's is gone: this process is the subreaper of all of them.
    QVERIFY2(childProcesses().isEmpty(), "a process of the library's is left");
    // The same results as JUnit XML: a failure for each failed check and one for the
    // qualification, an error for a library that did not load.
    const QString junit = junitProblem(report.toJUnit(DeviceChecker::toolVersion()),
                                       exitCode == 1 ? failing.size() + 1 : 0, exitCode == 2);
    QVERIFY2(junit.isEmpty(), qPrintable(junit));
    if (expected.contains(QStringLiteral("%1")))
        expected = expected.arg(directory.libraryPath());
    if (!expected.isEmpty()) {
        const QStringList& output = exitCode == 2 ? errors : lines;
        QVERIFY2(std::any_of(output.begin(), output.end(),
                             [&](const QString& line) { return line.startsWith(expected); }),
                 qPrintable((lines + errors).join('\n')));
    }
    if (exitCode == 2) {
        QVERIFY2(lines.isEmpty(), qPrintable(lines.join('\n')));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(json.value("library").toObject().value("loadFailure").toString(),
                 errors[0].section(": ", 1));
        return;
    }
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));

    // The identity: the file that was loaded, or no more than its path when that cannot be shown.
    const QJsonObject jsonLibrary = json.value("library").toObject();
    QCOMPARE(jsonLibrary.value("identityConfirmed").toBool(), confirmed);
    QCOMPARE(jsonLibrary.value("simulator").toBool(), confirmed && simulator);
    if (confirmed)
        QCOMPARE(lines.value(0), identity);
    else
        QVERIFY2(lines.value(0).startsWith("library: ")
                     && lines.value(0).endsWith(" sha256=unconfirmed"),
                 qPrintable(lines.value(0)));
    // The keys are this run's: the evidence names them by check value only.
    const QJsonObject keys = json.value("keys").toObject();
    QCOMPARE(keys.value("mainKeyCheckValue").toString().size(), 6);
    QCOMPARE(keys.value("workKeyCheckValue").toString().size(), 6);
    QVERIFY(keys.value("mainKeyCheckValue") != keys.value("workKeyCheckValue"));
    // The prompt for the tester comes before a PIN entry at a device, never at the simulator.
    QCOMPARE(lines.join('\n').contains(QStringLiteral("请在密码键盘上输入")),
             !simulator && !skipped.contains("pin-block"));

    const QJsonArray checks = json.value("checks").toArray();
    QCOMPARE(report.results().size(), DeviceChecker::checkIds().size());
    QCOMPARE(checks.size(), DeviceChecker::checkIds().size());
    for (int i = 0; i < report.results().size(); ++i) {
        const CheckResult& result = report.results()[i];
        const QString id = DeviceChecker::checkIds()[i];
        QCOMPARE(result.id, id);
        const QString status = expectedStatus(id, failing, skipped);
        const QString line = CheckReport::line(result);
        QVERIFY2(line.startsWith(status + ' ' + id + ": "), qPrintable(line));
        QVERIFY2(lines.contains(line), qPrintable(line));
        QCOMPARE(checks[i].toObject().value("result").toString(), status);
    }
    // Only the checker's own lines start with a verdict.
    const int passed = DeviceChecker::checkIds().size() - failing.size() - skipped.size();
    QCOMPARE(lines.filter(QRegularExpression("^PASS ")).size(), passed);
    // Qualified, or why not: every skip but those the tester chose is a check not run.
    const int notRun = skipped.size() - (writeSn ? 1 : 2);
    QStringList because;
    if (!failing.isEmpty())
        because << QStringLiteral("%1 check%2 failed")
                       .arg(failing.size())
                       .arg(failing.size() > 1 ? "s" : "");
    if (notRun > 0)
        because << QStringLiteral("%1 check%2 not run").arg(notRun).arg(notRun > 1 ? "s" : "");
    if (!confirmed)
        because << QStringLiteral("the library's identity is unconfirmed");
    QCOMPARE(lines.last(),
             QStringLiteral("%1 passed, %2 failed, %3 skipped; %4")
                 .arg(passed)
                 .arg(failing.size())
                 .arg(skipped.size())
                 .arg(because.isEmpty() ? QStringLiteral("qualified")
                                        : QStringLiteral("not qualified: ") + because.join(", ")));
}

// The program as a lab runs it, against a library that turns on the checker's own process, its
// output or its evidence, or on the process that hosts it, and that otherwise passes its calls on
// to the simulator with the wrong PIN block: whatever it tries, the run ends in time, exit 1 with
// the honest FAIL line, the evidence whole and unchanged, no process of the library's left.
void TestDeviceCheck::programAgainstHostileLibrary_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QString>("expected"); // the start of a line of the report
    // The line where the sandbox is unavailable; empty: the row needs the sandbox.
    QTest::addColumn<QString>("expectedWithout");

    const QString honest =
        QStringLiteral("FAIL pin-block: the PIN block (0N, BCD, F fill) carries 123457");
    QTest::newRow("traces the checker to turn its exit status into 0")
        << QByteArray("trace-checker")
        << "FAIL keypair-format: a process the library started tried ptrace() during "
           "GenerateKeyFromPw; the sandbox ended its process"
        << honest;
    QTest::newRow("writes a PASS line into the checker's standard output")
        << QByteArray("write-checker-stdout") << honest << honest;
    QTest::newRow("rewrites the JSON evidence once the checker has ended")
        << QByteArray("rewrite-evidence") << honest << QString();
    QTest::newRow("stops the checker")
        << QByteArray("stop-checker")
        << "FAIL keypair-format: the library tried kill() on the checker during "
           "GenerateKeyFromPw; the sandbox ended its process"
        << QString();
    QTest::newRow("stops the checker as it is unloaded, after its last call")
        << QByteArray("stop-at-unload")
        << "sandbox: the library tried kill() on the checker after the last call; the sandbox "
           "ended its process"
        << QString();
    QTest::newRow("sets the checker's file size limit to 0")
        << QByteArray("limit-checker")
        << "FAIL keypair-format: the library tried prlimit64() on another process during "
           "GenerateKeyFromPw; the sandbox ended its process"
        << QString();
    QTest::newRow("has its process held at its exit by a tracer it started")
        << QByteArray("hold-at-exit")
        << "FAIL keypair-format: a process the library started tried ptrace() during "
           "GenerateKeyFromPw; the sandbox ended its process"
        << honest;
    QTest::newRow("makes the checker its tracer and stops")
        << QByteArray("traceme")
        << "FAIL keypair-format: the library tried ptrace() during GenerateKeyFromPw; the "
           "sandbox ended its process"
        // Stopped, where the kernel lets it trace; ended by the signal under qemu-user, which
        // traces nothing. Either way not an exit status, and no process left.
        << "FAIL keypair-format: the library ";
}

void TestDeviceCheck::programAgainstHostileLibrary()
{
    QFETCH(QByteArray, mode);
    QFETCH(QString, expected);
    QFETCH(QString, expectedWithout);

    const QString unavailable = sandboxProblem();
    if (!unavailable.isEmpty()) {
        if (expectedWithout.isEmpty())
            QSKIP(
                qPrintable(QStringLiteral("needs the sandbox, unavailable here: ") + unavailable));
        expected = expectedWithout;
    }
    WorkingDirectory directory;
    directory.copyLibrary(QStringLiteral(HOSTILE_DEVICE_PATH));
    // Unique to this run, so that the processes holding it in their command line are its own.
    const QString json =
        directory.rootPath() + QStringLiteral("/evidence-%1.json").arg(QString::fromLatin1(mode));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QUORVEL_SIM_PIN"));
    environment.insert(QStringLiteral("QUORVEL_SIM_FAULT"), QStringLiteral("wrong-pin-block"));
    environment.insert(QStringLiteral("HOSTILE_DEVICE_MODE"), QString::fromLatin1(mode));
    environment.insert(QStringLiteral("HOSTILE_DEVICE_FORWARD"), QStringLiteral(SIMULATOR_PATH));

    ChildProcess checker;
    const int timeout = 5;
    QVERIFY2(startDeviceCheck(&checker,
                              {"--library", directory.libraryPath(), "--timeout",
                               QString::number(timeout), "--json", json},
                              environment),
             qPrintable(checker.error()));
    // The timeout, and the seconds the checker may take to end the library's processes.
    const bool finished = checker.waitForFinished(1000 * (timeout + 10));
    const QList<qint64> left = processesMarked(json.toLocal8Bit());
    checker.kill();
    for (const qint64 pid : left)
        kill(static_cast<pid_t>(pid), SIGKILL);
    const QStringList lines =
        QString::fromUtf8(checker.output()).trimmed().split(QLatin1Char('\n'));
    QVERIFY2(finished, "device-check did not end in time");
    QVERIFY2(left.isEmpty(), "processes of the library's were left running");
    QCOMPARE(checker.signal(), 0);
    QCOMPARE(checker.exitCode(), 1);
    QVERIFY2(std::any_of(lines.begin(), lines.end(),
                         [&](const QString& line) { return line.startsWith(expected); }),
             qPrintable(lines.join('\n')));
    QVERIFY2(lines.filter(QRegularExpression("^PASS pin-block")).isEmpty(),
             qPrintable(lines.join('\n')));
    QVERIFY2(lines.last().contains(QStringLiteral("; not qualified: ")), qPrintable(lines.last()));

    QFile evidence(json);
    QVERIFY(evidence.open(QIODevice::ReadOnly));
    const QJsonObject report = QJsonDocument::fromJson(evidence.readAll()).object();
    QCOMPARE(report.value("exitCode").toInt(), 1);
    QCOMPARE(report.value("qualified").toBool(), false);
    QCOMPARE(report.value("checks").toArray().size(), DeviceChecker::checkIds().size());
}

// A signal that ends the checker during a call ends the library's processes with it, and leaves
// neither evidence nor its temporary file.
void TestDeviceCheck::programEndedBySignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestDeviceCheck::programEndedBySignal()
{
    QFETCH(int, signal);

    WorkingDirectory directory;
    directory.copyLibrary(QStringLiteral(SIMULATOR_PATH));
    const QString json = directory.rootPath() + QStringLiteral("/evidence.json");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUORVEL_SIM_FAULT"), QStringLiteral("hang"));
    ChildProcess checker;
    QVERIFY2(startDeviceCheck(&checker, {"--json", json}, environment),
             qPrintable(checker.error()));
    // The PIN entry, which hangs, is under way once the work key has been judged.
    const bool underWay = checker.waitForOutput("workkey", 60000);
    const QByteArray output = checker.output();
    const QList<qint64> running = processesMarked(json.toLocal8Bit());
    // Never 0 or -1, which would signal this test's own process group or every process.
    QVERIFY2(underWay && checker.pid() > 0, output.constData());
    kill(checker.pid(), signal);
    QVERIFY(checker.waitForFinished(10000));
    const QList<qint64> left = processesMarked(json.toLocal8Bit());
    for (const qint64 pid : left)
        kill(static_cast<pid_t>(pid), SIGKILL);
    QVERIFY2(output.contains("workkey"), output.constData());
    QCOMPARE(running.size(), 2); // the checker and the library's process
    QVERIFY2(left.isEmpty(), "processes of the library's were left running");
    QCOMPARE(checker.signal(), signal);
    QCOMPARE(QDir(directory.rootPath()).entryList(QDir::Files), QStringList());
}

// The key chain repeated against the simulator, clean and in the faults that only show over many
// rounds: a clean library passes 500 rounds, and each fault fails the soak check with its reason,
// in the report, the JSON and the JUnit report.
void TestDeviceCheck::soak_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<int>("rounds");
    QTest::addColumn<QString>("expected"); // a pattern for the soak check's line

    QTest::newRow("clean, 500 rounds")
        << QByteArray() << 500
        << "^PASS soak: 500 rounds of the key chain and the PIN entry, none failed, and the "
           "library's process did not grow";
    QTest::newRow("keeps 4 KiB at every work key")
        << QByteArray("leak") << 120
        << "^FAIL soak: the library's process leaks: its resident size grew from \\d+ to \\d+ KiB "
           "over rounds 10 to 120 \\(\\d+ KiB per 100 rounds\\), above 64 KiB per 100 rounds in "
           "both halves";
    QTest::newRow("opens a descriptor at every key pair")
        << QByteArray("leak-fd") << 120
        << "^FAIL soak: the library's process leaks: its open descriptors grew from \\d+ to \\d+ "
           "over rounds 10 to 120, in both halves";
    // The 50th SetPwMkey of the run: four in the checks, eleven in every ten rounds.
    QTest::newRow("refuses one main key in 50")
        << QByteArray("flaky") << 120
        << "^FAIL soak: 2 of 120 rounds failed, the first at round 42, SetPwMkey: refused with "
           "-115 this round's main key";
}

void TestDeviceCheck::soak()
{
    QFETCH(QByteArray, fault);
    QFETCH(int, rounds);
    QFETCH(QString, expected);

    // The program, as a lab runs it: the library's process is then a copy of a small one, whose
    // resident size a leak moves at once.
    WorkingDirectory directory;
    directory.copyLibrary(QStringLiteral(SIMULATOR_PATH));
    const QString json = directory.rootPath() + QStringLiteral("/evidence.json");
    const QString junit = directory.rootPath() + QStringLiteral("/junit.xml");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QUORVEL_SIM_PIN"));
    environment.insert(QStringLiteral("QUORVEL_SIM_FAULT"), QString::fromLatin1(fault));
    // AddressSanitizer keeps freed memory in a quarantine, which grows the resident size that the
    // soak judges by itself: in its build the program runs without one here.
    if (environment.contains(QStringLiteral("ASAN_OPTIONS")))
        environment.insert(
            QStringLiteral("ASAN_OPTIONS"),
            environment.value(QStringLiteral("ASAN_OPTIONS"))
                + QStringLiteral(":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"));
    ChildProcess checker;
    QVERIFY2(startDeviceCheck(
                 &checker, {"--repeat", QString::number(rounds), "--json", json, "--junit", junit},
                 environment),
             qPrintable(checker.error()));
    QVERIFY(checker.waitForFinished(600000));
    const QStringList lines =
        QString::fromUtf8(checker.output()).trimmed().split(QLatin1Char('\n'));

    const QStringList soakLine = lines.filter(QRegularExpression("^(PASS|FAIL) soak"));
    QCOMPARE(soakLine.size(), 1);
    QVERIFY2(QRegularExpression(expected).match(soakLine[0]).hasMatch(), qPrintable(soakLine[0]));
    QCOMPARE(checker.exitCode(), fault.isEmpty() ? 0 : 1);
    // A line per function, the growth and the process boundary's cost a call.
    for (const char* function : {"GenerateKeyFromPw", "SetPwMkey", "SetPwWkey", "InputPassword"})
        QCOMPARE(
            lines
                .filter(QRegularExpression(
                    QStringLiteral("^soak %1 +\\d+ calls, \\d+ failed; median ").arg(function)))
                .size(),
            1);
    QCOMPARE(lines.filter(QRegularExpression("^soak growth over rounds 10 to ")).size(), 1);
    QCOMPARE(lines.filter(QRegularExpression("^soak process boundary: median ")).size(), 1);

    // The JSON: every round run, every failed call with its detail, the growth judged.
    QFile evidence(json);
    QVERIFY(evidence.open(QIODevice::ReadOnly));
    const QJsonObject soak =
        QJsonDocument::fromJson(evidence.readAll()).object().value("soak").toObject();
    QCOMPARE(soak.value("roundsRun").toInt(), rounds);
    int failedCalls = 0;
    for (const QJsonValue& function : soak.value("functions").toArray())
        failedCalls += function.toObject().value("failed").toInt();
    QCOMPARE(soak.value("failures").toArray().size(), failedCalls);
    QCOMPARE(soak.value("failedRounds").toInt() > 0, fault == "flaky");
    QCOMPARE(soak.value("growth").toObject().value("problem").toString().isEmpty(),
             fault != "leak" && fault != "leak-fd");
    // The JUnit report: the soak's failure and the qualification's.
    QFile report(junit);
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QString problem = junitProblem(report.readAll(), fault.isEmpty() ? 0 : 2, 0);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestDeviceCheck::arguments_data()
{
    QTest::addColumn<QStringList>("arguments"); // after the program name
    QTest::addColumn<QString>("error");         // empty: accepted
    QTest::addColumn<QString>("library");       // relative to the working directory, if accepted
    QTest::addColumn<QString>("pin");

    const QString defaultLibrary = QStringLiteral("./quorvel/libClientScreen.so");
    QTest::newRow("no arguments") << QStringList() << QString() << defaultLibrary << "123456";
    QTest::newRow("--pin of 4 digits")
        << QStringList{"--pin", "0000"} << QString() << defaultLibrary << "0000";
    QTest::newRow("--pin of 6 digits")
        << QStringList{"--pin", "246810"} << QString() << defaultLibrary << "246810";
    QTest::newRow("--pin of 7 digits, longer than the PIN entry's 6")
        << QStringList{"--pin", "1234567"} << "--pin needs 4 to 6 decimal digits, not '1234567'"
        << QString() << QString();
    QTest::newRow("--pin of 3 digits")
        << QStringList{"--pin", "123"} << "--pin needs 4 to 6 decimal digits, not '123'"
        << QString() << QString();
    QTest::newRow("--pin with a letter")
        << QStringList{"--pin", "12a4"} << "--pin needs 4 to 6 decimal digits, not '12a4'"
        << QString() << QString();
    QTest::newRow("--timeout 0")
        << QStringList{"--timeout", "0"}
        << "--timeout needs a whole number of seconds from 1 to 86400, not '0'" << QString()
        << QString();
    QTest::newRow("--timeout not a number")
        << QStringList{"--timeout", "2s"}
        << "--timeout needs a whole number of seconds from 1 to 86400, not '2s'" << QString()
        << QString();
    QTest::newRow("--timeout 2") << QStringList{"--timeout", "2"} << QString() << defaultLibrary
                                 << "123456";
    QTest::newRow("--json without a name")
        << QStringList{"--json", ""} << "--json needs a file name" << QString() << QString();
    QTest::newRow("--junit without a name")
        << QStringList{"--junit", ""} << "--junit needs a file name" << QString() << QString();
    QTest::newRow("--repeat 0") << QStringList{"--repeat", "0"}
                                << "--repeat needs a whole number from 1 to 1000000, not '0'"
                                << QString() << QString();
    QTest::newRow("--repeat not a number")
        << QStringList{"--repeat", "5x"}
        << "--repeat needs a whole number from 1 to 1000000, not '5x'" << QString() << QString();
    QTest::newRow("--library without a path")
        << QStringList{"--library", ""} << "--library needs a path" << QString() << QString();
    // A bare name is a file in the working directory, never a search of the loader's paths, and
    // is given no lib prefix or .so suffix.
    QTest::newRow("--library bare name")
        << QStringList{"--library", "libfake.so"} << QString() << "libfake.so"
        << "123456";
    QTest::newRow("--library without prefix or suffix")
        << QStringList{"--library", "x/fake"} << QString() << "x/fake"
        << "123456";
    QTest::newRow("--library kept through ..")
        << QStringList{"--library", "x/../fake.so"} << QString() << "x/../fake.so"
        << "123456";
    QTest::newRow("--library absolute")
        << QStringList{"--library", "/opt/v/lib.so"} << QString() << "/opt/v/lib.so"
        << "123456";
    QTest::newRow("a stray argument")
        << QStringList{"lib.so"} << "unexpected argument 'lib.so'" << QString() << QString();
}

void TestDeviceCheck::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFETCH(QString, library);
    QFETCH(QString, pin);

    const ParsedArguments parsed = parseArguments(QStringList{"device-check"} + arguments);
    QCOMPARE(parsed.error, error);
    QCOMPARE(parsed.action, error.isEmpty() ? ParsedArguments::Run : ParsedArguments::Error);
    if (!error.isEmpty())
        return;
    const QString absolute =
        library.startsWith('/') ? library : QDir::currentPath() + QLatin1Char('/') + library;
    QCOMPARE(parsed.options.library, absolute);
    QCOMPARE(parsed.options.pin, pin);
}

// The PIN block reader alone: both layouts it knows, and blocks it must refuse.
void TestDeviceCheck::readPinBlock_data()
{
    QTest::addColumn<QByteArray>("block"); // hexadecimal
    QTest::addColumn<QString>("layout");   // empty: not recognised
    QTest::addColumn<QString>("pin");

    const QString own = QStringLiteral("0N, BCD, F fill");
    const QString iso = QStringLiteral("ISO 9564 format 2");
    QTest::newRow("own layout") << QByteArray("06123456FFFFFFFFFFFFFFFFFFFFFFFF") << own
                                << "123456";
    QTest::newRow("own layout, 12 digits")
        << QByteArray("0C012345678909FFFFFFFFFFFFFFFFFF") << own << "012345678909";
    QTest::newRow("ISO 9564 format 2, odd length")
        << QByteArray("2598765FFFFFFFFFFFFFFFFFFFFFFFFF") << iso << "98765";
    QTest::newRow("ISO 9564 format 2, 4 digits")
        << QByteArray("240000FFFFFFFFFFFFFFFFFFFFFFFFFF") << iso << "0000";
    QTest::newRow("control nibble 1")
        << QByteArray("16123456FFFFFFFFFFFFFFFFFFFFFFFF") << QString() << QString();
    QTest::newRow("length 3") << QByteArray("23123FFFFFFFFFFFFFFFFFFFFFFFFFFF") << QString()
                              << QString();
    QTest::newRow("length 13") << QByteArray("2D0123456789012FFFFFFFFFFFFFFFFF") << QString()
                               << QString();
    QTest::newRow("length one above the digits")
        << QByteArray("2612345FFFFFFFFFFFFFFFFFFFFFFFFF") << QString() << QString();
    QTest::newRow("length one below the digits")
        << QByteArray("25123456FFFFFFFFFFFFFFFFFFFFFFFF") << QString() << QString();
    QTest::newRow("digit A") << QByteArray("26123A56FFFFFFFFFFFFFFFFFFFFFFFF") << QString()
                             << QString();
    QTest::newRow("fill nibble E")
        << QByteArray("26123456FFFFFFFFFFFFFFFFFFFFFFFE") << QString() << QString();
    QTest::newRow("8-byte block") << QByteArray("26123456FFFFFFFF") << QString() << QString();
}

void TestDeviceCheck::readPinBlock()
{
    QFETCH(QByteArray, block);
    QFETCH(QString, layout);
    QFETCH(QString, pin);

    const PinBlockReading reading = ::readPinBlock(QByteArray::fromHex(block));
    QCOMPARE(reading.recognised, !layout.isEmpty());
    QCOMPARE(reading.layout, layout);
    QCOMPARE(reading.pin, pin);
}

QTEST_MAIN(TestDeviceCheck)
#include "tst_devicecheck.moc"
