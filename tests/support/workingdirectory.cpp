#include "workingdirectory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

WorkingDirectory::WorkingDirectory(const QString& name)
    : m_previous(QDir::currentPath())
    , m_path(name.isEmpty() ? m_dir.path() : m_dir.filePath(name))
{
    QDir(m_path).mkpath(QStringLiteral("quorvel"));
    QDir::setCurrent(m_path);
}

WorkingDirectory::~WorkingDirectory()
{
    QDir::setCurrent(m_previous);
}

QString WorkingDirectory::libraryPath() const
{
    return m_path + QStringLiteral("/quorvel/libClientScreen.so");
}

QString WorkingDirectory::rootPath() const
{
    return QFileInfo(m_dir.path()).canonicalFilePath();
}

void WorkingDirectory::copyLibrary(const QString& source)
{
    QFile::remove(libraryPath());
    if (!QFile::copy(source, libraryPath()))
        qFatal("cannot copy %s", qPrintable(source));
}

void WorkingDirectory::writeLibrary(const QByteArray& content)
{
    QFile file(libraryPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(libraryPath()));
}

QString WorkingDirectory::loadedLine() const
{
    return QStringLiteral("设备库已加载: ") + expectedIdentity(libraryPath());
}

QString expectedIdentity(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    const QByteArray sha256 = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
    return QFileInfo(path).canonicalFilePath() + QStringLiteral(" sha256=")
        + QString::fromLatin1(sha256.toHex());
}
