// What stands behind drovdef's message commands, in process: the schema
// reader against the type reference, the compatibility rules on hand-made
// schema pairs, and the map of an encoding against the library's decoding.
#include "compat.h"
#include "elf_file.h"
#include "messages.h"
#include "schema.h"
#include "wire_walk.h"

#include "drov_def/drov_def.hpp"
#include "structs/schema_walk.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

namespace schema = drovdef::schema;

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// "enumeration [`vm_if_state`](#vm_if_state)" -> "enumeration vm_if_state",
// "length of `name` (u32)" -> "length of name (u32)"
std::string plain(const std::string &md) {
    std::string out;
    for (std::size_t i = 0; i < md.size(); ++i) {
        if (md[i] == ']' && i + 1 < md.size() && md[i + 1] == '(') {
            i = md.find(')', i);
            continue;
        }
        const bool link = md[i] == '[' && i + 1 < md.size() && md[i + 1] == '`';
        if (!link && md[i] != '`') out += md[i];
    }
    return out;
}

// Cells of a line whose columns are two or more blanks apart.
std::vector<std::string> columns(const std::string &line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        std::size_t gap = line.find("  ", i);
        if (gap == std::string::npos) gap = line.size();
        out.push_back(line.substr(i, gap - i));
        i = line.find_first_not_of(' ', gap);
        if (i == std::string::npos) break;
    }
    return out;
}

// ---- The schema reader -------------------------------------------------------------

// `drovdef fields` gives, for every field of every structure, the kind,
// width, variant and limits the type reference (written from the schema by
// the generator's own reader) gives.
TEST(drovdef_schema, FieldsAgreeWithTheTypeReference) {
    std::ifstream doc(DROVDEF_TYPES_DOC);
    const std::string md(std::istreambuf_iterator<char>(doc), {});
    // "| `name` | kind | offset | width | limits | variant | ..." under "## type"
    std::map<std::string, std::vector<std::string>> expected;
    std::string type;
    for (const std::string &l : split_lines(md)) {
        if (l.starts_with("## ")) type = l.substr(3);
        if (!l.starts_with("| `")) continue;
        std::vector<std::string> cells;
        std::stringstream row(l.substr(1));
        for (std::string c; std::getline(row, c, '|');) cells.push_back(c.size() >= 2 ? c.substr(1, c.size() - 2) : "");
        if (cells.size() < 9) continue; // an enumeration's values
        const std::string kind = plain(cells[1]);
        const std::string name = cells[0].substr(1, cells[0].size() - 2);
        std::string line = name + "|" + kind + "|" + cells[3] + "|" + cells[5] + "|" + cells[4];
        expected[type].push_back(line);
    }
    ASSERT_EQ(expected.size(), 30u);
    for (const auto &[name, rows] : expected) {
        SCOPED_TRACE(name);
        const std::vector<std::string> out = split_lines(drovdef::messages::run({"fields", name}).out);
        const auto header = std::find_if(out.begin(), out.end(), [](auto &l) { return l.starts_with("field "); });
        ASSERT_NE(header, out.end());
        std::vector<std::string> got;
        for (auto it = header + 1; it != out.end(); ++it) {
            std::vector<std::string> cells = columns(*it);
            cells.resize(5);
            got.push_back(cells[0] + "|" + cells[1] + "|" + cells[2] + "|" + cells[3] + "|" + cells[4]);
        }
        EXPECT_EQ(got, rows);
    }
}

