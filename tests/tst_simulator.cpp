// Tests of the PIN pad simulator, loaded and resolved by name as the tool loads the device library,
// with the key library playing the host's side of every key exchange.
#include "clientscreen.h"
#include "clkey.h"

#include "capture.h"

#include <QByteArray>
#include <QFile>
#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cstring>
#include <memory>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
// The tool's test keys, and the key of the published PIN block vector.
const QByteArray kMainKey = QByteArray::fromHex("5A1C7E3B9D04F2A6C8E1B3D5F7092A4C");
const QByteArray kWorkKey = QByteArray::fromHex("B4E29C71A05D3F86E7C2194B6AD08F35");
const QByteArray kVectorKey(16, '\x15');

constexpr char kGuard = '\x7F';

struct Simulator {
    QLibrary library;
    decltype(&::GenerateKeyFromPw) generateKeyFromPw = nullptr;
    decltype(&::SetPwMkey) setPwMkey = nullptr;
    decltype(&::SetPwWkey) setPwWkey = nullptr;
    decltype(&::InputPassword) inputPassword = nullptr;
    decltype(&::PN_ReadDeviceSN) readDeviceSN = nullptr;
    decltype(&::PN_WriteDeviceSN) writeDeviceSN = nullptr;
    decltype(&::MP_StartInfoHtml) startInfoHtml = nullptr;
    decltype(&::MP_SignPDF) signPdf = nullptr;
    decltype(&::MP_SHOW_PDF) showPdf = nullptr;
    decltype(&::MP_ConfirmPDF) confirmPdf = nullptr;
    decltype(&::MP_SignPDF_Voice) signPdfVoice = nullptr;

    ~Simulator() { library.unload(); }

    template <typename F>
    bool resolve(F& function, const char* name)
    {
        function = reinterpret_cast<F>(library.resolve(name));
        return function != nullptr;
    }

    bool load(const QString& path)
    {
        library.setFileName(path);
        return library.load() && resolve(generateKeyFromPw, "GenerateKeyFromPw")
            && resolve(setPwMkey, "SetPwMkey") && resolve(setPwWkey, "SetPwWkey")
            && resolve(inputPassword, "InputPassword") && resolve(readDeviceSN, "PN_ReadDeviceSN")
            && resolve(writeDeviceSN, "PN_WriteDeviceSN")
            && resolve(startInfoHtml, "MP_StartInfoHtml") && resolve(signPdf, "MP_SignPDF")
            && resolve(showPdf, "MP_SHOW_PDF") && resolve(confirmPdf, "MP_ConfirmPDF")
            && resolve(signPdfVoice, "MP_SignPDF_Voice");
    }
};

// The host's own split-nibble codec, written apart from the simulator's.
QByteArray toSplitNibble(const QByteArray& bytes)
{
    QByteArray text;
    for (char c : bytes) {
        text += char('0' + (uchar(c) >> 4));
        text += char('0' + (uchar(c) & 0x0F));
    }
    return text;
}

QByteArray fromSplitNibble(const QByteArray& text)
{
    QByteArray bytes;
    for (int i = 0; i + 1 < text.size(); i += 2)
        bytes += char(((text[i] - '0') << 4) | (text[i + 1] - '0'));
    return bytes;
}

QByteArray hostCipher(bool encrypt, QByteArray key, QByteArray data, int alg)
{
    QByteArray out(1024, '\0');
    CLKeyManage keys(nullptr, nullptr);
    const int n = encrypt
        ? keys.EncodeKey(key.data(), key.size(), data.data(), data.size(), out.data(), alg)
        : keys.DecodeKey(key.data(), key.size(), data.data(), data.size(), out.data(), alg);
    return n < 0 ? QByteArray() : out.left(n);
}

QByteArray hostEncrypt(const QByteArray& key, const QByteArray& data, int alg)
{
    return hostCipher(true, key, data, alg);
}

QByteArray hostDecrypt(const QByteArray& key, const QByteArray& data, int alg)
{
    return hostCipher(false, key, data, alg);
}

QByteArray guarded(int size)
{
    return QByteArray(size, kGuard);
}

// Whether every byte of buffer from index `from` on still holds the guard.
bool guardIntactFrom(const QByteArray& buffer, int from)
{
    for (int i = from; i < buffer.size(); ++i)
        if (buffer[i] != kGuard)
            return false;
    return true;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray requestPublicKey(Simulator& sim, int* code = nullptr)
{
    char text[256] = {};
    const int result = sim.generateKeyFromPw(sizeof text, text);
    if (code)
        *code = result;
    return result == CS_OK ? fromSplitNibble(text) : QByteArray();
}

int downloadMainKey(Simulator& sim, const QByteArray& publicKey, const QByteArray& mainKey)
{
    const QByteArray text = toSplitNibble(hostEncrypt(publicKey, mainKey, CLKEY_ALG_SM2));
    return sim.setPwMkey(text.constData(), text.size());
}

int downloadWorkKey(Simulator& sim, const QByteArray& mainKey, const QByteArray& workKey)
{
    const QByteArray text = toSplitNibble(hostEncrypt(mainKey, workKey, CLKEY_ALG_SM4_ECB));
    return sim.setPwWkey(text.constData(), text.size());
}

// The whole key set-up; the first code that is not CS_OK.
int installKeys(Simulator& sim, const QByteArray& mainKey, const QByteArray& workKey)
{
    int code = CS_OK;
    const QByteArray publicKey = requestPublicKey(sim, &code);
    if (code == CS_OK)
        code = downloadMainKey(sim, publicKey, mainKey);
    if (code == CS_OK)
        code = downloadWorkKey(sim, mainKey, workKey);
    return code;
}

// A PIN entry as the tool makes it; the encrypted PIN block, empty on failure.
QByteArray enterPin(Simulator& sim, int* code = nullptr)
{
    char out[256] = {};
    const int result = sim.inputPassword(120, "", "", "", 6, 255, out);
    if (code)
        *code = result;
    return result == CS_OK ? fromSplitNibble(out) : QByteArray();
}
}

