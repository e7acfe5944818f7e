// The drovdef parsing unit on damaged copies of the built library, and the
// message formatting.
#include "catalogue.h"
#include "elf_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

namespace {

using Bytes = std::vector<std::uint8_t>;

void put(Bytes &b, std::size_t off, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

// The message of the drovdef::Error that f throws, or "" when it does not.
template <typename F> std::string error_of(F &&f) {
    try {
        f();
        return "";
    } catch (const drovdef::Error &e) {
        return e.what();
    }
}

// What the tool reads from a library: sections, manifest and catalogue.
std::string problem(Bytes b) {
    return error_of([&] {
        const drovdef::ElfFile elf(std::move(b));
        drovdef::velto_text(elf, drovdef::kVeltoManifestRecord);
        drovdef::load_catalogue(elf);
    });
}

const Bytes &library() {
    static const Bytes bytes = drovdef::read_file(DROVDEF_LIBRARY);
    return bytes;
}

} // namespace

TEST(tool_parse, RejectsDamagedHeadersAndSections) {
    const Bytes &lib = library();
    const drovdef::ElfFile elf{Bytes(lib)};
    const auto &secs = elf.sections();
    auto index = [&](std::string_view prefix) -> std::size_t {
        return std::ranges::find_if(secs, [&](auto &s) { return s.name.starts_with(prefix); }) -
               secs.begin();
    };
    const std::size_t n = secs.size(), shoff = drovdef::load_u64(&lib[40]),
                      strndx = drovdef::load_u16(&lib[62]), velto = index(".velto"),
                      luids = index(".wlog_luids_"), fmt = index(".wlog_format_strings"),
                      bss = index(".bss"), names = secs[strndx].offset,
                      names_size = secs[strndx].size,
                      last_len = secs[luids].offset + secs[luids].size - 2; // of the last text
    // Section k's header, the offset of its contents and of its name.
    auto hdr = [&](std::size_t k) { return shoff + 64 * k; };
    auto data = [&](std::size_t k) { return secs[k].offset; };
    auto name = [&](std::size_t k) { return names + drovdef::load_u32(&lib[hdr(k)]); };
    const std::string v = std::to_string(velto), ns = std::to_string(n);
    const struct {
        std::vector<std::tuple<std::size_t, std::uint64_t, int>> writes; // offset, value, width
        std::string message; // part of the error; "" when the file must still read
    } cases[] = {
        {{{0, 'x', 1}}, "not an ELF file"},
        {{{4, 1, 1}}, "not a 64-bit ELF file"},
        {{{5, 2, 1}}, "not a little-endian ELF file"},
        {{{40, 0, 8}}, "no section header table"},
        {{{40, UINT64_MAX - 8, 8}}, "section header table extends past the end of the file"},
        {{{58, 40, 2}}, "unexpected section header size 40 (expected 64)"},
        {{{60, n + 1, 2}}, "table (" + std::to_string(n + 1) + " entries) extends past the end"},
        // Extended numbering: a zero count defers to section 0's size.
        {{{60, 0, 2}, {shoff + 32, n, 8}}, ""},
        {{{60, 0, 2}, {shoff + 32, 1ull << 60, 8}}, "table (1152921504606846976 entries)"},
        {{{62, 0, 2}}, "no section name string table"},
        {{{62, n, 2}}, "string table index " + ns + " out of range (" + ns + " sections)"},
        {{{62, bss, 2}}, "section name string table has no contents"},
        {{{hdr(velto), 0xFFFFFF, 4}},
         "section " + v + " name offset 16777215 outside the section name table (" +
             std::to_string(names_size)},
        {{{hdr(velto), names_size - 1, 4}, {names + names_size - 1, 'x', 1}},
         "name is not terminated"},
        {{{hdr(velto) + 32, UINT64_MAX - 8, 8}}, "section " + v + " extends past the end"},
        // NOBITS sections have no file bytes, so any extent is fine.
        {{{hdr(bss) + 24, UINT64_MAX, 8}, {hdr(bss) + 32, UINT64_MAX, 8}}, ""},
        {{{name(velto) + 1, 'x', 1}}, "no .velto section"},
        {{{data(velto), 0xFFFFFFF0u, 4}},
         ".velto: record at offset 0 claims 4294967280 body bytes"},
        // The trace catalogue: index, UUID, text lengths, bzip2 data.
        {{{name(luids) + 2, 'x', 1}}, "no trace catalogue (.wlog_luids_* section missing)"},
        {{{hdr(luids) + 32, 19, 8}}, "catalogue section has 19 bytes, not 4 + 16 + 6 per entry"},
        {{{data(luids), 2, 4}}, "unsupported trace catalogue version 2"},
        {{{data(luids) + 19, lib[data(luids) + 19] ^ 1u, 1}}, "UUID does not match its section"},
        {{{data(luids) + 24, 0xFFFF, 2}}, "runs past the"},
        {{{last_len, drovdef::load_u16(&lib[last_len]) - 1u, 2}}, "text lengths add up to"},
        {{{data(fmt), 'x', 1}}, "format strings are not bzip2 data"},
        {{{hdr(fmt) + 32, secs[fmt].size - 1, 8}}, "truncated bzip2 stream in the format strings"},
    };
    EXPECT_EQ(problem(lib), "");
    for (const auto &c : cases) {
        Bytes b = lib;
        for (const auto &[offset, value, width] : c.writes) put(b, offset, value, width);
        const std::string got = problem(std::move(b));
        EXPECT_TRUE(c.message.empty() ? got.empty() : got.find(c.message) != std::string::npos)
            << "got:  " << got << "\nwant: " << c.message;
    }
}

TEST(tool_parse, RandomDamageFailsCleanly) {
    // Must read or throw Error; under the sanitizers, without stray reads.
    const Bytes &lib = library();
    const std::size_t shoff = drovdef::load_u64(&lib[40]);
    std::mt19937 rng(20240611);
    int parsed = 0, rejected = 0;
    for (int round = 0; round < 1000; ++round) {
        Bytes b = lib;
        for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k)
            b[rng() % 3 ? shoff + rng() % (b.size() - shoff) : rng() % b.size()] =
                static_cast<std::uint8_t>(rng());
        (problem(std::move(b)).empty() ? parsed : rejected)++;
    }
    EXPECT_GT(rejected, 250);
    EXPECT_GT(parsed, 0);
}

