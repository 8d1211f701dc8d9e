// Panel for the device's PDF functions: show a PDF on the device screen and have it confirmed
// there; the two signing buttons read their fields and call nothing. It never writes to the log
// pane.
#ifndef SIGNWIDGET_H
#define SIGNWIDGET_H

#include "device/devicefunctions.h"
#include "panels/basewidget.h"

class QLineEdit;
class QPushButton;

class SignWidget : public BaseWidget {
    Q_OBJECT
public:
    explicit SignWidget(QWidget* parent = nullptr);
    ~SignWidget() override;

    void loadLibrary(QLibrary* library) override;

public slots:
    void onShowPDf(); // looked up by its text, odd case included: keep it
    void onConfirmPdf();
    void onSignVoicePDF();
    void onSignPDF();
    void selectFile();

private:
    // The timeout field as a decimal integer (0 when it is not one).
    int timeout() const;
    QString trimmedPath() const;

    ShowPdfFunc m_showPdf = nullptr;
    UncalledDeviceFunc m_signPdf = nullptr;
    ConfirmPdfFunc m_confirmPdf = nullptr;
    UncalledDeviceFunc m_signPdfVoice = nullptr;

    QLineEdit* m_timeoutEdit;
    QLineEdit* m_voiceEdit;
    QLineEdit* m_positionEdit;
    QLineEdit* m_pathEdit;

    QPushButton* m_showButton;
    QPushButton* m_confirmButton;
    QPushButton* m_signButton;
    QPushButton* m_voiceSignButton;
};

#endif