class TestSimulator : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void keyLibraryStaysHidden();

    void pinEntryCarriesPin_data();
    void pinEntryCarriesPin();
    void pinBlockMatchesPublishedVector();
    void publicKeyBuffer_data();
    void publicKeyBuffer();
    void keysRequiredInOrder();
    void keyTextRejected_data();
    void keyTextRejected();
    void decryptedKeyRejected_data();
    void decryptedKeyRejected();
    void pinEntryRejected_data();
    void pinEntryRejected();

    void serialNumberFromEnvironment_data();
    void serialNumberFromEnvironment();
    void serialNumberWrite_data();
    void serialNumberWrite();
    void serialNumberReadBounded();

    void pdfChecks_data();
    void pdfChecks();
    void unsupportedFunctionsTouchNothing();

    void concurrentCallers();
    void writesNothingToOutput();

private:
    std::unique_ptr<Simulator> freshSimulator();
    // Fails the current test unless a PIN entry is answered under workKey with the default PIN.
    void verifyPinEntryUnder(const QByteArray& workKey);

    Simulator m_sim;
    QTemporaryDir m_copies;
    int m_copyCount = 0;
};

void TestSimulator::initTestCase()
{
    qunsetenv("QUORVEL_SIM_PIN");
    qunsetenv("QUORVEL_SIM_PIN_BLOCK");
    qunsetenv("QUORVEL_SIM_SN");
    QVERIFY2(m_sim.load(SIMULATOR_PATH), qPrintable(m_sim.library.errorString()));
    QVERIFY(m_copies.isValid());
}

void TestSimulator::cleanup()
{
    qunsetenv("QUORVEL_SIM_PIN");
    qunsetenv("QUORVEL_SIM_PIN_BLOCK");
    qunsetenv("QUORVEL_SIM_SN");
}

// Each copy of the library file is a separate load with a device state of its own.
std::unique_ptr<Simulator> TestSimulator::freshSimulator()
{
    const QString copy = m_copies.filePath(QString("libClientScreen%1.so").arg(++m_copyCount));
    auto sim = std::make_unique<Simulator>();
    if (!QFile::copy(SIMULATOR_PATH, copy) || !sim->load(copy))
        return nullptr;
    return sim;
}

void TestSimulator::verifyPinEntryUnder(const QByteArray& workKey)
{
    int code = 0;
    const QByteArray encrypted = enterPin(m_sim, &code);
    QCOMPARE(code, int(CS_OK));
    QCOMPARE(hostDecrypt(workKey, encrypted, CLKEY_ALG_SM4_ECB).toHex().toUpper(),
             QByteArray("06123456FFFFFFFFFFFFFFFFFFFFFFFF"));
}

void TestSimulator::keyLibraryStaysHidden()
{
    // All eleven names resolved in initTestCase, and the simulator's mark answers; the
    // compiled-in key library stays hidden.
    const auto mark =
        reinterpret_cast<const char* (*)()>(m_sim.library.resolve("QV_SimulatorVersion"));
    QVERIFY(mark);
    QVERIFY(QByteArray(mark()).startsWith("quorvel-simulator "));
    QVERIFY(!m_sim.library.resolve("_ZN5CLKey9EncodeKeyEPciS0_iS0_i"));
    QVERIFY(!m_sim.library.resolve("_ZN11CLKeyManageC1EPcS0_"));
    QVERIFY(!m_sim.library.resolve("_Z9ConvAsciiPhPcj"));
}

