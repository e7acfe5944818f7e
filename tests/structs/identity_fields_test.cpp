// Comparison and hashing: equal contents compare 0 and hash alike, any one
// field's change is seen (whatever the variants), and the documented
// values and hash sequence.
#include <string>
#include <vector>

#include "schema_walk.h"
#include "support.h"

namespace {

namespace walk = test::walk;
using walk::FieldDesc;
using walk::FieldKind;
using Compare = int32_t (*)(const void *, const void *);
using Hash = uint32_t (*)(const void *, uint32_t);
using H = qel_handle_t *;

int sign(int32_t v) { return (v > 0) - (v < 0); }

class Identity : public test::HandleTest {
protected:
    // Two instances of type t with the same contents.
    std::pair<void *, void *> twins(uint32_t t, uint32_t start) {
        void *a = walk::create(h, t);
        void *b = walk::create(h, t);
        walk::Filler fa{h, std::mt19937(start)}, fb{h, std::mt19937(start)};
        fa.with_nuls = fb.with_nuls = false; // so that a changed character is stored
        // No empty string or array: zero bytes hash to 0, which would hide
        // every field before them from the hash.
        fa.min_length = fb.min_length = 1;
        fa.fill(t, a);
        fb.fill(t, b);
        EXPECT_EQ(fa.err + fb.err, 0u);
        return {a, b};
    }
    template <class Fn> Fn f(uint32_t t, const FieldDesc &d, const char *op) {
        return walk::fn<Fn>(walk::op(t, d, op));
    }

