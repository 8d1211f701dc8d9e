// Base of every device panel: the signal that carries a result line to the log pane and the
// virtual operation through which the main window hands a panel the loaded device library.
#ifndef BASEWIDGET_H
#define BASEWIDGET_H

#include <QLibrary>
#include <QPointer>
#include <QString>
#include <QWidget>

class BaseWidget : public QWidget {
    Q_OBJECT
public:
    explicit BaseWidget(QWidget* parent = nullptr);

    virtual void loadLibrary(QLibrary* library);

    // The line resolveOrReport prints for name missing from the library at path: one
    // "Cannot resolve symbol" prefix, then the loader's reason, or without one
    // QLibrary::errorString(), which on some Qt releases already starts with the same prefix.
    static QString unresolvedSymbolLine(const QString& name, const QString& path,
                                        const QString& loaderReason, const QString& errorString);

signals:
    void onMessage(QString message);

protected:
    // The result line of a handler whose device function is not bound: its tag, then the words
    // that every panel uses for it.
    static QString unboundLine(const QString& tag);
    // Resolves name in library; when it is missing, writes one line to standard output naming
    // the symbol, the library and the loader's reason, and flushes it. Returns the resolved
    // address, null included.
    static QFunctionPointer resolveOrReport(QLibrary* library, const char* name);

    // Runs call, one synchronous device call, and returns its code. Meanwhile the window that
    // holds the panel, its log pane included, is disabled under a wait cursor; clicks and keys
    // that arrived during the call are delivered before it is enabled again, so they are dropped
    // instead of becoming further calls or text typed into the log pane.
    template <typename Call>
    int callDevice(Call call)
    {
        const DeviceCallScope scope(this);
        return call();
    }

private:
    class DeviceCallScope {
    public:
        explicit DeviceCallScope(BaseWidget* panel);
        ~DeviceCallScope();
        DeviceCallScope(const DeviceCallScope&) = delete;
        DeviceCallScope& operator=(const DeviceCallScope&) = delete;

    private:
        QWidget* m_window;
        QPointer<QWidget> m_focus;
    };
};

#endif
