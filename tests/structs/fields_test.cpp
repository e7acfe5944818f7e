// Field access by kind, run over every field of that kind the schema has: values, variants, state
// flags, whole objects, strings, text, arrays and lists; what setters and readers report to the
// containment recording; and the announcement of every store into instance memory.  (That every
// field's setter stores what its getter reads back and marks its flag, and every flag takes what it
// is given: tests/cxx/walk_test.cpp, through the same C functions.)
#include "struct_support.h"

#include <algorithm>

namespace {

using namespace test::structs;
using qel_standin::Tracking;

// Where the instance's own flags are (top-level instances).
uint8_t *area_of(void *inst, uint32_t t) {
    const int8_t layout = static_cast<int8_t>(walk::bytes(inst)[9]);
    return static_cast<uint8_t *>(inst) + kTypes[t].base[layout];
}

// Every field of the given kinds, with its type, on a fresh instance that is destroyed afterwards.
template <class Fn> void each(H h, std::initializer_list<FieldKind> kinds, Fn fn) {
    for (uint32_t t = 0; t < walk::kStructs; ++t)
        for (uint32_t i = 0; i < kTypes[t].field_count; ++i)
            for (FieldKind k : kinds)
                if (kTypes[t].fields[i].kind == k) {
                    SCOPED_TRACE(walk::op(t, kTypes[t].fields[i], ""));
                    void *inst = walk::create(h, t);
                    fn(t, kTypes[t].fields[i], inst);
                    walk::destroy(h, t, inst);
                }
}

class Fields : public Owning {
protected:
    void SetUp() override {
        test::HandleTest::SetUp();
        qel_standin::set_tracking(h, Tracking::On);
    }
    uint8_t flag(uint32_t t, const FieldDesc &f, void *inst) {
        return call<uint8_t>(walk::op(t, f, "state_flag_get"), h, 1u, inst, &err);
    }
    using Contained = std::pair<const void *, const void *>; // (object, owner)
    // The last report to the containment recording.
    Contained contained() {
        auto c = qel_standin::calls_named(h, "qeldb_record_containment2");
        return c.empty() ? Contained{} : Contained{c.back().obj, c.back().owner};
    }
};

// ---- Values ---------------------------------------------------------------------------

TEST_F(Fields, ValuesStoreTheirWidthAndMarkTheirFlag) {
    h->containment_recording = 1; // set reports its source as the instance's
    each(h, {FieldKind::U8, FieldKind::U16, FieldKind::U32, FieldKind::Boolean, FieldKind::Enum},
         [&](uint32_t t, const FieldDesc &f, void *inst) {
             const unsigned w = arg_width(f);
             auto set_value = [&](uint32_t x) {
                 narrowed(w, x, [&](auto n) { call<void>(walk::op(t, f, "set_value"), h, 1u, inst, n, &err); });
             };
             auto get_value = [&] { return get_narrow(w, walk::op(t, f, "get_value"), h, inst, &err); };
             auto set = [&](const void *p) { call<void>(walk::op(t, f, "set"), h, 1u, inst, p, &err); };
             void *field = call<void *>(walk::op(t, f, "get"), h, 1u, inst, &err);
             EXPECT_EQ(field, static_cast<uint8_t *>(inst) + f.offset);
             EXPECT_EQ(get_value(), 0u);
             EXPECT_EQ(flag(t, f, inst), 0);
             if (f.kind == FieldKind::Enum) { // its values only
                 const auto &e = kTypes[f.ref];
                 const uint32_t last = e.first_value + e.value_count - 1;
                 set_value(last);
                 EXPECT_EQ(err, 0u);
                 call<void>(walk::op(t, f, "state_flag_set"), h, 1u, inst, 0, &err);
                 set_value(last + 1);
                 EXPECT_EQ(st().last_error, 43u);
                 EXPECT_ERR(43u);
                 EXPECT_EQ(get_value(), last);
                 EXPECT_EQ(flag(t, f, inst), 2); // marked though refused
                 // set copies a whole enumeration instance.
                 drov_def_enum_instance src = *static_cast<drov_def_enum_instance *>(field);
                 src.value = e.first_value;
                 set(&src);
                 EXPECT_EQ(get_value(), e.first_value);
                 EXPECT_EQ(contained(), Contained(&src, inst));
                 return;
             }
             // set takes a pointer to the value, little endian: low bytes first.
             const uint32_t mask = w == 1 ? 0xFF : w == 2 ? 0xFFFF : ~0u;
             const uint32_t x = f.kind == FieldKind::Boolean ? 1 : 0xA5C3E1F7 & mask;
             set(&x);
             EXPECT_EQ(contained(), Contained(&x, inst));
             EXPECT_EQ(get_value(), x);
             EXPECT_EQ(flag(t, f, inst), 2);
             EXPECT_EQ(err, 0u);
         });
}

// get_all and set_all: one argument per included field, in field order.
template <class A, size_t... I>
void call_all(const std::string &name, H h, void *inst, const A *a, Err *err, std::index_sequence<I...>) {
    call<void>(name, h, 1u, inst, a[I]..., err);
}
template <size_t N = 0, class A>
void call_n(const std::string &name, H h, void *inst, const A *a, size_t n, Err *err) {
    if constexpr (N > 7) FAIL() << "too many fields";
    else if (n == N) call_all(name, h, inst, a, err, std::make_index_sequence<N>{});
    else call_n<N + 1>(name, h, inst, a, n, err);
}

TEST_F(Fields, GetAllAndSetAllCarryTheValueFieldsOnly) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        const auto &d = kTypes[t];
        void *inst = walk::create(h, t);
        walk::Filler fill{h, std::mt19937(t)};
        fill.fill(t, inst);
        std::vector<const FieldDesc *> gets;
        std::vector<uint32_t> values;
        for (uint32_t i = 0; i < d.field_count; ++i) {
            const FieldDesc &f = d.fields[i];
            const bool value = f.kind == FieldKind::U8 || f.kind == FieldKind::U16 || f.kind == FieldKind::U32 ||
                               f.kind == FieldKind::Boolean || f.kind == FieldKind::Enum;
            if (value || f.kind == FieldKind::Length) gets.push_back(&f);
            if (value)
                values.push_back(f.kind == FieldKind::Enum      ? kTypes[f.ref].first_value + 1
                                 : f.kind == FieldKind::Boolean ? 1 : 0x81 + i);
        }
        std::vector<uint8_t> before(area_of(inst, t), area_of(inst, t) + d.state[d.highest()]);
        call_n(walk::op(t, "set_all"), h, inst, values.data(), values.size(), &err);
        EXPECT_EQ(err, 0u);
        EXPECT_EQ(std::vector<uint8_t>(area_of(inst, t), area_of(inst, t) + before.size()), before);
        // Out pointers of the field's own type, each guarded by a sentinel.
        std::vector<uint64_t> outs(gets.size(), 0xEEEEEEEEEEEEEEEE);
        std::vector<void *> ptrs;
        for (auto &o : outs) ptrs.push_back(&o);
        call_n(walk::op(t, "get_all"), h, inst, ptrs.data(), gets.size(), &err);
        size_t s = 0;
        for (size_t g = 0; g < gets.size(); ++g) {
            const FieldDesc &f = *gets[g];
            const unsigned w = f.kind == FieldKind::Length ? f.width : arg_width(f);
            uint64_t want = 0xEEEEEEEEEEEEEEEE; // a length as the instance holds it
            const void *from = f.kind == FieldKind::Length ? walk::bytes(inst) + f.offset : static_cast<void *>(&values[s++]);
            std::memcpy(&want, from, w);
            EXPECT_EQ(outs[g], want) << f.name;
        }
        walk::destroy(h, t, inst);
    }
}

