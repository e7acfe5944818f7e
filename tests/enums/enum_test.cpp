// The enumeration operations.  One property over the 11 enumerations, their values read from
// tests/golden/enums/values: every value sets, prints, writes XML and encodes under its name and
// wire number, and comes back, and the C++ layer names it alike; values out of range are refused by
// the setter, shown as such, and keep their number.  The rest on vm_sp_type (one template serves
// all enumerations), mostly as tables of calls and creations: the error word, announcements,
// runtime calls, traces, the epoch rule, variants, the handle-word forms, containment and fatal
// records.
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "drov_def/drov_def.hpp"
#include "schema_gen.h"
#include "support.h"
#include "xml_doc.h"

namespace {

using I = drov_def_enum_instance;
struct EnumApi {
    const char *name;
    I *(*create)(qel_handle_t *, uint32_t);
    void (*destroy)(qel_handle_t *, uint32_t, I *);
    void (*set_value)(qel_handle_t *, uint32_t, I *, uint32_t, uint32_t *);
    uint32_t (*get_value)(qel_handle_t *, uint32_t, const I *, uint32_t *);
    int32_t (*is_valid)(qel_handle_t *, int32_t);
    uint32_t (*to_internal)(uint32_t), (*to_user)(uint32_t);
    uint32_t (*marshal)(qel_handle_t *, uint32_t, uint8_t *, const I *, int32_t, uint32_t *);
    uint32_t (*unmarshal)(qel_handle_t *, uint32_t, const uint8_t *, I *, int32_t, uint32_t, uint32_t *);
    int32_t (*to_xml)(qel_handle_t *, uint32_t, const char *, char *, const I *, int32_t, uint32_t, uint32_t *);
    void (*from_xml)(qel_handle_t *, uint32_t, const char *, void *, I *, uint32_t *, char *, uint32_t);
    int32_t (*print)(qel_handle_t *, uint32_t, char *, int32_t, const char *, const I *, int32_t, uint32_t *);
    int32_t (*compare)(const I *, const I *);
    uint32_t (*hash)(const I *, uint32_t);
    uint32_t (*size)(), (*len)();
};
#define DROV_TEST_ENUM_API(index, pos, n)                                                          \
    EnumApi{#n, n##_create, n##_destroy, n##_set_value, n##_get_value, n##_is_valid_cr,             \
            n##_map_to_internal_value, n##_map_to_user_value, n##_marshal, n##_unmarshal,           \
            n##_to_xml, n##_from_xml, n##_print, n##_compare, n##_hash, n##_sizeof, n##_len},
const EnumApi kEnums[] = {DROV_DEF_ALL_ENUMS(DROV_TEST_ENUM_API)};

struct Value {
    std::string name;
    uint32_t number, wire;
};
// enumeration name -> its values, in file order
std::vector<std::pair<std::string, std::vector<Value>>> golden_values() {
    std::ifstream in(DROV_TEST_GOLDEN_DIR "/enums/values");
    std::vector<std::pair<std::string, std::vector<Value>>> out;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        Value v;
        if (line.empty() || line[0] == '#') continue;
        if (line[0] != ' ') out.push_back({line, {}});
        else if (words >> v.name >> v.number >> v.wire) out.back().second.push_back(v);
    }
    return out;
}

class EnumProperty : public test::HandleTest {
protected:
    std::string text(int32_t len) { return std::string(buf, static_cast<size_t>(len)); }
    std::string wire(uint32_t n) {
        const uint8_t w[5] = {0, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        return std::string(reinterpret_cast<const char *>(w), 5);
    }
    char buf[160];
    uint8_t bytes[5];
};

TEST_F(EnumProperty, EveryValueOfEveryEnumeration) {
    const auto golden = golden_values();
    ASSERT_EQ(golden.size(), std::size(kEnums));
    for (size_t e = 0; e < golden.size(); ++e) {
        const EnumApi &api = kEnums[e];
        const auto &[name, values] = golden[e];
        SCOPED_TRACE(name);
        ASSERT_EQ(name, api.name) << "type-table order";
        const uint32_t first = values.front().number, n = static_cast<uint32_t>(values.size()), last = first + n - 1;
        I *a = api.create(h, 1), *b = api.create(h, 1);
        EXPECT_EQ(api.size(), 16u);
        EXPECT_EQ(api.len(), 5u);
        for (const Value &v : values) {
            SCOPED_TRACE(v.name);
            api.set_value(h, 1, a, v.number, &err);
            EXPECT_EQ(api.get_value(h, 1, a, &err), v.number);
            EXPECT_EQ(api.is_valid(h, static_cast<int32_t>(v.number)), 1);
            EXPECT_EQ(api.to_internal(v.number), v.wire);
            EXPECT_EQ(api.to_user(v.wire), v.wire) << "gives its argument back";
            ASSERT_EQ(api.marshal(h, 1, bytes, a, 5, &err), 5u);
            EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), 5), wire(v.wire)) << "variant byte, then the wire number";
            b->value = v.number + 1;
            EXPECT_EQ(api.unmarshal(h, 1, bytes, b, 5, 0, &err), 5u);
            EXPECT_EQ(b->value, v.number);
            EXPECT_EQ(api.compare(a, b), 0);
            EXPECT_EQ(api.hash(a, 7), api.hash(b, 7));
            EXPECT_EQ(text(api.print(h, 1, buf, 1, "f", a, sizeof buf, &err)), " f@" + name + ":" + v.name + "\n");
            EXPECT_EQ(text(api.to_xml(h, 1, "v", buf, a, sizeof buf, 0, &err)), "<v><" + v.name + "/></v>");
            test::XmlDoc doc("<r>" + std::string(buf) + "</r>");
            b->value = last + 1;
            api.from_xml(h, 1, "/r/v", doc.doc, b, &err, nullptr, 0);
            EXPECT_EQ(b->value, v.number);
            EXPECT_EQ(err, 0u);
        }
        // Out of range: the setter judges the wire number (so one below the first value passes),
        // is_valid the value as signed; the number travels as it is.
        std::vector<uint32_t> outside = {last + 1, 1000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
        if (first > 0) outside.push_back(first - 1);
        for (uint32_t v : outside) {
            SCOPED_TRACE(v);
            a->value = first;
            api.set_value(h, 1, a, v, &err);
            EXPECT_EQ(std::exchange(err, 0), v > last ? 43u : 0u);
            EXPECT_EQ(a->value, v > last ? first : v);
            EXPECT_EQ(api.is_valid(h, static_cast<int32_t>(v)), static_cast<int32_t>(v) <= static_cast<int32_t>(last));
            a->value = v;
            EXPECT_EQ(text(api.print(h, 1, buf, 1, "f", a, sizeof buf, &err)), " f@" + name + ":Enum value out of range");
            EXPECT_EQ(text(api.to_xml(h, 1, "v", buf, a, sizeof buf, 0, &err)), "<v><" + name + " value out of range/></v>");
            ASSERT_EQ(api.marshal(h, 1, bytes, a, 5, &err), 5u);
            EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), 5), wire(v));
            EXPECT_EQ(api.to_internal(v), v);
        }
        // wire numbers below the count are the values; others stand for themselves
        for (uint32_t w : {0u, n - 1, n, n + 1, 0xFFFFFFFFu}) {
            const std::string in = wire(w);
            api.unmarshal(h, 1, reinterpret_cast<const uint8_t *>(in.data()), b, 5, 0, &err);
            EXPECT_EQ(b->value, w < n ? w + first : w) << "wire " << w;
        }
        EXPECT_EQ(err, 0u);
        api.destroy(h, 1, a);
        api.destroy(h, 1, b);
    }
}

