// Runs device functions one at a time on a worker thread, each with an output buffer far larger
// than the size it is told and filled with a guard pattern, and waits a bounded time for it: a
// library that overruns its buffer is seen, not suffered, and one that never returns cannot hang
// the checker.
#ifndef DEVICECALLER_H
#define DEVICECALLER_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

struct CallResult {
    bool returned = false; // false: no return within the timeout (or the caller had stopped)
    bool threw = false;    // the function threw a C++ exception instead of returning
    int code = 0;
    double milliseconds = 0;
    QByteArray out; // the whole guarded buffer as the function left it
};

struct FunctionTimings {
    QString function;
    QVector<double> milliseconds; // one entry per call that returned, in call order
};

class DeviceCaller {
public:
    // Bytes in every output buffer; the sizes passed to the device are far below it.
    static constexpr int kBufferSize = 4096;

    explicit DeviceCaller(int timeoutSeconds);

    // Calls body(out) on a worker thread, out being a fresh guarded buffer, and records the wall
    // time of the call under function. After a call that did not return, the device's state is
    // unknown: this one and every later call are abandoned.
    CallResult call(const QString& function, std::function<int(char* out)> body);

    bool stopped() const { return m_stopped; }
    int timeoutSeconds() const { return m_timeoutSeconds; }
    const QVector<FunctionTimings>& timings() const { return m_timings; }

    // The first offset at or after from whose byte differs from the guard pattern, or -1.
    static int firstOverwritten(const QByteArray& out, int from);
    // How many bytes at or after from differ from the guard pattern.
    static int overwrittenCount(const QByteArray& out, int from);

private:
    void record(const QString& function, double milliseconds);

    int m_timeoutSeconds;
    bool m_stopped = false;
    QVector<FunctionTimings> m_timings;
};

#endif
