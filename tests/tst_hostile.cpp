// Misbehaving device and key libraries: text without a NUL, not UTF-8 or made to look like HTML
// or several lines, extreme codes and lengths, odd public-key text, input that arrives while a
// device call blocks, and device library files that are not loadable libraries or that try to
// pass for another file. Each case checks what the user sees and that nothing else changed; the
// sanitizer build checks that no buffer is read or written out of bounds.
#include "app/mainwindow.h"
#include "capture.h"
#include "controls.h"
#include "fakedevicehandle.h"
#include "fakekeylib.h"
#include "panelinspect.h"
#include "panels/commonwidget.h"
#include "panels/pinpadwidget.h"
#include "panels/signwidget.h"
#include "workingdirectory.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QtTest>

#include <climits>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
const QString kReplacement = QString(QChar(0xFFFD));

QStringList fieldTexts(QWidget* panel)
{
    QStringList texts;
    for (QLineEdit* field : panel->findChildren<QLineEdit*>())
        texts << field->text();
    return texts;
}

// Posts a left-button click at point in widget into the event queue, where a user's click waits
// while a device call blocks the event loop.
void postClick(QWidget* widget, const QPointF& point)
{
    QCoreApplication::postEvent(widget,
                                new QMouseEvent(QEvent::MouseButtonPress, point, Qt::LeftButton,
                                                Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(widget,
                                new QMouseEvent(QEvent::MouseButtonRelease, point, Qt::LeftButton,
                                                Qt::NoButton, Qt::NoModifier));
}

void postClick(QPushButton* button)
{
    postClick(button, QPointF(button->width() / 2, button->height() / 2));
}

// Posts the key T, typed into widget, into the event queue.
void postKey(QWidget* widget)
{
    for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease})
        QCoreApplication::postEvent(
            widget, new QKeyEvent(type, Qt::Key_T, Qt::NoModifier, QStringLiteral("t")));
}

// Input that a user makes while a device call blocks: a click on the button that started the call,
// a click in the log pane, or a key typed into it.
enum CallInput { ClickButton, ClickLogPane, TypeInLogPane };

// What a device call saw of its panel, recorded from inside the call, and the input it posts.
struct DuringCall {
    QPushButton* button;
    QTextEdit* logPane;
    int input; // a CallInput
    bool enabled;
    bool logPaneEnabled;
    bool waitCursor;
};

void inputFromInsideCall(void* context)
{
    auto* during = static_cast<DuringCall*>(context);
    during->enabled = during->button->isEnabled();
    during->logPaneEnabled = during->logPane->isEnabled();
    during->waitCursor =
        QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    if (during->input == ClickButton)
        postClick(during->button);
    else if (during->input == ClickLogPane)
        postClick(during->logPane->viewport(), QPointF(4, 4)); // on its first line
    else
        postKey(during->logPane);
}

const int kX86_64 = 62;
const int kAArch64 = 183;

int elfMachine(const QByteArray& elf)
{
    return static_cast<unsigned char>(elf[18]) | static_cast<unsigned char>(elf[19]) << 8;
}

// What a test places at the device library's path.
enum LibraryFile { FileBytes, FileCopy, FileFifo, FileDirectory };

QString fileSha256(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return QString::fromLatin1(
        QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
}

// The library with its ELF machine field changed to another architecture's.
QByteArray foreignArchitecture(QByteArray elf)
{
    const int foreign = elfMachine(elf) == kX86_64 ? kAArch64 : kX86_64;
    elf[18] = static_cast<char>(foreign & 0xFF);
    elf[19] = static_cast<char>(foreign >> 8);
    return elf;
}
}

class TestHostile : public QObject {
    Q_OBJECT
private slots:
    void init();

    void deviceTextIsBounded_data();
    void deviceTextIsBounded();
    void encryptedKeyLength_data();
    void encryptedKeyLength();
    void clickDuringDeviceCallIsDropped_data();
    void clickDuringDeviceCallIsDropped();
    void publicKeyText_data();
    void publicKeyText();
    void deviceLibraryFile_data();
    void deviceLibraryFile();

private:
    // The panel that holds the button named name.
    BaseWidget* owner(const char* name);