TEST(drovdef_schema, RefusesWhatItCannotRead) {
    const std::string head = "struct a 0123456789abcdef0123456789abcdef 0123456789abcdef0123456789abcdef\n";
    const struct {
        std::string text, error;
    } cases[] = {
        {"u32 x\n", "t:1: 'u32' outside a type"},
        {head + "  used 8 base 8 state 1\n  u64 x\n", "t:3: cannot read field 'u64 x'"},
        {head + "  used 8 base 8 state 1\n  u32 x\n  u16 x\n", "t:4: a has two fields named x"},
        {head + "  used 8 base 8 state 1\n  variant 1\n  u32 x\n", "t:4: a.x is in variant 1, but a has 1"},
        {head + "  used 8 12 base 8 state 1\n", "t:1: a needs one used length, base size and state-area size per variant"},
        {head + "  used 8 base 8 state 1\n  record r b\n", "t:3: a.r names unknown type b"},
        {head + "  used 8 base 8 state 1\n  record r a\n", "t:3: a contains itself through a.r"},
        {head + "  used 8 base 8 state 1\n  string s field u64 s_len\n",
         "t:3: expected 'string NAME item' or 'string NAME field u8|u16|u32 LENNAME'"},
        {"enum e 0123456789abcdef0123456789abcdef 0123456789ABCDEF0123456789abcdef\n",
         "t:1: expected 32 lower-case hex digits, got '0123456789ABCDEF0123456789abcdef'"},
        {"enum e 0123456789abcdef0123456789abcdef 0123456789abcdef0123456789abcdef\n  A 0\n  B 2\n",
         "t:1: e values must be numbered densely from 0"},
    };
    for (const auto &c : cases) {
        try {
            schema::parse(c.text, "t");
            ADD_FAILURE() << "read: " << c.text;
        } catch (const drovdef::Error &e) {
            EXPECT_EQ(e.what(), c.error);
        }
    }
}

// ---- Compatibility rules -----------------------------------------------------------

