// Start-up benchmark, reference side: a bare dialog built the way the tool builds its window
// (same title and size, a tab widget with one empty tab of the same caption above a text edit
// in a vertical box layout), with no panels. Built twice: bare, with no key library and no device
// library; and as the floor (STARTUP_FLOOR), linked to the key library, and so libcrypto, and
// loading the device library as the window does: what the tool must load, and nothing else.
#include "startupprobe.h"

#include <QApplication>
#include <QDialog>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#ifdef STARTUP_FLOOR
#include <QLibrary>

#include <cstdio>
#endif

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QDialog dialog;

    QTabWidget* tabs = new QTabWidget();
    tabs->addTab(new QWidget(), QStringLiteral("密码键盘"));
    QTextEdit* log = new QTextEdit();
    log->setMaximumHeight(200);

    QVBoxLayout* layout = new QVBoxLayout();
    layout->addWidget(tabs);
    layout->addWidget(log);
    dialog.setLayout(layout);

    dialog.resize(800, 600);
    dialog.setWindowTitle(QStringLiteral("测试工具"));

#ifdef STARTUP_FLOOR
    // Loaded as the window loads it (every symbol bound at once), where the window does: after
    // building its widgets.
    QLibrary library(QStringLiteral("./quorvel/libClientScreen.so"));
    library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!library.load()) {
        std::fprintf(stderr, "%s\n", qPrintable(library.errorString()));
        return 1;
    }
    return runStartupProbe(application, dialog, "/quorvel/libClientScreen.so");
#else
    return runStartupProbe(application, dialog, nullptr);
#endif
}
