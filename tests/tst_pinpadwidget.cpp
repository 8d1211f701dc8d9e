// The PIN pad panel against the scripted device library and the scripted key library.
#include "capture.h"
#include "controls.h"
#include "fakedevicehandle.h"
#include "fakekeylib.h"
#include "panelinspect.h"
#include "panels/pinpadwidget.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {
const QString kNotLoaded = QStringLiteral("设备函数未加载");
}

class TestPinPadWidget : public QObject {
    Q_OBJECT
private slots:
    void init();

    void layoutAndInitialFields();
    void slotsInDeclaredOrder();
    void fieldsRejectTyping();

    void bindingReportsMissingNameOnStdout();
    void bindingWithUnloadableLibraryOnlyLogsName();
    void unboundHandlersReportInsteadOfCalling_data();
    void unboundHandlersReportInsteadOfCalling();

    void pairKeyShowsDeviceText();
    void pairKeyFailureEmptiesField();
    void pairKeyKeepsOnlyLatestText();
    void pairKeyReadsNoFurtherThanBuffer();
    void inputPinPassesFixedArguments();
    void inputPinReadsNoFurtherThanClearedPart();

    void mainKeyDecodesFieldAndDownloads();
    void mainKeyOddFieldIgnoresLastCharacter();
    void mainKeyBeforeAnyKeyPair();
    void workKeyEncryptsUnderMainKey();
    void keyLibraryExceptionIsReported();

private:
    PinPadWidget* makeBoundPanel();
    QString publicKey() { return control<QLineEdit>(panel.data(), "publicKeyEdit")->text(); }

    FakeDeviceHandle device{FAKE_DEVICE_PATH};
    QScopedPointer<PinPadWidget> panel;
};

void TestPinPadWidget::init()
{
    device.reset();
    resetFakeKeyLib();
    panel.reset(makeBoundPanel());
}

PinPadWidget* TestPinPadWidget::makeBoundPanel()
{
    auto* result = new PinPadWidget();
    QLibrary library(QString::fromUtf8(FAKE_DEVICE_PATH));
    result->loadLibrary(&library);
    return result;
}

void TestPinPadWidget::layoutAndInitialFields()
{
    auto* layout = qobject_cast<QGridLayout*>(panel->layout());
    QVERIFY(layout);
    QCOMPARE(layout->count(), 7);
    for (int column = 0; column < 5; ++column)
        QCOMPARE(layout->columnStretch(column), 1);

    const QStringList captions{"申请密码键盘公私钥对", "下载密码键盘主密钥",
                               "下载密码键盘工作密钥"};
    const QStringList texts{"", "5A1C7E3B9D04F2A6C8E1B3D5F7092A4C",
                            "B4E29C71A05D3F86E7C2194B6AD08F35"};
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(qobject_cast<QPushButton*>(gridCell(panel.data(), row, 0))->text(), captions[row]);
        QCOMPARE(layout->itemAtPosition(row, 0)->alignment(), Qt::AlignRight);
        auto* field = qobject_cast<QLineEdit*>(gridCell(panel.data(), row, 1));
        int r, c, rowSpan, columnSpan;
        layout->getItemPosition(layout->indexOf(field), &r, &c, &rowSpan, &columnSpan);
        QCOMPARE(rowSpan, 1);
        QCOMPARE(columnSpan, 4);
        QVERIFY(field->isReadOnly());
        QCOMPARE(field->text(), texts[row]);
    }
    QCOMPARE(qobject_cast<QPushButton*>(gridCell(panel.data(), 3, 2))->text(),
             QStringLiteral("输入密码"));
    QCOMPARE(layout->itemAtPosition(3, 2)->alignment(), Qt::AlignCenter);
    for (QWidget* child : panel->findChildren<QWidget*>())
        QCOMPARE(child->parentWidget(), panel.data());
}

