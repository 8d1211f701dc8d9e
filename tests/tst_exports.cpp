// The executable exports the key wrapper's two functions in its dynamic symbol table, and no binary
// of ours searches a relative directory for libraries or names a library by a path.
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

class TestExports : public QObject {
    Q_OBJECT
private slots:
    void wrapperFunctionsAreDynamicSymbols_data();
    void wrapperFunctionsAreDynamicSymbols();
    void dynamicEntriesHaveNoRelativePath_data();
    void dynamicEntriesHaveNoRelativePath();
};

void TestExports::wrapperFunctionsAreDynamicSymbols_data()
{
    QTest::addColumn<QString>("signature");
    QTest::newRow("pinpadEnAndDec") << "pinpadEnAndDec(char*, int, char*, int, char*, int, int)";
    QTest::newRow("generateKey") << "generateKey[abi:cxx11](int)";
}

struct ProgramRun {
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
    QString error;
};

// Runs a binutils program (argv[0], a path) and collects its standard output. posix_spawn rather
// than QProcess: Qt 5.15's QProcess starts children with clone(CLONE_PIDFD), which qemu-user
// before 8.0 (Debian 12's qemu-aarch64-static, under which aarch64 builds run this test) refuses.
static ProgramRun runProgram(char* const argv[])
{
    const QString program = QString::fromLocal8Bit(argv[0]);
    ProgramRun run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        run.error = QStringLiteral("pipe: ") + QString::fromUtf8(std::strerror(errno));
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        run.error = program + ": " + QString::fromUtf8(std::strerror(spawned));
        return run;
    }
    const QDeadlineTimer deadline(30000);
    char buffer[4096];
    for (;;) {
        pollfd readable{pipeFds[0], POLLIN, 0};
        const int ready = poll(&readable, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            kill(pid, SIGKILL);
            run.error = program + " did not finish within 30 s";
            break;
        }
        const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        run.output.append(buffer, int(got));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    if (!run.error.isEmpty())
        return run;
    if (WIFEXITED(status)) {
        run.finished = true;
        run.exitCode = WEXITSTATUS(status);
    } else {
        run.error = program + " ended without an exit code";
    }
    return run;
}

void TestExports::wrapperFunctionsAreDynamicSymbols()
{
    QFETCH(QString, signature);
    char nmPath[] = NM_PATH, dynamic[] = "-D", demangle[] = "-C", defined[] = "--defined-only",
         tool[] = TOOL_PATH;
    char* const argv[] = {nmPath, dynamic, demangle, defined, tool, nullptr};
    const ProgramRun nm = runProgram(argv);
    QVERIFY2(nm.finished, qPrintable(nm.error));
    QCOMPARE(nm.exitCode, 0);
    const QStringList lines = QString::fromUtf8(nm.output).split('\n');
    bool found = false;
    for (const QString& line : lines) {
        // "<address> T <name>": defined in the text section and visible to the dynamic linker
        const QStringList fields = line.split(' ');
        if (fields.size() >= 3 && fields[1] == "T" && line.endsWith(" " + signature))
            found = true;
    }
    QVERIFY2(found, qPrintable(signature + " missing from the dynamic symbol table"));
}

void TestExports::dynamicEntriesHaveNoRelativePath_data()
{
    QTest::addColumn<QByteArray>("binary");
    QTest::addColumn<QString>("tag");
    const QList<QPair<const char*, QByteArray>> binaries{
        {"tool", QByteArray(TOOL_PATH)},
        {"key library", QByteArray(KEYLIB_PATH)},
        {"simulator", QByteArray(SIMULATOR_PATH)},
        {"device-check", QByteArray(DEVICE_CHECK_PATH)},
    };
    for (const auto& binary : binaries) {
        for (const QString tag : {"RUNPATH", "NEEDED"}) {
            QTest::addRow("%s %s", binary.first, qPrintable(tag)) << binary.second << tag;
        }
    }
}

// RUNPATH (or RPATH): an empty entry means the working directory to the loader, and a relative one
// a directory below it: either lets a library planted where the tool is started run in it.
// $ORIGIN, the binary's own directory, is absolute.
// NEEDED: a name with a '/' is opened as that path, relative to the working directory unless it
// starts with one, and not searched for at all; every entry must be a bare name.
void TestExports::dynamicEntriesHaveNoRelativePath()
{
    QFETCH(QByteArray, binary);
    QFETCH(QString, tag);
    char readelfPath[] = READELF_PATH, dynamic[] = "--dynamic", wide[] = "--wide";
    char* const argv[] = {readelfPath, dynamic, wide, binary.data(), nullptr};
    const ProgramRun readelf = runProgram(argv);
    QVERIFY2(readelf.finished, qPrintable(readelf.error));
    QCOMPARE(readelf.exitCode, 0);
    const QString output = QString::fromUtf8(readelf.output);
    QVERIFY2(output.contains("Dynamic section at offset"),
             qPrintable("no dynamic section:\n" + output));

    // "... (RUNPATH)  Library runpath: [a:b]", "... (NEEDED)  Shared library: [libc.so.6]"
    const bool needed = tag == "NEEDED";
    const QRegularExpression entryLine(
        needed ? R"(\(NEEDED\)\s+Shared library: \[(.*)\]$)"
               : R"(\((?:RPATH|RUNPATH)\)\s+Library r(?:un)?path: \[(.*)\]$)",
        QRegularExpression::MultilineOption);
    const QRegularExpression absoluteEntry(R"(^(/|\$ORIGIN(/|$)|\$\{ORIGIN\}(/|$)))");
    QRegularExpressionMatchIterator lines = entryLine.globalMatch(output);
    int count = 0;
    while (lines.hasNext()) {
        const QString value = lines.next().captured(1);
        ++count;
        if (needed) {
            QVERIFY2(!value.contains('/'), qPrintable(QString("NEEDED entry \"%1\"").arg(value)));
            continue;
        }
        for (const QString& entry : value.split(':')) {
            QVERIFY2(absoluteEntry.match(entry).hasMatch(),
                     qPrintable(QString("entry \"%1\" in [%2]").arg(entry, value)));
        }
    }
    // Each binary links at least the C library, so a NEEDED line that no longer matches the
    // pattern fails here rather than passing unchecked.
    if (needed)
        QVERIFY2(count > 0, qPrintable("no NEEDED entry read:\n" + output));
}

QTEST_MAIN(TestExports)
#include "tst_exports.moc"