    FakeDeviceHandle device{FAKE_DEVICE_PATH};
    QScopedPointer<PinPadWidget> pinPad;
    QScopedPointer<CommonWidget> common;
    QScopedPointer<SignWidget> sign;
    // Shows the panels' result lines in its log pane, as the tool does.
    QScopedPointer<MainWindow> window;
};

void TestHostile::init()
{
    device.reset();
    resetFakeKeyLib();
    pinPad.reset(new PinPadWidget());
    common.reset(new CommonWidget());
    sign.reset(new SignWidget());
    pinPad->loadLibrary(&device.library());
    common->loadLibrary(&device.library());
    sign->loadLibrary(&device.library());
    {
        WorkingDirectory noLibrary;
        window.reset(new MainWindow());
    }
    window->findChild<QTextEdit*>()->clear();
    connect(pinPad.data(), SIGNAL(onMessage(QString)), window.data(), SLOT(onRecvResult(QString)));
    connect(common.data(), SIGNAL(onMessage(QString)), window.data(), SLOT(onRecvResult(QString)));
}

BaseWidget* TestHostile::owner(const char* name)
{
    const QList<BaseWidget*> panels{pinPad.data(), common.data(), sign.data()};
    for (BaseWidget* panel : panels) {
        if (panel->findChild<QPushButton*>(QString::fromLatin1(name)))
            return panel;
    }
    return nullptr;
}

