// The key wrapper against the scripted key library.
#include "fakekeylib.h"
#include "keydownload/keywrapper.h"

#include <QtTest>

#include <stdexcept>

class TestKeyWrapper : public QObject {
    Q_OBJECT
private slots:
    void init();
    void decryptFlagSelectsOperation_data();
    void decryptFlagSelectsOperation();
    void argumentsAndResultPassUnchanged();
    void managerDestroyedWhenKeyLibraryThrows();
    void generateKeyText_data();
    void generateKeyText();
    void generateKeyFailureIsEmpty();
};

void TestKeyWrapper::init()
{
    resetFakeKeyLib();
}

void TestKeyWrapper::decryptFlagSelectsOperation_data()
{
    QTest::addColumn<int>("decrypt");
    QTest::addColumn<QString>("call");
    QTest::newRow("0 encrypts") << 0 << "EncodeKey";
    QTest::newRow("1 decrypts") << 1 << "DecodeKey";
    QTest::newRow("-1 decrypts") << -1 << "DecodeKey";
}

void TestKeyWrapper::decryptFlagSelectsOperation()
{
    QFETCH(int, decrypt);
    QFETCH(QString, call);
    char key[] = "k";
    char data[] = "d";
    char out[4] = {};
    pinpadEnAndDec(key, 1, data, 1, out, 2, decrypt);
    QCOMPARE(fakeKeyLib().calls, QStringList{call});
    QCOMPARE(fakeKeyLib().constructorTexts, (QStringList{"", ""}));
    QCOMPARE(fakeKeyLib().destroyed, 1);
}

void TestKeyWrapper::argumentsAndResultPassUnchanged()
{
    fakeKeyLib().cryptResult = -3;
    fakeKeyLib().cryptOutput = QByteArray("\x10\x20", 2);
    char key[] = "\x01\x02\x03";
    char data[] = "abcd";
    char out[8] = {};
    QCOMPARE(pinpadEnAndDec(key, 3, data, 4, out, 5, 0), -3);
    QCOMPARE(fakeKeyLib().key, QByteArray("\x01\x02\x03"));
    QCOMPARE(fakeKeyLib().data, QByteArray("abcd"));
    QCOMPARE(fakeKeyLib().algorithm, 5);
    QCOMPARE(QByteArray(out, 2), QByteArray("\x10\x20", 2));
}

void TestKeyWrapper::managerDestroyedWhenKeyLibraryThrows()
{
    fakeKeyLib().throwOnCrypt = true;
    char key[] = "k";
    char out[4] = {};
    QVERIFY_EXCEPTION_THROWN(pinpadEnAndDec(key, 1, key, 1, out, 2, 0), std::runtime_error);
    QCOMPARE(fakeKeyLib().constructed, 1);
    QCOMPARE(fakeKeyLib().destroyed, 1);
}

void TestKeyWrapper::generateKeyText_data()
{
    QTest::addColumn<int>("publicLength");
    QTest::addColumn<int>("privateLength");
    QTest::addColumn<int>("textLength");
    QTest::addColumn<QString>("textStart");
    QTest::newRow("2 and 1") << 2 << 1 << 7 << "ABCD|EF";
    QTest::newRow("both empty") << 0 << 0 << 1 << "|";
    // 2 × 2047 characters and the separator still leave room for the NUL.
    QTest::newRow("largest that fits") << 2000 << 47 << 4095 << "ABCD0000";
    QTest::newRow("together too long") << 2000 << 48 << 0 << "";
    QTest::newRow("public above buffer") << 4097 << 0 << 0 << "";
    QTest::newRow("negative") << -1 << 2 << 0 << "";
}

void TestKeyWrapper::generateKeyText()
{
    QFETCH(int, publicLength);
    QFETCH(int, privateLength);
    QFETCH(int, textLength);
    QFETCH(QString, textStart);
    FakeKeyLib& keyLib = fakeKeyLib();
    keyLib.generateResult = 1;
    keyLib.publicKey = QByteArray("\xAB\xCD", 2);
    keyLib.privateKey = QByteArray("\xEF");
    keyLib.publicLength = publicLength;
    keyLib.privateLength = privateLength;
    const QString result = QString::fromStdString(generateKey(5));
    QCOMPARE(keyLib.generateType, 5);
    QCOMPARE(result.size(), textLength);
    QVERIFY2(result.startsWith(textStart), qPrintable(result.left(20)));
    if (textLength > 0)
        QCOMPARE(result.indexOf('|'), 2 * publicLength);
    QCOMPARE(keyLib.destroyed, 1);
}

void TestKeyWrapper::generateKeyFailureIsEmpty()
{
    FakeKeyLib& keyLib = fakeKeyLib();
    keyLib.generateResult = 0;
    keyLib.publicKey = QByteArray("\x01\x02");
    keyLib.publicLength = 2;
    QCOMPARE(generateKey(5), std::string());
    QVERIFY(!keyLib.calls.contains("ConvAscii"));
}

QTEST_MAIN(TestKeyWrapper)
#include "tst_keywrapper.moc"
