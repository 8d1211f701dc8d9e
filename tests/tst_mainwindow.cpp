// The main window: its widgets, the five panels and their message route, the keys that must not
// close it or press a button, and the loading of the device library from the working directory.
#include "app/mainwindow.h"
#include "capture.h"
#include "controls.h"
#include "fakedevicehandle.h"
#include "panels/commonwidget.h"
#include "panels/comunicationwidget.h"
#include "panels/filemanagerwidget.h"
#include "panels/pinpadwidget.h"
#include "panels/signwidget.h"
#include "workingdirectory.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QtTest>

#include <dlfcn.h>

namespace {
template <typename Panel>
QList<Panel*> topLevel()
{
    QList<Panel*> result;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* panel = qobject_cast<Panel*>(widget))
            result << panel;
    return result;
}
}

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void windowLayout();
    void fivePanelsOnlyPinPadShown();
    void everyPanelRoutesToLogPane();
    void newLinesComeIntoView_data();
    void newLinesComeIntoView();
    void escapeAndEnterNeitherCloseNorPress();
    void failedLoadIsShownAndLeavesPinPadUnbound();
    // The dynamic loader matches "./quorvel/libClientScreen.so" by name against libraries already
    // loaded, and the window leaves its library loaded: this must be the first successful load.
    void freeLibraryReleases();
    void loadedLibraryBindsOnlyPinPad();
    void otherPanelsStayUnbound();
    void windowTakesHiddenPanelsButLeavesLibraryLoaded();

private:
    QTextEdit* logPane(MainWindow& window) { return window.findChild<QTextEdit*>(); }
};

void TestMainWindow::windowLayout()
{
    WorkingDirectory empty;
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("测试工具"));
    QCOMPARE(window.size(), QSize(800, 600));
    auto* layout = qobject_cast<QVBoxLayout*>(window.layout());
    QVERIFY(layout);
    QCOMPARE(layout->count(), 2);
    auto* tabs = qobject_cast<QTabWidget*>(layout->itemAt(0)->widget());
    QVERIFY(tabs);
    QCOMPARE(layout->itemAt(1)->widget(), logPane(window));
    QCOMPARE(logPane(window)->maximumHeight(), 200);
    QVERIFY(!logPane(window)->isReadOnly());
    QCOMPARE(tabs->count(), 1);
    QCOMPARE(tabs->tabText(0), QStringLiteral("密码键盘"));
    QVERIFY(qobject_cast<PinPadWidget*>(tabs->widget(0)));
}

void TestMainWindow::fivePanelsOnlyPinPadShown()
{
    WorkingDirectory empty;
    MainWindow window;
    window.show();
    QCOMPARE(window.findChildren<PinPadWidget*>().size(), 1);
    QCOMPARE(topLevel<CommonWidget>().size(), 1);
    QCOMPARE(topLevel<ComunicationWidget>().size(), 1);
    QCOMPARE(topLevel<FileManagerWidget>().size(), 1);
    QCOMPARE(topLevel<SignWidget>().size(), 1);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<BaseWidget*>(widget)) {
            QVERIFY(!widget->parentWidget());
            QVERIFY(!widget->isVisible());
        }
    }
    QVERIFY(window.findChild<PinPadWidget*>()->isVisible());
}

void TestMainWindow::everyPanelRoutesToLogPane()
{
    WorkingDirectory empty;
    MainWindow window;
    logPane(window)->clear();
    QList<BaseWidget*> panels;
    panels << topLevel<CommonWidget>().value(0) << topLevel<ComunicationWidget>().value(0)
           << topLevel<FileManagerWidget>().value(0) << window.findChild<PinPadWidget*>()
           << topLevel<SignWidget>().value(0);
    QString expected;
    for (int i = 0; i < panels.size(); ++i) {
        QVERIFY(panels[i]);
        const QString line = QStringLiteral("line %1").arg(i);
        QMetaObject::invokeMethod(panels[i], "onMessage", Q_ARG(QString, line));
        expected += line + QStringLiteral("\n\n");
    }
    // Each line is followed by one empty line.
    QCOMPARE(logPane(window)->toPlainText() + QStringLiteral("\n"), expected);
}

