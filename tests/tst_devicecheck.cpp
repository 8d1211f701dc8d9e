// The device checker run in-process against the simulator, normally and in each of its fault
// modes, against a scripted library that lacks a function, and against a hostile library that
// ends, hangs, overruns, prints or fakes its way through: exactly the expected checks fail or are
// skipped, every other one passes, and the exit code says whether the library qualifies. The
// program itself, run as a lab runs it (as an ordinary user, from a shell, its report read through
// a pipe or on a terminal), against a hostile library that turns on the checker, the lab's world
// or the evidence. And its command line.
#include "devicecheck/devicechecker.h"
#include "devicecheck/pinblockreader.h"

#include "childprocess.h"
#include "workingdirectory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>
#include <QTemporaryFile>
#include <QThread>
#include <QXmlStreamReader>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
// What a run against one library must show, named field by field.
struct LibraryRow {
    QString library;  // copied into a fresh folder; "fifo": a FIFO there
    QByteArray fault; // the simulator's fault, or the hostile library's mode
    QString pin = QStringLiteral("123456");
    QByteArray simulatorPin; // an exported QUORVEL_SIM_PIN; empty: unset
    bool writeSn = false;
    int timeout = 150;
    int exitCode = 0;
    bool confirmed = true;       // the identity of the library that loaded
    bool changesOwnFile = false; // only where no namespace keeps its folder read-only
    QString expected;            // the start of a line of the output; %1: the library's path
    QStringList failing;
    QStringList skipped{QStringLiteral("sn-write")};

    LibraryRow withFault(const QByteArray& value) const { return copy(&LibraryRow::fault, value); }
    LibraryRow withPin(const QString& value) const { return copy(&LibraryRow::pin, value); }
    LibraryRow withWriteSn() const
    {
        LibraryRow row = copy(&LibraryRow::writeSn, true);
        row.skipped.removeAll(QStringLiteral("sn-write"));
        return row;
    }
    LibraryRow withTimeout(int value) const { return copy(&LibraryRow::timeout, value); }
    LibraryRow exiting(int value) const { return copy(&LibraryRow::exitCode, value); }
    LibraryRow unconfirmed() const { return copy(&LibraryRow::confirmed, false); }
    LibraryRow saying(const QString& value) const { return copy(&LibraryRow::expected, value); }
    LibraryRow failingIn(const QStringList& value) const
    {
        return copy(&LibraryRow::failing, value).exiting(1);
    }
    LibraryRow skipping(const QStringList& value) const
    {
        return copy(&LibraryRow::skipped, value);
    }

    template <typename T>
    LibraryRow copy(T LibraryRow::*field, const T& value) const
    {
        LibraryRow row = *this;
        row.*field = value;
        return row;
    }
};

// How the lab reads the report of a program run.
enum class Lab {
    Pipe,      // the shell's standard output, a pipe the test reads
    Reader,    // through a reader, "device-check | cat"
    FirstLine, // through a reader that takes the first line and goes, "device-check | head -n 1"
    Terminal,  // a terminal, the shell's standard input and output
};

// A run of the program against a hostile library, and the line it must show in each sandbox.
struct HostileRow {
    QByteArray mode;
    QString expected;          // with the namespaces and the filter
    QString withoutNamespaces; // with the filter alone; empty: the row needs the namespaces
    QString withoutFilter;     // in the namespaces alone; empty: the row needs the filter
    QString library = QStringLiteral(HOSTILE_DEVICE_PATH);
    QString dependency = QStringLiteral("forward.so"); // a file it maps beside it
    Lab lab = Lab::Pipe;
    int repeat = 1;
    bool onTmpfs = false; // its folder on a tmpfs, /dev/shm
    // What it attacks is within its reach where there are no namespaces; what protects the lab
    // there is the checker's own conduct.
    bool reachesWithoutNamespaces = false;

    // The same line in every sandbox.
    static HostileRow everywhere(const QByteArray& mode, const QString& line)
    {
        HostileRow row;
        row.mode = mode;
        row.expected = row.withoutNamespaces = row.withoutFilter = line;
        return row;
    }
    HostileRow without(const QString& namespaces, const QString& filter) const
    {
        HostileRow row = *this;
        row.withoutNamespaces = namespaces;
        row.withoutFilter = filter;
        return row;
    }
    HostileRow readBy(Lab value) const
    {
        HostileRow row = *this;
        row.lab = value;
        return row;
    }
    HostileRow reachingWithoutNamespaces() const
    {
        HostileRow row = *this;
        row.reachesWithoutNamespaces = true;
        return row;
    }
    HostileRow from(const QString& path, const QString& needed) const
    {
        HostileRow row = *this;
        row.library = path;
        row.dependency = needed;
        return row;
    }
};
}
Q_DECLARE_METATYPE(LibraryRow)
Q_DECLARE_METATYPE(HostileRow)

namespace {
// The lab's user: nobody, where the tests run as root, which would hide what an ordinary user's
// processes can do to each other.
const uid_t kLabUser = 65534;

bool asRoot()
{
    return geteuid() == 0;
}

// command run as the lab's user, through setpriv.
QStringList asLabUser(const QStringList& command)
{
    return QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(kLabUser),
                       QStringLiteral("--regid=%1").arg(kLabUser), QStringLiteral("--clear-groups"),
                       QStringLiteral("--")}
    + command;
}

QString expectedStatus(const QString& id, const QStringList& failing, const QStringList& skipped)
{
    if (failing.contains(id))
        return QStringLiteral("FAIL");
    return skipped.contains(id) ? QStringLiteral("SKIP") : QStringLiteral("PASS");
}

// Every check from the given one on, for a run that ended there.
QStringList checksAfter(const QString& id)
{
    const QStringList& ids = DeviceChecker::checkIds();
    return ids.mid(ids.indexOf(id) + 1);
}

// The lines of a report but the one that says the sandbox is unavailable, where it is.
QStringList withoutSandboxLine(const QStringList& lines)
{
    return lines.filter(QRegularExpression(QStringLiteral("^(?!sandbox: unavailable: )")));
}

QByteArray procFile(const QString& pid, const char* name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid, QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The processes for which matches(its /proc entry's file name) holds.
template <typename Matches>
QList<qint64> processes(Matches matches)
{
    QList<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number && pid != QCoreApplication::applicationPid() && matches(entry))
            found << pid;
    }
    return found;
}

// The processes whose command line holds marker: a run's folder, which the checker, bubblewrap,
// the host and every process the library forks have on theirs.
QList<qint64> processesMarked(const QByteArray& marker)
{
    return processes([&](const QString& pid) { return procFile(pid, "cmdline").contains(marker); });
}

// The children of pid, ended or not.
QList<qint64> childrenOf(qint64 parent)
{
    const QByteArray self = QByteArray::number(parent);
    return processes([&](const QString& pid) {
        const QByteArray stat = procFile(pid, "stat");
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        return fields.size() > 1 && fields[1] == self;
    });
}

QString sha256Of(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(
               QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex())
                                          : QString();
}

// Why xml is not a JUnit report that the schema CI servers read accepts, with this many failure
// and error elements; empty when it is.
QString junitProblem(const QByteArray& xml, int failures, int errors)
{
    QTemporaryFile file;
    if (!file.open() || file.write(xml) != xml.size() || !file.flush())
        return QStringLiteral("cannot write the report to a file");
    ChildProcess xmllint;
    if (!xmllint.start(QStringLiteral("xmllint"),
                       {"--noout", "--schema", JUNIT_SCHEMA_PATH, file.fileName()})
        || !xmllint.waitForFinished(30000))
        return QStringLiteral("xmllint (libxml2-utils) did not run: ") + xmllint.error();
    if (xmllint.exitCode() != 0)
        return QStringLiteral("xmllint refused the report (its reasons above):\n")
            + QString::fromUtf8(xml);
    QXmlStreamReader reader(xml);
    int found[2] = {0, 0};
    while (reader.readNextStartElement() || !reader.atEnd()) {
        if (reader.isStartElement() && reader.name() == QLatin1String("failure"))
            ++found[0];
        if (reader.isStartElement() && reader.name() == QLatin1String("error"))
            ++found[1];
        if (!reader.isStartElement())
            reader.readNext();
    }
    if (found[0] != failures || found[1] != errors)
        return QStringLiteral("%1 failures and %2 errors, not %3 and %4:\n")
                   .arg(found[0])
                   .arg(found[1])
                   .arg(failures)
                   .arg(errors)
            + QString::fromUtf8(xml);
    return QString();
}

