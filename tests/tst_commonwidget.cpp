// The general panel against the scripted device library.
#include "capture.h"
#include "controls.h"
#include "fakedevicehandle.h"
#include "panelinspect.h"
#include "panels/commonwidget.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

class TestCommonWidget : public QObject {
    Q_OBJECT
private slots:
    void init();

    void layoutAndTexts();
    void slotsInDeclaredOrder();
    void bindingWithLibraryLackingEveryName();
    void bindingWithUnloadableLibrary();
    void unboundSerialHandlersReport();

    void writeShowsCode_data();
    void writeShowsCode();
    void readShowsSerialNumberOnlyInLog();
    void readOfEmptyBuffer();
    void readStopsAtClearedPart();
    void infoAndSignOnlyLog();

private:
    QLineEdit* serialField() { return control<QLineEdit>(panel.data(), "serialEdit"); }

    FakeDeviceHandle device{FAKE_DEVICE_PATH};
    QScopedPointer<CommonWidget> panel;
};

void TestCommonWidget::init()
{
    device.reset();
    panel.reset(new CommonWidget());
    QLibrary library(QString::fromUtf8(FAKE_DEVICE_PATH));
    panel->loadLibrary(&library);
}

void TestCommonWidget::layoutAndTexts()
{
    auto* layout = qobject_cast<QGridLayout*>(panel->layout());
    QVERIFY(layout);
    QCOMPARE(layout->count(), 8);
    const int stretches[] = {1, 1, 1, 1, 2};
    for (int column = 0; column < 5; ++column)
        QCOMPARE(layout->columnStretch(column), stretches[column]);
    QCOMPARE(layout->columnMinimumWidth(2), 15);

    QWidget* p = panel.data();
    QCOMPARE(qobject_cast<QPushButton*>(gridCell(p, 0, 0))->text(), QStringLiteral("写序列号"));
    QCOMPARE(layout->itemAtPosition(0, 0)->alignment(), Qt::AlignRight);
    QCOMPARE(qobject_cast<QPushButton*>(gridCell(p, 0, 1))->text(), QStringLiteral("读序列号"));
    QCOMPARE(qobject_cast<QLabel*>(gridCell(p, 0, 3))->text(), QStringLiteral("序列号："));
    QCOMPARE(layout->itemAtPosition(0, 3)->alignment(), Qt::AlignRight);
    QVERIFY(qobject_cast<QLineEdit*>(gridCell(p, 0, 4)));
    QCOMPARE(qobject_cast<QLabel*>(gridCell(p, 1, 0))->text(), QStringLiteral("PDF路径:"));
    QVERIFY(qobject_cast<QLineEdit*>(gridCell(p, 1, 1)));
    QCOMPARE(gridCell(p, 1, 4), gridCell(p, 1, 1)); // the PDF path field spans columns 1 to 4
    QCOMPARE(qobject_cast<QPushButton*>(gridCell(p, 2, 1))->text(), QStringLiteral("信息确认"));
    QCOMPARE(qobject_cast<QPushButton*>(gridCell(p, 2, 3))->text(), QStringLiteral("电子签名"));
    QVERIFY(!gridCell(p, 2, 0) && !gridCell(p, 2, 2) && !gridCell(p, 2, 4));
}

void TestCommonWidget::slotsInDeclaredOrder()
{
    const QMetaObject& meta = CommonWidget::staticMetaObject;
    QCOMPARE(ownMethodSignatures(meta),
             (QStringList{"onReadDeviceSN()", "onWtriteDeviceSN()", "onStartInfoHtml()",
                          "onSignPDF()"}));
}

void TestCommonWidget::bindingWithLibraryLackingEveryName()
{
    // A real library that loads but exports none of the device names.
    CommonWidget unbound;
    QLibrary library(QStringLiteral("libm.so.6"));
    DebugCapture debug;
    QByteArray printed;
    {
        StdoutCapture out;
        unbound.loadLibrary(&library);
        printed = out.text();
    }
    QCOMPARE(debug.lines(), QStringList{"CommonWidget::loadLibrary"});
    QCOMPARE(printed.count('\n'), 4);
    QCOMPARE(press(&unbound, "writeButton"), QStringList{"PN_WriteDeviceSN: 设备函数未加载"});
}

