// Which file answers as the device: the file a loaded device library was mapped from, its
// SHA-256, and whether it marks itself as this project's simulator. A tester must be able to tell
// a simulated answer from a real device's, and which vendor build gave it.
#ifndef LIBRARYIDENTITY_H
#define LIBRARYIDENTITY_H

#include <QString>
#include <QVector>

#include <sys/stat.h>

class QLibrary;

// What stat() says of a file that tells it apart from any other file or any other content of the
// same file: replacing the file changes its device or inode, and rewriting it in place its size,
// its modification time or its status-change time. A rewrite that keeps the size and lands within
// the file system's timestamp granularity of the state taken before is not seen.
struct FileState {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedSeconds = 0;
    qint64 modifiedNanoseconds = 0;
    qint64 changedSeconds = 0;
    qint64 changedNanoseconds = 0;

    bool operator==(const FileState& other) const;
    bool operator!=(const FileState& other) const { return !(*this == other); }
};

// The state that status, filled by stat() or fstat(), describes.
FileState fileState(const struct stat& status);

struct LibraryIdentity {
    QString path; // the mapped file's absolute path as the kernel names it in /proc/PID/maps,
                  // its octal escapes (\012 for a newline) decoded; empty when unknown
    // 64 lowercase hex digits, set only when the hashed file is the mapped one and the one that was
    // loaded: opened, and that same open descriptor hashed, its device and inode the maps entry's
    // and its state, before and after hashing, the state taken before the library was loaded;
    // empty otherwise.
    QString sha256;
    bool simulator = false; // the simulator's mark; only ever true with a confirmed identity

    bool confirmed() const { return !sha256.isEmpty(); }
};

// The symbol by which the simulator marks itself; no device library is expected to export it.
extern const char kSimulatorMarkSymbol[];

// The identity of the object mapped at address in process pid's memory (0: this process), from
// /proc/PID/maps; simulatorMark says whether the loaded object itself defines the mark symbol,
// and is kept only when the identity is confirmed. before is the state of the file asked for,
// taken before the library was loaded (a default FileState matches no file): a file replaced or
// rewritten since, the library itself doing it as it loads included, is not confirmed. Opens
// nothing but the maps file and a regular file whose device and inode the maps entry names.
LibraryIdentity identifyMapping(qint64 pid, quintptr address, bool simulatorMark,
                                const FileState& before);

// A file that a process has mapped, as /proc/PID/maps names it.
struct FileMapping {
    quint64 device = 0; // as stat() gives st_dev
    quint64 inode = 0;
    QString path; // the kernel's text, its octal escapes decoded
};

// Every file process pid has mapped, once each, in the order of the maps; false when its maps
// cannot be read.
bool fileMappings(qint64 pid, QVector<FileMapping>* mappings);

// The SHA-256 of the file a mapping names, when the file at its path is that mapping's (its device
// and inode) and a regular file that did not change while it was hashed; empty otherwise.
QString mappedFileDigest(const FileMapping& mapping);

// The identity of a library that load() has loaded in this process, whose file had the state
// before when it was asked for: the object the loader holds under its file name, found through
// its link map, and its mapping in /proc/self/maps; the name the loader holds when the maps name
// no file. Runs none of the library's code, looks up no device function and writes nothing to
// standard output.
LibraryIdentity identifyLibrary(const QLibrary& library, const FileState& before);

// "<path> sha256=<hex>", with " (模拟设备)" after it for the simulator; "sha256=(无法确认)" when
// the hashed file could not be shown to be the mapped one, unchanged since it was asked for. The
// path is as the file system names it: the log pane escapes it as it escapes every line.
QString identityText(const LibraryIdentity& identity);

// The library path that was asked for, made absolute against the working directory.
QString requestedPath(const QString& path);

// What is shown when the library at path will not load: "<requested path>: <reason>", the reason
// being what the file's ELF header says when that explains it, otherwise the loader's own text.
QString loadFailureText(const QString& path, const QString& loaderText);

#endif