// The value of a JUnit report's property.
QString junitProperty(const QByteArray& xml, const QString& name)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd())
        if (reader.readNext() == QXmlStreamReader::StartElement
            && reader.name() == QLatin1String("property")
            && reader.attributes().value(QLatin1String("name")) == name)
            return reader.attributes().value(QLatin1String("value")).toString();
    return QString();
}

// The device-check command: under the emulator in a cross build.
QStringList deviceCheckCommand(const QStringList& arguments)
{
    QStringList command{QStringLiteral(DEVICE_CHECK_PATH)};
    if (!QString(DEVICE_CHECK_EMULATOR).isEmpty())
        command.prepend(QStringLiteral(DEVICE_CHECK_EMULATOR));
    return command + arguments;
}

// Starts device-check with arguments, as this process's child.
bool startDeviceCheck(
    ChildProcess* process, const QStringList& arguments,
    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    const QStringList command = deviceCheckCommand(arguments);
    return process->start(command.first(), command.mid(1), environment);
}

// Places the library a row names in the working directory's quorvel/: the hostile library with
// its mode file and the simulator beside it as forward.so (and as replacement.so, for the mode
// that replaces itself); the shim with the scripted library it needs.
void placeLibrary(WorkingDirectory* directory, const QString& library, const QByteArray& mode,
                  const QByteArray& environment = QByteArray())
{
    const QString folder = QFileInfo(directory->libraryPath()).path();
    if (library == QLatin1String("fifo")) {
        QVERIFY(mkfifo(QFile::encodeName(directory->libraryPath()).constData(), 0644) == 0);
        return;
    }
    if (library == QLatin1String("text")) {
        directory->writeLibrary("GenerateKeyFromPw\nSetPwMkey\n");
        return;
    }
    if (library == QLatin1String("foreign")) {
        QFile simulator(QStringLiteral(SIMULATOR_PATH));
        QVERIFY(simulator.open(QIODevice::ReadOnly));
        QByteArray elf = simulator.readAll();
        // e_machine, little-endian: AArch64 (183) for an x86-64 build, x86-64 (62) otherwise.
        const bool x86 = static_cast<unsigned char>(elf[18]) == 62;
        elf[18] = static_cast<char>(x86 ? 183 : 62);
        elf[19] = 0;
        directory->writeLibrary(elf);
        return;
    }
    directory->copyLibrary(library);
    if (library == QLatin1String(SHIM_DEVICE_PATH))
        QVERIFY(QFile::copy(QStringLiteral(FAKE_DEVICE_PATH), folder + "/libfakedevice.so"));
    if (library != QLatin1String(HOSTILE_DEVICE_PATH)
        && library != QLatin1String(HOSTILE_PARTIAL_PATH))
        return;
    QFile modeFile(folder + QStringLiteral("/hostile-mode"));
    QVERIFY(modeFile.open(QIODevice::WriteOnly));
    modeFile.write(mode + '\n' + environment);
    for (const char* name : {"/forward.so", "/replacement.so"})
        QVERIFY(QFile::copy(QStringLiteral(SIMULATOR_PATH), folder + QLatin1String(name)));
}

// A run of device-check as a lab makes it: from a shell, as the lab's user, in a folder of its
// own; the report read through a pipe, a reader or a terminal; the shell writes the checker's exit
// status to a file, whatever happens to the report.
class LabRun {
public:
    LabRun(const WorkingDirectory& directory, Lab lab)
        : m_root(directory.rootPath())
        , m_lab(lab)
    {
        m_evidence = m_root + QStringLiteral("/evidence");
        QDir().mkpath(m_evidence);
        // The lab's user reads the library's folder and writes the evidence's.
        for (const QString& path : {m_root, QFileInfo(directory.libraryPath()).path()})
            chmod(QFile::encodeName(path).constData(), 0755);
        for (const QFileInfo& file :
             QDir(QFileInfo(directory.libraryPath()).path()).entryInfoList(QDir::Files))
            chmod(QFile::encodeName(file.filePath()).constData(), 0755);
        if (asRoot() && chown(QFile::encodeName(m_evidence).constData(), kLabUser, kLabUser) != 0)
            qWarning("cannot give the evidence folder to the lab's user");
    }

    QString json() const { return m_evidence + QStringLiteral("/evidence.json"); }
    QString junit() const { return m_evidence + QStringLiteral("/evidence.xml"); }

    // Starts the checker with arguments; false, with the reason in error, when it cannot be.
    bool start(const QStringList& arguments, QString* error)
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        environment.insert(QStringLiteral("HOME"), m_root);
        environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        environment.insert(QStringLiteral("STATUS"), status());
        // What the lab's CI keeps in its environment, which no library may see.
        environment.insert(QStringLiteral("LAB_SECRET"), QStringLiteral("s3cr3t-token"));
        // The lab's shell keeps a file of its own open, as a CI agent keeps its log.
        const QString run = QStringLiteral("exec 7>>\"$STATUS.log\"; \"$@\"; echo $? >\"$STATUS\"");
        const QString script = m_lab == Lab::Reader ? QStringLiteral("{ %1; } | cat").arg(run)
            : m_lab == Lab::FirstLine               ? QStringLiteral("{ %1; } | head -n 1").arg(run)
                                                    : run;
        QStringList command{QStringLiteral("sh"), QStringLiteral("-c"), script,
                            QStringLiteral("sh")};
        command += deviceCheckCommand(arguments);
        if (asRoot())
            command = asLabUser(command);
        const bool started = m_lab == Lab::Terminal
            ? m_shell.startOnTerminal(command.first(), command.mid(1), environment,
                                      asRoot() ? kLabUser : geteuid())
            : m_shell.start(command.first(), command.mid(1), environment);
        *error = m_shell.error();
        return started;
    }

    // Waits for the checker's exit status, at most timeoutMs; then lets the shell end, a reader
    // the library stopped included, and reads what the lab was shown. The status, or -1.
    int finish(int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        QFile file(status());
        while (!file.exists() && !deadline.hasExpired())
            m_shell.waitForFinished(100);
        QThread::msleep(50);
        const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : "";
        for (const qint64 child : childrenOf(m_shell.pid()))
            kill(static_cast<pid_t>(child), SIGKILL);
        if (m_lab == Lab::Terminal)
            resumeTerminal();
        m_shell.waitForFinished(5000);
        m_shell.kill();
        bool number = false;
        const int code = text.toInt(&number);
        return number ? code : -1;
    }

    const QByteArray& shown() const { return m_shell.output(); }

private:
    QString status() const { return m_evidence + QStringLiteral("/status"); }

    // Output a library stopped on the terminal flows again, so that all it held is read.
    void resumeTerminal()
    {
        const int terminal =
            open(QFile::encodeName(m_shell.terminal()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (terminal >= 0) {
            tcflow(terminal, TCOON);
            close(terminal);
        }
    }

    QString m_root;
    QString m_evidence;
    Lab m_lab;
    ChildProcess m_shell;
};

// What the sandbox holds where the lab's user runs the program: the namespaces, the filter.
struct SandboxState {
    bool namespaces = false;
    bool filter = false;
    QString problem;
};

SandboxState sandboxState()
{
    static const SandboxState state = [] {
        SandboxState found;
        WorkingDirectory directory;
        directory.copyLibrary(QStringLiteral(SIMULATOR_PATH));
        LabRun run(directory, Lab::Pipe);
        QString error;
        QFile evidence(run.json());
        const int status = run.start({"--json", run.json()}, &error) ? run.finish(60000) : -1;
        const QJsonObject report = evidence.open(QIODevice::ReadOnly)
            ? QJsonDocument::fromJson(evidence.readAll()).object()
            : QJsonObject();
        if (status != 0) {
            found.problem = QStringLiteral("device-check did not qualify the simulator: ") + error
                + QJsonDocument(report.value("summary").toObject()).toJson(QJsonDocument::Compact);
            return found;
        }
        const QJsonObject sandbox = report.value("sandbox").toObject();
        found.problem = sandbox.value("unavailableBecause").toString();
        found.namespaces = sandbox.value("namespaces").toBool();
        found.filter = !found.problem.contains(QStringLiteral("seccomp filter"));
        return found;
    }();
    return state;
}

// The lines the evidence gives of a run: each check's, the sandbox's and the library's output.
QStringList evidenceLines(const QJsonObject& report)
{
    QStringList lines;
    for (const QJsonValue& check : report.value("checks").toArray())
        lines << check.toObject().value("result").toString() + QLatin1Char(' ')
                + check.toObject().value("id").toString() + QStringLiteral(": ")
                + check.toObject().value("detail").toString();
    for (const QJsonValue& refusal :
         report.value("sandbox").toObject().value("refusedOutsideChecks").toArray())
        lines << QStringLiteral("sandbox: ") + refusal.toString();
    const QString output = report.value("library").toObject().value("output").toString();
    if (!output.isEmpty())
        lines << QStringLiteral("library output: ") + output;
    return lines;
}
}

