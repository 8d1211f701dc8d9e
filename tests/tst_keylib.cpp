// The stand-in key library: published SM4 and SM2 vectors, round trips, key generation, hex text,
// and every refusal, each checked for writing nothing past the length it returns.
#include "clkey.h"

#include <QtTest>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

namespace {

const char kGuard = char(0xA5);
const int kUseSize = INT_MIN; // in a length column: pass the buffer's own size

// SM2 curve constants: field prime p, base point G = (Gx, Gy), order n.
const QByteArray kFieldPrime = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF";
const QByteArray kGx = "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7";
const QByteArray kGy = "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";
const QByteArray kMinusGy = "43C8C95C0B098863A642311C9496DEAC2F56788239D5B8C0FD20CD1ADEC60F5F";
const QByteArray kOrder = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123";
const QByteArray kOrderLess1 = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122";

QByteArray hex(const QByteArray& text)
{
    return QByteArray::fromHex(text);
}

struct KeyPair {
    QByteArray publicKey;
    QByteArray privateKey;
};

KeyPair generateSm2()
{
    CLKeyManage keys(nullptr, nullptr);
    QByteArray publicKey(128, 0);
    QByteArray privateKey(128, 0);
    int publicLen = 0;
    int privateLen = 0;
    keys.GenerateKey(publicKey.data(), publicLen, privateKey.data(), privateLen, CLKEY_TYPE_SM2);
    return {publicKey.left(publicLen), privateKey.left(privateLen)};
}

// Calls EncodeKey (encode) or DecodeKey into a buffer of guard bytes. out receives the bytes the
// result counts; guardHeld says whether everything past them (all of it on an error) is intact.
int runCrypt(bool encode, QByteArray key, QByteArray data, int alg, QByteArray* out = nullptr,
             bool* guardHeld = nullptr)
{
    QByteArray buffer(data.size() + 256, kGuard);
    CLKeyManage keys(nullptr, nullptr);
    const int rc = encode
        ? keys.EncodeKey(key.data(), key.size(), data.data(), data.size(), buffer.data(), alg)
        : keys.DecodeKey(key.data(), key.size(), data.data(), data.size(), buffer.data(), alg);
    const int written = qMax(rc, 0);
    if (out)
        *out = buffer.left(written);
    if (guardHeld)
        *guardHeld = buffer.mid(written) == QByteArray(buffer.size() - written, kGuard);
    return rc;
}

// The point encoded as 04||X||Y is on the SM2 curve; with a scalar, it is scalar * G.
bool isSm2Point(const QByteArray& point, const QByteArray& scalar = QByteArray())
{
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    EC_POINT* decoded = EC_POINT_new(group);
    EC_POINT* product = EC_POINT_new(group);
    BIGNUM* d = BN_bin2bn(reinterpret_cast<const unsigned char*>(scalar.constData()), scalar.size(),
                          nullptr);
    bool ok = EC_POINT_oct2point(group, decoded,
                                 reinterpret_cast<const unsigned char*>(point.constData()),
                                 point.size(), nullptr)
            == 1
        && EC_POINT_is_on_curve(group, decoded, nullptr) == 1;
    if (ok && !scalar.isEmpty())
        ok = EC_POINT_mul(group, product, d, nullptr, nullptr, nullptr) == 1
            && EC_POINT_cmp(group, decoded, product, nullptr) == 0;
    BN_free(d);
    EC_POINT_free(product);
    EC_POINT_free(decoded);
    EC_GROUP_free(group);
    return ok;
}

QByteArray flipped(QByteArray bytes, int index)
{
    bytes[index] = char(bytes[index] ^ 0x01);
    return bytes;
}

} // namespace

class TestKeyLib : public QObject {
    Q_OBJECT

private slots:
    // SM4-ECB, algorithm 2
    void sm4Vector_data();
    void sm4Vector();
    void sm4RoundTrip_data();
    void sm4RoundTrip();

