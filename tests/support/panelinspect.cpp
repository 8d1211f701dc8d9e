#include "panelinspect.h"

#include <QGridLayout>
#include <QMetaMethod>
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
