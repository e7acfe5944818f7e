// The enumeration operations beyond values and names (enum_roundtrip_test):
// the error word, announcements, traces, the epoch rule, variants, the
// handle-word forms, containment and fatal records, mostly on vm_sp_type.
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "support.h"
#include "xml_doc.h"

namespace {

using namespace std::string_view_literals;
using qel_standin::calls_named;
using Notes = std::vector<std::pair<const void *, uint32_t>>; // announced stores: address, length
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
    Notes notes() { // the stores announced since the last call
        Notes out;
        for (const auto &w : st().writes) out.emplace_back(w.addr, w.len);
        st().writes.clear();
        return out;
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

// The epoch rule: a value past the range is refused (43) unless the
// instance's own variant is newer than its layout.
TEST_F(Enum, SettersRefuseValuesBeyondTheEnumeration) {
    vm_sp_type_t *e = make(1), *src = make(0xFFFFFFFFu); // negative: out of range too
    st().writes.clear();
    vm_sp_type_set_value(h, 1, e, 5, &err);
    expect_err(43);
    EXPECT_EQ(calls("qel_store_epoch_err"), 1u);
    vm_sp_type_set(h, 1, e, src, &err);
    EXPECT_EQ(took(), 43u);
    EXPECT_EQ(e->value, 1u);
    EXPECT_EQ(notes(), Notes{});

    vm_sp_type_set_value(h, 1, e, 4, &err);
    EXPECT_EQ(e->value, 4u);
    EXPECT_EQ(notes(), (Notes{{&e->value, 4}}));
    src->value = 2;
    src->obj_flags = 0x04;
    vm_sp_type_set(h, 1, e, src, &err);
    EXPECT_EQ(e->value, 2u);
    EXPECT_EQ(e->obj_flags, 0x04) << "the whole instance is copied";
    EXPECT_EQ(notes(), (Notes{{e, 16}}));
    EXPECT_EQ(err, 0u);

    e->instance_variant = 1;
    vm_sp_type_set_value(h, 1, e, 5, &err);
    EXPECT_EQ(e->value, 5u);
    src->value = 9;
    vm_sp_type_set(h, 1, e, src, &err);
    EXPECT_EQ(e->value, 9u);
    EXPECT_EQ(err, 0u);
}

TEST_F(Enum, CrFormsUseTheHandleWordAndContext) {
    h->cur_ctx_id = 42;
    vm_sp_type_t *e = vm_sp_type_create_cr(h);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(h->cr_in_progress, 0u);
    e->value = 1;
    char buf[64];
    EXPECT_EQ(std::string(buf, vm_sp_type_print_cr(h, e, buf, sizeof buf)), "vm_sp_type@vm_sp_type:VM_SP_QUB\n");
    EXPECT_EQ(std::string(buf, vm_sp_type_toxml_cr(h, e, buf, sizeof buf)), "<vm_sp_type><VM_SP_QUB/></vm_sp_type>");
    EXPECT_EQ(vm_sp_type_print_cr(h, e, buf, 33), 32) << "exactly the room it needs";
    EXPECT_EQ(vm_sp_type_print_cr(h, e, buf, 32), -1); // did not fit: 28 in the handle's word
    EXPECT_EQ(h->err, 28u);
    EXPECT_EQ(vm_sp_type_len_cr(h), 0u);
    h->err = 0;
    EXPECT_EQ(vm_sp_type_len_cr(h), 5u);
    // a cut rendering keeps what fits
    for (auto [room, kept] : {std::pair{8, "<vm_sp_"}, {16, "<vm_sp_type><VM"}}) {
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(vm_sp_type_toxml_cr(h, e, buf, room), -1) << room;
        EXPECT_EQ(std::exchange(h->err, 0), 28u);
        EXPECT_EQ(st().last_error, 28u);
        EXPECT_STREQ(buf, kept);
        EXPECT_EQ(buf[room], '#');
    }
    EXPECT_EQ(vm_sp_type_toxml_cr(h, e, buf, 38), 37) << "exactly the room it needs";
    EXPECT_EQ(h->err, 0u);

    h->cur_ctx_id = 43;
    st().calls.clear();
    vm_sp_type_destroy_cr(h, e);
    auto frees = calls_named(h, "free");
    ASSERT_EQ(frees.size(), 1u);
    EXPECT_EQ(frees[0].obj, e);
    EXPECT_EQ(frees[0].ctx, 43u) << "destroy_cr frees with the handle's current context id";
    EXPECT_EQ(frees[0].arg, 16);
    EXPECT_EQ(st().counters.back().counter, &entry().destroys);
    EXPECT_EQ(st().counters.back().ctx, 43u);
}

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
    h->err = 5; // an error pending: the placeholder again, and it is recorded
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

// Every operation with an error word: a pending error stops it before it
// asks anything of the runtime; otherwise it first clears a stale last
// error, and a null instance is refused with 22.
TEST_F(Enum, EveryOperationHonoursTheErrorWord) {
    vm_sp_type_t *e = make(2), *src = make(1);
    test::XmlDoc doc("<r><s><VM_SP_DROV/></s></r>"); // the first name tried: no 2 is left
    uint8_t wire[5] = {0, 0, 0, 0, 1};
    char buf[64];
    using Ops = std::vector<std::pair<const char *, std::function<int64_t()>>>;
    auto ops = [&](vm_sp_type_t *x) {
        return Ops{{"get_value", [&, x]() -> int64_t { return vm_sp_type_get_value(h, 1, x, &err); }},
                   {"set", [&, x]() -> int64_t { vm_sp_type_set(h, 1, x, src, &err); return 0; }},
                   {"set_value", [&, x]() -> int64_t { vm_sp_type_set_value(h, 1, x, 3, &err); return 0; }},
                   {"marshal", [&, x]() -> int64_t { return vm_sp_type_marshal(h, 1, wire, x, 5, &err); }},
                   {"unmarshal", [&, x]() -> int64_t { return vm_sp_type_unmarshal(h, 1, wire, x, 5, 0, &err); }},
                   {"print", [&, x]() -> int64_t { return vm_sp_type_print(h, 1, buf, 0, "l", x, sizeof buf, &err); }},
                   {"to_xml", [&, x]() -> int64_t { return vm_sp_type_to_xml(h, 1, "t", buf, x, sizeof buf, 0, &err); }},
                   {"from_xml", [&, x]() -> int64_t {
                        vm_sp_type_from_xml(h, 1, "/r/s", doc.doc, x, &err, nullptr, 0);
                        return 0;
                    }}};
    };
    err = 5;
    st().calls.clear();
    for (const auto &[name, run] : ops(e)) EXPECT_EQ(run(), 0) << name;
    EXPECT_EQ(err, 5u);
    EXPECT_EQ(e->value, 2u);
    EXPECT_TRUE(st().calls.empty());
    EXPECT_TRUE(qel_standin::traces().empty());
    // the two reference queries report the pending error
    EXPECT_EQ(vm_sp_type_get_oid_count(h, 1, e, &err), 0u);
    vm_sp_type_get_object_references(h, 1, e, 0, 0, &err);
    ASSERT_EQ(qel_standin::traces().size(), 2u);
    EXPECT_EQ(qel_standin::traces()[0].index, 5u);
    EXPECT_EQ(qel_standin::traces()[1].index, 7u);
    EXPECT_EQ(calls("qel_clear_last_error"), 0u);
    err = 0;

    Ops all = ops(e);
    all.emplace_back("print_cr", [&]() -> int64_t { return vm_sp_type_print_cr(h, e, buf, sizeof buf); });
    all.emplace_back("toxml_cr", [&]() -> int64_t { return vm_sp_type_toxml_cr(h, e, buf, sizeof buf); });
    for (const auto &[name, run] : all) {
        SCOPED_TRACE(name);
        st().calls.clear();
        st().last_error = 77;
        run();
        EXPECT_EQ(err, 0u);
        EXPECT_EQ(st().last_error, 0u);
        ASSERT_FALSE(st().calls.empty());
        EXPECT_EQ(st().calls.front().name, "qel_clear_last_error");
        EXPECT_EQ(calls("qel_clear_last_error"), 1u);
    }
    for (const auto &[name, run] : ops(nullptr)) {
        SCOPED_TRACE(name);
        EXPECT_EQ(run(), 0);
        expect_err(22);
    }
    vm_sp_type_set(h, 1, e, nullptr, &err);
    EXPECT_EQ(took(), 22u) << "no source";
}

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
    auto &t = qel_standin::traces();
    ASSERT_EQ(t.size(), 4u);
    ASSERT_EQ(t[0].args.size(), 1u);
    EXPECT_EQ(t[0].args[0].s, std::strerror(2));
    EXPECT_EQ(std::memcmp(t[0].uuid, uuid, 16), 0);
    EXPECT_EQ(t[0].module_id, g_qel_drov_def_trace_module_id);
    const uint32_t want[] = {13, 13 + 4, 130 + 6, 130 + 8};
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(t[i].index == want[i] && t[i].flags == kError) << i;

    // an instance variant beyond the variant count: information trace at destroy
    vm_if_state_t *one = vm_if_state_create(h, 1);
    one->instance_variant = 1; // equal to the count: no trace
    vm_if_state_destroy(h, 1, one);
    ASSERT_EQ(t.size(), 5u) << "creating it traced the lookup error again";
    e->instance_variant = 2;
    vm_if_state_destroy(h, 1, e);
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[5].index, 13u + 10);
    EXPECT_EQ(t[5].flags, kInfo);
    ASSERT_EQ(t[5].args.size(), 2u);
    EXPECT_EQ(t[5].args[0].u, 2u);
    EXPECT_EQ(t[5].args[1].u, 1u);
}

