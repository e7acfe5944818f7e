// Strict XML reading and well-formed XML writing: the documents of tests/golden/structs/xml_refusals.cases
// refused (where, why, and that nothing changed) with what the lenient reading makes of each; every type in every variant written
// and read back equal, also holding enumeration numbers their types do not name.
#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "c_notation.h"
#include "struct_support.h"

namespace {

using namespace test::structs;
using qel_standin::Tracking;

const qel_type_info *record_of(uint32_t t) {
    return static_cast<const qel_type_info *>(dlsym(RTLD_DEFAULT, ("_" + walk::name(t) + "_type_info_internal").c_str()));
}

// A document of the runtime's, freed at the end.
struct Doc {
    void *doc = nullptr;
    Doc(H h, const std::string &text) {
        EXPECT_EQ(drov_def_runtime_xml_parse(h, text.data(), text.size(), &doc), 0u)
            << drov_def_runtime_last_failure(h)->reason << "\n" << text.substr(0, 200);
    }
    ~Doc() { drov_def_runtime_xml_free(doc); }
};

// drov_def_write_xml's text of inst, its buffer grown until it fits.
std::string write_xml(H h, uint32_t t, const void *inst, uint32_t *err) {
    for (uint32_t size = 256;; size *= 4) {
        std::vector<char> buf(size);
        const uint32_t n = drov_def_write_xml(h, 1, record_of(t), nullptr, buf.data(), inst, size, 0, err);
        if (*err != QEL_ENOSPC) {
            EXPECT_EQ(n, std::strlen(buf.data()));
            return std::string(buf.data(), n);
        }
        *err = 0;
    }
}

// The value slot of enumeration field `field` of an instance of type t (the enumeration instance's
// last 4 bytes), where a decoding stores a newer peer's number.
uint32_t *enum_slot(const void *inst, const char *type, const char *field) {
    const walk::TypeDesc &d = walk::type(walk::index_of(type));
    for (uint32_t k = 0; k < d.field_count; ++k)
        if (std::strcmp(d.fields[k].name, field) == 0)
            return reinterpret_cast<uint32_t *>(const_cast<uint8_t *>(walk::bytes(inst)) + d.fields[k].offset + 12);
    throw std::invalid_argument(field);
}

std::string place(const drov_def_failure_t *f) {
    return std::to_string(f->line) + ":" + std::to_string(f->column) + " '" + f->path + "'";
}

// ---- Refusals ---------------------------------------------------------------------------------

std::string rsp(const std::string &fields) { return "<vm_act_rsp>" + fields + "</vm_act_rsp>"; }

// The lines of xml_refusals.cases (the file says what the columns mean).
struct Refusal {
    std::string line, type, xml, at, reason, lenient_at, path;
    uint32_t code, lenient;
    int domain;
};
std::vector<Refusal> refusals() {
    std::ifstream in(DROV_DEF_GOLDEN_DIR "/xml_refusals.cases");
    std::vector<Refusal> out;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> c;
        for (size_t from = 0, bar = 0; bar != std::string::npos; from = bar + 3)
            c.push_back(line.substr(from, (bar = line.find(" | ", from)) - from));
        // C notation, and {TEXT*N} for TEXT N times.
        const std::string escaped = test::unescape(c.at(1));
        std::string xml;
        for (size_t i = 0, close = 0; i < escaped.size(); ++i) {
            if (escaped[i] == '{' && (close = escaped.find('}', i)) != std::string::npos) {
                const size_t star = escaped.rfind('*', close);
                for (int n = std::stoi(escaped.substr(star + 1)); n > 0; --n)
                    xml += escaped.substr(i + 1, star - i - 1);
                i = close;
            } else {
                xml += escaped[i];
            }
        }
        out.push_back({line, c[0], xml, c.at(3), c.at(4), c.at(6), c.at(8) == "-" ? "/" + c[0] : c[8],
                       static_cast<uint32_t>(std::stoul(c[2])), static_cast<uint32_t>(std::stoul(c.at(5))),
                       c.at(7) == "-" ? -1 : std::stoi(c[7])});
    }
    EXPECT_GE(out.size(), 40u);
    return out;
}

class Refused : public Owning {};