void TestHostile::deviceTextIsBounded_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("shown"); // in the log pane, when it differs from the line

    const QString pair = QStringLiteral("(申请公私钥对)GenerateKeyFromPw:");
    const QString pin = QStringLiteral("(输入密码)InputPassword:");
    const QString serial = QStringLiteral("PN_ReadDeviceSN:");
    const QByteArray pairButton("pairKeyButton"), pinButton("inputPinButton"),
        serialButton("readButton");
    const QByteArray notUtf8("\xFF\xFE\xC3(ok\0", 7);
    const QString notUtf8Text = kReplacement + kReplacement + kReplacement + QStringLiteral("(ok");

    QTest::newRow("key pair: 256 bytes, no NUL, INT_MIN")
        << pairButton << INT_MIN << QByteArray(256, 'A')
        << pair + QStringLiteral("[%1] ").arg(INT_MIN) + QString(256, 'A') << QString();
    QTest::newRow("key pair: not UTF-8, INT_MAX")
        << pairButton << INT_MAX << notUtf8
        << pair + QStringLiteral("[%1] ").arg(INT_MAX) + notUtf8Text << QString();
    QTest::newRow("PIN: 255 cleared bytes, no NUL, -1")
        << pinButton << -1 << QByteArray(255, 'P') + 'Z'
        << pin + QStringLiteral("[-1] ") + QString(255, 'P') << QString();
    QTest::newRow("PIN: not UTF-8, INT_MIN")
        << pinButton << INT_MIN << notUtf8
        << pin + QStringLiteral("[%1] ").arg(INT_MIN) + notUtf8Text << QString();
    QTest::newRow("serial: 256 bytes, no NUL, INT_MAX")
        << serialButton << INT_MAX << QByteArray(256, 'S') << serial + QString(255, 'S')
        << QString();
    QTest::newRow("serial: not UTF-8, -1")
        << serialButton << -1 << notUtf8 << serial + notUtf8Text << QString();

    // Text made to forge a result line, hide itself or load a file shows as it is, on one line.
    const QByteArray forged =
        QStringLiteral("<b>0</b><br>(下载主密钥)SetPwMkey:[0] 00??10").toUtf8();
    QTest::newRow("key pair: HTML forging a result line")
        << pairButton << -1 << forged << pair + QStringLiteral("[-1] ") + QString::fromUtf8(forged)
        << QString();
    const QByteArray image("<img src=\"/dev/zero\"><font color=white>hidden</font>");
    QTest::newRow("serial: image of /dev/zero, white text")
        << serialButton << 0 << image << serial + QString::fromLatin1(image) << QString();
    const QByteArray controls = QStringLiteral("1\n(输入密码)\r\t\x1B[8m\x7F\x01").toUtf8();
    QTest::newRow("PIN: control characters")
        << pinButton << 0 << controls << pin + QStringLiteral("[0] ") + QString::fromUtf8(controls)
        << pin + QStringLiteral("[0] 1\\x0A(输入密码)\\x0D\\x09\\x1B[8m\\x7F\\x01");
    const QByteArray breaks("a\xC2\x85"
                            "b\xE2\x80\xA8"
                            "c\xE2\x80\xA9"
                            "d\xEF\xBF\xBC"
                            "e\xEF\xB7\x90");
    QTest::newRow("key pair: Unicode line breaks and object marks")
        << pairButton << 0 << breaks << pair + QStringLiteral("[0] ") + QString::fromUtf8(breaks)
        << pair + QStringLiteral("[0] a\\u0085b\\u2028c\\u2029d\\uFFFCe\\uFDD0");
    // Characters that reorder the line on screen or take no space.
    const QString bidi = QStringLiteral("a\u061Cb\u200Ec\u200Fd\u202Ae\u202Bf\u202Cg\u202Dh\u202Ei"
                                        "\u2066j\u2067k\u2068l\u2069m");
    QTest::newRow("PIN: bidirectional controls")
        << pinButton << 0 << bidi.toUtf8() << pin + QStringLiteral("[0] ") + bidi
        << pin
            + QStringLiteral("[0] a\\u061Cb\\u200Ec\\u200Fd\\u202Ae\\u202Bf\\u202Cg\\u202Dh"
                             "\\u202Ei\\u2066j\\u2067k\\u2068l\\u2069m");
    // Characters that take no space or show as a blank; the hair space U+200A is a space and stays.
    const QString invisible = QStringLiteral("Q\u200BV\u200C0\u200D0\u2060\u2061\u2062\u2063\u2064"
                                             "0\uFEFF1\u200A\u2065\u206A");
    QTest::newRow("serial: invisible format characters")
        << serialButton << 0 << invisible.toUtf8() << serial + invisible
        << serial
            + QStringLiteral("Q\\u200BV\\u200C0\\u200D0\\u2060\\u2061\\u2062\\u2063\\u2064"
                             "0\\uFEFF1\u200A\\u2065\\u206A");
    const QString format =
        QStringLiteral("0\u00AD1\u180E2\u206B3\u206F4\uFFF95\uFFFA6\uFFFB7\u06008");
    QTest::newRow("key pair: soft hyphen, annotation and other format characters")
        << pairButton << 0 << format.toUtf8() << pair + QStringLiteral("[0] ") + format
        << pair
            + QStringLiteral("[0] 0\\u00AD1\\u180E2\\u206B3\\u206F4\\uFFF95\\uFFFA6\\uFFFB7"
                             "\\u06008");
    const QString ignorable = QStringLiteral("a\u034Fb\u115Fc\u1160d\u17B4e\u17B5f\u180Bg\u180Fh"
                                             "\u3164i\uFE00j\uFE0Fk\uFFA0l")
        + QString::fromUcs4(U"\U000E0100m");
    QTest::newRow("PIN: fillers, selectors and other default-ignorable letters")
        << pinButton << 0 << ignorable.toUtf8() << pin + QStringLiteral("[0] ") + ignorable
        << pin
            + QStringLiteral("[0] a\\u034Fb\\u115Fc\\u1160d\\u17B4e\\u17B5f\\u180Bg\\u180Fh"
                             "\\u3164i\\uFE00j\\uFE0Fk\\uFFA0l\\U000E0100m");
    // Tag characters spell out hidden text, and come as surrogate pairs.
    const QString tags = QString::fromUcs4(U"0\U000E0001\U000E0041\U000E0042\U000E007F1");
    QTest::newRow("serial: tag characters")
        << serialButton << 0 << tags.toUtf8() << serial + tags
        << serial + QStringLiteral("0\\U000E0001\\U000E0041\\U000E0042\\U000E007F1");
    const QString privateUse = QString::fromUcs4(U"0\uE0001\uF8FF2\U000F00003\U0010FFFD4");
    QTest::newRow("key pair: private use")
        << pairButton << 0 << privateUse.toUtf8() << pair + QStringLiteral("[0] ") + privateUse
        << pair + QStringLiteral("[0] 0\\uE0001\\uF8FF2\\U000F00003\\U0010FFFD4");
    // Text that spells an escape is not taken for one: its backslash is escaped.
    const QByteArray spelled("1\\x0A2\n3\\\\4");
    QTest::newRow("PIN: a literal \\x0A beside a newline")
        << pinButton << 0 << spelled << pin + QStringLiteral("[0] ") + QString::fromLatin1(spelled)
        << pin + QStringLiteral("[0] 1\\\\x0A2\\x0A3\\\\\\\\4");
    // The log pane escapes what the public-key field keeps as it came, for the key download.
    const QString hidden = QStringLiteral("01\u202E23\u200B45");
    QTest::newRow("key pair: right-to-left override and zero-width space")
        << pairButton << 0 << hidden.toUtf8() << pair + QStringLiteral("[0] ") + hidden
        << pair + QStringLiteral("[0] 01\\u202E23\\u200B45");
    // Also in the debug line, which goes to a terminal.
    const QByteArray terminal("\x1B]0;title\x07\x1B[2J\x1B[31m0123");
    QTest::newRow("key pair: terminal escape sequences")
        << pairButton << 0 << terminal
        << pair + QStringLiteral("[0] ") + QString::fromLatin1(terminal)
        << pair + QStringLiteral("[0] \\x1B]0;title\\x07\\x1B[2J\\x1B[31m0123");
    // Wrapped after the spaces, the text would start a line of the pane as a result line does.
    const QByteArray wrapped =
        QByteArray(150, ' ') + QStringLiteral("(下载主密钥)SetPwMkey:[0] 0123456789").toUtf8();
    QTest::newRow("key pair: spaces wrapping into a forged result line")
        << pairButton << 0 << wrapped << pair + QStringLiteral("[0] ") + QString::fromUtf8(wrapped)
        << QString();
}