void TestSimulator::pinEntryCarriesPin_data()
{
    QTest::addColumn<bool>("setPin");
    QTest::addColumn<QByteArray>("pin");
    QTest::addColumn<QByteArray>("layout"); // QUORVEL_SIM_PIN_BLOCK; empty: unset
    QTest::addColumn<int>("maxLen");
    QTest::addColumn<int>("outSize");
    QTest::addColumn<QByteArray>("block");

    const QByteArray own;
    QTest::newRow("default PIN") << false << QByteArray() << own << 6 << 255
                                 << QByteArray("06123456FFFFFFFFFFFFFFFFFFFFFFFF");
    QTest::newRow("empty variable means default") << true << QByteArray("") << own << 6 << 255
                                                  << QByteArray("06123456FFFFFFFFFFFFFFFFFFFFFFFF");
    QTest::newRow("4 digits, exact fit") << true << QByteArray("1234") << own << 4 << 33
                                         << QByteArray("041234FFFFFFFFFFFFFFFFFFFFFFFFFF");
    QTest::newRow("odd length") << true << QByteArray("98765") << own << 12 << 255
                                << QByteArray("0598765FFFFFFFFFFFFFFFFFFFFFFFFF");
    QTest::newRow("12 digits") << true << QByteArray("012345678909") << own << 12 << 255
                               << QByteArray("0C012345678909FFFFFFFFFFFFFFFFFF");
    QTest::newRow("all zeros") << true << QByteArray("0000") << own << 6 << 255
                               << QByteArray("040000FFFFFFFFFFFFFFFFFFFFFFFFFF");
    QTest::newRow("ISO 9564 format 2")
        << true << QByteArray("98765") << QByteArray("iso9564-2") << 12 << 255
        << QByteArray("2598765FFFFFFFFFFFFFFFFFFFFFFFFF");
    QTest::newRow("unknown layout means the own one")
        << true << QByteArray("1234") << QByteArray("iso9564-3") << 6 << 255
        << QByteArray("041234FFFFFFFFFFFFFFFFFFFFFFFFFF");
}

void TestSimulator::pinEntryCarriesPin()
{
    QFETCH(bool, setPin);
    QFETCH(QByteArray, pin);
    QFETCH(QByteArray, layout);
    QFETCH(int, maxLen);
    QFETCH(int, outSize);
    QFETCH(QByteArray, block);

    QCOMPARE(installKeys(m_sim, kMainKey, kWorkKey), int(CS_OK));
    if (setPin)
        qputenv("QUORVEL_SIM_PIN", pin);
    if (!layout.isEmpty())
        qputenv("QUORVEL_SIM_PIN_BLOCK", layout);

    QByteArray out = guarded(256);
    QCOMPARE(m_sim.inputPassword(120, "", "", "", maxLen, outSize, out.data()), int(CS_OK));
    QCOMPARE(out.indexOf('\0'), 32);
    QVERIFY(guardIntactFrom(out, 33));
    const QByteArray encrypted = fromSplitNibble(out.left(32));
    QCOMPARE(toSplitNibble(encrypted), out.left(32)); // only "0".."?" characters
    QCOMPARE(hostDecrypt(kWorkKey, encrypted, CLKEY_ALG_SM4_ECB).toHex().toUpper(), block);
}

void TestSimulator::pinBlockMatchesPublishedVector()
{
    QCOMPARE(installKeys(m_sim, kMainKey, kVectorKey), int(CS_OK));
    qputenv("QUORVEL_SIM_PIN", "1234");
    char out[256] = {};
    QCOMPARE(m_sim.inputPassword(120, "", "", "", 6, 255, out), int(CS_OK));
    // A0F0479CBFB0B8AEA4188B3C30C70B10 in split-nibble text
    QCOMPARE(QByteArray(out), QByteArray(":0?0479<;?;0;8:>:4188;3<30<70;10"));
}

void TestSimulator::publicKeyBuffer_data()
{
    QTest::addColumn<bool>("nullOut");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("code");

    QTest::newRow("tool's 256 bytes") << false << 256 << int(CS_OK);
    QTest::newRow("exact fit 129") << false << 129 << int(CS_OK);
    QTest::newRow("no room for NUL") << false << 128 << int(CS_ERR_OUTPUT_TOO_SMALL);
    QTest::newRow("size 0") << false << 0 << int(CS_ERR_OUTPUT_TOO_SMALL);
    QTest::newRow("negative size") << false << -1 << int(CS_ERR_NEGATIVE_SIZE);
    QTest::newRow("most negative size") << false << INT_MIN << int(CS_ERR_NEGATIVE_SIZE);
    QTest::newRow("null out") << true << 256 << int(CS_ERR_NULL_OUTPUT);
}

void TestSimulator::publicKeyBuffer()
{
    QFETCH(bool, nullOut);
    QFETCH(int, size);
    QFETCH(int, code);

    const QByteArray publicKey = requestPublicKey(m_sim);
    QByteArray out = guarded(256);
    QCOMPARE(m_sim.generateKeyFromPw(size, nullOut ? nullptr : out.data()), code);
    if (code == CS_OK) {
        QCOMPARE(out.indexOf('\0'), 128);
        QVERIFY(guardIntactFrom(out, 129));
        const QByteArray fresh = fromSplitNibble(out.left(128));
        QCOMPARE(toSplitNibble(fresh), out.left(128));
        // A new key pair on every request: the earlier public key no longer opens.
        QVERIFY(fresh != publicKey);
        QCOMPARE(downloadMainKey(m_sim, publicKey, kMainKey), int(CS_ERR_DECRYPT_FAILED));
        QCOMPARE(downloadMainKey(m_sim, fresh, kMainKey), int(CS_OK));
    } else {
        QVERIFY(guardIntactFrom(out, 0));
        // The earlier key pair is still the one in use.
        QCOMPARE(downloadMainKey(m_sim, publicKey, kMainKey), int(CS_OK));
    }
}

