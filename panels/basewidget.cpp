#include "panels/basewidget.h"

#include "util/debugendl.h"

#include <QDebug>

BaseWidget::BaseWidget(QWidget* parent)
    : QWidget(parent)
{
}

void BaseWidget::loadLibrary(QLibrary*)
{
    qDebug() << "BaseWidget::loadLibrary" << debugEndl;
}

QString BaseWidget::unboundLine(const QString& tag)
{
    return tag + QStringLiteral("设备函数未加载");
}
