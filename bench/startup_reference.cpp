// Start-up benchmark, reference side: a bare dialog built the way the tool builds its window
// (same title and size, a tab widget with one empty tab of the same caption above a text edit
// in a vertical box layout), with no panels, no key library and no device library.
#include "startupprobe.h"

#include <QApplication>
#include <QDialog>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

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
    return runStartupProbe(application, dialog, nullptr);
}