void TestPinPadWidget::slotsInDeclaredOrder()
{
    const QMetaObject& meta = PinPadWidget::staticMetaObject;
    QCOMPARE(QByteArray(meta.className()), QByteArray("PinPadWidget"));
    QCOMPARE(ownMethodSignatures(meta),
             (QStringList{"onPairKeyClick()", "onMainKeyClick()", "onWorkKeyClick()",
                          "onInputPinClick()"}));
}

void TestPinPadWidget::fieldsRejectTyping()
{
    panel->show();
    for (QLineEdit* edit : panel->findChildren<QLineEdit*>()) {
        const QString before = edit->text();
        QTest::keyClicks(edit, "typed");
        QCOMPARE(edit->text(), before);
    }
}

void TestPinPadWidget::bindingReportsMissingNameOnStdout()
{
    PinPadWidget noWorkKey;
    FakeDeviceHandle noWorkKeyDevice(FAKE_DEVICE_NOWKEY_PATH);
    QLibrary& library = noWorkKeyDevice.library();
    DebugCapture debug;
    QByteArray printed;
    {
        StdoutCapture out;
        noWorkKey.loadLibrary(&library);
        // Read without flushing: the line must not wait in stdio's buffer.
        printed = out.written();
    }
    QCOMPARE(debug.lines(), QStringList{"PinPadWidget::loadLibrary"});
    const QByteArray path = library.fileName().toUtf8();
    QCOMPARE(printed,
             "Cannot resolve symbol \"SetPwWkey\" in " + path + ": " + path
                 + ": undefined symbol: SetPwWkey\n");

    // The other three are bound and answer; the work-key button reports instead of calling.
    noWorkKeyDevice.answer(7, QByteArray());
    fakeKeyLib().cryptResult = 1;
    fakeKeyLib().cryptOutput = QByteArray("\x5A");
    QCOMPARE(press(&noWorkKey, "pairKeyButton"),
             QStringList{"(申请公私钥对)GenerateKeyFromPw:[7] "});
    QCOMPARE(press(&noWorkKey, "workKeyButton"),
             QStringList{"(下载工作密钥)SetPwWkey:" + kNotLoaded});
    QCOMPARE(press(&noWorkKey, "mainKeyButton"), QStringList{"(下载主密钥)SetPwMkey:[7] 5:"});
    QCOMPARE(press(&noWorkKey, "inputPinButton"), QStringList{"(输入密码)InputPassword:[7] "});
    QCOMPARE(noWorkKeyDevice.callCount(), 3);
}

void TestPinPadWidget::bindingWithUnloadableLibraryOnlyLogsName()
{
    PinPadWidget unbound;
    QLibrary library(QStringLiteral("/nonexistent/libClientScreen.so"));
    DebugCapture debug;
    StdoutCapture out;
    unbound.loadLibrary(&library);
    QCOMPARE(debug.messages(), QStringList{"PinPadWidget::loadLibrary \n"});
    QCOMPARE(out.text(), QByteArray());
}

void TestPinPadWidget::unboundHandlersReportInsteadOfCalling_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<QString>("tag");
    QTest::newRow("key pair") << QByteArray("pairKeyButton") << "(申请公私钥对)GenerateKeyFromPw:";
    QTest::newRow("main key") << QByteArray("mainKeyButton") << "(下载主密钥)SetPwMkey:";
    QTest::newRow("work key") << QByteArray("workKeyButton") << "(下载工作密钥)SetPwWkey:";
    QTest::newRow("PIN entry") << QByteArray("inputPinButton") << "(输入密码)InputPassword:";
}

void TestPinPadWidget::unboundHandlersReportInsteadOfCalling()
{
    QFETCH(QByteArray, button);
    QFETCH(QString, tag);
    PinPadWidget unbound;
    DebugCapture debug;
    QCOMPARE(press(&unbound, button.constData()), QStringList{tag + kNotLoaded});
    QCOMPARE(device.callCount(), 0);
    QVERIFY(fakeKeyLib().calls.isEmpty());
    QCOMPARE(debug.messages(), QStringList());
}