// The C++ layer names the values alike, and no others.
TEST(EnumNames, TheCxxLayerNamesEveryValueAlike) {
    const auto golden = golden_values();
    size_t e = 0;
    drov::meta::for_each_enum([&](auto type) {
        using E = typename decltype(type)::type;
        const auto &[name, values] = golden.at(e++);
        ASSERT_EQ(drov::EnumInfo<E>::type_name, name);
        for (const Value &v : values) {
            EXPECT_EQ(drov::to_string(static_cast<E>(v.number)), v.name);
            EXPECT_EQ(drov::from_string<E>(v.name), static_cast<E>(v.number));
        }
        for (uint32_t outside : {values.front().number - 1, values.back().number + 1})
            EXPECT_EQ(drov::to_string(static_cast<E>(outside)), "") << outside;
        EXPECT_EQ(drov::from_string<E>("VM_NONE"), std::nullopt);
    });
    EXPECT_EQ(e, golden.size());
}


using qel_standin::calls_named;
constexpr uint32_t kError = 0x3000000;

// Instances from make() are destroyed at tear-down, before the leak check.
class Enum : public test::HandleTest {
protected:
    void TearDown() override {
        for (auto *e : owned) vm_sp_type_destroy(h, 1, e);
        HandleTest::TearDown();
    }
    vm_sp_type_t *make(uint32_t value) {
        vm_sp_type_t *e = vm_sp_type_create(h, 1);
        e->value = value;
        owned.push_back(e);
        return e;
    }
    uint32_t took() { return std::exchange(err, 0); } // the error word, cleared
    // The stores announced since the last call, as OFFSET+LENGTH from base,
    // each for base in context ctx; "-" for none.
    std::string notes(const void *base, uint32_t ctx) {
        std::string out;
        for (const auto &w : st().writes) {
            EXPECT_TRUE(w.ctx == ctx && w.owner == base) << w.addr;
            out += (out.empty() ? "" : ",") + std::to_string(static_cast<const char *>(w.addr) -
                                                             static_cast<const char *>(base));
            out += "+" + std::to_string(w.len);
        }
        st().writes.clear();
        return out.empty() ? "-" : out;
    }
    const qel_variant_entry_t &entry() { return _vm_sp_type_type_info_internal.variant_info->entries[0]; }
    std::vector<vm_sp_type_t *> owned;
};