TEST_F(Enum, SmallOperations) {
    vm_sp_type_t *a = make(4), *b = make(1);
    for (auto [x, y, want] : {std::tuple{a, b, 3}, {b, a, -3}, {nullptr, a, -1}, {a, nullptr, 1}, {nullptr, nullptr, 0}})
        EXPECT_EQ(vm_sp_type_compare(x, y), want);
    EXPECT_EQ(vm_sp_type_hash(nullptr, 7), 7u);
    EXPECT_EQ(vm_sp_type_hash(a, 7), SuperFastHash(reinterpret_cast<const char *>(&a->value), 4, 7));
    EXPECT_EQ(vm_sp_type_variant_data_index_cap(0x105), 0x100u);
    EXPECT_EQ(vm_sp_type_variant_data_index_cap(0xFF), 0xFFu);
    EXPECT_EQ(vm_sp_type_get_luid(1, 2, 3, 4, 5, 6), qel_get_luid(1, 2, 3, 4, 5, 6));
    b->obj_flags = 0x04;
    vm_sp_type_set_instance_embedded(h, 1, b);
    EXPECT_EQ(b->obj_flags, 0x06);
    char buf[64];
    EXPECT_EQ(std::string(buf, vm_sp_type_print(h, 1, buf, 0, nullptr, a, sizeof buf, &err)),
              "vm_sp_type@vm_sp_type:VM_SP_QUB_GALMORE\n") << "without a label, print names the type";

    // is_valid_cr asks the domain with the handle's word, and ignores the answer
    st().calls.clear();
    EXPECT_EQ(vm_sp_type_is_valid_cr(h, 0), 1);
    expect_one_lookup(&_vm_sp_type_type_info_internal);
    EXPECT_EQ(calls_named(h, "qel_domain_lookup_variant")[0].words[0], reinterpret_cast<uintptr_t>(&h->err));
    st().domain_error = 2;
    EXPECT_EQ(vm_sp_type_is_valid_cr(h, 3), 1);
    EXPECT_EQ(std::exchange(h->err, 0), 2u);
}