    // Changes field i of inst (of type t) through its setters, or, for a
    // length field, lowers the length alone.  Records are changed in their
    // first field, lists in their last element (or by one more element).
    void change(uint32_t t, void *inst, uint32_t i) {
        const FieldDesc &d = walk::type(t).fields[i];
        switch (d.kind) {
        case FieldKind::U8: case FieldKind::U16: case FieldKind::U32: case FieldKind::Boolean: {
            uint32_t v = f<uint32_t (*)(H, uint32_t, void *, uint32_t *)>(t, d, "get_value")(h, 1, inst, &err);
            if (d.kind == FieldKind::U8)
                f<void (*)(H, uint32_t, void *, uint8_t, uint32_t *)>(t, d, "set_value")(h, 1, inst, static_cast<uint8_t>(v + 1), &err);
            else if (d.kind == FieldKind::U16)
                f<void (*)(H, uint32_t, void *, uint16_t, uint32_t *)>(t, d, "set_value")(h, 1, inst, static_cast<uint16_t>(v + 1), &err);
            else
                f<void (*)(H, uint32_t, void *, uint32_t, uint32_t *)>(t, d, "set_value")(h, 1, inst, d.kind == FieldKind::Boolean ? !v : v + 1, &err);
            break;
        }
        case FieldKind::Enum: {
            const auto &e = walk::type(static_cast<uint32_t>(d.ref));
            uint32_t v = f<uint32_t (*)(H, uint32_t, void *, uint32_t *)>(t, d, "get_value")(h, 1, inst, &err);
            f<void (*)(H, uint32_t, void *, uint32_t, uint32_t *)>(t, d, "set_value")(
                h, 1, inst, e.first_value + (v - e.first_value + 1) % e.value_count, &err);
            break;
        }
        case FieldKind::IfHandle: {
            uint32_t v = *f<uint32_t *(*)(H, uint32_t, void *, uint32_t *)>(t, d, "get")(h, 1, inst, &err) + 1;
            f<void (*)(H, uint32_t, void *, const uint32_t *, uint32_t *)>(t, d, "set")(h, 1, inst, &v, &err);
            break;
        }
        case FieldKind::Record: {
            void *nested = f<void *(*)(H, uint32_t, void *, uint32_t *)>(t, d, "get")(h, 1, inst, &err);
            const auto r = static_cast<uint32_t>(d.ref);
            change(r, nested, walk::type(r).fields[0].kind == FieldKind::Length ? 1 : 0);
            break;
        }
        case FieldKind::Length: {
            // The length alone, one lower; the block keeps its characters.
            auto *p = static_cast<uint8_t *>(inst) + d.offset;
            if (d.width == 1) *p -= 1;
            else if (d.width == 2) *reinterpret_cast<uint16_t *>(p) -= 1;
            else *reinterpret_cast<uint32_t *>(p) -= 1;
            break;
        }
        case FieldKind::String: {
            // Same length, last character changed; an empty one gets one.
            const auto &len_field = walk::type(t).fields[d.length_field];
            std::string s(walk::length_of(inst, d), '\0');
            if (!s.empty()) std::memcpy(s.data(), walk::load<const char *>(inst, d.offset), s.size());
            if (s.empty()) s = "x"; else s.back() ^= 1;
            if (len_field.width == 1)
                f<void (*)(H, uint32_t, void *, const char *, uint8_t, uint32_t *)>(t, d, "set")(h, 1, inst, s.data(), static_cast<uint8_t>(s.size()), &err);
            else if (len_field.width == 2)
                f<void (*)(H, uint32_t, void *, const char *, uint16_t, uint32_t *)>(t, d, "set")(h, 1, inst, s.data(), static_cast<uint16_t>(s.size()), &err);
            else
                f<void (*)(H, uint32_t, void *, const char *, uint32_t, uint32_t *)>(t, d, "set")(h, 1, inst, s.data(), static_cast<uint32_t>(s.size()), &err);
            break;
        }
        case FieldKind::Text: {
            char *p = static_cast<char *>(inst) + d.offset;
            std::string s(p, strnlen(p, d.width));
            if (s.empty()) s = "x"; else s.back() ^= 1;
            f<void (*)(H, uint32_t, void *, const char *, int32_t, uint32_t *)>(t, d, "set")(h, 1, inst, s.data(), static_cast<int32_t>(s.size()), &err);
            break;
        }
        case FieldKind::Array:
        case FieldKind::VarArray: {
            uint64_t n = d.kind == FieldKind::Array ? d.width : walk::length_of(inst, d);
            uint32_t last = n == 0 ? 0 : static_cast<uint32_t>(n - 1);
            uint8_t v = n == 0 ? 1 : static_cast<uint8_t>(f<uint8_t (*)(H, uint32_t, void *, uint32_t, uint32_t *)>(t, d, "get_value")(h, 1, inst, last, &err) + 1);
            f<void (*)(H, uint32_t, void *, uint32_t, const uint8_t *, uint32_t *)>(t, d, "set")(h, 1, inst, last, &v, &err);
            break;
        }
        case FieldKind::List: {
            // With elements, the last one changes (the count stays);
            // without, one is added.
            const auto r = static_cast<uint32_t>(d.ref);
            std::vector<void *> elems = walk::elements(inst, d);
            if (!elems.empty()) {
                change(r, elems.back(), walk::type(r).fields[0].kind == FieldKind::Length ? 1 : 0);
                break;
            }
            void *e = walk::create(h, r);
            f<void (*)(H, uint32_t, void *, void *, uint32_t *)>(t, d, "set_last")(h, 1, inst, e, &err);
            break;
        }
        }
    }
};

// For every field of every type: twins compare 0 and hash alike; after the
// field is changed in one of them they do not, in both directions, also
// when both instances are taken down to variant 0 (the field may then lie
// above both their variants).
TEST_F(Identity, AnySingleFieldChangeIsSeen) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        auto compare = walk::fn<Compare>(walk::op(t, "compare"));
        auto hash = walk::fn<Hash>(walk::op(t, "hash"));
        const auto &td = walk::type(t);
        for (uint32_t i = 0; i < td.field_count; ++i) {
            SCOPED_TRACE(walk::name(t) + "." + td.fields[i].name);
            auto [a, b] = twins(t, 100 + i);
            if (td.fields[i].kind == FieldKind::List) { // the same element on each, then changed
                const auto r = static_cast<uint32_t>(td.fields[i].ref);
                void *ea = walk::create(h, r);
                void *eb = walk::create(h, r);
                walk::Filler fa{h, std::mt19937(i)}, fb{h, std::mt19937(i)};
                fa.with_nuls = fb.with_nuls = false;
                fa.min_length = fb.min_length = 1;
                fa.fill(r, ea);
                fb.fill(r, eb);
                const std::string set_last = walk::op(t, td.fields[i], "set_last");
                walk::fn<void (*)(H, uint32_t, void *, void *, uint32_t *)>(set_last)(h, 1, a, ea, &err);
                walk::fn<void (*)(H, uint32_t, void *, void *, uint32_t *)>(set_last)(h, 1, b, eb, &err);
            }
            // Strings and arrays need something to lower and change.
            if (td.fields[i].kind == FieldKind::Length) change(t, a, i + 1), change(t, b, i + 1);
            ASSERT_EQ(compare(a, b), 0);
            ASSERT_EQ(hash(a, 17), hash(b, 17));
            change(t, b, i);
            ASSERT_EQ(err, 0u);
            for (int8_t v : {walk::instance_variant(a), int8_t{0}}) {
                static_cast<int8_t *>(a)[8] = static_cast<int8_t *>(b)[8] = v;
                EXPECT_NE(compare(a, b), 0) << int(v);
                EXPECT_EQ(sign(compare(a, b)), -sign(compare(b, a)));
                EXPECT_NE(hash(a, 17), hash(b, 17));
            }
            static_cast<int8_t *>(a)[8] = static_cast<int8_t *>(b)[8] = td.highest();
            walk::destroy(h, t, a);
            walk::destroy(h, t, b);
        }
    }
}