class TestDeviceCheck : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void checksAgainstLibrary_data();
    void checksAgainstLibrary();
    void programAgainstHostileLibrary_data();
    void programAgainstHostileLibrary();
    void programEndedBySignal_data();
    void programEndedBySignal();
    void soak_data();
    void soak();
    void arguments_data();
    void arguments();
    void readPinBlock_data();
    void readPinBlock();
};

void TestDeviceCheck::init()
{
    qunsetenv("QUORVEL_SIM_FAULT");
    qunsetenv("QUORVEL_SIM_PIN");
}

void TestDeviceCheck::cleanup()
{
    init();
}

void TestDeviceCheck::checksAgainstLibrary_data()
{
    QTest::addColumn<LibraryRow>("row");

    LibraryRow simulator;
    simulator.library = QStringLiteral(SIMULATOR_PATH);
    LibraryRow hostile;
    hostile.library = QStringLiteral(HOSTILE_DEVICE_PATH);
    const QStringList noSnWrite{"sn-write"};

    QTest::newRow("normal") << simulator;
    QTest::newRow("normal, --write-sn") << simulator.withWriteSn();
    QTest::newRow("--pin sets the simulator's PIN") << simulator.withPin("4321").saying(
        "PASS pin-block: the PIN block (0N, BCD, F fill) decrypts under this run's work "
        "key to 4321, the PIN typed");
    QTest::newRow("--pin wins over an exported QUORVEL_SIM_PIN")
        << simulator.copy(&LibraryRow::simulatorPin, QByteArray("4321"))
               .saying("PASS pin-block: the PIN block (0N, BCD, F fill) decrypts under this run's "
                       "work key to 123456, the PIN typed");
    QTest::newRow("overrun") << simulator.withFault("overrun").failingIn(
        {"keypair-bounds", "pin-bounds", "sn-read"});
    QTest::newRow("overrun, --write-sn") << simulator.withFault("overrun").withWriteSn().failingIn(
        {"keypair-bounds", "pin-bounds", "sn-read", "sn-write"});
    QTest::newRow("ignore-size")
        << simulator.withFault("ignore-size").failingIn({"keypair-small-buffer"});
    QTest::newRow("accept-tampered")
        << simulator.withFault("accept-tampered")
               .failingIn({"mainkey-tampered", "mainkey-empty", "mainkey"});
    QTest::newRow("wrong-pin-block")
        << simulator.withFault("wrong-pin-block").failingIn({"pin-block"});
    QTest::newRow("scripted library without SetPwWkey")
        << simulator.copy(&LibraryRow::library, QStringLiteral(FAKE_DEVICE_NOWKEY_PATH))
               .withWriteSn()
               .failingIn({"exports", "keypair-format", "keypair-small-buffer", "mainkey-empty",
                           "sn-read"})
               .skipping({"mainkey-tampered", "mainkey", "workkey", "pin-block", "pin-bounds",
                          "sn-write"});
    QTest::newRow("hang") << simulator.withFault("hang")
                                 .withWriteSn()
                                 .withTimeout(3)
                                 .saying("FAIL pin-block: InputPassword did not return within 3 "
                                         "s; the device's state is unknown, so nothing more is "
                                         "called")
                                 .failingIn({"pin-block"})
                                 .skipping(checksAfter("pin-block"));

    // The library turns on the process that runs it.
    QTest::newRow("exit(0) in a call")
        << hostile.withFault("exit")
               .saying("FAIL keypair-format: the library ended the process with exit status 0 "
                       "during GenerateKeyFromPw")
               .failingIn({"keypair-format"})
               .skipping(checksAfter("keypair-format"));
    QTest::newRow("abort() in a call")
        << hostile.withFault("abort")
               .saying("FAIL mainkey-tampered: the library ended the process with SIGABRT during "
                       "SetPwMkey")
               .failingIn({"mainkey-tampered"})
               .skipping(checksAfter("mainkey-tampered"));
    QTest::newRow("exit(0) while loading")
        << hostile.withFault("exit-in-constructor")
               .exiting(2)
               .saying("device-check: cannot load the device library: %1: the library ended the "
                       "process with exit status 0 while loading");
    QTest::newRow("never returns while loading")
        << hostile.withFault("hang-in-constructor")
               .withTimeout(2)
               .exiting(2)
               .saying("device-check: cannot load the device library: %1: the library did not "
                       "finish loading within 2 s");
    QTest::newRow("a text file at the library path")
        << hostile.copy(&LibraryRow::library, QStringLiteral("text"))
               .exiting(2)
               .saying("device-check: cannot load the device library: %1: not an ELF file");
    QTest::newRow("a library built for another machine")
        << hostile.copy(&LibraryRow::library, QStringLiteral("foreign"))
               .exiting(2)
               .saying("device-check: cannot load the device library: %1: an ELF file for ");
    QTest::newRow("FIFO at the library path")
        << hostile.copy(&LibraryRow::library, QStringLiteral("fifo"))
               .withTimeout(2)
               .exiting(2)
               .saying("device-check: cannot load the device library: %1: not a regular file");
    QTest::newRow("writes 3841 bytes past the size, 1 into the guard page")
        << hostile.withFault("overrun-3841")
               .saying("FAIL keypair-format: GenerateKeyFromPw overran its buffer into the guard "
                       "page, 3840 bytes past the 256 bytes passed")
               .failingIn({"keypair-format"})
               .skipping(checksAfter("keypair-format"));
    QTest::newRow("writes 5000 bytes past the size")
        << hostile.withFault("overrun-5000")
               .saying("FAIL keypair-format: GenerateKeyFromPw overran its buffer into the guard "
                       "page, 3840 bytes past the 256 bytes passed")
               .failingIn({"keypair-format"})
               .skipping(checksAfter("keypair-format"));
    QTest::newRow("prints a forged report line")
        << hostile.withFault("print")
               .saying("library output: PASS keypair-format: forged by the library\\x0A")
               .failingIn({"keypair-format"})
               .skipping(checksAfter("keypair-format"));
    // A fake that decrypts nothing: it refuses only the first main key, takes any work key and
    // encrypts the PIN block under the window's fixed test work key.
    QTest::newRow("ignores the keys it is sent")
        << hostile
               .saying("FAIL mainkey: accepted this run's main key, then accepted (0) the same "
                       "key with one bit of C3 flipped")
               .failingIn({"mainkey", "pin-block"});
    QTest::newRow("the generator as public key")
        << hostile.withFault("never-decrypts")
               .saying("FAIL keypair-format: the curve's generator, whose private key is 1, so "
                       "that anyone can decrypt under it")
               .failingIn({"keypair-format"})
               .skipping({"mainkey-tampered", "mainkey", "workkey", "pin-block", "pin-bounds",
                          "sn-write"});
    QTest::newRow("puts the simulator where its deleted file was named while loading")
        << hostile.withFault("replace-self")
               .copy(&LibraryRow::changesOwnFile, true)
               .unconfirmed()
               .failingIn({"mainkey", "pin-block"});
    // A simulator behind a library that misbehaves only where the end of a run can see it.
    QTest::newRow("writes as it is unloaded, after its last call")
        << hostile.withFault("late-output").saying("library output: late output\\x0A");
    QTest::newRow("loads the library that answers for it at its first call")
        << hostile.withFault("load-late");
    // Run by root here, whose capabilities the library's process never keeps.
    QTest::newRow("has no capability")
        << hostile.withFault("print-capabilities")
               .saying("library output: capabilities 0000000000000000 0000000000000000\\x0A");
    QTest::newRow("writes text that starts with a NUL byte as it is unloaded")
        << hostile.withFault("nul-output")
               .saying("library output: \\x00PASS soak: forged after a NUL byte\\x0A");
    QTest::newRow("answers the small buffer with a cut text, then fails the key pair request")
        << hostile.withFault("cut-small-buffer")
               .saying("FAIL keypair-small-buffer: returned 0, then the key pair request with 256 "
                       "bytes failed: GenerateKeyFromPw returned -106")
               .failingIn({"keypair-small-buffer"})
               .skipping({"mainkey-tampered", "mainkey", "workkey", "pin-block", "pin-bounds",
                          "sn-write"});
    QTest::newRow("rewrites its own file in place while loading")
        << hostile.withFault("rewrite-self")
               .copy(&LibraryRow::changesOwnFile, true)
               .unconfirmed()
               .exiting(1)
               .saying("11 passed, 0 failed, 2 skipped; not qualified: the library's identity is "
                       "unconfirmed");
}

