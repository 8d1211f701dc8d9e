// The signature panel against the scripted device library, and its file dialog.
#include "capture.h"
#include "panelinspect.h"
#include "fakedevicehandle.h"
#include "panels/signwidget.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

class TestSignWidget : public QObject {
    Q_OBJECT
private slots:
    void init();

    void layoutAndInitialTexts();
    void slotsInDeclaredOrder();
    void bindingWithLibraryLackingEveryName();
    void unboundShowAndConfirmOnlyLog();

    void showAndConfirmPassTrimmedPathAndTimeout_data();
    void showAndConfirmPassTrimmedPathAndTimeout();
    void blankPathCallsNothing();
    void signButtonsDoNothing();
    void destructorDeletesActionButtons();

    void selectFileTakesEveryChosenFile();
    void cancelledDialogLeavesField();

private:
    QWidget* at(SignWidget* target, int row, int column) { return gridCell(target, row, column); }
    QLineEdit* edit(int row, int column) { return qobject_cast<QLineEdit*>(at(panel.data(), row, column)); }
    QPushButton* button(int row, int column)
    {
        return qobject_cast<QPushButton*>(at(panel.data(), row, column));
    }
    // Presses the file button while a timer works the modal dialog it opens.
    void chooseFiles(const std::function<void(QFileDialog*)>& work);

    FakeDeviceHandle device{FAKE_DEVICE_PATH};
    QScopedPointer<SignWidget> panel;
};

void TestSignWidget::init()
{
    device.reset();
    panel.reset(new SignWidget());
    QLibrary library(QString::fromUtf8(FAKE_DEVICE_PATH));
    panel->loadLibrary(&library);
}

void TestSignWidget::layoutAndInitialTexts()
{
    auto* layout = qobject_cast<QGridLayout*>(panel->layout());
    QCOMPARE(layout->count(), 12);
    const int stretches[] = {1, 1, 1, 2, 1, 2};
    for (int column = 0; column < 6; ++column)
        QCOMPARE(layout->columnStretch(column), stretches[column]);
    QCOMPARE(layout->rowMinimumHeight(2), 50);

    const QStringList labels{"超时：", "语音：", "位置："};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(qobject_cast<QLabel*>(at(panel.data(), 0, 2 * i))->text(), labels[i]);
        QCOMPARE(layout->itemAtPosition(0, 2 * i)->alignment(), Qt::AlignRight);
    }
    QCOMPARE(edit(0, 1)->text(), QStringLiteral("30"));
    QCOMPARE(edit(0, 3)->text(), QStringLiteral("请阅读屏幕信息"));
    QCOMPARE(edit(0, 5)->text(), QStringLiteral("0,0,800,600"));
    QCOMPARE(button(1, 0)->text(), QStringLiteral("选择文件："));
    QCOMPARE(layout->itemAtPosition(1, 0)->alignment(), Qt::AlignRight);
    QCOMPARE(edit(1, 1)->text(), QString());
    QCOMPARE(at(panel.data(), 1, 4), at(panel.data(), 1, 1));
    QVERIFY(!at(panel.data(), 1, 5) && !at(panel.data(), 3, 0) && !at(panel.data(), 3, 5));
    const QStringList actions{"展示PDF", "确认PDF", "签名", "签名带语音"};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(button(3, i + 1)->text(), actions[i]);
    for (int column = 0; column < 6; ++column)
        QVERIFY(!at(panel.data(), 2, column));
}

void TestSignWidget::slotsInDeclaredOrder()
{
    const QMetaObject& meta = SignWidget::staticMetaObject;
    QCOMPARE(ownMethodSignatures(meta), (QStringList{"onShowPDf()", "onConfirmPdf()", "onSignVoicePDF()", "onSignPDF()",
                                 "selectFile()"}));
}

void TestSignWidget::bindingWithLibraryLackingEveryName()
{
    SignWidget unbound;
    QLibrary library(QStringLiteral("libm.so.6"));
    DebugCapture debug;
    StdoutCapture out;
    unbound.loadLibrary(&library);
    QCOMPARE(debug.lines(), (QStringList{"SignWidget::loadLibrary", "", "", "", ""}));
    QCOMPARE(out.text(), QByteArray());

    QLibrary missing(QStringLiteral("/nonexistent/libClientScreen.so"));
    debug.clear();
    unbound.loadLibrary(&missing);
    QCOMPARE(debug.lines(), QStringList{"SignWidget::loadLibrary"});
}

void TestSignWidget::unboundShowAndConfirmOnlyLog()
{
    SignWidget unbound;
    QSignalSpy spy(&unbound, SIGNAL(onMessage(QString)));
    qobject_cast<QLineEdit*>(at(&unbound, 1, 1))->setText(QStringLiteral("/tmp/x.pdf"));
    DebugCapture debug;
    QMetaObject::invokeMethod(&unbound, "onShowPDf");
    QMetaObject::invokeMethod(&unbound, "onConfirmPdf");
    QCOMPARE(debug.lines(), (QStringList{"MP_SHOW_PDF 设备函数未加载", "MP_ConfirmPDF 设备函数未加载"}));
    QCOMPARE(spy.count(), 0);
    QCOMPARE(device.callCount(), 0);
}

