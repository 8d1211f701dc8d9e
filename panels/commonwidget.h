// Panel for the device's general functions: read and write the serial number; its information
// page and signature buttons only log.
#ifndef COMMONWIDGET_H
#define COMMONWIDGET_H

#include "device/devicefunctions.h"
#include "panels/basewidget.h"

class QPushButton;

class CommonWidget : public BaseWidget {
    Q_OBJECT
public:
    explicit CommonWidget(QWidget* parent = nullptr);

    void loadLibrary(QLibrary* library) override;

public slots:
    void onReadDeviceSN();
    void onWtriteDeviceSN(); // looked up by its text, misspelling included: keep it
    void onStartInfoHtml();
    void onSignPDF();

private:
    WriteDeviceSNFunc m_writeDeviceSN = nullptr;
    ReadDeviceSNFunc m_readDeviceSN = nullptr;
    UncalledDeviceFunc m_startInfoHtml = nullptr;
    UncalledDeviceFunc m_signPdf = nullptr;

    QPushButton* m_readButton;
    QPushButton* m_writeButton;
    QPushButton* m_infoButton;
    QPushButton* m_signButton;
};

#endif
