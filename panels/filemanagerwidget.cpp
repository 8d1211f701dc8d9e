#include "panels/filemanagerwidget.h"

#include "util/debugendl.h"

#include <QDebug>

FileManagerWidget::FileManagerWidget(QWidget* parent)
    : BaseWidget(parent)
{
}

void FileManagerWidget::loadLibrary(QLibrary*)
{
    qDebug() << "FileManagerWidget::loadLibrary" << debugEndl;
}
