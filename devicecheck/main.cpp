// device-check: qualifies a PIN pad device library in one run (see device-check(1)).
#include "devicecheck/checkoptions.h"
#include "devicecheck/devicechecker.h"
#include "devicecheck/evidencefile.h"
#include "devicecheck/processtree.h"
#include "devicecheck/reportstream.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <unistd.h>

#include <sys/prctl.h>

namespace {
// The report on standard output, errors on standard error; neither may hold the run.
ReportStream& reportStream(bool error)
{
    static ReportStream output(STDOUT_FILENO, DeviceProcess::kEndingMs);
    static ReportStream errors(STDERR_FILENO, DeviceProcess::kEndingMs);
    return error ? errors : output;
}

int argumentError(const QString& error)
{
    reportStream(true).writeLine(QStringLiteral("device-check: ") + error);
    return CheckReport::kUnusable;
}

// A signal that ends the checker ends every process of the library's first, and leaves no
// temporary evidence file; then it ends the checker as it would have.
void onEndingSignal(int number)
{
    const int interrupted = errno;
    ProcessTree::endAll(ProcessTree::nowMs() + DeviceProcess::kEndingMs, nullptr, nullptr);
    EvidenceFile::removeTemporaries();
    std::signal(number, SIG_DFL);
    std::raise(number);
    // The signal ends the process once this handler returns; until then errno is the code's
    // it interrupted.
    errno = interrupted;
}

void endLibraryOnSignals()
{
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction action = {};
        action.sa_handler = onEndingSignal;
        sigemptyset(&action.sa_mask);
        sigaction(number, &action, nullptr);
    }
}
}

int main(int argc, char* argv[])
{
    // Before anything is loaded: no process of the same user, a library's included, may trace this
    // one, read or write its memory or open its descriptors.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    endLibraryOnSignals();
    // A reader of the report that goes away costs the report, never the run, its evidence or the
    // meaning of the exit status: a write to it fails with EPIPE instead.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication application(argc, argv);
    const ParsedArguments parsed = parseArguments(QCoreApplication::arguments());
    if (parsed.action == ParsedArguments::Help) {
        reportStream(false).writeLine(usageText().trimmed());
        return 0;
    }
    if (parsed.action == ParsedArguments::Error)
        return argumentError(parsed.error);

    // Created before the run, so that a file that cannot be written is known before the device is
    // touched.
    EvidenceFile json(parsed.options.jsonPath);
    if (!parsed.options.jsonPath.isEmpty() && !json.open())
        return argumentError(QStringLiteral("--json: ") + json.errorString());
    EvidenceFile junit(parsed.options.junitPath);
    if (!parsed.options.junitPath.isEmpty() && !junit.open())
        return argumentError(QStringLiteral("--junit: ") + junit.errorString());

    CheckOptions options = parsed.options;
    options.hostProgram =
        QCoreApplication::applicationDirPath() + QStringLiteral("/device-check-host");
    DeviceChecker checker(
        options, [](const QString& line, bool error) { reportStream(error).writeLine(line); });
    // Returns once every process of the library's is gone.
    const CheckReport report = checker.run();

    int exitCode = report.exitCode();
    if (!parsed.options.jsonPath.isEmpty()
        && !json.commit(QJsonDocument(report.toJson(DeviceChecker::toolVersion())).toJson()))
        exitCode = argumentError(QStringLiteral("--json: ") + json.errorString());
    if (!parsed.options.junitPath.isEmpty()
        && !junit.commit(report.toJUnit(DeviceChecker::toolVersion())))
        exitCode = argumentError(QStringLiteral("--junit: ") + junit.errorString());
    return exitCode;
}
