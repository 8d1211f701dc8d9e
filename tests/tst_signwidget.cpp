// The signature panel against the scripted device library, and its file dialog.
#include "capture.h"
#include "controls.h"
#include "fakedevicehandle.h"
#include "panelinspect.h"
#include "panels/signwidget.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
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
    QLineEdit* pathField() { return control<QLineEdit>(panel.data(), "pathEdit"); }
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

    QWidget* p = panel.data();
    const QStringList labels{"超时：", "语音：", "位置："};
    const QStringList texts{"30", "请阅读屏幕信息", "0,0,800,600"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(qobject_cast<QLabel*>(gridCell(p, 0, 2 * i))->text(), labels[i]);
        QCOMPARE(layout->itemAtPosition(0, 2 * i)->alignment(), Qt::AlignRight);
        QCOMPARE(qobject_cast<QLineEdit*>(gridCell(p, 0, 2 * i + 1))->text(), texts[i]);
    }
    QCOMPARE(qobject_cast<QPushButton*>(gridCell(p, 1, 0))->text(), QStringLiteral("选择文件："));
    QCOMPARE(layout->itemAtPosition(1, 0)->alignment(), Qt::AlignRight);
    QCOMPARE(qobject_cast<QLineEdit*>(gridCell(p, 1, 1))->text(), QString());
    QCOMPARE(gridCell(p, 1, 4), gridCell(p, 1, 1));
    QVERIFY(!gridCell(p, 1, 5) && !gridCell(p, 3, 0) && !gridCell(p, 3, 5));
    const QStringList actions{"展示PDF", "确认PDF", "签名", "签名带语音"};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(qobject_cast<QPushButton*>(gridCell(p, 3, i + 1))->text(), actions[i]);
    for (int column = 0; column < 6; ++column)
        QVERIFY(!gridCell(p, 2, column));
}

void TestSignWidget::slotsInDeclaredOrder()
{
    const QMetaObject& meta = SignWidget::staticMetaObject;
    QCOMPARE(ownMethodSignatures(meta),
             (QStringList{"onShowPDf()", "onConfirmPdf()", "onSignVoicePDF()", "onSignPDF()",
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
    control<QLineEdit>(&unbound, "pathEdit")->setText(QStringLiteral("/tmp/x.pdf"));
    DebugCapture debug;
    QCOMPARE(press(&unbound, "showButton"), QStringList());
    QCOMPARE(press(&unbound, "confirmButton"), QStringList());
    QCOMPARE(debug.lines(),
             (QStringList{"MP_SHOW_PDF 设备函数未加载", "MP_ConfirmPDF 设备函数未加载"}));
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
    control<QLineEdit>(panel.data(), "timeoutEdit")->setText(timeoutText);
    pathField()->setText(QStringLiteral("  /tmp/文件 a.pdf \t"));
    device.answer(-9, QByteArray("garbage", 7));
    DebugCapture debug;
    QCOMPARE(press(panel.data(), "showButton"), QStringList());
    QCOMPARE(press(panel.data(), "confirmButton"), QStringList());
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
    QCOMPARE(debug.messages(), QStringList());
}

void TestSignWidget::blankPathCallsNothing()
{
    pathField()->setText(QStringLiteral("   "));
    press(panel.data(), "showButton");
    press(panel.data(), "confirmButton");
    QCOMPARE(device.callCount(), 0);
}

void TestSignWidget::signButtonsDoNothing()
{
    pathField()->setText(QStringLiteral("/tmp/x.pdf"));
    QList<QString> before;
    for (QLineEdit* field : panel->findChildren<QLineEdit*>())
        before << field->text();
    DebugCapture debug;
    StdoutCapture out;
    QCOMPARE(press(panel.data(), "signButton"), QStringList());
    QCOMPARE(press(panel.data(), "voiceSignButton"), QStringList());
    QCOMPARE(device.callCount(), 0);
    QCOMPARE(debug.messages(), QStringList());
    QCOMPARE(out.text(), QByteArray());
    QList<QString> after;
    for (QLineEdit* field : panel->findChildren<QLineEdit*>())
        after << field->text();
    QCOMPARE(after, before);
}

void TestSignWidget::destructorDeletesActionButtons()
{
    // The panel's widgets in the order they go, each by its object name or, without one, its
    // class. The parent chain would delete the action buttons too, but after the destructor and
    // in the order the layout adopted them: only the destructor's own deletes put the four
    // first, in this order.
    QStringList destroyed;
    const QList<QWidget*> children =
        panel->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* child : children) {
        const QString name = child->objectName().isEmpty()
            ? QString::fromLatin1(child->metaObject()->className())
            : child->objectName();
        connect(child, &QObject::destroyed, [&destroyed, name] { destroyed << name; });
    }
    panel.reset();
    QCOMPARE(destroyed.mid(0, 4).join(QStringLiteral(", ")),
             QStringLiteral("signButton, showButton, confirmButton, voiceSignButton"));
    // Every other widget goes with the panel, each once.
    QCOMPARE(destroyed.size(), children.size());
    QVERIFY(destroyed.contains(QStringLiteral("fileButton")));
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
    press(panel.data(), "fileButton");
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
    QCOMPARE(QStringLiteral("\"%1\"").arg(pathField()->text()), lines.last());
}

void TestSignWidget::cancelledDialogLeavesField()
{
    pathField()->setText(QStringLiteral("/kept.pdf"));
    DebugCapture debug;
    chooseFiles([](QFileDialog* dialog) { dialog->reject(); });
    QCOMPARE(pathField()->text(), QStringLiteral("/kept.pdf"));
    QCOMPARE(debug.messages(), QStringList());
}

QTEST_MAIN(TestSignWidget)
#include "tst_signwidget.moc"
