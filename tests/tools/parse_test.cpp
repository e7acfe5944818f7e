// The drovdef parsing unit on damaged copies of the built library, and the
// message formatting.
#include "catalogue.h"
#include "elf_file.h"
#include "library_layout.h"
#include "qel.h"
#include "schema_gen.h"
#include "types.h"

#include <bzlib.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

namespace {

using test::Bytes;
using test::put;

// The message of the drovdef::Error that f throws, or "" when it does not.
template <typename F> std::string error_of(F &&f) {
    try {
        f();
        return "";
    } catch (const drovdef::Error &e) {
        return e.what();
    }
}

// What the tool reads from a library: sections, manifest, catalogue and
// type table.
std::string problem(Bytes b) {
    return error_of([&] {
        const drovdef::ElfFile elf(std::move(b));
        drovdef::velto_text(elf, drovdef::kVeltoManifestRecord);
        drovdef::load_catalogue(elf).check();
        drovdef::read_type_table(elf);
    });
}

// Writes into a copy of the library (offset, value, width), and part of the
// error the reader must throw, "" when the copy must still read.
struct Damage {
    std::vector<std::tuple<std::size_t, std::uint64_t, int>> writes;
    std::string message;
};
template <class Read> void expect_refusals(const Bytes &lib, const std::vector<Damage> &cases, Read read) {
    EXPECT_EQ(read(lib), "");
    for (const Damage &c : cases) {
        Bytes b = lib;
        for (const auto &[offset, value, width] : c.writes) put(b, offset, value, width);
        const std::string got = read(std::move(b));
        EXPECT_TRUE(c.message.empty() ? got.empty() : got.find(c.message) != std::string::npos)
            << "got:  " << got << "\nwant: " << c.message;
    }
}

Bytes compress(const std::string &text, int block_100k) {
    Bytes out(text.size() + text.size() / 100 + 600);
    auto size = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char *>(out.data()), &size, const_cast<char *>(text.data()),
                                       static_cast<unsigned>(text.size()), block_100k, 0, 0),
              BZ_OK);
    out.resize(size);
    return out;
}

} // namespace

TEST(tool_parse, RejectsDamagedHeadersAndSections) {
    const test::Layout l;
    const Bytes &lib = l.lib;
    const auto &secs = l.elf.sections();
    auto index = [&](std::string_view prefix) -> std::size_t {
        return std::ranges::find_if(secs, [&](auto &s) { return s.name.starts_with(prefix); }) - secs.begin();
    };
    const std::size_t n = secs.size(), shoff = l.shoff, strndx = drovdef::load_u16(&lib[62]), velto = index(".velto"),
                      luids = index(".wlog_luids_"), fmt = index(".wlog_format_strings"), bss = index(".bss"),
                      names = secs[strndx].offset, names_size = secs[strndx].size,
                      last_len = secs[luids].offset + secs[luids].size - 2, // of the last text
        last_record = 8 + (drovdef::load_u32(&lib[secs[velto].offset]) + 3) / 4 * 4;
    // Section k's header, the offset of its contents and of its name.
    auto hdr = [&](std::size_t k) { return shoff + 64 * k; };
    auto data = [&](std::size_t k) { return secs[k].offset; };
    auto name = [&](std::size_t k) { return names + drovdef::load_u32(&lib[hdr(k)]); };
    const std::string v = std::to_string(velto), ns = std::to_string(n);
    const std::size_t last_room = secs[velto].size - last_record;
    expect_refusals(lib, {
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
         "section " + v + " name offset 16777215 outside the section name table (" + std::to_string(names_size)},
        {{{hdr(velto), names_size - 1, 4}, {names + names_size - 1, 'x', 1}}, "name is not terminated"},
        {{{hdr(velto) + 32, UINT64_MAX - 8, 8}}, "section " + v + " extends past the end"},
        // NOBITS sections have no file bytes, so any extent is fine.
        {{{hdr(bss) + 24, UINT64_MAX, 8}, {hdr(bss) + 32, UINT64_MAX, 8}}, ""},
        {{{name(velto) + 1, 'x', 1}}, "no .velto section"},
        {{{data(velto), 0xFFFFFFF0u, 4}}, ".velto: record at offset 0 claims 4294967280 body bytes"},
        // The last record may fill the section to its end, its header counted, and not a byte more.
        {{{data(velto) + last_record, last_room - 8, 4}}, ""},
        {{{data(velto) + last_record, last_room - 7, 4}},
         "record at offset " + std::to_string(last_record) + " claims " + std::to_string(last_room - 7) +
             " body bytes, past the end"},
        {{{data(velto) + last_record, last_room, 4}}, "past the end"},
        // The trace catalogue: index, UUID, text lengths, bzip2 data.
        {{{name(luids) + 2, 'x', 1}}, "no trace catalogue (.wlog_luids_* section missing)"},
        {{{hdr(luids) + 32, 19, 8}}, "catalogue section has 19 bytes, not 4 + 16 + 6 per entry"},
        {{{data(luids), 2, 4}}, "unsupported trace catalogue version 2"},
        {{{data(luids) + 19, lib[data(luids) + 19] ^ 1u, 1}}, "UUID does not match its section"},
        {{{data(luids) + 24, 0xFFFF, 2}}, "runs past the"},
        {{{last_len, drovdef::load_u16(&lib[last_len]) - 1u, 2}}, "text lengths add up to"},
        {{{data(fmt), 'x', 1}}, "format strings are not bzip2 data"},
        {{{hdr(fmt) + 32, secs[fmt].size - 1, 8}}, "truncated bzip2 stream in the format strings"},
    }, problem);
}