// The bytes before the first '#', NUL as \0, other unprintables as \xNN.
std::string left(const char *buf, size_t size) {
    std::string out;
    for (size_t i = 0; i < size && buf[i] != '#'; ++i) {
        const auto c = static_cast<unsigned char>(buf[i]);
        char esc[8];
        std::snprintf(esc, sizeof esc, c == 0 ? "\\0" : c == '\n' ? "\\n" : "\\x%02X", c);
        out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : esc;
    }
    return out.empty() ? "-" : out;
}

// One call per row of tests/golden/enums/calls, on a fresh instance of value
// 2 in context 7 (its columns are explained there).
TEST_F(Enum, EveryCallAsTheTableHasIt) {
    std::ifstream in(DROV_TEST_GOLDEN_DIR "/enums/calls");
    test::XmlDoc doc("<r><s><VM_SP_DROV/></s><up><VM_SP_QUB/></up><both><VM_SP_QUB/><VM_SP_DROV/></both>"
                     "<none><OTHER/></none></r>");
    const uint8_t wire[5] = {0, 0, 0, 0, 4};
    char buf[48];
    h->cur_ctx_id = 7;
    int rows = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        SCOPED_TRACE(line);
        std::istringstream row(line);
        std::string op, inst, arg, arrow, want_notes, want_calls, want_left;
        int pending = 0, domain = 0;
        int64_t want_return = 0;
        uint32_t want_error = 0, want_last = 0, want_value = 0;
        row >> op >> inst >> arg >> pending >> domain >> arrow >> want_return >> want_error >> want_last >>
            want_value >> want_notes >> want_calls >> std::ws;
        std::getline(row, want_left);
        ASSERT_EQ(arrow, "=>");
        const bool path = op == "from_xml";
        const auto n = static_cast<uint32_t>(arg == "null" || path ? 0 : std::stoul(arg, nullptr, 0));
        vm_sp_type_t *e = make(2), *src = arg == "null" ? nullptr : make(n);
        vm_sp_type_t *x = inst == "null" ? nullptr : e;
        if (x != nullptr) e->instance_variant = static_cast<int8_t>(std::stoi(inst));
        qel_standin::set_domain_variant(h, "vm_sp_type", static_cast<int8_t>(domain));
        const bool cr = op.ends_with("_cr");
        uint32_t &word = cr ? h->err : err;
        word = static_cast<uint32_t>(pending);
        st().last_error = 77;
        st().calls.clear();
        st().writes.clear();
        qel_standin::traces().clear();
        std::memset(buf, '#', sizeof buf);
        const auto room = static_cast<int32_t>(n);
        int64_t got = 0;
        if (op == "get_value")
            got = vm_sp_type_get_value(h, 7, x, &err);
        else if (op == "set")
            vm_sp_type_set(h, 7, x, src, &err);
        else if (op == "set_value")
            vm_sp_type_set_value(h, 7, x, n, &err);
        else if (op == "marshal")
            got = vm_sp_type_marshal(h, 7, reinterpret_cast<uint8_t *>(buf), x, room, &err);
        else if (op == "unmarshal")
            got = vm_sp_type_unmarshal(h, 7, wire, x, room, 3, &err);
        else if (op == "print")
            got = vm_sp_type_print(h, 7, buf, 0, "l", x, room, &err);
        else if (op == "to_xml")
            got = vm_sp_type_to_xml(h, 7, "t", buf, x, room, 0, &err);
        else if (op == "from_xml")
            vm_sp_type_from_xml(h, 7, arg == "null" ? nullptr : arg.c_str(), doc.doc, x, &err, buf, sizeof buf);
        else if (op == "print_cr")
            got = vm_sp_type_print_cr(h, x, buf, room);
        else if (op == "toxml_cr")
            got = vm_sp_type_toxml_cr(h, x, buf, room);
        else if (op == "adjust_variant")
            got = vm_sp_type_adjust_variant(h, 7, x, &err);
        else
            FAIL() << "no operation " << op;
        std::string calls_made;
        for (const auto &c : st().calls) calls_made += (calls_made.empty() ? "" : ",") + std::string(c.name);
        EXPECT_EQ(got, want_return);
        EXPECT_EQ(std::exchange(word, 0), want_error);
        EXPECT_EQ(e->value, want_value);
        EXPECT_EQ(notes(e, 7), want_notes);
        EXPECT_EQ(calls_made.empty() ? "-" : calls_made, want_calls);
        EXPECT_EQ(left(buf, sizeof buf), want_left);
        EXPECT_EQ(st().last_error, want_last);
        EXPECT_TRUE(qel_standin::traces().empty());
        for (const auto &c : calls_named(h, "qel_store_epoch_err"))
            EXPECT_TRUE(c.arg == 43 && c.words[0] == reinterpret_cast<uintptr_t>(&word));
        for (const auto &c : calls_named(h, "qel_domain_lookup_variant"))
            EXPECT_TRUE(c.obj == e->type_info && c.owner == h->variant_domain);
        for (const auto &c : calls_named(h, "u_int32_unmarshal")) // after the variant byte, update flag 3
            EXPECT_TRUE(c.owner == wire + 1 && c.ctx == 7u && c.arg == 3);
        for (const auto &c : calls_named(h, "qellib_adjust_variant"))
            EXPECT_TRUE(c.obj == x && c.ctx == 7u && c.owner == (x != nullptr ? x->type_info : nullptr));
        ++rows;
    }
    EXPECT_GT(rows, 40);
}

