// Which files answer as the device: the library file the checker opened and hashed, found among
// the mappings of the host's process, and every other file the host mapped from outside the
// system's folders, each named with its SHA-256. A library that is only a shim, whose dependency
// or a file it loads at run time answers the calls, is then seen for what it is.
#ifndef HOSTIDENTITY_H
#define HOSTIDENTITY_H

#include "devicecheck/libraryfile.h"
#include "util/libraryidentity.h"

#include <QString>
#include <QVector>

#include <sys/types.h>

struct MappedObject {
    QString path;
    QString sha256; // empty when the file at that path cannot be shown to be the mapped one
};

struct HostIdentity {
    // The library file: its path as the host mapped it, and its SHA-256 only when it is mapped and
    // still the file that was hashed before the run.
    LibraryIdentity library;
    QVector<MappedObject> others; // in the order the host mapped them
    // Why the library file's hash is not confirmed, when it is not.
    QString unconfirmedBecause;

    bool confirmed() const;
    // Why the identity is not confirmed: the library file's reason, or the mapped files that could
    // not be hashed; empty when it is confirmed.
    QString problem() const;
};

// The identity of the library the host, process pid, has loaded from file; hostProgram is the
// host's own program file, which is not the library's. The others found in known stay named,
// mapped still or not.
HostIdentity identifyHost(pid_t pid, const LibraryFile& file, const QString& hostProgram,
                          const QVector<MappedObject>& known = {});

#endif
