// How device-check starts the library host: the command line that runs it inside bubblewrap's
// namespaces, the one that runs it directly where they cannot be had, and the short environment it
// gets either way.
//
// In the sandbox the host sees a read-only view of the system's folders (/usr, /lib*, /etc), of
// the library's own folder and of the library file itself; a private /proc that shows only its own
// processes; a /dev with the usual pseudo-devices and the device nodes a device library needs; a
// private writable /tmp as its HOME and TMPDIR; no network, IPC or host name of the machine's; a
// session of its own with no terminal; and it dies with the checker. Its pid namespace ends every
// process it started when it ends.
#ifndef HOSTCOMMAND_H
#define HOSTCOMMAND_H

#include <QByteArrayList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

struct HostLaunch {
    QString hostProgram; // device-check-host
    QString library;     // the library file's real path
    QStringList devices; // the device nodes it may reach
    bool simulator = false;
    QString pin; // the simulator's PIN, for the simulator only
};

// bubblewrap, from the Debian package bubblewrap.
QString bubblewrapProgram();

// The serial and USB device nodes present on this machine that a device library is given by
// default: /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyAMA* and /dev/bus/usb.
QStringList defaultDevices();

// bubblewrap's command line that runs the host in the sandbox.
QByteArrayList sandboxedCommand(const HostLaunch& launch);
// The host's command line without a sandbox, with the checker's pid and process group for the
// filter.
QByteArrayList directCommand(const HostLaunch& launch, pid_t checker, pid_t checkerGroup);

// The host's working folder: the scratch folder, private in the sandbox, the system's /tmp
// without it.
QByteArray hostWorkingDirectory();

// PATH, HOME, TMPDIR and PWD on the scratch folder, LANG as the checker has it, and for the
// simulator its own variables (QUORVEL_SIM_*) as the checker has them, with QUORVEL_SIM_PIN the PIN
// the tester types.
QByteArrayList hostEnvironment(const HostLaunch& launch);

#endif
