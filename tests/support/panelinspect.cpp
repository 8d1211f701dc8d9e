#include "panelinspect.h"

#include <QGridLayout>
#include <QMetaMethod>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
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
        if (block.textList() || !block.blockFormat().properties().isEmpty())
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
