// Renders the tool's window after the four PIN pad steps to a PNG for the README, widened so
// that the log pane shows all four result lines. Run it on Qt's offscreen platform in a working
// directory holding quorvel/libClientScreen.so.
//
// usage: window_screenshot OUTPUT.png
#include "app/mainwindow.h"
#include "controls.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }

    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "the window was not shown\n");
        return 1;
    }

    auto* log = window.findChild<QTextEdit*>();
    if (!log) {
        std::fprintf(stderr, "the window has no log pane\n");
        return 1;
    }
    const char* buttons[4] = {"pairKeyButton", "mainKeyButton", "workKeyButton", "inputPinButton"};
    const char* tags[4] = {"(申请公私钥对)GenerateKeyFromPw:[0] ", "(下载主密钥)SetPwMkey:[0] ",
                           "(下载工作密钥)SetPwWkey:[0] ", "(输入密码)InputPassword:[0] "};
    for (int step = 0; step < 4; ++step) {
        const QString last = press(&window, buttons[step]).value(0);
        if (!last.startsWith(QString::fromUtf8(tags[step]))) {
            std::fprintf(stderr, "step %d did not succeed: %s\n", step + 1, qPrintable(last));
            return 1;
        }
        // Where the button sits in the window, for scripts that click it on a real display.
        auto* button = control<QPushButton>(&window, buttons[step]);
        const QPoint centre = button->mapTo(&window, button->rect().center());
        std::printf("button %d centre %d %d\n", step + 1, centre.x(), centre.y());
    }

    // The four result lines are taller than the log pane at the window's first width; widen the
    // window, as a user would, until the log pane shows them all from its top.
    auto lastLineBottom = [log] {
        QTextBlock block = log->document()->lastBlock();
        while (block.isValid() && block.text().isEmpty())
            block = block.previous();
        return log->document()->documentLayout()->blockBoundingRect(block).bottom();
    };
    for (int width = window.width(); width <= 1920; width += 20) {
        window.resize(width, window.height());
        QTest::qWait(20);
        if (lastLineBottom() <= log->viewport()->height())
            break;
    }
    // With the start-up line above them the result lines are taller than the pane at any width:
    // show them whole, from the bottom, as the pane does after the last press.
    log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum());
    QTest::qWait(20);
    std::printf("window %d x %d, result lines end at %.0f of %d pixels of log pane\n",
                window.width(), window.height(), lastLineBottom(), log->viewport()->height());
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