void TestMainWindow::newLinesComeIntoView_data()
{
    QTest::addColumn<int>("earlierLines"); // result lines in the pane before the new one
    QTest::addColumn<QString>("cursor");   // where the pane's text cursor is: start, clicked, end
    QTest::addColumn<bool>("scrolledUp");  // whether the view was scrolled up from its end
    QTest::addColumn<bool>("followed");    // whether the new line is brought into view
    QTest::newRow("cursor at the end, view at the end") << 30 << "end" << false << true;
    QTest::newRow("cursor at the start, view at the end") << 30 << "start" << false << true;
    QTest::newRow("cursor moved by a click, view at the end") << 30 << "clicked" << false << true;
    QTest::newRow("pane not yet full, the new line overflows it")
        << 4 << "clicked" << false << true;
    QTest::newRow("cursor at the end, view scrolled up") << 30 << "end" << true << false;
    QTest::newRow("cursor moved by a click, view scrolled up") << 30 << "clicked" << true << false;
}

void TestMainWindow::newLinesComeIntoView()
{
    QFETCH(int, earlierLines);
    QFETCH(QString, cursor);
    QFETCH(bool, scrolledUp);
    QFETCH(bool, followed);
    WorkingDirectory empty;
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTextEdit* log = logPane(window);
    for (int i = 1; i < earlierLines; ++i)
        window.onRecvResult(QStringLiteral("earlier line %1").arg(i));
    QScrollBar* scrollBar = log->verticalScrollBar();
    if (cursor == "start")
        log->moveCursor(QTextCursor::Start);
    else if (cursor == "end")
        log->moveCursor(QTextCursor::End);
    scrollBar->setValue(scrollBar->maximum());
    if (cursor == "clicked")
        QTest::mouseClick(log->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QVERIFY(!log->textCursor().atEnd() || cursor == "end");
    if (scrolledUp)
        scrollBar->setValue(scrollBar->maximum() / 2);
    const int viewBefore = scrollBar->value();

    // The new line comes from a button, as a tester's does: the unbound PIN pad answers at once.
    QCOMPARE(press(&window, "pairKeyButton"),
             QStringList{"(申请公私钥对)GenerateKeyFromPw:设备函数未加载"});
    QTextCursor newLine(log->document());
    newLine.movePosition(QTextCursor::End);
    newLine.movePosition(QTextCursor::PreviousBlock);
    QCOMPARE(newLine.block().text(),
             QStringLiteral("(申请公私钥对)GenerateKeyFromPw:设备函数未加载"));
    QVERIFY(scrollBar->maximum() > 0);
    QCOMPARE(log->viewport()->rect().contains(log->cursorRect(newLine)), followed);
    if (!followed)
        QCOMPARE(scrollBar->value(), viewBefore);
}

void TestMainWindow::escapeAndEnterNeitherCloseNorPress()
{
    WorkingDirectory empty;
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    logPane(window)->clear();
    for (QPushButton* button : window.findChildren<QPushButton*>())
        QVERIFY(!button->autoDefault() && !button->isDefault());

    // Enter in a read-only field after the key-pair button had the focus: the unbound panel
    // would answer in the log pane if it pressed the button.
    control<QPushButton>(&window, "pairKeyButton")->setFocus();
    auto* publicKey = control<QLineEdit>(&window, "publicKeyEdit");
    publicKey->setFocus();
    QTest::keyClick(publicKey, Qt::Key_Return);
    QTest::keyClick(publicKey, Qt::Key_Enter);
    QCOMPARE(logPane(window)->toPlainText(), QString());

    QTest::keyClick(publicKey, Qt::Key_Escape);
    QVERIFY(window.isVisible());
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
}

void TestMainWindow::failedLoadIsShownAndLeavesPinPadUnbound()
{
    WorkingDirectory directory;
    DebugCapture debug;
    MainWindow window;
    QCOMPARE(debug.messages(),
             QStringList{"MainWindow::loadLibrary \"./quorvel/libClientScreen.so\" \n"});
    const QString log = logPane(window)->toPlainText();
    QVERIFY2(log.startsWith(QStringLiteral("设备库加载失败: ") + QDir::currentPath()
                            + QStringLiteral("/quorvel/libClientScreen.so: ")),
             qPrintable(log));
    QCOMPARE(log.count('\n'), 1);
    QVERIFY(log.size() > 40); // the loader's own error text follows

    QCOMPARE(press(&window, "pairKeyButton"),
             QStringList{"(申请公私钥对)GenerateKeyFromPw:设备函数未加载"});
    QCOMPARE(window.loadLibrary(QStringLiteral("./quorvel/libClientScreen.so")), -1);
}

void TestMainWindow::loadedLibraryBindsOnlyPinPad()
{
    WorkingDirectory directory;
    directory.copyLibrary(QString::fromUtf8(FAKE_DEVICE_PATH));
    DebugCapture debug;
    StdoutCapture out;
    MainWindow window;
    QCOMPARE(debug.lines(),
             (QStringList{"MainWindow::loadLibrary \"./quorvel/libClientScreen.so\"",
                          "PinPadWidget::loadLibrary"}));
    // The start-up line names the copy that was mapped, not the library it was copied from, and
    // carries no simulator mark; identifying it writes nothing to standard output.
    QCOMPARE(firstLogLine(&window), directory.loadedLine());
    QCOMPARE(out.text(), QByteArray());
    QCOMPARE(logPane(window)->toPlainText(), directory.loadedLine() + QStringLiteral("\n"));
    logPane(window)->clear();

    FakeDeviceHandle device("./quorvel/libClientScreen.so");
    device.answer(42, QByteArray());
    press(&window, "pairKeyButton");
    QCOMPARE(logPane(window)->toPlainText(),
             QStringLiteral("(申请公私钥对)GenerateKeyFromPw:[42] \n"));
}

void TestMainWindow::otherPanelsStayUnbound()
{
    WorkingDirectory directory;
    directory.copyLibrary(QString::fromUtf8(FAKE_DEVICE_PATH));
    MainWindow window;
    logPane(window)->clear();
    FakeDeviceHandle device("./quorvel/libClientScreen.so");
    const int before = device.callCount();
    QMetaObject::invokeMethod(topLevel<CommonWidget>().value(0), "onReadDeviceSN");
    QCOMPARE(device.callCount(), before);
    QCOMPARE(logPane(window)->toPlainText(), QStringLiteral("PN_ReadDeviceSN:设备函数未加载\n"));
}

void TestMainWindow::windowTakesHiddenPanelsButLeavesLibraryLoaded()
{
    WorkingDirectory directory;
    directory.copyLibrary(QString::fromUtf8(FAKE_DEVICE_PATH));
    {
        MainWindow window;
        QCOMPARE(topLevel<BaseWidget>().size(), 4);
    }
    QCOMPARE(topLevel<BaseWidget>().size(), 0);
    // Still mapped: the panels' function pointers would stay valid.
    void* handle = dlopen("./quorvel/libClientScreen.so", RTLD_NOW | RTLD_NOLOAD);
    QVERIFY(handle);
    dlclose(handle);
}

void TestMainWindow::freeLibraryReleases()
{
    WorkingDirectory directory;
    directory.copyLibrary(QString::fromUtf8(FAKE_DEVICE_PATH));
    MainWindow window;
    QCOMPARE(window.freeLibrary(), 0);
    QCOMPARE(logPane(window)->toPlainText(), directory.loadedLine() + QStringLiteral("\n"));
    QVERIFY(!dlopen("./quorvel/libClientScreen.so", RTLD_NOW | RTLD_NOLOAD));
    QCOMPARE(window.freeLibrary(), 0);

    // The PIN pad no longer holds addresses in the unloaded library.
    logPane(window)->clear();
    for (QPushButton* button : window.findChild<PinPadWidget*>()->findChildren<QPushButton*>())
        button->click();
    QCOMPARE(logPane(window)->toPlainText().split(QStringLiteral("\n\n")),
             (QStringList{"(申请公私钥对)GenerateKeyFromPw:设备函数未加载",
                          "(下载主密钥)SetPwMkey:设备函数未加载",
                          "(下载工作密钥)SetPwWkey:设备函数未加载",
                          "(输入密码)InputPassword:设备函数未加载\n"}));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