// The names of the calls made, those of registering the record copies
// with the handle (the frame tests' subject) aside.
std::string call_names(const std::vector<qel_standin::Call> &calls) {
    std::string out;
    for (const auto &c : calls)
        if (!c.name.starts_with("registry_") && c.name != "module_alloc" && c.name != "qel_update_variant_info")
            out += (out.empty() ? "" : ",") + std::string(c.name);
    return out.empty() ? "-" : out;
}

// One creation per row of tests/golden/enums/creations, and the destruction
// of what it gave (columns explained there).
TEST_F(Enum, EveryCreationAsTheTableHasIt) {
    std::ifstream in(DROV_TEST_GOLDEN_DIR "/enums/creations");
    vm_sp_type_t *placeholder = nullptr;
    int rows = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        SCOPED_TRACE(line);
        std::istringstream row(line);
        std::string op, ctx_text, arrow, gives, want_variant, want_counts, want_create, want_destroy;
        uint32_t recording = 0, mode = 0, pending = 0, fail = 0, want_err = 0, want_last = 0;
        int domain = 0;
        row >> op >> ctx_text >> recording >> mode >> pending >> fail >> domain >> arrow >> gives >> want_err >>
            want_last >> want_variant >> want_counts >> want_create >> want_destroy;
        ASSERT_EQ(arrow, "=>");
        const uint32_t ctx = ctx_text == "none" ? QEL_CTX_NONE : static_cast<uint32_t>(std::stoul(ctx_text));
        h->containment_recording = recording;
        h->type_info_mode = mode;
        h->cur_ctx_id = ctx;
        h->err = pending;
        qel_standin::set_domain_variant(h, "vm_sp_type", static_cast<int8_t>(domain));
        st().fail_alloc_at = fail != 0 ? st().alloc_calls + 1 : 0;
        st().last_error = 0;
        st().calls.clear();
        st().writes.clear();
        st().counters.clear();
        const uint64_t creates = entry().creates, destroys = entry().destroys;
        const size_t traces = qel_standin::traces().size();
        vm_sp_type_t *e = op == "create_cr" ? vm_sp_type_create_cr(h) : vm_sp_type_create(h, ctx);
        EXPECT_EQ(qel_standin::traces().size(), traces); // no row's creation traces
        EXPECT_EQ(h->cr_in_progress, 0u);
        EXPECT_EQ(call_names(st().calls), want_create);
        for (const auto &c : st().calls) {
            if (c.name == "qel_domain_lookup_variant") {
                EXPECT_TRUE(c.obj == &_vm_sp_type_type_info_internal && c.owner == h->variant_domain);
            } else if (c.name == "allocate" || c.name.starts_with("qeldb_")) {
                const void *made = c.name == "allocate" && gives != "new" ? nullptr : e;
                EXPECT_TRUE(c.obj == made && c.ctx == ctx && (c.name != "allocate" || c.arg == 16)) << c.name;
            }
        }
        EXPECT_EQ(std::exchange(h->err, 0), want_err);
        EXPECT_EQ(st().last_error, want_last);
        if (gives == "null") {
            EXPECT_EQ(e, nullptr);
        } else if (gives == "placeholder") {
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(e->type_info, nullptr) << "zero-filled";
            EXPECT_TRUE(placeholder == nullptr || e == placeholder) << "one placeholder";
            placeholder = e;
        } else {
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(notes(e, ctx), "9+1,8+1,0+8,10+1");
            EXPECT_EQ(std::to_string(e->instance_variant), want_variant);
            EXPECT_TRUE(e->layout_variant == 0 && e->obj_flags == 0 && e->pad == 0 && e->value == 0);
            EXPECT_EQ(e->type_info, mode != 0 ? st().registry.at({ctx, _vm_sp_type_type_info_internal.digest_str})
                                              : &_vm_sp_type_type_info_internal);
        }
        st().calls.clear();
        if (op == "create_cr")
            vm_sp_type_destroy_cr(h, e);
        else
            vm_sp_type_destroy(h, ctx, e);
        EXPECT_EQ(call_names(st().calls), want_destroy);
        for (const auto &c : st().calls) EXPECT_TRUE(c.obj == e && c.ctx == ctx) << c.name;
        for (const auto &c : calls_named(h, "free")) EXPECT_EQ(c.arg, 16);
        EXPECT_EQ(std::to_string(entry().creates - creates) + "/" + std::to_string(entry().destroys - destroys),
                  want_counts);
        for (const auto &c : st().counters)
            EXPECT_TRUE(c.ctx == ctx && (c.counter == &entry().creates || c.counter == &entry().destroys));
        ++rows;
    }
    EXPECT_GT(rows, 10);
    h->containment_recording = h->type_info_mode = 0;
    // destroy_internal does not release what it may not
    vm_sp_type_t *e = vm_sp_type_create(h, 1);
    vm_sp_type_destroy_internal(h, 1, e, 0);
    EXPECT_EQ(e->type_info, &_vm_sp_type_type_info_internal);
    vm_sp_type_destroy(h, 1, e);
}