void TestSimulator::keysRequiredInOrder()
{
    std::unique_ptr<Simulator> sim = freshSimulator();
    QVERIFY(sim);
    const QByteArray anyText = QByteArray(226, '0');
    QCOMPARE(sim->setPwMkey(anyText.constData(), anyText.size()), int(CS_ERR_NO_KEY_PAIR));
    QCOMPARE(downloadWorkKey(*sim, kMainKey, kWorkKey), int(CS_ERR_NO_MAIN_KEY));
    int code = 0;
    enterPin(*sim, &code);
    QCOMPARE(code, int(CS_ERR_NO_WORK_KEY));

    const QByteArray publicKey = requestPublicKey(*sim);
    QCOMPARE(downloadWorkKey(*sim, kMainKey, kWorkKey), int(CS_ERR_NO_MAIN_KEY));
    QCOMPARE(downloadMainKey(*sim, publicKey, kMainKey), int(CS_OK));
    enterPin(*sim, &code);
    QCOMPARE(code, int(CS_ERR_NO_WORK_KEY));
    QCOMPARE(downloadWorkKey(*sim, kMainKey, kWorkKey), int(CS_OK));
    enterPin(*sim, &code);
    QCOMPARE(code, int(CS_OK));

    // A new main key drops the work key; a new key pair keeps both.
    requestPublicKey(*sim);
    enterPin(*sim, &code);
    QCOMPARE(code, int(CS_OK));
    QCOMPARE(downloadMainKey(*sim, requestPublicKey(*sim), kMainKey), int(CS_OK));
    enterPin(*sim, &code);
    QCOMPARE(code, int(CS_ERR_NO_WORK_KEY));
}

void TestSimulator::keyTextRejected_data()
{
    QTest::addColumn<bool>("nullText");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("len");
    QTest::addColumn<int>("mainCode");
    QTest::addColumn<int>("workCode");

    const QByteArray zeros(1026, '0');
    QTest::newRow("null") << true << QByteArray() << 32 << int(CS_ERR_NULL_INPUT)
                          << int(CS_ERR_NULL_INPUT);
    QTest::newRow("negative length") << false << QByteArray("0000") << -2
                                     << int(CS_ERR_NEGATIVE_SIZE) << int(CS_ERR_NEGATIVE_SIZE);
    QTest::newRow("empty") << false << QByteArray("") << 0 << int(CS_ERR_TEXT_LENGTH)
                           << int(CS_ERR_TEXT_LENGTH);
    QTest::newRow("odd length") << false << QByteArray("000") << 3 << int(CS_ERR_TEXT_LENGTH)
                                << int(CS_ERR_TEXT_LENGTH);
    QTest::newRow("above the maximum")
        << false << zeros << 1026 << int(CS_ERR_TEXT_LENGTH) << int(CS_ERR_TEXT_LENGTH);
    // At the maximum the text is taken and reaches decryption.
    QTest::newRow("at the maximum") << false << zeros.left(1024) << 1024
                                    << int(CS_ERR_DECRYPT_FAILED) << int(CS_ERR_KEY_LENGTH);
    QTest::newRow("hex letter") << false << QByteArray("0A") << 2 << int(CS_ERR_TEXT_CHARACTER)
                                << int(CS_ERR_TEXT_CHARACTER);
    QTest::newRow("just above ?") << false << QByteArray("@0") << 2 << int(CS_ERR_TEXT_CHARACTER)
                                  << int(CS_ERR_TEXT_CHARACTER);
    QTest::newRow("just below 0") << false << QByteArray("0/") << 2 << int(CS_ERR_TEXT_CHARACTER)
                                  << int(CS_ERR_TEXT_CHARACTER);
    QTest::newRow("NUL inside") << false
                                << QByteArray("0\0"
                                              "00",
                                              4)
                                << 4 << int(CS_ERR_TEXT_CHARACTER) << int(CS_ERR_TEXT_CHARACTER);
    QTest::newRow("high byte") << false
                               << QByteArray("\xB0"
                                             "0")
                               << 2 << int(CS_ERR_TEXT_CHARACTER) << int(CS_ERR_TEXT_CHARACTER);
}

void TestSimulator::keyTextRejected()
{
    QFETCH(bool, nullText);
    QFETCH(QByteArray, text);
    QFETCH(int, len);
    QFETCH(int, mainCode);
    QFETCH(int, workCode);

    QCOMPARE(installKeys(m_sim, kMainKey, kWorkKey), int(CS_OK));
    const char* argument = nullText ? nullptr : text.constData();
    QCOMPARE(m_sim.setPwMkey(argument, len), mainCode);
    QCOMPARE(m_sim.setPwWkey(argument, len), workCode);

    // Nothing changed: the work key answers, and the main key still takes a new work key.
    verifyPinEntryUnder(kWorkKey);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(downloadWorkKey(m_sim, kMainKey, kVectorKey), int(CS_OK));
    verifyPinEntryUnder(kVectorKey);
}

