#include "devicecheck/checkreport.h"

#include "util/visibletext.h"

#include <QDateTime>
#include <QJsonArray>

#include <algorithm>

namespace {
QString statusWord(CheckStatus status)
{
    switch (status) {
    case CheckStatus::Pass:
        return QStringLiteral("PASS");
    case CheckStatus::Fail:
        return QStringLiteral("FAIL");
    case CheckStatus::Skip:
        break;
    }
    return QStringLiteral("SKIP");
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

QString milliseconds(double value)
{
    return QString::number(value, 'f', 3) + QStringLiteral(" ms");
}
}

int CheckReport::count(CheckStatus status) const
{
    return static_cast<int>(
        std::count_if(m_results.begin(), m_results.end(),
                      [status](const CheckResult& r) { return r.status == status; }));
}

QStringList CheckReport::notQualifiedBecause() const
{
    const auto checks = [](int count) {
        return count == 1 ? QStringLiteral("1 check") : QStringLiteral("%1 checks").arg(count);
    };
    QStringList reasons;
    const int failed = count(CheckStatus::Fail);
    const int notRun = static_cast<int>(
        std::count_if(m_results.begin(), m_results.end(), [](const CheckResult& r) {
            return r.status == CheckStatus::Skip && !r.excused;
        }));
    if (failed > 0)
        reasons << checks(failed) + QStringLiteral(" failed");
    if (notRun > 0)
        reasons << checks(notRun) + QStringLiteral(" not run");
    if (!m_library.confirmed())
        reasons << QStringLiteral("the library's identity is unconfirmed");
    if (!m_refusals.isEmpty())
        reasons << QStringLiteral("the sandbox refused a call outside the checks");
    if (!m_allProcessesEnded)
        reasons << QStringLiteral("a process of the library's could not be ended");
    return reasons;
}

int CheckReport::exitCode() const
{
    if (!m_loadFailure.isEmpty())
        return kUnusable;
    return qualified() ? kQualified : kNotQualified;
}

QString CheckReport::identityLine(const LibraryIdentity& identity)
{
    QString text = QStringLiteral("library: ")
        + (identity.path.isEmpty() ? QStringLiteral("(path unknown)") : visibleText(identity.path))
        + QStringLiteral(" sha256=")
        + (identity.confirmed() ? identity.sha256 : QStringLiteral("unconfirmed"));
    if (identity.simulator)
        text += QStringLiteral(" (模拟设备)");
    return text;
}

QString CheckReport::line(const CheckResult& result)
{
    QString text = statusWord(result.status) + QLatin1Char(' ') + result.id + QStringLiteral(": ")
        + result.detail;
    if (result.milliseconds >= 0)
        text += QStringLiteral(" [") + milliseconds(result.milliseconds) + QLatin1Char(']');
    return text;
}

QStringList CheckReport::timingLines() const
{
    QStringList lines;
    for (const FunctionTimings& timings : m_timings) {
        if (timings.milliseconds.size() < 2)
            continue;
        lines << QStringLiteral("median %1 %2 over %3 calls")
                     .arg(timings.function, -17)
                     .arg(milliseconds(median(timings.milliseconds)), 12)
                     .arg(timings.milliseconds.size());
    }
    return lines;
}

QString CheckReport::summaryLine() const
{
    const QStringList because = notQualifiedBecause();
    return QStringLiteral("%1 passed, %2 failed, %3 skipped; %4")
        .arg(count(CheckStatus::Pass))
        .arg(count(CheckStatus::Fail))
        .arg(count(CheckStatus::Skip))
        .arg(because.isEmpty() ? QStringLiteral("qualified")
                               : QStringLiteral("not qualified: ") + because.join(", "));
}

QJsonObject CheckReport::toJson(const QString& toolVersion) const
{
    QJsonObject library{{"path", m_library.path},
                        {"sha256", m_library.sha256},
                        {"identityConfirmed", m_library.confirmed()},
                        {"simulator", m_library.simulator}};
    if (!m_loadFailure.isEmpty())
        library.insert("loadFailure", m_loadFailure);
    if (!m_libraryOutput.isEmpty())
        library.insert("output", m_libraryOutput);

    QJsonArray checks;
    for (const CheckResult& result : m_results) {
        QJsonObject check{
            {"id", result.id}, {"result", statusWord(result.status)}, {"detail", result.detail}};
        check.insert("milliseconds",
                     result.milliseconds >= 0 ? QJsonValue(result.milliseconds) : QJsonValue());
        checks.append(check);
    }

    QJsonArray functions;
    for (const FunctionTimings& timings : m_timings) {
        QJsonArray calls;
        for (double value : timings.milliseconds)
            calls.append(value);
        functions.append(QJsonObject{{"function", timings.function},
                                     {"milliseconds", calls},
                                     {"medianMilliseconds", median(timings.milliseconds)}});
    }

    return QJsonObject{
        {"tool", "device-check"},
        {"version", toolVersion},
        {"finished", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {"library", library},
        {"keys",
         QJsonObject{{"mainKeyCheckValue", m_mainKeyCheckValue},
                     {"workKeyCheckValue", m_workKeyCheckValue}}},
        {"checks", checks},
        {"functions", functions},
        {"sandbox",
         QJsonObject{{"available", m_sandboxProblem.isEmpty()},
                     {"unavailableBecause", m_sandboxProblem},
                     {"refusedOutsideChecks", QJsonArray::fromStringList(m_refusals)},
                     {"allProcessesEnded", m_allProcessesEnded}}},
        {"summary",
         QJsonObject{{"passed", count(CheckStatus::Pass)},
                     {"failed", count(CheckStatus::Fail)},
                     {"skipped", count(CheckStatus::Skip)},
                     {"notQualifiedBecause", QJsonArray::fromStringList(notQualifiedBecause())}}},
        {"qualified", qualified()},
        {"exitCode", exitCode()}};
}
