// The figures of a soak run, the key chain repeated many times in one library process: each
// function's calls, failures and times, the rounds that failed and why, the library process's
// resident size and open descriptors over the rounds, and what the process boundary adds to a
// call. Judges whether the process grows: a library that leaks a little per call is what breaks
// a branch office after months, not after one run.
#ifndef SOAK_H
#define SOAK_H

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

class Soak {
public:
    // The rounds before the first sample: the library's caches and the allocator's pools fill.
    static constexpr int kWarmUpRounds = 10;
    // Resident growth, in KiB per 100 rounds, that a leak shows and a clean library does not: a
    // few pages of allocator growth settle within the warm-up; 16 pages per 100 rounds, in both
    // halves of the run, do not.
    static constexpr double kResidentGrowthKiB = 64;
    // The fewest rounds whose samples judge the growth: three after the warm-up.
    static constexpr int kRoundsToJudge = kWarmUpRounds + 2;

    struct Sample {
        int round;
        qint64 residentKiB; // VmRSS
        int descriptors;    // entries of /proc/<pid>/fd
    };
    struct Failure {
        int round;
        QString function;
        QString detail;
    };

    Soak() = default;
    explicit Soak(int rounds)
        : m_rounds(rounds)
    {
    }

    // A call of a round, and its time when it returned.
    void addCall(const QString& function, bool returned, double milliseconds);
    // What the process boundary alone took once: a request the library's process answered
    // without calling the library.
    void addBoundary(double milliseconds);
    // A round that failed, and why: "SetPwMkey refused with -115 this round's main key".
    void addFailure(int round, const QString& function, const QString& detail);
    // The library's process after round, read from /proc; when it cannot be read, the growth is
    // not judged, and why is kept.
    void sample(int round, qint64 pid);
    // Why the growth could not be judged although the rounds were enough: /proc hid the process
    // from the checker. Empty otherwise.
    const QString& unreadable() const { return m_unreadable; }
    // Whether the samples judge the growth.
    bool growthJudged() const;

    int rounds() const { return m_rounds; }
    int roundsRun() const { return m_roundsRun; }
    void setRoundsRun(int rounds) { m_roundsRun = rounds; }
    int failedRounds() const;
    // The first failure; only when there is one.
    const Failure& firstFailure() const { return m_failures.constFirst(); }
    // The library's own time for every call that returned.
    double milliseconds() const;
    // Why the growth over the rounds after the warm-up is a leak, "; "-joined; empty when it is
    // not. Judged from the samples at the warm-up's end, halfway and at the end: growth above the
    // threshold in both halves, so that a one-time step is not taken for a leak.
    QString growthProblem() const;
    // One line per function, then the growth and the process boundary's cost per call.
    QStringList lines() const;
    QJsonObject toJson() const;

private:
    struct Function {
        QString name;
        int calls = 0;
        int failed = 0;
        QVector<double> milliseconds; // of the calls that returned
    };

    Function& function(const QString& name);
    // The samples growthProblem compares; false when there are too few.
    bool judged(Sample* first, Sample* middle, Sample* last) const;

    int m_rounds = 0;
    int m_roundsRun = 0;
    QVector<Function> m_functions;
    QVector<Failure> m_failures;
    QVector<Sample> m_samples;
    QVector<double> m_boundary; // the process boundary's round trips
    QString m_unreadable;
};

#endif