// Each refusal: its number in the error word and the handle, where and why in the handle's last
// failure, and an instance exactly as it was; the lenient reading takes what from_xml takes.
TEST_F(Refused, WhereAndWhyAndNothingChanged) {
    for (const Refusal &row : refusals()) {
        SCOPED_TRACE(row.line.substr(0, 200));
        const uint32_t t = walk::index_of(row.type);
        if (row.domain >= 0) qel_standin::set_domain_variant(h, row.type, static_cast<int8_t>(row.domain));
        Doc doc(h, row.xml);
        // a filled instance, and a copy of it
        void *inst = walk::create(h, t);
        walk::Filler fill{h, std::mt19937(7)};
        fill.fill(t, inst);
        ASSERT_EQ(fill.err, 0u);
        std::vector<uint8_t> scratch(walk::ops(t).len(h, 1, inst) + 1);
        void *before = nullptr;
        walk::ops(t).clone(h, 1, inst, &before, scratch.data(), static_cast<uint32_t>(scratch.size()), &err);
        ASSERT_EQ(err, 0u);

        drov_def_read_xml(h, 1, record_of(t), row.path.c_str(), doc.doc, inst, 0, &err);
        EXPECT_EQ(err, row.code);
        const drov_def_failure_t *f = drov_def_runtime_last_failure(h);
        EXPECT_EQ(f->code, row.code);
        EXPECT_STREQ(f->operation, "read_xml");
        EXPECT_EQ(f->type, row.type);
        EXPECT_EQ(place(f), row.at);
        EXPECT_NE(std::string(f->reason).find(row.reason), std::string::npos) << f->reason;
        EXPECT_EQ(walk::ops(t).compare(inst, before), 0) << walk::diff(t, inst, before);
        err = 0;

        drov_def_read_xml(h, 1, record_of(t), row.path.c_str(), doc.doc, inst, DROV_DEF_XML_LENIENT, &err);
        EXPECT_EQ(err, row.lenient) << drov_def_runtime_last_failure(h)->reason;
        EXPECT_EQ(drov_def_runtime_last_error(h), row.lenient);
        if (row.lenient != 0) {
            EXPECT_EQ(place(drov_def_runtime_last_failure(h)), row.lenient_at);
            EXPECT_STREQ(drov_def_runtime_last_failure(h)->operation, "read_xml");
        }
        err = 0;
        walk::destroy(h, t, before);
        walk::destroy(h, t, inst);
        drov_def_runtime_set_variant(h, row.type.c_str(), DROV_DEF_VARIANT_HIGHEST);
    }
}

// What the operations refuse before reading or writing anything.
TEST_F(Refused, ArgumentsTheyCannotUse) {
    const uint32_t t = walk::index_of("vm_act_rsp");
    const std::string text = rsp("");
    Doc doc(h, text);
    void *inst = walk::create(h, t);
    char buf[64];
    struct Row {
        const qel_type_info *type;
        const char *path;
        void *doc;
        void *inst;
        char *buf;
        const char *reason;
    };
    const Row rows[] = {
        {nullptr, "/vm_act_rsp", doc.doc, inst, buf, "the record is no structure type of the module"},
        {record_of(walk::index_of("vm_rsp_rc")), "/vm_act_rsp", doc.doc, inst, buf, "the record is no structure type of the module"},
        {record_of(t), nullptr, doc.doc, inst, buf, "no path"},
        {record_of(t), "/vm_act_rsp", nullptr, inst, buf, "no document"},
        {record_of(t), "/vm_act_rsp", doc.doc, nullptr, buf, "no instance"},
    };
    for (const Row &r : rows) {
        drov_def_read_xml(h, 1, r.type, r.path, r.doc, r.inst, 0, &err);
        EXPECT_EQ(err, 22u) << r.reason;
        EXPECT_STREQ(drov_def_runtime_last_failure(h)->reason, r.reason);
        err = 0;
        if (r.path == nullptr || r.doc == nullptr) continue;
        EXPECT_EQ(drov_def_write_xml(h, 1, r.type, nullptr, r.buf, r.inst, sizeof buf, 0, &err), 0u);
        EXPECT_EQ(err, 22u) << r.reason;
        EXPECT_STREQ(drov_def_runtime_last_failure(h)->operation, "write_xml");
        err = 0;
    }
    EXPECT_EQ(drov_def_write_xml(h, 1, record_of(t), nullptr, nullptr, inst, sizeof buf, 0, &err), 0u);
    EXPECT_EQ(err, 22u);
    EXPECT_STREQ(drov_def_runtime_last_failure(h)->reason, "no buffer");
    // A pending error: nothing done, nothing recorded.
    drov_def_read_xml(h, 1, nullptr, nullptr, nullptr, nullptr, 0, &err);
    EXPECT_EQ(drov_def_write_xml(h, 1, nullptr, nullptr, nullptr, nullptr, 0, 0, &err), 0u);
    EXPECT_EQ(err, 22u);
    err = 90;
    drov_def_read_xml(h, 1, record_of(t), "/vm_act_rsp", doc.doc, inst, 0, &err);
    EXPECT_EQ(err, 90u);
    err = 0;
    drov_def_read_xml(nullptr, 1, record_of(t), "/vm_act_rsp", doc.doc, inst, 0, &err);
    EXPECT_EQ(err, 22u);
    err = 0;
    walk::destroy(h, t, inst);
}

