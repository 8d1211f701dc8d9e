#include "util/libraryidentity.h"

#include "util/elffile.h"
#include "util/filehash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>

#include <algorithm>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

const char kSimulatorMarkSymbol[] = "QV_SimulatorVersion";

namespace {
// One line of /proc/PID/maps: "start-end perms offset major:minor inode   path".
struct MapsEntry {
    quint64 major = 0;
    quint64 minor = 0;
    quint64 inode = 0;
    QByteArray path; // as the kernel wrote it, escapes included
};

// The next space-separated field of line from position at, which is moved past it.
QByteArray nextField(const QByteArray& line, int& at)
{
    while (at < line.size() && line[at] == ' ')
        ++at;
    const int start = at;
    while (at < line.size() && line[at] != ' ')
        ++at;
    return line.mid(start, at - start);
}

// The entry of line when its range holds address.
bool parseMapsLine(const QByteArray& line, quintptr address, MapsEntry* entry)
{
    int at = 0;
    const QByteArray range = nextField(line, at);
    const int dash = range.indexOf('-');
    bool startOk = false, endOk = false;
    const quint64 start = range.left(dash).toULongLong(&startOk, 16);
    const quint64 end = range.mid(dash + 1).toULongLong(&endOk, 16);
    if (dash <= 0 || !startOk || !endOk || address < start || address >= end)
        return false;
    nextField(line, at); // permissions
    nextField(line, at); // offset
    const QByteArray device = nextField(line, at);
    const int colon = device.indexOf(':');
    bool majorOk = false, minorOk = false, inodeOk = false;
    entry->major = device.left(colon).toULongLong(&majorOk, 16);
    entry->minor = device.mid(colon + 1).toULongLong(&minorOk, 16);
    entry->inode = nextField(line, at).toULongLong(&inodeOk, 10);
    while (at < line.size() && line[at] == ' ')
        ++at;
    entry->path = line.mid(at);
    return colon > 0 && majorOk && minorOk && inodeOk;
}

bool isOctal(char c)
{
    return c >= '0' && c <= '7';
}

// The kernel writes a newline in a mapped file's path as the octal escape \012 and leaves every
// other byte, a backslash included, as it is; this turns each such escape back into its byte.
QByteArray decodeOctalEscapes(const QByteArray& text)
{
    QByteArray decoded;
    decoded.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3'
            && isOctal(text[i + 2]) && isOctal(text[i + 3])) {
            decoded += static_cast<char>((text[i + 1] - '0') << 6 | (text[i + 2] - '0') << 3
                                         | (text[i + 3] - '0'));
            i += 3;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

// The maps entry holding address in process pid (0: this process).
bool findMapping(qint64 pid, quintptr address, MapsEntry* entry)
{
    const QString name =
        pid == 0 ? QStringLiteral("/proc/self/maps") : QStringLiteral("/proc/%1/maps").arg(pid);
    QFile maps(name);
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    // A /proc file reports size 0, so atEnd() cannot be trusted; an empty read is the end.
    for (QByteArray line = maps.readLine(); !line.isEmpty(); line = maps.readLine()) {
        if (line.endsWith('\n'))
            line.chop(1);
        if (parseMapsLine(line, address, entry))
            return true;
    }
    return false;
}

// The SHA-256 of the regular file at path when it is the file device and inode name: checked
// before opening, so that neither a FIFO nor a device file is ever opened; opened without blocking;
// its device and inode read from the open descriptor; and its state the same before and after it
// is hashed, and expected's when given, so that the digest is that of the bytes that were there
// then. Empty otherwise.
QString sameFileDigest(const QByteArray& path, quint64 device, quint64 inode,
                       const FileState* expected)
{
    struct stat status;
    if (path.isEmpty() || path[0] != '/' || stat(path.constData(), &status) != 0
        || !S_ISREG(status.st_mode))
        return QString();
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return QString();
    QString sha256;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
        && static_cast<quint64>(status.st_dev) == device
        && static_cast<quint64>(status.st_ino) == inode) {
        const FileState before = fileState(status);
        if (!expected || before == *expected)
            sha256 = descriptorDigest(fd);
        if (fstat(fd, &status) != 0 || fileState(status) != before)
            sha256.clear();
    }
    close(fd);
    return sha256;
}

// Hashes the file at path when it is the one the maps entry names and the one that was loaded,
// its state before's when it was asked for.
bool confirmFile(const QByteArray& path, const MapsEntry& entry, const FileState& before,
                 LibraryIdentity* identity)
{
    const QString sha256 =
        sameFileDigest(path, makedev(entry.major, entry.minor), entry.inode, &before);
    if (!sha256.isEmpty())
        identity->sha256 = sha256;
    return !sha256.isEmpty();
}

// A library that load() has loaded in this process, held by a reference of its own while its
// identity is taken.
struct LoadedLibrary {
    void* handle = nullptr;      // the loader's handle for the held reference; null when not loaded
    quintptr dynamicSection = 0; // its dynamic section, which lies in its own file-backed mapping
    bool simulatorMark = false;  // whether the library itself, not one it needs, defines the mark
    QString loaderName;          // the name the loader holds it under, made absolute
};

// Holds the library loaded from fileName, found through its link map; runs none of its code.
LoadedLibrary holdLoadedLibrary(const QString& fileName)
{
    // The loader hands back the object it already holds under this name; its link map leads to
    // the mapped file and bounds the symbol search to that one object.
    LoadedLibrary library;
    void* handle = dlopen(QFile::encodeName(fileName).constData(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle)
        return library;
    struct link_map* object = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &object) != 0 || !object) {
        dlclose(handle);
        return library;
    }
    library.handle = handle;
    library.dynamicSection = reinterpret_cast<quintptr>(object->l_ld);
    // The mark counts only when the library itself defines it, not one it depends on.
    void* mark = dlsym(handle, kSimulatorMarkSymbol);
    Dl_info info;
    struct link_map* owner = nullptr;
    library.simulatorMark = mark
        && dladdr1(mark, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) != 0
        && owner == object;
    if (object->l_name && *object->l_name)
        library.loaderName = QFileInfo(QFile::decodeName(object->l_name)).absoluteFilePath();
    return library;
}

