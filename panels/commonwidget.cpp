#include "panels/commonwidget.h"

#include "device/devicecalls.h"
#include "util/debugendl.h"
#include "util/devicetext.h"

#include <QDebug>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstring>

namespace {
const char kReadTag[] = "PN_ReadDeviceSN:";
const char kWriteTag[] = "PN_WriteDeviceSN: ";
// The serial number every write sends, whatever the serial field holds.
const char kSerialNumber[] = "QV123456";
}

CommonWidget::CommonWidget(QWidget* parent)
    : BaseWidget(parent)
{
    QGridLayout* layout = new QGridLayout();
    layout->setColumnStretch(0, 1);
    layout->setColumnStretch(1, 1);
    layout->setColumnStretch(2, 1);
    layout->setColumnStretch(3, 1);
    layout->setColumnStretch(4, 2);
    layout->setColumnMinimumWidth(2, 15);

    QLabel* serialLabel = new QLabel(QWidget::tr("序列号："));
    QLineEdit* serialEdit = new QLineEdit();
    QLabel* pdfPathLabel = new QLabel(QWidget::tr("PDF路径:"));
    QLineEdit* pdfPathEdit = new QLineEdit();
    m_writeButton = new QPushButton(QStringLiteral("写序列号"));
    m_readButton = new QPushButton(QStringLiteral("读序列号"));
    m_infoButton = new QPushButton(QStringLiteral("信息确认"));
    m_signButton = new QPushButton(QStringLiteral("电子签名"));

    layout->addWidget(m_writeButton, 0, 0, 1, 1, Qt::AlignRight);
    layout->addWidget(m_readButton, 0, 1, 1, 1);
    layout->addWidget(serialLabel, 0, 3, 1, 1, Qt::AlignRight);
    layout->addWidget(serialEdit, 0, 4, 1, 1);
    layout->addWidget(pdfPathLabel, 1, 0, 1, 1, Qt::AlignRight);
    layout->addWidget(pdfPathEdit, 1, 1, 1, 4);
    layout->addWidget(m_infoButton, 2, 1, 1, 1);
    layout->addWidget(m_signButton, 2, 3, 1, 1);

    setLayout(layout);

    connect(m_writeButton, SIGNAL(clicked()), this, SLOT(onWtriteDeviceSN()));
    connect(m_readButton, SIGNAL(clicked()), this, SLOT(onReadDeviceSN()));
    connect(m_infoButton, SIGNAL(clicked()), this, SLOT(onStartInfoHtml()));
    connect(m_signButton, SIGNAL(clicked()), this, SLOT(onSignPDF()));

    m_writeButton->setObjectName(QStringLiteral("writeButton"));
    m_readButton->setObjectName(QStringLiteral("readButton"));
    m_infoButton->setObjectName(QStringLiteral("infoButton"));
    m_signButton->setObjectName(QStringLiteral("signButton"));
    serialEdit->setObjectName(QStringLiteral("serialEdit"));
    pdfPathEdit->setObjectName(QStringLiteral("pdfPathEdit"));
}

void CommonWidget::loadLibrary(QLibrary* library)
{
    qDebug() << "CommonWidget::loadLibrary" << debugEndl;
    if (!library || !library->load())
        return;
    m_writeDeviceSN =
        reinterpret_cast<WriteDeviceSNFunc>(resolveOrReport(library, "PN_WriteDeviceSN"));
    m_readDeviceSN =
        reinterpret_cast<ReadDeviceSNFunc>(resolveOrReport(library, "PN_ReadDeviceSN"));
    m_startInfoHtml =
        reinterpret_cast<UncalledDeviceFunc>(resolveOrReport(library, "MP_StartInfoHtml"));
    m_signPdf = reinterpret_cast<UncalledDeviceFunc>(resolveOrReport(library, "MP_SignPDF"));
}

void CommonWidget::onReadDeviceSN()
{
    if (!m_readDeviceSN) {
        emit onMessage(unboundLine(QString::fromUtf8(kReadTag)));
        return;
    }
    char serial[kSerialSize + 1];
    std::memset(serial, 0, kSerialSize);
    callDevice([&] { return m_readDeviceSN(kDevicePort, kDeviceParameter, kDeviceBaud, serial); });
    const QString text = deviceText(serial, kSerialSize);
    qDebug() << "readIdAction device id:" << text << debugEndl;
    emit onMessage(QString::fromUtf8(kReadTag) + text);
}

void CommonWidget::onWtriteDeviceSN()
{
    if (!m_writeDeviceSN) {
        emit onMessage(unboundLine(QString::fromUtf8(kWriteTag)));
        return;
    }
    const int code = callDevice(
        [&] { return m_writeDeviceSN(kDevicePort, kDeviceParameter, kDeviceBaud, kSerialNumber); });
    qDebug() << "writeIdAction:" << code << debugEndl;
    emit onMessage(QString::fromUtf8(kWriteTag) + QString::number(code));
}

void CommonWidget::onStartInfoHtml()
{
    qDebug() << "writeIdAction" << debugEndl;
}

void CommonWidget::onSignPDF()
{
    qDebug() << "signPdfAction" << debugEndl;
}