void TestDeviceCheck::checksAgainstLibrary()
{
    QFETCH(LibraryRow, row);

    // No row here repeats the key chain: the soak check is skipped, excused, in every one.
    QStringList skipped = row.skipped;
    if (!skipped.contains(QStringLiteral("soak")))
        skipped << QStringLiteral("soak");
    const bool hostile = row.library == QStringLiteral(HOSTILE_DEVICE_PATH);
    const bool simulator = row.library == QStringLiteral(SIMULATOR_PATH);
    WorkingDirectory directory;
    placeLibrary(&directory, row.library, row.fault);
    const QString folder = QFileInfo(directory.libraryPath()).path();
    if (simulator && !row.fault.isEmpty())
        qputenv("QUORVEL_SIM_FAULT", row.fault);
    if (!row.simulatorPin.isEmpty())
        qputenv("QUORVEL_SIM_PIN", row.simulatorPin);
    // The simulator behind the hostile library in the modes that pass their calls on, mapped as it
    // loads or, in one, at its first call.
    const bool forwards = hostile && !row.fault.isEmpty()
        && QByteArrayList{"late-output",  "nul-output", "cut-small-buffer",
                          "rewrite-self", "load-late",  "print-capabilities"}
               .contains(row.fault);
    const bool mapsLate = row.fault == "load-late";
    // The simulator behind it is named once it is loaded, at the first call. A library that does
    // not load has no identity (and a FIFO is never opened).
    const bool loads = row.exitCode != 2;
    const QString forward = loads && forwards ? QStringLiteral("; also mapped: ")
            + expectedIdentity(folder + QStringLiteral("/forward.so"))
                                              : QString();
    const QString identity = !loads
        ? QString()
        : QStringLiteral("library: ") + expectedIdentity(directory.libraryPath())
            + (simulator ? QStringLiteral(" (模拟设备)") : QString())
            + (mapsLate ? QString() : forward);
    const QString identityAfter = mapsLate ? QStringLiteral("library after the last call: ")
            + expectedIdentity(directory.libraryPath()) + forward
                                           : QString();

    CheckOptions options;
    options.library = directory.libraryPath();
    options.pin = row.pin;
    options.writeSn = row.writeSn;
    options.timeoutSeconds = row.timeout;
    options.hostProgram = QStringLiteral(DEVICE_CHECK_HOST_PATH);
    QStringList lines;
    QStringList errors;
    DeviceChecker checker(
        options, [&](const QString& line, bool error) { (error ? errors : lines) << line; });
    const CheckReport report = checker.run();
    lines = withoutSandboxLine(lines);
    const QJsonObject json = report.toJson(DeviceChecker::toolVersion());
    // A library that changes its own file cannot where its folder is bound read-only.
    bool confirmed = row.confirmed;
    int exitCode = row.exitCode;
    const int notRun = skipped.size() - (row.writeSn ? 1 : 2);
    if (row.changesOwnFile && json.value("sandbox").toObject().value("namespaces").toBool()) {
        confirmed = true;
        exitCode = row.failing.isEmpty() && notRun == 0 ? 0 : 1;
    }
    QCOMPARE(report.exitCode(), exitCode);
    QCOMPARE(json.value("exitCode").toInt(), exitCode);
    QCOMPARE(json.value("qualified").toBool(), exitCode == 0);
    // The run's context: what it was asked, when in UTC, how long, where, with which key library.
    const QJsonObject run = json.value("run").toObject();
    QCOMPARE(run.value("options").toObject().value("pin").toString(), row.pin);
    QCOMPARE(run.value("options").toObject().value("timeoutSeconds").toInt(), row.timeout);
    QCOMPARE(run.value("options").toObject().value("writeSn").toBool(), row.writeSn);
    QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$")
                 .match(run.value("started").toString())
                 .hasMatch(),
             qPrintable(run.value("started").toString()));
    QVERIFY(run.value("wallSeconds").toDouble() > 0);
    QCOMPARE(run.value("host").toString(), QSysInfo::machineHostName());
    QCOMPARE(run.value("keyLibrary").toObject().value("sha256").toString(),
             sha256Of(QStringLiteral(KEYLIB_PATH)));
    // JUnit's suite time is that wall time, not the sum of the calls'.
    const QByteArray xml = report.toJUnit(DeviceChecker::toolVersion());
    QCOMPARE(junitProperty(xml, QStringLiteral("run.wallSeconds")),
             QString::number(run.value("wallSeconds").toDouble(), 'f', 3));
    const QRegularExpressionMatch suiteTime =
        QRegularExpression("<testsuite [^>]* time=\"([0-9.]+)\"").match(QString::fromUtf8(xml));
    QVERIFY(suiteTime.hasMatch());
    QCOMPARE(qRound(suiteTime.captured(1).toDouble() * 1000),
             qRound(run.value("wallSeconds").toDouble() * 1000));
    // Every process of the library's is gone: this process is the subreaper of all of them.
    QVERIFY2(childrenOf(QCoreApplication::applicationPid()).isEmpty(),
             "a process of the library's is left");
    // The same results as JUnit XML: a failure for each failed check and one for the
    // qualification, an error for a library that did not load.
    const QString junit = junitProblem(report.toJUnit(DeviceChecker::toolVersion()),
                                       exitCode == 1 ? row.failing.size() + 1 : 0, exitCode == 2);
    QVERIFY2(junit.isEmpty(), qPrintable(junit));
    QString expected = row.expected;
    if (expected.contains(QStringLiteral("%1")))
        expected = expected.arg(directory.libraryPath());
    if (!expected.isEmpty() && !(row.changesOwnFile && confirmed != row.confirmed)) {
        const QStringList& output = exitCode == 2 ? errors : lines;
        QVERIFY2(std::any_of(output.begin(), output.end(),
                             [&](const QString& line) { return line.startsWith(expected); }),
                 qPrintable((lines + errors).join('\n')));
    }
    if (exitCode == 2) {
        QVERIFY2(lines.isEmpty(), qPrintable(lines.join('\n')));
        QCOMPARE(errors.size(), 1);
        // The same reason in the evidence, and first among why the library is not qualified.
        const QString reason = errors[0].section(": ", 2);
        QCOMPARE(json.value("library").toObject().value("loadFailure").toString(), reason);
        QCOMPARE(json.value("summary").toObject().value("notQualifiedBecause").toArray().first(),
                 QJsonValue(QStringLiteral("the library cannot be loaded: ") + reason));
        return;
    }
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));

    // The identity: the file that was loaded, or no more than its path when that cannot be shown.
    const QJsonObject jsonLibrary = json.value("library").toObject();
    QVERIFY2(jsonLibrary.value("identityConfirmed").toBool() == confirmed,
             qPrintable(jsonLibrary.value("identityUnconfirmedBecause").toString()));
    QCOMPARE(jsonLibrary.value("simulator").toBool(), confirmed && simulator);
    if (confirmed && row.confirmed) {
        QCOMPARE(lines.value(0), identity);
        QCOMPARE(lines.filter(QRegularExpression("^library after the last call: ")),
                 mapsLate ? QStringList{identityAfter} : QStringList());
    } else if (!confirmed)
        QVERIFY2(lines.value(0).startsWith("library: ")
                     && lines.value(0).contains(" sha256=unconfirmed"),
                 qPrintable(lines.value(0)));
    // The keys are this run's: the evidence names them by check value only.
    const QJsonObject keys = json.value("keys").toObject();
    QCOMPARE(keys.value("mainKeyCheckValue").toString().size(), 6);
    QCOMPARE(keys.value("workKeyCheckValue").toString().size(), 6);
    QVERIFY(keys.value("mainKeyCheckValue") != keys.value("workKeyCheckValue"));
    // The prompt for the tester comes before a PIN entry at a device, never at the simulator.
    QCOMPARE(lines.join('\n').contains(QStringLiteral("请在密码键盘上输入")),
             !(confirmed && simulator) && !skipped.contains("pin-block"));

    const QJsonArray checks = json.value("checks").toArray();
    QCOMPARE(report.results().size(), DeviceChecker::checkIds().size());
    QCOMPARE(checks.size(), DeviceChecker::checkIds().size());
    for (int i = 0; i < report.results().size(); ++i) {
        const CheckResult& result = report.results()[i];
        const QString id = DeviceChecker::checkIds()[i];
        QCOMPARE(result.id, id);
        const QString status = expectedStatus(id, row.failing, skipped);
        const QString line = CheckReport::line(result);
        QVERIFY2(line.startsWith(status + ' ' + id + ": "), qPrintable(line));
        QVERIFY2(lines.contains(line), qPrintable(line));
        QCOMPARE(checks[i].toObject().value("result").toString(), status);
    }
    // Only the checker's own lines start with a verdict.
    const int passed = DeviceChecker::checkIds().size() - row.failing.size() - skipped.size();
    QCOMPARE(lines.filter(QRegularExpression("^PASS ")).size(), passed);
    // Qualified, or why not: every skip but those the tester chose is a check not run.
    QStringList because;
    if (!row.failing.isEmpty())
        because << QStringLiteral("%1 check%2 failed")
                       .arg(row.failing.size())
                       .arg(row.failing.size() > 1 ? "s" : "");
    if (notRun > 0)
        because << QStringLiteral("%1 check%2 not run").arg(notRun).arg(notRun > 1 ? "s" : "");
    if (!confirmed)
        because << QStringLiteral("the library's identity is unconfirmed");
    QCOMPARE(lines.last(),
             QStringLiteral("%1 passed, %2 failed, %3 skipped; %4")
                 .arg(passed)
                 .arg(row.failing.size())
                 .arg(skipped.size())
                 .arg(because.isEmpty() ? QStringLiteral("qualified")
                                        : QStringLiteral("not qualified: ") + because.join(", ")));
}

