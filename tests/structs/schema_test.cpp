// What the schema promises about every structure type: the fixed layouts
// and sizes, the field numbers each variant accepts, and the exported names
// the naming rules give (the data in tests/golden/structs/schema).
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "struct_support.h"

namespace {

using namespace test::structs;
using qel_standin::Tracking;

// The lines of the data file starting with `what`, split into words.
std::vector<std::vector<std::string>> rows(const std::string &what) {
    std::ifstream in(DROV_DEF_GOLDEN_DIR "/schema");
    std::vector<std::vector<std::string>> out;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> row(std::istream_iterator<std::string>(words), {});
        if (!row.empty() && row[0] == what) out.emplace_back(row.begin() + 1, row.end());
    }
    EXPECT_FALSE(out.empty()) << "no " << what;
    return out;
}

const FieldDesc *field(uint32_t t, const std::string &name) {
    for (uint32_t i = 0; i < kTypes[t].field_count; ++i)
        if (name == kTypes[t].fields[i].name) return &kTypes[t].fields[i];
    return nullptr;
}

class Schema : public test::HandleTest {};

TEST_F(Schema, FieldsLieWhereTheLayoutPutsThem) {
    for (const auto &r : rows("layout")) {
        const FieldDesc *f = field(walk::index_of(r[0]), r[1]);
        ASSERT_NE(f, nullptr) << r[1];
        EXPECT_EQ(f->offset, std::stoi(r[2])) << r[1];
        EXPECT_EQ(f->state_index, std::stoi(r[3])) << r[1];
        for (size_t k = 4; k < r.size(); ++k) {
            const std::string key = r[k].substr(0, r[k].find('='));
            const int v = std::stoi(r[k].substr(key.size() + 1));
            const int got = key == "size"      ? f->size
                            : key == "variant" ? f->variant
                            : key == "nested"  ? f->nested_area
                                               : f->flag_block;
            EXPECT_EQ(got, v) << r[1] << " " << key;
        }
    }
}

// ---- Sizes ------------------------------------------------------------------------

// sizeof answers the base size of the highest variant, with its state area
// under tracking; sizeof_internal that of the instance's layout variant.
TEST_F(Schema, SizesFollowTheLayoutVariantAndTracking) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        const auto &d = kTypes[t];
        const uint32_t top = d.base[d.variants - 1], top_area = d.state[d.variants - 1];
        auto size_of = [&] { return call<uint32_t>(walk::op(t, "sizeof"), h); };
        auto internal = [&](const void *inst, int32_t with, int32_t only) {
            return call<uint32_t>(walk::op(t, "sizeof_internal"), h, inst, with, only);
        };
        qel_standin::set_tracking(h, Tracking::Absent);
        EXPECT_EQ(size_of(), top);
        EXPECT_EQ(internal(nullptr, 1, 0), top);
        EXPECT_EQ(internal(nullptr, 1, 1), 0u);
        void *inst = walk::create(h, t);
        for (int8_t v = 0; v < d.variants; ++v) {
            reinterpret_cast<int8_t *>(inst)[9] = v; // layout variant
            const uint32_t base = d.base[v], area = d.state[v];
            using Row = std::tuple<Tracking, int32_t, int32_t, uint32_t>; // tracking, with the area, only it: size
            for (auto [tr, with, only, size] : {Row{Tracking::Absent, 1, 0, top}, Row{Tracking::Off, 1, 0, base},
                                                Row{Tracking::Off, 0, 1, 0}, Row{Tracking::On, 1, 0, base + area},
                                                Row{Tracking::On, 0, 0, base}, Row{Tracking::On, 0, 1, area}}) {
                qel_standin::set_tracking(h, tr);
                EXPECT_EQ(internal(inst, with, only), size) << int{v} << " " << with << only;
            }
        }
        reinterpret_cast<int8_t *>(inst)[9] = d.highest();
        qel_standin::set_tracking(h, Tracking::Off);
        EXPECT_EQ(size_of(), top);
        qel_standin::set_tracking(h, Tracking::On);
        EXPECT_EQ(size_of(), top + top_area);
        EXPECT_EQ(internal(nullptr, 1, 0), top + top_area);
        walk::destroy(h, t, inst);
    }
}

TEST_F(Schema, VariantIndexCapKeepsTheUpperBitsAndNegativeVariants) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        const uint32_t hi = static_cast<uint32_t>(kTypes[t].highest());
        auto cap = walk::fn<uint32_t (*)(uint32_t)>(walk::op(t, "variant_data_index_cap"));
        EXPECT_EQ(cap(5), hi) << walk::name(t);
        EXPECT_EQ(cap(0x105), 0x100 | hi);
        EXPECT_EQ(cap(0), 0u);
        EXPECT_EQ(cap(0xFF), 0xFFu);
        EXPECT_EQ(cap(0x12345680), 0x12345680u);
    }
}

