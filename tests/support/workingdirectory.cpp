#include "workingdirectory.h"

#include <QDir>
#include <QFile>

WorkingDirectory::WorkingDirectory()
    : previous_(QDir::currentPath())
{
    QDir(dir_.path()).mkpath(QStringLiteral("quorvel"));
    QDir::setCurrent(dir_.path());
}

WorkingDirectory::~WorkingDirectory()
{
    QDir::setCurrent(previous_);
}

QString WorkingDirectory::libraryPath() const
{
    return dir_.filePath(QStringLiteral("quorvel/libClientScreen.so"));
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
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(libraryPath()));
}