void TestSimulator::decryptedKeyRejected_data()
{
    QTest::addColumn<bool>("mainKey");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("flipByte");  // -1: ciphertext as made
    QTest::addColumn<int>("keepBytes"); // -1: all of it
    QTest::addColumn<int>("code");

    QTest::newRow("main key of 15 bytes")
        << true << kMainKey.left(15) << -1 << -1 << int(CS_ERR_KEY_LENGTH);
    QTest::newRow("main key of 32 bytes")
        << true << kMainKey + kWorkKey << -1 << -1 << int(CS_ERR_KEY_LENGTH);
    QTest::newRow("main key tampered")
        << true << kMainKey << 100 << -1 << int(CS_ERR_DECRYPT_FAILED);
    QTest::newRow("main key cut short")
        << true << kMainKey << -1 << 16 << int(CS_ERR_DECRYPT_FAILED);
    QTest::newRow("work key of 32 bytes")
        << false << kWorkKey + kMainKey << -1 << -1 << int(CS_ERR_KEY_LENGTH);
    QTest::newRow("work key not whole blocks")
        << false << kWorkKey << -1 << 8 << int(CS_ERR_DECRYPT_FAILED);
}

void TestSimulator::decryptedKeyRejected()
{
    QFETCH(bool, mainKey);
    QFETCH(QByteArray, key);
    QFETCH(int, flipByte);
    QFETCH(int, keepBytes);
    QFETCH(int, code);

    int result = 0;
    const QByteArray publicKey = requestPublicKey(m_sim, &result);
    QCOMPARE(result, int(CS_OK));
    QCOMPARE(downloadMainKey(m_sim, publicKey, kMainKey), int(CS_OK));
    QCOMPARE(downloadWorkKey(m_sim, kMainKey, kWorkKey), int(CS_OK));

    QByteArray cipher = mainKey ? hostEncrypt(publicKey, key, CLKEY_ALG_SM2)
                                : hostEncrypt(kMainKey, key, CLKEY_ALG_SM4_ECB);
    QVERIFY(!cipher.isEmpty());
    if (flipByte >= 0)
        cipher[flipByte] = char(cipher[flipByte] ^ 0x01);
    if (keepBytes >= 0)
        cipher.truncate(keepBytes);
    const QByteArray text = toSplitNibble(cipher);
    QCOMPARE(mainKey ? m_sim.setPwMkey(text.constData(), text.size())
                     : m_sim.setPwWkey(text.constData(), text.size()),
             code);

    verifyPinEntryUnder(kWorkKey);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(downloadWorkKey(m_sim, kMainKey, kVectorKey), int(CS_OK));
    verifyPinEntryUnder(kVectorKey);
}

void TestSimulator::pinEntryRejected_data()
{
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("maxLen");
    QTest::addColumn<int>("outSize");
    QTest::addColumn<bool>("nullOut");
    QTest::addColumn<QByteArray>("pin"); // empty: variable unset
    QTest::addColumn<int>("code");

    QTest::newRow("null out") << 120 << 6 << 255 << true << QByteArray() << int(CS_ERR_NULL_OUTPUT);
    QTest::newRow("negative outSize")
        << 120 << 6 << -1 << false << QByteArray() << int(CS_ERR_NEGATIVE_SIZE);
    QTest::newRow("negative maxLen")
        << 120 << -1 << 255 << false << QByteArray() << int(CS_ERR_NEGATIVE_SIZE);
    QTest::newRow("no room for NUL")
        << 120 << 6 << 32 << false << QByteArray() << int(CS_ERR_OUTPUT_TOO_SMALL);
    QTest::newRow("outSize 0") << 120 << 6 << 0 << false << QByteArray()
                               << int(CS_ERR_OUTPUT_TOO_SMALL);
    QTest::newRow("negative timeout")
        << -1 << 6 << 255 << false << QByteArray() << int(CS_ERR_NEGATIVE_TIMEOUT);
    QTest::newRow("PIN longer than maxLen")
        << 120 << 5 << 255 << false << QByteArray() << int(CS_ERR_PIN_TOO_LONG);
    QTest::newRow("maxLen 0") << 120 << 0 << 255 << false << QByteArray("1234")
                              << int(CS_ERR_PIN_TOO_LONG);
    QTest::newRow("3 digits") << 120 << 12 << 255 << false << QByteArray("123")
                              << int(CS_ERR_PIN_INVALID);
    QTest::newRow("13 digits") << 120 << 12 << 255 << false << QByteArray("1234567890123")
                               << int(CS_ERR_PIN_INVALID);
    QTest::newRow("40 digits") << 120 << 12 << 255 << false << QByteArray(40, '7')
                               << int(CS_ERR_PIN_INVALID);
    QTest::newRow("letter") << 120 << 12 << 255 << false << QByteArray("12a4")
                            << int(CS_ERR_PIN_INVALID);
    QTest::newRow("sign") << 120 << 12 << 255 << false << QByteArray("+1234")
                          << int(CS_ERR_PIN_INVALID);
    QTest::newRow("trailing space")
        << 120 << 12 << 255 << false << QByteArray("1234 ") << int(CS_ERR_PIN_INVALID);
}

