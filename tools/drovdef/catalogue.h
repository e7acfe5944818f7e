// The trace catalogue: the .wlog_luids_<uuid> index (luid and text length
// per message) and the bzip2-compressed message texts of
// .wlog_format_strings; plus the text helpers the tool prints them with.
#pragma once

#include "elf_file.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drovdef {

inline constexpr std::string_view kLuidSectionPrefix = ".wlog_luids_";
inline constexpr std::string_view kFormatSection = ".wlog_format_strings";
inline constexpr std::uint32_t kCatalogueVersion = 1;
// Cap on the message texts: the text lengths of the index may add up to no
// more than this.
inline constexpr std::size_t kMaxTextBytes = 16u << 20;

// The catalogue over the two sections' contents, which it does not own.
// Texts are decompressed on demand and never all held at once.
class Catalogue {
public:
    // Checks the index (size, version, UUID against uuid_hex, the part of
    // the section name after the prefix) and that the text lengths add up
    // to at most kMaxTextBytes; decompresses nothing.
    Catalogue(std::string_view uuid_hex, std::span<const std::uint8_t> luids,
              std::span<const std::uint8_t> format_strings);

    std::size_t size() const { return count_; }
    std::uint32_t luid(std::size_t index) const;
    // Entry index's text (index < size()), decompressing the stream only
    // up to its end: damage after it goes unnoticed.
    std::string text(std::size_t index) const;
    // Calls f(index, luid, text) for every entry in order, then checks that
    // the texts fill the stream exactly.  Throws on damage met on the way,
    // possibly after some calls; check() first to fail before any.
    void for_each(const std::function<void(std::size_t, std::uint32_t, std::string_view)> &f) const;
    // Decompresses the whole stream and checks that it holds the texts.
    void check() const;

private:
    std::uint16_t length(std::size_t index) const;

    std::span<const std::uint8_t> entries_;
    std::span<const std::uint8_t> compressed_;
    std::size_t count_ = 0;
};

// The catalogue of the file's sections; the file must outlive it.
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