// ---- Variants ---------------------------------------------------------------------------

// A list owner the domain does not know (variant -1) takes no element: 43, the element stays out.
TEST_F(Fields, AnOwnerOutsideTheDomainTakesNoElement) {
    qel_standin::set_domain_variant(h, "vm_nic_rsp", -1);
    auto *r = make(vm_nic_rsp_create, vm_nic_rsp_destroy);
    auto *e = make(vm_nic_list_create, vm_nic_list_destroy);
    vm_nic_rsp_vm_if_info_set_last(h, 1, r, e, &err);
    EXPECT_ERR(43u);
    EXPECT_EQ(walk::load<void *>(e, 16), nullptr); // in no list
    const uint32_t head = walk::type(walk::index_of("vm_nic_rsp")).fields[0].offset;
    EXPECT_EQ(walk::load<void *>(r, head), walk::bytes(r) + head); // an empty chain
}

TEST_F(Fields, LaterVariantFieldsNeedTheirVariant) {
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    vm_act_rsp_t *r = vm_act_rsp_create(h, 1);
    EXPECT_EQ(vm_act_rsp_owner_len_get(h, 1, r, &err), nullptr);
    EXPECT_ERR(43u);
    EXPECT_EQ(calls("qel_store_epoch_err"), 1u);
    // The handle allows variant 1: setters bring the instance up, sp_type still needs variant 2.
    qel_standin::set_domain_variant(h, "vm_act_rsp", 1);
    vm_act_rsp_owner_set(h, 1, r, "me", 2, &err);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::instance_variant(r), 1);
    vm_act_rsp_sp_type_set_value(h, 1, r, 1, &err);
    EXPECT_ERR(43u);
    qel_standin::set_domain_variant(h, "vm_act_rsp", 5);
    vm_act_rsp_sp_type_set_value(h, 1, r, 4, &err);
    EXPECT_EQ(walk::instance_variant(r), 2);
    EXPECT_EQ(vm_act_rsp_sp_type_get_value(h, 1, r, &err), 4u);
    EXPECT_EQ(err, 0u);
    // A variant-0 instance's destroy still releases the owner block it kept
    // (the handle's leak check).
    reinterpret_cast<int8_t *>(r)[8] = 0;
    vm_act_rsp_destroy(h, 1, r);
}

// ---- Whole objects ------------------------------------------------------------------------

class WholeSet : public Fields, public ::testing::WithParamInterface<Tracking> {};

