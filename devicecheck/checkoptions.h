// The device checker's command line: which library, the PIN the tester types, how long a device
// call may take, where to write the JSON evidence, and whether to write the serial number.
#ifndef CHECKOPTIONS_H
#define CHECKOPTIONS_H

#include <QString>
#include <QStringList>

struct CheckOptions {
    QString library = QStringLiteral("./quorvel/libClientScreen.so"); // made absolute to load
    QString pin = QStringLiteral("123456");
    // Each device call; the PIN entry asks the pad for 120 s, so the default leaves time over.
    int timeoutSeconds = 150;
    QString jsonPath; // empty: no JSON
    bool writeSn = false;
};

struct ParsedArguments {
    enum Action { Run, Help, Error };
    Action action = Run;
    CheckOptions options;
    QString error; // one line, for Error
};

// arguments as the process got them, the program name first.
ParsedArguments parseArguments(const QStringList& arguments);

// The exact file path for the loader: a relative path put after the working directory, so that
// no search path, prefix or suffix applies to it.
QString absoluteLibraryPath(const QString& path);

QString usageText();

#endif
