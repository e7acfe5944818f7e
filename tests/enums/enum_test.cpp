// The enumeration operations beyond values and names (enum_roundtrip_test):
// the error word, announcements, runtime calls, traces, the epoch rule,
// variants, the handle-word forms, containment and fatal records, mostly on
// vm_sp_type (one template serves all enumerations).
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support.h"
#include "xml_doc.h"

namespace {

using qel_standin::calls_named;
constexpr uint32_t kError = 0x3000000, kInfo = 0x6000000;

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
    void expect_err(uint32_t code) { // in the error word and the handle
        EXPECT_EQ(took(), code);
        EXPECT_EQ(st().last_error, code);
    }
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
    // The runtime was asked once for the type's variant in the handle's domain.
    void expect_one_lookup(const void *info) {
        auto lookups = calls_named(h, "qel_domain_lookup_variant");
        ASSERT_EQ(lookups.size(), 1u);
        EXPECT_EQ(lookups[0].obj, info);
        EXPECT_EQ(lookups[0].owner, h->variant_domain);
    }
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
            got = vm_sp_type_unmarshal(h, 7, wire, x, room, 0, &err);
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
        for (const auto &c : calls_named(h, "qellib_adjust_variant"))
            EXPECT_TRUE(c.obj == x && c.ctx == 7u && c.owner == (x != nullptr ? x->type_info : nullptr));
        ++rows;
    }
    EXPECT_GT(rows, 40);
}

// Without memory: create gives null and stores no error, create_cr the
// enumeration's zero-filled placeholder with 12; with an error pending
// create_cr gives the placeholder without asking.  Destroy leaves the
// placeholder and null alone, and destroy_internal an instance it may not
// release.
TEST_F(Enum, CreateFailuresAndPlaceholder) {
    st().fail_alloc_at = st().alloc_calls + 1;
    EXPECT_EQ(vm_sp_type_create(h, 1), nullptr);
    EXPECT_EQ(st().last_error, 0u);
    EXPECT_EQ(h->err, 0u);

    st().fail_alloc_at = st().alloc_calls + 1;
    vm_sp_type_t *p = vm_sp_type_create_cr(h);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(h->err, 12u);
    EXPECT_EQ(st().last_error, 12u);
    EXPECT_EQ(p->type_info, nullptr) << "the zero-filled placeholder";
    uint64_t allocs = st().alloc_calls;
    h->containment_recording = 1;
    h->type_info_mode = 1;
    h->cur_ctx_id = 4;
    h->err = 5; // the placeholder again, and it is recorded
    EXPECT_EQ(vm_sp_type_create_cr(h), p);
    EXPECT_EQ(st().alloc_calls, allocs);
    EXPECT_EQ(h->err, 5u);
    auto contained = calls_named(h, "qeldb_record_containment2");
    ASSERT_EQ(contained.size(), 1u);
    EXPECT_TRUE(contained[0].obj == p && contained[0].ctx == 4u && contained[0].arg == 1 &&
                contained[0].owner == nullptr);
    auto dirty = calls_named(h, "qeldb_plat_set_dirty");
    ASSERT_EQ(dirty.size(), 1u);
    EXPECT_EQ(dirty[0].obj, p);
    h->err = 0;
    st().fail_alloc_at = st().alloc_calls + 1; // a failed plain creation is recorded as null
    EXPECT_EQ(vm_sp_type_create(h, 4), nullptr);
    EXPECT_EQ(calls_named(h, "qeldb_record_containment2").back().obj, nullptr);
    h->containment_recording = h->type_info_mode = 0;

    uint64_t destroys = entry().destroys;
    vm_sp_type_destroy(h, 1, p);
    vm_sp_type_destroy(h, 1, nullptr);
    vm_sp_type_t *e = vm_sp_type_create(h, 1);
    vm_sp_type_destroy_internal(h, 1, e, 0);
    EXPECT_EQ(entry().destroys, destroys);
    EXPECT_EQ(e->type_info, &_vm_sp_type_type_info_internal);
    vm_sp_type_destroy(h, 1, e);
}

// The _cr forms work in the handle's current context; len_cr is 0 while the
// handle holds an error.
TEST_F(Enum, CrFormsUseTheHandlesContext) {
    h->cur_ctx_id = 42;
    vm_sp_type_t *e = vm_sp_type_create_cr(h);
    EXPECT_EQ(h->cr_in_progress, 0u);
    auto allocs = calls_named(h, "allocate");
    ASSERT_EQ(allocs.size(), 1u);
    EXPECT_TRUE(allocs[0].ctx == 42u && allocs[0].arg == 16);
    EXPECT_EQ(vm_sp_type_len_cr(h), 5u);
    h->err = 28;
    EXPECT_EQ(vm_sp_type_len_cr(h), 0u);
    h->err = 0;
    h->cur_ctx_id = 43;
    st().calls.clear();
    vm_sp_type_destroy_cr(h, e);
    auto frees = calls_named(h, "free");
    ASSERT_EQ(frees.size(), 1u);
    EXPECT_TRUE(frees[0].obj == e && frees[0].ctx == 43u && frees[0].arg == 16);
    EXPECT_EQ(st().counters.back().counter, &entry().destroys);
    EXPECT_EQ(st().counters.back().ctx, 43u);
}

