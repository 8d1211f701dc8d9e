#include "childprocess.h"

#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

ChildProcess::~ChildProcess()
{
    kill();
    if (m_outputFd >= 0)
        close(m_outputFd);
}

bool ChildProcess::start(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment)
{
    return spawn(program, arguments, environment, QByteArray());
}

bool ChildProcess::startOnTerminal(const QString& program, const QStringList& arguments,
                                   const QProcessEnvironment& environment, uid_t owner)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    const QByteArray terminal = name ? QByteArray(name) : QByteArray();
    // Raw, so that what the program writes arrives as it wrote it.
    const int slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios mode;
    bool made = slave >= 0 && tcgetattr(slave, &mode) == 0;
    if (made) {
        cfmakeraw(&mode);
        made = tcsetattr(slave, TCSANOW, &mode) == 0
            && chown(name, owner, static_cast<gid_t>(-1)) == 0;
    }
    if (slave >= 0)
        close(slave);
    if (!made || !spawn(program, arguments, environment, terminal)) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("a terminal: ") + QString::fromLocal8Bit(std::strerror(errno));
        if (master >= 0)
            close(master);
        return false;
    }
    close(m_outputFd);
    m_outputFd = master;
    m_terminal = QFile::decodeName(terminal);
    return true;
}

bool ChildProcess::spawn(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment, const QByteArray& terminal)
{
    std::vector<QByteArray> argumentBytes{QFile::encodeName(program)};
    for (const QString& argument : arguments)
        argumentBytes.push_back(argument.toLocal8Bit());
    std::vector<QByteArray> environmentBytes;
    for (const QString& entry : environment.toStringList())
        environmentBytes.push_back(entry.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& argument : argumentBytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (QByteArray& entry : environmentBytes)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_error = QStringLiteral("pipe: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (terminal.isEmpty()) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, terminal.constData(),
                                         O_RDWR | O_NOCTTY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
    }
    const int spawned = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        m_pid = -1;
        m_error = program + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(spawned));
        return false;
    }
    m_outputFd = pipeFds[0];
    return true;
}

bool ChildProcess::readSome(int timeoutMs)
{
    if (m_outputFd < 0) {
        // Nothing to read any more: wait for the program to end.
        if (m_pid > 0)
            poll(nullptr, 0, qMin(timeoutMs, 10));
        reap(WNOHANG);
        return m_pid > 0;
    }
    pollfd readable{m_outputFd, POLLIN, 0};
    if (poll(&readable, 1, timeoutMs) <= 0) {
        reap(WNOHANG);
        return m_pid > 0;
    }
    char buffer[4096];
    const ssize_t got = read(m_outputFd, buffer, sizeof buffer);
    if (got > 0)
        m_output.append(buffer, static_cast<int>(got));
    else if (got == 0 || errno != EINTR) {
        // Every holder of the pipe's other end is gone.
        close(m_outputFd);
        m_outputFd = -1;
    }
    reap(WNOHANG);
    return m_pid > 0 || m_outputFd >= 0;
}

bool ChildProcess::waitForOutput(const QByteArray& text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_output.contains(text) && !deadline.hasExpired()
           && readSome(static_cast<int>(deadline.remainingTime()))) { }
    return m_output.contains(text);
}

bool ChildProcess::waitForFinished(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (m_pid > 0 && !deadline.hasExpired())
        readSome(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 100)));
    // What it wrote before it ended, even while a process it left holds the pipe open.
    while (m_pid <= 0 && m_outputFd >= 0) {
        pollfd readable{m_outputFd, POLLIN, 0};
        if (poll(&readable, 1, 0) <= 0)
            break;
        readSome(0);
    }
    return m_pid <= 0;
}

void ChildProcess::kill()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    reap(0);
}

void ChildProcess::reap(int options)
{
    if (m_pid <= 0)
        return;
    int status = 0;
    pid_t ended;
    while ((ended = waitpid(m_pid, &status, options)) < 0 && errno == EINTR) { }
    if (ended != m_pid || !(WIFEXITED(status) || WIFSIGNALED(status)))
        return;
    m_pid = -1;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}