// ---- Writing ------------------------------------------------------------------------------------

class Written : public Owning {};

// Numbers the type does not name, in nested records and list elements too, each where to_xml put
// its text (tests/golden/structs/unnamed_numbers.xml); a text cut short stays what to_xml gave.
TEST_F(Written, UnnamedNumbersInPlace) {
    vm_act_rsp_t *a = make(&vm_act_rsp_create, &vm_act_rsp_destroy);
    vm_act_rsp_vm_uid_set_value(h, 1, a, 5, &err);
    vm_nic_rsp_t *nics = vm_act_rsp_vm_if_rsp_get(h, 1, a, &err);
    for (uint32_t state : {1u, 2u, 4294967295u}) {
        vm_nic_list_t *e = vm_nic_list_create(h, 1);
        vm_nic_info_t *info = vm_nic_list_vm_nic_info_get(h, 1, e, &err);
        *enum_slot(info, "vm_nic_info", "vm_if_state") = state; // as a decoding of a newer peer's message stores it
        vm_nic_rsp_vm_if_info_set_last(h, 1, nics, e, &err);
    }
    *enum_slot(a, "vm_act_rsp", "rc") = 3;
    *enum_slot(a, "vm_act_rsp", "sp_type") = 1000000;
    ASSERT_EQ(err, 0u);
    const std::string text = write_xml(h, walk::index_of("vm_act_rsp"), a, &err);
    EXPECT_EQ(err, 0u);
    std::ifstream golden(DROV_DEF_GOLDEN_DIR "/unnamed_numbers.xml");
    std::string expected;
    std::getline(golden, expected);
    EXPECT_EQ(text, expected);

    // Cut: what to_xml wrote into the same buffer, and its error.
    for (uint32_t size : {40u, 120u, static_cast<uint32_t>(expected.size())}) {
        std::vector<char> mine(size, 'x'), theirs(size, 'x');
        const uint32_t n = drov_def_write_xml(h, 1, record_of(walk::index_of("vm_act_rsp")), "r", mine.data(), a, size, 0, &err);
        EXPECT_EQ(err, 28u);
        EXPECT_EQ(drov_def_runtime_last_failure(h)->code, 28u);
        err = 0;
        EXPECT_EQ(n, vm_act_rsp_to_xml(h, 1, "r", theirs.data(), a, size, 0, &err));
        EXPECT_EQ(err, 28u);
        err = 0;
        EXPECT_EQ(mine, theirs);
    }
}

// ---- Reading back what was written --------------------------------------------------------------

// Reads text strictly and leniently into fresh instances of type t, which must equal inst.
void reads_back_equal(H h, uint32_t t, const void *inst, const std::string &text) {
    SCOPED_TRACE(text.substr(0, 300));
    Doc doc(h, text);
    ASSERT_NE(doc.doc, nullptr);
    const std::string path = "/" + walk::name(t);
    for (uint32_t flags : {0u, static_cast<uint32_t>(DROV_DEF_XML_LENIENT)}) {
        uint32_t err = 0;
        void *back = walk::create(h, t);
        drov_def_read_xml(h, 1, record_of(t), path.c_str(), doc.doc, back, flags, &err);
        EXPECT_EQ(err, 0u) << flags << ": " << place(drov_def_runtime_last_failure(h)) << " "
                           << drov_def_runtime_last_failure(h)->reason;
        EXPECT_EQ(drov_def_runtime_last_error(h), 0u);
        EXPECT_EQ(walk::ops(t).compare(back, inst), 0) << flags << ": " << walk::diff(t, back, inst);
        walk::destroy(h, t, back);
    }
}

