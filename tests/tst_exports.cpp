// The executable exports the key wrapper's two functions in its dynamic symbol table.
#include <QDeadlineTimer>
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
};

void TestExports::wrapperFunctionsAreDynamicSymbols_data()
{
    QTest::addColumn<QString>("signature");
    QTest::newRow("pinpadEnAndDec") << "pinpadEnAndDec(char*, int, char*, int, char*, int, int)";
    QTest::newRow("generateKey") << "generateKey[abi:cxx11](int)";
}

struct NmRun {
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
    QString error;
};

// Runs nm on the executable and collects its standard output. posix_spawn rather than QProcess:
// Qt 5.15's QProcess starts children with clone(CLONE_PIDFD), which qemu-user before 8.0 (Debian
// 12's qemu-aarch64-static, under which aarch64 builds run this test) refuses.
static NmRun runNm()
{
    NmRun run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        run.error = QStringLiteral("pipe: ") + QString::fromUtf8(std::strerror(errno));
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    char nm[] = NM_PATH, dynamic[] = "-D", demangle[] = "-C", defined[] = "--defined-only",
         tool[] = TOOL_PATH;
    char* const argv[] = {nm, dynamic, demangle, defined, tool, nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, nm, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        run.error = QStringLiteral(NM_PATH ": ") + QString::fromUtf8(std::strerror(spawned));
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
            run.error = QStringLiteral(NM_PATH " did not finish within 30 s");
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
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!run.error.isEmpty())
        return run;
    if (WIFEXITED(status)) {
        run.finished = true;
        run.exitCode = WEXITSTATUS(status);
    } else {
        run.error = QStringLiteral(NM_PATH " ended without an exit code");
    }
    return run;
}

void TestExports::wrapperFunctionsAreDynamicSymbols()
{
    QFETCH(QString, signature);
    const NmRun nm = runNm();
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

QTEST_MAIN(TestExports)
#include "tst_exports.moc"
