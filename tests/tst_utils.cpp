// Codecs, the reading of device text from handler buffers, the escaping of text no device can
// send, and the SHA-256 of an open file.
#include "util/devicetext.h"
#include "util/filehash.h"
#include "util/utils.h"
#include "util/visibletext.h"

#include <QCryptographicHash>
#include <QtTest>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

class TestUtils : public QObject {
    Q_OBJECT
private slots:
    void splitNibbleEncode_data();
    void splitNibbleEncode();
    void splitNibbleEncodeIgnoresEmptyInput();
    void splitNibbleDecode_data();
    void splitNibbleDecode();
    void splitNibbleRoundTripOfEveryByte();
    void hexEncodeIsUppercase();
    void hexDecode_data();
    void hexDecode();
    void digitConversions();
    void deviceTextStopsAtNulOrBufferEnd();
    void loneSurrogatesAreEscaped_data();
    void loneSurrogatesAreEscaped();
    void descriptorDigest_data();
    void descriptorDigest();
};

void TestUtils::splitNibbleEncode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("00 FF") << QByteArray("\x00\xFF", 2) << QByteArray("00??");
    QTest::newRow("12 AB") << QByteArray("\x12\xAB", 2) << QByteArray("12:;");
    QTest::newRow("9A BC DE") << QByteArray("\x9A\xBC\xDE", 3) << QByteArray("9:;<=>");
}

void TestUtils::splitNibbleEncode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, text);
    QByteArray out(2 * bytes.size() + 1, '\0');
    Utils::hexStringAdd30(bytes.constData(), bytes.size(), out.data());
    QCOMPARE(out, text + '\0');
}

void TestUtils::splitNibbleEncodeIgnoresEmptyInput()
{
    char out[4] = {'x', 'x', 'x', 'x'};
    Utils::hexStringAdd30("\x01", 0, out);
    Utils::hexStringAdd30("\x01", -5, out);
    Utils::hexStringAdd30(nullptr, 1, out);
    QCOMPARE(QByteArray(out, 4), QByteArray("xxxx"));
}

void TestUtils::splitNibbleDecode_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("00??") << QByteArray("00??") << QByteArray("\x00\xFF", 2);
    QTest::newRow("odd count ignores the last") << QByteArray("0123:") << QByteArray("\x01\x23", 2);
    QTest::newRow("low nibble of other characters") << QByteArray("AB") << QByteArray("\x12");
    QTest::newRow("one character") << QByteArray("7") << QByteArray();
}

void TestUtils::splitNibbleDecode()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, bytes);
    QByteArray out(bytes.size() + 1, '\x55');
    Utils::hexStringDec30(text.constData(), text.size(), out.data());
    QCOMPARE(out, bytes + '\x55');
}

void TestUtils::splitNibbleRoundTripOfEveryByte()
{
    QByteArray bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<char>(i);
    QByteArray text(512, '\0');
    Utils::hexStringAdd30(bytes.constData(), bytes.size(), text.data());
    for (char c : text)
        QVERIFY(c >= '0' && c <= '?');
    QByteArray back(256, '\0');
    Utils::hexStringDec30(text.constData(), text.size(), back.data());
    QCOMPARE(back, bytes);
}

void TestUtils::hexEncodeIsUppercase()
{
    const unsigned char in[] = {0xAB, 0x01, 0xF0};
    unsigned char out[7] = {};
    Utils::bytesToHexString(in, 3, out);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(out)), QByteArray("AB01F0"));
    unsigned char untouched[2] = {'x', 'x'};
    Utils::bytesToHexString(in, 0, untouched);
    QCOMPARE(untouched[0], static_cast<unsigned char>('x'));
}

void TestUtils::hexDecode_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("invalid digit counts as 0") << QByteArray("g1") << QByteArray("\x01");
    QTest::newRow("mixed case") << QByteArray("aB") << QByteArray("\xAB");
    QTest::newRow("odd count") << QByteArray("0A1") << QByteArray("\x0A");
}

void TestUtils::hexDecode()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, bytes);
    QByteArray out(bytes.size() + 1, '\x55');
    Utils::hexStringToBytes(reinterpret_cast<const unsigned char*>(text.constData()), text.size(),
                            reinterpret_cast<unsigned char*>(out.data()));
    QCOMPARE(out, bytes + '\x55');
}

void TestUtils::digitConversions()
{
    QCOMPARE(int(Utils::hexToChar(16)), 0);
    QCOMPARE(Utils::hexToChar(-1), '\0');
    QCOMPARE(Utils::hexToChar(11), 'B');
    QCOMPARE(int(Utils::charToHex('f')), 15);
    QCOMPARE(int(Utils::charToHex('F')), 15);
    QCOMPARE(int(Utils::charToHex('\xC8')), 0);
}

void TestUtils::deviceTextStopsAtNulOrBufferEnd()
{
    QCOMPARE(deviceText("abc\0def", 7), QStringLiteral("abc"));
    // No NUL within the cleared part: the text ends there, not at a NUL further on.
    const char noNul[] = {'1', '2', '3', '4', '\0'};
    QCOMPARE(deviceText(noNul, 3), QStringLiteral("123"));
    QCOMPARE(deviceText("\xE5\xAF\x86", 3), QStringLiteral("密"));
    QCOMPARE(deviceText(nullptr, 10), QString());
}

// Device text arrives as UTF-8, which cannot carry half a surrogate pair; a line cut inside a pair
// can, and must neither hide the half nor join it with a neighbour.
void TestUtils::loneSurrogatesAreEscaped_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("shown");
    const QChar high(0xD83D), low(0xDE00);
    QTest::newRow("high at the end") << QStringLiteral("a") + high << QStringLiteral("a\\uD83D");
    QTest::newRow("low alone") << QStringLiteral("a") + low + QStringLiteral("b")
                               << QStringLiteral("a\\uDE00b");
    QTest::newRow("pair reversed") << QString(low) + high << QStringLiteral("\\uDE00\\uD83D");
    QTest::newRow("high before a pair")
        << QString(high) + high + low << QStringLiteral("\\uD83D") + high + low;
}

void TestUtils::loneSurrogatesAreEscaped()
{
    QFETCH(QString, line);
    QFETCH(QString, shown);
    QCOMPARE(visibleText(line), shown);
}

void TestUtils::descriptorDigest_data()
{
    // -1: a directory, which cannot be read. Other sizes about the 32 KiB pieces the file is read
    // in.
    QTest::addColumn<int>("size");
    for (const int size : {0, 1, 32768, 32769, 1000003, -1})
        QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(size))) << size;
}

void TestUtils::descriptorDigest()
{
    QFETCH(int, size);
    if (size < 0) {
        const int directory = open(".", O_RDONLY | O_CLOEXEC);
        QCOMPARE(::descriptorDigest(directory), QString());
        close(directory);
        return;
    }
    QByteArray content(size, '\0');
    for (int i = 0; i < size; ++i)
        content[i] = static_cast<char>(i * 7 + i / 251);
    QTemporaryFile file;
    QVERIFY(file.open());
    QCOMPARE(file.write(content), qint64(size));
    QVERIFY(file.flush());
    // From part way in: the whole file is still hashed, and the offset is left where it was.
    QVERIFY(file.seek(size / 2));
    // Checked against Qt's own SHA-256, a second implementation beside libcrypto's.
    QCOMPARE(
        ::descriptorDigest(file.handle()),
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(lseek(file.handle(), 0, SEEK_CUR), off_t(size / 2));
}

QTEST_MAIN(TestUtils)
#include "tst_utils.moc"