    // SM2, algorithm 5
    void sm2StandardExample();
    void sm2RoundTrip_data();
    void sm2RoundTrip();
    void sm2PrivateKeyBounds_data();
    void sm2PrivateKeyBounds();
    void sm2ShortCoordinate_data();
    void sm2ShortCoordinate();

    // Refusals
    void refused_data();
    void refused();

    // Key pairs and hex text
    void generateKey_data();
    void generateKey();
    void convAscii_data();
    void convAscii();

    void concurrentCalls();
};

void TestKeyLib::sm4Vector_data()
{
    QTest::addColumn<bool>("encode");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray plain = hex("0123456789ABCDEFFEDCBA9876543210");
    const QByteArray cipher = hex("681EDF34D206965E86B3E94F536E4246");
    QTest::newRow("encrypt one block") << true << plain << cipher;
    QTest::newRow("decrypt one block") << false << cipher << plain;
    // ECB: each block on its own, so equal blocks give equal output.
    QTest::newRow("encrypt two blocks") << true << plain + plain << cipher + cipher;
    QTest::newRow("decrypt two blocks") << false << cipher + cipher << plain + plain;
}

void TestKeyLib::sm4Vector()
{
    QFETCH(bool, encode);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    const QByteArray key = hex("0123456789ABCDEFFEDCBA9876543210");
    QByteArray out;
    bool guardHeld = false;
    QCOMPARE(runCrypt(encode, key, input, CLKEY_ALG_SM4_ECB, &out, &guardHeld), expected.size());
    QCOMPARE(out.toHex().toUpper(), expected.toHex().toUpper());
    QVERIFY(guardHeld);
}

void TestKeyLib::sm4RoundTrip_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("largest accepted, 1 MiB") << 1024 * 1024;
}

void TestKeyLib::sm4RoundTrip()
{
    QFETCH(int, length);
    const QByteArray key = hex("00112233445566778899AABBCCDDEEFF");
    QByteArray plain(length, 0);
    for (int i = 0; i < length; ++i)
        plain[i] = char(i * 7 + i / 251);

    QByteArray cipher;
    QByteArray back;
    QCOMPARE(runCrypt(true, key, plain, CLKEY_ALG_SM4_ECB, &cipher), length);
    QVERIFY(cipher != plain);
    QCOMPARE(runCrypt(false, key, cipher, CLKEY_ALG_SM4_ECB, &back), length);
    QVERIFY(back == plain);
}

void TestKeyLib::sm2StandardExample()
{
    const QByteArray privateKey =
        hex("3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8");
    const QByteArray ciphertext =
        hex("04"
            "04EBFC718E8D1798620432268E77FEB6415E2EDE0E073C0F4F640ECD2E149A73"
            "E858F9D81E5430A57B36DAAB8F950A3C64E6EE6A63094D99283AFF767E124DF0"
            "59983C18F809E262923C53AEC295D30383B54E39D609D160AFCB1908D0BD8766"
            "21886CA989CA9C7D58087307CA93092D651EFA");

    QByteArray plain;
    bool guardHeld = false;
    QCOMPARE(runCrypt(false, privateKey, ciphertext, CLKEY_ALG_SM2, &plain, &guardHeld), 19);
    QCOMPARE(plain, QByteArray("encryption standard"));
    QVERIFY(guardHeld);
}

void TestKeyLib::sm2RoundTrip_data()
{
    QTest::addColumn<bool>("prefixed");
    QTest::addColumn<int>("length");
    QTest::newRow("X||Y key, 16 bytes") << false << 16;
    QTest::newRow("04||X||Y key, 16 bytes") << true << 16;
    QTest::newRow("X||Y key, 1 byte") << false << 1;
    QTest::newRow("04||X||Y key, largest accepted, 4096 bytes") << true << 4096;
}