// Hand-made edits of a small schema, each with the verdicts it must get.
TEST(drovdef_compat, VerdictsOnSchemaEdits) {
    const std::string d1 = " 11111111111111111111111111111111 11111111111111111111111111111111\n";
    const std::string d2 = " 22222222222222222222222222222222 22222222222222222222222222222222\n";
    const std::string d3 = " 33333333333333333333333333333333 33333333333333333333333333333333\n";
    const std::string color = "enum color" + d3 + "  RED 0\n  GREEN 1\n";
    const std::string old_pkt = "struct pkt" + d1 +
                                "  used 40  base 48  state 4\n"
                                "  u32 id\n  string name field u8 name_len\n  text tag 8\n  enum c color\n";
    const std::string d4 = " 44444444444444444444444444444444 44444444444444444444444444444444\n";
    const std::string note = "struct note" + d4 + "  used 16  base 24  state 1\n  u32 id\n";
    const std::string rest = note + color;
    const std::string old_schema = old_pkt + rest;
    const struct {
        const char *edit;
        std::string new_schema;
        std::vector<std::string> verdicts;
    } cases[] = {
        {"nothing", old_schema, {}},
        {"field in a new variant",
         "struct pkt" + d2 + "  used 40 44  base 48 56  state 4 5\n"
         "  u32 id\n  string name field u8 name_len\n  text tag 8\n  enum c color\n  variant 1\n  u32 extra\n" + rest,
         {"compatible  pkt.extra: appended in new variant 1 [field-appended]"}},
        {"field added to variant 0",
         "struct pkt" + d2 + "  used 44  base 48  state 5\n"
         "  u32 id\n  string name field u8 name_len\n  text tag 8\n  enum c color\n  u32 extra\n" + rest,
         {"breaking    pkt.extra: added to variant 0 [field-added-to-variant]",
          "breaking    pkt: variant 0 used/base/state 40/48/4 -> 44/48/5 [variant-size-changed]",
          "breaking    pkt: digest changed without a new variant [digest-changed]"}},
        {"field inserted before the others",
         "struct pkt" + d1 + "  used 40  base 48  state 4\n"
         "  u8 first\n  u32 id\n  string name field u8 name_len\n  text tag 8\n  enum c color\n" + rest,
         {"breaking    pkt.first: inserted before id [field-inserted]"}},
        {"field removed",
         "struct pkt" + d1 + "  used 40  base 48  state 4\n  u32 id\n  text tag 8\n  enum c color\n" + rest,
         {"breaking    pkt.name: removed [field-removed]"}},
        {"field renamed",
         "struct pkt" + d1 + "  used 40  base 48  state 4\n"
         "  u32 ident\n  string name field u8 name_len\n  text tag 8\n  enum c color\n" + rest,
         {"breaking    pkt.id: renamed to ident [field-renamed]"}},
        {"field retyped",
         "struct pkt" + d1 + "  used 40  base 48  state 4\n"
         "  u16 id\n  string name field u8 name_len\n  text tag 8\n  enum c color\n" + rest,
         {"breaking    pkt.id: u32 -> u16 [field-retyped]"}},
        {"widths: a length field, a text",
         "struct pkt" + d1 + "  used 40  base 48  state 4\n"
         "  u32 id\n  string name field u16 name_len\n  text tag 16\n  enum c color\n" + rest,
         {"breaking    pkt.name: u8 length -> u16 length [width-changed]",
          "breaking    pkt.tag: capacity 8 -> capacity 16 [width-changed]"}},
        {"two fields swapped",
         "struct pkt" + d1 + "  used 40  base 48  state 4\n"
         "  string name field u8 name_len\n  u32 id\n  text tag 8\n  enum c color\n" + rest,
         {"breaking    pkt.id: placed elsewhere among the fields [field-moved]"}},
        {"field moved to a new variant",
         "struct pkt" + d2 + "  used 40 44  base 48 56  state 4 5\n"
         "  u32 id\n  string name field u8 name_len\n  text tag 8\n  variant 1\n  enum c color\n" + rest,
         {"breaking    pkt.c: from variant 0 to 1 [field-moved]"}},
        {"digest changed alone",
         "struct pkt" + d2 + "  used 40  base 48  state 4\n"
         "  u32 id\n  string name field u8 name_len\n  text tag 8\n  enum c color\n" + rest,
         {"breaking    pkt: digest changed without a new variant [digest-changed]"}},
        {"enumeration value appended", old_pkt + note + "enum color" + d2 + "  RED 0\n  GREEN 1\n  BLUE 2\n",
         {"compatible  color.BLUE: added as 2 [value-appended]"}},
        {"enumeration value inserted", old_pkt + note + "enum color" + d2 + "  RED 0\n  BLUE 1\n  GREEN 2\n",
         {"breaking    color.GREEN: number on the wire 1 -> 2 [value-renumbered]"}},
        {"enumeration value removed", old_pkt + note + "enum color" + d2 + "  RED 0\n",
         {"breaking    color.GREEN: removed [value-removed]"}},
        {"enumeration value renamed", old_pkt + note + "enum color" + d3 + "  RED 0\n  LIME 1\n",
         {"breaking    color.GREEN: renamed to LIME [value-removed]"}},
        {"enumeration numbered from 1, the same on the wire",
         old_pkt + note + "enum color" + d3 + "  internal-from 1\n  RED 1\n  GREEN 2\n", {}},
        {"a new type, a type gone", old_pkt + color + "enum shade" + d2 + "  DARK 0\n",
         {"breaking    note: removed [type-removed]", "compatible  shade: new enumeration [new-type]"}},
        {"a type renamed", old_pkt + "struct memo" + d4 + "  used 16  base 24  state 1\n  u32 id\n" + color,
         {"breaking    note: renamed to memo [type-renamed]"}},
        {"a structure became an enumeration", "enum pkt" + d1 + "  A 0\n" + rest,
         {"breaking    pkt: structure -> enumeration [kind-changed]"}},
    };
    const schema::Schema before = schema::parse(old_schema, "old");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.edit);
        std::vector<std::string> got;
        for (const auto &v : drovdef::compat::compare(before, schema::parse(c.new_schema, "new")))
            got.push_back(drovdef::compat::line(v));
        EXPECT_EQ(got, c.verdicts);
    }
    // Dropping a variant: a two-variant type and its one-variant past.
    const std::string two = "struct p" + d2 + "  used 8 12  base 8 16  state 1 2\n  u32 a\n  variant 1\n  u32 b\n";
    const std::string one = "struct p" + d1 + "  used 8  base 8  state 1\n  u32 a\n";
    std::vector<std::string> got;
    for (const auto &v : drovdef::compat::compare(schema::parse(two, "old"), schema::parse(one, "new")))
        got.push_back(drovdef::compat::line(v));
    EXPECT_EQ(got, (std::vector<std::string>{"breaking    p.b: removed [field-removed]",
                                              "breaking    p: variant 1 removed [variant-removed]",
                                              "breaking    p: digest changed without a new variant [digest-changed]"}));
}