// Every enumeration of the instance, its nested records and list elements set to a number its type
// does not name, of the kinds a newer peer sends (the next one, a large one, all ones), or 0 where
// the type's numbers start at 1.
void unnamed_numbers(uint32_t t, void *inst, uint32_t seed) {
    uint32_t next = seed;
    walk::each_instance(t, inst, [&](uint32_t u, const void *i, bool) {
        for (uint32_t k = 0; k < kTypes[u].field_count; ++k) {
            const FieldDesc &f = kTypes[u].fields[k];
            if (f.kind != FieldKind::Enum) continue;
            const auto &e = kTypes[f.ref];
            const uint32_t choices[] = {e.first_value + e.value_count, 0x730000, 4294967295u, e.first_value == 0 ? 77u : 0u};
            const uint32_t v = choices[next++ % 4];
            std::memcpy(const_cast<uint8_t *>(walk::bytes(i)) + f.offset + 12, &v, sizeof v);
        }
    });
}

bool holds_enum(uint32_t t) {
    for (uint32_t k = 0; k < kTypes[t].field_count; ++k) {
        const FieldDesc &f = kTypes[t].fields[k];
        if (f.kind == FieldKind::Enum) return true;
        if ((f.kind == FieldKind::Record || f.kind == FieldKind::List) && holds_enum(static_cast<uint32_t>(f.ref)))
            return true;
    }
    return false;
}

struct Setting {
    Tracking tracking;
    bool observed; // calls recorded (no feature word): from_xml reads by paths
};

class RoundTrip : public ::testing::TestWithParam<Setting> {
protected:
    // A handle of the setting whose domain gives type t variant v.
    H handle(uint32_t t, int8_t v) {
        H h = qel_standin::handle_new();
        if (GetParam().observed) qel_standin::observe(h);
        qel_standin::set_tracking(h, GetParam().tracking);
        qel_standin::set_domain_variant(h, walk::name(t), v);
        return h;
    }
    static void done(H h) {
        EXPECT_EQ(drov_def_runtime_live_blocks(h), 0u);
        qel_standin::handle_delete(h);
    }
};

// Every structure type in every variant, filled through its setters: the text is a document, and
// reads back equal strictly and leniently.
TEST_P(RoundTrip, EveryTypeEveryVariant) {
    for (uint32_t t = 0; t < walk::kStructs; ++t)
        for (int8_t v = 0; v <= kTypes[t].highest(); ++v)
            for (uint32_t seed = 0; seed < 3; ++seed) {
                SCOPED_TRACE(walk::name(t) + " variant " + std::to_string(v) + " seed " + std::to_string(seed));
                H h = handle(t, v);
                walk::Filler fill{h, std::mt19937(seed)};
                fill.with_nuls = false; // (XML cannot carry them)
                void *inst = walk::create(h, t);
                fill.fill(t, inst);
                ASSERT_EQ(fill.err, 0u);
                uint32_t err = 0;
                const std::string text = write_xml(h, t, inst, &err);
                ASSERT_EQ(err, 0u);
                reads_back_equal(h, t, inst, text);
                walk::destroy(h, t, inst);
                done(h);
            }
}

// Instances holding numbers their enumerations do not name, as decoded from a newer peer's message
// and as set in memory (0 for the type numbered from 1, which no decoding stores): the text has no
// "value out of range", and reads back equal.
TEST_P(RoundTrip, UnnamedEnumerationNumbers) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        if (!holds_enum(t)) continue;
        for (uint32_t seed = 0; seed < 4; ++seed) {
            SCOPED_TRACE(walk::name(t) + " seed " + std::to_string(seed));
            H h = handle(t, kTypes[t].highest());
            const walk::Ops &o = walk::ops(t);
            walk::Filler fill{h, std::mt19937(seed)};
            fill.with_nuls = false;
            void *set = walk::create(h, t);
            fill.fill(t, set);
            unnamed_numbers(t, set, seed);
            uint32_t err = 0;
            std::vector<uint8_t> bytes(o.len(h, 1, set) + 1);
            const uint32_t n = o.marshal(h, 1, bytes.data(), set, static_cast<int32_t>(bytes.size()), &err);
            void *decoded = walk::create(h, t);
            o.unmarshal(h, 1, bytes.data(), decoded, static_cast<int32_t>(n), 0, &err);
            ASSERT_EQ(err, 0u);
            for (void *inst : {set, decoded}) {
                const std::string text = write_xml(h, t, inst, &err);
                ASSERT_EQ(err, 0u);
                EXPECT_EQ(text.find("out of range"), std::string::npos);
                reads_back_equal(h, t, inst, text);
            }
            walk::destroy(h, t, decoded);
            walk::destroy(h, t, set);
            done(h);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, RoundTrip,
                         ::testing::Values(Setting{Tracking::Off, false}, Setting{Tracking::On, false},
                                           Setting{Tracking::Off, true}, Setting{Tracking::On, true}),
                         [](const auto &p) {
                             return std::string(p.param.tracking == Tracking::On ? "Tracking" : "Untracked") +
                                    (p.param.observed ? "Observed" : "Quiet");
                         });