TEST(tool_parse, RandomDamageFailsCleanly) {
    // Must read or throw Error; under the sanitizers, without stray reads.
    // Damage anywhere, or in what the type table is read from: the table,
    // the records, the section headers, the dynamic relocations and symbols.
    const test::Layout l;
    const auto &rela = l.section(".rela.dyn"), &dynsym = l.section(".dynsym");
    const std::size_t record = l.at(l.record(0));
    const std::pair<std::size_t, std::size_t> regions[] = {
        {0, l.lib.size()}, {l.at(l.table.address), 42 * 8}, {record, l.at(l.record(40)) + 272 - record},
        {l.shoff, 64 * l.elf.sections().size()}, {rela.offset, rela.size}, {dynsym.offset, dynsym.size}};
    std::mt19937 rng(20240611);
    int parsed = 0, rejected = 0;
    for (int round = 0; round < 1000; ++round) {
        Bytes b = l.lib;
        for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
            const auto &[start, size] = regions[rng() % std::size(regions)];
            b[start + rng() % size] = static_cast<std::uint8_t>(rng());
        }
        (problem(std::move(b)).empty() ? parsed : rejected)++;
    }
    EXPECT_GT(rejected, 100);
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
        {"%u %u %u %u", {"0", "0x10", "0xA", "4294967295"}, "0 16 10 4294967295"},
        {"%d %d %u", {"-2147483648", "0xffffffff", "-1"}, "-2147483648 -1 4294967295"},
        {"%p %p %p", {"0", "255", "0xFFFFFFFFFFFFFFFF"}, "0x0 0xff 0xffffffffffffffff"},
        {"100%%", {}, "100%"},
        {"a %s b %u", {"x"}, "error: message takes 2 arguments, 1 given"},
        {"%d", {"1", "2"}, "error: message takes 1 argument, 2 given"},
        {"%u", {"4294967296"}, "error: argument 1 \"4294967296\" does not fit in 32 bits"},
        {"%d", {"-2147483649"}, "error: argument 1 \"-2147483649\" does not fit in 32 bits"},
        {"%u", {"12a"}, "error: argument 1 \"12a\" is not a number"},
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

TEST(tool_types, ReadsTheTableAsTheRuntimeSeesIt) {
    const test::Layout l;
    const auto &types = l.table.types;
    ASSERT_EQ(types.size(), drov::schema::kTypeCount);
    for (std::size_t i = 0; i < types.size(); ++i) {
        const drov::schema::TypeDesc &want = drov::schema::kTypes[i];
        const drovdef::TypeRecord &got = types[i];
        SCOPED_TRACE(want.name);
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.kind, want.is_enum ? "enum" : "type");
        EXPECT_EQ(got.digest, want.digest);
        // The exported record, not a copy of it.
        EXPECT_EQ(got.address, drovdef::load_u64(&l.lib[l.symbol("_" + got.name + "_type_info_internal") + 8]));
        ASSERT_EQ(got.variants.size(), static_cast<std::size_t>(want.variants));
        for (std::size_t v = 0; v < got.variants.size(); ++v) {
            EXPECT_EQ(got.variants[v].variant, v);
            EXPECT_EQ(got.variants[v].used, want.used[v]);
            EXPECT_EQ(got.variants[v].slop, want.alloc_size() - want.used[v]);
        }
    }
}

