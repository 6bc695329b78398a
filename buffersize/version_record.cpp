// The program's version record, found in the executable without running it
// (as a file manager or a package tool reads it): an ELF note, owner "Orvo",
// type 1, whose descriptor holds NUL-terminated name and value strings in
// turn. Linked into the program only.

#include "controlpanel/forms/about_dialog.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

constexpr std::string_view kOwner = "Orvo";
constexpr std::uint32_t kVersionNoteType = 1;
constexpr std::string_view kEntries[] = {
    "FileVersion",     AboutDialog::kProgramVersion, "ProductVersion", AboutDialog::kProgramVersion,
    "FileDescription", "Orvo ASIO Buffer Size",      "InternalName",   "OrvoBufferSize",
    "ProductName",     "OrvoBufferSize",
};

constexpr std::size_t padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

constexpr std::size_t descriptorSize()
{
    std::size_t size = 0;
    for (std::string_view entry : kEntries)
        size += entry.size() + 1;
    return size;
}

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kNoteSize = kHeaderSize + padded(kOwner.size() + 1) + padded(descriptorSize());

constexpr std::array<unsigned char, kNoteSize> makeNote()
{
    std::array<unsigned char, kNoteSize> note{};
    std::size_t at = 0;
    auto word = [&](std::size_t value) {
        for (unsigned char byte : std::bit_cast<std::array<unsigned char, 4>>(static_cast<std::uint32_t>(value)))
            note[at++] = byte;
    };
    word(kOwner.size() + 1);
    word(descriptorSize());
    word(kVersionNoteType);
    for (char c : kOwner)
        note[at++] = static_cast<unsigned char>(c);
    at = kHeaderSize + padded(kOwner.size() + 1);
    for (std::string_view entry : kEntries) {
        for (char c : entry)
            note[at++] = static_cast<unsigned char>(c);
        ++at; // the terminating NUL
    }
    return note;
}

[[gnu::used, gnu::section(".note.orvo.version")]] alignas(4) constexpr auto kVersionNote = makeNote();

} // namespace
