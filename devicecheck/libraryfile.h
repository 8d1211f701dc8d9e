// The device library file as the checker takes it before the run: opened once, its real path, its
// state and SHA-256, and the functions its dynamic section defines, all read by the checker from
// the file, none from the library's process. After the run the file the host mapped must be this
// one, unchanged and with the same hash: what is hashed is what was loaded.
#ifndef LIBRARYFILE_H
#define LIBRARYFILE_H

#include "util/libraryidentity.h"

#include <QString>

class LibraryFile {
public:
    LibraryFile() = default;
    ~LibraryFile();
    LibraryFile(const LibraryFile&) = delete;
    LibraryFile& operator=(const LibraryFile&) = delete;

    // Opens the regular file at path (never anything else: a FIFO would block the open) and reads
    // it; false, with problem(), when it cannot.
    bool open(const QString& path);
    QString problem() const { return m_problem; }

    // The file's path with every symbolic link resolved.
    QString realPath() const { return m_realPath; }
    const FileState& state() const { return m_state; }
    // 64 lowercase hex digits; empty when the file could not be read to its end.
    QString sha256() const { return m_sha256; }
    // Bit i: kDeviceFunctionNames[i] is defined in the file's dynamic section.
    quint32 exported() const { return m_exported; }
    // The file defines the simulator's mark itself.
    bool simulatorMark() const { return m_simulatorMark; }
    // The file is still as it was opened: its state the same and its SHA-256, read again.
    bool unchanged() const;
    // Why the file did not load, in plain English: what its ELF header says when that explains
    // it (not ELF, another word size or machine), otherwise failure, which is the loader's own
    // text when loaderText, given without the path it repeats.
    QString loadFailure(const QString& failure, bool loaderText) const;

private:
    int m_fd = -1;
    QString m_problem;
    QString m_realPath;
    FileState m_state;
    QString m_sha256;
    quint32 m_exported = 0;
    bool m_simulatorMark = false;
    QByteArray m_header; // the file's first bytes
};

#endif
