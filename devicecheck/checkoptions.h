// The device checker's command line: which library, the PIN the tester types, how long a device
// call may take, where to write the JSON evidence and the JUnit report, whether to write the
// serial number, and how many times to repeat the key chain.
#ifndef CHECKOPTIONS_H
#define CHECKOPTIONS_H

#include <QString>
#include <QStringList>

struct CheckOptions {
    QString library = QStringLiteral("./quorvel/libClientScreen.so"); // made absolute to load
    QString pin = QStringLiteral("123456");
    // Each device call; the PIN entry asks the pad for 120 s, so the default leaves time over.
    int timeoutSeconds = 150;
    QString jsonPath;  // empty: no JSON
    QString junitPath; // empty: no JUnit report
    bool writeSn = false;
    // Rounds of the key chain after the checks; 1: none, the checks alone.
    int repeat = 1;
    // Device nodes the library may reach besides the default serial and USB ones.
    QStringList devices;
    // The library host, device-check-host; not an option: the program beside device-check.
    QString hostProgram;
};

struct ParsedArguments {
    enum Action { Run, Help, Error };
    Action action = Run;
    CheckOptions options;
    QString error; // one line, for Error: "<option>: [<path>: ]<why>"
};

// arguments as the process got them, the program name first. The files named are checked too:
// --json, --junit and --library three different files, and neither evidence file a folder or
// anything but a regular file.
ParsedArguments parseArguments(const QStringList& arguments);

// The exact file path for the loader: a relative path put after the working directory, so that
// no search path, prefix or suffix applies to it.
QString absoluteLibraryPath(const QString& path);

// A path as device-check shows it: absolute, cleaned of "." and "..".
QString displayedPath(const QString& path);

QString usageText();

#endif
