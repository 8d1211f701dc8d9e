#include "util/libraryidentity.h"

#include "util/elfheader.h"
#include "util/filehash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QTextStream>

#include <dlfcn.h>
#include <link.h>

const char kSimulatorMarkSymbol[] = "QV_SimulatorVersion";

namespace {
// The path of the file mapped at address, as the kernel records it in /proc/self/maps. Unlike the
// name the loader was given, it is absolute and names the file that was actually mapped.
QString mappedFile(const void* address)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const auto target = reinterpret_cast<quintptr>(address);
    QTextStream in(&maps);
    QString line;
    while (in.readLineInto(&line)) {
        // "start-end perms offset dev inode path"; the path may hold spaces.
        const int dash = line.indexOf(QLatin1Char('-'));
        const int space = line.indexOf(QLatin1Char(' '));
        if (dash <= 0 || space <= dash)
            continue;
        const quintptr start = line.left(dash).toULongLong(nullptr, 16);
        const quintptr end = line.mid(dash + 1, space - dash - 1).toULongLong(nullptr, 16);
        if (target < start || target >= end)
            continue;
        const int slash = line.indexOf(QLatin1Char('/'));
        return slash < 0 ? QString() : line.mid(slash);
    }
    return QString();
}

QString fileSha256(const QString& path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return QString();
    return descriptorSha256(file.handle());
}
}

LibraryIdentity identifyLibrary(const QLibrary& library)
{
    LibraryIdentity identity;
    // The loader hands back the object it already holds under this name; its link map leads to
    // the mapped file and bounds the symbol search to that one object.
    void* handle =
        dlopen(QFile::encodeName(library.fileName()).constData(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle)
        return identity;
    struct link_map* object = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &object) == 0 && object) {
        identity.path = mappedFile(object->l_ld);
        if (identity.path.isEmpty() && object->l_name && *object->l_name)
            identity.path = QFileInfo(QFile::decodeName(object->l_name)).absoluteFilePath();
        identity.sha256 = fileSha256(identity.path);

        // The mark counts only when the library itself defines it, not one it depends on.
        void* mark = dlsym(handle, kSimulatorMarkSymbol);
        Dl_info info;
        struct link_map* owner = nullptr;
        identity.simulator = mark
            && dladdr1(mark, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) != 0
            && owner == object;
    }
    dlclose(handle);
    return identity;
}

QString identityText(const LibraryIdentity& identity)
{
    const QString path = identity.path.isEmpty() ? QStringLiteral("(路径未知)") : identity.path;
    const QString sha256 =
        identity.sha256.isEmpty() ? QStringLiteral("(无法读取)") : identity.sha256;
    QString text = path + QStringLiteral(" sha256=") + sha256;
    if (identity.simulator)
        text += QStringLiteral(" (模拟设备)");
    return text;
}

QString requestedPath(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString loadFailureText(const QString& path, const QString& loaderText)
{
    const QString mismatch = elfMismatch(path);
    return requestedPath(path) + QStringLiteral(": ")
        + (mismatch.isEmpty() ? loaderText : mismatch);
}