TEST_P(WholeSet, MovesContentsAndLeavesTheSourceEmpty) {
    const bool on = GetParam() == Tracking::On;
    qel_standin::set_tracking(h, GetParam());
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        const auto &d = kTypes[t];
        void *a = walk::create(h, t), *b = walk::create(h, t), *c = walk::create(h, t);
        walk::Filler fa{h, std::mt19937(t + 1)}, fb{h, std::mt19937(t + 1)}, fc{h, std::mt19937(99)};
        fa.fill(t, a), fb.fill(t, b), fc.fill(t, c);
        ASSERT_EQ(walk::diff(t, a, b), "");
        auto set = [&](void *dst, void *src) { call<void>(walk::op(t, "set"), h, 1u, dst, src, &err); };
        set(a, a);
        EXPECT_EQ(walk::diff(t, a, b), "");
        set(c, a); // c's former contents are freed (or the handle's leak check fails)
        EXPECT_EQ(err, 0u);
        EXPECT_EQ(walk::diff(t, c, b), "");
        std::vector<const void *> left;
        walk::blocks(t, a, left);
        EXPECT_TRUE(left.empty());
        for (uint32_t i = 0; i < d.field_count; ++i) {
            const FieldDesc &f = d.fields[i];
            if (f.kind == FieldKind::String || f.kind == FieldKind::VarArray) {
                EXPECT_EQ(walk::length_of(a, f), 0u) << f.name;
            }
            if (f.kind != FieldKind::List) continue;
            EXPECT_EQ(walk::load<uint32_t>(a, f.offset + 24), 0u);
            for (void *e : walk::elements(c, f)) EXPECT_EQ(walk::load<const void *>(e, 16), walk::bytes(c) + f.offset);
        }
        // The flags came along (vm_id_valid_req's block pointer excepted).
        const uint32_t flags = t == drov::schema::k_vm_id_valid_req ? 8 : d.state[d.highest()];
        for (uint32_t k = 0; on && k < flags; ++k) EXPECT_EQ(area_of(c, t)[k], area_of(b, t)[k]) << k;
        walk::destroy(h, t, a); // frees nothing c uses
        EXPECT_EQ(walk::diff(t, c, b), "");
        walk::destroy(h, t, b);
        walk::destroy(h, t, c);
    }
}

INSTANTIATE_TEST_SUITE_P(Tracking, WholeSet, ::testing::Values(Tracking::Off, Tracking::On), tracking_name);

TEST_F(Fields, WholeSetRefusals) {
    // A destination of a lower variant, or another layout: 43.
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    vm_act_rsp_t *low = vm_act_rsp_create(h, 1);
    qel_standin::set_domain_variant(h, "vm_act_rsp", 2);
    vm_act_rsp_t *high = vm_act_rsp_create(h, 1);
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    vm_act_rsp_set(h, 1, low, high, &err);
    EXPECT_EQ(err, 43u);
    // A pending error does not stop a whole-object set.
    vm_act_rsp_vm_name_set(h, 1, low, "x", 1, &(err = 0));
    vm_act_rsp_set(h, 1, high, low, &(err = 7));
    EXPECT_EQ(vm_act_rsp_vm_name_length_get_value(h, 1, high, &(err = 0)), 1u);
    // Moving an instance into a record field marks the field.
    qel_standin::set_domain_variant(h, "vm_act_rsp", 2);
    vm_nic_rsp_t *nic = vm_nic_rsp_create(h, 1);
    vm_act_rsp_vm_if_rsp_set(h, 1, high, nic, &err);
    EXPECT_EQ(vm_act_rsp_vm_if_rsp_state_flag_get(h, 1, high, &err), 2);
    vm_nic_rsp_destroy(h, 1, nic);
    for (auto *x : {high, low}) vm_act_rsp_destroy(h, 1, x);
}

// A record field of a list element's type (the default profile) never joins a list.
TEST_F(Fields, ANestedRecordNeverJoinsAList) {
    auto *cfg = make(vm_install_cfg_create, vm_install_cfg_destroy);
    vm_veltoprofile_t *p = vm_veltoprofile_create(h, 1);
    vm_install_cfg_profiles_set_last(h, 1, cfg, p, &err);
    vm_install_cfg_default_profile_set(h, 1, cfg, p, &err);
    auto *def = vm_install_cfg_default_profile_get(h, 1, cfg, &err);
    EXPECT_EQ(vm_veltoprofile_profiles_get_parent(h, 1, def, &err), nullptr);
    EXPECT_EQ(vm_install_cfg_profiles_get_count(h, 1, cfg, &err), 1u);
    EXPECT_EQ(err, 0u);
    vm_install_cfg_profiles_set_last(h, 1, cfg, def, &err);
    EXPECT_EQ(err, 22u);
}

// ---- Strings and fixed text ------------------------------------------------------------------

