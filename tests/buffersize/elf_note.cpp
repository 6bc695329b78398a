#include "elf_note.h"

#include <QFile>

#include <cstring>

#include <link.h>

namespace {

// A record of the file's own class and byte order at `at`, if the file holds it whole.
template <class Record>
bool readRecord(const QByteArray& bytes, std::uint64_t at, Record& out)
{
    if (at > static_cast<std::uint64_t>(bytes.size()) || bytes.size() - at < sizeof out)
        return false;
    std::memcpy(&out, bytes.constData() + at, sizeof out);
    return true;
}

std::uint64_t padded(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

} // namespace

std::optional<ElfNote> readElfNote(const QString& path, const char* section)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    ElfW(Ehdr) header;
    if (!readRecord(bytes, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_shentsize != sizeof(ElfW(Shdr)))
        return std::nullopt;
    ElfW(Shdr) names;
    if (!readRecord(bytes, header.e_shoff + std::uint64_t{header.e_shstrndx} * sizeof names, names))
        return std::nullopt;
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        ElfW(Shdr) candidate;
        if (!readRecord(bytes, header.e_shoff + std::uint64_t{i} * sizeof candidate, candidate))
            return std::nullopt;
        const std::uint64_t nameAt = std::uint64_t{names.sh_offset} + candidate.sh_name;
        // The array's own terminating NUL ends a name the file leaves open.
        if (nameAt >= static_cast<std::uint64_t>(bytes.size()) || qstrcmp(bytes.constData() + nameAt, section) != 0)
            continue;
        ElfW(Nhdr) note;
        if (!readRecord(bytes, candidate.sh_offset, note))
            return std::nullopt;
        const std::uint64_t ownerAt = candidate.sh_offset + sizeof note;
        const std::uint64_t descriptorAt = ownerAt + padded(note.n_namesz);
        if (note.n_namesz == 0 || descriptorAt + note.n_descsz > candidate.sh_offset + candidate.sh_size ||
            descriptorAt + note.n_descsz > static_cast<std::uint64_t>(bytes.size()))
            return std::nullopt;
        ElfNote found;
        found.sectionType = candidate.sh_type;
        found.owner = bytes.mid(static_cast<qsizetype>(ownerAt), static_cast<qsizetype>(note.n_namesz - 1));
        found.type = note.n_type;
        found.descriptor = bytes.mid(static_cast<qsizetype>(descriptorAt), static_cast<qsizetype>(note.n_descsz));
        return found;
    }
    return std::nullopt;
}
