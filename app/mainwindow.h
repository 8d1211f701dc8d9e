// The tool's one window: the PIN pad tab above the log pane. It creates every panel, routes their
// result lines into the log pane, loads the device library and binds the PIN pad panel to it.
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QDialog>
#include <QString>

class CommonWidget;
class ComunicationWidget;
class FileManagerWidget;
class PinPadWidget;
class QKeyEvent;
class QLibrary;
class QTabWidget;
class QTextEdit;
class SignWidget;

class MainWindow : public QDialog {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    void initAction();
    // Loads the device library at path and binds the PIN pad panel: 0 when it loaded, else -1.
    int loadLibrary(QString path);
    // Unbinds the PIN pad panel and releases the library object: 0.
    int freeLibrary();

public slots:
    // Adds result as one plain-text paragraph with a hanging indent, control characters, bidi
    // controls and invisible format characters shown as escapes, and an empty
    // paragraph after it.
    void onRecvResult(QString result);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QTabWidget* m_tabWidget;
    CommonWidget* m_commonWidget;
    FileManagerWidget* m_fileManagerWidget;
    PinPadWidget* m_pinPadWidget;
    ComunicationWidget* m_comunicationWidget;
    SignWidget* m_signWidget;
    QTextEdit* m_logEdit;
    QLibrary* m_library = nullptr;
};

#endif