// initialize writes the header as creation does, announced when asked, and adds the flags given.
TEST_F(Enum, InitializeWritesTheHeader) {
    qel_standin::set_domain_variant(h, "vm_sp_type", -1);
    vm_sp_type_t in_place{};
    in_place.obj_flags = 0x01;
    in_place.layout_variant = 3;
    EXPECT_EQ(vm_sp_type_initialize(h, 6, &in_place, &_vm_sp_type_type_info_internal, 1, 0, 0x04, 0, &err), 0x04);
    EXPECT_EQ(notes(&in_place, 6), "9+1,8+1,0+8,10+1");
    EXPECT_TRUE(in_place.layout_variant == 0 && in_place.instance_variant == -1 && in_place.obj_flags == 0x05);
    EXPECT_EQ(in_place.type_info, &_vm_sp_type_type_info_internal);
    vm_sp_type_initialize(h, 6, &in_place, &_vm_sp_type_type_info_internal, 0, 0, 0x02, 0, &err);
    EXPECT_EQ(notes(&in_place, 6), "-") << "notify 0 announces nothing";
    EXPECT_EQ(in_place.obj_flags, 0x07);
}

// Each enumeration traces from its own block of trace points.
TEST_F(Enum, TracesUseTheEnumerationsOwnBlock) {
    const uint8_t uuid[16] = {0x39, 0xf5, 0xeb, 0x9b, 0xde, 0x16, 0xce, 0xbd,
                              0x6a, 0xee, 0xd2, 0x45, 0x04, 0xa8, 0x66, 0x6c};
    qel_standin::set_domain_error(h, 2);
    vm_if_state_t *e = vm_if_state_create(h, 1); // vm_if_state: block 1, from 13
    ASSERT_NE(e, nullptr);
    vm_if_state_set_instance_embedded(h, 1, nullptr);
    vm_transport_type_get_oid_count(h, 1, nullptr, &err); // block 10, from 130
    EXPECT_EQ(took(), 22u);
    vm_transport_type_get_object_references(h, 1, nullptr, 0, 0, &err);
    EXPECT_EQ(took(), 22u);
    err = 5; // a pending error is traced, and stays
    EXPECT_EQ(vm_transport_type_get_oid_count(h, 1, e, &err), 0u);
    vm_transport_type_get_object_references(h, 1, e, 0, 0, &err);
    EXPECT_EQ(took(), 5u);
    auto &t = qel_standin::traces();
    ASSERT_EQ(t.size(), 6u);
    ASSERT_EQ(t[0].args.size(), 1u);
    EXPECT_EQ(t[0].args[0].s, std::strerror(2));
    EXPECT_EQ(std::memcmp(t[0].uuid, uuid, 16), 0);
    EXPECT_EQ(t[0].module_id, g_qel_drov_def_trace_module_id);
    const uint32_t want[] = {13, 13 + 4, 130 + 6, 130 + 8, 130 + 5, 130 + 7};
    for (size_t i = 0; i < 6; ++i) EXPECT_TRUE(t[i].index == want[i] && t[i].flags == kError) << i;
    vm_if_state_destroy(h, 1, e);
}

