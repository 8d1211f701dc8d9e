#include "controls.h"

#include <QAbstractButton>
#include <QSignalSpy>
#include <QTextEdit>

namespace {
QStringList logLines(const QTextEdit* log)
{
    QStringList lines = log->toPlainText().split(QLatin1Char('\n'));
    lines.removeAll(QString());
    return lines;
}
}

QStringList press(QWidget* root, const char* name)
{
    auto* button = control<QAbstractButton>(root, name);
    if (const auto* log = root->findChild<QTextEdit*>()) {
        const int before = logLines(log).size();
        button->click();
        return logLines(log).mid(before);
    }
    QSignalSpy spy(button->parentWidget(), SIGNAL(onMessage(QString)));
    button->click();
    QStringList lines;
    for (const QList<QVariant>& arguments : spy)
        lines << arguments.at(0).toString();
    return lines;
}

QString firstLogLine(QWidget* window)
{
    const auto* log = window->findChild<QTextEdit*>();
    if (!log)
        qFatal("no log pane");
    return logLines(log).value(0);
}
