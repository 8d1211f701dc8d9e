#include "panels/pinpadwidget.h"

#include "device/devicecalls.h"
#include "keydownload/keydownload.h"
#include "keydownload/testkeys.h"
#include "util/debugendl.h"
#include "util/devicetext.h"
#include "util/utils.h"
#include "util/visibletext.h"

#include <QDebug>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>

#include <cstring>
#include <memory>

namespace {
const char kPairKeyTag[] = "(申请公私钥对)GenerateKeyFromPw:";
const char kMainKeyTag[] = "(下载主密钥)SetPwMkey:";
const char kWorkKeyTag[] = "(下载工作密钥)SetPwWkey:";
const char kInputPinTag[] = "(输入密码)InputPassword:";

QString resultLine(const char* tag, int code, const QString& text)
{
    return QString::fromUtf8(tag) + QLatin1Char('[') + QString::number(code) + QLatin1String("] ")
        + text;
}

// A test key as its field shows it: uppercase hex.
QString keyText(const char (&key)[16])
{
    return QString::fromLatin1(QByteArray(key, sizeof key).toHex().toUpper());
}
}

PinPadWidget::PinPadWidget(QWidget* parent)
    : BaseWidget(parent)
{
    QGridLayout* layout = new QGridLayout();
    for (int column = 0; column < 5; ++column)
        layout->setColumnStretch(column, 1);

    m_pairKeyButton = new QPushButton(QStringLiteral("申请密码键盘公私钥对"));
    m_mainKeyButton = new QPushButton(QStringLiteral("下载密码键盘主密钥"));
    m_workKeyButton = new QPushButton(QStringLiteral("下载密码键盘工作密钥"));
    m_inputPinButton = new QPushButton(QStringLiteral("输入密码"));

    m_publicKeyEdit = new QLineEdit();
    m_mainKeyEdit = new QLineEdit(keyText(kTestMainKey));
    m_workKeyEdit = new QLineEdit(keyText(kTestWorkKey));

    layout->addWidget(m_pairKeyButton, 0, 0, Qt::AlignRight);
    layout->addWidget(m_publicKeyEdit, 0, 1, 1, 4);
    layout->addWidget(m_mainKeyButton, 1, 0, Qt::AlignRight);
    layout->addWidget(m_mainKeyEdit, 1, 1, 1, 4);
    layout->addWidget(m_workKeyButton, 2, 0, Qt::AlignRight);
    layout->addWidget(m_workKeyEdit, 2, 1, 1, 4);
    layout->addWidget(m_inputPinButton, 3, 2, Qt::AlignCenter);

    m_publicKeyEdit->setReadOnly(true);
    m_mainKeyEdit->setReadOnly(true);
    m_workKeyEdit->setReadOnly(true);

    setLayout(layout);

    connect(m_pairKeyButton, SIGNAL(clicked()), this, SLOT(onPairKeyClick()));
    connect(m_mainKeyButton, SIGNAL(clicked()), this, SLOT(onMainKeyClick()));
    connect(m_workKeyButton, SIGNAL(clicked()), this, SLOT(onWorkKeyClick()));
    connect(m_inputPinButton, SIGNAL(clicked()), this, SLOT(onInputPinClick()));

    m_pairKeyButton->setObjectName(QStringLiteral("pairKeyButton"));
    m_mainKeyButton->setObjectName(QStringLiteral("mainKeyButton"));
    m_workKeyButton->setObjectName(QStringLiteral("workKeyButton"));
    m_inputPinButton->setObjectName(QStringLiteral("inputPinButton"));
    m_publicKeyEdit->setObjectName(QStringLiteral("publicKeyEdit"));
    m_mainKeyEdit->setObjectName(QStringLiteral("mainKeyEdit"));
    m_workKeyEdit->setObjectName(QStringLiteral("workKeyEdit"));
}

void PinPadWidget::loadLibrary(QLibrary* library)
{
    qDebug() << "PinPadWidget::loadLibrary" << debugEndl;
    if (!library || !library->load())
        return;
    m_generateKeyFromPw =
        reinterpret_cast<GenerateKeyFromPwFunc>(resolveOrReport(library, "GenerateKeyFromPw"));
    m_setPwMkey = reinterpret_cast<SetPwMkeyFunc>(resolveOrReport(library, "SetPwMkey"));
    m_setPwWkey = reinterpret_cast<SetPwWkeyFunc>(resolveOrReport(library, "SetPwWkey"));
    m_inputPassword =
        reinterpret_cast<InputPasswordFunc>(resolveOrReport(library, "InputPassword"));
}

void PinPadWidget::unbindLibrary()
{
    m_generateKeyFromPw = nullptr;
    m_setPwMkey = nullptr;
    m_setPwWkey = nullptr;
    m_inputPassword = nullptr;
}

