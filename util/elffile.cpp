#include "util/elffile.h"

#include <QFile>
#include <QVector>

#include <elf.h>

#include <cstring>

namespace {
// Reads the fields of an ELF file of either word size and byte order, every read bounded by the
// file's size: a field out of the file reads as 0 and marks the reading bad.
class ElfReader {
public:
    explicit ElfReader(const QByteArray& file)
        : m_file(file)
    {
        if (file.size() < EI_NIDENT || !file.startsWith(QByteArray(ELFMAG, SELFMAG)))
            return;
        m_wide = file[EI_CLASS] == ELFCLASS64;
        m_big = file[EI_DATA] == ELFDATA2MSB;
        m_valid =
            (m_wide || file[EI_CLASS] == ELFCLASS32) && (m_big || file[EI_DATA] == ELFDATA2LSB);
    }

    bool valid() const { return m_valid; }
    bool wide() const { return m_wide; }

    quint64 unsignedAt(quint64 offset, int size)
    {
        if (offset > static_cast<quint64>(m_file.size())
            || static_cast<quint64>(m_file.size()) - offset < static_cast<quint64>(size)) {
            m_valid = false;
            return 0;
        }
        quint64 value = 0;
        for (int i = 0; i < size; ++i) {
            const quint64 byte = static_cast<unsigned char>(m_file[static_cast<int>(offset) + i]);
            value |= byte << (8 * (m_big ? size - 1 - i : i));
        }
        return value;
    }
    // A field that is 4 bytes in a 32-bit file and 8 in a 64-bit one.
    quint64 wordAt(quint64 offset) { return unsignedAt(offset, m_wide ? 8 : 4); }

    // The NUL-terminated text at offset, within limit bytes.
    QByteArray textAt(quint64 offset, quint64 limit)
    {
        if (offset >= static_cast<quint64>(m_file.size()))
            return QByteArray();
        const quint64 room = qMin<quint64>(limit, static_cast<quint64>(m_file.size()) - offset);
        const char* start = m_file.constData() + offset;
        const void* end = std::memchr(start, '\0', static_cast<size_t>(room));
        return end ? QByteArray(start, static_cast<int>(static_cast<const char*>(end) - start))
                   : QByteArray();
    }

private:
    const QByteArray& m_file;
    bool m_valid = false;
    bool m_wide = false;
    bool m_big = false;
};

struct Segment {
    quint64 address;
    quint64 offset;
    quint64 size;
};

// The file offset of a virtual address that a loaded segment holds, or 0.
quint64 fileOffset(const QVector<Segment>& loads, quint64 address)
{
    for (const Segment& load : loads)
        if (address >= load.address && address - load.address < load.size)
            return load.offset + (address - load.address);
    return 0;
}

// How many symbols the GNU hash table at offset covers: one past the highest index its chains
// reach. 0 when the table cannot be read.
quint64 gnuHashSymbolCount(ElfReader& elf, quint64 offset)
{
    const quint64 buckets = elf.unsignedAt(offset, 4);
    const quint64 first = elf.unsignedAt(offset + 4, 4);
    const quint64 bloomWords = elf.unsignedAt(offset + 8, 4);
    const quint64 bucketsAt = offset + 16 + bloomWords * (elf.wide() ? 8 : 4);
    quint64 last = 0;
    for (quint64 i = 0; i < buckets && elf.valid(); ++i)
        last = qMax(last, elf.unsignedAt(bucketsAt + 4 * i, 4));
    if (last < first)
        return first;
    // The chain's last entry has its lowest bit set.
    const quint64 chainsAt = bucketsAt + 4 * buckets;
    while (elf.valid() && (elf.unsignedAt(chainsAt + 4 * (last - first), 4) & 1) == 0)
        ++last;
    return elf.valid() ? last + 1 : 0;
}
}

ElfKind elfKindOfHeader(const QByteArray& header)
{
    ElfKind kind;
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

ElfKind elfKindOfFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ElfKind();
    return elfKindOfHeader(file.read(EI_NIDENT + 4));
}