void TestSimulator::pinEntryRejected()
{
    QFETCH(int, timeout);
    QFETCH(int, maxLen);
    QFETCH(int, outSize);
    QFETCH(bool, nullOut);
    QFETCH(QByteArray, pin);
    QFETCH(int, code);

    QCOMPARE(installKeys(m_sim, kMainKey, kWorkKey), int(CS_OK));
    if (!pin.isEmpty())
        qputenv("QUORVEL_SIM_PIN", pin);
    QByteArray out = guarded(256);
    QCOMPARE(
        m_sim.inputPassword(timeout, "", "", "", maxLen, outSize, nullOut ? nullptr : out.data()),
        code);
    QVERIFY(guardIntactFrom(out, 0));

    qunsetenv("QUORVEL_SIM_PIN");
    verifyPinEntryUnder(kWorkKey);
}

void TestSimulator::serialNumberFromEnvironment_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("serial");

    const QByteArray longest(32, 'S');
    QTest::newRow("unset") << false << QByteArray() << QByteArray("QV000001");
    QTest::newRow("taken") << true << QByteArray("SN 42-x") << QByteArray("SN 42-x");
    QTest::newRow("32 characters") << true << longest << longest;
    QTest::newRow("33 characters") << true << longest + 'S' << QByteArray("QV000001");
    QTest::newRow("empty") << true << QByteArray("") << QByteArray("QV000001");
    QTest::newRow("tab") << true << QByteArray("QV\t1") << QByteArray("QV000001");
    QTest::newRow("DEL") << true << QByteArray("QV\x7F") << QByteArray("QV000001");
    QTest::newRow("UTF-8") << true << QByteArray("QV\xC3\xA9") << QByteArray("QV000001");
}

void TestSimulator::serialNumberFromEnvironment()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, serial);

    if (set)
        qputenv("QUORVEL_SIM_SN", value);
    std::unique_ptr<Simulator> sim = freshSimulator();
    QVERIFY(sim);
    QByteArray out = guarded(256);
    QCOMPARE(sim->readDeviceSN(0, "", 9600, out.data()), int(CS_OK));
    QCOMPARE(out.left(serial.size() + 1), serial + '\0');
    QVERIFY(guardIntactFrom(out, serial.size() + 1));

    // Taken once: a later change of the variable does not reach the device.
    qputenv("QUORVEL_SIM_SN", "CHANGED");
    char again[256] = {};
    QCOMPARE(sim->readDeviceSN(0, "", 9600, again), int(CS_OK));
    QCOMPARE(QByteArray(again), serial);
}

void TestSimulator::serialNumberWrite_data()
{
    QTest::addColumn<bool>("nullSn");
    QTest::addColumn<QByteArray>("sn");
    QTest::addColumn<int>("code");

    QTest::newRow("tool's serial") << false << QByteArray("QV123456") << int(CS_OK);
    QTest::newRow("one character") << false << QByteArray("7") << int(CS_OK);
    QTest::newRow("32 characters") << false << QByteArray(32, 'Z') << int(CS_OK);
    QTest::newRow("space and tilde") << false << QByteArray(" ~") << int(CS_OK);
    QTest::newRow("null") << true << QByteArray() << int(CS_ERR_NULL_INPUT);
    QTest::newRow("empty") << false << QByteArray("") << int(CS_ERR_SN_EMPTY);
    QTest::newRow("33 characters") << false << QByteArray(33, 'Z') << int(CS_ERR_SN_TOO_LONG);
    QTest::newRow("1000 characters") << false << QByteArray(1000, 'Z') << int(CS_ERR_SN_TOO_LONG);
    QTest::newRow("newline") << false << QByteArray("QV12\n") << int(CS_ERR_SN_CONTROL);
    QTest::newRow("unit separator") << false
                                    << QByteArray("\x1F"
                                                  "A")
                                    << int(CS_ERR_SN_CONTROL);
    QTest::newRow("DEL") << false << QByteArray("A\x7F") << int(CS_ERR_SN_CONTROL);
    QTest::newRow("byte 0x80") << false << QByteArray("A\x80") << int(CS_ERR_SN_NON_ASCII);
    QTest::newRow("UTF-8") << false << QByteArray("\xE5\x8F\xB7") << int(CS_ERR_SN_NON_ASCII);
}

void TestSimulator::serialNumberWrite()
{
    QFETCH(bool, nullSn);
    QFETCH(QByteArray, sn);
    QFETCH(int, code);

    QCOMPARE(m_sim.writeDeviceSN(0, "", 9600, "BEFORE"), int(CS_OK));
    QCOMPARE(m_sim.writeDeviceSN(0, "", 9600, nullSn ? nullptr : sn.constData()), code);
    const QByteArray expected = code == CS_OK ? sn : QByteArray("BEFORE");
    QByteArray out = guarded(256);
    QCOMPARE(m_sim.readDeviceSN(0, "", 9600, out.data()), int(CS_OK));
    QCOMPARE(out.left(expected.size() + 1), expected + '\0');
    QVERIFY(guardIntactFrom(out, expected.size() + 1));
}