// A field number exists from the variant whose block holds it, for the
// handle's domain and, without the flag, for the instance's variant too.
TEST_F(Schema, FieldNumbersFollowTheVariantBlocks) {
    for (const auto &row : rows("numbers")) {
        const std::string type = row[0];
        std::vector<uint32_t> ends;
        for (size_t k = 1; k < row.size(); ++k) ends.push_back(static_cast<uint32_t>(std::stoul(row[k])));
        SCOPED_TRACE(type);
        const uint32_t t = walk::index_of(type);
        void *inst = walk::create(h, t);
        auto valid = [&](const void *i, uint32_t n, int32_t flags) {
            return call<int32_t>(walk::op(t, "is_valid_cr"), h, i, n, flags);
        };
        const auto vars = static_cast<int8_t>(ends.size());
        for (int8_t dom = 0; dom < vars; ++dom) {
            qel_standin::set_domain_variant(h, type, dom);
            for (int8_t iv = 0; iv < vars; ++iv) {
                reinterpret_cast<int8_t *>(inst)[8] = iv;
                for (uint32_t n = 0; n <= ends.back() + 1; ++n) {
                    int8_t k = 0;
                    while (k < vars && n >= ends[static_cast<size_t>(k)]) ++k;
                    const bool exists = k < vars;
                    EXPECT_EQ(valid(inst, n, 1), exists && dom >= k ? 1 : 0) << n;
                    EXPECT_EQ(valid(inst, n, 0), exists && std::min(dom, iv) >= k ? 1 : 0) << n;
                }
            }
        }
        qel_standin::set_domain_variant(h, type, -1);
        EXPECT_EQ(valid(inst, 0, 1), 0);
        walk::destroy(h, t, inst);
    }
}

// ---- Exported names ----------------------------------------------------------------

std::set<std::string> exported_names() {
    drovdef::ElfFile elf(drovdef::read_file(library_path()));
    const auto *symtab = elf.find(".dynsym");
    const auto *strtab = elf.find(".dynstr");
    std::set<std::string> out;
    if (symtab == nullptr || strtab == nullptr) return out;
    auto syms = elf.contents(*symtab);
    auto strs = elf.contents(*strtab);
    for (size_t off = 24; off + 24 <= syms.size(); off += 24) { // entry 0 is the null symbol
        const uint8_t *s = syms.data() + off;
        const uint8_t bind = s[4] >> 4;
        const uint16_t shndx = drovdef::load_u16(s + 6);
        if (shndx == 0 || (bind != 1 && bind != 2)) continue; // undefined or local
        const uint32_t name = drovdef::load_u32(s);
        out.insert(reinterpret_cast<const char *>(strs.data() + name));
    }
    return out;
}

// The names the naming rules give for the schema.
std::set<std::string> expected_names() {
    static const char *const kinds[] = {"u8",     "u16",  "u32",  "boolean", "ifhandle", "enum", "record",
                                        "length", "string", "text", "array",  "vararray", "list"};
    std::map<std::string, std::vector<std::string>> ops; // by group
    for (const auto &row : rows("exports")) {
        std::vector<std::string> groups;
        auto w = row.begin();
        for (; w != row.end() && w->back() != ':'; ++w) groups.push_back(*w);
        groups.push_back(w->substr(0, w->size() - 1));
        for (const auto &g : groups) ops[g].insert(ops[g].end(), w + 1, row.end());
    }
    std::set<std::string> out(ops["module"].begin(), ops["module"].end());
    auto add = [&](const std::string &prefix, const std::string &group) {
        for (const auto &o : ops[group]) out.insert(prefix + "_" + o);
    };
    for (uint32_t t = 0; t < drov::schema::kTypeCount; ++t) {
        const auto &d = kTypes[t];
        out.insert("_" + std::string(d.name) + "_type_info_internal");
        add(d.name, "type"), add(d.name, d.is_enum ? "enumeration" : "structure");
        for (uint32_t i = 0; i < d.field_count && !d.is_enum; ++i) {
            const FieldDesc &f = d.fields[i];
            add(std::string(d.name) + "_" + f.name, kinds[static_cast<int>(f.kind)]);
            if (f.kind == FieldKind::List) add(std::string(kTypes[f.ref].name) + "_" + f.name, "element");
        }
    }
    return out;
}

TEST_F(Schema, ExportsAreExactlyWhatTheNamingRulesGive) {
    const auto expected = expected_names();
    const auto exported = exported_names();
    for (const auto &n : expected) EXPECT_TRUE(exported.count(n)) << "missing " << n;
    for (const auto &n : exported) EXPECT_TRUE(expected.count(n)) << "not expected " << n;
}

} // namespace