void TestKeyLib::sm2RoundTrip()
{
    QFETCH(bool, prefixed);
    QFETCH(int, length);
    const KeyPair pair = generateSm2();
    const QByteArray publicKey = prefixed ? '\x04' + pair.publicKey : pair.publicKey;
    QByteArray plain(length, 0);
    for (int i = 0; i < length; ++i)
        plain[i] = char(i * 13 + 5);

    QByteArray cipher;
    QByteArray again;
    bool guardHeld = false;
    QCOMPARE(runCrypt(true, publicKey, plain, CLKEY_ALG_SM2, &cipher, &guardHeld), 97 + length);
    QVERIFY(guardHeld);
    const QByteArray c1 = cipher.left(65);
    QCOMPARE(c1.at(0), '\x04');
    QVERIFY(isSm2Point(c1));
    QVERIFY(c1.mid(1) != pair.publicKey);
    // A fresh random k each time.
    QCOMPARE(runCrypt(true, publicKey, plain, CLKEY_ALG_SM2, &again), 97 + length);
    QVERIFY(again.left(65) != c1);

    QByteArray back;
    QCOMPARE(runCrypt(false, pair.privateKey, cipher, CLKEY_ALG_SM2, &back, &guardHeld), length);
    QVERIFY(back == plain);
    QVERIFY(guardHeld);
}

void TestKeyLib::sm2PrivateKeyBounds_data()
{
    QTest::addColumn<QByteArray>("privateKey");
    QTest::addColumn<QByteArray>("publicKey");
    QTest::newRow("d = 1, P = G") << hex("01").rightJustified(32, 0) << hex(kGx + kGy);
    QTest::newRow("d = n - 1, P = -G") << hex(kOrderLess1) << hex(kGx + kMinusGy);
}

void TestKeyLib::sm2PrivateKeyBounds()
{
    QFETCH(QByteArray, privateKey);
    QFETCH(QByteArray, publicKey);
    const QByteArray plain = "sixteen byte key";

    QByteArray cipher;
    QByteArray back;
    QCOMPARE(runCrypt(true, publicKey, plain, CLKEY_ALG_SM2, &cipher), 113);
    QCOMPARE(runCrypt(false, privateKey, cipher, CLKEY_ALG_SM2, &back), 16);
    QCOMPARE(back, plain);
}

// libcrypto writes C1's coordinates as minimal DER integers; one with a leading zero byte must
// still fill its 32 bytes, on the way out and on the way back. About one k in 256 gives one.
void TestKeyLib::sm2ShortCoordinate_data()
{
    QTest::addColumn<int>("offset");
    QTest::newRow("X starts with 00") << 1;
    QTest::newRow("Y starts with 00") << 33;
}

void TestKeyLib::sm2ShortCoordinate()
{
    QFETCH(int, offset);
    const KeyPair pair = generateSm2();
    const QByteArray plain = "sixteen byte key";

    QByteArray cipher;
    for (int attempt = 0; attempt < 4000 && (cipher.isEmpty() || cipher.at(offset) != 0); ++attempt)
        QCOMPARE(runCrypt(true, pair.publicKey, plain, CLKEY_ALG_SM2, &cipher), 113);
    QCOMPARE(cipher.at(offset), '\x00');
    QVERIFY(isSm2Point(cipher.left(65)));

    QByteArray back;
    QCOMPARE(runCrypt(false, pair.privateKey, cipher, CLKEY_ALG_SM2, &back), 16);
    QCOMPARE(back, plain);
}

