// Runs a test in a fresh temporary working directory, where the tool looks for
// "./quorvel/libClientScreen.so"; the previous directory comes back when it goes.
#ifndef WORKINGDIRECTORY_H
#define WORKINGDIRECTORY_H

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// "<real path> sha256=<hex>" for the file at path, worked out apart from the code under test: how
// the window's start-up line and device-check's first line name a library.
QString expectedIdentity(const QString& path);

class WorkingDirectory {
public:
    // No device library. The working directory is the fresh temporary directory itself, or the
    // directory name inside it, so that the tests can place look-alike siblings beside it.
    explicit WorkingDirectory(const QString& name = QString());
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

    // Places a copy of the file at source as the device library.
    void copyLibrary(const QString& source);
    // Places a device library file holding exactly these bytes.
    void writeLibrary(const QByteArray& content);
    QString libraryPath() const;
    // The temporary directory, with symbolic links resolved.
    QString rootPath() const;
    // The window's start-up line for the library placed here: its real path and its SHA-256.
    QString loadedLine() const;

private:
    QString m_previous;
    QTemporaryDir m_dir;
    QString m_path;
};

#endif
