// A program the tests run, with its standard output read back: started with posix_spawn rather
// than QProcess, because Qt 5.15's QProcess starts children with clone(CLONE_PIDFD), which
// qemu-user before 8.0 (Debian 12's qemu-aarch64-static, under which the aarch64 build's tests run)
// refuses. Standard error is this process's.
#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>

class ChildProcess {
public:
    ChildProcess() = default;
    // Kills the program if it still runs, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program (a path, or a name looked up in PATH) with arguments and environment; false,
    // with error(), when it cannot be started.
    bool start(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    // The same with a terminal of its own, owned by owner, as its standard input and output
    // instead of the pipe: what it writes there is its output.
    bool startOnTerminal(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment, uid_t owner);
    // Reads its output until it holds text, the program has ended or timeoutMs has passed; true
    // when it holds text.
    bool waitForOutput(const QByteArray& text, int timeoutMs);
    // Reads its output until the program has ended, at most timeoutMs; true when it has ended.
    bool waitForFinished(int timeoutMs);
    void kill();

    pid_t pid() const { return m_pid; }
    // The terminal's path, when it was started on one.
    QString terminal() const { return m_terminal; }
    const QByteArray& output() const { return m_output; }
    QString error() const { return m_error; }
    // Once it has ended: its exit status, or -1 when a signal ended it, which signal() then names.
    int exitCode() const { return m_exitCode; }
    int signal() const { return m_signal; }

private:
    bool spawn(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment, const QByteArray& terminal);
    // Reads what there is within timeoutMs; false once the program has ended and nothing is left.
    bool readSome(int timeoutMs);
    void reap(int options);

    pid_t m_pid = -1;
    int m_outputFd = -1;
    QString m_terminal;
    QByteArray m_output;
    QString m_error;
    int m_exitCode = -1;
    int m_signal = 0;
};

#endif