TEST_F(Enum, SmallOperations) {
    vm_sp_type_t *a = make(4), *b = make(1);
    for (auto [x, y, want] : {std::tuple{a, b, 3}, {b, a, -3}, {nullptr, a, -1}, {a, nullptr, 1}, {nullptr, nullptr, 0}})
        EXPECT_EQ(vm_sp_type_compare(x, y), want);
    EXPECT_EQ(vm_sp_type_hash(nullptr, 7), 7u);
    EXPECT_EQ(vm_sp_type_hash(a, 7), SuperFastHash(reinterpret_cast<const char *>(&a->value), 4, 7)); // the runtime's
    EXPECT_EQ(vm_sp_type_variant_data_index_cap(0x105), 0x100u);
    EXPECT_EQ(vm_sp_type_variant_data_index_cap(0xFF), 0xFFu);
    EXPECT_EQ(vm_sp_type_get_luid(1, 2, 3, 4, 5, 6), qel_get_luid(1, 2, 3, 4, 5, 6));
    b->obj_flags = 0x04;
    st().writes.clear();
    vm_sp_type_set_instance_embedded(h, 8, b);
    EXPECT_EQ(b->obj_flags, 0x06);
    EXPECT_EQ(notes(b, 8), "10+1");
    vm_sp_type_set(h, 1, a, b, &err);
    EXPECT_EQ(a->obj_flags, 0x06) << "set copies the whole instance";
    char buf[64];
    EXPECT_EQ(std::string(buf, vm_sp_type_print(h, 1, buf, 0, nullptr, a, sizeof buf, &err)),
              "vm_sp_type@vm_sp_type:VM_SP_QUB\n") << "without a label, print names the type";

    EXPECT_EQ(vm_sp_type_len_cr(h), 5u);
    h->err = 28; // len_cr is 0 while the handle holds an error
    EXPECT_EQ(vm_sp_type_len_cr(h), 0u);
    h->err = 0;

    // is_valid_cr asks the domain with the handle's word, and ignores the answer
    qel_standin::set_domain_error(h, 2);
    EXPECT_EQ(vm_sp_type_is_valid_cr(h, 3), 1);
    EXPECT_EQ(std::exchange(h->err, 0), 2u);
}

