#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

// The first note in the section `section` of the ELF file at `path`, read
// from the file's bytes as a package tool would: nothing is loaded or run.
struct ElfNote {
    std::uint32_t sectionType = 0;
    QByteArray owner; // without its terminating NUL
    std::uint32_t type = 0;
    QByteArray descriptor;
};

std::optional<ElfNote> readElfNote(const QString& path, const char* section);
