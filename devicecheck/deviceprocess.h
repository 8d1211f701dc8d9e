// The device checker's side of the library host (device-check-host): starts it fresh with exec,
// inside bubblewrap's namespaces where they can be had and directly otherwise, sends it one device
// call at a time and waits a bounded time for the answer. Whatever the library does to its
// process (crash, exit, hang, print, overrun into the guard page, a call the filter refuses) comes
// back as a call that failed, named; this process loads and runs none of the library's code.
// Every process the library starts is ended and reaped before it is done with.
#ifndef DEVICEPROCESS_H
#define DEVICEPROCESS_H

#include "devicecheck/hostcommand.h"
#include "libraryhost/hostprotocol.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <initializer_list>

#include <sys/types.h>

struct LoadResult {
    bool loaded = false;
    QString failure;          // when not loaded: what happened, or the loader's error text
    bool loaderError = false; // failure is the loader's own text
};

// A call the filter refused, and when.
struct Refusal {
    QString call;   // "kill()"; empty when only the process's SIGSYS ending tells of it
    QString target; // " on the checker", or empty
    bool byLibrary; // made by the library's own process, not one it started
    QString when;   // "during SetPwMkey", "while loading", "after the last call"

    // "the library tried kill() on the checker during SetPwMkey; the sandbox ended its process"
    QString sentence() const;
};

struct CallResult {
    bool returned = false; // false: see failure
    QString failure;       // what happened instead of a return, as a sentence
    int code = 0;
    double milliseconds = 0; // the call's round trip as this process measured it
    QByteArray out;          // the whole guarded buffer as the function left it
};

struct FunctionTimings {
    QString function;
    QVector<double> milliseconds; // one entry per call that returned, in call order
};

class DeviceProcess {
public:
    // How long ending every process of the library's may take, on the way out of a run or of a
    // signal alike.
    static constexpr qint64 kEndingMs = 5000;

    explicit DeviceProcess(int timeoutSeconds);
    ~DeviceProcess();
    DeviceProcess(const DeviceProcess&) = delete;
    DeviceProcess& operator=(const DeviceProcess&) = delete;

    // Starts the host for launch.library and waits for it to load
    // the library, at most the timeout.
    LoadResult start(const HostLaunch& launch);
    // Empty when the sandbox holds: the host in its namespaces and under its filter. Otherwise what
    // is missing and why.
    const QString& sandboxProblem() const { return m_sandboxProblem; }
    bool inNamespaces() const { return m_inNamespaces; }
    // Calls function (a HostFunction) with these integer arguments and text in the host, out
    // being a fresh guarded buffer of which the function is told outSize bytes (-1: no output).
    // After a call that did not complete the host is gone: this one and every later call fail.
    CallResult call(int function, std::initializer_list<int> numbers, int outSize = -1,
                    const QByteArray& text = QByteArray());
    // The round trip of a request the host answers without calling the library, in
    // milliseconds: what the process boundary adds to every call. Negative when it got no answer.
    double echo();

    bool running() const { return m_pid > 0; }
    // The host's process as this process numbers it: what /proc/<pid> shows of the library; -1
    // when it is not known or has ended.
    pid_t hostPid() const { return running() ? m_hostPid : -1; }
    int timeoutSeconds() const { return m_timeoutSeconds; }
    const QVector<FunctionTimings>& timings() const { return m_timings; }
    // What the library wrote to standard output and error, its first bytes, and how much in all.
    const QByteArray& output() const { return m_output; }
    qint64 outputBytes() const { return m_outputBytes; }
    // Ends the library's process at once, and every process it started.
    void stop();
    // Ends the library's processes when every call is made: the host is let unload the library for
    // a moment first, then everything is ended; output is read to its end.
    void finish();
    // Refusals that failed no call or load: made after the last call, or while the library's
    // processes were being ended.
    QVector<Refusal> refusalsOutsideCalls() const { return m_refusals.mid(m_refusalsUsed); }
    // False when a process of the library's could not be ended within kEndingMs.
    bool allEnded() const { return m_allEnded; }

    // The first offset at or after from whose byte differs from the guard pattern, or -1.
    static int firstOverwritten(const QByteArray& out, int from);
    // How many bytes at or after from differ from the guard pattern.
    static int overwrittenCount(const QByteArray& out, int from);

private:
    enum class Read { Done, Closed, TimedOut, Refused };
    // Starts the program of command with the protocol's descriptors; false, with the reason in
    // problem, when it cannot be started.
    bool launch(const QByteArrayList& command, const HostLaunch& launch, QString* problem);
    // Reads size bytes from the channel by deadline, reading the library's output meanwhile; a
    // call the filter refused meanwhile was refused when.
    Read readAnswer(void* data, size_t size, qint64 deadline, const QString& when);
    void drainOutput();
    // Reads what bubblewrap said of why it could not set the sandbox up, once it has ended.
    QString setupFailure(qint64 deadline);
    // Reads the filter's records, each refused when; true when there was one.
    bool readRefusals(const QString& when);
    // The first refusal no call has been failed for, as a sentence, every one now counted as
    // used; empty when there is none.
    QString useRefusals();
    // Why the library's process is gone, as the sentence "the library <ended the process with
    // SIGABRT> <when>": a refused call first, otherwise its ending, waited for at most until
    // deadline. Only an exit or a signal that ended it is an ending: a stopped process is ended.
    QString gone(const QString& when, qint64 deadline);
    // Kills every process of the library's and reaps it, reading its output meanwhile; a refusal
    // read meanwhile was made when.
    void endAll(const QString& when);
    void record(const QString& function, double milliseconds);
    void closeDescriptors();

    int m_timeoutSeconds;
    pid_t m_pid = -1;     // the process started: bubblewrap, or the host itself; until it is reaped
    pid_t m_hostPid = -1; // the host, as this process numbers it
    pid_t m_hostOwnPid = -1; // the host, as it numbers itself in its pid namespace
    bool m_inNamespaces = false;
    int m_channel = -1;
    int m_outputFd = -1;
    int m_reportFd = -1;
    // bubblewrap's own complaints, kept open until the end: its processes' standard error.
    int m_setupFd = -1;
    QString m_sandboxProblem;
    bool m_filtered = false;     // the filter is in place in the host
    QVector<Refusal> m_refusals; // the first refusals read, in order
    int m_refusalCount = 0;
    int m_refusalsUsed = 0; // how many of them a failed call or load has reported
    bool m_allEnded = true;
    QByteArray m_output;
    qint64 m_outputBytes = 0;
    QVector<FunctionTimings> m_timings;
};

#endif
