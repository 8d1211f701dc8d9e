#include "app/mainwindow.h"

#include "panels/pinpadwidget.h"
#include "util/debugendl.h"
#include "util/libraryidentity.h"
#include "util/visibletext.h"

#include <QDebug>
#include <QFile>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLibrary>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

#include <sys/stat.h>

MainWindow::MainWindow(QWidget* parent)
    : QDialog(parent)
{
    m_tabWidget = new QTabWidget();

    m_commonWidget = std::make_unique<CommonWidget>();
    m_comunicationWidget = std::make_unique<ComunicationWidget>();
    m_fileManagerWidget = std::make_unique<FileManagerWidget>();
    m_pinPadWidget = new PinPadWidget();
    m_signWidget = std::make_unique<SignWidget>();

    m_tabWidget->addTab(m_pinPadWidget, QStringLiteral("密码键盘"));

    m_logEdit = new QTextEdit();
    m_logEdit->setMaximumHeight(200);

    QVBoxLayout* layout = new QVBoxLayout();
    layout->addWidget(m_tabWidget);
    layout->addWidget(m_logEdit);
    setLayout(layout);

    resize(800, 600);
    setWindowTitle(QStringLiteral("测试工具"));

    // A dialog makes every push button in it auto-default, so Enter in any field, read-only ones
    // included, would press the last focused button and call the device.
    for (QPushButton* button : findChildren<QPushButton*>())
        button->setAutoDefault(false);

    initAction();
    loadLibrary(QStringLiteral("./quorvel/libClientScreen.so"));
}

void MainWindow::initAction()
{
    connect(m_commonWidget.get(), SIGNAL(onMessage(QString)), this, SLOT(onRecvResult(QString)));
    connect(m_comunicationWidget.get(), SIGNAL(onMessage(QString)), this,
            SLOT(onRecvResult(QString)));
    connect(m_fileManagerWidget.get(), SIGNAL(onMessage(QString)), this,
            SLOT(onRecvResult(QString)));
    connect(m_pinPadWidget, SIGNAL(onMessage(QString)), this, SLOT(onRecvResult(QString)));
    connect(m_signWidget.get(), SIGNAL(onMessage(QString)), this, SLOT(onRecvResult(QString)));
}

int MainWindow::loadLibrary(QString path)
{
    qDebug() << "MainWindow::loadLibrary" << path << debugEndl;
    m_library = std::make_unique<QLibrary>(path);
    // Only a regular file is handed to the loader: a FIFO would block the window in open(), and
    // a directory or device file is no library. A missing file is left to the loader's own text.
    struct stat status;
    const bool found = stat(QFile::encodeName(path).constData(), &status) == 0;
    if (found && !S_ISREG(status.st_mode)) {
        onRecvResult(QStringLiteral("设备库加载失败: ") + requestedPath(path)
                     + QStringLiteral(": 不是普通文件"));
        return -1;
    }
    // The file as it is before it is loaded: only a file still in this state once it has been
    // hashed is named with its hash, not one the library or anyone else replaced or rewrote.
    const FileState before = found ? fileState(status) : FileState();
    // Every symbol bound now: a library that needs a symbol nothing defines fails here with the
    // loader's reason, instead of ending the tool, log and all, at the first call that needs it.
    m_library->setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!m_library->load()) {
        // Shown so that a user who expected the device sees why the PIN pad does not answer.
        onRecvResult(QStringLiteral("设备库加载失败: ")
                     + loadFailureText(path, m_library->errorString()));
        return -1;
    }
    // The file that answers, so that a simulated or swapped library is never taken for the device.
    // Taken here, before any device call can be made, so that its line is the log's first.
    onRecvResult(QStringLiteral("设备库已加载: ")
                 + identityText(identifyLibrary(*m_library, before)));
    m_pinPadWidget->loadLibrary(m_library.get());
    return 0;
}

int MainWindow::freeLibrary()
{
    m_pinPadWidget->unbindLibrary();
    if (m_library && m_library->isLoaded())
        m_library->unload();
    m_library.reset();
    return 0;
}

void MainWindow::onRecvResult(QString result)
{
    // Inserted as plain text with a blank format: QTextEdit::append would take text that looks
    // like HTML as HTML, so a device could forge lines, hide text or have the pane load images.
    // The new line is brought into view when the view was at its end, wherever a click has put the
    // text cursor; a view scrolled up to read an earlier line stays where it is.
    QScrollBar* scrollBar = m_logEdit->verticalScrollBar();
    const bool followEnd = scrollBar->value() == scrollBar->maximum();
    // A hanging indent: a long line's wrapped continuation starts right of where every result line
    // starts, so wrapped device text cannot pass for a line of its own.
    QTextBlockFormat paragraph;
    const qreal indent = 2 * QFontMetricsF(m_logEdit->document()->defaultFont()).averageCharWidth();
    paragraph.setLeftMargin(indent);
    paragraph.setTextIndent(-indent);
    QTextCursor cursor(m_logEdit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (m_logEdit->document()->isEmpty())
        cursor.setBlockFormat(paragraph);
    else
        cursor.insertBlock(paragraph, QTextCharFormat());
    cursor.insertText(visibleText(result), QTextCharFormat());
    cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.endEditBlock();
    if (followEnd)
        scrollBar->setValue(scrollBar->maximum());
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    // Esc would reject the dialog and close the tool, and the log with it; the window's close
    // button still closes it.
    if (event->matches(QKeySequence::Cancel)) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}
