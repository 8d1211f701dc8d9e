#include "panels/signwidget.h"

#include "device/devicecalls.h"
#include "util/debugendl.h"

#include <QDebug>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstring>

SignWidget::SignWidget(QWidget* parent)
    : BaseWidget(parent)
{
    QGridLayout* layout = new QGridLayout();
    layout->setColumnStretch(0, 1);
    layout->setColumnStretch(1, 1);
    layout->setColumnStretch(2, 1);
    layout->setColumnStretch(3, 2);
    layout->setColumnStretch(4, 1);
    layout->setColumnStretch(5, 2);
    layout->setRowMinimumHeight(2, 50);

    QLabel* timeoutLabel = new QLabel(QStringLiteral("超时："));
    m_timeoutEdit = new QLineEdit();
    QLabel* voiceLabel = new QLabel(QStringLiteral("语音："));
    m_voiceEdit = new QLineEdit();
    QLabel* positionLabel = new QLabel(QStringLiteral("位置："));
    m_positionEdit = new QLineEdit();
    QPushButton* fileButton = new QPushButton(QStringLiteral("选择文件："));
    m_pathEdit = new QLineEdit();
    m_showButton = new QPushButton(QStringLiteral("展示PDF"));
    m_confirmButton = new QPushButton(QStringLiteral("确认PDF"));
    m_signButton = new QPushButton(QStringLiteral("签名"));
    m_voiceSignButton = new QPushButton(QStringLiteral("签名带语音"));

    layout->addWidget(timeoutLabel, 0, 0, 1, 1, Qt::AlignRight);
    layout->addWidget(m_timeoutEdit, 0, 1, 1, 1);
    layout->addWidget(voiceLabel, 0, 2, 1, 1, Qt::AlignRight);
    layout->addWidget(m_voiceEdit, 0, 3, 1, 1);
    layout->addWidget(positionLabel, 0, 4, 1, 1, Qt::AlignRight);
    layout->addWidget(m_positionEdit, 0, 5, 1, 1);
    layout->addWidget(fileButton, 1, 0, 1, 1, Qt::AlignRight);
    layout->addWidget(m_pathEdit, 1, 1, 1, 4);
    layout->addWidget(m_showButton, 3, 1, 1, 1);
    layout->addWidget(m_confirmButton, 3, 2, 1, 1);
    layout->addWidget(m_signButton, 3, 3, 1, 1);
    layout->addWidget(m_voiceSignButton, 3, 4, 1, 1);

    setLayout(layout);

    m_timeoutEdit->setText(QStringLiteral("30"));
    m_voiceEdit->setText(QStringLiteral("请阅读屏幕信息"));
    m_positionEdit->setText(QStringLiteral("0,0,800,600"));

    connect(m_showButton, SIGNAL(clicked()), this, SLOT(onShowPDf()));
    connect(m_confirmButton, SIGNAL(clicked()), this, SLOT(onConfirmPdf()));
    connect(m_signButton, SIGNAL(clicked()), this, SLOT(onSignPDF()));
    connect(m_voiceSignButton, SIGNAL(clicked()), this, SLOT(onSignVoicePDF()));
    connect(fileButton, SIGNAL(clicked()), this, SLOT(selectFile()));

    m_timeoutEdit->setObjectName(QStringLiteral("timeoutEdit"));
    m_voiceEdit->setObjectName(QStringLiteral("voiceEdit"));
    m_positionEdit->setObjectName(QStringLiteral("positionEdit"));
    m_pathEdit->setObjectName(QStringLiteral("pathEdit"));
    fileButton->setObjectName(QStringLiteral("fileButton"));
    m_showButton->setObjectName(QStringLiteral("showButton"));
    m_confirmButton->setObjectName(QStringLiteral("confirmButton"));
    m_signButton->setObjectName(QStringLiteral("signButton"));
    m_voiceSignButton->setObjectName(QStringLiteral("voiceSignButton"));
}

SignWidget::~SignWidget()
{
    delete m_signButton;
    delete m_showButton;
    delete m_confirmButton;
    delete m_voiceSignButton;
    m_signButton = nullptr;
    m_showButton = nullptr;
    m_confirmButton = nullptr;
    m_voiceSignButton = nullptr;
}

void SignWidget::loadLibrary(QLibrary* library)
{
    qDebug() << "SignWidget::loadLibrary" << debugEndl;
    if (!library || !library->load())
        return;
    // A missing name is marked by an empty debug line, not on standard output.
    const auto resolve = [library](const char* name) {
        const QFunctionPointer function = library->resolve(name);
        if (!function)
            qDebug() << "" << debugEndl;
        return function;
    };
    m_showPdf = reinterpret_cast<ShowPdfFunc>(resolve("MP_SHOW_PDF"));
    m_confirmPdf = reinterpret_cast<ConfirmPdfFunc>(resolve("MP_ConfirmPDF"));
    m_signPdf = reinterpret_cast<UncalledDeviceFunc>(resolve("MP_SignPDF"));
    m_signPdfVoice = reinterpret_cast<UncalledDeviceFunc>(resolve("MP_SignPDF_Voice"));
}

void SignWidget::onShowPDf()
{
    const int timeoutValue = timeout();
    const QString path = trimmedPath();
    if (path.isEmpty())
        return;
    if (!m_showPdf) {
        qDebug() << "MP_SHOW_PDF"
                 << "设备函数未加载" << debugEndl;
        return;
    }
    const QByteArray pathBytes = path.toUtf8();
    callDevice([&] {
        return m_showPdf(kDevicePort, kDeviceParameter, kDeviceBaud, timeoutValue,
                         pathBytes.constData());
    });
}

void SignWidget::onConfirmPdf()
{
    const int timeoutValue = timeout();
    const QString path = trimmedPath();
    if (path.isEmpty())
        return;
    if (!m_confirmPdf) {
        qDebug() << "MP_ConfirmPDF"
                 << "设备函数未加载" << debugEndl;
        return;
    }
    char confirm[256];
    std::memset(confirm, 0, sizeof confirm);
    const QByteArray pathBytes = path.toUtf8();
    callDevice([&] {
        return m_confirmPdf(kDevicePort, kDeviceParameter, kDeviceBaud, timeoutValue,
                            pathBytes.constData(), confirm);
    });
}

// Signing is offered on the panel but not carried out: the device's signing functions are bound
// and never called, and the buttons change nothing and report nothing.
void SignWidget::onSignVoicePDF()
{
}

void SignWidget::onSignPDF()
{
}

void SignWidget::selectFile()
{
    QFileDialog dialog(this);
    dialog.setWindowTitle(tr("打开PDF"));
    dialog.setNameFilter(tr("pdf(*.pdf)"));
    dialog.setDirectory(QStringLiteral("."));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setViewMode(QFileDialog::Detail);

    QStringList files;
    if (dialog.exec())
        files = dialog.selectedFiles();
    for (const QString& file : files) {
        qDebug() << file << debugEndl;
        m_pathEdit->setText(file);
    }
}

int SignWidget::timeout() const
{
    return m_timeoutEdit->text().toInt(nullptr, 10);
}

QString SignWidget::trimmedPath() const
{
    return m_pathEdit->text().trimmed();
}