TEST(tool_types, RejectsDamagedTablesRecordsAndRelocations) {
    const test::Layout l;
    const Bytes &lib = l.lib;
    const std::size_t vi_field = offsetof(qel_type_info_t, variant_info), rel_entry3 = l.relocation(l.slot(3)),
                      rel_name = l.relocation(l.table.descriptor), rel_table = l.relocation(l.table.descriptor + 8),
                      rel_vi0 = l.relocation(l.record(0) + vi_field), rel_vi9 = l.relocation(l.record(9) + vi_field),
                      vi9 = l.at(drovdef::load_u64(&lib[rel_vi9 + 16])),
                      rel_entries9 = l.relocation(drovdef::load_u64(&lib[rel_vi9 + 16]) + 8),
                      sym3 = l.symbol("_vm_mac_pool_type_info_internal"), rela = l.header(".rela.dyn");
    const std::uint64_t name_addr = drovdef::load_u64(&lib[rel_name + 16]);
    const std::string entry0 = "type table entry 0 at " + test::hex(l.slot(0)),
                      entry3 = "type table entry 3 at " + test::hex(l.slot(3));
    auto types_problem = [](Bytes b) { return error_of([&] { drovdef::read_type_table(drovdef::ElfFile(std::move(b))); }); };
    expect_refusals(lib, {
        // The table ends at a null pointer the loader leaves alone.
        {{{l.at(l.slot(41)) + 7, 0x41, 1}},
         "type table entry 41 at " + test::hex(l.slot(41)) + " holds 0x4100000000000000 without a relocation"},
        {{{rel_entry3 + 8, R_X86_64_PC32, 1}}, entry3 + ": relocation type 2 is not supported"},
        {{{rel_entry3 + 12, 0, 4}}, entry3 + ": relocation names symbol 0 of "},
        {{{sym3 + 6, SHN_UNDEF, 2}}, entry3 + ": relocation refers to a symbol the file does not define"},
        {{{sym3 + 4, STB_GLOBAL << 4 | STT_GNU_IFUNC, 1}}, entry3 + ": relocation refers to a symbol resolved by code"},
        // A symbolic relocation adds its addend.
        {{{rel_entry3 + 16, 4, 8}}, "type table entry 3 has a bad magic number"},
        {{{l.at(l.record(0)), 0x0E, 1}}, "type table entry 0 has a bad magic number"},
        {{{vi9, 0x80, 1}}, "type table entry 9 has a negative variant count"},
        {{{rel_vi0 + 16, 1ull << 40, 8}},
         "type table entry 0 variant information (16 bytes at 0x10000000000) lies outside the loaded sections"},
        {{{rel_entries9 + 16, 1ull << 40, 8}},
         "type table entry 9 variant information (120 bytes at 0x10000000000) lies outside"},
        // The module descriptor: its name, its table.
        {{{rel_name + 16, name_addr + 1, 8}}, "does not publish a drov_def module"},
        {{{rel_vi0 + 16, name_addr, 8}}, "2 drov_def module descriptors"},
        // A relocated pointer counts from the load address: never null.
        {{{rel_table + 16, 0, 8}}, "type table entry 0 (8 bytes at 0x0) lies outside"},
        {{{rel_table + 8, R_X86_64_NONE, 1}},
         "the module's type table pointer at " + test::hex(l.table.descriptor + 8) + " holds " +
             test::hex(l.table.address) + " without a relocation"},
        {{{rel_table + 8, R_X86_64_NONE, 1}, {l.at(l.table.descriptor + 8), 0, 8}}, "drov_def module has no type table"},
        {{{rel_entries9 + 8, R_X86_64_NONE, 1}, {vi9 + 8, 0, 8}}, "type table entry 9 has no variant entries"},
        {{{rel_table + 16, ~0ull - 3, 8}},
         "type table entry 0 (8 bytes at 0xfffffffffffffffc) lies outside the loaded sections"},
        // Section headers.
        {{{rela + 4, SHT_PROGBITS, 4}}, "does not publish a drov_def module"},
        {{{rela + 4, SHT_RELR, 4}}, "packed relative relocations (.rela.dyn) are not supported"},
        {{{rela + 32, l.section(".rela.dyn").size - 1, 8}}, "relocation section .rela.dyn is not a whole number of entries"},
        {{{rela + 40, 0, 4}}, entry0 + ": relocation without a symbol table"},
        {{{rela + 40, l.elf.sections().size(), 4}}, "relocation without a symbol table"},
        {{{l.header(".data.rel.ro") + 8, 0, 8}}, "type table entry 0 (8 bytes at " + test::hex(l.slot(0)) + ") lies outside"},
        // Loaded but without file bytes: the records read as zeros.
        {{{l.header(".data") + 4, SHT_NOBITS, 4}}, "type table entry 0 has a bad magic number"},
        {{{18, EM_AARCH64, 2}}, "type table: machine 183 is not supported (x86-64 only)"},
    }, types_problem);

    // Two relocations of one place: the later one wins, as in the loader.
    Bytes b = lib;
    put(b, l.relocation(l.slot(1)), l.slot(0), 8);
    const drovdef::TypeTable moved = drovdef::read_type_table(drovdef::ElfFile(std::move(b)));
    ASSERT_EQ(moved.types.size(), 1u);
    EXPECT_EQ(moved.types[0].name, "vm_zam_ssd_current_state");
    // No variant information, or none in it: no variants, as the runtime sees.
    b = lib;
    for (const auto &[offset, value, width] : std::initializer_list<std::tuple<std::size_t, std::uint64_t, int>>{
             {vi9, 0, 1}, {rel_entries9 + 8, R_X86_64_NONE, 1}, {vi9 + 8, 0, 8}, {rel_vi0 + 8, R_X86_64_NONE, 1},
             {l.at(l.record(0) + vi_field), 0, 8}})
        put(b, offset, value, width);
    const drovdef::TypeTable sparse = drovdef::read_type_table(drovdef::ElfFile(std::move(b)));
    ASSERT_EQ(sparse.types.size(), 41u);
    EXPECT_TRUE(sparse.types[0].variants.empty());
    EXPECT_TRUE(sparse.types[9].variants.empty());
    EXPECT_EQ(sparse.types[1].variants.size(), 1u);
}

