#include "devicecheck/hostidentity.h"

#include <QFile>

#include <algorithm>

#include <sys/stat.h>

namespace {
// The folders the system's own programs and libraries, and the loader's cache, come from.
bool isSystemFile(const QString& path)
{
    static const char* const kFolders[] = {"/usr/",    "/lib/", "/lib32/", "/lib64/",
                                           "/libx32/", "/bin/", "/sbin/",  "/etc/"};
    return std::any_of(std::begin(kFolders), std::end(kFolders),
                       [&](const char* folder) { return path.startsWith(QLatin1String(folder)); });
}

// In a build with ThreadSanitizer the host is built with it too, and its runtime maps a file it
// made and deleted in the scratch folder; no other build lets a deleted file pass.
bool isSanitizerFile(const QString& path)
{
#ifdef __SANITIZE_THREAD__
    return path.startsWith(QLatin1String("/tmp/tsan.rodata."));
#else
    Q_UNUSED(path);
    return false;
#endif
}
}

bool HostIdentity::confirmed() const
{
    return library.confirmed()
        && std::all_of(others.begin(), others.end(),
                       [](const MappedObject& object) { return !object.sha256.isEmpty(); });
}

QString HostIdentity::problem() const
{
    QStringList problems;
    if (!library.confirmed())
        problems << unconfirmedBecause;
    for (const MappedObject& object : others)
        if (object.sha256.isEmpty())
            problems << object.path + QStringLiteral(" cannot be read from outside the sandbox");
    return problems.join(QStringLiteral("; "));
}

HostIdentity identifyHost(pid_t pid, const LibraryFile& file, const QString& hostProgram,
                          const QVector<MappedObject>& known)
{
    HostIdentity identity;
    identity.library.path = file.realPath();
    identity.others = known;
    identity.unconfirmedBecause = QStringLiteral("the library's process is gone");
    QVector<FileMapping> mappings;
    if (pid <= 0)
        return identity;
    if (!fileMappings(pid, &mappings)) {
        identity.unconfirmedBecause =
            QStringLiteral("/proc/%1/maps of the library's process cannot be read").arg(pid);
        return identity;
    }
    // The kernel names a file mapped in another mount namespace from the root of its file system
    // when this process's root (a chroot's) is not on the way: the library's own mapping, whose
    // path this process knows, shows what to take off the front of every name.
    QString outside;
    bool mapped = false;
    for (FileMapping& mapping : mappings)
        if (mapping.device == file.state().device && mapping.inode == file.state().inode) {
            mapped = true;
            if (mapping.path.endsWith(file.realPath()))
                outside = mapping.path.left(mapping.path.size() - file.realPath().size());
        }
    for (FileMapping& mapping : mappings)
        if (!outside.isEmpty() && mapping.path.startsWith(outside + QLatin1Char('/')))
            mapping.path.remove(0, outside.size());

    struct stat host;
    const bool hostKnown = stat(QFile::encodeName(hostProgram).constData(), &host) == 0;
    for (const FileMapping& mapping : mappings) {
        if (mapping.device == file.state().device && mapping.inode == file.state().inode) {
            identity.library.path = mapping.path;
            continue;
        }
        if (isSystemFile(mapping.path) || isSanitizerFile(mapping.path)
            || (hostKnown && mapping.device == static_cast<quint64>(host.st_dev)
                && mapping.inode == static_cast<quint64>(host.st_ino)))
            continue;
        const bool named =
            std::any_of(identity.others.begin(), identity.others.end(),
                        [&](const MappedObject& o) { return o.path == mapping.path; });
        if (!named)
            identity.others.append({mapping.path, mappedFileDigest(mapping)});
    }
    if (!mapped)
        identity.unconfirmedBecause =
            QStringLiteral("the file is not among the library's process's mappings");
    else if (!file.unchanged())
        identity.unconfirmedBecause = QStringLiteral("the file changed since it was opened");
    else {
        identity.unconfirmedBecause.clear();
        identity.library.sha256 = file.sha256();
        identity.library.simulator = file.simulatorMark();
    }
    return identity;
}