// The program as a lab runs it, as an ordinary user from a shell, against a library that turns on
// the checker, the lab's shell, terminal and report's reader, or the evidence, and that otherwise
// passes its calls on to the simulator with the wrong PIN block: whatever it tries, the run gives
// a verdict in time, exit 1 with the honest line, JSON and JUnit that agree, no forged line where
// the lab reads the report, no process left, and evidence that stays as written and readable.
void TestDeviceCheck::programAgainstHostileLibrary_data()
{
    QTest::addColumn<HostileRow>("row");

    const QString honest =
        QStringLiteral("FAIL pin-block: the PIN block (0N, BCD, F fill) carries 123457");
    const QString keyPair = QStringLiteral("FAIL keypair-format: ");
    const QString refused = QStringLiteral("; the sandbox ended its process");
    const auto duringKeyPair = [&](const QString& who, const QString& call) {
        return keyPair + who + QStringLiteral(" tried ") + call
            + QStringLiteral(" during GenerateKeyFromPw") + refused;
    };
    const QString library = QStringLiteral("the library");
    const QString started = QStringLiteral("a process the library started");

    QTest::newRow("traces the checker to turn its exit status into 0")
        << HostileRow::everywhere("trace-checker", duringKeyPair(started, "ptrace()"))
               .without(duringKeyPair(started, "ptrace()"), honest);
    QTest::newRow("writes a PASS line into the checker's standard output")
        << HostileRow::everywhere("write-checker-stdout", honest);
    QTest::newRow("rewrites the JSON evidence once the checker has ended")
        << HostileRow::everywhere("rewrite-evidence", honest);
    // The checker is out of reach in the namespaces: the signal goes to the first process there.
    QTest::newRow("stops the checker")
        << HostileRow::everywhere("stop-checker", honest)
               .without(duringKeyPair(library, "kill() on the checker"), honest);
    QTest::newRow("stops the checker as it is unloaded, after its last call")
        << HostileRow::everywhere("stop-at-unload", honest)
               .without("sandbox: the library tried kill() on the checker after the last call"
                            + refused,
                        honest);
    QTest::newRow("sets the checker's file size limit to 0")
        << HostileRow::everywhere("limit-checker",
                                  duringKeyPair(library, "prlimit64() on another process"))
               .without(duringKeyPair(library, "prlimit64() on another process"), honest);
    QTest::newRow("has its process held at its exit by a tracer it started")
        << HostileRow::everywhere("hold-at-exit", duringKeyPair(started, "ptrace()"))
               .without(duringKeyPair(started, "ptrace()"), honest);
    // Stopped, where the kernel lets it trace; ended by the signal under qemu-user, which traces
    // nothing. Either way not an exit status, and no process left.
    QTest::newRow("makes the checker its tracer and stops")
        << HostileRow::everywhere("traceme", duringKeyPair(library, "ptrace()"))
               .without(duringKeyPair(library, "ptrace()"), keyPair + library);
    QTest::newRow("opens the lab's shell's memory for writing")
        << HostileRow::everywhere("write-shell-memory", honest).without(QString(), honest);
    QTest::newRow("has a socket send SIGKILL to the checker when written to")
        << HostileRow::everywhere(
               "signal-by-descriptor",
               duringKeyPair(library, "ioctl() to have a descriptor signal another process"))
               .without(
                   duringKeyPair(library, "ioctl() to have a descriptor signal another process"),
                   honest);
    QTest::newRow("floods the refusal reports without end") << HostileRow::everywhere(
        "flood-refusals", duringKeyPair(started, "kill() on the checker"));
    QTest::newRow("outlives the run in a growing chain of sessions")
        << HostileRow::everywhere("outlive-in-chain", honest);
    QTest::newRow("writes PASS lines into the lab's CI pipe")
        << HostileRow::everywhere("forge-ci-pipe", honest).without(QString(), honest);
    QTest::newRow("writes PASS lines onto the lab's terminal")
        << HostileRow::everywhere("forge-terminal", honest)
               .without(QString(), honest)
               .readBy(Lab::Terminal);
    QTest::newRow("stops the lab's terminal") << HostileRow::everywhere("stop-terminal", honest)
                                                     .readBy(Lab::Terminal)
                                                     .reachingWithoutNamespaces();
    QTest::newRow("stops the report's reader and fills its pipe")
        << HostileRow::everywhere("stop-reader", honest)
               .readBy(Lab::Reader)
               .reachingWithoutNamespaces();
    QTest::newRow("has its report read by a reader that takes one line and goes")
        << HostileRow::everywhere("late-output", honest).readBy(Lab::FirstLine);
    QTest::newRow("kills the report's reader") << HostileRow::everywhere("kill-reader", honest)
                                                      .readBy(Lab::Reader)
                                                      .reachingWithoutNamespaces();
    QTest::newRow("sends the load answer itself, exporting 6 of the 11 functions")
        << HostileRow::everywhere("forge-load-answer",
                                  "FAIL exports: missing: MP_StartInfoHtml, MP_SignPDF, "
                                  "MP_SHOW_PDF, MP_ConfirmPDF, MP_SignPDF_Voice")
               .from(QStringLiteral(HOSTILE_PARTIAL_PATH), QStringLiteral("forward.so"));
    QTest::newRow("a shim whose dependency answers every call")
        << HostileRow::everywhere(QByteArray(),
                                  "FAIL exports: missing: GenerateKeyFromPw, SetPwMkey, SetPwWkey")
               .from(QStringLiteral(SHIM_DEVICE_PATH), QStringLiteral("libfakedevice.so"));
    HostileRow shared = HostileRow::everywhere("rewrite-shared", honest);
    shared.onTmpfs = true;
    QTest::newRow("rewrites its own file through a shared mapping on a tmpfs") << shared;
    HostileRow hidden = HostileRow::everywhere(
        "hide-and-leak", QStringLiteral("FAIL soak: its growth cannot be judged: /proc/"));
    hidden.repeat = Soak::kRoundsToJudge + 3;
    QTest::newRow("hides its descriptors from /proc and leaks one a round") << hidden;
    QTest::newRow("makes the temporary evidence files unreadable")
        << HostileRow::everywhere("chmod-evidence", honest).reachingWithoutNamespaces();
    QTest::newRow("writes text that starts with a NUL byte") << HostileRow::everywhere(
        "nul-output", "library output: \\x00PASS soak: forged after a NUL byte\\x0A");
    // 0 to 2, the channel and the report pipe: nothing of the checker's, nor the shell's open log.
    QTest::newRow("lists its open descriptors") << HostileRow::everywhere(
        "print-descriptors", "library output: descriptors 0 1 2 3 4\\x0A");
    QTest::newRow("writes the names of its environment variables") << HostileRow::everywhere(
        "print-environment", "library output: environment HOME LANG PATH PWD TMPDIR\\x0A");
}

