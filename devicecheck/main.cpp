// device-check: qualifies a PIN pad device library in one run (see device-check(1)).
#include "devicecheck/checkoptions.h"
#include "devicecheck/devicechecker.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSaveFile>

#include <cstdio>

namespace {
void printLine(FILE* stream, const QString& line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stream);
    std::fflush(stream);
}

int argumentError(const QString& error)
{
    printLine(stderr, QStringLiteral("device-check: ") + error);
    return CheckReport::kUnusable;
}
}

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const ParsedArguments parsed = parseArguments(QCoreApplication::arguments());
    if (parsed.action == ParsedArguments::Help) {
        std::fputs(usageText().toUtf8().constData(), stdout);
        return 0;
    }
    if (parsed.action == ParsedArguments::Error)
        return argumentError(parsed.error);

    // Opened before the run, so that a file that cannot be written is known before the device is
    // touched.
    QSaveFile json(parsed.options.jsonPath);
    if (!parsed.options.jsonPath.isEmpty() && !json.open(QIODevice::WriteOnly))
        return argumentError(
            QStringLiteral("cannot write %1: %2").arg(parsed.options.jsonPath, json.errorString()));

    DeviceChecker checker(parsed.options, [](const QString& line, bool error) {
        printLine(error ? stderr : stdout, line);
    });
    const CheckReport report = checker.run();

    int exitCode = report.exitCode();
    if (json.isOpen()) {
        json.write(QJsonDocument(report.toJson(DeviceChecker::toolVersion())).toJson());
        if (!json.commit())
            exitCode = argumentError(QStringLiteral("cannot write %1: %2")
                                         .arg(parsed.options.jsonPath, json.errorString()));
    }
    return exitCode;
}