TEST_F(Fields, StringsKeepTheirLengthAndCopyOutTerminated) {
    each(h, {FieldKind::String}, [&](uint32_t t, const FieldDesc &f, void *inst) {
        auto set = [&](const char *s, uint32_t n) {
            narrowed(f.length_width, n, [&](auto x) { call<void>(walk::op(t, f, "set"), h, 1u, inst, s, x, &err); });
        };
        char buf[64];
        auto get = [&](uint32_t size) { call<void>(walk::op(t, f, "get"), h, 1u, inst, buf, size, &err); };
        set("hello world", 11);
        get(sizeof buf);
        EXPECT_STREQ(buf, "hello world");
        get(12);
        EXPECT_EQ(err, 0u);
        get(5);
        EXPECT_ERR(28u);
        EXPECT_STREQ(buf, "hell");
        // The declared length is kept past an early NUL; the rest reads as zeros.
        set("ab\0cd", 5);
        EXPECT_EQ(std::string(walk::load<const char *>(inst, f.offset), 6), std::string("ab\0\0\0\0", 6));
        // A failed allocation: no block, and a length that promises none.
        st().fail_alloc_at = st().alloc_calls + 1;
        st().writes.clear();
        set("xyz", 3);
        EXPECT_ERR(12u);
        EXPECT_EQ(walk::load<const char *>(inst, f.offset), nullptr);
        EXPECT_EQ(walk::length_of(inst, f), 0u);
        const uint8_t *len_at = walk::bytes(inst) + f.length_offset;
        EXPECT_TRUE(std::ranges::any_of(st().writes, [&](const qel_standin::WriteNote &w) {
            return w.addr == len_at && w.len == f.length_width && w.owner == inst;
        })) << "the length's reset is announced";
        get(sizeof buf);
        EXPECT_STREQ(buf, "");
        h->containment_recording = 1; // the new block, one character too, is the instance's
        set("q", 1);
        EXPECT_EQ(contained(), Contained(walk::load<const char *>(inst, f.offset), inst));
        h->containment_recording = 0;
        set(nullptr, 0);
        EXPECT_EQ(walk::load<const char *>(inst, f.offset), nullptr);
        EXPECT_EQ(walk::length_of(inst, f), 0u);
        EXPECT_EQ(err, 0u);
        // _cr: the handle's context and error word.
        h->cur_ctx_id = 3;
        EXPECT_EQ(call<uint32_t>(walk::op(t, f, "set_cr"), h, inst, "cr", 2u), 0u);
        EXPECT_EQ(walk::length_of(inst, f), 2u);
    });
    // The largest length a u16 field holds (its terminator needs one more byte).
    auto *s = make(vm_sta_rsp_create, vm_sta_rsp_destroy);
    const std::string long_text(65535, 'x');
    vm_sta_rsp_ip_route_str_set(h, 1, s, long_text.data(), 65535, &err);
    EXPECT_EQ(vm_sta_rsp_ip_route_str_len_get_value(h, 1, s, &err), 65535u);
}

TEST_F(Fields, FixedTextHoldsItsCapacity) {
    each(h, {FieldKind::Text}, [&](uint32_t t, const FieldDesc &f, void *inst) {
        const uint32_t n = f.width;
        auto set = [&](const std::string &s, int32_t len) {
            call<void>(walk::op(t, f, "set"), h, 1u, inst, s.data(), len, &err);
        };
        std::vector<char> buf(n + 8);
        auto get = [&](uint32_t size) {
            call<void>(walk::op(t, f, "get"), h, 1u, inst, buf.data(), size, &err);
            return std::string(buf.data());
        };
        const std::string full(n, 'p');
        const uint8_t *last = walk::bytes(inst) + f.offset + n;
        st().writes.clear();
        set(full, static_cast<int32_t>(n));
        EXPECT_TRUE(std::ranges::none_of(st().writes, [&](const qel_standin::WriteNote &w) { return w.addr == last; }))
            << "nothing is announced past the capacity";
        EXPECT_EQ(get(n + 1), full);
        EXPECT_EQ(err, 0u);
        EXPECT_EQ(get(n), full.substr(0, n - 1));
        EXPECT_ERR(28u);
        EXPECT_EQ(walk::bytes(inst)[f.offset + n], 0); // the last byte stays zero
        set("ab", 2); // a shorter text is terminated
        EXPECT_EQ(get(n + 1), "ab");
        EXPECT_EQ(get(10), "ab");
        EXPECT_ERR(28u); // the test is against the capacity
        EXPECT_EQ(call<uint32_t>(walk::op(t, f, "set_cr"), h, inst, "cr", 2), 0u);
    });
}

// ---- Arrays ---------------------------------------------------------------------------------

// Six elements, whether fixed or given to a variable array by set_mem: the
// elements, each with its flag, and the whole array's flag.
TEST_F(Fields, ArraysOfSixElementsFlagThemAndTheWhole) {
    each(h, {FieldKind::Array, FieldKind::VarArray}, [&](uint32_t t, const FieldDesc &f, void *inst) {
        auto o = [&](const char *op) { return walk::op(t, f, op); };
        const uint8_t mac[7] = {1, 2, 3, 4, 5, 6, 7}, v = 0x42;
        uint8_t out[7] = {};
        EXPECT_EQ(walk::load<uint8_t>(inst, f.offset), 0);
        {
            Watch w(h); // the whole-array flag it sets is announced first
            w.add(area_of(inst, t) + f.state_index, 1);
            w.start();
            call<void>(o("set_mem"), h, 1u, inst, mac, 6, &err);
            EXPECT_EQ(w.unannounced(area_of(inst, t)), std::vector<long>{});
        }
        call<void>(o("get_mem"), h, 1u, inst, out, 6, &err);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 6), std::vector<uint8_t>(mac, mac + 6));
        auto whole = [&] { return call<uint8_t>(o("state_flag_whole_get"), h, 1u, inst, &err); };
        auto elem = [&](uint32_t i) { return call<uint8_t>(o("state_flag_get"), h, 1u, inst, i, &err); };
        EXPECT_EQ(whole(), 2);
        call<void>(o("state_flag_whole_set"), h, 1u, inst, 0, &err);
        uint8_t *arr = nullptr; // the element flags as a block
        call<void>(o("state_flag_get_arr"), h, 1u, inst, &arr, &err);
        EXPECT_EQ(arr, f.kind == FieldKind::Array ? area_of(inst, t) + f.state_index + 1
                                                  : walk::load<uint8_t *>(area_of(inst, t), f.flag_block));
        {
            Watch w(h); // an element store and a flag store announce the flag byte they change
            w.add(arr, 6);
            w.start();
            call<void>(o("set_value"), h, 1u, inst, 5u, static_cast<uint8_t>(0xEE), &err);
            call<void>(o("state_flag_set"), h, 1u, inst, 3u, 7, &err);
            EXPECT_EQ(w.unannounced(arr), std::vector<long>{});
        }
        EXPECT_EQ(call<uint8_t>(o("get_value"), h, 1u, inst, 5u, &err), 0xEE);
        EXPECT_EQ(whole(), 2);
        EXPECT_EQ(elem(5), 2);
        EXPECT_EQ(elem(3), 7);
        EXPECT_EQ(elem(4), 0);
        EXPECT_EQ((err = QEL_EINVAL, whole()), 0); // refused, with an error pending
        err = 0;
        call<void>(o("set"), h, 1u, inst, 0u, &v, &err);
        EXPECT_EQ(*call<uint8_t *>(o("get"), h, 1u, inst, 0u, &err), 0x42);
        const uint8_t *elems = f.kind == FieldKind::Array ? walk::bytes(inst) + f.offset
                                                          : walk::load<const uint8_t *>(inst, f.offset);
        EXPECT_EQ(call<uint8_t *>(o("get"), h, 1u, inst, 5u, &err), elems + 5);
        EXPECT_EQ(elem(0), 2);
        EXPECT_EQ(err, 0u);
        const uint8_t flags[6] = {9, 8, 7, 6, 5, 4};
        call<void>(o("state_flag_set_arr"), h, 1u, inst, flags, 6, &err);
        EXPECT_EQ(elem(0), 9);
        EXPECT_EQ(elem(5), 4);
        EXPECT_EQ(whole(), 2);
    });
}