// A path longer than a value path can hold is cut, here after a slash: the cut path is no path.
TEST_F(Enum, FromXmlRefusesAPathCutShort) {
    vm_sp_type_t *e = make(1);
    test::XmlDoc doc("<r><s><VM_SP_DROV/></s></r>");
    const std::string deep = "/r/s" + std::string(300, '/');
    vm_sp_type_from_xml(h, 1, deep.c_str(), doc.doc, e, &err, nullptr, 0);
    EXPECT_EQ(took(), 22u);
    EXPECT_EQ(e->value, 1u);
}

// Decoding gives the instance its record and the variant read, capped at the layout's.
TEST_F(Enum, UnmarshalGivesTheInstanceItsRecord) {
    const uint8_t wire[5] = {0x01, 0, 0, 0, 2}; // variant 1: more than the layout has
    vm_sp_type_t zeroed{};
    EXPECT_EQ(vm_sp_type_unmarshal(h, 1, nullptr, &zeroed, 5, 0, &err), 0u);
    EXPECT_EQ(took(), 90u) << "no buffer: the variant byte cannot be read";
    EXPECT_EQ(zeroed.type_info, nullptr) << "nothing is taken";
    EXPECT_EQ(vm_sp_type_unmarshal(h, 1, wire, &zeroed, 5, 0, &err), 5u);
    EXPECT_EQ(zeroed.type_info, &_vm_sp_type_type_info_internal);
    EXPECT_EQ(zeroed.instance_variant, 0) << "capped at the layout variant";
    EXPECT_EQ(zeroed.value, 2u);
}

// A record that is not one, or has lost its variant information, stops the
// process with the enumeration's fatal trace.
TEST_F(Enum, CorruptedRecordsAreFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    vm_sp_type_t *e = make(0);
    qel_type_info_t bad = _vm_sp_type_type_info_internal;
    bad.magic = 0;
    e->type_info = &bad;
    EXPECT_DEATH(vm_sp_type_destroy(h, 1, e), "fatal trace 12");
    bad.magic = 0xBEEFF00D;
    bad.variant_info = nullptr;
    EXPECT_DEATH(vm_sp_type_destroy(h, 1, e), "fatal trace 9");
    e->type_info = &_vm_sp_type_type_info_internal;
}

} // namespace
