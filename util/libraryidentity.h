// Which file answers as the device: the file a loaded device library was mapped from, its
// SHA-256, and whether it marks itself as this project's simulator. A tester must be able to tell
// a simulated answer from a real device's, and which vendor build gave it.
#ifndef LIBRARYIDENTITY_H
#define LIBRARYIDENTITY_H

#include <QString>

class QLibrary;

struct LibraryIdentity {
    QString path;   // absolute path of the mapped file; empty when the process cannot say
    QString sha256; // 64 lowercase hex digits; empty when the file cannot be read
    bool simulator = false;
};

// The symbol by which the simulator marks itself; no device library is expected to export it.
extern const char kSimulatorMarkSymbol[];

// The identity of a library that load() has loaded. Looks up no device function and writes
// nothing to standard output.
LibraryIdentity identifyLibrary(const QLibrary& library);

// "<path> sha256=<hex>", with " (模拟设备)" after it for the simulator.
QString identityText(const LibraryIdentity& identity);

// The library path that was asked for, made absolute against the working directory.
QString requestedPath(const QString& path);

// What is shown when the library at path will not load: "<requested path>: <reason>", the reason
// being what the file's ELF header says when that explains it, otherwise the loader's own text.
QString loadFailureText(const QString& path, const QString& loaderText);

#endif
