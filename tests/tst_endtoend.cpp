// The real window, key library and simulator: the four PIN pad steps in order.
#include "app/mainwindow.h"
#include "clkey.h"
#include "controls.h"
#include "workingdirectory.h"

#include <QLineEdit>
#include <QTextEdit>
#include <QtTest>

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    // The simulator keeps its keys for the life of the process: this order matters.
    void stepsBeforeKeysAreRefused();
    void fourStepsAgainstSimulator();

private:
    QScopedPointer<WorkingDirectory> directory;
};

void TestEndToEnd::initTestCase()
{
    // The tool finds the device library relative to its working directory.
    directory.reset(new WorkingDirectory());
    directory->copyLibrary(QStringLiteral(SIMULATOR_PATH));
    qputenv("QUORVEL_SIM_PIN", "4321");
}

void TestEndToEnd::cleanupTestCase()
{
    directory.reset();
}

void TestEndToEnd::stepsBeforeKeysAreRefused()
{
    MainWindow window;
    // No public key yet: the key library refuses a key of length 0 and nothing reaches the device.
    QCOMPARE(press(&window, "mainKeyButton"),
             QStringList{"(下载主密钥)SetPwMkey:密钥加密失败(L=-2)"});
    const QString line = press(&window, "inputPinButton").value(0);
    QVERIFY2(line.startsWith(QStringLiteral("(输入密码)InputPassword:[-")), qPrintable(line));
}

void TestEndToEnd::fourStepsAgainstSimulator()
{
    MainWindow window;
    QCOMPARE(firstLogLine(&window), directory->loadedLine() + QStringLiteral(" (模拟设备)"));
    const QStringList tags{"(申请公私钥对)GenerateKeyFromPw:[0] ", "(下载主密钥)SetPwMkey:[0] ",
                           "(下载工作密钥)SetPwWkey:[0] ", "(输入密码)InputPassword:[0] "};
    const char* buttons[] = {"pairKeyButton", "mainKeyButton", "workKeyButton", "inputPinButton"};
    QStringList payloads;
    for (int step = 0; step < 4; ++step) {
        const QString line = press(&window, buttons[step]).value(0);
        QVERIFY2(line.startsWith(tags[step]), qPrintable(line));
        payloads << line.mid(tags[step].size());
    }
    // Public key 64 bytes, SM2 ciphertext of 16 bytes 113, SM4 ciphertext and PIN block 16 each,
    // all as split-nibble text.
    QCOMPARE(payloads[0].size(), 128);
    QCOMPARE(control<QLineEdit>(&window, "publicKeyEdit")->text(), payloads[0]);
    QCOMPARE(payloads[1].size(), 226);
    QCOMPARE(payloads[2].size(), 32);
    QCOMPARE(payloads[3].size(), 32);

    // The PIN block decrypts under the test work key to the configured PIN.
    QByteArray encrypted(16, '\0');
    const QByteArray text = payloads[3].toLatin1();
    for (int i = 0; i < 16; ++i)
        encrypted[i] = static_cast<char>(((text[2 * i] & 0x0F) << 4) | (text[2 * i + 1] & 0x0F));
    QByteArray workKey = QByteArray::fromHex("B4E29C71A05D3F86E7C2194B6AD08F35");
    QByteArray block(16, '\0');
    char store[] = "";
    CLKeyManage keys(store, store);
    QCOMPARE(
        keys.DecodeKey(workKey.data(), 16, encrypted.data(), 16, block.data(), CLKEY_ALG_SM4_ECB),
        16);
    QCOMPARE(block.toHex().toUpper(), QByteArray("044321FFFFFFFFFFFFFFFFFFFFFFFFFF"));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