void TestSimulator::serialNumberReadBounded()
{
    QCOMPARE(m_sim.readDeviceSN(0, "", 9600, nullptr), int(CS_ERR_NULL_OUTPUT));

    // 33 characters with no NUL, right before an inaccessible page: a scan past them would fault.
    const long page = sysconf(_SC_PAGESIZE);
    void* area =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    QVERIFY(area != MAP_FAILED);
    char* second = static_cast<char*>(area) + page;
    QCOMPARE(mprotect(second, page, PROT_NONE), 0);
    std::memset(second - 33, 'A', 33);
    const int code = m_sim.writeDeviceSN(0, "", 9600, second - 33);
    munmap(area, 2 * page);
    QCOMPARE(code, int(CS_ERR_SN_TOO_LONG));
}

void TestSimulator::pdfChecks_data()
{
    QTest::addColumn<QString>("kind"); // file, none, directory, fifo, unreadable, null
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("code");

    const QByteArray pdf("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n1 0 obj\n");
    QTest::newRow("PDF") << "file"
                         << "a.pdf" << pdf << 30 << int(CS_OK);
    QTest::newRow("timeout 0") << "file"
                               << "a.pdf" << pdf << 0 << int(CS_OK);
    QTest::newRow("UTF-8 name") << "file" << QString::fromUtf8("合同 1.pdf") << pdf << 30
                                << int(CS_OK);
    QTest::newRow("magic only") << "file"
                                << "m.pdf" << QByteArray("%PDF-") << 30 << int(CS_OK);
    QTest::newRow("negative timeout") << "file"
                                      << "a.pdf" << pdf << -1 << int(CS_ERR_NEGATIVE_TIMEOUT);
    QTest::newRow("magic cut short")
        << "file"
        << "s.pdf" << QByteArray("%PDF") << 30 << int(CS_ERR_PDF_NOT_PDF);
    QTest::newRow("empty file") << "file"
                                << "e.pdf" << QByteArray() << 30 << int(CS_ERR_PDF_NOT_PDF);
    QTest::newRow("lower case") << "file"
                                << "l.pdf" << QByteArray("%pdf-1.4") << 30
                                << int(CS_ERR_PDF_NOT_PDF);
    QTest::newRow("text") << "file"
                          << "t.pdf" << QByteArray("hello world") << 30 << int(CS_ERR_PDF_NOT_PDF);
    QTest::newRow("missing") << "none"
                             << "absent.pdf" << QByteArray() << 30 << int(CS_ERR_PDF_MISSING);
    QTest::newRow("below a file") << "none"
                                  << "a.pdf/x.pdf" << QByteArray() << 30 << int(CS_ERR_PDF_MISSING);
    QTest::newRow("empty path") << "none"
                                << "" << QByteArray() << 30 << int(CS_ERR_PDF_MISSING);
    QTest::newRow("directory") << "directory"
                               << "d.pdf" << QByteArray() << 30 << int(CS_ERR_PDF_UNREADABLE);
    QTest::newRow("FIFO") << "fifo"
                          << "f.pdf" << QByteArray() << 30 << int(CS_ERR_PDF_UNREADABLE);
    QTest::newRow("no permission") << "unreadable"
                                   << "u.pdf" << pdf << 30 << int(CS_ERR_PDF_UNREADABLE);
    QTest::newRow("null path") << "null"
                               << "" << QByteArray() << 30 << int(CS_ERR_NULL_INPUT);
}

void TestSimulator::pdfChecks()
{
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, timeout);
    QFETCH(int, code);

    if (kind == "unreadable" && geteuid() == 0)
        QSKIP("root reads files whatever their permissions");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("a.pdf"), "%PDF-1.4\n")); // a file for the path below a file
    const QString filePath = dir.filePath(name);
    const QByteArray path = name.isEmpty() ? QByteArray("") : filePath.toUtf8();
    if (kind == "file" || kind == "unreadable")
        QVERIFY(writeFile(filePath, content));
    if (kind == "unreadable")
        QVERIFY(QFile::setPermissions(filePath, QFileDevice::WriteOwner));
    if (kind == "directory")
        QVERIFY(QDir(dir.path()).mkdir(name));
    if (kind == "fifo")
        QCOMPARE(mkfifo(path.constData(), 0600), 0);
    const char* argument = kind == "null" ? nullptr : path.constData();

    QCOMPARE(m_sim.showPdf(0, "", 9600, timeout, argument), code);
    QByteArray out = guarded(256);
    QCOMPARE(m_sim.confirmPdf(0, "", 9600, timeout, argument, out.data()), code);
    if (code == CS_OK) {
        QCOMPARE(out.left(2), QByteArray("1\0", 2));
        QVERIFY(guardIntactFrom(out, 2));
        QCOMPARE(m_sim.confirmPdf(0, "", 9600, timeout, argument, nullptr),
                 int(CS_ERR_NULL_OUTPUT));
    } else {
        QVERIFY(guardIntactFrom(out, 0));
    }
}

