// Section-level reading of an ELF64 little-endian file held in memory, and
// the .velto record list.  Everything here treats its input as untrusted:
// every offset and length is checked before use and problems are reported
// by throwing drovdef::Error with a one-line description.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace drovdef {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Largest file the tool agrees to read.
inline constexpr std::size_t kMaxFileSize = 256u << 20;

// Reads a whole regular file; throws Error with strerror-style text.
std::vector<std::uint8_t> read_file(const std::string &path);

struct Section {
    std::string name;
    std::uint32_t type = 0;
    std::uint64_t flags = 0;
    std::uint64_t addr = 0;   // where the loader places it (SHF_ALLOC sections)
    std::uint64_t offset = 0; // 0 for SHT_NOBITS and SHT_NULL
    std::uint64_t size = 0;   // in memory; SHT_NOBITS sections have no file bytes
    std::uint32_t link = 0;
    std::uint64_t entsize = 0;
};

class ElfFile {
public:
    // Validates the header, the section header table and every section's
    // extent and name.  Throws Error on anything malformed.
    explicit ElfFile(std::vector<std::uint8_t> bytes);
    // The same for a regular file, of which only the headers are read now
    // and a section's bytes when contents() first asks for them: the debug
    // information that makes up most of a library is never read.
    static ElfFile open(const std::string &path);

    std::uint16_t machine() const { return machine_; }
    const std::vector<Section> &sections() const { return sections_; }
    // First section with exactly this name, or null.
    const Section *find(std::string_view name) const;
    // All sections whose name starts with prefix.
    std::vector<const Section *> find_prefix(std::string_view prefix) const;
    // The file bytes of a section (empty for SHT_NOBITS).
    std::span<const std::uint8_t> contents(const Section &s) const;

private:
    struct File; // an open file and the sections read from it
    explicit ElfFile(std::shared_ptr<File> file);
    // Reads [off, off + len) of the image, whose extent was checked.
    void load(std::uint64_t off, std::uint64_t len, std::uint8_t *out) const;
    void parse(std::uint64_t size);

    std::vector<std::uint8_t> bytes_; // the whole image, or empty with file_
    std::shared_ptr<File> file_;
    std::uint16_t machine_ = 0;
    std::vector<Section> sections_;
};

// Little-endian loads from a buffer; the caller has checked the bounds.
inline std::uint16_t load_u16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load_u32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t load_u64(const std::uint8_t *p) {
    return static_cast<std::uint64_t>(load_u32(p)) |
           (static_cast<std::uint64_t>(load_u32(p + 4)) << 32);
}

// ---- .velto ----------------------------------------------------------------

inline constexpr std::uint32_t kVeltoBuildRecord = 1;
inline constexpr std::uint32_t kVeltoManifestRecord = 2;

struct VeltoRecord {
    std::uint32_t type = 0;
    std::string text; // the body up to its terminating NUL
};

// Splits the .velto section into its records.
std::vector<VeltoRecord> parse_velto(std::span<const std::uint8_t> data);

// The text of the first record of the given type in the file's .velto
// section; throws Error when the section or the record is missing.
std::string velto_text(const ElfFile &elf, std::uint32_t type);

} // namespace drovdef