// Each enumeration traces from its own block of trace points.
TEST_F(Enum, TracesUseTheEnumerationsOwnBlock) {
    const uint8_t uuid[16] = {0x39, 0xf5, 0xeb, 0x9b, 0xde, 0x16, 0xce, 0xbd,
                              0x6a, 0xee, 0xd2, 0x45, 0x04, 0xa8, 0x66, 0x6c};
    st().domain_error = 2;
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

    // an instance variant beyond the variant count: information trace at destroy
    vm_if_state_t *one = vm_if_state_create(h, 1);
    one->instance_variant = 1; // equal to the count: no trace
    vm_if_state_destroy(h, 1, one);
    ASSERT_EQ(t.size(), 7u) << "creating it traced the lookup error again";
    e->instance_variant = 2;
    vm_if_state_destroy(h, 1, e);
    ASSERT_EQ(t.size(), 8u);
    EXPECT_EQ(t[7].index, 13u + 10);
    EXPECT_EQ(t[7].flags, kInfo);
    ASSERT_EQ(t[7].args.size(), 2u);
    EXPECT_EQ(t[7].args[0].u, 2u);
    EXPECT_EQ(t[7].args[1].u, 1u);
}

TEST_F(Enum, SmallOperations) {
    vm_sp_type_t *a = make(4), *b = make(1);
    for (auto [x, y, want] : {std::tuple{a, b, 3}, {b, a, -3}, {nullptr, a, -1}, {a, nullptr, 1}, {nullptr, nullptr, 0}})
        EXPECT_EQ(vm_sp_type_compare(x, y), want);
    EXPECT_EQ(vm_sp_type_hash(nullptr, 7), 7u);
    EXPECT_NE(vm_sp_type_hash(a, 7), vm_sp_type_hash(b, 7));
    EXPECT_NE(vm_sp_type_hash(a, 7), vm_sp_type_hash(a, 8));
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

    // is_valid_cr asks the domain with the handle's word, and ignores the answer
    st().calls.clear();
    EXPECT_EQ(vm_sp_type_is_valid_cr(h, 0), 1);
    expect_one_lookup(&_vm_sp_type_type_info_internal);
    EXPECT_EQ(calls_named(h, "qel_domain_lookup_variant")[0].words[0], reinterpret_cast<uintptr_t>(&h->err));
    st().domain_error = 2;
    EXPECT_EQ(vm_sp_type_is_valid_cr(h, 3), 1);
    EXPECT_EQ(std::exchange(h->err, 0), 2u);
}

// A path longer than a value path can hold is cut, here after a slash: the
// cut path is no path.
TEST_F(Enum, FromXmlRefusesAPathCutShort) {
    vm_sp_type_t *e = make(1);
    test::XmlDoc doc("<r><s><VM_SP_DROV/></s></r>");
    const std::string deep = "/r/s" + std::string(300, '/');
    vm_sp_type_from_xml(h, 1, deep.c_str(), doc.doc, e, &err, nullptr, 0);
    EXPECT_EQ(took(), 22u);
    EXPECT_EQ(e->value, 1u);
}

// Decoding gives the instance its record (the handle's copy when it keeps
// copies) and the variant read, capped at the layout's; the value is decoded
// after the variant byte, with the update flag and context passed on.
TEST_F(Enum, UnmarshalGivesTheInstanceItsRecord) {
    const uint8_t wire[5] = {0x01, 0, 0, 0, 2}; // variant 1: more than the layout has
    vm_sp_type_t zeroed{};
    EXPECT_EQ(vm_sp_type_unmarshal(h, 1, nullptr, &zeroed, 5, 0, &err), 0u);
    EXPECT_EQ(took(), 90u) << "no buffer: the variant byte cannot be read";
    EXPECT_EQ(zeroed.type_info, nullptr) << "nothing is taken";
    EXPECT_EQ(vm_sp_type_unmarshal(h, 1, wire, &zeroed, 5, 3, &err), 5u);
    EXPECT_EQ(zeroed.type_info, &_vm_sp_type_type_info_internal);
    EXPECT_EQ(zeroed.instance_variant, 0) << "capped at the layout variant";
    EXPECT_EQ(zeroed.value, 2u);
    auto decoded = calls_named(h, "u_int32_unmarshal");
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_TRUE(decoded[0].arg == 3 && decoded[0].ctx == 1u);
    EXPECT_EQ(decoded[0].owner, wire + 1) << "after the variant byte";

    h->type_info_mode = 1;
    vm_sp_type_t other{};
    const uint8_t old[5] = {0xFF, 0, 0, 0, 1}; // variant -1 stays
    EXPECT_EQ(vm_sp_type_unmarshal(h, 6, old, &other, 5, 0, &err), 5u);
    auto it = st().registry.find({6u, _vm_sp_type_type_info_internal.digest_str});
    ASSERT_NE(it, st().registry.end()) << "registered for the context id";
    EXPECT_EQ(other.type_info, it->second) << "the handle's copy";
    EXPECT_EQ(other.instance_variant, -1);
    EXPECT_EQ(other.value, 1u);
    EXPECT_EQ(err, 0u);
}