// ---- The map of an encoding --------------------------------------------------------

// Wherever the bytes end or are damaged, the map ends where the library's
// decoding does, with the same error; read by an older peer too (the
// variant bytes the tool lowers before the library decodes).
TEST(drovdef_wire_walk, EndsWhereTheLibrarysDecodingEnds) {
    const schema::Schema &s = schema::builtin();
    auto highest = [](const schema::Type &t) { return t.variants() - 1; };
    auto oldest = [](const schema::Type &) { return 0; };
    int messages = 0;
    for (const bool tracking : {false, true}) {
        drov::Handle h;
        if (tracking) h.track_state();
        drov::meta::for_each_struct([&](auto type) {
            using C = typename decltype(type)::type;
            using Tr = drov::detail::Traits<typename C::c_type>;
            const std::string name(C::type_name);
            SCOPED_TRACE(name + (tracking ? ", tracking" : ""));
            const schema::Type &t = *s.find(name);
            auto check = [&](const std::vector<uint8_t> &bytes, const std::function<int(const schema::Type &)> &known) {
                const drovdef::wire::Walk w = drovdef::wire::walk(h.get(), s, t, bytes, known);
                std::vector<uint8_t> patched = bytes;
                for (const auto &p : w.segments)
                    if (p.read >= 0 && p.written > p.read) patched[p.at] = static_cast<uint8_t>(p.read);
                patched.push_back(0);
                C out(h);
                uint32_t err = 0;
                const uint32_t n = Tr::unmarshal(h.get(), 1, patched.data(), out.c_ptr(),
                                                 static_cast<int32_t>(bytes.size()), 0, &err);
                ++messages;
                if (err == DROV_DEF_ENOMEM) return;
                ASSERT_EQ(w.end, n) << "of " << bytes.size() << " bytes, first " << int(bytes.empty() ? 0 : bytes[0]);
                ASSERT_EQ(w.err, err) << "of " << bytes.size() << " bytes";
                ASSERT_EQ(w.failure.has_value(), err != 0);
                ASSERT_EQ(w.segments.empty(), bytes.empty());
            };
            for (uint32_t round = 0; round < 2; ++round) {
                C inst(h);
                test::walk::Filler fill{h.get(), std::mt19937(round * 31 + name.size())};
                fill.max_string = 12;
                fill.fill(test::walk::index_of(name), inst.c_ptr());
                const std::vector<std::byte> wire = inst.encode();
                const std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t *>(wire.data()),
                                                 reinterpret_cast<const uint8_t *>(wire.data()) + wire.size());
                for (const auto &known : {std::function<int(const schema::Type &)>(highest),
                                          std::function<int(const schema::Type &)>(oldest)}) {
                    for (size_t k = 0; k <= bytes.size(); ++k) {
                        check({bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(k)}, known);
                        if (k == bytes.size()) break;
                        std::vector<uint8_t> damaged = bytes;
                        damaged[k] ^= 0xff;
                        check(damaged, known);
                    }
                }
            }
        });
    }
    EXPECT_GT(messages, 10000);
}

} // namespace