// Beyond what it shares with the fixed arrays: growth, and its flags' block.
TEST_F(Fields, TheVariableArrayGrowsAndKeepsItsFlags) {
    vm_id_valid_req_t *q = vm_id_valid_req_create(h, 1);
    const uint8_t seven = 7;
    auto len = [&] { return vm_id_valid_req_credentials_len_get_value(h, 1, q, &err); };
    auto flag_at = [&](uint32_t i) { return vm_id_valid_req_credentials_state_flag_get(h, 1, q, i, &err); };
    vm_id_valid_req_credentials_set(h, 1, q, 5, &seven, &err);
    EXPECT_EQ(len(), 6u);
    uint8_t out[16] = {};
    vm_id_valid_req_credentials_get_mem(h, 1, q, out, 6, &err);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0, 0, 0, 0, 0, 7}));
    EXPECT_TRUE(qel_standin::traces().empty()); // a first block is no regrowth
    EXPECT_EQ(flag_at(5), 2);
    vm_id_valid_req_credentials_state_flag_set(h, 1, q, 1, 3, &err);
    // Growing an existing block: traced once in the process.
    vm_id_valid_req_credentials_set(h, 1, q, 9, &seven, &err);
    EXPECT_EQ(trace_texts(), std::vector<std::string>{"Reallocating resource for vm_id_valid_req"});
    EXPECT_EQ(len(), 10u);
    EXPECT_EQ(flag_at(1), 3); // kept
    EXPECT_EQ(flag_at(9), 2);
    EXPECT_EQ(vm_id_valid_req_credentials_get_value(h, 1, q, 5, &err), 7);
    EXPECT_EQ(vm_id_valid_req_credentials_set_cr(h, q, 12, 1), 0u);
    EXPECT_EQ(qel_standin::traces().size(), 1u);
    EXPECT_EQ(flag_at(12), 2);
    // A failed regrowth of the flags: no short block is left behind.
    st().fail_alloc_at = st().alloc_calls + 2;
    vm_id_valid_req_credentials_set(h, 1, q, 20, &seven, &err);
    EXPECT_ERR(12u);
    EXPECT_EQ(len(), 21u);
    EXPECT_EQ(flag_at(19), 0);
    vm_id_valid_req_credentials_state_flag_set(h, 1, q, 20, 4, &err);
    EXPECT_EQ(flag_at(20), 4);
    // set_mem replaces elements and flags; remove_elements drops the elements.
    const uint8_t three[3] = {1, 2, 3};
    vm_id_valid_req_credentials_state_flag_set(h, 1, q, 2, 6, &err);
    vm_id_valid_req_credentials_set_mem(h, 1, q, three, 3, &err);
    EXPECT_EQ(flag_at(2), 0);
    EXPECT_EQ(err, 0u);
    vm_id_valid_req_credentials_remove_elements(h, 1, q);
    EXPECT_EQ(len(), 0u);
    vm_id_valid_req_credentials_get_mem(h, 1, q, nullptr, 0, &err); // none of none: no refusal
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::load<uint8_t *>(q, 24), nullptr);
    EXPECT_NE(walk::load<uint8_t *>(q, 48), nullptr);
    vm_id_valid_req_destroy(h, 1, q);
    // Without tracking there are no flags to keep.
    qel_standin::set_tracking(h, Tracking::Off);
    q = vm_id_valid_req_create(h, 1);
    vm_id_valid_req_credentials_set(h, 1, q, 3, &seven, &err);
    EXPECT_EQ(vm_id_valid_req_credentials_get_value(h, 1, q, 3, &err), 7);
    vm_id_valid_req_destroy(h, 1, q);
}

// ---- Lists ----------------------------------------------------------------------------------