void TestDeviceCheck::programAgainstHostileLibrary()
{
    QFETCH(HostileRow, row);

    const SandboxState sandbox = sandboxState();
    const QString expected = !sandbox.namespaces ? row.withoutNamespaces
        : !sandbox.filter                        ? row.withoutFilter
                                                 : row.expected;
    if (expected.isEmpty())
        QSKIP(
            qPrintable(QStringLiteral("needs the sandbox, unavailable here: ") + sandbox.problem));
    if (row.onTmpfs)
        qputenv("TMPDIR", "/dev/shm");
    WorkingDirectory directory;
    qunsetenv("TMPDIR");
    placeLibrary(&directory, row.library, row.mode, "QUORVEL_SIM_FAULT=wrong-pin-block\n");
    const QString libraryPath = QFileInfo(directory.libraryPath()).canonicalFilePath();
    const QString originalSha256 = sha256Of(libraryPath);
    LabRun run(directory, row.lab);
    const int timeout = 5;
    QStringList arguments{"--library", libraryPath, "--timeout", QString::number(timeout),
                          "--json",    run.json(),  "--junit",   run.junit()};
    if (row.repeat > 1)
        arguments << "--repeat" << QString::number(row.repeat);
    QString error;
    QVERIFY2(run.start(arguments, &error), qPrintable(error));
    // The timeout, the seconds the checker may take to end the library's processes, and those
    // each report stream may wait for a reader that does not read.
    const int status = run.finish(1000 * (timeout + 20));
    QFile json(run.json());
    QFile junit(run.junit());
    const QByteArray jsonBytes = json.open(QIODevice::ReadOnly) ? json.readAll() : QByteArray();
    const QByteArray junitBytes = junit.open(QIODevice::ReadOnly) ? junit.readAll() : QByteArray();
    // What the library left behind has a moment to try, then must find nothing of its own.
    QThread::msleep(1000);
    const QList<qint64> left = processesMarked(QFile::encodeName(directory.rootPath()));
    for (const qint64 pid : left)
        kill(static_cast<pid_t>(pid), SIGKILL);
    const QString shown = QString::fromUtf8(run.shown());

    QCOMPARE(status, 1);
    QVERIFY2(left.isEmpty(), "processes of the library's were left running");
    // Nothing the lab reads passes the library for qualified, and every line of the checker's
    // that reached it is its own.
    for (const QString& line : shown.split(QLatin1Char('\n'))) {
        QVERIFY2(!line.startsWith(QLatin1String("library output: "))
                     ? !line.contains(QLatin1String("forged by the library"))
                     : true,
                 qPrintable(shown));
        QVERIFY2(!line.trimmed().endsWith(QLatin1String("; qualified")), qPrintable(shown));
    }
    // The evidence: whole, honest, unchanged since the checker ended, readable by the lab.
    json.close();
    junit.close();
    QVERIFY(json.open(QIODevice::ReadOnly) && junit.open(QIODevice::ReadOnly));
    QCOMPARE(json.readAll(), jsonBytes);
    QCOMPARE(junit.readAll(), junitBytes);
    for (const QString& path : {run.json(), run.junit()}) {
        struct stat file;
        QVERIFY(stat(QFile::encodeName(path).constData(), &file) == 0);
        QVERIFY2((file.st_mode & S_IRUSR) && file.st_uid == (asRoot() ? kLabUser : geteuid()),
                 qPrintable(path));
    }
    const QJsonObject report = QJsonDocument::fromJson(jsonBytes).object();
    QCOMPARE(report.value("exitCode").toInt(), 1);
    QCOMPARE(report.value("qualified").toBool(), false);
    QCOMPARE(report.value("checks").toArray().size(), DeviceChecker::checkIds().size());
    QCOMPARE(junitProperty(junitBytes, QStringLiteral("exitCode")), QStringLiteral("1"));
    QCOMPARE(junitProperty(junitBytes, QStringLiteral("qualified")), QStringLiteral("false"));
    const QStringList lines = evidenceLines(report);
    QVERIFY2(std::any_of(lines.begin(), lines.end(),
                         [&](const QString& line) { return line.startsWith(expected); }),
             qPrintable(lines.join('\n')));
    QVERIFY2(lines.filter(QRegularExpression("^PASS pin-block")).isEmpty(),
             qPrintable(lines.join('\n')));
    // The library is the file given, hashed as it was before the run or not at all; what it
    // loaded beside it is named, wherever its mappings could be read; and it reached nothing it
    // should not have.
    const QJsonObject library = report.value("library").toObject();
    QCOMPARE(library.value("path").toString(), libraryPath);
    QVERIFY2(library.value("sha256").toString().isEmpty()
                 || library.value("sha256").toString() == originalSha256,
             qPrintable(library.value("sha256").toString()));
    QCOMPARE(library.value("simulator").toBool(), false);
    const QJsonArray mapped = library.value("alsoMapped").toArray();
    QVERIFY2(!library.value("identityConfirmed").toBool()
                 || std::any_of(mapped.begin(), mapped.end(),
                                [&](const QJsonValue& object) {
                                    return object.toObject().value("path").toString().endsWith(
                                        QLatin1Char('/') + row.dependency);
                                }),
             qPrintable(QJsonDocument(library).toJson()));
    if (sandbox.namespaces || !row.reachesWithoutNamespaces)
        QVERIFY2(!library.value("output").toString().contains(QLatin1String("reached")),
                 qPrintable(library.value("output").toString()));
    QVERIFY2(!library.value("output").toString().contains(QLatin1String("s3cr3t")),
             qPrintable(library.value("output").toString()));
}

// A signal that ends the checker during a call ends the library's processes with it, and leaves
// neither evidence nor its temporary file.
void TestDeviceCheck::programEndedBySignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestDeviceCheck::programEndedBySignal()
{
    QFETCH(int, signal);

    WorkingDirectory directory;
    directory.copyLibrary(QStringLiteral(SIMULATOR_PATH));
    const QString json = directory.rootPath() + QStringLiteral("/evidence.json");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUORVEL_SIM_FAULT"), QStringLiteral("hang"));
    ChildProcess checker;
    QVERIFY2(startDeviceCheck(&checker, {"--json", json}, environment),
             qPrintable(checker.error()));
    // The PIN entry, which hangs, is under way once the work key has been judged.
    const bool underWay = checker.waitForOutput("workkey", 60000);
    const QByteArray output = checker.output();
    const QByteArray marker = QFile::encodeName(directory.rootPath());
    const QList<qint64> running = processesMarked(marker);
    // Never 0 or -1, which would signal this test's own process group or every process.
    QVERIFY2(underWay && checker.pid() > 0, output.constData());
    kill(checker.pid(), signal);
    QVERIFY(checker.waitForFinished(10000));
    const QList<qint64> left = processesMarked(marker);
    for (const qint64 pid : left)
        kill(static_cast<pid_t>(pid), SIGKILL);
    QVERIFY2(output.contains("workkey"), output.constData());
    // The checker and the library's process at least, and bubblewrap's where it ran.
    QVERIFY2(running.size() >= 2, qPrintable(QString::number(running.size())));
    QVERIFY2(left.isEmpty(), "processes of the library's were left running");
    QCOMPARE(checker.signal(), signal);
    QCOMPARE(QDir(directory.rootPath()).entryList(QDir::Files), QStringList());
}

