// What a device library file's ELF structure says, read apart from the loader: whether it is ELF,
// of which word size and machine (the loader's own text for a mismatch is often misleading: a
// library built for another machine is reported as "No such file or directory"), and which
// symbols its dynamic section defines, read as the loader reads them. The words for a mismatch
// are the caller's: the window speaks Chinese, device-check English.
#ifndef ELFFILE_H
#define ELFFILE_H

#include <QByteArray>
#include <QSet>
#include <QString>

struct ElfKind {
    bool elf = false;
    int wordBits = 0; // 32 or 64; 0 when the header does not say
    int machine = 0;  // e_machine; 0 when the header does not say
};

// The kind of the file at path; not ELF when it cannot be read.
ElfKind elfKindOfFile(const QString& path);
// The kind of the file whose first bytes are header.
ElfKind elfKindOfHeader(const QByteArray& header);

// How a library of kind library differs from this program, the one that would map it.
enum class ElfMismatch {
    None,     // it matches, or there is too little to tell
    NotElf,   // not an ELF file at all
    WordSize, // 32-bit against 64-bit, or the other way
    Machine,  // another machine
};
ElfMismatch elfMismatchWithThisProgram(const ElfKind& library, ElfKind* self = nullptr);

// "x86-64", "AArch64", ...; the number for a machine without a name here.
QString elfMachineName(int machine);

// The names of the symbols that the dynamic section of the shared object file defines (global or
// weak, not undefined), found through its program headers and hash table as the loader finds
// them, not through section headers, which the loader never reads. Empty when file is not such an
// object or does not hold what its headers promise.
QSet<QByteArray> elfDefinedSymbols(const QByteArray& file);

#endif
