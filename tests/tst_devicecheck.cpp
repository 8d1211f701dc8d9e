// The device checker run in-process against the simulator, normally and in each of its fault
// modes, and against a scripted library that lacks a function: exactly the expected checks fail
// or are skipped, and every other one passes.
#include "devicecheck/devicechecker.h"
#include "devicecheck/pinblockreader.h"

#include "workingdirectory.h"

#include <QJsonArray>
#include <QtTest>

namespace {
QString expectedStatus(const QString& id, const QStringList& failing, const QStringList& skipped)
{
    if (failing.contains(id))
        return QStringLiteral("FAIL");
    return skipped.contains(id) ? QStringLiteral("SKIP") : QStringLiteral("PASS");
}
}

class TestDeviceCheck : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void checksAgainstLibrary_data();
    void checksAgainstLibrary();
    void readPinBlock_data();
    void readPinBlock();
};

void TestDeviceCheck::init()
{
    qunsetenv("QUORVEL_SIM_FAULT");
    qunsetenv("QUORVEL_SIM_PIN");
}

void TestDeviceCheck::cleanup()
{
    init();
}

void TestDeviceCheck::checksAgainstLibrary_data()
{
    QTest::addColumn<QString>("library");
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<QByteArray>("simulatorPin"); // empty: QUORVEL_SIM_PIN unset
    QTest::addColumn<QString>("pin");
    QTest::addColumn<bool>("writeSn");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QStringList>("failing");
    QTest::addColumn<QStringList>("skipped");

    const QString sim = QStringLiteral(SIMULATOR_PATH);
    const QStringList noSnWrite{"sn-write"};
    QTest::newRow("normal") << sim << QByteArray() << QByteArray() << "123456" << false << 150
                            << QStringList() << noSnWrite;
    QTest::newRow("normal, --write-sn") << sim << QByteArray() << QByteArray() << "123456" << true
                                        << 150 << QStringList() << QStringList();
    QTest::newRow("--pin sets the simulator's PIN") << sim << QByteArray() << QByteArray() << "4321"
                                                    << false << 150 << QStringList() << noSnWrite;
    QTest::newRow("simulator's PIN already set to another")
        << sim << QByteArray() << QByteArray("4321") << "123456" << false << 150
        << QStringList{"pin-block"} << noSnWrite;
    QTest::newRow("overrun") << sim << QByteArray("overrun") << QByteArray() << "123456" << false
                             << 150 << QStringList{"keypair-bounds", "pin-bounds", "sn-read"}
                             << noSnWrite;
    QTest::newRow("overrun, --write-sn")
        << sim << QByteArray("overrun") << QByteArray() << "123456" << true << 150
        << QStringList{"keypair-bounds", "pin-bounds", "sn-read", "sn-write"} << QStringList();
    QTest::newRow("ignore-size") << sim << QByteArray("ignore-size") << QByteArray() << "123456"
                                 << false << 150 << QStringList{"keypair-small-buffer"}
                                 << noSnWrite;
    QTest::newRow("accept-tampered")
        << sim << QByteArray("accept-tampered") << QByteArray() << "123456" << false << 150
        << QStringList{"mainkey-tampered", "mainkey-empty"} << noSnWrite;
    QTest::newRow("wrong-pin-block")
        << sim << QByteArray("wrong-pin-block") << QByteArray() << "123456" << false << 150
        << QStringList{"pin-block"} << noSnWrite;
    QTest::newRow("scripted library without SetPwWkey")
        << QStringLiteral(FAKE_DEVICE_NOWKEY_PATH) << QByteArray() << QByteArray() << "123456"
        << true << 150
        << QStringList{"exports", "keypair-format", "keypair-small-buffer", "mainkey-empty",
                       "sn-read"}
        << QStringList{"mainkey-tampered", "mainkey",    "workkey",
                       "pin-block",        "pin-bounds", "sn-write"};
    // Last: the PIN entry that never returns in time goes on sleeping inside the simulator.
    QTest::newRow("hang") << sim << QByteArray("hang") << QByteArray() << "123456" << true << 3
                          << QStringList{"pin-block"}
                          << QStringList{"pin-bounds", "sn-read", "sn-write"};
}

void TestDeviceCheck::checksAgainstLibrary()
{
    QFETCH(QString, library);
    QFETCH(QByteArray, fault);
    QFETCH(QByteArray, simulatorPin);
    QFETCH(QString, pin);
    QFETCH(bool, writeSn);
    QFETCH(int, timeout);
    QFETCH(QStringList, failing);
    QFETCH(QStringList, skipped);

    if (!fault.isEmpty())
        qputenv("QUORVEL_SIM_FAULT", fault);
    if (!simulatorPin.isEmpty())
        qputenv("QUORVEL_SIM_PIN", simulatorPin);
    CheckOptions options;
    options.library = library;
    options.pin = pin;
    options.writeSn = writeSn;
    options.timeoutSeconds = timeout;
    QStringList lines;
    DeviceChecker checker(options, [&lines](const QString& line) { lines << line; });
    const CheckReport report = checker.run();

    const bool simulator = library == QStringLiteral(SIMULATOR_PATH);
    QCOMPARE(lines.value(0),
             QStringLiteral("library: ") + expectedIdentity(library)
                 + (simulator ? QStringLiteral(" (模拟设备)") : QString()));
    QVERIFY(!lines.join('\n').contains(QStringLiteral("请在密码键盘上输入")));

    const QJsonArray json = report.toJson(DeviceChecker::toolVersion()).value("checks").toArray();
    QCOMPARE(report.results().size(), DeviceChecker::checkIds().size());
    QCOMPARE(json.size(), DeviceChecker::checkIds().size());
    for (int i = 0; i < report.results().size(); ++i) {
        const CheckResult& result = report.results()[i];
        const QString id = DeviceChecker::checkIds()[i];
        QCOMPARE(result.id, id);
        const QString status = expectedStatus(id, failing, skipped);
        const QString line = CheckReport::line(result);
        QVERIFY2(line.startsWith(status + ' ' + id + ": "), qPrintable(line));
        QVERIFY2(lines.contains(line), qPrintable(line));
        QCOMPARE(json[i].toObject().value("result").toString(), status);
    }
    const int passed = DeviceChecker::checkIds().size() - failing.size() - skipped.size();
    QCOMPARE(lines.last(),
             QStringLiteral("%1 passed, %2 failed, %3 skipped")
                 .arg(passed)
                 .arg(failing.size())
                 .arg(skipped.size()));
    QCOMPARE(report.exitCode(), failing.isEmpty() ? 0 : 1);
    QCOMPARE(checker.abandonedCall(), fault == "hang");
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