TEST(tool_format, QuotesFillsConversionsAndRejectsBadArguments) {
    EXPECT_EQ(drovdef::quote("say \"hi\" \\ %s\n"), R"("say \"hi\" \\ %s\n")");
    // Octal escapes cannot swallow a following digit.
    EXPECT_EQ(drovdef::quote(std::string_view("\0017\177\377\0", 5)), R"("\0017\177\377\000")");

    const struct {
        std::string_view fmt;
        std::vector<std::string> args;
        std::string want; // the output, or "error: " and the message
    } cases[] = {
        {"%s=%u", {"%d", "7"}, "%d=7"},
        {"%u %u %u", {"0", "0x10", "4294967295"}, "0 16 4294967295"},
        {"%d %d %u", {"-2147483648", "0xffffffff", "-1"}, "-2147483648 -1 4294967295"},
        {"%p %p %p", {"0", "255", "0xFFFFFFFFFFFFFFFF"}, "0x0 0xff 0xffffffffffffffff"},
        {"100%%", {}, "100%"},
        {"a %s b %u", {"x"}, "error: message takes 2 arguments, 1 given"},
        {"%d", {"1", "2"}, "error: message takes 1 argument, 2 given"},
        {"%u", {"4294967296"}, "error: argument 1 \"4294967296\" does not fit in 32 bits"},
        {"%d", {"-2147483649"}, "error: argument 1 \"-2147483649\" does not fit in 32 bits"},
        {"%u", {"12abc"}, "error: argument 1 \"12abc\" is not a number"},
        {"%p", {"-1"}, "error: argument 1 \"-1\" is not a number"},
        {"%p", {"0x10000000000000000"}, "error: argument 1 \"0x10000000000000000\" is too large"},
        {"value %x", {"1"}, "error: message text has unsupported conversion '%x'"},
        {"trailing %", {}, "error: message text ends in a lone '%'"},
    };
    for (const auto &c : cases) {
        std::string got;
        const std::string err = error_of([&] { got = drovdef::format_message(c.fmt, c.args); });
        EXPECT_EQ(err.empty() ? got : "error: " + err, c.want) << c.fmt;
    }
}