void TestHostile::deviceTextIsBounded()
{
    QFETCH(QByteArray, button);
    QFETCH(int, code);
    QFETCH(QByteArray, output);
    QFETCH(QString, line);
    QFETCH(QString, shown);
    device.answer(code, output);
    const QStringList pinPadBefore = fieldTexts(pinPad.data());
    const QStringList commonBefore = fieldTexts(common.data());
    if (shown.isNull())
        shown = line;

    DebugCapture debug;
    QCOMPARE(press(owner(button), button), QStringList{line});
    QCOMPARE(device.callCount(), 1);
    // One paragraph of plain text and the empty one after it.
    QTextDocument& log = *window->findChild<QTextEdit*>()->document();
    QCOMPARE(log.blockCount(), 2);
    QCOMPARE(log.toPlainText(), shown + QStringLiteral("\n"));
    QVERIFY(holdsOnlyPlainText(log));
    // Laid out 400 pixels wide, the long lines wrap, each continuation right of the line's start.
    log.setTextWidth(400);
    log.documentLayout()->documentSize();
    QVERIFY(continuationLinesIndented(log.firstBlock()));
    // The debug line shows the key pair's text escaped as the pane does, unquoted.
    if (button == "pairKeyButton")
        QCOMPARE(debug.messages().value(0),
                 QStringLiteral("public key: ") + shown.mid(shown.indexOf(QStringLiteral("] ")) + 2)
                     + QStringLiteral(" \n"));

    // Only a key-pair request changes a field: the public-key field takes the text.
    QStringList pinPadExpected = pinPadBefore;
    if (button == "pairKeyButton")
        pinPadExpected[0] = line.mid(line.indexOf(QStringLiteral("] ")) + 2);
    QCOMPARE(fieldTexts(pinPad.data()), pinPadExpected);
    QCOMPARE(fieldTexts(common.data()), commonBefore);
}

