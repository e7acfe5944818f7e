// The drovdef parsing unit on damaged copies of the built library, and the message formatting.
#include "catalogue.h"
#include "elf_file.h"
#include "library_layout.h"
#include "qel.h"
#include "types.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

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

// What the tool reads from a library: sections, manifest, catalogue and type table.  The error, or
// what it read: "N types:" and each type's name and number of variants ("NAME/V").
// `open` makes the drovdef::ElfFile.
template <typename Open> std::string problem_of(Open &&open) {
    std::string read;
    const std::string err = error_of([&] {
        const drovdef::ElfFile elf = open();
        drovdef::velto_text(elf, drovdef::kVeltoManifestRecord);
        drovdef::load_catalogue(elf).check();
        const drovdef::TypeTable table = drovdef::read_type_table(elf);
        read = std::to_string(table.types.size()) + " types:";
        for (const auto &t : table.types) read += " " + t.name + "/" + std::to_string(t.variants.size());
    });
    return err.empty() ? read : err;
}
std::string problem(Bytes b) {
    return problem_of([&] { return drovdef::ElfFile(std::move(b)); });
}
// The same from a file, whose sections are read as they are asked for.
std::string problem_in_file(const Bytes &b) {
    const std::string path = testing::TempDir() + "/parse_test_library.so";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()),
                                                static_cast<std::streamsize>(b.size()));
    const std::string got = problem_of([&] { return drovdef::ElfFile::open(path); });
    std::remove(path.c_str());
    return got;
}

// Named places of the undamaged library, as tests/golden/drovdef/damaged_library describes them.
using Places = std::map<std::string, std::uint64_t>;
Places places(const test::Layout &l) {
    const Bytes &lib = l.lib;
    const auto &secs = l.elf.sections();
    const drovdef::Section &names = secs[drovdef::load_u16(&lib[62])];
    Places p = {{"UINT64_MAX", UINT64_MAX}, {"shoff", l.shoff},         {"sections", secs.size()},
                {"file_size", lib.size()},
                {"names", names.offset},   {"names_size", names.size}};
    for (const auto &section : std::initializer_list<std::pair<std::string, std::string_view>>{
             {"velto", ".velto"}, {"luids", ".wlog_luids_"}, {"fmt", ".wlog_format_strings"}, {"bss", ".bss"},
             {"rela", ".rela.dyn"}, {"relro", ".data.rel.ro"}, {"data", ".data"}}) {
        const std::string &key = section.first;
        const std::string_view name = section.second; // .wlog_luids_ is followed by the UUID
        const std::size_t k = std::ranges::find_if(secs, [&](auto &s) {
                                  return name.ends_with('_') ? s.name.starts_with(name) : s.name == name;
                              }) - secs.begin();
        p[key] = k;
        p["hdr." + key] = l.shoff + 64 * k;
        p["data." + key] = secs[k].offset;
        p["size." + key] = secs[k].size;
        p["name." + key] = names.offset + drovdef::load_u32(&lib[l.shoff + 64 * k]);
    }
    p["last_record"] = 8 + (drovdef::load_u32(&lib[p["data.velto"]]) + 3) / 4 * 4;
    p["last_room"] = p["size.velto"] - p["last_record"];
    p["last_len"] = p["data.luids"] + p["size.luids"] - 2;
    p["last_len_value"] = drovdef::load_u16(&lib[p["last_len"]]);
    p["uuid_last"] = lib[p["data.luids"] + 19];
    p["table"] = l.table.address;
    p["table_pointer"] = l.table.descriptor + 8;
    p["at.table_pointer"] = l.at(l.table.descriptor + 8);
    p["rel.table"] = l.relocation(l.table.descriptor + 8);
    p["rel.name"] = l.relocation(l.table.descriptor);
    p["name_addr"] = drovdef::load_u64(&lib[p["rel.name"] + 16]);
    for (int n : {0, 3, 41}) {
        p["slot." + std::to_string(n)] = l.slot(n);
        p["at.slot." + std::to_string(n)] = l.at(l.slot(n));
    }
    for (int n : {1, 3}) p["rel.slot." + std::to_string(n)] = l.relocation(l.slot(n));
    p["sym.3"] = l.symbol("_" + l.table.types[3].name + "_type_info_internal");
    p["record.0"] = l.at(l.record(0));
    p["variant_info"] = offsetof(qel_type_info_t, variant_info);
    for (int n : {0, 9}) p["rel.vi." + std::to_string(n)] = l.relocation(l.record(n) + offsetof(qel_type_info_t, variant_info));
    const std::uint64_t vi9 = drovdef::load_u64(&lib[p["rel.vi.9"] + 16]);
    p["vi.9"] = l.at(vi9);
    p["rel.entries.9"] = l.relocation(vi9 + 8);
    return p;
}

