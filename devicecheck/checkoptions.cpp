#include "devicecheck/checkoptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {
constexpr int kMaxTimeoutSeconds = 86400;
constexpr int kMaxRepeat = 1000000;

ParsedArguments failure(const QString& error)
{
    ParsedArguments parsed;
    parsed.action = ParsedArguments::Error;
    parsed.error = error;
    return parsed;
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The parser's own complaint in the form of every other: "<what>: <why>".
QString parserError(const QCommandLineParser& parser)
{
    if (!parser.unknownOptionNames().isEmpty()) {
        const QString name = parser.unknownOptionNames().constFirst();
        return (name.size() > 1 ? QStringLiteral("--") : QStringLiteral("-")) + name
            + QStringLiteral(": not an option");
    }
    const QRegularExpressionMatch missing =
        QRegularExpression(QStringLiteral("^Missing value after '(.*)'")).match(parser.errorText());
    if (missing.hasMatch())
        return missing.captured(1) + QStringLiteral(": needs a value");
    return parser.errorText();
}

// Where the evidence files and the library are: the same file twice is refused, whether it is
// named the same way or not, and so is a folder or anything but a regular file to write over.
// Compared by device and inode where the files exist, by their cleaned absolute paths otherwise.
QString targetsProblem(const CheckOptions& options)
{
    struct Target {
        const char* option;
        QString path;
    };
    const Target targets[] = {{"--json", options.jsonPath},
                              {"--junit", options.junitPath},
                              {"--library", options.library}};
    struct stat status[3];
    bool exists[3];
    for (int i = 0; i < 3; ++i) {
        exists[i] = !targets[i].path.isEmpty()
            && stat(QFile::encodeName(targets[i].path).constData(), &status[i]) == 0;
        if (i == 2 || !exists[i])
            continue;
        const QString named = QString::fromLatin1(targets[i].option) + QStringLiteral(": ")
            + displayedPath(targets[i].path) + QStringLiteral(": ");
        if (S_ISDIR(status[i].st_mode))
            return named + QStringLiteral("a folder; give the path of a file to write");
        // A FIFO or a device (/dev/stdout, /dev/null) is never replaced by a regular file.
        if (!S_ISREG(status[i].st_mode))
            return named + QStringLiteral("not a regular file; give the path of a file to write");
    }
    for (int i = 0; i < 2; ++i)
        for (int j = i + 1; j < 3; ++j) {
            if (targets[i].path.isEmpty() || targets[j].path.isEmpty())
                continue;
            const bool same = exists[i] && exists[j]
                ? status[i].st_dev == status[j].st_dev && status[i].st_ino == status[j].st_ino
                : displayedPath(targets[i].path) == displayedPath(targets[j].path);
            if (same)
                return QStringLiteral("%1: %2: the same file as %3")
                    .arg(QLatin1String(targets[i].option), displayedPath(targets[i].path),
                         QLatin1String(targets[j].option));
        }
    return QString();
}
}