void TestHostile::encryptedKeyLength_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("refusal"); // follows the tag when nothing is sent
    const QString tooLong = QStringLiteral("加密后的密钥过长(L=%1)");
    const QString failed = QStringLiteral("密钥加密失败(L=%1)");
    const QByteArray main("mainKeyButton"), work("workKeyButton");
    const QString mainTag = QStringLiteral("(下载主密钥)SetPwMkey:");
    const QString workTag = QStringLiteral("(下载工作密钥)SetPwWkey:");
    QTest::newRow("main 511 fits") << main << mainTag << 511 << QString();
    QTest::newRow("main 512 too long") << main << mainTag << 512 << tooLong.arg(512);
    QTest::newRow("main INT_MAX too long") << main << mainTag << INT_MAX << tooLong.arg(INT_MAX);
    QTest::newRow("main 0 failed") << main << mainTag << 0 << failed.arg(0);
    QTest::newRow("main -1 failed") << main << mainTag << -1 << failed.arg(-1);
    QTest::newRow("main INT_MIN failed") << main << mainTag << INT_MIN << failed.arg(INT_MIN);
    QTest::newRow("work 1 fits") << work << workTag << 1 << QString();
    QTest::newRow("work 127 fits") << work << workTag << 127 << QString();
    QTest::newRow("work 128 too long") << work << workTag << 128 << tooLong.arg(128);
    QTest::newRow("work INT_MAX too long") << work << workTag << INT_MAX << tooLong.arg(INT_MAX);
    QTest::newRow("work 0 failed") << work << workTag << 0 << failed.arg(0);
    QTest::newRow("work -1 failed") << work << workTag << -1 << failed.arg(-1);
}

void TestHostile::encryptedKeyLength()
{
    QFETCH(QByteArray, button);
    QFETCH(QString, tag);
    QFETCH(int, length);
    QFETCH(QString, refusal);
    fakeKeyLib().cryptResult = length;
    fakeKeyLib().cryptOutput = QByteArray(refusal.isNull() ? length : 0, '\x11');
    const QStringList before = fieldTexts(pinPad.data());

    const QStringList lines = press(pinPad.data(), button);
    QCOMPARE(fieldTexts(pinPad.data()), before);
    if (!refusal.isNull()) {
        QCOMPARE(device.callCount(), 0);
        QCOMPARE(lines, QStringList{tag + refusal});
        return;
    }
    QCOMPARE(device.callCount(), 1);
    QCOMPARE(device.call(0)->ints[0], 2 * length);
    const QByteArray text(2 * length, '1');
    QCOMPARE(QByteArray(device.call(0)->texts[0]), text);
    QCOMPARE(lines, QStringList{tag + QStringLiteral("[0] ") + QString::fromLatin1(text)});
}

void TestHostile::clickDuringDeviceCallIsDropped_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("input"); // a CallInput, made while the call blocks
    QTest::newRow("key pair") << QByteArray("pairKeyButton") << +ClickButton;
    QTest::newRow("main key") << QByteArray("mainKeyButton") << +ClickButton;
    QTest::newRow("work key") << QByteArray("workKeyButton") << +ClickButton;
    QTest::newRow("PIN entry") << QByteArray("inputPinButton") << +ClickButton;
    QTest::newRow("serial write") << QByteArray("writeButton") << +ClickButton;
    QTest::newRow("serial read") << QByteArray("readButton") << +ClickButton;
    QTest::newRow("show PDF") << QByteArray("showButton") << +ClickButton;
    QTest::newRow("confirm PDF") << QByteArray("confirmButton") << +ClickButton;
    // In the window, whose log pane is editable: what reaches it during the call is dropped too.
    QTest::newRow("key pair, typed into the log pane")
        << QByteArray("pairKeyButton") << +TypeInLogPane;
    QTest::newRow("PIN entry, typed into the log pane")
        << QByteArray("inputPinButton") << +TypeInLogPane;
    QTest::newRow("main key, clicked in the log pane")
        << QByteArray("mainKeyButton") << +ClickLogPane;
    QTest::newRow("PIN entry, clicked in the log pane")
        << QByteArray("inputPinButton") << +ClickLogPane;
}

