#include "util/elfheader.h"

#include <QFile>

#include <elf.h>

namespace {
// The fields of an ELF header that decide whether this process can map the file.
struct ElfKind {
    bool elf = false;
    int wordBits = 0;
    int machine = 0;
};

ElfKind readKind(const QString& path)
{
    ElfKind kind;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return kind;
    const QByteArray header = file.read(EI_NIDENT + 4);
    const auto byte = [&header](int index) { return static_cast<unsigned char>(header.at(index)); };
    if (header.size() < SELFMAG || !header.startsWith(QByteArray(ELFMAG, SELFMAG)))
        return kind;
    kind.elf = true;
    if (header.size() < EI_NIDENT + 4)
        return kind;
    kind.wordBits = byte(EI_CLASS) == ELFCLASS32 ? 32 : byte(EI_CLASS) == ELFCLASS64 ? 64 : 0;
    // e_machine follows e_type, in the file's own byte order.
    const int low = byte(EI_NIDENT + 2);
    const int high = byte(EI_NIDENT + 3);
    kind.machine = byte(EI_DATA) == ELFDATA2MSB ? (low << 8 | high) : (high << 8 | low);
    return kind;
}

QString machineName(int machine)
{
    switch (machine) {
    case EM_386:
        return QStringLiteral("x86");
    case EM_X86_64:
        return QStringLiteral("x86-64");
    case EM_ARM:
        return QStringLiteral("ARM");
    case EM_AARCH64:
        return QStringLiteral("AArch64");
    case EM_RISCV:
        return QStringLiteral("RISC-V");
    case EM_PPC:
        return QStringLiteral("PowerPC");
    case EM_PPC64:
        return QStringLiteral("PowerPC64");
    case EM_S390:
        return QStringLiteral("S/390");
    case EM_MIPS:
        return QStringLiteral("MIPS");
    default:
        return QString::number(machine);
    }
}
}

QString elfMismatch(const QString& path)
{
    if (!QFile::exists(path))
        return QString();
    const ElfKind library = readKind(path);
    if (!library.elf) {
        QFile file(path);
        // A file this process cannot open is left to the loader's own words.
        return file.open(QIODevice::ReadOnly) ? QStringLiteral("不是 ELF 文件") : QString();
    }
    // This program's own header says what it can map, under an emulator too.
    const ElfKind self = readKind(QStringLiteral("/proc/self/exe"));
    if (!self.elf || library.wordBits == 0 || library.machine == 0)
        return QString();
    if (library.wordBits != self.wordBits)
        return QStringLiteral("%1 位 ELF 文件, 本程序为 %2 位")
            .arg(library.wordBits)
            .arg(self.wordBits);
    if (library.machine != self.machine)
        return QStringLiteral("ELF 机器类型 %1, 本程序为 %2")
            .arg(machineName(library.machine), machineName(self.machine));
    return QString();
}