TEST_F(Enum, MarshalOfAnInstanceNewerThanTheDomain) {
    vm_sp_type_t *e = make(2);
    qel_standin::set_domain_variant(h, "vm_sp_type", -1);
    uint8_t wire[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    st().calls.clear();
    EXPECT_EQ(vm_sp_type_marshal(h, 1, wire, e, 6, &err), 5u);
    EXPECT_EQ(err, 43u);
    EXPECT_EQ(st().last_error, 43u);
    EXPECT_EQ(std::string_view(reinterpret_cast<char *>(wire), 6), "\xFF\0\0\0\x02\xAA"sv) << "the domain's variant, the value";
    auto epoch = calls_named(h, "qel_store_epoch_err");
    ASSERT_EQ(epoch.size(), 1u);
    EXPECT_EQ(epoch[0].arg, 43);
    EXPECT_EQ(epoch[0].words[0], reinterpret_cast<uintptr_t>(&err));
    expect_one_lookup(e->type_info);

    err = 0; // a short room keeps its own error: 90, not the epoch error
    EXPECT_EQ(vm_sp_type_marshal(h, 1, wire, e, 3, &err), 1u);
    EXPECT_EQ(took(), 90u);
    // newer than any variant of the type: the domain knows it, the encoding has 0 only
    e->instance_variant = 2;
    qel_standin::set_domain_variant(h, "vm_sp_type", 5);
    wire[0] = 0xAA;
    EXPECT_EQ(vm_sp_type_marshal(h, 1, wire, e, 5, &err), 5u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(wire[0], 0);
    e->instance_variant = 0;
}

// Room for the variant byte but not the whole value: the byte goes, the
// value stays, and 90 tells the caller.
TEST_F(Enum, CodingWithTooLittleRoom) {
    vm_sp_type_t *e = make(3);
    for (auto [room, count] : {std::pair{0, 0u}, {1, 1u}, {4, 1u}}) {
        SCOPED_TRACE(room);
        uint8_t wire[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
        EXPECT_EQ(vm_sp_type_marshal(h, 1, wire, e, room, &err), count);
        expect_err(90);
        EXPECT_EQ(wire[0], count == 0 ? 0xAA : 0);
        EXPECT_EQ(wire[1], 0xAA) << "the value is not begun";
        const uint8_t in[5] = {0, 0, 0, 0, 4};
        EXPECT_EQ(vm_sp_type_unmarshal(h, 1, in, e, room, 0, &err), count);
        EXPECT_EQ(took(), 90u);
        EXPECT_EQ(e->value, 3u) << "a value not fully there is not taken";
    }
    vm_sp_type_t zeroed{};
    EXPECT_EQ(vm_sp_type_unmarshal(h, 1, nullptr, &zeroed, 5, 0, &err), 0u);
    EXPECT_EQ(took(), 90u) << "no buffer: the variant byte cannot be read";
    EXPECT_EQ(zeroed.type_info, nullptr) << "nothing is taken";
}

TEST_F(Enum, FromXmlTakesTheFirstNamePresent) {
    vm_if_state_t *e = vm_if_state_create(h, 1);
    test::XmlDoc up("<r><s><VM_IF_UP/></s></r>"), both("<r><s><VM_IF_UP/><VM_IF_DOWN/></s></r>"),
        none("<r><s><OTHER/></s></r>");
    vm_if_state_from_xml(h, 1, "/r/s", up.doc, e, &err, nullptr, 0);
    EXPECT_EQ(e->value, 1u);
    vm_if_state_from_xml(h, 1, "/r/s", both.doc, e, &err, nullptr, 0);
    EXPECT_EQ(e->value, 0u);
    e->value = 1;
    vm_if_state_from_xml(h, 1, "/r/s", none.doc, e, &err, nullptr, 0);
    EXPECT_EQ(e->value, 1u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(st().last_error, 2u);

    char msg[64] = "untouched";
    vm_if_state_from_xml(h, 1, "/r/s", nullptr, e, &err, msg, sizeof msg);
    EXPECT_EQ(took(), 22u);
    EXPECT_STREQ(msg, "Failed xpath: /r/s");
    vm_if_state_from_xml(h, 1, "/r/s[", up.doc, e, &err, msg, 8);
    EXPECT_EQ(took(), 22u);
    EXPECT_STREQ(msg, "Failed ");
    vm_if_state_from_xml(h, 1, "/r/s[", up.doc, e, &err, msg, 0);
    EXPECT_EQ(took(), 22u);
    EXPECT_STREQ(msg, "Failed ") << "a message buffer of size 0 is not written";
    vm_if_state_from_xml(h, 1, nullptr, up.doc, e, &err, nullptr, 0);
    EXPECT_EQ(took(), 22u);
    EXPECT_EQ(e->value, 1u);
    // A path longer than a value path can hold is cut, here after a slash:
    // the cut path is no path.
    const std::string deep = "/r/s" + std::string(300, '/');
    vm_if_state_from_xml(h, 1, deep.c_str(), up.doc, e, &err, nullptr, 0);
    EXPECT_EQ(took(), 22u);
    EXPECT_EQ(e->value, 1u);
    vm_if_state_destroy(h, 1, e);
}

TEST_F(Enum, UnmarshalIntoAZeroedInstanceGivesItItsRecord) {
    const uint8_t wire[5] = {0x01, 0, 0, 0, 2}; // variant 1: more than the layout has
    vm_sp_type_t zeroed{};
    EXPECT_EQ(vm_sp_type_unmarshal(h, 1, wire, &zeroed, 5, 0, &err), 5u);
    EXPECT_EQ(zeroed.type_info, &_vm_sp_type_type_info_internal);
    EXPECT_EQ(zeroed.instance_variant, 0) << "capped at the layout variant";
    EXPECT_EQ(zeroed.value, 2u);

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

TEST_F(Enum, CreateTakesTheDomainVariantCappedAtTheHighest) {
    qel_standin::set_domain_variant(h, "vm_sp_type", 3);
    uint64_t creates = entry().creates;
    vm_sp_type_t *e = vm_sp_type_create(h, 1);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->type_info, &_vm_sp_type_type_info_internal);
    EXPECT_EQ(e->instance_variant | e->layout_variant | e->obj_flags, 0);
    EXPECT_EQ(e->value, 0u);
    EXPECT_EQ(entry().creates, creates + 1);
    expect_one_lookup(&_vm_sp_type_type_info_internal);

    qel_standin::set_domain_variant(h, "vm_sp_type", -1);
    vm_sp_type_t *old = vm_sp_type_create(h, 1);
    EXPECT_EQ(old->instance_variant, -1);
    EXPECT_EQ(entry().creates, creates + 1) << "a negative variant selects no entry";
    uint64_t destroys = entry().destroys;
    vm_sp_type_destroy(h, 1, old);
    EXPECT_EQ(entry().destroys, destroys);
    vm_sp_type_destroy(h, 1, e);
    EXPECT_EQ(entry().destroys, destroys + 1);
    EXPECT_EQ(calls_named(h, "allocate")[0].arg, 16);
}

TEST_F(Enum, AnnouncesEveryStoreOfCreateInitializeAndUnmarshal) {
    // every announcement of this step is for inst and ctx
    auto expect_for = [&](const void *inst, uint32_t ctx) {
        for (const auto &w : st().writes) EXPECT_TRUE(w.ctx == ctx && w.owner == inst) << w.addr;
    };
    auto header = [](vm_sp_type_t *i) {
        return Notes{{&i->layout_variant, 1}, {&i->instance_variant, 1}, {&i->type_info, 8}, {&i->obj_flags, 1}};
    };
    vm_sp_type_t *e = vm_sp_type_create(h, 5);
    ASSERT_NE(e, nullptr);
    owned.push_back(e);
    expect_for(e, 5);
    EXPECT_EQ(notes(), header(e));
    EXPECT_EQ(e->pad, 0) << "the fresh block is zeroed";

    vm_sp_type_t in_place{};
    in_place.obj_flags = 0x01;
    EXPECT_EQ(vm_sp_type_initialize(h, 6, &in_place, &_vm_sp_type_type_info_internal, 1, 0, 0x04, 0, &err), 0x04);
    expect_for(&in_place, 6);
    EXPECT_EQ(notes(), header(&in_place));
    EXPECT_EQ(in_place.obj_flags, 0x05) << "the flags are added";
    qel_standin::set_domain_variant(h, "vm_sp_type", -1);
    vm_sp_type_t quiet{};
    quiet.layout_variant = 3;
    vm_sp_type_initialize(h, 6, &quiet, &_vm_sp_type_type_info_internal, 0, 0, 0x02, 0, &err);
    EXPECT_EQ(notes(), Notes{}) << "notify 0 announces nothing";
    EXPECT_TRUE(quiet.layout_variant == 0 && quiet.instance_variant == -1 && quiet.obj_flags == 0x02);
    EXPECT_EQ(quiet.type_info, &_vm_sp_type_type_info_internal);

    const uint8_t wire[5] = {0, 0, 0, 0, 4};
    vm_sp_type_unmarshal(h, 7, wire, e, 5, 3, &err);
    expect_for(e, 7);
    EXPECT_EQ(notes(), (Notes{{&e->type_info, 8}, {&e->value, 4}}));
    auto decoded = calls_named(h, "u_int32_unmarshal"); // passes the update flag and context on
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_TRUE(decoded[0].arg == 3 && decoded[0].ctx == 7u);
    EXPECT_EQ(decoded[0].owner, wire + 1) << "after the variant byte";
    const uint8_t none[5] = {0xFF, 0, 0, 0, 4}; // a variant that changes is announced too
    vm_sp_type_unmarshal(h, 7, none, e, 5, 0, &err);
    expect_for(e, 7);
    EXPECT_EQ(notes(), (Notes{{&e->instance_variant, 1}, {&e->type_info, 8}, {&e->value, 4}}));
    vm_sp_type_set_instance_embedded(h, 8, e);
    expect_for(e, 8);
    EXPECT_EQ(notes(), (Notes{{&e->obj_flags, 1}}));
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

TEST_F(Enum, AdjustVariantAndSetAskTheRuntime) {
    vm_sp_type_t *e = make(1), *src = make(2);
    st().calls.clear();
    EXPECT_EQ(vm_sp_type_adjust_variant(h, 3, e, &err), 0);
    EXPECT_EQ(vm_sp_type_adjust_variant(h, 3, nullptr, &err), -1);
    // set and set_value fit the destination to its variant before judging the value
    vm_sp_type_set_value(h, 4, e, 3, &err);
    vm_sp_type_set(h, 5, e, src, &err);
    auto adjusted = calls_named(h, "qellib_adjust_variant");
    ASSERT_EQ(adjusted.size(), 3u) << "a null instance reaches the runtime, which records nothing for it";
    for (size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(adjusted[i].obj == e && adjusted[i].owner == e->type_info && adjusted[i].ctx == 3 + i) << i;
    // an instance of variant -1 is raised to the domain's variant first
    e->instance_variant = -1;
    vm_sp_type_set_value(h, 4, e, 1, &err);
    EXPECT_EQ(e->instance_variant, 0);
    EXPECT_EQ(e->value, 1u);
}

using EnumDeath = Enum;

TEST_F(EnumDeath, DestroyOfACorruptedRecordAborts) {
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
}

TEST_F(EnumDeath, CreateWithoutVariantInfoAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // the handle hands out a registered copy that has lost its variant info
    h->type_info_mode = 1;
    drov_def_typeinfo_initialize(h, 1, &err);
    auto *copy = st().registry.at({1u, _vm_rsp_client_type_info_internal.digest_str});
    copy->variant_info = nullptr;
    EXPECT_DEATH(vm_rsp_client_create(h, 1), "fatal trace 92"); // block 7, create +1
}

} // namespace