ParsedArguments parseArguments(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption library(QStringLiteral("library"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption pin(QStringLiteral("pin"), QString(), QStringLiteral("DIGITS"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(),
                                     QStringLiteral("SECONDS"));
    const QCommandLineOption json(QStringLiteral("json"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption junit(QStringLiteral("junit"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption writeSn(QStringLiteral("write-sn"));
    const QCommandLineOption repeat(QStringLiteral("repeat"), QString(), QStringLiteral("N"));
    const QCommandLineOption device(QStringLiteral("device"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({library, pin, timeout, json, junit, writeSn, repeat, device, help});

    if (!parser.parse(arguments))
        return failure(parserError(parser));
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("unexpected argument '%1'")
                           .arg(parser.positionalArguments().constFirst()));

    ParsedArguments parsed;
    if (parser.isSet(help)) {
        parsed.action = ParsedArguments::Help;
        return parsed;
    }
    CheckOptions& options = parsed.options;
    if (parser.isSet(library)) {
        if (parser.value(library).isEmpty())
            return failure(QStringLiteral("--library: needs a path"));
        options.library = parser.value(library);
    }
    options.library = absoluteLibraryPath(options.library);
    if (parser.isSet(pin)) {
        options.pin = parser.value(pin);
        // The PIN entry passes 6 as the longest PIN, as the tool does.
        if (!QRegularExpression(QStringLiteral("\\A[0-9]{4,6}\\z")).match(options.pin).hasMatch())
            return failure(
                QStringLiteral("--pin: needs 4 to 6 decimal digits, not '%1'").arg(options.pin));
    }
    if (parser.isSet(timeout)) {
        bool number = false;
        options.timeoutSeconds = parser.value(timeout).toInt(&number);
        if (!number || options.timeoutSeconds < 1 || options.timeoutSeconds > kMaxTimeoutSeconds)
            return failure(QStringLiteral("--timeout: needs a whole number of seconds from 1 to "
                                          "%1, not '%2'")
                               .arg(kMaxTimeoutSeconds)
                               .arg(parser.value(timeout)));
    }
    if (parser.isSet(json)) {
        options.jsonPath = parser.value(json);
        if (options.jsonPath.isEmpty())
            return failure(QStringLiteral("--json: needs a file name"));
    }
    if (parser.isSet(junit)) {
        options.junitPath = parser.value(junit);
        if (options.junitPath.isEmpty())
            return failure(QStringLiteral("--junit: needs a file name"));
    }
    if (parser.isSet(repeat)) {
        bool number = false;
        options.repeat = parser.value(repeat).toInt(&number);
        if (!number || options.repeat < 1 || options.repeat > kMaxRepeat)
            return failure(QStringLiteral("--repeat: needs a whole number from 1 to %1, not '%2'")
                               .arg(kMaxRepeat)
                               .arg(parser.value(repeat)));
    }
    for (const QString& path : parser.values(device)) {
        struct stat node;
        if (stat(QFile::encodeName(path).constData(), &node) != 0)
            return failure(
                QStringLiteral("--device: %1: %2").arg(displayedPath(path), errorText(errno)));
        options.devices << path;
    }
    options.writeSn = parser.isSet(writeSn);
    const QString targets = targetsProblem(options);
    if (!targets.isEmpty())
        return failure(targets);
    return parsed;
}

QString displayedPath(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString absoluteLibraryPath(const QString& path)
{
    // Not cleaned: "dir/../lib.so" goes through dir as the kernel would, symbolic link or not.
    return QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path;
}

QString usageText()
{
    return QStringLiteral(
        "Usage: device-check [--library PATH] [--pin DIGITS] [--timeout SECONDS] [--json FILE]\n"
        "                    [--junit FILE] [--write-sn] [--repeat N]\n"
        "Qualifies a PIN pad device library: its functions, key chain, PIN block, buffer bounds\n"
        "and serial number, one line per check.\n"
        "\n"
        "  --library PATH     the device library file, exactly (default\n"
        "                     ./quorvel/libClientScreen.so)\n"
        "  --pin DIGITS       the PIN the tester types on the pad, 4 to 6 digits (default "
        "123456)\n"
        "  --timeout SECONDS  the longest loading or any one device call may take (default 150);\n"
        "                     a call that takes longer fails its check and ends the run\n"
        "  --json FILE        also write the results, timings and library identity as JSON\n"
        "  --junit FILE       also write the results as a JUnit XML report\n"
        "  --write-sn         also write a test serial number, read it back and restore the "
        "original\n"
        "  --repeat N         after the checks, repeat the key chain N times and report each\n"
        "                     function's failures and times and the library's growth (default\n"
        "                     1: the checks alone)\n"
        "  --device PATH      also let the library reach this device node (repeatable); serial\n"
        "                     and USB nodes are given by default\n"
        "  -h, --help         print this usage\n"
        "\n"
        "Exit code: 0 qualified (every check ran and passed), 1 not qualified, 2 the library\n"
        "cannot be loaded or the arguments are wrong.\n");
}
