#include "panels/basewidget.h"

#include "util/debugendl.h"

#include <QApplication>
#include <QDebug>

#include <cstdio>
#include <dlfcn.h>

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
    // QLibrary::resolve stopped filling in errorString() (Qt 5.15 reports only "Unknown error"),
    // so the reason is the loader's own, read right after the lookup.
    dlerror();
    const QFunctionPointer function = library->resolve(name);
    if (!function) {
        const char* reason = dlerror();
        const QString line =
            QStringLiteral("Cannot resolve symbol \"%1\" in %2: %3")
                .arg(QString::fromLatin1(name), library->fileName(),
                     reason ? QString::fromLocal8Bit(reason) : library->errorString());
        std::puts(line.toUtf8().constData());
        std::fflush(stdout);
    }
    return function;
}

BaseWidget::DeviceCallScope::DeviceCallScope(BaseWidget* panel)
    : m_panel(panel)
    , m_focus(QApplication::focusWidget())
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_panel->setEnabled(false);
    // Painted now: the call blocks the event loop, which would otherwise show the change only
    // after the call.
    m_panel->repaint();
}

BaseWidget::DeviceCallScope::~DeviceCallScope()
{
    QCoreApplication::processEvents();
    m_panel->setEnabled(true);
    if (m_focus && m_panel->isAncestorOf(m_focus))
        m_focus->setFocus();
    QApplication::restoreOverrideCursor();
}
