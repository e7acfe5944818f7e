// The trace catalogue: the .wlog_luids_<uuid> index (luid and text length
// per message) and the bzip2-compressed message texts of
// .wlog_format_strings; plus the text helpers the tool prints them with.
#pragma once

#include "elf_file.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drovdef {

inline constexpr std::string_view kLuidSectionPrefix = ".wlog_luids_";
inline constexpr std::string_view kFormatSection = ".wlog_format_strings";
inline constexpr std::uint32_t kCatalogueVersion = 1;
// Cap on the decompressed message texts.
inline constexpr std::size_t kMaxTextBytes = 16u << 20;

struct CatalogueEntry {
    std::uint32_t luid = 0;
    std::string text;
};

struct Catalogue {
    std::uint32_t version = 0;
    std::array<std::uint8_t, 16> uuid{};
    std::vector<CatalogueEntry> entries;
};

// Decompresses exactly one bzip2 stream; throws Error when the data is
// corrupt or truncated, is followed by other bytes, or expands past cap.
std::string bz2_decompress(std::span<const std::uint8_t> data, std::size_t cap = kMaxTextBytes);

// Builds the catalogue from the two sections' contents.  uuid_hex is the
// part of the luid section's name after the prefix.
Catalogue parse_catalogue(std::string_view uuid_hex, std::span<const std::uint8_t> luids,
                          std::span<const std::uint8_t> format_strings);

// Finds the sections in the file and parses them.
Catalogue load_catalogue(const ElfFile &elf);

// The text in double quotes with C escapes for quotes, backslashes and
// anything outside printable ASCII.
std::string quote(std::string_view text);

// Number of arguments a message text consumes.
std::size_t count_conversions(std::string_view fmt);

// Expands %s, %u, %d, %p and %% with the arguments.  Throws Error on a
// conversion the catalogue does not use, a malformed number, or an
// argument count that does not match.
std::string format_message(std::string_view fmt, const std::vector<std::string> &args);

} // namespace drovdef