class Numbers : public Owning {};

// A newer peer's reply, decoded (its validation result 0x730000 is no value of its type), written and
// read back; the number is announced as a decoding announces it.
TEST_F(Numbers, ANewerPeersReplyReadsBack) {
    const uint8_t wire[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x73, 0, 0};
    vm_id_valid_reply_t *r = make(&vm_id_valid_reply_create, &vm_id_valid_reply_destroy);
    vm_id_valid_reply_unmarshal(h, 1, wire, r, sizeof wire, 0, &err);
    ASSERT_EQ(err, 0u);
    const uint32_t t = walk::index_of("vm_id_valid_reply");
    const std::string text = write_xml(h, t, r, &err);
    EXPECT_NE(text.find("<validation_result><vm_id_validation_type value=\"7536640\"/></validation_result>"), std::string::npos)
        << text;
    Doc doc(h, text);
    vm_id_valid_reply_t *back = make(&vm_id_valid_reply_create, &vm_id_valid_reply_destroy);
    st().writes.clear();
    drov_def_read_xml(h, 1, record_of(t), "/vm_id_valid_reply", doc.doc, back, 0, &err);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_id_valid_reply_compare(back, r), 0);
    const uint32_t *slot = enum_slot(back, "vm_id_valid_reply", "validation_result");
    EXPECT_EQ(*slot, 7536640u);
    bool announced = false;
    for (const auto &w : st().writes)
        announced |= w.addr == slot && w.len == 4 && w.owner == reinterpret_cast<const uint8_t *>(slot) - 12;
    EXPECT_TRUE(announced);
}

// The numeric form where the lenient reading meets it: only where no value name stands beside it,
// each list element's own.
TEST_F(Numbers, LenientReadingTakesTheNumberWhereNoNameIs) {
    const uint32_t t = walk::index_of("vm_act_rsp");
    const std::string text = rsp("<rc><vm_rsp_rc value='9'/><VM_RSP_RC_FAIL/></rc><vm_clnt><vm_rsp_client value='7'/></vm_clnt>"
                                 "<vm_if_rsp><vm_if_info/><vm_if_info><vm_nic_info><vm_if_state><vm_if_state value='5'/>"
                                 "</vm_if_state></vm_nic_info></vm_if_info></vm_if_rsp>");
    Doc doc(h, text);
    vm_act_rsp_t *a = make(&vm_act_rsp_create, &vm_act_rsp_destroy);
    vm_nic_list_t *held = vm_nic_list_create(h, 1); // the list already holds one
    vm_nic_rsp_vm_if_info_set_last(h, 1, vm_act_rsp_vm_if_rsp_get(h, 1, a, &err), held, &err);
    drov_def_read_xml(h, 1, record_of(t), "/vm_act_rsp", doc.doc, a, DROV_DEF_XML_LENIENT, &err);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_act_rsp_rc_get_value(h, 1, a, &err), 1u);
    EXPECT_EQ(*enum_slot(a, "vm_act_rsp", "vm_clnt"), 7u);
    uint32_t states[3] = {};
    uint32_t k = 0;
    vm_nic_rsp_t *nics = vm_act_rsp_vm_if_rsp_get(h, 1, a, &err);
    for (vm_nic_list_t *e = vm_nic_rsp_vm_if_info_get_first(h, 1, nics, &err); e != nullptr && k < 3;
         e = vm_nic_rsp_vm_if_info_get_next(h, 1, nics, e, &err))
        states[k++] = *enum_slot(vm_nic_list_vm_nic_info_get(h, 1, e, &err), "vm_nic_info", "vm_if_state");
    EXPECT_EQ(k, 3u);
    EXPECT_EQ(states[0], 0u);
    EXPECT_EQ(states[1], 0u);
    EXPECT_EQ(states[2], 5u);
}

} // namespace