void TestPinPadWidget::pairKeyShowsDeviceText()
{
    device.answer(0, QByteArray("0123:;", 7));
    DebugCapture debug;
    QCOMPARE(press(panel.data(), "pairKeyButton"),
             QStringList{"(申请公私钥对)GenerateKeyFromPw:[0] 0123:;"});
    QCOMPARE(publicKey(), QStringLiteral("0123:;"));
    QCOMPARE(debug.messages(), QStringList{"public key: 0123:; \n"});
    QCOMPARE(device.callCount(), 1);
    QCOMPARE(QByteArray(device.call(0)->name), QByteArray("GenerateKeyFromPw"));
    QCOMPARE(device.call(0)->ints[0], 256);
}

void TestPinPadWidget::pairKeyFailureEmptiesField()
{
    device.answer(0, QByteArray("0123", 5));
    press(panel.data(), "pairKeyButton");
    device.answer(-1, QByteArray());
    QCOMPARE(press(panel.data(), "pairKeyButton"),
             QStringList{"(申请公私钥对)GenerateKeyFromPw:[-1] "});
    QCOMPARE(publicKey(), QString());
}

void TestPinPadWidget::pairKeyKeepsOnlyLatestText()
{
    device.answer(0, QByteArray("1111", 5));
    press(panel.data(), "pairKeyButton");
    device.answer(0, QByteArray("22", 3));
    press(panel.data(), "pairKeyButton");
    QCOMPARE(publicKey(), QStringLiteral("22"));
}

void TestPinPadWidget::pairKeyReadsNoFurtherThanBuffer()
{
    // All 256 bytes written and no NUL: the text is the whole buffer and nothing beyond it.
    device.answer(5, QByteArray(256, '7'));
    QCOMPARE(press(panel.data(), "pairKeyButton"),
             QStringList{"(申请公私钥对)GenerateKeyFromPw:[5] " + QString(256, '7')});
    QCOMPARE(publicKey().size(), 256);
}

