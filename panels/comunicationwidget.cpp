#include "panels/comunicationwidget.h"

#include "util/debugendl.h"

#include <QDebug>

ComunicationWidget::ComunicationWidget(QWidget* parent)
    : BaseWidget(parent)
{
}

void ComunicationWidget::loadLibrary(QLibrary*)
{
    qDebug() << "ComunicationWidget::loadLibrary" << debugEndl;
}