void PinPadWidget::onPairKeyClick()
{
    if (!m_generateKeyFromPw) {
        emit onMessage(unboundLine(QString::fromUtf8(kPairKeyTag)));
        return;
    }
    char keyPair[kKeyPairSize];
    std::memset(keyPair, 0, sizeof keyPair);
    // Emptied before the call, and so painted empty as the call greys the window out: Qt scrolls a
    // field only as it paints it, and from a view scrolled further right than the new key is wide,
    // a single paint would bring that key's end into view rather than its start.
    m_publicKeyEdit->clear();
    const int code = callDevice([&] { return m_generateKeyFromPw(kKeyPairSize, keyPair); });
    const QString text = deviceText(keyPair, sizeof keyPair);
    // Escaped as in the log pane: raw device bytes would reach the terminal the debug output goes
    // to.
    qDebug().noquote() << "public key:" << visibleText(text) << debugEndl;
    // The field holds the device's text as it came, unescaped: the main-key download decodes the
    // key from it. setText leaves the cursor at the end, which scrolls a key longer than the field
    // to its end; at the start, the field shows the key from its first character.
    m_publicKeyEdit->setText(text);
    m_publicKeyEdit->setCursorPosition(0);
    emit onMessage(resultLine(kPairKeyTag, code, text));
}

void PinPadWidget::onMainKeyClick()
{
    if (!m_setPwMkey) {
        emit onMessage(unboundLine(QString::fromUtf8(kMainKeyTag)));
        return;
    }
    const QByteArray publicText = m_publicKeyEdit->text().toLocal8Bit();
    const int n = static_cast<int>(std::strlen(publicText.constData()));
    // A real heap buffer even for an empty field: the key library then sees a key of length 0,
    // not a null pointer.
    const std::unique_ptr<char[]> publicKey(new char[n / 2]);
    Utils::hexStringDec30(publicText.constData(), n, publicKey.get());

    unsigned char hex[1024];
    std::memset(hex, 0, sizeof hex);
    // The hex of at most 511 bytes keeps a NUL in the buffer, whatever the field was given.
    const int hexBytes = qMin(n / 2, static_cast<int>(sizeof hex - 1) / 2);
    Utils::bytesToHexString(reinterpret_cast<const unsigned char*>(publicKey.get()), hexBytes, hex);
    qDebug().noquote() << "sm2 public key:" << QString::fromLatin1(reinterpret_cast<char*>(hex));

    const KeyCipher encrypted =
        encryptKey(QByteArray(publicKey.get(), n / 2), kTestMainKey, kSm2, kMaxMainKeyCipher);
    if (!encrypted.refusal.isNull()) {
        emit onMessage(QString::fromUtf8(kMainKeyTag) + encrypted.refusal);
        return;
    }
    const int length = encrypted.cipher.size();

    char nibble[kMainKeyTextSize];
    std::memset(nibble, 0, sizeof nibble);
    Utils::hexStringAdd30(encrypted.cipher.constData(), length, nibble);
    const QString nibbleText = deviceText(nibble, sizeof nibble);
    qDebug().noquote() << length << nibbleText << debugEndl;

    const int code = callDevice([&] { return m_setPwMkey(nibble, 2 * length); });
    emit onMessage(resultLine(kMainKeyTag, code, nibbleText));
}

void PinPadWidget::onWorkKeyClick()
{
    if (!m_setPwWkey) {
        emit onMessage(unboundLine(QString::fromUtf8(kWorkKeyTag)));
        return;
    }
    const KeyCipher encrypted = encryptKey(QByteArray(kTestMainKey, sizeof kTestMainKey),
                                           kTestWorkKey, kSm4, kMaxWorkKeyCipher);
    if (!encrypted.refusal.isNull()) {
        emit onMessage(QString::fromUtf8(kWorkKeyTag) + encrypted.refusal);
        return;
    }
    const int length = encrypted.cipher.size();

    char nibble[kWorkKeyTextSize];
    std::memset(nibble, 0, sizeof nibble - 1);
    Utils::hexStringAdd30(encrypted.cipher.constData(), length, nibble);
    const QString nibbleText = deviceText(nibble, sizeof nibble - 1);
    qDebug().noquote() << length << nibbleText << debugEndl;

    const int code = callDevice([&] { return m_setPwWkey(nibble, 2 * length); });
    emit onMessage(resultLine(kWorkKeyTag, code, nibbleText));
}

void PinPadWidget::onInputPinClick()
{
    if (!m_inputPassword) {
        emit onMessage(unboundLine(QString::fromUtf8(kInputPinTag)));
        return;
    }
    char pin[kPinOutSize + 1];
    std::memset(pin, 0, kPinOutSize);
    const int code = callDevice([&] {
        return m_inputPassword(kPinTimeout, kPinText, kPinText, kPinText, kPinMaxLength,
                               kPinOutSize, pin);
    });
    emit onMessage(resultLine(kInputPinTag, code, deviceText(pin, kPinOutSize)));
}

PinPadWidget::KeyCipher PinPadWidget::encryptKey(const QByteArray& key, const char (&data)[16],
                                                 int algorithm, int maxLength)
{
    const KeyLibraryResult call =
        callKeyLibrary(key, QByteArray(data, sizeof data), algorithm, false, maxLength);
    KeyCipher result;
    // Nothing is sent after a failure: a device handed an empty text and a negative length might
    // answer success.
    switch (call.outcome) {
    case KeyLibraryOutcome::Done:
        result.cipher = call.bytes;
        break;
    case KeyLibraryOutcome::Threw:
        result.refusal = call.thrown.isNull() ? QStringLiteral("密钥库出错")
                                              : QStringLiteral("密钥库出错: ") + call.thrown;
        break;
    case KeyLibraryOutcome::Failed:
        result.refusal = QStringLiteral("密钥加密失败(L=%1)").arg(call.length);
        break;
    case KeyLibraryOutcome::TooLong:
        result.refusal = QStringLiteral("加密后的密钥过长(L=%1)").arg(call.length);
        break;
    }
    return result;
}