ElfMismatch elfMismatchWithThisProgram(const ElfKind& library, ElfKind* self)
{
    if (!library.elf)
        return ElfMismatch::NotElf;
    // This program's own header says what it can map, under an emulator too.
    const ElfKind own = elfKindOfFile(QStringLiteral("/proc/self/exe"));
    if (self)
        *self = own;
    if (!own.elf || library.wordBits == 0 || library.machine == 0)
        return ElfMismatch::None;
    if (library.wordBits != own.wordBits)
        return ElfMismatch::WordSize;
    if (library.machine != own.machine)
        return ElfMismatch::Machine;
    return ElfMismatch::None;
}

QString elfMachineName(int machine)
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

QSet<QByteArray> elfDefinedSymbols(const QByteArray& file)
{
    ElfReader elf(file);
    if (!elf.valid() || elf.unsignedAt(16, 2) != ET_DYN)
        return {};
    const bool wide = elf.wide();
    const quint64 programHeaders = elf.wordAt(wide ? 32 : 28);
    const quint64 entrySize = elf.unsignedAt(wide ? 54 : 42, 2);
    const quint64 entries = elf.unsignedAt(wide ? 56 : 44, 2);
    QVector<Segment> loads;
    Segment dynamic{0, 0, 0};
    for (quint64 i = 0; i < entries && elf.valid(); ++i) {
        const quint64 at = programHeaders + i * entrySize;
        const quint64 type = elf.unsignedAt(at, 4);
        // p_offset, p_vaddr and p_filesz: after p_type and p_flags in 64-bit files, after p_type
        // alone in 32-bit ones.
        const Segment segment = wide
            ? Segment{elf.wordAt(at + 16), elf.wordAt(at + 8), elf.wordAt(at + 32)}
            : Segment{elf.wordAt(at + 8), elf.wordAt(at + 4), elf.wordAt(at + 16)};
        if (type == PT_LOAD)
            loads.append(segment);
        else if (type == PT_DYNAMIC)
            dynamic = segment;
    }
    if (!elf.valid() || dynamic.size == 0)
        return {};

    quint64 symbols = 0, strings = 0, stringsSize = 0, hash = 0, gnuHash = 0;
    const quint64 tagSize = wide ? 16 : 8;
    for (quint64 at = dynamic.offset; at + tagSize <= dynamic.offset + dynamic.size;
         at += tagSize) {
        const quint64 tag = elf.wordAt(at);
        const quint64 value = elf.wordAt(at + tagSize / 2);
        if (!elf.valid() || tag == DT_NULL)
            break;
        if (tag == DT_SYMTAB)
            symbols = fileOffset(loads, value);
        else if (tag == DT_STRTAB)
            strings = fileOffset(loads, value);
        else if (tag == DT_STRSZ)
            stringsSize = value;
        else if (tag == DT_HASH)
            hash = fileOffset(loads, value);
        else if (tag == DT_GNU_HASH)
            gnuHash = fileOffset(loads, value);
    }
    const quint64 count = gnuHash ? gnuHashSymbolCount(elf, gnuHash)
        : hash                    ? elf.unsignedAt(hash + 4, 4)
                                  : 0;
    if (!elf.valid() || symbols == 0 || strings == 0)
        return {};

    QSet<QByteArray> defined;
    const quint64 symbolSize = wide ? 24 : 16;
    // Entry 0 is the undefined symbol; a count beyond the file ends at the first bad read.
    for (quint64 i = 1; i < count && elf.valid(); ++i) {
        const quint64 at = symbols + i * symbolSize;
        const quint64 name = elf.unsignedAt(at, 4);
        const quint64 info = elf.unsignedAt(at + (wide ? 4 : 12), 1);
        const quint64 section = elf.unsignedAt(at + (wide ? 6 : 14), 2);
        const quint64 binding = info >> 4;
        if (!elf.valid() || section == SHN_UNDEF || name >= stringsSize
            || (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE))
            continue;
        const QByteArray text = elf.textAt(strings + name, stringsSize - name);
        if (!text.isEmpty())
            defined.insert(text);
    }
    return defined;
}
