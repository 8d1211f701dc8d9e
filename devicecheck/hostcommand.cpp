#include "devicecheck/hostcommand.h"

#include "libraryhost/hostprotocol.h"
#include "util/elffile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <unistd.h>

namespace {
// The scratch folder, the host's HOME and TMPDIR: a private tmpfs in the sandbox.
const char kScratch[] = "/tmp";
const char kPath[] = "/usr/bin:/bin";
const char kSimulatorPrefix[] = "QUORVEL_SIM_";
const char kSimulatorPin[] = "QUORVEL_SIM_PIN";

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

// The emulator that runs the host where this machine's own programs are of another architecture:
// a cross build's tests run under qemu-user, which cannot exec a foreign binary by itself. Empty
// where the host runs as it is, on the machine it was built for.
QByteArrayList launcher(const QString& hostProgram)
{
    const QByteArray emulator(DEVICE_CHECK_HOST_LAUNCHER);
    if (emulator.isEmpty())
        return {};
    const ElfKind host = elfKindOfFile(hostProgram);
    const ElfKind system = elfKindOfFile(QStringLiteral("/bin/sh"));
    if (!host.elf || !system.elf || host.machine == system.machine)
        return {};
    return {emulator};
}

// The host's command: the launcher if any, the host, the library.
QByteArrayList hostCommand(const HostLaunch& launch)
{
    return launcher(launch.hostProgram)
        + QByteArrayList{encoded(launch.hostProgram), encoded(launch.library)};
}
}

QString bubblewrapProgram()
{
    return QStringLiteral("/usr/bin/bwrap");
}

QStringList defaultDevices()
{
    QStringList devices;
    const QDir dev(QStringLiteral("/dev"));
    for (const QString& name :
         dev.entryList({"ttyS*", "ttyUSB*", "ttyACM*", "ttyAMA*"}, QDir::System, QDir::Name))
        devices << dev.filePath(name);
    if (QFileInfo(QStringLiteral("/dev/bus/usb")).isDir())
        devices << QStringLiteral("/dev/bus/usb");
    return devices;
}

QByteArrayList sandboxedCommand(const HostLaunch& launch)
{
    // Every namespace but the user namespace by name: bubblewrap makes one itself for an ordinary
    // user, and root, to whom a chroot refuses one, needs none. No capability, for root either.
    QByteArrayList command{encoded(bubblewrapProgram())};
    command << QByteArray("--unshare-pid --unshare-ipc --unshare-net --unshare-uts "
                          "--unshare-cgroup-try --cap-drop ALL --die-with-parent --new-session "
                          "--ro-bind /usr /usr")
                   .split(' ');
    // The top-level folders that merged /usr makes links, linked the same way; otherwise bound.
    for (const char* top : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        const QFileInfo folder{QLatin1String(top)};
        if (folder.isSymLink())
            command << "--symlink" << encoded(folder.symLinkTarget()) << top;
        else if (folder.isDir())
            command << "--ro-bind" << top << top;
    }
    command << QByteArray("--ro-bind /etc /etc --proc /proc --dev /dev").split(' ');
    for (const QString& device : launch.devices)
        command << "--dev-bind" << encoded(device) << encoded(device);
    command << "--tmpfs" << kScratch;
    // The library's folder, for what it keeps beside it (its own dependencies), unless that is the
    // root, and the library file itself. That it is the file the checker hashed is confirmed after
    // the run: by its device and inode among the host's mappings, its state and its hash again.
    const QString folder = QFileInfo(launch.library).path();
    if (folder != QLatin1String("/"))
        command << "--ro-bind" << encoded(folder) << encoded(folder);
    command << "--ro-bind" << encoded(launch.library) << encoded(launch.library);
    const QByteArrayList programs = launcher(launch.hostProgram) << encoded(launch.hostProgram);
    for (const QByteArray& program : programs)
        command << "--ro-bind" << program << program;
    command << "--chdir" << kScratch << "--";
    return command + hostCommand(launch);
}

QByteArray hostWorkingDirectory()
{
    return kScratch;
}

QByteArrayList directCommand(const HostLaunch& launch, pid_t checker, pid_t checkerGroup)
{
    return hostCommand(launch) << QByteArray::number(checker) << QByteArray::number(checkerGroup);
}

QByteArrayList hostEnvironment(const HostLaunch& launch)
{
    QByteArrayList environment{QByteArray("PATH=") + kPath, QByteArray("HOME=") + kScratch,
                               QByteArray("TMPDIR=") + kScratch, QByteArray("PWD=") + kScratch};
    const QProcessEnvironment own = QProcessEnvironment::systemEnvironment();
    if (own.contains(QStringLiteral("LANG")))
        environment << "LANG=" + own.value(QStringLiteral("LANG")).toLocal8Bit();
    if (!launch.simulator)
        return environment;
    for (const QString& name : own.keys())
        if (name.startsWith(QLatin1String(kSimulatorPrefix))
            && name != QLatin1String(kSimulatorPin))
            environment << (name + QLatin1Char('=') + own.value(name)).toLocal8Bit();
    environment << QByteArray(kSimulatorPin) + '=' + launch.pin.toLatin1();
    return environment;
}
