// Fuzz target for the road from device text to the log pane. The real window's PIN pad panel,
// bound to the scripted device library, asks for a key pair or a PIN entry; the device answers
// with an arbitrary code and arbitrary bytes, and the window shows the result line. The pane must
// gain exactly two paragraphs (the line and the empty one after it), hold plain text only (no
// image, link, list, table or formatted text), and the line must start with its tag, hold no
// character that breaks, reorders or hides text, read back through its escapes as exactly the
// line the panel sent, and wrap only to lines indented past its start.
// The document is laid out after each input, so text that made the pane load an image or a file
// would show as a hang, a crash or a leak.
//
// Input: a button byte (even: key pair, odd: PIN entry), the code as four bytes (big-endian), then
// the bytes the device writes into the panel's 256-byte buffer (at most 256, no NUL added).
#include "fuzzinput.h"

#include "app/mainwindow.h"
#include "fakedevice.h"
#include "panelinspect.h"
#include "panels/pinpadwidget.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QLibrary>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

namespace {

// Both handlers pass the device a 256-byte buffer; a device that writes past it breaks the
// contract in a way no caller can guard against.
constexpr std::size_t kDeviceBufferSize = 256;

struct Tool {
    QApplication* application = nullptr;
    QLibrary* device = nullptr;
    MainWindow* window = nullptr;
    PinPadWidget* pinPad = nullptr;
    QTextDocument* log = nullptr;
};
Tool tool;

int qtArgc = 1;
char qtProgramName[] = "fuzz_logpane";
char* qtArgv[] = {qtProgramName, nullptr};

// The panel's debug lines would fill the fuzzer's log at every input; everything else still goes
// to standard error, and a fatal message still aborts.
void dropDebugLines(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
    if (type == QtFatalMsg)
        std::abort();
}

// A code point the pane must never show as it is: one that breaks, reorders or hides text by its
// general category, or that Qt's text document reserves for objects and frames.
bool breaksOrHides(uint code)
{
    switch (QChar::category(code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
        return true;
    default:
        return code == 0xFDD0 || code == 0xFDD1 || code == 0xFFFC;
    }
}

// shown read back: \\ as a backslash and \xNN, \uNNNN and \U00NNNNNN as their code point. Null
// when a backslash starts anything else, so that each shown text reads one way only.
QString unescaped(const QString& shown)
{
    QString text;
    for (int at = 0; at < shown.size(); ++at) {
        if (shown[at] != QLatin1Char('\\')) {
            text += shown[at];
            continue;
        }
        const QChar kind = at + 1 < shown.size() ? shown[at + 1] : QChar();
        const int digits = kind == QLatin1Char('x') ? 2
            : kind == QLatin1Char('u')              ? 4
            : kind == QLatin1Char('U')              ? 8
                                                    : 0;
        if (kind == QLatin1Char('\\')) {
            text += kind;
            ++at;
            continue;
        }
        bool ok = false;
        const uint code = shown.mid(at + 2, digits).toUInt(&ok, 16);
        if (digits == 0 || at + 2 + digits > shown.size() || !ok)
            return QString(); // never equal to a line, which starts with its tag
        if (code > 0xFFFF)
            text += QString::fromUcs4(&code, 1);
        else
            text += QChar(static_cast<ushort>(code));
        at += 1 + digits;
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(dropDebugLines);
    tool.application = new QApplication(qtArgc, qtArgv);
    // Started in a scratch directory, the window finds no device library of its own.
    tool.window = new MainWindow();
    tool.pinPad = tool.window->findChild<PinPadWidget*>();
    tool.log = tool.window->findChild<QTextEdit*>()->document();
    tool.device = new QLibrary(QStringLiteral(FAKE_DEVICE_PATH));
    tool.pinPad->loadLibrary(tool.device);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const bool pin = input.byte() & 1;
    const int32_t code = input.int32();
    fake_reset();
    FakeDeviceScript* script = fake_script();
    const std::vector<uint8_t> output = input.bytes(kDeviceBufferSize);
    script->code = code;
    script->outputLength = static_cast<int>(output.size());
    if (!output.empty())
        std::memcpy(script->output, output.data(), output.size());

    QString sent;
    const QMetaObject::Connection capture = QObject::connect(
        tool.pinPad, &BaseWidget::onMessage, [&sent](const QString& message) { sent = message; });
    tool.window->findChild<QTextEdit*>()->clear();
    tool.window->onRecvResult(QStringLiteral("(申请公私钥对)GenerateKeyFromPw:[0] 0123:;<=>?"));
    const int before = tool.log->blockCount();
    QMetaObject::invokeMethod(tool.pinPad, pin ? "onInputPinClick" : "onPairKeyClick");
    QObject::disconnect(capture);
    // The hidden window gives its pane no width; 400 pixels wrap long lines.
    tool.log->setTextWidth(400);
    tool.log->documentLayout()->documentSize();

    FUZZ_CHECK(fake_callCount() == 1);
    FUZZ_CHECK(tool.log->blockCount() == before + 2);
    FUZZ_CHECK(holdsOnlyPlainText(*tool.log));
    const QTextBlock line = tool.log->findBlockByNumber(before);
    const QString tag = pin ? QStringLiteral("(输入密码)InputPassword:[")
                            : QStringLiteral("(申请公私钥对)GenerateKeyFromPw:[");
    FUZZ_CHECK(line.text().startsWith(tag));
    const QString text = line.text();
    for (int at = 0; at < text.size(); ++at) {
        uint code = text[at].unicode();
        if (text[at].isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate()) {
            code = QChar::surrogateToUcs4(text[at], text[at + 1]);
            ++at;
        }
        FUZZ_CHECK(!breaksOrHides(code));
    }
    FUZZ_CHECK(unescaped(text) == sent);
    FUZZ_CHECK(continuationLinesIndented(line));
    FUZZ_CHECK(line.next().text().isEmpty());
    return 0;
}
