// Which file answers as the device: the file a loaded device library was mapped from, its
// SHA-256, and whether it marks itself as this project's simulator. A tester must be able to tell
// a simulated answer from a real device's, and which vendor build gave it.
#ifndef LIBRARYIDENTITY_H
#define LIBRARYIDENTITY_H

#include "util/filehash.h"

#include <QString>

class QLibrary;

struct LibraryIdentity {
    QString path; // the mapped file's absolute path as the kernel names it in /proc/PID/maps,
                  // its octal escapes (\012 for a newline) decoded; empty when unknown
    // 64 lowercase hex digits, set only when the hashed file is the mapped one: opened, its device
    // and inode equal the maps entry's, and that same open descriptor hashed; empty otherwise.
    QString sha256;
    bool simulator = false; // the simulator's mark; only ever true with a confirmed identity
    quint64 device = 0;     // st_dev and st_ino of the confirmed file, for callers that compare
    quint64 inode = 0;      // it with a file they opened themselves

    bool confirmed() const { return !sha256.isEmpty(); }
};

// The symbol by which the simulator marks itself; no device library is expected to export it.
extern const char kSimulatorMarkSymbol[];

// The identity of the object mapped at address in process pid's memory (0: this process), from
// /proc/PID/maps; simulatorMark says whether the loaded object itself defines the mark symbol,
// and is kept only when the identity is confirmed. Opens nothing but the maps file and a regular
// file whose device and inode the maps entry names.
LibraryIdentity identifyMapping(qint64 pid, quintptr address, bool simulatorMark);

// The identity of a library that load() has loaded in this process: the object the loader holds
// under its file name, found through its link map, and its mapping in /proc/self/maps; the name
// the loader holds when the maps name no file. Runs none of the library's code, looks up no
// device function and writes nothing to standard output.
LibraryIdentity identifyLibrary(const QLibrary& library);

// "<path> sha256=<hex>", with " (模拟设备)" after it for the simulator; "sha256=(无法确认)" when
// the hashed file could not be shown to be the mapped one. The path is as the file system names
// it: the log pane escapes it as it escapes every line.
QString identityText(const LibraryIdentity& identity);

// The library path that was asked for, made absolute against the working directory.
QString requestedPath(const QString& path);

// What is shown when the library at path will not load: "<requested path>: <reason>", the reason
// being what the file's ELF header says when that explains it, otherwise the loader's own text.
QString loadFailureText(const QString& path, const QString& loaderText);

#endif