TEST_F(Identity, RandomPairsOrderAntisymmetrically) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        auto compare = walk::fn<Compare>(walk::op(t, "compare"));
        walk::Filler fill{h, std::mt19937(t)};
        fill.max_elements = 2;
        for (int round = 0; round < 20; ++round) {
            void *a = walk::create(h, t);
            void *b = walk::create(h, t);
            fill.fill(t, a);
            fill.fill(t, b);
            EXPECT_EQ(sign(compare(a, b)), -sign(compare(b, a))) << walk::name(t);
            EXPECT_EQ(compare(a, a), 0);
            walk::destroy(h, t, a);
            walk::destroy(h, t, b);
        }
    }
}

TEST_F(Identity, NullInstances) {
    vm_id_t *v = vm_id_create(h, 1);
    EXPECT_EQ(vm_id_compare(nullptr, nullptr), 0);
    EXPECT_EQ(vm_id_compare(nullptr, v), -1);
    EXPECT_EQ(vm_id_compare(v, nullptr), 1);
    EXPECT_EQ(vm_id_hash(nullptr, 1234), 1234u);
    vm_id_id_set_value(h, 1, v, 99, &err);
    uint32_t id = 99;
    EXPECT_EQ(vm_id_hash(v, 1234), u_int32_hash(&id, 1234));
    vm_id_destroy(h, 1, v);
}