TEST_F(Fields, ListsKeepOrderCountAndParent) {
    each(h, {FieldKind::List}, [&](uint32_t t, const FieldDesc &f, void *owner) {
        const uint32_t et = static_cast<uint32_t>(f.ref);
        auto o = [&](const char *op) { return walk::op(t, f, op); };
        auto put = [&](const char *op, void *e) { call<void>(o(op), h, 1u, owner, e, &err); };
        auto put_at = [&](const char *op, void *ref, void *e) { call<void>(o(op), h, 1u, owner, ref, e, &err); };
        auto step = [&](const char *op, void *ref) { return call<void *>(o(op), h, 1u, owner, ref, &err); };
        auto end = [&](const char *op) { return call<void *>(o(op), h, 1u, owner, &err); };
        auto count = [&] { return call<uint32_t>(o("get_count"), h, 1u, owner, &err); };
        auto parent = [&](void *e) {
            return call<void *>(std::string(kTypes[et].name) + "_" + f.name + "_get_parent", h, 1u, e, &err);
        };
        auto get_cr = [&](uint32_t how, void *ref) { return call<void *>(o("get_cr"), h, owner, how, ref); };
        auto add_cr = [&](void *e, uint32_t how, void *ref) { return call<uint32_t>(o("add_cr"), h, owner, e, how, ref); };
        void *e[6];
        for (auto &x : e) x = walk::create(h, et);
        EXPECT_EQ(end("get_first"), nullptr);
        st().last_error = QEL_EINVAL; // an insertion begins by clearing the last error
        put("set_last", e[1]);
        EXPECT_EQ(st().last_error, 0u);
        EXPECT_EQ(end("get_first"), e[1]);
        EXPECT_EQ(walk::load<const void *>(e[1], 24), walk::bytes(owner) + f.offset); // next: the head
        put("set_first", e[0]);
        put_at("set_after", e[1], e[3]);
        put_at("set_before", e[3], e[2]);
        EXPECT_EQ(err, 0u);
        EXPECT_EQ(count(), 4u);
        // A whole-object set between two listed elements leaves each where it is.
        call<void>(walk::op(et, "set"), h, 1u, e[1], e[2], &err);
        h->containment_recording = 1; // the readers report each element they hand out
        st().calls.clear();
        std::vector<void *> fwd;
        for (void *x = end("get_first"); x != nullptr; x = step("get_next", x)) fwd.push_back(x);
        h->containment_recording = 0;
        EXPECT_EQ(fwd, (std::vector<void *>{e[0], e[1], e[2], e[3]}));
        std::vector<Contained> reported, want;
        for (const auto &c : qel_standin::calls_named(h, "qeldb_record_containment2"))
            reported.emplace_back(c.obj, c.owner);
        for (void *x : fwd) want.emplace_back(x, owner);
        EXPECT_EQ(reported, want);
        EXPECT_EQ(parent(e[2]), owner);
        EXPECT_EQ(parent(e[4]), nullptr);
        // Removal: the element is the caller's; the flag is left as it was.
        call<void>(o("state_flag_set"), h, 1u, owner, 0, &err);
        put("remove", e[0]);
        put("remove", e[3]);
        EXPECT_EQ(count(), 2u);
        EXPECT_EQ(end("get_first"), e[1]);
        EXPECT_EQ(step("get_prev", e[1]), nullptr);
        EXPECT_EQ(step("get_next", e[2]), nullptr);
        EXPECT_EQ(parent(e[0]), nullptr);
        EXPECT_EQ(call<uint8_t>(o("state_flag_get"), h, 1u, owner, &err), 0);
        // The _cr forms.
        EXPECT_EQ(add_cr(e[0], 0, nullptr), 0u);
        EXPECT_EQ(add_cr(e[3], 1, nullptr), 0u);
        EXPECT_EQ(add_cr(e[4], 2, e[3]), 0u);
        EXPECT_EQ(get_cr(0, nullptr), e[0]);
        EXPECT_EQ(get_cr(1, nullptr), e[3]);
        EXPECT_EQ(get_cr(2, e[3]), e[4]);
        EXPECT_EQ(get_cr(3, e[3]), nullptr);
        EXPECT_EQ(get_cr(2, e[0]), nullptr);
        qel_standin::reset_global();
        EXPECT_EQ(get_cr(4, nullptr), nullptr);
        EXPECT_EQ(h->err, 22u);
        EXPECT_EQ(last_trace(), "invalid list get flag %d");
        EXPECT_EQ(qel_standin::traces().back().args.size(), 1u);
        EXPECT_EQ(qel_standin::traces().back().args.at(0).u, 4u);
        h->err = 0;
        EXPECT_EQ(add_cr(e[5], 4, nullptr), 22u);
        EXPECT_EQ(last_trace(), "invalid list add flag %d");
        h->err = 0;
        EXPECT_EQ(call<uint32_t>(o("remove_cr"), h, owner, e[4]), 0u);
        EXPECT_EQ(count(), 4u);
        walk::destroy(h, et, e[4]); // the owner destroys the listed ones
        walk::destroy(h, et, e[5]);
    });
}

// ---- Refusals ------------------------------------------------------------------------------