void TestCommonWidget::bindingWithUnloadableLibrary()
{
    CommonWidget unbound;
    QLibrary library(QStringLiteral("/nonexistent/libClientScreen.so"));
    DebugCapture debug;
    StdoutCapture out;
    unbound.loadLibrary(&library);
    QCOMPARE(debug.messages(), QStringList{"CommonWidget::loadLibrary \n"});
    QCOMPARE(out.text(), QByteArray());
}

void TestCommonWidget::unboundSerialHandlersReport()
{
    CommonWidget unbound;
    DebugCapture debug;
    QCOMPARE(press(&unbound, "readButton"), QStringList{"PN_ReadDeviceSN:设备函数未加载"});
    QCOMPARE(press(&unbound, "writeButton"), QStringList{"PN_WriteDeviceSN: 设备函数未加载"});
    QCOMPARE(device.callCount(), 0);
    QCOMPARE(debug.messages(), QStringList());
}

void TestCommonWidget::writeShowsCode_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("0") << 0;
    QTest::newRow("-1") << -1;
    QTest::newRow("300") << 300;
    QTest::newRow("INT_MIN") << INT_MIN;
}

void TestCommonWidget::writeShowsCode()
{
    QFETCH(int, code);
    serialField()->setText(QStringLiteral("SOMETHING-ELSE"));
    device.answer(code, QByteArray());
    DebugCapture debug;
    QCOMPARE(press(panel.data(), "writeButton"),
             QStringList{QStringLiteral("PN_WriteDeviceSN: %1").arg(code)});
    QCOMPARE(debug.messages(), QStringList{QStringLiteral("writeIdAction: %1 \n").arg(code)});
    const FakeDeviceCall* call = device.call(0);
    QCOMPARE(QByteArray(call->name), QByteArray("PN_WriteDeviceSN"));
    QCOMPARE(call->ints[0], 0);
    QCOMPARE(QByteArray(call->texts[0]), QByteArray());
    QCOMPARE(call->ints[1], 9600);
    QCOMPARE(QByteArray(call->texts[1]), QByteArray("QV123456"));
}

void TestCommonWidget::readShowsSerialNumberOnlyInLog()
{
    serialField()->setText(QStringLiteral("typed"));
    device.answer(-7, QByteArray("QV000009", 9));
    DebugCapture debug;
    QCOMPARE(press(panel.data(), "readButton"), QStringList{"PN_ReadDeviceSN:QV000009"});
    QCOMPARE(debug.messages(), QStringList{"readIdAction device id: \"QV000009\" \n"});
    QCOMPARE(serialField()->text(), QStringLiteral("typed"));
    const FakeDeviceCall* call = device.call(0);
    QCOMPARE(QByteArray(call->name), QByteArray("PN_ReadDeviceSN"));
    QCOMPARE(call->ints[0], 0);
    QCOMPARE(call->ints[1], 9600);
}

void TestCommonWidget::readOfEmptyBuffer()
{
    DebugCapture debug;
    QCOMPARE(press(panel.data(), "readButton"), QStringList{"PN_ReadDeviceSN:"});
    QCOMPARE(debug.lines(), QStringList{"readIdAction device id: \"\""});
}

void TestCommonWidget::readStopsAtClearedPart()
{
    QByteArray output(255, 'S');
    output.append('Z'); // beyond the 255 bytes the handler cleared
    device.answer(0, output);
    QCOMPARE(press(panel.data(), "readButton"),
             QStringList{"PN_ReadDeviceSN:" + QString(255, 'S')});
}

void TestCommonWidget::infoAndSignOnlyLog()
{
    DebugCapture debug;
    QCOMPARE(press(panel.data(), "infoButton"), QStringList());
    QCOMPARE(press(panel.data(), "signButton"), QStringList());
    QCOMPARE(debug.lines(), (QStringList{"writeIdAction", "signPdfAction"}));
    QCOMPARE(device.callCount(), 0);
}

QTEST_MAIN(TestCommonWidget)
#include "tst_commonwidget.moc"
