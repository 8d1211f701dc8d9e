// Fuzz target for the road from device text to the log pane. The real window's PIN pad panel,
// bound to the scripted device library, asks for a key pair or a PIN entry; the device answers
// with an arbitrary code and arbitrary bytes, and the window shows the result line. The pane must
// gain exactly two paragraphs (the line and the empty one after it), hold plain text only (no
// image, link, list, table or formatted text), and the line must start with its tag, hold no
// character that breaks, reorders or hides text, and wrap only to lines indented past its start.
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

bool breaksOrHides(QChar character)
{
    const ushort code = character.unicode();
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029
        || code == 0xFDD0 || code == 0xFDD1 || code == 0xFFFC || code == 0x061C || code == 0x200E
        || code == 0x200F || (code >= 0x202A && code <= 0x202E)
        || (code >= 0x2066 && code <= 0x2069) || (code >= 0x200B && code <= 0x200D)
        || (code >= 0x2060 && code <= 0x2064) || code == 0xFEFF;
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

    tool.window->findChild<QTextEdit*>()->clear();
    tool.window->onRecvResult(QStringLiteral("(申请公私钥对)GenerateKeyFromPw:[0] 0123:;<=>?"));
    const int before = tool.log->blockCount();
    QMetaObject::invokeMethod(tool.pinPad, pin ? "onInputPinClick" : "onPairKeyClick");
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
    for (const QChar character : line.text())
        FUZZ_CHECK(!breaksOrHides(character));
    FUZZ_CHECK(continuationLinesIndented(line));
    FUZZ_CHECK(line.next().text().isEmpty());
    return 0;
}