void TestPinPadWidget::inputPinPassesFixedArguments()
{
    device.answer(0, QByteArray());
    DebugCapture debug;
    QCOMPARE(press(panel.data(), "inputPinButton"), QStringList{"(输入密码)InputPassword:[0] "});
    const FakeDeviceCall* call = device.call(0);
    QCOMPARE(QByteArray(call->name), QByteArray("InputPassword"));
    QCOMPARE(call->intCount, 3);
    QCOMPARE(call->ints[0], 120);
    QCOMPARE(call->ints[1], 6);
    QCOMPARE(call->ints[2], 255);
    QCOMPARE(call->textCount, 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(QByteArray(call->texts[i]), QByteArray());
    QCOMPARE(debug.messages(), QStringList());
    QCOMPARE(publicKey(), QString());
}

void TestPinPadWidget::inputPinReadsNoFurtherThanClearedPart()
{
    QByteArray output(255, 'P');
    output.append('Z'); // the 256th byte, beyond the part the handler cleared
    device.answer(INT_MIN, output);
    QCOMPARE(press(panel.data(), "inputPinButton"),
             QStringList{QStringLiteral("(输入密码)InputPassword:[%1] ").arg(INT_MIN)
                         + QString(255, 'P')});
}

void TestPinPadWidget::mainKeyDecodesFieldAndDownloads()
{
    device.answer(0, QByteArray("0123:;", 7));
    press(panel.data(), "pairKeyButton");
    device.reset();
    fakeKeyLib().cryptResult = 3;
    fakeKeyLib().cryptOutput = QByteArray("\x00\xFF\x10", 3);

    DebugCapture debug;
    QCOMPARE(press(panel.data(), "mainKeyButton"), QStringList{"(下载主密钥)SetPwMkey:[0] 00??10"});
    QCOMPARE(fakeKeyLib().calls, QStringList{"EncodeKey"});
    QCOMPARE(fakeKeyLib().key, QByteArray("\x01\x23\xAB"));
    QCOMPARE(fakeKeyLib().keyLength, 3);
    QCOMPARE(fakeKeyLib().data.toHex().toUpper(), QByteArray("5A1C7E3B9D04F2A6C8E1B3D5F7092A4C"));
    QCOMPARE(fakeKeyLib().algorithm, 5);
    // The public-key line is not ended explicitly; the cipher line is.
    QCOMPARE(debug.messages(), (QStringList{"sm2 public key: 0123AB", "3 00??10 \n"}));
    QCOMPARE(QByteArray(device.call(0)->name), QByteArray("SetPwMkey"));
    QCOMPARE(QByteArray(device.call(0)->texts[0]), QByteArray("00??10"));
    QCOMPARE(device.call(0)->ints[0], 6);
    QCOMPARE(publicKey(), QStringLiteral("0123:;"));
    QCOMPARE(control<QLineEdit>(panel.data(), "mainKeyEdit")->text(),
             QStringLiteral("5A1C7E3B9D04F2A6C8E1B3D5F7092A4C"));
    QCOMPARE(control<QLineEdit>(panel.data(), "workKeyEdit")->text(),
             QStringLiteral("B4E29C71A05D3F86E7C2194B6AD08F35"));
}

void TestPinPadWidget::mainKeyOddFieldIgnoresLastCharacter()
{
    device.answer(0, QByteArray("01234", 6));
    press(panel.data(), "pairKeyButton");
    DebugCapture debug;
    press(panel.data(), "mainKeyButton");
    QCOMPARE(fakeKeyLib().key, QByteArray("\x01\x23"));
    QCOMPARE(debug.lines().value(0), QStringLiteral("sm2 public key: 0123"));
}

void TestPinPadWidget::mainKeyBeforeAnyKeyPair()
{
    fakeKeyLib().cryptResult = -5;
    DebugCapture debug;
    QCOMPARE(press(panel.data(), "mainKeyButton"),
             QStringList{"(下载主密钥)SetPwMkey:密钥加密失败(L=-5)"});
    QCOMPARE(fakeKeyLib().keyLength, 0);
    QCOMPARE(debug.lines(), QStringList{"sm2 public key:"});
    QCOMPARE(device.callCount(), 0);
}

void TestPinPadWidget::workKeyEncryptsUnderMainKey()
{
    device.answer(0, QByteArray("0123", 5));
    press(panel.data(), "pairKeyButton");
    device.reset();
    fakeKeyLib().cryptResult = 2;
    fakeKeyLib().cryptOutput = QByteArray("\xAB\xCD", 2);
    device.answer(-2, QByteArray());
    DebugCapture debug;
    QCOMPARE(press(panel.data(), "workKeyButton"),
             QStringList{"(下载工作密钥)SetPwWkey:[-2] :;<="});
    QCOMPARE(fakeKeyLib().key.toHex().toUpper(), QByteArray("5A1C7E3B9D04F2A6C8E1B3D5F7092A4C"));
    QCOMPARE(fakeKeyLib().data.toHex().toUpper(), QByteArray("B4E29C71A05D3F86E7C2194B6AD08F35"));
    QCOMPARE(fakeKeyLib().algorithm, 2);
    QCOMPARE(debug.messages(), QStringList{"2 :;<= \n"});
    QCOMPARE(QByteArray(device.call(0)->texts[0]), QByteArray(":;<="));
    QCOMPARE(device.call(0)->ints[0], 4);
    QCOMPARE(publicKey(), QStringLiteral("0123"));
}

void TestPinPadWidget::keyLibraryExceptionIsReported()
{
    fakeKeyLib().throwOnCrypt = true;
    QCOMPARE(press(panel.data(), "workKeyButton"),
             QStringList{"(下载工作密钥)SetPwWkey:密钥库出错: scripted key library failure"});
    QCOMPARE(device.callCount(), 0);
    QCOMPARE(fakeKeyLib().destroyed, 1);
}

QTEST_MAIN(TestPinPadWidget)
#include "tst_pinpadwidget.moc"