// Creation and initialisation write the header in order, each store
// announced: the domain's variant capped at the highest (0), counted in its
// entry unless negative; initialize adds the flags given.
TEST_F(Enum, CreateAndInitializeWriteTheHeader) {
    qel_standin::set_domain_variant(h, "vm_sp_type", 3);
    uint64_t creates = entry().creates;
    vm_sp_type_t *e = vm_sp_type_create(h, 5);
    ASSERT_NE(e, nullptr);
    expect_one_lookup(&_vm_sp_type_type_info_internal);
    EXPECT_EQ(notes(e, 5), "9+1,8+1,0+8,10+1");
    EXPECT_EQ(e->type_info, &_vm_sp_type_type_info_internal);
    EXPECT_EQ(e->instance_variant | e->layout_variant | e->obj_flags | e->pad, 0) << "a zeroed block";
    EXPECT_EQ(e->value, 0u);
    EXPECT_EQ(entry().creates, creates + 1);

    qel_standin::set_domain_variant(h, "vm_sp_type", -1);
    vm_sp_type_t *old = vm_sp_type_create(h, 1);
    EXPECT_EQ(old->instance_variant, -1);
    EXPECT_EQ(entry().creates, creates + 1) << "a negative variant selects no entry";
    uint64_t destroys = entry().destroys;
    vm_sp_type_destroy(h, 1, old);
    EXPECT_EQ(entry().destroys, destroys);
    vm_sp_type_destroy(h, 1, e);
    EXPECT_EQ(entry().destroys, destroys + 1);

    st().writes.clear();
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

TEST_F(Enum, ContainmentIsRecordedAndDestroyIsGuarded) {
    h->containment_recording = 1;
    h->type_info_mode = 1;
    // counted through the handle's copy of the record, registered on first use
    vm_sp_type_t *e = vm_sp_type_create(h, 9);
    ASSERT_NE(e->type_info, &_vm_sp_type_type_info_internal);
    EXPECT_STREQ(e->type_info->name, "vm_sp_type");
    EXPECT_EQ(e->type_info->private_copy, 1u);
    EXPECT_EQ(st().counters.back().counter, &entry().creates);
    EXPECT_EQ(st().counters.back().ctx, 9u);
    EXPECT_EQ(vm_sp_type_get(h, 9, e), e);
    EXPECT_EQ(calls("qeldb_record_containment2"), 2u) << "get records it again";
    vm_sp_type_destroy(h, 9, e);
    EXPECT_EQ(st().counters.back().counter, &entry().destroys);

    struct Case {
        uint32_t recording, mode, ctx;
        size_t dirty, destroyed;
    };
    for (const Case &c : {Case{1, 1, 9, 1, 1}, Case{0, 1, 9, 0, 0}, Case{1, 2, 9, 0, 0},
                          Case{1, 0, 9, 0, 0}, Case{1, 1, QEL_CTX_NONE, 0, 0}}) {
        SCOPED_TRACE(testing::Message() << c.recording << "/" << c.mode << "/" << c.ctx);
        h->containment_recording = c.recording;
        h->type_info_mode = c.mode;
        st().calls.clear();
        e = vm_sp_type_create(h, c.ctx);
        EXPECT_EQ(calls("qeldb_record_containment2"), c.recording);
        EXPECT_EQ(calls("qeldb_plat_set_dirty"), c.dirty);
        vm_sp_type_destroy(h, c.ctx, e);
        auto gone = calls_named(h, "qeldb_plat_set_destroy");
        ASSERT_EQ(gone.size(), c.destroyed);
        for (const auto &g : gone) EXPECT_TRUE(g.obj == e && g.ctx == c.ctx);
    }
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
    e->type_info = nullptr;
    EXPECT_DEATH(vm_sp_type_destroy(h, 1, e), "fatal trace 12");
    e->type_info = &_vm_sp_type_type_info_internal;
    // the handle hands out a registered copy that has lost its variant info
    h->type_info_mode = 1;
    drov_def_typeinfo_initialize(h, 1, &err);
    st().registry.at({1u, _vm_rsp_client_type_info_internal.digest_str})->variant_info = nullptr;
    EXPECT_DEATH(vm_rsp_client_create(h, 1), "fatal trace 92"); // block 7, create +1
}

} // namespace