// The key chain repeated against the simulator, clean and in the faults that only show over many
// rounds: a clean library passes 500 rounds, and each fault fails the soak check with its reason,
// in the report, the JSON and the JUnit report; too few rounds say the growth was not judged.
void TestDeviceCheck::soak_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<int>("rounds");
    QTest::addColumn<QString>("expected"); // a pattern for the soak check's line

    QTest::newRow("clean, 500 rounds")
        << QByteArray() << 500
        << "^PASS soak: 500 rounds of the key chain and the PIN entry, none failed, and the "
           "library's process did not grow";
    QTest::newRow("clean, too few rounds to judge the growth")
        << QByteArray() << 2
        << "^PASS soak: 2 rounds of the key chain and the PIN entry, none failed; the process's "
           "growth was not judged: that takes --repeat 12 or more";
    QTest::newRow("keeps 4 KiB at every work key")
        << QByteArray("leak") << 120
        << "^FAIL soak: the library's process leaks: its resident size grew from \\d+ to \\d+ KiB "
           "over rounds 10 to 120 \\(\\d+ KiB per 100 rounds\\), above 64 KiB per 100 rounds in "
           "both halves";
    QTest::newRow("opens a descriptor at every key pair")
        << QByteArray("leak-fd")
        << 120
        // Under AddressSanitizer each descriptor's bookkeeping grows the resident size as well.
        << "^FAIL soak: the library's process leaks: (its resident size grew .*; )?its open "
           "descriptors grew from \\d+ to \\d+ over rounds 10 to 120, in both halves";
    // The 50th SetPwMkey of the run: four in the checks, eleven in every ten rounds.
    QTest::newRow("refuses one main key in 50")
        << QByteArray("flaky") << 120
        << "^FAIL soak: 2 of 120 rounds failed, the first at round 42, SetPwMkey: refused with "
           "-115 this round's main key";
}

void TestDeviceCheck::soak()
{
    QFETCH(QByteArray, fault);
    QFETCH(int, rounds);
    QFETCH(QString, expected);

    WorkingDirectory directory;
    directory.copyLibrary(QStringLiteral(SIMULATOR_PATH));
    const QString json = directory.rootPath() + QStringLiteral("/evidence.json");
    const QString junit = directory.rootPath() + QStringLiteral("/junit.xml");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QUORVEL_SIM_PIN"));
    environment.insert(QStringLiteral("QUORVEL_SIM_FAULT"), QString::fromLatin1(fault));
    ChildProcess checker;
    QVERIFY2(startDeviceCheck(
                 &checker, {"--repeat", QString::number(rounds), "--json", json, "--junit", junit},
                 environment),
             qPrintable(checker.error()));
    QVERIFY(checker.waitForFinished(600000));
    const QStringList lines =
        QString::fromUtf8(checker.output()).trimmed().split(QLatin1Char('\n'));

    const QStringList soakLine = lines.filter(QRegularExpression("^(PASS|FAIL) soak"));
    QCOMPARE(soakLine.size(), 1);
    QVERIFY2(QRegularExpression(expected).match(soakLine[0]).hasMatch(), qPrintable(soakLine[0]));
    QCOMPARE(checker.exitCode(), fault.isEmpty() ? 0 : 1);
    // A line per function, the growth and the process boundary's cost a call.
    for (const char* function : {"GenerateKeyFromPw", "SetPwMkey", "SetPwWkey", "InputPassword"})
        QCOMPARE(
            lines
                .filter(QRegularExpression(
                    QStringLiteral("^soak %1 +\\d+ calls, \\d+ failed; median ").arg(function)))
                .size(),
            1);
    const bool judged = rounds >= Soak::kRoundsToJudge;
    QCOMPARE(lines
                 .filter(QRegularExpression(judged ? "^soak growth over rounds 10 to "
                                                   : "^soak growth: not judged, fewer than 3 "
                                                     "rounds after the 10 of the warm-up; "
                                                     "--repeat 12 or more judges it$"))
                 .size(),
             1);
    QCOMPARE(lines.filter(QRegularExpression("^soak process boundary: median ")).size(), 1);

    // The JSON: every round run, every failed call with its detail, the growth judged or not.
    QFile evidence(json);
    QVERIFY(evidence.open(QIODevice::ReadOnly));
    const QJsonObject soak =
        QJsonDocument::fromJson(evidence.readAll()).object().value("soak").toObject();
    QCOMPARE(soak.value("roundsRun").toInt(), rounds);
    int failedCalls = 0;
    for (const QJsonValue& function : soak.value("functions").toArray())
        failedCalls += function.toObject().value("failed").toInt();
    QCOMPARE(soak.value("failures").toArray().size(), failedCalls);
    QCOMPARE(soak.value("failedRounds").toInt() > 0, fault == "flaky");
    QCOMPARE(soak.value("growth").toObject().value("judged").toBool(), judged);
    QCOMPARE(soak.value("growth").toObject().value("problem").toString().isEmpty(),
             fault != "leak" && fault != "leak-fd");
    // The JUnit report: the soak's failure and the qualification's.
    QFile report(junit);
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QString problem = junitProblem(report.readAll(), fault.isEmpty() ? 0 : 2, 0);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestDeviceCheck::arguments_data()
{
    QTest::addColumn<QStringList>("arguments"); // after the program name
    QTest::addColumn<QString>("error");         // empty: accepted
    QTest::addColumn<QString>("library");       // relative to the working directory, if accepted
    QTest::addColumn<QString>("pin");
    // The program refuses them too, as root and as the lab's user, before any device call, and
    // leaves every file named as it was.
    QTest::addColumn<bool>("asProgram");

    const QString defaultLibrary = QStringLiteral("./quorvel/libClientScreen.so");
    const QString none;
    QTest::newRow("no arguments") << QStringList() << none << defaultLibrary << "123456" << false;
    QTest::newRow("--pin of 4 digits")
        << QStringList{"--pin", "0000"} << none << defaultLibrary << "0000" << false;
    QTest::newRow("--pin of 6 digits")
        << QStringList{"--pin", "246810"} << none << defaultLibrary << "246810" << false;
    QTest::newRow("--pin of 7 digits, longer than the PIN entry's 6")
        << QStringList{"--pin", "1234567"} << "--pin: needs 4 to 6 decimal digits, not '1234567'"
        << none << none << false;
    QTest::newRow("--pin of 3 digits")
        << QStringList{"--pin", "123"} << "--pin: needs 4 to 6 decimal digits, not '123'" << none
        << none << false;
    QTest::newRow("--pin with a letter")
        << QStringList{"--pin", "12a4"} << "--pin: needs 4 to 6 decimal digits, not '12a4'" << none
        << none << false;
    QTest::newRow("--pin without its value")
        << QStringList{"--pin"} << "--pin: needs a value" << none << none << true;
    QTest::newRow("an option there is not")
        << QStringList{"--bogus"} << "--bogus: not an option" << none << none << true;
    QTest::newRow("--timeout 0")
        << QStringList{"--timeout", "0"}
        << "--timeout: needs a whole number of seconds from 1 to 86400, not '0'" << none << none
        << false;
    QTest::newRow("--timeout not a number")
        << QStringList{"--timeout", "2s"}
        << "--timeout: needs a whole number of seconds from 1 to 86400, not '2s'" << none << none
        << false;
    QTest::newRow("--timeout 2") << QStringList{"--timeout", "2"} << none << defaultLibrary
                                 << "123456" << false;
    QTest::newRow("--json without a name")
        << QStringList{"--json", ""} << "--json: needs a file name" << none << none << false;
    QTest::newRow("--junit without a name")
        << QStringList{"--junit", ""} << "--junit: needs a file name" << none << none << false;
    QTest::newRow("--repeat 0") << QStringList{"--repeat", "0"}
                                << "--repeat: needs a whole number from 1 to 1000000, not '0'"
                                << none << none << false;
    QTest::newRow("--repeat not a number")
        << QStringList{"--repeat", "5x"}
        << "--repeat: needs a whole number from 1 to 1000000, not '5x'" << none << none << false;
    QTest::newRow("--library without a path")
        << QStringList{"--library", ""} << "--library: needs a path" << none << none << false;
    QTest::newRow("--device that is there")
        << QStringList{"--device", "/dev/null"} << none << defaultLibrary << "123456" << false;
    QTest::newRow("--device that is not there")
        << QStringList{"--device", "/dev/./ttyNOWHERE"}
        << "--device: /dev/ttyNOWHERE: No such file or directory" << none << none << true;
    // The evidence never overwrites the library, or one evidence file the other, and never
    // replaces a folder, a device or a FIFO.
    // %1: a fresh folder that holds lib.so, a copy of the simulator.
    QTest::newRow("--json naming the library")
        << QStringList{"--library", "%1/lib.so", "--json", "%1/./lib.so"}
        << "--json: %1/lib.so: the same file as --library" << none << none << true;
    QTest::newRow("--junit naming the library through a link")
        << QStringList{"--library", "%1/lib.so", "--junit", "%1/link.so"}
        << "--junit: %1/link.so: the same file as --library" << none << none << true;
    QTest::newRow("--json naming the library through another name")
        << QStringList{"--library", "%1/none/../lib.so", "--json", "%1/lib.so"}
        << "--json: %1/lib.so: the same file as --library" << none << none << false;
    QTest::newRow("--json and --junit the same file")
        << QStringList{"--json", "%1/evidence", "--junit", "%1/./evidence"}
        << "--json: %1/evidence: the same file as --junit" << none << none << true;
    QTest::newRow("--json naming a folder")
        << QStringList{"--json", "%1"} << "--json: %1: a folder; give the path of a file to write"
        << none << none << true;
    QTest::newRow("--json naming a device")
        << QStringList{"--json", "/dev/null"}
        << "--json: /dev/null: not a regular file; give the path of a file to write" << none << none
        << true;
    QTest::newRow("--junit naming a device")
        << QStringList{"--junit", "/dev/zero"}
        << "--junit: /dev/zero: not a regular file; give the path of a file to write" << none
        << none << true;
    // A bare name is a file in the working directory, never a search of the loader's paths, and
    // is given no lib prefix or .so suffix.
    QTest::newRow("--library bare name")
        << QStringList{"--library", "libfake.so"} << none << "libfake.so"
        << "123456" << false;
    QTest::newRow("--library without prefix or suffix")
        << QStringList{"--library", "x/fake"} << none << "x/fake"
        << "123456" << false;
    QTest::newRow("--library kept through ..")
        << QStringList{"--library", "x/../fake.so"} << none << "x/../fake.so"
        << "123456" << false;
    QTest::newRow("--library absolute")
        << QStringList{"--library", "/opt/v/lib.so"} << none << "/opt/v/lib.so"
        << "123456" << false;
    QTest::newRow("a stray argument")
        << QStringList{"lib.so"} << "unexpected argument 'lib.so'" << none << none << false;
}

void TestDeviceCheck::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFETCH(QString, library);
    QFETCH(QString, pin);
    QFETCH(bool, asProgram);

    QTemporaryDir folder;
    QVERIFY(QFile::copy(QStringLiteral(SIMULATOR_PATH), folder.filePath("lib.so"))
            && QFile::link(folder.filePath("lib.so"), folder.filePath("link.so")));
    chmod(QFile::encodeName(folder.path()).constData(), 0755);
    for (QString& argument : arguments)
        argument.replace(QStringLiteral("%1"), folder.path());
    error.replace(QStringLiteral("%1"), folder.path());
    const ParsedArguments parsed = parseArguments(QStringList{"device-check"} + arguments);
    QCOMPARE(parsed.error, error);
    QCOMPARE(parsed.action, error.isEmpty() ? ParsedArguments::Run : ParsedArguments::Error);
    if (error.isEmpty()) {
        const QString absolute =
            library.startsWith('/') ? library : QDir::currentPath() + QLatin1Char('/') + library;
        QCOMPARE(parsed.options.library, absolute);
        QCOMPARE(parsed.options.pin, pin);
    }
    if (!asProgram)
        return;
    // The files named, as they were: a device stays a device, the library stays the library.
    const auto states = [&] {
        QStringList found;
        for (const QString& argument : arguments) {
            struct stat file;
            if (argument.startsWith('/')
                && stat(QFile::encodeName(argument).constData(), &file) == 0)
                found << QStringLiteral("%1 %2 %3 %4 %5")
                             .arg(argument)
                             .arg(file.st_mode)
                             .arg(file.st_ino)
                             .arg(file.st_size)
                             .arg(file.st_mtim.tv_nsec);
        }
        return found;
    };
    const QStringList before = states();
    QVector<bool> users{false};
    if (asRoot())
        users << true;
    for (const bool asLab : users) {
        QStringList command{QStringLiteral("sh"), QStringLiteral("-c"),
                            QStringLiteral("exec \"$@\" 2>&1"), QStringLiteral("sh")};
        command += deviceCheckCommand(arguments);
        if (asLab)
            command = asLabUser(command);
        ChildProcess checker;
        QVERIFY2(checker.start(command.first(), command.mid(1)), qPrintable(checker.error()));
        QVERIFY(checker.waitForFinished(30000));
        QCOMPARE(checker.exitCode(), 2);
        QCOMPARE(QString::fromUtf8(checker.output()).trimmed(),
                 QStringLiteral("device-check: ") + error);
        QCOMPARE(states(), before);
    }
}

