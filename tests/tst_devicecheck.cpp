// The device checker run in-process against the simulator, normally and in each of its fault
// modes, against a scripted library that lacks a function, and against a hostile library that
// ends, hangs, overruns, prints or fakes its way through: exactly the expected checks fail or are
// skipped, every other one passes, and the exit code says so. And its command line.
#include "devicecheck/devicechecker.h"
#include "devicecheck/pinblockreader.h"

#include "workingdirectory.h"

#include <QDir>
#include <QJsonArray>
#include <QtTest>

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
}

class TestDeviceCheck : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void checksAgainstLibrary_data();
    void checksAgainstLibrary();
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
    const QJsonObject json = report.toJson(DeviceChecker::toolVersion());
    QCOMPARE(report.exitCode(), exitCode);
    QCOMPARE(json.value("exitCode").toInt(), exitCode);
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
    QCOMPARE(lines.last(),
             QStringLiteral("%1 passed, %2 failed, %3 skipped")
                 .arg(passed)
                 .arg(failing.size())
                 .arg(skipped.size()));
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