// Each refused call on every field of its kind: its error number, and the instance, filled at
// random (a variable array with six elements), left byte for byte as it was.
TEST_F(Fields, RefusalsLeaveTheInstanceAsItWas) {
    using K = FieldKind;
    using Call = std::function<uint32_t(uint32_t, const FieldDesc &, void *)>;
    auto o = [](uint32_t t, const FieldDesc &f, const char *op) { return walk::op(t, f, op); };
    uint8_t buf[512] = {};
    // op(h, 1, instance, a..., err), its error word the answer.
    auto plain = [&](const char *op, auto... a) -> Call {
        return [&, op, a...](uint32_t t, const FieldDesc &f, void *i) {
            call<void>(walk::op(t, f, op), h, 1u, i, a..., &err);
            return err;
        };
    };
    const uint8_t *bytes = buf;
    void *elem = nullptr, *listed = nullptr; // a list element of the field's type, one listed
    struct Row {
        std::vector<K> kinds;
        const char *what;
        uint32_t code;
        Call call;
        Tracking tracking = Tracking::On; // when the instance is made and the call made
        const char *trace = nullptr;      // the last trace ("": none), when given
    };
    const std::vector<K> flagged = {K::U8,     K::U16,    K::U32,  K::Boolean, K::Enum,
                                    K::IfHandle, K::Record, K::String, K::Text,  K::List};
    const Row rows[] = {
        // A handle that does not track; one without record, whose instances are not tracked.
        {flagged, "state_flag_get, no tracking", 22, plain("state_flag_get"), Tracking::Off, ""},
        {flagged, "state_flag_set, no tracking", 22, plain("state_flag_set", 1), Tracking::Off, ""},
        {flagged, "state_flag_get, no record", 22, plain("state_flag_get"), Tracking::Absent,
         "The object is non state tracked"},
        {flagged, "state_flag_set, no record", 22, plain("state_flag_set", 1), Tracking::Absent,
         "The object is not state tracked"},
        {{K::U8, K::U16, K::U32, K::Boolean, K::Enum, K::IfHandle}, "set null", 22, plain("set", nullptr)},
        {{K::String}, "get into 0 bytes", 22, plain("get", bytes, 0u)},
        {{K::String}, "set_cr null", 22, [&](uint32_t t, const FieldDesc &f, void *i) {
             narrowed(f.length_width, 4, [&](auto n) { call<uint32_t>(o(t, f, "set_cr"), h, i, nullptr, n); });
             return h->err;
         }},
        {{K::String}, "no room for the terminator", 22, [&](uint32_t t, const FieldDesc &f, void *i) {
             const uint64_t allocs = st().alloc_calls;
             if (f.length_width == 4) call<void>(o(t, f, "set"), h, 1u, i, "x", UINT32_MAX, &err);
             else err = 22;
             EXPECT_EQ(st().alloc_calls, allocs);
             return err;
         }},
        {{K::Text}, "set past the capacity", 22, [&](uint32_t t, const FieldDesc &f, void *i) {
             const std::string s(f.width + 1, 'q');
             return call<void>(o(t, f, "set"), h, 1u, i, s.data(), static_cast<int32_t>(s.size()), &err), err;
         }},
        {{K::Text}, "set -1", 22, plain("set", "x", -1)},
        {{K::Text}, "get into 0 bytes", 22, plain("get", bytes, 0u)},
        {{K::Text}, "set_cr past the capacity", 22, [&](uint32_t t, const FieldDesc &f, void *i) {
             const std::string s(f.width + 1, 'q');
             return call<uint32_t>(o(t, f, "set_cr"), h, i, s.data(), static_cast<int32_t>(s.size()));
         }},
        {{K::Array}, "set_mem of 7", 22, plain("set_mem", bytes, 7)},
        {{K::Array}, "set_mem of -1", 22, plain("set_mem", bytes, -1)},
        {{K::Array, K::VarArray}, "get_mem of 7", 22, plain("get_mem", buf + 0, 7)},
        {{K::Array}, "set_mem_cr of 7", 22,
         [&](uint32_t t, const FieldDesc &f, void *i) { return call<uint32_t>(o(t, f, "set_mem_cr"), h, i, buf, 7); }},
        {{K::Array, K::VarArray}, "set_value past the end", 2, plain("set_value", 6u, uint8_t{1})},
        {{K::Array}, "set past the end", 2, plain("set", 6u, bytes)},
        {{K::Array, K::VarArray}, "get past the end", 2, [&](uint32_t t, const FieldDesc &f, void *i) {
             EXPECT_EQ(call<void *>(o(t, f, "get"), h, 1u, i, 6u, &err), nullptr);
             return err;
         }},
        {{K::Array, K::VarArray}, "state_flag_get past the end", 2, plain("state_flag_get", 6u)},
        {{K::Array, K::VarArray}, "state_flag_set_arr one short", 2, plain("state_flag_set_arr", bytes, 5)},
        {{K::List}, "set_last of a listed element", 22,
         [&](uint32_t t, const FieldDesc &f, void *i) { return call<void>(o(t, f, "set_last"), h, 1u, i, listed, &err), err; }},
        {{K::List}, "set_after an element of no list", 22, [&](uint32_t t, const FieldDesc &f, void *i) {
             return call<void>(o(t, f, "set_after"), h, 1u, i, elem, elem, &err), err;
         }},
        {{K::List}, "remove of an element of no list", 22,
         [&](uint32_t t, const FieldDesc &f, void *i) { return call<void>(o(t, f, "remove"), h, 1u, i, elem, &err), err; }},
    };
    for (uint32_t t = 0; t < walk::kStructs; ++t)
        for (uint32_t k = 0; k < kTypes[t].field_count; ++k)
            for (const Row &r : rows) {
                const FieldDesc &f = kTypes[t].fields[k];
                if (std::find(r.kinds.begin(), r.kinds.end(), f.kind) == r.kinds.end()) continue;
                SCOPED_TRACE(walk::op(t, f, "") + " " + r.what);
                qel_standin::set_tracking(h, r.tracking);
                void *inst = walk::create(h, t);
                walk::Filler fill{h, std::mt19937(k)};
                fill.min_length = 2;
                fill.fill(t, inst);
                if (f.kind == K::VarArray) // six elements, as every fixed array has
                    call<void>(walk::op(t, f, "set_mem"), h, 1u, inst, buf, 6, &err);
                if (f.kind == K::List) {
                    elem = walk::create(h, static_cast<uint32_t>(f.ref));
                    listed = walk::create(h, static_cast<uint32_t>(f.ref));
                    call<void>(walk::op(t, f, "set_last"), h, 1u, inst, listed, &err);
                }
                const size_t size = st().live.at(inst);
                const std::vector<uint8_t> before(walk::bytes(inst), walk::bytes(inst) + size);
                qel_standin::reset_global();
                EXPECT_EQ(r.call(t, f, inst), r.code);
                EXPECT_EQ(std::vector<uint8_t>(walk::bytes(inst), walk::bytes(inst) + size), before);
                if (r.trace != nullptr) {
                    EXPECT_EQ(trace_texts(), *r.trace ? std::vector<std::string>{r.trace} : std::vector<std::string>{});
                }
                err = h->err = 0;
                if (elem != nullptr) walk::destroy(h, static_cast<uint32_t>(f.ref), elem);
                elem = listed = nullptr;
                walk::destroy(h, t, inst);
                qel_standin::set_tracking(h, Tracking::On);
            }
}

