// The general panel against the scripted device library.
#include "capture.h"
#include "panelinspect.h"
#include "fakedevicehandle.h"
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
    QWidget* at(int row, int column) { return gridCell(panel.data(), row, column); }
    QPushButton* button(int row, int column) { return qobject_cast<QPushButton*>(at(row, column)); }
    QLineEdit* serialField() { return qobject_cast<QLineEdit*>(at(0, 4)); }

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

    QCOMPARE(button(0, 0)->text(), QStringLiteral("写序列号"));
    QCOMPARE(layout->itemAtPosition(0, 0)->alignment(), Qt::AlignRight);
    QCOMPARE(button(0, 1)->text(), QStringLiteral("读序列号"));
    QCOMPARE(qobject_cast<QLabel*>(at(0, 3))->text(), QStringLiteral("序列号："));
    QCOMPARE(layout->itemAtPosition(0, 3)->alignment(), Qt::AlignRight);
    QVERIFY(serialField());
    QCOMPARE(qobject_cast<QLabel*>(at(1, 0))->text(), QStringLiteral("PDF路径:"));
    QVERIFY(qobject_cast<QLineEdit*>(at(1, 1)));
    QCOMPARE(at(1, 4), at(1, 1)); // the PDF path field spans columns 1 to 4
    QCOMPARE(button(2, 1)->text(), QStringLiteral("信息确认"));
    QCOMPARE(button(2, 3)->text(), QStringLiteral("电子签名"));
    QVERIFY(!at(2, 0) && !at(2, 2) && !at(2, 4));
}

void TestCommonWidget::slotsInDeclaredOrder()
{
    const QMetaObject& meta = CommonWidget::staticMetaObject;
    QCOMPARE(ownMethodSignatures(meta), (QStringList{"onReadDeviceSN()", "onWtriteDeviceSN()", "onStartInfoHtml()",
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
    QSignalSpy spy(&unbound, SIGNAL(onMessage(QString)));
    QMetaObject::invokeMethod(&unbound, "onWtriteDeviceSN");
    QCOMPARE(spy.value(0).value(0).toString(), QStringLiteral("PN_WriteDeviceSN: 设备函数未加载"));
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
    QSignalSpy spy(&unbound, SIGNAL(onMessage(QString)));
    DebugCapture debug;
    QMetaObject::invokeMethod(&unbound, "onReadDeviceSN");
    QMetaObject::invokeMethod(&unbound, "onWtriteDeviceSN");
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("PN_ReadDeviceSN:设备函数未加载"));
    QCOMPARE(spy.at(1).at(0).toString(), QStringLiteral("PN_WriteDeviceSN: 设备函数未加载"));
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
    QSignalSpy spy(panel.data(), SIGNAL(onMessage(QString)));
    DebugCapture debug;
    button(0, 0)->click();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("PN_WriteDeviceSN: %1").arg(code));
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
    QSignalSpy spy(panel.data(), SIGNAL(onMessage(QString)));
    DebugCapture debug;
    button(0, 1)->click();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("PN_ReadDeviceSN:QV000009"));
    QCOMPARE(debug.messages(), QStringList{"readIdAction device id: \"QV000009\" \n"});
    QCOMPARE(serialField()->text(), QStringLiteral("typed"));
    const FakeDeviceCall* call = device.call(0);
    QCOMPARE(QByteArray(call->name), QByteArray("PN_ReadDeviceSN"));
    QCOMPARE(call->ints[0], 0);
    QCOMPARE(call->ints[1], 9600);
}

void TestCommonWidget::readOfEmptyBuffer()
{
    QSignalSpy spy(panel.data(), SIGNAL(onMessage(QString)));
    DebugCapture debug;
    button(0, 1)->click();
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("PN_ReadDeviceSN:"));
    QCOMPARE(debug.lines(), QStringList{"readIdAction device id: \"\""});
}

void TestCommonWidget::readStopsAtClearedPart()
{
    QByteArray output(255, 'S');
    output.append('Z'); // beyond the 255 bytes the handler cleared
    device.answer(0, output);
    QSignalSpy spy(panel.data(), SIGNAL(onMessage(QString)));
    button(0, 1)->click();
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("PN_ReadDeviceSN:") + QString(255, 'S'));
}

void TestCommonWidget::infoAndSignOnlyLog()
{
    QSignalSpy spy(panel.data(), SIGNAL(onMessage(QString)));
    DebugCapture debug;
    button(2, 1)->click();
    button(2, 3)->click();
    QCOMPARE(debug.lines(), (QStringList{"writeIdAction", "signPdfAction"}));
    QCOMPARE(spy.count(), 0);
    QCOMPARE(device.callCount(), 0);
}

QTEST_MAIN(TestCommonWidget)
#include "tst_commonwidget.moc"