void TestHostile::clickDuringDeviceCallIsDropped()
{
    QFETCH(QByteArray, name);
    QFETCH(int, input);
    // The log pane's rows press the window's own PIN pad, bound to the scripted device.
    BaseWidget* target = owner(name);
    if (input != ClickButton) {
        target = window->findChild<PinPadWidget*>();
        target->loadLibrary(&device.library());
    }
    control<QLineEdit>(sign.data(), "pathEdit")->setText(QStringLiteral("a.pdf"));
    fakeKeyLib().cryptResult = 1;
    fakeKeyLib().cryptOutput = QByteArray("\x5A");
    target->window()->show();
    QVERIFY(QTest::qWaitForWindowActive(target->window()));
    auto* button = control<QPushButton>(target, name);
    button->setFocus();
    // A line in the log pane, its text cursor at the end.
    auto* logPane = window->findChild<QTextEdit*>();
    window->onRecvResult(QStringLiteral("an earlier line"));
    logPane->moveCursor(QTextCursor::End);
    const QString logBefore = logPane->toPlainText();

    // The device posts the row's input from inside its call.
    DuringCall during{button, logPane, input, true, true, false};
    QSignalSpy lines(target, SIGNAL(onMessage(QString)));
    device.duringCall(&inputFromInsideCall, &during);
    button->click();
    device.duringCall(nullptr, nullptr);
    QCoreApplication::processEvents();
    QCOMPARE(device.callCount(), 1);
    QVERIFY(!during.enabled);
    QVERIFY(during.waitCursor);
    QVERIFY(button->isEnabled());
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(QApplication::focusWidget(), button);
    if (input != ClickButton) {
        // Greyed out with the panel; nothing typed, and the text cursor still at the end, after
        // the call's result line.
        QVERIFY(!during.logPaneEnabled);
        QVERIFY(logPane->isEnabled());
        QCOMPARE(lines.size(), 1);
        QCOMPARE(logPane->toPlainText(),
                 logBefore + QStringLiteral("\n") + lines.at(0).at(0).toString()
                     + QStringLiteral("\n"));
        QVERIFY(logPane->textCursor().atEnd());
        return;
    }

    // The same click posted outside a call reaches the button.
    postClick(button);
    QCoreApplication::processEvents();
    QCOMPARE(device.callCount(), 2);
}

void TestHostile::publicKeyText_data()
{
    QTest::addColumn<QByteArray>("publicKey");
    QTest::addColumn<QByteArray>("keyBytes");
    // Characters outside "0".."?" count with their low nibble.
    QTest::newRow("outside 0 to ?") << QByteArray("AZaz!~") << QByteArray("\x1A\x1A\x1E");
    QTest::newRow("odd count") << QByteArray("0123:;4") << QByteArray("\x01\x23\xAB");
    QTest::newRow("255 characters") << QByteArray(255, '7') << QByteArray(127, '\x77');
    // A key's length (X and Y, 32 bytes each), wider than the field.
    QTest::newRow("128 characters, a key") << QByteArray("0123456789:;<=>?").repeated(8)
                                           << QByteArray::fromHex("0123456789ABCDEF").repeated(8);
}

