#include "panels/basewidget.h"

#include "util/debugendl.h"

#include <QDebug>

#include <cstdio>

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

QFunctionPointer BaseWidget::resolveOrReport(QLibrary* library, const char* name)
{
    const QFunctionPointer function = library->resolve(name);
    if (!function)
        std::puts(library->errorString().toUtf8().constData());
    return function;
}