void TestKeyLib::refused_data()
{
    QTest::addColumn<bool>("encode");
    QTest::addColumn<int>("alg");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("keyLen");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("dataLen");
    QTest::addColumn<QString>("nullArgument");
    QTest::addColumn<int>("expected");

    const auto row = [](const char* name, bool encode, int alg, const QByteArray& key,
                        const QByteArray& data, int expected, int keyLen = kUseSize,
                        int dataLen = kUseSize, const QString& nullArgument = QString()) {
        QTest::newRow(name) << encode << alg << key << keyLen << data << dataLen << nullArgument
                            << expected;
    };
    const bool enc = true;
    const bool dec = false;
    const int sm4 = CLKEY_ALG_SM4_ECB;
    const int sm2 = CLKEY_ALG_SM2;
    const QByteArray sm4Key(16, 'k');
    const QByteArray block(16, 'd');
    const KeyPair pair = generateSm2();
    const KeyPair otherPair = generateSm2();
    QByteArray cipher;
    runCrypt(true, pair.publicKey, block, sm2, &cipher);

    row("null key", enc, sm4, sm4Key, block, CLKEY_ERR_NULL_POINTER, kUseSize, kUseSize, "key");
    row("null data", dec, sm2, pair.privateKey, cipher, CLKEY_ERR_NULL_POINTER, kUseSize, kUseSize,
        "data");
    row("null out", enc, sm2, pair.publicKey, block, CLKEY_ERR_NULL_POINTER, kUseSize, kUseSize,
        "out");
    row("algorithm 0", enc, 0, sm4Key, block, CLKEY_ERR_UNKNOWN_ALGORITHM);
    row("algorithm 3", dec, 3, sm4Key, block, CLKEY_ERR_UNKNOWN_ALGORITHM);
    row("algorithm 6", enc, 6, pair.publicKey, block, CLKEY_ERR_UNKNOWN_ALGORITHM);

    row("SM4 key 15 bytes", enc, sm4, QByteArray(15, 'k'), block, CLKEY_ERR_KEY_LENGTH);
    row("SM4 key 17 bytes", dec, sm4, QByteArray(17, 'k'), block, CLKEY_ERR_KEY_LENGTH);
    row("SM4 key length -1", enc, sm4, sm4Key, block, CLKEY_ERR_KEY_LENGTH, -1);
    row("SM4 data 0 bytes", enc, sm4, sm4Key, block, CLKEY_ERR_DATA_LENGTH, kUseSize, 0);
    row("SM4 data 15 bytes", enc, sm4, sm4Key, QByteArray(15, 'd'), CLKEY_ERR_DATA_LENGTH);
    row("SM4 data 17 bytes", dec, sm4, sm4Key, QByteArray(17, 'd'), CLKEY_ERR_DATA_LENGTH);
    row("SM4 data 1 MiB + 16", enc, sm4, sm4Key, QByteArray(1024 * 1024 + 16, 'd'),
        CLKEY_ERR_DATA_LENGTH);
    row("SM4 data length -16", enc, sm4, sm4Key, block, CLKEY_ERR_DATA_LENGTH, kUseSize, -16);
    row("SM4 data length INT_MAX", dec, sm4, sm4Key, block, CLKEY_ERR_DATA_LENGTH, kUseSize,
        INT_MAX);

    row("SM2 public key 63 bytes", enc, sm2, pair.publicKey.left(63), block, CLKEY_ERR_KEY_LENGTH);
    row("SM2 public key 66 bytes", enc, sm2, '\x04' + pair.publicKey + '\x00', block,
        CLKEY_ERR_KEY_LENGTH);
    row("SM2 public key length -64", enc, sm2, pair.publicKey, block, CLKEY_ERR_KEY_LENGTH, -64);
    row("SM2 private key 31 bytes", dec, sm2, pair.privateKey.left(31), cipher,
        CLKEY_ERR_KEY_LENGTH);
    row("SM2 private key 33 bytes", dec, sm2, '\x00' + pair.privateKey, cipher,
        CLKEY_ERR_KEY_LENGTH);
    row("SM2 plaintext 0 bytes", enc, sm2, pair.publicKey, block, CLKEY_ERR_DATA_LENGTH, kUseSize,
        0);
    row("SM2 plaintext 4097 bytes", enc, sm2, pair.publicKey, QByteArray(4097, 'd'),
        CLKEY_ERR_DATA_LENGTH);
    row("SM2 plaintext length INT_MAX", enc, sm2, pair.publicKey, block, CLKEY_ERR_DATA_LENGTH,
        kUseSize, INT_MAX);
    row("SM2 ciphertext 97 bytes", dec, sm2, pair.privateKey, cipher.left(97),
        CLKEY_ERR_DATA_LENGTH);
    row("SM2 ciphertext 97 + 4097 bytes", dec, sm2, pair.privateKey, QByteArray(97 + 4097, '\x04'),
        CLKEY_ERR_DATA_LENGTH);
    row("SM2 ciphertext length -1", dec, sm2, pair.privateKey, cipher, CLKEY_ERR_DATA_LENGTH,
        kUseSize, -1);

    row("public key off the curve", enc, sm2, flipped(pair.publicKey, 63), block,
        CLKEY_ERR_INVALID_PUBLIC_KEY);
    row("public key all zero", enc, sm2, QByteArray(64, 0), block, CLKEY_ERR_INVALID_PUBLIC_KEY);
    row("public key X equal to p", enc, sm2, hex(kFieldPrime + kGy), block,
        CLKEY_ERR_INVALID_PUBLIC_KEY);
    row("public key prefix 02", enc, sm2, '\x02' + pair.publicKey, block,
        CLKEY_ERR_INVALID_PUBLIC_KEY);
    row("private key zero", dec, sm2, QByteArray(32, 0), cipher, CLKEY_ERR_INVALID_PRIVATE_KEY);
    row("private key n", dec, sm2, hex(kOrder), cipher, CLKEY_ERR_INVALID_PRIVATE_KEY);
    row("private key all FF", dec, sm2, QByteArray(32, char(0xFF)), cipher,
        CLKEY_ERR_INVALID_PRIVATE_KEY);

    row("C1 prefix 05", dec, sm2, pair.privateKey, '\x05' + cipher.mid(1),
        CLKEY_ERR_DECRYPT_FAILED);
    row("C1 X changed", dec, sm2, pair.privateKey, flipped(cipher, 10), CLKEY_ERR_DECRYPT_FAILED);
    row("C1 Y changed", dec, sm2, pair.privateKey, flipped(cipher, 64), CLKEY_ERR_DECRYPT_FAILED);
    row("C1 another curve point", dec, sm2, pair.privateKey, hex("04" + kGx + kGy) + cipher.mid(65),
        CLKEY_ERR_DECRYPT_FAILED);
    row("C3 changed", dec, sm2, pair.privateKey, flipped(cipher, 65), CLKEY_ERR_DECRYPT_FAILED);
    row("C2 changed", dec, sm2, pair.privateKey, flipped(cipher, 112), CLKEY_ERR_DECRYPT_FAILED);
    row("truncated by one byte", dec, sm2, pair.privateKey, cipher.left(112),
        CLKEY_ERR_DECRYPT_FAILED);
    row("another private key", dec, sm2, otherPair.privateKey, cipher, CLKEY_ERR_DECRYPT_FAILED);
}

