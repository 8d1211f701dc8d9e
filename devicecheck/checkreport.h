// The outcome of one run of the device checker: the library that answered, one result per check,
// the wall time of every device call and whether the library qualifies; as the lines the checker
// prints and as JSON evidence.
#ifndef CHECKREPORT_H
#define CHECKREPORT_H

#include "devicecheck/checkoptions.h"
#include "devicecheck/deviceprocess.h"
#include "devicecheck/hostidentity.h"
#include "devicecheck/soak.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

enum class CheckStatus { Pass, Fail, Skip };

struct CheckResult {
    QString id;
    CheckStatus status = CheckStatus::Skip;
    QString detail;
    double milliseconds = -1; // wall time of the check's device calls; negative when none was made
    bool excused = false;     // a skip the tester chose (no --write-sn, no --repeat)

    static CheckResult pass(const QString& detail, double milliseconds = -1)
    {
        return {QString(), CheckStatus::Pass, detail, milliseconds, false};
    }
    static CheckResult fail(const QString& detail, double milliseconds = -1)
    {
        return {QString(), CheckStatus::Fail, detail, milliseconds, false};
    }
    static CheckResult skip(const QString& detail, bool excused = false)
    {
        return {QString(), CheckStatus::Skip, detail, -1, excused};
    }
};

// A file the run used, by its path and SHA-256.
struct NamedFile {
    QString path;
    QString sha256; // empty when it could not be read
};

// The run as the evidence records it beside the results: what it was asked, when and where it
// ran, how long it took, and which key library did its cryptography.
struct RunContext {
    CheckOptions options;
    QDateTime started; // UTC
    double wallMilliseconds = 0;
    QString host;
    QString version;
    NamedFile keyLibrary;
};

// The key library this process is linked against, found by one of its functions.
NamedFile keyLibraryIdentity();

class CheckReport {
public:
    // Exit codes: qualified, not qualified, the library or the arguments are unusable.
    static constexpr int kQualified = 0;
    static constexpr int kNotQualified = 1;
    static constexpr int kUnusable = 2;

    void setIdentity(const HostIdentity& identity) { m_identity = identity; }
    void setContext(const RunContext& context) { m_context = context; }
    void setLoadFailure(const QString& reason) { m_loadFailure = reason; }
    void add(const CheckResult& result) { m_results.append(result); }
    void setTimings(const QVector<FunctionTimings>& timings) { m_timings = timings; }
    // The check values of the run's main and work key, in hex.
    void setKeyCheckValues(const QString& mainKey, const QString& workKey)
    {
        m_mainKeyCheckValue = mainKey;
        m_workKeyCheckValue = workKey;
    }
    // What the library wrote to standard output or error, escaped.
    void setLibraryOutput(const QString& shown) { m_libraryOutput = shown; }
    // Why the sandbox does not hold, empty when it does; whether the host ran in its namespaces.
    void setSandbox(const QString& problem, bool namespaces)
    {
        m_sandboxProblem = problem;
        m_namespaces = namespaces;
    }
    // A call the sandbox refused outside the checks, as a sentence.
    void addRefusal(const QString& sentence) { m_refusals.append(sentence); }
    void setAllProcessesEnded(bool ended) { m_allProcessesEnded = ended; }
    // The figures of the rounds of the key chain after the checks, when there were any.
    void setSoak(const Soak& soak) { m_soak = soak; }
    const Soak& soak() const { return m_soak; }

    const QVector<CheckResult>& results() const { return m_results; }
    const HostIdentity& identity() const { return m_identity; }
    const LibraryIdentity& library() const { return m_identity.library; }
    int count(CheckStatus status) const;
    // Qualified: the library loaded, every check ran and passed but those the tester excused, its
    // identity is confirmed, the sandbox refused nothing outside the checks and every process of
    // the library's was ended.
    bool qualified() const { return notQualifiedBecause().isEmpty(); }
    // Why it is not qualified: the load failure first, then "1 check failed", "6 checks not
    // run", ...
    QStringList notQualifiedBecause() const;
    int exitCode() const;

    // "library: <path> sha256=<hex>", " (模拟设备)" after it for the simulator;
    // "sha256=unconfirmed" when the hashed file cannot be shown to be the mapped one; then
    // "; also mapped: <path> sha256=<hex>, ..." for every other file the library's process mapped
    // from outside the system's folders. The paths shown escaped.
    static QString identityLine(const HostIdentity& identity,
                                const QString& label = QStringLiteral("library: "));
    // "PASS <id>: <detail>", with the wall time of its calls after the detail.
    static QString line(const CheckResult& result);
    // The median call time of each function called more than once, one line each.
    QStringList timingLines() const;
    // "N passed, M failed, K skipped; qualified", or "; not qualified: " and why.
    QString summaryLine() const;
    QJsonObject toJson(const QString& toolVersion) const;
    // The same as a JUnit XML report for a lab's CI: one testsuite "device-check", a testcase per
    // check and one, "qualified", that fails when the library does not qualify; the library's
    // identity and the keys' check values as properties. A run whose library did not load is one
    // testcase, "load", in error.
    QByteArray toJUnit(const QString& toolVersion) const;

private:
    HostIdentity m_identity;
    RunContext m_context;
    QString m_loadFailure;
    QVector<CheckResult> m_results;
    QVector<FunctionTimings> m_timings;
    QString m_mainKeyCheckValue;
    QString m_workKeyCheckValue;
    QString m_libraryOutput;
    QString m_sandboxProblem;
    bool m_namespaces = false;
    QStringList m_refusals;
    bool m_allProcessesEnded = true;
    Soak m_soak;
};

#endif