void TestHostile::publicKeyText()
{
    QFETCH(QByteArray, publicKey);
    QFETCH(QByteArray, keyBytes);
    auto* field = control<QLineEdit>(pinPad.data(), "publicKeyEdit");
    pinPad->show();
    QVERIFY(QTest::qWaitForWindowExposed(pinPad.data()));
    // Where the caret sits in the empty field, painted: at its start. Qt scrolls a field as it
    // paints it.
    field->grab();
    const int start = field->inputMethodQuery(Qt::ImCursorRectangle).toRect().left();
    // A longer text shown before and read to its end: each request shows its key from the start.
    device.answer(0, QByteArray(200, '9') + '\0');
    press(pinPad.data(), "pairKeyButton");
    field->end(false);
    field->grab();
    QVERIFY(field->inputMethodQuery(Qt::ImCursorRectangle).toRect().left() > start);
    device.answer(0, publicKey + '\0');
    press(pinPad.data(), "pairKeyButton");
    QCOMPARE(fieldTexts(pinPad.data()).value(0), QString::fromLatin1(publicKey));
    QCOMPARE(field->cursorPosition(), 0);
    field->grab();
    QCOMPARE(field->inputMethodQuery(Qt::ImCursorRectangle).toRect().left(), start);
    device.reset();

    fakeKeyLib().cryptResult = 1;
    fakeKeyLib().cryptOutput = QByteArray("\x5A");
    DebugCapture debug;
    const QStringList lines = press(pinPad.data(), "mainKeyButton");
    QCOMPARE(fakeKeyLib().keyLength, keyBytes.size());
    QCOMPARE(fakeKeyLib().key, keyBytes);
    QCOMPARE(debug.lines().value(0),
             QStringLiteral("sm2 public key: ") + keyBytes.toHex().toUpper());
    QCOMPARE(lines, QStringList{QStringLiteral("(下载主密钥)SetPwMkey:[0] 5:")});
    QCOMPARE(fieldTexts(pinPad.data()).value(0), QString::fromLatin1(publicKey));
}

void TestHostile::deviceLibraryFile_data()
{
    QTest::addColumn<QString>("directory"); // the working directory, in the temporary one
    QTest::addColumn<int>("file");          // a LibraryFile
    QTest::addColumn<QByteArray>("source"); // its bytes, or the library copied
    QTest::addColumn<QString>("simulator"); // where a copy of the simulator goes, if anywhere
    // The log pane's line: {root} stands for the temporary directory, {sha256} for the hash of the
    // library copied, {loader} for the loader's text.
    QTest::addColumn<QString>("line");
    QFile real(QString::fromUtf8(FAKE_DEVICE_PATH));
    QVERIFY(real.open(QIODevice::ReadOnly));
    const QByteArray library = real.readAll();
    const bool x86 = elfMachine(library) == kX86_64;
    QByteArray thirtyTwoBit = library;
    thirtyTwoBit[4] = 1; // ELFCLASS32
    const QString failed = QStringLiteral("设备库加载失败: {root}/quorvel/libClientScreen.so: ");
    const QString loaded = QStringLiteral("设备库已加载: {root}/");
    const QString none;
    QTest::newRow("empty file") << none << +FileBytes << QByteArray("") << none
                                << failed + QStringLiteral("不是 ELF 文件");
    QTest::newRow("text file") << none << +FileBytes << QByteArray("GenerateKeyFromPw\nSetPwMkey\n")
                               << none << failed + QStringLiteral("不是 ELF 文件");
    QTest::newRow("another architecture")
        << none << +FileBytes << foreignArchitecture(library) << none
        << failed
            + (x86 ? QStringLiteral("ELF 机器类型 AArch64, 本程序为 x86-64")
                   : QStringLiteral("ELF 机器类型 x86-64, 本程序为 AArch64"));
    QTest::newRow("32-bit library") << none << +FileBytes << thirtyTwoBit << none
                                    << failed + QStringLiteral("32 位 ELF 文件, 本程序为 64 位");
    QTest::newRow("truncated library")
        << none << +FileBytes << library.left(200) << none << failed + QStringLiteral("{loader}");
    // Never opened: a FIFO without a writer would block the window.
    QTest::newRow("FIFO") << none << +FileFifo << QByteArray() << none
                          << failed + QStringLiteral("不是普通文件");
    QTest::newRow("directory") << none << +FileDirectory << QByteArray() << none
                               << failed + QStringLiteral("不是普通文件");
    QTest::newRow("a symbol nothing defines")
        << none << +FileCopy << QByteArray(HOSTILE_UNDEFINED_PATH) << none
        << failed + QStringLiteral("{loader}");
    // The kernel writes the newline as \012, the name the simulator's directory has.
    QTest::newRow("newline in the path, simulator under its escaped text")
        << QStringLiteral("m\ny") << +FileCopy << QByteArray(FAKE_DEVICE_PATH)
        << QStringLiteral("m\\012y/quorvel/libClientScreen.so")
        << loaded + QStringLiteral("m\\x0Ay/quorvel/libClientScreen.so sha256={sha256}");
    QTest::newRow("escaped text in the path, simulator under the newline")
        << QStringLiteral("m\\012y") << +FileCopy << QByteArray(FAKE_DEVICE_PATH)
        << QStringLiteral("m\ny/quorvel/libClientScreen.so")
        << loaded + QStringLiteral("m\\\\012y/quorvel/libClientScreen.so sha256={sha256}");
    // It marks itself as the simulator and leaves the simulator at its path and at the name the
    // kernel gives the mapped file.
    QTest::newRow("the simulator moved over the library as it loads")
        << none << +FileCopy << QByteArray(HOSTILE_RENAME_PATH)
        << QStringLiteral("quorvel/replacement.so")
        << loaded + QStringLiteral("quorvel/libClientScreen.so (deleted) sha256=(无法确认)");
    // It marks itself as the simulator and changes a byte of its own file as it loads: the file
    // mapped is the file asked for, but no longer holds the bytes that were loaded.
    QTest::newRow("the library rewriting itself in place as it loads")
        << none << +FileCopy << QByteArray(HOSTILE_REWRITE_PATH) << none
        << loaded + QStringLiteral("quorvel/libClientScreen.so sha256=(无法确认)");
    QTest::newRow("right-to-left override in the working directory")
        << QStringLiteral("a\u202Eos.neercStneilCbil") << +FileCopy << QByteArray(FAKE_DEVICE_PATH)
        << none
        << loaded
            + QStringLiteral(
                "a\\u202Eos.neercStneilCbil/quorvel/libClientScreen.so sha256={sha256}");
}