TEST_F(Identity, DocumentedValues) {
    vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
    vm_act_rsp_t *b = vm_act_rsp_create(h, 1);
    // The length decides before any character is looked at.
    vm_act_rsp_vm_name_set(h, 1, a, "ab", 2, &err);
    vm_act_rsp_vm_name_set(h, 1, b, "abc", 3, &err);
    EXPECT_EQ(vm_act_rsp_compare(a, b), -1);
    EXPECT_EQ(vm_act_rsp_compare(b, a), 1);
    vm_act_rsp_vm_name_set(h, 1, b, "ab", 2, &err);
    EXPECT_EQ(vm_act_rsp_compare(a, b), 0);
    vm_act_rsp_vm_name_set(h, 1, b, "ad", 2, &err);
    EXPECT_LT(vm_act_rsp_compare(a, b), 0);
    vm_act_rsp_vm_name_set(h, 1, b, "ab", 2, &err);
    // Enumerations: a signed difference.
    vm_act_rsp_rc_set_value(h, 1, a, 2, &err);
    EXPECT_EQ(vm_act_rsp_compare(a, b), 2);
    EXPECT_EQ(vm_act_rsp_compare(b, a), -2);
    vm_act_rsp_rc_set_value(h, 1, a, 0, &err);
    // Scalars: -1, 0, 1 however far apart.
    vm_act_rsp_vm_uid_set_value(h, 1, a, 0xFFFFFFFFu, &err);
    EXPECT_EQ(vm_act_rsp_compare(a, b), 1);
    EXPECT_EQ(vm_act_rsp_compare(b, a), -1);
    ASSERT_EQ(err, 0u);
    vm_act_rsp_destroy(h, 1, a);
    vm_act_rsp_destroy(h, 1, b);

    // Lists: the counts decide first, whatever the elements hold; two empty
    // lists are equal and the next field decides.
    vm_mac_pool_t *p = vm_mac_pool_create(h, 1);
    vm_mac_pool_t *q = vm_mac_pool_create(h, 1);
    for (int k = 0; k < 5; ++k) {
        vm_mac_pool_addr_t *e = vm_mac_pool_addr_create(h, 1);
        const uint8_t mac[6] = {static_cast<uint8_t>(k < 2 ? 0xFF : 0), 0, 0, 0, 0, 0};
        vm_mac_pool_addr_mac_addr_set_mem(h, 1, e, mac, 6, &err);
        vm_mac_pool_mac_addr_list_set_last(h, 1, k < 2 ? p : q, e, &err);
    }
    EXPECT_EQ(vm_mac_pool_compare(p, q), -1);
    EXPECT_EQ(vm_mac_pool_compare(q, p), 1);
    vm_mac_pool_destroy(h, 1, p);
    vm_mac_pool_destroy(h, 1, q);
    p = vm_mac_pool_create(h, 1);
    q = vm_mac_pool_create(h, 1);
    const uint8_t low[6] = {1, 2, 3, 4, 5, 6}, high[6] = {1, 2, 3, 4, 5, 0xF6};
    vm_mac_pool_mac_base_set_mem(h, 1, p, high, 6, &err);
    vm_mac_pool_mac_base_set_mem(h, 1, q, low, 6, &err);
    EXPECT_EQ(vm_mac_pool_compare(p, q), 1); // a fixed array gives -1 or 1
    EXPECT_EQ(vm_mac_pool_compare(q, p), -1);
    vm_mac_pool_destroy(h, 1, p);
    vm_mac_pool_destroy(h, 1, q);
}

TEST_F(Identity, FixedTextIsComparedAndHashedOverItsCapacity) {
    vm_profile_t *a = vm_profile_create(h, 1);
    vm_profile_t *b = vm_profile_create(h, 1);
    vm_profile_name_set(h, 1, a, "edge", 4, &err);
    vm_profile_name_set(h, 1, b, "edge", 4, &err);
    // (an empty selected_profile_name would start the hash over after them)
    vm_profile_selected_profile_name_set(h, 1, a, "sel", 3, &err);
    vm_profile_selected_profile_name_set(h, 1, b, "sel", 3, &err);
    ASSERT_EQ(err, 0u);
    auto *name_b = reinterpret_cast<char *>(b) + 11;
    // A byte after the terminator counts...
    name_b[63] = 'z';
    EXPECT_LT(vm_profile_compare(a, b), 0);
    EXPECT_NE(vm_profile_hash(a, 0), vm_profile_hash(b, 0));
    // ...the byte kept after the capacity for the terminator does not.
    name_b[63] = 0;
    name_b[64] = 'z';
    EXPECT_EQ(vm_profile_compare(a, b), 0);
    EXPECT_EQ(vm_profile_hash(a, 0), vm_profile_hash(b, 0));
    auto *path_b = reinterpret_cast<char *>(b) + 76;
    path_b[256] = 'z';
    EXPECT_EQ(vm_profile_compare(a, b), 0);
    EXPECT_EQ(vm_profile_hash(a, 0), vm_profile_hash(b, 0));
    path_b[255] = 'z';
    EXPECT_LT(vm_profile_compare(a, b), 0);
    path_b[255] = path_b[256] = name_b[64] = 0;
    vm_profile_destroy(h, 1, a);
    vm_profile_destroy(h, 1, b);
}

