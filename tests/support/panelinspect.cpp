#include "panelinspect.h"

#include <QGridLayout>
#include <QMetaMethod>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextLayout>
#include <QWidget>

QWidget* gridCell(QWidget* panel, int row, int column)
{
    auto* grid = qobject_cast<QGridLayout*>(panel->layout());
    QLayoutItem* item = grid ? grid->itemAtPosition(row, column) : nullptr;
    return item ? item->widget() : nullptr;
}

QStringList ownMethodSignatures(const QMetaObject& meta)
{
    QStringList signatures;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        signatures << QString::fromLatin1(meta.method(i).methodSignature());
    return signatures;
}

bool holdsOnlyPlainText(const QTextDocument& document)
{
    if (!document.rootFrame()->childFrames().isEmpty())
        return false;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        // The log pane's hanging indent is the one block format allowed.
        QMap<int, QVariant> format = block.blockFormat().properties();
        format.remove(QTextFormat::BlockLeftMargin);
        format.remove(QTextFormat::TextIndent);
        if (block.textList() || !format.isEmpty())
            return false;
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().properties().isEmpty()
                || fragment.text().contains(QChar::ObjectReplacementCharacter))
                return false;
        }
    }
    return true;
}

bool continuationLinesIndented(const QTextBlock& block)
{
    const QTextLayout* layout = block.layout();
    if (!layout || layout->lineCount() == 0)
        return false;
    const qreal firstStart = layout->lineAt(0).x();
    for (int i = 1; i < layout->lineCount(); ++i) {
        if (layout->lineAt(i).x() <= firstStart)
            return false;
    }
    return true;
}