void TestKeyLib::refused()
{
    QFETCH(bool, encode);
    QFETCH(int, alg);
    QFETCH(QByteArray, key);
    QFETCH(int, keyLen);
    QFETCH(QByteArray, data);
    QFETCH(int, dataLen);
    QFETCH(QString, nullArgument);
    QFETCH(int, expected);

    QByteArray out(data.size() + 256, kGuard);
    char* keyArg = nullArgument == "key" ? nullptr : key.data();
    char* dataArg = nullArgument == "data" ? nullptr : data.data();
    char* outArg = nullArgument == "out" ? nullptr : out.data();
    keyLen = keyLen == kUseSize ? key.size() : keyLen;
    dataLen = dataLen == kUseSize ? data.size() : dataLen;

    CLKeyManage keys(nullptr, nullptr);
    ERR_clear_error();
    const int rc = encode ? keys.EncodeKey(keyArg, keyLen, dataArg, dataLen, outArg, alg)
                          : keys.DecodeKey(keyArg, keyLen, dataArg, dataLen, outArg, alg);
    QCOMPARE(rc, expected);
    QCOMPARE(out, QByteArray(out.size(), kGuard));
    // The caller's libcrypto error queue is left as it was.
    QCOMPARE(ERR_peek_error(), 0UL);
}