void TestSignWidget::showAndConfirmPassTrimmedPathAndTimeout_data()
{
    QTest::addColumn<QString>("timeoutText");
    QTest::addColumn<int>("timeout");
    QTest::newRow("initial 30") << "30" << 30;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("negative") << "-5" << -5;
}

void TestSignWidget::showAndConfirmPassTrimmedPathAndTimeout()
{
    QFETCH(QString, timeoutText);
    QFETCH(int, timeout);
    edit(0, 1)->setText(timeoutText);
    edit(1, 1)->setText(QStringLiteral("  /tmp/文件 a.pdf \t"));
    device.answer(-9, QByteArray("garbage", 7));
    QSignalSpy spy(panel.data(), SIGNAL(onMessage(QString)));
    DebugCapture debug;
    button(3, 1)->click();
    button(3, 2)->click();
    QCOMPARE(device.callCount(), 2);
    const char* names[] = {"MP_SHOW_PDF", "MP_ConfirmPDF"};
    for (int i = 0; i < 2; ++i) {
        const FakeDeviceCall* call = device.call(i);
        QCOMPARE(QByteArray(call->name), QByteArray(names[i]));
        QCOMPARE(call->ints[0], 0);
        QCOMPARE(QByteArray(call->texts[0]), QByteArray());
        QCOMPARE(call->ints[1], 9600);
        QCOMPARE(call->ints[2], timeout);
        QCOMPARE(QString::fromUtf8(call->texts[1]), QStringLiteral("/tmp/文件 a.pdf"));
    }
    QCOMPARE(spy.count(), 0);
    QCOMPARE(debug.messages(), QStringList());
}

void TestSignWidget::blankPathCallsNothing()
{
    edit(1, 1)->setText(QStringLiteral("   "));
    button(3, 1)->click();
    button(3, 2)->click();
    QCOMPARE(device.callCount(), 0);
}

void TestSignWidget::signButtonsDoNothing()
{
    edit(1, 1)->setText(QStringLiteral("/tmp/x.pdf"));
    QList<QString> before;
    for (QLineEdit* field : panel->findChildren<QLineEdit*>())
        before << field->text();
    QSignalSpy spy(panel.data(), SIGNAL(onMessage(QString)));
    DebugCapture debug;
    StdoutCapture out;
    button(3, 3)->click();
    button(3, 4)->click();
    QCOMPARE(device.callCount(), 0);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(debug.messages(), QStringList());
    QCOMPARE(out.text(), QByteArray());
    QList<QString> after;
    for (QLineEdit* field : panel->findChildren<QLineEdit*>())
        after << field->text();
    QCOMPARE(after, before);
}

void TestSignWidget::destructorDeletesActionButtons()
{
    QList<QPointer<QPushButton>> buttons;
    for (int column = 1; column <= 4; ++column)
        buttons << QPointer<QPushButton>(button(3, column));
    QPointer<QWidget> fileButton(button(1, 0));
    panel.reset();
    for (const auto& action : buttons)
        QVERIFY(action.isNull());
    QVERIFY(fileButton.isNull());
}

void TestSignWidget::chooseFiles(const std::function<void(QFileDialog*)>& work)
{
    bool worked = false;
    QTimer::singleShot(0, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        worked = true;
        work(dialog);
    });
    button(1, 0)->click();
    QVERIFY2(worked, "the file dialog did not open");
}

void TestSignWidget::selectFileTakesEveryChosenFile()
{
    QTemporaryDir dir;
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    DebugCapture debug;
    QString title, directory;
    QStringList filters;
    chooseFiles([&](QFileDialog* dialog) {
        title = dialog->windowTitle();
        filters = dialog->nameFilters();
        directory = dialog->directory().absolutePath();
        QCOMPARE(dialog->parentWidget(), panel.data());
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
        QCOMPARE(dialog->viewMode(), QFileDialog::Detail);
        dialog->selectFile(QStringLiteral("\"a.pdf\" \"b.pdf\" \"c.pdf\""));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    QDir::setCurrent(previous);
    QCOMPARE(title, QStringLiteral("打开PDF"));
    QCOMPARE(filters, QStringList{"pdf(*.pdf)"});
    QCOMPARE(QFileInfo(directory).canonicalFilePath(), QFileInfo(dir.path()).canonicalFilePath());

    const QStringList lines = debug.lines();
    QCOMPARE(lines.size(), 3);
    QStringList chosen;
    for (const QString& line : lines) {
        QVERIFY2(line.startsWith('"') && line.endsWith('"'), qPrintable(line));
        chosen << QFileInfo(line.mid(1, line.size() - 2)).fileName();
    }
    chosen.sort();
    QCOMPARE(chosen, (QStringList{"a.pdf", "b.pdf", "c.pdf"}));
    QCOMPARE(QStringLiteral("\"%1\"").arg(edit(1, 1)->text()), lines.last());
}

void TestSignWidget::cancelledDialogLeavesField()
{
    edit(1, 1)->setText(QStringLiteral("/kept.pdf"));
    DebugCapture debug;
    chooseFiles([](QFileDialog* dialog) { dialog->reject(); });
    QCOMPARE(edit(1, 1)->text(), QStringLiteral("/kept.pdf"));
    QCOMPARE(debug.messages(), QStringList());
}

QTEST_MAIN(TestSignWidget)
#include "tst_signwidget.moc"
