// The device checker's side of the child process that hosts the device library: starts it, sends
// it one device call at a time and waits a bounded time for the answer. Whatever the library does
// to its process (crash, exit, hang, print, overrun into the guard page) comes back as a call that
// failed, named; this process loads and runs none of the library's code.
#ifndef DEVICEPROCESS_H
#define DEVICEPROCESS_H

#include "devicecheck/hostprotocol.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <sys/types.h>

struct LoadResult {
    bool loaded = false;
    QString failure;          // when not loaded: what happened, or the loader's error text
    bool loaderError = false; // failure is the loader's own text
    quint32 exported = 0;     // bit i: kDeviceFunctionNames[i] resolves
    quintptr dynamicAddress = 0;
    bool simulatorMark = false;
};

struct CallResult {
    bool returned = false; // false: see failure
    QString failure;       // what happened instead of a return, as a sentence
    int code = 0;
    double milliseconds = 0;
    QByteArray out; // the whole guarded buffer as the function left it
};

struct FunctionTimings {
    QString function;
    QVector<double> milliseconds; // one entry per call that returned, in call order
};

class DeviceProcess {
public:
    explicit DeviceProcess(int timeoutSeconds);
    ~DeviceProcess();
    DeviceProcess(const DeviceProcess&) = delete;
    DeviceProcess& operator=(const DeviceProcess&) = delete;

    // Forks the child, which loads the library at path; waits for it to load, at most the timeout.
    LoadResult start(const QString& path);
    // Calls function (a HostFunction) with these integer arguments and text in the child, out
    // being a fresh guarded buffer of which the function is told outSize bytes (-1: no output).
    // After a call that did not complete the child is gone: this one and every later call fail.
    CallResult call(int function, std::initializer_list<int> numbers, int outSize = -1,
                    const QByteArray& text = QByteArray());

    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    int timeoutSeconds() const { return m_timeoutSeconds; }
    const QVector<FunctionTimings>& timings() const { return m_timings; }
    // What the library wrote to standard output and error, its first bytes, and how much in all.
    const QByteArray& output() const { return m_output; }
    qint64 outputBytes() const { return m_outputBytes; }
    // Ends the child, if it still runs.
    void stop();

    // The first offset at or after from whose byte differs from the guard pattern, or -1.
    static int firstOverwritten(const QByteArray& out, int from);
    // How many bytes at or after from differ from the guard pattern.
    static int overwrittenCount(const QByteArray& out, int from);

private:
    enum class Read { Done, Closed, TimedOut };
    Read readAnswer(void* data, size_t size, qint64 deadline);
    void drainOutput();
    // Why the child is gone, once it has ended, as "exit status N" or "SIGNAME"; waits for it at
    // most until deadline, then ends it.
    QString ending(qint64 deadline);
    void record(const QString& function, double milliseconds);

    int m_timeoutSeconds;
    pid_t m_pid = -1;
    int m_channel = -1;
    int m_outputFd = -1;
    QByteArray m_output;
    qint64 m_outputBytes = 0;
    QVector<FunctionTimings> m_timings;
};

#endif
