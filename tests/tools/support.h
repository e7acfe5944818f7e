// Helpers for the drovdef tests: synthetic ELF files and running the tool.
#pragma once

#include "elf_file.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace drovdef_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(std::string_view s) {
    return Bytes(s.begin(), s.end());
}
// Stores v little-endian in width bytes at off.
void put(Bytes &b, std::size_t off, std::uint64_t v, int width);

// The message of the drovdef::Error that f throws, or "" when it does not.
template <typename F> std::string error_of(F &&f) {
    try {
        f();
        return "";
    } catch (const drovdef::Error &e) {
        return e.what();
    }
}

struct SynthSection {
    std::string name;
    Bytes data;
    std::uint32_t type = 1; // SHT_PROGBITS
};
// Header, section contents, name table, then the section headers: header
// k + 1 describes sections[k] and the last one the name table.
struct SynthElf {
    Bytes bytes;
    std::uint64_t shoff = 0;
    std::size_t header(std::size_t k) const { return shoff + 64 * (k + 1); }
};
SynthElf build_elf(const std::vector<SynthSection> &sections);

Bytes velto_record(std::uint32_t type, std::string_view text);
Bytes bz2(std::string_view text);
// A .wlog_luids_ section for texts, luids counting from base.
Bytes luid_section(const std::vector<std::string> &texts, std::uint32_t base,
                   const std::uint8_t (&uuid)[16]);

struct RunResult {
    int exit_code = -1; // -1: did not exit normally
    std::string out, err;
};
RunResult run_tool(const std::vector<std::string> &args);

// A new file in the test process's temporary directory.
std::string write_temp(const std::string &name, const Bytes &data);
Bytes read_all(const std::string &path);
std::vector<std::string> lines(const std::string &text);

} // namespace drovdef_test
