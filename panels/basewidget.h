// Base of every device panel: the signal that carries a result line to the log pane and the
// virtual operation through which the main window hands a panel the loaded device library.
#ifndef BASEWIDGET_H
#define BASEWIDGET_H

#include <QLibrary>
#include <QString>
#include <QWidget>

class BaseWidget : public QWidget {
    Q_OBJECT
public:
    explicit BaseWidget(QWidget* parent = nullptr);

    virtual void loadLibrary(QLibrary* library);

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
};

#endif
