#include "panels/basewidget.h"

#include "util/debugendl.h"

#include <QApplication>
#include <QDebug>
#include <QFile>

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

QString BaseWidget::unresolvedSymbolLine(const QString& name, const QString& path,
                                         const QString& loaderReason, const QString& errorString)
{
    const QString prefix = QStringLiteral("Cannot resolve symbol \"%1\" in %2: ").arg(name, path);
    if (!loaderReason.isEmpty())
        return prefix + loaderReason;
    // Qt 5.11 puts this same prefix in front of its own copy of the reason; Qt 5.15 has only
    // "Unknown error".
    return prefix + (errorString.startsWith(prefix) ? errorString.mid(prefix.size()) : errorString);
}

QFunctionPointer BaseWidget::resolveOrReport(QLibrary* library, const char* name)
{
    const QFunctionPointer function = library->resolve(name);
    if (!function) {
        // The reason comes from the loader itself: Qt 5.11 reads and so clears the loader's
        // error inside resolve(), Qt 5.15 leaves it unread. Looking the name up again in the
        // library, already loaded (RTLD_NOLOAD), runs none of its code.
        QString reason;
        dlerror();
        void* handle =
            dlopen(QFile::encodeName(library->fileName()).constData(), RTLD_LAZY | RTLD_NOLOAD);
        if (handle) {
            dlerror();
            if (!dlsym(handle, name)) {
                const char* error = dlerror();
                if (error)
                    reason = QString::fromLocal8Bit(error);
            }
            dlclose(handle);
        }
        const QString line = unresolvedSymbolLine(QString::fromLatin1(name), library->fileName(),
                                                  reason, library->errorString());
        std::puts(line.toUtf8().constData());
        std::fflush(stdout);
    }
    return function;
}

BaseWidget::DeviceCallScope::DeviceCallScope(BaseWidget* panel)
    : m_window(panel->window())
    , m_focus(QApplication::focusWidget())
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // The whole window, not the panel alone: the log pane, which the focus would move to as the
    // panel is disabled, would otherwise take the keys typed and the clicks made during the call.
    m_window->setEnabled(false);
    // Painted now: the call blocks the event loop, which would otherwise show the change only
    // after the call.
    m_window->repaint();
}

BaseWidget::DeviceCallScope::~DeviceCallScope()
{
    QCoreApplication::processEvents();
    m_window->setEnabled(true);
    if (m_focus && m_window->isAncestorOf(m_focus))
        m_focus->setFocus();
    QApplication::restoreOverrideCursor();
}