void TestSimulator::unsupportedFunctionsTouchNothing()
{
    QByteArray out = guarded(256);
    QByteArray input = guarded(64);
    input.back() = '\0';
    QCOMPARE(m_sim.startInfoHtml(0, "", 9600, 30, input.constData(), out.data()),
             int(CS_ERR_NOT_SUPPORTED));
    QCOMPARE(m_sim.signPdf(0, "", 9600, 30, input.constData(), "0,0,800,600", out.data()),
             int(CS_ERR_NOT_SUPPORTED));
    QCOMPARE(m_sim.signPdfVoice(0, "", 9600, 30, input.constData(), "0,0,800,600",
                                input.constData(), out.data()),
             int(CS_ERR_NOT_SUPPORTED));
    QVERIFY(guardIntactFrom(out, 0));
    QCOMPARE(m_sim.signPdfVoice(0, nullptr, 0, -1, nullptr, nullptr, nullptr, nullptr),
             int(CS_ERR_NOT_SUPPORTED));
}

void TestSimulator::concurrentCallers()
{
    std::unique_ptr<Simulator> sim = freshSimulator();
    QVERIFY(sim);
    constexpr int kThreads = 6;
    constexpr int kRounds = 8;

    struct Round {
        int generate = 1, main = 1, work = 1, pin = 1, write = 1, read = 1;
        QByteArray encryptedPin;
        QByteArray serial;
    };
    std::vector<QByteArray> mainKeys, workKeys;
    for (int t = 0; t < kThreads; ++t) {
        mainKeys.push_back(QByteArray(16, char(0x20 + t)));
        workKeys.push_back(QByteArray(16, char(0x40 + t)));
    }
    std::vector<std::vector<Round>> rounds(kThreads, std::vector<Round>(kRounds));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                Round& round = rounds[t][r];
                const QByteArray publicKey = requestPublicKey(*sim, &round.generate);
                round.main = downloadMainKey(*sim, publicKey, mainKeys[t]);
                round.work = downloadWorkKey(*sim, mainKeys[t], workKeys[t]);
                round.encryptedPin = enterPin(*sim, &round.pin);
                const QByteArray sn =
                    QByteArray("T") + QByteArray::number(t) + '-' + QByteArray::number(r);
                round.write = sim->writeDeviceSN(0, "", 9600, sn.constData());
                char out[256] = {};
                round.read = sim->readDeviceSN(0, "", 9600, out);
                round.serial = out;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    // Another thread may replace the key pair or main key between one thread's steps, so a work
    // key can be any thread's work key decrypted under any thread's main key.
    std::set<QByteArray> workKeyCandidates;
    std::set<QByteArray> serials{"QV000001"};
    for (int t = 0; t < kThreads; ++t) {
        const QByteArray cipher = hostEncrypt(mainKeys[t], workKeys[t], CLKEY_ALG_SM4_ECB);
        for (const QByteArray& mainKey : mainKeys)
            workKeyCandidates.insert(hostDecrypt(mainKey, cipher, CLKEY_ALG_SM4_ECB));
        for (int r = 0; r < kRounds; ++r)
            serials.insert(QByteArray("T") + QByteArray::number(t) + '-' + QByteArray::number(r));
    }
    const QByteArray block = QByteArray::fromHex("06123456FFFFFFFFFFFFFFFFFFFFFFFF");
    int pinEntries = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (const Round& round : rounds[t]) {
            QCOMPARE(round.generate, int(CS_OK));
            QVERIFY(round.main == CS_OK || round.main == CS_ERR_DECRYPT_FAILED);
            QVERIFY(round.work == CS_OK || round.work == CS_ERR_NO_MAIN_KEY);
            QVERIFY(round.pin == CS_OK || round.pin == CS_ERR_NO_WORK_KEY);
            QCOMPARE(round.write, int(CS_OK));
            QCOMPARE(round.read, int(CS_OK));
            QVERIFY2(serials.count(round.serial), round.serial.constData());
            if (round.pin != CS_OK)
                continue;
            ++pinEntries;
            bool opened = false;
            for (const QByteArray& key : workKeyCandidates)
                opened = opened || hostDecrypt(key, round.encryptedPin, CLKEY_ALG_SM4_ECB) == block;
            QVERIFY(opened);
        }
    }
    QVERIFY(pinEntries > 0);

    // The device is still in one piece.
    QCOMPARE(installKeys(*sim, kMainKey, kWorkKey), int(CS_OK));
    int code = 0;
    QCOMPARE(hostDecrypt(kWorkKey, enterPin(*sim, &code), CLKEY_ALG_SM4_ECB), block);
}

void TestSimulator::writesNothingToOutput()
{
    // Keys and PINs never leave the simulator except as its documented results.
    QByteArray printed;
    QByteArray logged;
    {
        StdoutCapture out(1);
        StdoutCapture err(2);
        qputenv("QUORVEL_SIM_PIN", "97531");
        QCOMPARE(installKeys(m_sim, kMainKey, kWorkKey), int(CS_OK));
        int code = 0;
        enterPin(m_sim, &code);
        QCOMPARE(code, int(CS_OK));
        QVERIFY(m_sim.setPwMkey("0?", 2) < 0);
        printed = out.text();
        logged = err.text();
    }
    QCOMPARE(printed, QByteArray());
    QCOMPARE(logged, QByteArray());
}

QTEST_MAIN(TestSimulator)
#include "tst_simulator.moc"
