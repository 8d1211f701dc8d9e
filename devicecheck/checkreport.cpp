#include "devicecheck/checkreport.h"

#include "clkey.h"
#include "devicecheck/statistics.h"
#include "util/filehash.h"
#include "util/visibletext.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QXmlStreamWriter>

#include <algorithm>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {
// "2026-12-09T10:00:00.123Z": UTC, said so.
QString utcText(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + QLatin1Char('Z');
}

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
}

NamedFile keyLibraryIdentity()
{
    NamedFile file;
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&ConvAscii), &info) == 0 || !info.dli_fname)
        return file;
    file.path = QFileInfo(QFile::decodeName(info.dli_fname)).canonicalFilePath();
    const int fd = open(QFile::encodeName(file.path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        file.sha256 = descriptorDigest(fd);
        close(fd);
    }
    return file;
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
    // A library that did not load was not checked at all: that is the reason, and it says why.
    if (!m_loadFailure.isEmpty())
        return {QStringLiteral("the library cannot be loaded: ") + m_loadFailure};
    const int failed = count(CheckStatus::Fail);
    const int notRun = static_cast<int>(
        std::count_if(m_results.begin(), m_results.end(), [](const CheckResult& r) {
            return r.status == CheckStatus::Skip && !r.excused;
        }));
    if (failed > 0)
        reasons << checks(failed) + QStringLiteral(" failed");
    if (notRun > 0)
        reasons << checks(notRun) + QStringLiteral(" not run");
    if (!m_identity.confirmed())
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

QString CheckReport::identityLine(const HostIdentity& identity, const QString& label)
{
    const auto named = [](const QString& path, const QString& sha256) {
        return (path.isEmpty() ? QStringLiteral("(path unknown)") : visibleText(path))
            + QStringLiteral(" sha256=")
            + (sha256.isEmpty() ? QStringLiteral("unconfirmed") : sha256);
    };
    QString text = label + named(identity.library.path, identity.library.sha256);
    if (identity.library.simulator)
        text += QStringLiteral(" (模拟设备)");
    QStringList others;
    for (const MappedObject& object : identity.others)
        others << named(object.path, object.sha256);
    if (!others.isEmpty())
        text += QStringLiteral("; also mapped: ") + others.join(QStringLiteral(", "));
    return text;
}

QString CheckReport::line(const CheckResult& result)
{
    QString text = statusWord(result.status) + QLatin1Char(' ') + result.id + QStringLiteral(": ")
        + result.detail;
    if (result.milliseconds >= 0)
        text += QStringLiteral(" [") + millisecondsText(result.milliseconds) + QLatin1Char(']');
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
                     .arg(millisecondsText(median(timings.milliseconds)), 12)
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
    const LibraryIdentity& file = m_identity.library;
    QJsonArray others;
    for (const MappedObject& object : m_identity.others)
        others.append(QJsonObject{{"path", object.path},
                                  {"sha256", object.sha256},
                                  {"confirmed", !object.sha256.isEmpty()}});
    QJsonObject library{{"path", file.path},
                        {"sha256", file.sha256},
                        {"identityConfirmed", m_identity.confirmed()},
                        {"identityUnconfirmedBecause", m_identity.problem()},
                        {"simulator", file.simulator},
                        {"alsoMapped", others}};
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

    const CheckOptions& options = m_context.options;
    const QJsonObject run{{"started", utcText(m_context.started)},
                          {"wallSeconds", m_context.wallMilliseconds / 1000},
                          {"host", m_context.host},
                          {"options",
                           QJsonObject{{"library", options.library},
                                       {"pin", options.pin},
                                       {"timeoutSeconds", options.timeoutSeconds},
                                       {"repeat", options.repeat},
                                       {"writeSn", options.writeSn},
                                       {"json", options.jsonPath},
                                       {"junit", options.junitPath},
                                       {"devices", QJsonArray::fromStringList(options.devices)}}},
                          {"keyLibrary",
                           QJsonObject{{"path", m_context.keyLibrary.path},
                                       {"sha256", m_context.keyLibrary.sha256}}}};
    QJsonObject report{
        {"tool", "device-check"},
        {"version", toolVersion},
        {"run", run},
        {"finished", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {"library", library},
        {"keys",
         QJsonObject{{"mainKeyCheckValue", m_mainKeyCheckValue},
                     {"workKeyCheckValue", m_workKeyCheckValue}}},
        {"checks", checks},
        {"functions", functions},
        {"sandbox",
         QJsonObject{{"available", m_sandboxProblem.isEmpty()},
                     {"namespaces", m_namespaces},
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
    if (m_soak.rounds() > 0)
        report.insert("soak", m_soak.toJson());
    return report;
}

namespace {
// Text for XML: escaped as device text, which leaves no control character, and without the two
// noncharacters XML does not allow either.
QString xmlText(const QString& text)
{
    QString shown = visibleText(text);
    shown.replace(QChar(0xFFFE), QStringLiteral("\\uFFFE"));
    shown.replace(QChar(0xFFFF), QStringLiteral("\\uFFFF"));
    return shown;
}

QString seconds(double milliseconds)
{
    return QString::number(qMax(milliseconds, 0.0) / 1000, 'f', 6);
}

void writeCase(QXmlStreamWriter& xml, const QString& name, double milliseconds,
               const QString& outcome = QString(), const QString& message = QString(),
               const QString& text = QString())
{
    xml.writeStartElement(QStringLiteral("testcase"));
    xml.writeAttribute(QStringLiteral("name"), name);
    xml.writeAttribute(QStringLiteral("classname"), QStringLiteral("device-check"));
    xml.writeAttribute(QStringLiteral("time"), seconds(milliseconds));
    if (!outcome.isEmpty()) {
        xml.writeStartElement(outcome);
        xml.writeAttribute(QStringLiteral("message"), xmlText(message));
        if (outcome != QLatin1String("skipped")) {
            xml.writeAttribute(QStringLiteral("type"),
                               outcome == QLatin1String("failure") ? QStringLiteral("FAIL")
                                                                   : QStringLiteral("ERROR"));
            xml.writeCharacters(xmlText(text));
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
}
}

QByteArray CheckReport::toJUnit(const QString& toolVersion) const
{
    const bool loaded = m_loadFailure.isEmpty();
    const int failures = count(CheckStatus::Fail) + (loaded && !qualified() ? 1 : 0);

    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("testsuite"));
    writer.writeAttribute(QStringLiteral("name"), QStringLiteral("device-check"));
    writer.writeAttribute(QStringLiteral("tests"),
                          QString::number(loaded ? m_results.size() + 1 : 1));
    writer.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    writer.writeAttribute(QStringLiteral("errors"), QString::number(loaded ? 0 : 1));
    writer.writeAttribute(QStringLiteral("skipped"), QString::number(count(CheckStatus::Skip)));
    // The run's wall time, the checker's own work and every wait included.
    writer.writeAttribute(QStringLiteral("time"), seconds(m_context.wallMilliseconds));
    writer.writeAttribute(QStringLiteral("timestamp"),
                          m_context.started.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    writer.writeAttribute(QStringLiteral("hostname"), xmlText(m_context.host));

    writer.writeStartElement(QStringLiteral("properties"));
    const QString yes = QStringLiteral("true");
    const QString no = QStringLiteral("false");
    const CheckOptions& options = m_context.options;
    const std::pair<const char*, QString> properties[] = {
        {"device-check.version", toolVersion},
        {"run.started", utcText(m_context.started)},
        {"run.wallSeconds", QString::number(m_context.wallMilliseconds / 1000, 'f', 3)},
        {"run.host", m_context.host},
        {"options.library", options.library},
        {"options.pin", options.pin},
        {"options.timeoutSeconds", QString::number(options.timeoutSeconds)},
        {"options.repeat", QString::number(options.repeat)},
        {"options.writeSn", options.writeSn ? yes : no},
        {"options.devices", options.devices.join(QLatin1Char(' '))},
        {"keyLibrary.path", m_context.keyLibrary.path},
        {"keyLibrary.sha256", m_context.keyLibrary.sha256},
        {"library.path", m_identity.library.path},
        {"library.sha256",
         m_identity.library.confirmed() ? m_identity.library.sha256
                                        : QStringLiteral("unconfirmed")},
        {"library.identityConfirmed", m_identity.confirmed() ? yes : no},
        {"library.simulator", m_identity.library.simulator ? yes : no},
        {"keys.mainKeyCheckValue", m_mainKeyCheckValue},
        {"keys.workKeyCheckValue", m_workKeyCheckValue},
        {"sandbox",
         m_sandboxProblem.isEmpty() ? QStringLiteral("available")
                                    : QStringLiteral("unavailable: ") + m_sandboxProblem},
        {"qualified", loaded && qualified() ? yes : no},
        {"exitCode", QString::number(exitCode())}};
    for (const auto& property : properties) {
        writer.writeEmptyElement(QStringLiteral("property"));
        writer.writeAttribute(QStringLiteral("name"), QLatin1String(property.first));
        writer.writeAttribute(QStringLiteral("value"), xmlText(property.second));
    }
    writer.writeEndElement();

    if (!loaded)
        writeCase(writer, QStringLiteral("load"), 0, QStringLiteral("error"), m_loadFailure,
                  QStringLiteral("cannot load the device library: ") + m_loadFailure);
    for (const CheckResult& result : m_results) {
        if (result.status == CheckStatus::Fail)
            writeCase(writer, result.id, result.milliseconds, QStringLiteral("failure"),
                      result.detail, line(result));
        else if (result.status == CheckStatus::Skip)
            writeCase(writer, result.id, result.milliseconds, QStringLiteral("skipped"),
                      result.detail);
        else
            writeCase(writer, result.id, result.milliseconds);
    }
    if (loaded) {
        const QString because =
            QStringLiteral("not qualified: ") + notQualifiedBecause().join(QStringLiteral(", "));
        if (qualified())
            writeCase(writer, QStringLiteral("qualified"), 0);
        else
            writeCase(writer, QStringLiteral("qualified"), 0, QStringLiteral("failure"), because,
                      summaryLine());
    }
    QStringList output = m_soak.rounds() > 0 ? m_soak.lines() : QStringList();
    if (!m_libraryOutput.isEmpty())
        output << QStringLiteral("library output: ") + m_libraryOutput;
    if (!output.isEmpty()) {
        for (QString& line : output)
            line = xmlText(line);
        writer.writeTextElement(QStringLiteral("system-out"), output.join('\n'));
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}
