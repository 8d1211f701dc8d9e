#include "devicecheck/soak.h"

#include "devicecheck/statistics.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>

namespace {

// KiB per 100 rounds between two samples.
double residentRate(const Soak::Sample& from, const Soak::Sample& to)
{
    return 100.0 * static_cast<double>(to.residentKiB - from.residentKiB) / (to.round - from.round);
}

QJsonObject sampleJson(const Soak::Sample& sample)
{
    return QJsonObject{{"round", sample.round},
                       {"residentKiB", sample.residentKiB},
                       {"descriptors", sample.descriptors}};
}
}

void Soak::addCall(const QString& name, bool returned, double milliseconds)
{
    Function& counted = function(name);
    ++counted.calls;
    if (returned)
        counted.milliseconds.append(milliseconds);
}

void Soak::addBoundary(double milliseconds)
{
    if (milliseconds >= 0)
        m_boundary.append(milliseconds);
}

void Soak::addFailure(int round, const QString& name, const QString& detail)
{
    ++function(name).failed;
    m_failures.append({round, name, detail});
}

void Soak::sample(int round, qint64 pid)
{
    if (!m_unreadable.isEmpty())
        return;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    qint64 resident = -1;
    if (status.open(QIODevice::ReadOnly)) {
        // A /proc file reports size 0: read line by line until an empty read.
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
            if (line.startsWith("VmRSS:"))
                resident = line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    // A process that made itself not dumpable hides its descriptors: its growth cannot be judged.
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
    const QStringList entries =
        descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    if (resident < 0)
        m_unreadable = QStringLiteral("/proc/%1/status gave no resident size").arg(pid);
    // Never empty for a process that answers on its channel, unless it cannot be read.
    else if (entries.isEmpty())
        m_unreadable = QStringLiteral("/proc/%1/fd cannot be read").arg(pid);
    else
        m_samples.append({round, resident, entries.size()});
}

int Soak::failedRounds() const
{
    int count = 0;
    for (int i = 0; i < m_failures.size(); ++i)
        if (i == 0 || m_failures[i].round != m_failures[i - 1].round)
            ++count;
    return count;
}

bool Soak::growthJudged() const
{
    Sample first, middle, last;
    return judged(&first, &middle, &last);
}

bool Soak::judged(Sample* first, Sample* middle, Sample* last) const
{
    if (!m_unreadable.isEmpty())
        return false;
    QVector<Sample> after;
    for (const Sample& sample : m_samples)
        if (sample.round >= kWarmUpRounds)
            after.append(sample);
    if (after.size() < 3)
        return false;
    *first = after.constFirst();
    *middle = after[after.size() / 2];
    *last = after.constLast();
    return true;
}

double Soak::milliseconds() const
{
    double total = 0;
    for (const Function& counted : m_functions)
        for (const double value : counted.milliseconds)
            total += value;
    return total;
}

QString Soak::growthProblem() const
{
    Sample first, middle, last;
    if (!judged(&first, &middle, &last))
        return QString();
    QStringList problems;
    if (residentRate(first, middle) > kResidentGrowthKiB
        && residentRate(middle, last) > kResidentGrowthKiB)
        problems << QStringLiteral("its resident size grew from %1 to %2 KiB over rounds %3 to %4 "
                                   "(%5 KiB per 100 rounds), above %6 KiB per 100 rounds in both "
                                   "halves")
                        .arg(first.residentKiB)
                        .arg(last.residentKiB)
                        .arg(first.round)
                        .arg(last.round)
                        .arg(residentRate(first, last), 0, 'f', 0)
                        .arg(kResidentGrowthKiB);
    // Not one descriptor a round is needed: any that stays open, again and again, is a leak.
    if (middle.descriptors > first.descriptors && last.descriptors > middle.descriptors)
        problems << QStringLiteral("its open descriptors grew from %1 to %2 over rounds %3 to %4, "
                                   "in both halves")
                        .arg(first.descriptors)
                        .arg(last.descriptors)
                        .arg(first.round)
                        .arg(last.round);
    return problems.join(QStringLiteral("; "));
}

QStringList Soak::lines() const
{
    QStringList lines;
    for (const Function& counted : m_functions)
        lines << QStringLiteral("soak %1 %2 calls, %3 failed; median %4, 95th percentile %5, "
                                "max %6")
                     .arg(counted.name, -17)
                     .arg(counted.calls, 6)
                     .arg(counted.failed)
                     .arg(millisecondsText(median(counted.milliseconds)),
                          millisecondsText(percentile(counted.milliseconds, 95)),
                          millisecondsText(percentile(counted.milliseconds, 100)));
    Sample first, middle, last;
    if (judged(&first, &middle, &last))
        lines << QStringLiteral("soak growth over rounds %1 to %2: resident size %3 to %4 KiB "
                                "(%5 KiB per 100 rounds), open descriptors %6 to %7")
                     .arg(first.round)
                     .arg(last.round)
                     .arg(first.residentKiB)
                     .arg(last.residentKiB)
                     .arg(residentRate(first, last), 0, 'f', 1)
                     .arg(first.descriptors)
                     .arg(last.descriptors);
    else if (!m_unreadable.isEmpty())
        lines << QStringLiteral("soak growth: not judged, %1").arg(m_unreadable);
    else
        lines << QStringLiteral("soak growth: not judged, fewer than 3 rounds after the %1 of the "
                                "warm-up; --repeat %2 or more judges it")
                     .arg(kWarmUpRounds)
                     .arg(kRoundsToJudge);
    if (!m_boundary.isEmpty())
        lines << QStringLiteral("soak process boundary: median %1 a call (a request the library's "
                                "process answers without calling the library), 95th percentile %2")
                     .arg(millisecondsText(median(m_boundary)),
                          millisecondsText(percentile(m_boundary, 95)));
    return lines;
}

QJsonObject Soak::toJson() const
{
    QJsonArray functions;
    for (const Function& counted : m_functions)
        functions.append(QJsonObject{{"function", counted.name},
                                     {"calls", counted.calls},
                                     {"failed", counted.failed},
                                     {"medianMilliseconds", median(counted.milliseconds)},
                                     {"p95Milliseconds", percentile(counted.milliseconds, 95)},
                                     {"maxMilliseconds", percentile(counted.milliseconds, 100)}});
    QJsonArray failures;
    for (const Failure& failure : m_failures)
        failures.append(QJsonObject{
            {"round", failure.round}, {"function", failure.function}, {"detail", failure.detail}});
    QJsonObject growth{{"warmUpRounds", kWarmUpRounds},
                       {"thresholdKiBPer100Rounds", kResidentGrowthKiB},
                       {"judged", growthJudged()},
                       {"notJudgedBecause", m_unreadable},
                       {"problem", growthProblem()}};
    Sample first, middle, last;
    if (judged(&first, &middle, &last))
        growth.insert("samples",
                      QJsonArray{sampleJson(first), sampleJson(middle), sampleJson(last)});
    return QJsonObject{{"rounds", m_rounds},
                       {"roundsRun", m_roundsRun},
                       {"failedRounds", failedRounds()},
                       {"functions", functions},
                       {"failures", failures},
                       {"growth", growth},
                       {"boundaryMedianMilliseconds", median(m_boundary)}};
}

Soak::Function& Soak::function(const QString& name)
{
    for (Function& counted : m_functions)
        if (counted.name == name)
            return counted;
    m_functions.append(Function{name, 0, 0, {}});
    return m_functions.last();
}