void TestHostile::deviceLibraryFile()
{
    QFETCH(QString, directory);
    QFETCH(int, file);
    QFETCH(QByteArray, source);
    QFETCH(QString, simulator);
    QFETCH(QString, line);
    WorkingDirectory working(directory);
    const QByteArray path = QFile::encodeName(working.libraryPath());
    if (file == FileCopy) {
        working.copyLibrary(QString::fromUtf8(source));
        // An hour old, so that a library that rewrites itself changes its modification time
        // however coarse the file system's clock.
        const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
        QCOMPARE(utimensat(AT_FDCWD, path.constData(), times, 0), 0);
    } else if (file == FileFifo) {
        QCOMPARE(mkfifo(path.constData(), 0600), 0);
    } else if (file == FileDirectory) {
        QVERIFY(QDir().mkdir(working.libraryPath()));
    } else {
        working.writeLibrary(source);
    }
    const QString root = working.rootPath();
    if (!simulator.isEmpty()) {
        QVERIFY(QDir(root).mkpath(QFileInfo(simulator).path()));
        QVERIFY(QFile::copy(QStringLiteral(SIMULATOR_PATH), root + QLatin1Char('/') + simulator));
    }
    line.replace(QStringLiteral("{root}"), root);
    if (file == FileCopy)
        line.replace(QStringLiteral("{sha256}"), fileSha256(QString::fromUtf8(source)));
    if (line.contains(QStringLiteral("{loader}"))) {
        QLibrary probe(QStringLiteral("./quorvel/libClientScreen.so"));
        probe.setLoadHints(QLibrary::ResolveAllSymbolsHint);
        QVERIFY(!probe.load());
        line.replace(QStringLiteral("{loader}"), probe.errorString());
    }

    MainWindow window;
    QCOMPARE(firstLogLine(&window), line);
    QCOMPARE(window.findChild<QTextEdit*>()->toPlainText(), line + QStringLiteral("\n"));
    auto* panel = window.findChild<PinPadWidget*>();
    if (line.startsWith(QStringLiteral("设备库已加载"))) {
        // Unloaded, so that the next row's library of the same name is loaded afresh.
        window.freeLibrary();
        return;
    }
    // The window is usable and the PIN pad unbound.
    QCOMPARE(press(panel, "pairKeyButton"),
             QStringList{QStringLiteral("(申请公私钥对)GenerateKeyFromPw:设备函数未加载")});
    QCOMPARE(device.callCount(), 0);
}

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