// The PIN block reader alone: both layouts it knows, and blocks it must refuse.
void TestDeviceCheck::readPinBlock_data()
{
    QTest::addColumn<QByteArray>("block"); // hexadecimal
    QTest::addColumn<QString>("layout");   // empty: not recognised
    QTest::addColumn<QString>("pin");

    const QString own = QStringLiteral("0N, BCD, F fill");
    const QString iso = QStringLiteral("ISO 9564 format 2");
    QTest::newRow("own layout") << QByteArray("06123456FFFFFFFFFFFFFFFFFFFFFFFF") << own
                                << "123456";
    QTest::newRow("own layout, 12 digits")
        << QByteArray("0C012345678909FFFFFFFFFFFFFFFFFF") << own << "012345678909";
    QTest::newRow("ISO 9564 format 2, odd length")
        << QByteArray("2598765FFFFFFFFFFFFFFFFFFFFFFFFF") << iso << "98765";
    QTest::newRow("ISO 9564 format 2, 4 digits")
        << QByteArray("240000FFFFFFFFFFFFFFFFFFFFFFFFFF") << iso << "0000";
    QTest::newRow("control nibble 1")
        << QByteArray("16123456FFFFFFFFFFFFFFFFFFFFFFFF") << QString() << QString();
    QTest::newRow("length 3") << QByteArray("23123FFFFFFFFFFFFFFFFFFFFFFFFFFF") << QString()
                              << QString();
    QTest::newRow("length 13") << QByteArray("2D0123456789012FFFFFFFFFFFFFFFFF") << QString()
                               << QString();
    QTest::newRow("length one above the digits")
        << QByteArray("2612345FFFFFFFFFFFFFFFFFFFFFFFFF") << QString() << QString();
    QTest::newRow("length one below the digits")
        << QByteArray("25123456FFFFFFFFFFFFFFFFFFFFFFFF") << QString() << QString();
    QTest::newRow("digit A") << QByteArray("26123A56FFFFFFFFFFFFFFFFFFFFFFFF") << QString()
                             << QString();
    QTest::newRow("fill nibble E")
        << QByteArray("26123456FFFFFFFFFFFFFFFFFFFFFFFE") << QString() << QString();
    QTest::newRow("8-byte block") << QByteArray("26123456FFFFFFFF") << QString() << QString();
}

void TestDeviceCheck::readPinBlock()
{
    QFETCH(QByteArray, block);
    QFETCH(QString, layout);
    QFETCH(QString, pin);

    const PinBlockReading reading = ::readPinBlock(QByteArray::fromHex(block));
    QCOMPARE(reading.recognised, !layout.isEmpty());
    QCOMPARE(reading.layout, layout);
    QCOMPARE(reading.pin, pin);
}

QTEST_MAIN(TestDeviceCheck)
#include "tst_devicecheck.moc"