// The value of numbers, 'c' characters and names joined by +, - and ^, left to right.
std::uint64_t eval(const Places &p, std::string_view e) {
    std::uint64_t v = 0;
    char op = '+';
    for (std::size_t i = 0, j; i < e.size(); i = j + 1) {
        j = std::min(e.find_first_of("+-^", i), e.size());
        const std::string term(e.substr(i, j - i));
        const std::uint64_t t = term[0] == '\'' ? std::uint64_t(term.at(1))
                                : std::isdigit(term[0]) ? std::stoull(term, nullptr, 0)
                                                        : p.at(term);
        v = op == '+' ? v + t : op == '-' ? v - t : v ^ t;
        op = j < e.size() ? e[j] : '+';
    }
    return v;
}

} // namespace

// Every case of tests/golden/drovdef/damaged_library, read from a file and from memory.
TEST(tool_parse, RejectsDamagedLibraries) {
    const test::Layout l;
    const Places p = places(l);
    ASSERT_TRUE(problem(l.lib).starts_with("41 types: vm_id/1 ")) << problem(l.lib);
    std::ifstream in(DROVDEF_GOLDEN "/damaged_library");
    const int cases = test::each_case(in, [&](std::string list, std::string want) {
        Bytes b = l.lib;
        std::ranges::replace(list, ';', ' ');
        std::istringstream writes(list);
        for (std::string offset, value, width; writes >> offset >> value >> width;)
            put(b, eval(p, offset), eval(p, value), std::stoi(width));
        for (std::size_t at; (at = want.find('{')) != std::string::npos;) {
            const std::size_t end = want.find('}', at);
            const std::string e = want.substr(at + 1, end - at - 1);
            const std::uint64_t v = eval(p, e.substr(0, e.find(':')));
            want.replace(at, end - at + 1, e.ends_with(":x") ? test::hex(v) : std::to_string(v));
        }
        const std::string got = problem_in_file(b);
        EXPECT_TRUE(!want.empty() && got.find(want) != std::string::npos) << "got:  " << got;
        EXPECT_EQ(problem(std::move(b)), got);
    });
    EXPECT_EQ(cases, 58);
}

TEST(tool_format, QuotesFillsConversionsAndRejectsBadArguments) {
    EXPECT_EQ(drovdef::quote("say \"hi\" \\ %s\n"), R"("say \"hi\" \\ %s\n")");
    // Octal escapes cannot swallow a following digit.
    EXPECT_EQ(drovdef::quote(std::string_view("\0017\177\377\0", 5)), R"("\0017\177\377\000")");

    std::ifstream in(DROVDEF_GOLDEN "/format");
    const int cases = test::each_case(in, [](const std::string &left, const std::string &want) {
        const std::size_t bar = left.find(" |");
        std::istringstream words(left.substr(bar + 2));
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        std::string got;
        const std::string err = error_of([&] { got = drovdef::format_message(left.substr(0, bar), args); });
        EXPECT_EQ(err.empty() ? got : "error: " + err, want);
    });
    EXPECT_EQ(cases, 14);
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
    Bytes fmt = test::compress(all, 1);
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
    auto last_text = [&] { drovdef::Catalogue(uuid, longer, test::compress(all, 9)).text(12); };
    EXPECT_NE(error_of(last_text).find(past), std::string::npos);
    put(longer, 20 + 4, 0xFFFF, 2);
    EXPECT_NE(error_of(last_text).find(past), std::string::npos);

    // Texts of more than 16 MiB, claimed or held, are not read.
    Bytes many(luids.begin(), luids.begin() + 20);
    for (int i = 0; i < 257; ++i) add(many, i, 0xFFFF);
    EXPECT_EQ(error_of([&] { drovdef::Catalogue(uuid, many, fmt); }),
              "trace catalogue texts add up to 16842495 bytes, more than the 16777216 read");
    const Bytes bomb = test::compress(std::string(drovdef::kMaxTextBytes + 1, 'x'), 9);
    EXPECT_EQ(error_of([&] { drovdef::Catalogue(uuid, Bytes(many.begin(), many.begin() + 20), bomb).check(); }),
              "format strings expand past 16777216 bytes");
}