TEST(tool_catalogue, LooksUpEachEntryAcrossBlocks) {
    // Random texts around the tool's read sizes, over bzip2 blocks of 100 kB.
    const std::string uuid = "00112233445566778899aabbccddeeff";
    Bytes luids = {1, 0, 0, 0, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    auto add = [](Bytes &index, std::uint32_t luid, std::size_t length) {
        index.resize(index.size() + 6);
        put(index, index.size() - 6, luid, 4);
        put(index, index.size() - 2, length, 2);
    };
    std::mt19937 rng(20240614);
    std::vector<std::string> texts;
    std::string all;
    for (std::size_t len : {0, 1, 30, 16383, 16384, 16385, 0, 65535, 65535, 65535, 65535, 7, 0}) {
        std::string t(len, ' ');
        for (char &c : t) c = static_cast<char>(' ' + rng() % 95);
        add(luids, static_cast<std::uint32_t>(70000 + texts.size()), len);
        texts.push_back(t);
        all += t;
    }
    Bytes fmt = compress(all, 1);
    const drovdef::Catalogue cat(uuid, luids, fmt);
    ASSERT_EQ(cat.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(cat.luid(i), 70000 + i);
        EXPECT_EQ(cat.text(i), texts[i]) << i;
    }
    std::size_t seen = 0;
    cat.for_each([&](std::size_t i, std::uint32_t luid, std::string_view text) {
        EXPECT_TRUE(i == seen++ && luid == 70000 + i && text == texts[i]) << i;
    });
    EXPECT_EQ(seen, texts.size());

    // Damage in the last block: the entries before it still read.
    fmt[fmt.size() - 40] ^= 0x10;
    const drovdef::Catalogue damaged(uuid, luids, fmt);
    EXPECT_EQ(damaged.text(7), texts[7]);
    EXPECT_NE(error_of([&] { damaged.check(); }).find("bzip2"), std::string::npos);

    // An entry that reaches past the texts, or starts past them.
    const std::string past = "entry 12 runs past the " + std::to_string(all.size()) + " bytes";
    Bytes longer = luids;
    put(longer, longer.size() - 2, 1, 2);
    auto last_text = [&] { drovdef::Catalogue(uuid, longer, compress(all, 9)).text(12); };
    EXPECT_NE(error_of(last_text).find(past), std::string::npos);
    put(longer, 20 + 4, 0xFFFF, 2);
    EXPECT_NE(error_of(last_text).find(past), std::string::npos);

    // Texts of more than 16 MiB, claimed or held, are not read.
    Bytes many(luids.begin(), luids.begin() + 20);
    for (int i = 0; i < 257; ++i) add(many, i, 0xFFFF);
    EXPECT_EQ(error_of([&] { drovdef::Catalogue(uuid, many, fmt); }),
              "trace catalogue texts add up to 16842495 bytes, more than the 16777216 read");
    const Bytes bomb = compress(std::string(drovdef::kMaxTextBytes + 1, 'x'), 9);
    EXPECT_EQ(error_of([&] { drovdef::Catalogue(uuid, Bytes(many.begin(), many.begin() + 20), bomb).check(); }),
              "format strings expand past 16777216 bytes");
}