void TestKeyLib::generateKey_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("nullBuffers");
    QTest::addColumn<int>("expected");
    QTest::newRow("SM2") << int(CLKEY_TYPE_SM2) << false << 1;
    QTest::newRow("SM2 into null buffers") << int(CLKEY_TYPE_SM2) << true << 0;
    QTest::newRow("type 0") << 0 << false << 0;
    QTest::newRow("type 2, the SM4 algorithm code") << 2 << false << 0;
    QTest::newRow("type 4") << 4 << false << 0;
    QTest::newRow("type 6") << 6 << false << 0;
    QTest::newRow("type -5") << -5 << false << 0;
}

void TestKeyLib::generateKey()
{
    QFETCH(int, type);
    QFETCH(bool, nullBuffers);
    QFETCH(int, expected);

    QByteArray publicKey(128, kGuard);
    QByteArray privateKey(128, kGuard);
    int publicLen = -1;
    int privateLen = -1;
    CLKeyManage keys(nullptr, nullptr);
    QCOMPARE(keys.GenerateKey(nullBuffers ? nullptr : publicKey.data(), publicLen,
                              nullBuffers ? nullptr : privateKey.data(), privateLen, type),
             expected);
    QCOMPARE(publicLen, expected ? 64 : 0);
    QCOMPARE(privateLen, expected ? 32 : 0);
    QCOMPARE(publicKey.mid(publicLen), QByteArray(128 - publicLen, kGuard));
    QCOMPARE(privateKey.mid(privateLen), QByteArray(128 - privateLen, kGuard));
    if (expected)
        QVERIFY(isSm2Point('\x04' + publicKey.left(64), privateKey.left(32)));
}

void TestKeyLib::convAscii_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("no bytes") << QByteArray() << QByteArray();
    QTest::newRow("zero byte") << QByteArray(1, 0) << QByteArray("00");
    QTest::newRow("every nibble") << hex("0123456789ABCDEF") << QByteArray("0123456789ABCDEF");
    QTest::newRow("letters in upper case") << hex("FFABCDEA") << QByteArray("FFABCDEA");
}

void TestKeyLib::convAscii()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, expected);

    QByteArray text(64, kGuard);
    QCOMPARE(ConvAscii(reinterpret_cast<unsigned char*>(bytes.data()), text.data(),
                       static_cast<unsigned int>(bytes.size())),
             expected.size());
    QCOMPARE(text.left(expected.size()), expected);
    QCOMPARE(text.mid(expected.size()), QByteArray(64 - expected.size(), kGuard));
}

void TestKeyLib::concurrentCalls()
{
    const KeyPair pair = generateSm2();
    const QByteArray sm4Key = hex("0123456789ABCDEFFEDCBA9876543210");
    const QByteArray sm4Cipher = hex("681EDF34D206965E86B3E94F536E4246");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const QByteArray plain = QByteArray::number(t * 1000 + i).rightJustified(16, '.');
                QByteArray sm4Out;
                QByteArray sm2Cipher;
                QByteArray sm2Back;
                runCrypt(true, sm4Key, sm4Key, CLKEY_ALG_SM4_ECB, &sm4Out);
                runCrypt(true, pair.publicKey, plain, CLKEY_ALG_SM2, &sm2Cipher);
                runCrypt(false, pair.privateKey, sm2Cipher, CLKEY_ALG_SM2, &sm2Back);
                if (sm4Out != sm4Cipher || sm2Back != plain)
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(failures.load(), 0);
}

QTEST_MAIN(TestKeyLib)
#include "tst_keylib.moc"