// The hash of a vm_act_rsp, step by step with the runtime's functions in
// the documented order; an empty string hashes zero bytes, which gives 0
// and starts the running hash over.
TEST_F(Identity, ActResponseHashSequence) {
    for (bool empty_name : {false, true}) {
        vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
        const std::string name = empty_name ? "" : "vm-name-17";
        vm_act_rsp_vm_name_set(h, 1, a, name.data(), static_cast<uint32_t>(name.size()), &err);
        vm_act_rsp_rc_set_value(h, 1, a, 2, &err);
        vm_nic_rsp_t *rsp = vm_act_rsp_vm_if_rsp_get(h, 1, a, &err);
        vm_nic_list_t *e = vm_nic_list_create(h, 1);
        vm_nic_rsp_vm_if_info_set_last(h, 1, rsp, e, &err);
        vm_act_rsp_vm_uid_set_value(h, 1, a, 77, &err);
        vm_act_rsp_vm_clnt_set_value(h, 1, a, 1, &err);
        vm_act_rsp_vm_act_state_set_value(h, 1, a, 1, &err);
        vm_act_rsp_owner_set(h, 1, a, "root", 4, &err);
        vm_act_rsp_sp_type_set_value(h, 1, a, 4, &err);
        ASSERT_EQ(err, 0u);

        const uint32_t start = 0x5eed;
        auto word = [](uint32_t v, uint32_t s) { return SuperFastHash(reinterpret_cast<const char *>(&v), 4, s); };
        uint32_t x = start;
        uint32_t len = static_cast<uint32_t>(name.size());
        x = u_int32_hash(&len, x);
        x = u_int32_hash(&len, x);
        x = SuperFastHash(empty_name ? nullptr : name.data(), static_cast<int32_t>(len), x);
        if (empty_name) {
            EXPECT_EQ(x, 0u);
        }
        x = word(2, x);                                  // rc
        x = vm_nic_rsp_hash(rsp, x); // vm_if_rsp, itself checked below
        uint32_t uid = 77;
        x = u_int32_hash(&uid, x);
        x = word(1, x); // vm_clnt
        x = word(1, x); // vm_act_state
        uint8_t olen = 4;
        x = u_int8_hash(&olen, x);
        x = u_int8_hash(&olen, x);
        x = SuperFastHash("root", 4, x);
        x = word(4, x); // sp_type
        EXPECT_EQ(vm_act_rsp_hash(a, start), x);

        // vm_nic_rsp: its count's four bytes, then each element.
        EXPECT_EQ(vm_nic_rsp_hash(rsp, 9), vm_nic_list_hash(e, word(1, 9)));
        vm_act_rsp_destroy(h, 1, a);
    }
}

// A variable array hashes its length field, its length again, then its
// bytes; with none, its length and then 0.
TEST_F(Identity, VariableArrayHash) {
    vm_id_valid_req_t *r = vm_id_valid_req_create(h, 1);
    vm_id_valid_req_trans_id_set_value(h, 1, r, 3, &err);
    const uint8_t cred[5] = {1, 2, 3, 4, 5};
    vm_id_valid_req_credentials_set_mem(h, 1, r, cred, 5, &err);
    uint32_t tid = 3, len = 5;
    uint32_t x = u_int32_hash(&tid, 11);
    x = u_int32_hash(&len, x);
    x = u_int32_hash(&len, x);
    x = SuperFastHash(reinterpret_cast<const char *>(cred), 5, x);
    EXPECT_EQ(vm_id_valid_req_hash(r, 11), x);
    vm_id_valid_req_credentials_remove_elements(h, 1, r);
    EXPECT_EQ(vm_id_valid_req_hash(r, 11), 0u);
    vm_id_valid_req_destroy(h, 1, r);
}

} // namespace