// ---- Announcements ----------------------------------------------------------------------------

// Every store into instance memory is announced before it is made: each field of every type set in
// turn and set again over what it holds, the whole object moved in (both sides); then list elements
// removed, reinserted and destroyed while linked, elements dropped, the embedded mark.
TEST_F(Fields, EveryStoreIsAnnouncedFirst) {
    Watch w(h);
    auto announced = [&](const void *base, auto op) {
        w.start();
        op();
        EXPECT_EQ(w.unannounced(base), std::vector<long>{});
    };
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        const auto &d = kTypes[t];
        const size_t size = d.alloc_size() + d.state[d.variants - 1];
        void *inst = walk::create(h, t), *src = walk::create(h, t);
        walk::Filler fill{h, std::mt19937(t)};
        fill.fill(t, src);
        w.add(inst, size);
        for (int round = 0; round < 2; ++round)
            for (uint32_t i = 0; i < d.field_count; ++i)
                announced(inst, [&] { fill.field(t, inst, d.fields[i]); });
        w.add(src, size);
        announced(inst, [&] { call<void>(walk::op(t, "set"), h, 1u, inst, src, &err); });
        EXPECT_EQ(err, 0u);
        w.clear();
        walk::destroy(h, t, inst);
        walk::destroy(h, t, src);
    }
    // Exactly the bytes about to change, with their owner.
    auto *a = make(vm_act_rsp_create, vm_act_rsp_destroy), *b = make(vm_act_rsp_create, vm_act_rsp_destroy);
    auto *ab = reinterpret_cast<uint8_t *>(a);
    w.start();
    vm_act_rsp_rc_set_value(h, 1, a, 2, &err);
    EXPECT_EQ(w.note_at(ab + 24 + 12)->bytes.size(), 4u);
    w.start();
    vm_act_rsp_vm_name_set(h, 1, a, "name", 4, &err);
    for (auto [at, n] : {std::pair{16, 8u}, std::pair{12, 4u}, std::pair{184, 1u}}) {
        ASSERT_NE(w.note_at(ab + at), nullptr) << at;
        EXPECT_EQ(w.note_at(ab + at)->bytes.size(), n) << at;
        EXPECT_EQ(w.note_at(ab + at)->owner, a) << at;
    }
    w.start();
    vm_act_rsp_set(h, 1, a, b, &err);
    EXPECT_EQ(w.note_at(ab)->bytes.size(), 184u);

    auto *r = make(vm_nic_rsp_create, vm_nic_rsp_destroy);
    w.add(r, 56 + 1);
    vm_nic_list_t *es[3];
    for (auto &e : es) {
        e = vm_nic_list_create(h, 1);
        w.add(e, 173);
        vm_nic_rsp_vm_if_info_set_last(h, 1, r, e, &err);
    }
    announced(r, [&] { vm_nic_rsp_vm_if_info_remove(h, 1, r, es[1], &err); });
    announced(r, [&] { vm_nic_rsp_vm_if_info_set_before(h, 1, r, es[0], es[1], &err); });
    // An element destroyed while linked (es[0], now between the others) leaves its list.
    w.forget(es[0], 173);
    announced(r, [&] { vm_nic_list_destroy(h, 1, es[0]); });
    const auto *left = w.note_at(reinterpret_cast<uint8_t *>(es[0]) + 16); // its list link
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->owner, es[0]);
    EXPECT_EQ(vm_nic_rsp_vm_if_info_get_count(h, 1, r, &err), 2u);
    EXPECT_EQ(vm_nic_rsp_vm_if_info_get_next(h, 1, r, es[1], &err), es[2]);
    EXPECT_EQ(vm_nic_rsp_vm_if_info_get_prev(h, 1, r, es[2], &err), es[1]);
    announced(r, [&] { vm_nic_rsp_set_instance_embedded(h, 1, r); });
    auto *q = make(vm_id_valid_req_create, vm_id_valid_req_destroy);
    const uint8_t one = 1;
    vm_id_valid_req_credentials_set(h, 1, q, 3, &one, &err);
    w.add(q, 56);
    announced(q, [&] { vm_id_valid_req_credentials_remove_elements(h, 1, q); });
    EXPECT_EQ(err, 0u);
    w.clear();
}

} // namespace
