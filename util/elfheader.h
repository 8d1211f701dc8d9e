// Why a device library file will not load, when its ELF header says so: a file that is not ELF,
// or ELF of another word size or machine. The loader's own text for these is often misleading
// (a library built for another machine is reported as "No such file or directory").
#ifndef ELFHEADER_H
#define ELFHEADER_H

#include <QString>

// Plain words for the mismatch between the file at path and this program, for example
// "ELF 机器类型 AArch64, 本程序为 x86-64"; empty when the file cannot be read or its header
// matches this program's, so that the caller shows the loader's text instead.
QString elfMismatch(const QString& path);

#endif