// What the file's ELF header says of why it will not load, in the window's words; the loader's own
// text when the header does not explain it or the file cannot be read.
QString elfMismatchText(const QString& path, const QString& loaderText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return loaderText;
    ElfKind self;
    const ElfKind library = elfKindOfHeader(file.read(64));
    switch (elfMismatchWithThisProgram(library, &self)) {
    case ElfMismatch::NotElf:
        return QStringLiteral("不是 ELF 文件");
    case ElfMismatch::WordSize:
        return QStringLiteral("%1 位 ELF 文件, 本程序为 %2 位")
            .arg(library.wordBits)
            .arg(self.wordBits);
    case ElfMismatch::Machine:
        return QStringLiteral("ELF 机器类型 %1, 本程序为 %2")
            .arg(elfMachineName(library.machine), elfMachineName(self.machine));
    case ElfMismatch::None:
        break;
    }
    return loaderText;
}
}

bool FileState::operator==(const FileState& other) const
{
    return device == other.device && inode == other.inode && size == other.size
        && modifiedSeconds == other.modifiedSeconds
        && modifiedNanoseconds == other.modifiedNanoseconds
        && changedSeconds == other.changedSeconds && changedNanoseconds == other.changedNanoseconds;
}

FileState fileState(const struct stat& status)
{
    FileState state;
    state.device = static_cast<quint64>(status.st_dev);
    state.inode = static_cast<quint64>(status.st_ino);
    state.size = static_cast<qint64>(status.st_size);
    state.modifiedSeconds = static_cast<qint64>(status.st_mtim.tv_sec);
    state.modifiedNanoseconds = static_cast<qint64>(status.st_mtim.tv_nsec);
    state.changedSeconds = static_cast<qint64>(status.st_ctim.tv_sec);
    state.changedNanoseconds = static_cast<qint64>(status.st_ctim.tv_nsec);
    return state;
}

LibraryIdentity identifyMapping(qint64 pid, quintptr address, bool simulatorMark,
                                const FileState& before)
{
    LibraryIdentity identity;
    MapsEntry entry;
    if (pid < 0 || !findMapping(pid, address, &entry) || entry.path.isEmpty())
        return identity;
    // The escapes make the kernel's text ambiguous: "\012" is a newline or those four characters.
    // The decoded name is tried first, then the text as written; only a file whose device and
    // inode are the mapping's is taken, so a look-alike name never lends its hash.
    const QByteArray decoded = decodeOctalEscapes(entry.path);
    identity.path = QFile::decodeName(decoded);
    if (!confirmFile(decoded, entry, before, &identity) && decoded != entry.path
        && confirmFile(entry.path, entry, before, &identity))
        identity.path = QFile::decodeName(entry.path);
    identity.simulator = identity.confirmed() && simulatorMark;
    return identity;
}

bool fileMappings(qint64 pid, QVector<FileMapping>* mappings)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    mappings->clear();
    // A /proc file reports size 0, so atEnd() cannot be trusted; an empty read is the end.
    for (QByteArray line = maps.readLine(); !line.isEmpty(); line = maps.readLine()) {
        if (line.endsWith('\n'))
            line.chop(1);
        MapsEntry entry;
        // Every entry holds its own start address.
        const quintptr start =
            static_cast<quintptr>(line.left(line.indexOf('-')).toULongLong(nullptr, 16));
        if (!parseMapsLine(line, start, &entry) || entry.inode == 0 || !entry.path.startsWith('/'))
            continue;
        const FileMapping mapping{makedev(entry.major, entry.minor), entry.inode,
                                  QFile::decodeName(decodeOctalEscapes(entry.path))};
        const bool known =
            std::any_of(mappings->begin(), mappings->end(), [&](const FileMapping& m) {
                return m.device == mapping.device && m.inode == mapping.inode;
            });
        if (!known)
            mappings->append(mapping);
    }
    return true;
}

QString mappedFileDigest(const FileMapping& mapping)
{
    return sameFileDigest(QFile::encodeName(mapping.path), mapping.device, mapping.inode, nullptr);
}

LibraryIdentity identifyLibrary(const QLibrary& library, const FileState& before)
{
    const LoadedLibrary loaded = holdLoadedLibrary(library.fileName());
    if (!loaded.handle)
        return LibraryIdentity();
    LibraryIdentity identity =
        identifyMapping(0, loaded.dynamicSection, loaded.simulatorMark, before);
    if (identity.path.isEmpty())
        identity.path = loaded.loaderName;
    dlclose(loaded.handle);
    return identity;
}

QString identityText(const LibraryIdentity& identity)
{
    QString text = identity.path.isEmpty() ? QStringLiteral("(路径未知)") : identity.path;
    if (!identity.confirmed())
        return text + QStringLiteral(" sha256=(无法确认)");
    text += QStringLiteral(" sha256=") + identity.sha256;
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
    return requestedPath(path) + QStringLiteral(": ") + elfMismatchText(path, loaderText);
}
