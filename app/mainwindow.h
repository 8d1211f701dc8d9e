// The tool's one window: the PIN pad tab above the log pane. It creates every panel, routes their
// result lines into the log pane, loads the device library and binds the PIN pad panel to it.
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "panels/commonwidget.h"
#include "panels/comunicationwidget.h"
#include "panels/filemanagerwidget.h"
#include "panels/signwidget.h"

#include <QDialog>
#include <QLibrary>
#include <QString>

#include <memory>

class PinPadWidget;
class QKeyEvent;
class QTabWidget;
class QTextEdit;

class MainWindow : public QDialog {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

    void initAction();
    // Loads the device library at path and binds the PIN pad panel: 0 when it loaded, else -1.
    int loadLibrary(QString path);
    // Unbinds the PIN pad panel, unloads the library if it is loaded and releases the library
    // object: 0.
    int freeLibrary();

public slots:
    // Adds result as one plain-text paragraph with a hanging indent, every character that could
    // break, reorder or hide it shown as an escape (visibleText), and an empty paragraph after it.
    void onRecvResult(QString result);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The tab widget, the PIN pad panel and the log pane belong to the window through the layout.
    QTabWidget* m_tabWidget;
    PinPadWidget* m_pinPadWidget;
    QTextEdit* m_logEdit;
    // The panels without a tab have no parent and belong to the window here. The library object
    // goes with the window without unloading the library: the process keeps it until it ends.
    std::unique_ptr<CommonWidget> m_commonWidget;
    std::unique_ptr<FileManagerWidget> m_fileManagerWidget;
    std::unique_ptr<ComunicationWidget> m_comunicationWidget;
    std::unique_ptr<SignWidget> m_signWidget;
    std::unique_ptr<QLibrary> m_library;
};

#endif
