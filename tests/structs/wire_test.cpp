// The wire form on telling instances: the byte layouts the format fixes,
// version skew in both directions, the domain limit, state tracking on one
// side only, list and string updates in place, and the failures.
#include <array>
#include <cstring>
#include <string>

#include "wire_support.h"

namespace {

using namespace wire;
using qel_standin::Tracking;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kVmId = type_index("vm_id");
constexpr uint32_t kActRsp = type_index("vm_act_rsp");
constexpr uint32_t kNicRsp = type_index("vm_nic_rsp");
constexpr uint32_t kMacPool = type_index("vm_mac_pool");
constexpr uint32_t kIdent = type_index("vm_ident");

class Wire : public test::HandleTest {
protected:
    // vm_act_rsp in the layout of the example: vm_name "abc", every other
    // field at its initial value.
    vm_act_rsp_t *act_rsp() {
        vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
        vm_act_rsp_vm_name_set(h, 1, a, "abc", 3, &err);
        return a;
    }
    Bytes enum_bytes(uint32_t (*m)(qel_handle_t *, uint32_t, uint8_t *, const void *, int32_t,
                                   uint32_t *),
                     const void *e) {
        Bytes b(5);
        uint32_t local = 0;
        EXPECT_EQ(m(h, 1, b.data(), e, 5, &local), 5u);
        return b;
    }
    static Bytes slice(const Bytes &b, size_t at, size_t n) {
        return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
    }
    size_t allocations() { return calls("allocate"); }
};

vm_act_rsp_t *messages_act_rsp(qel_handle_t *h, uint32_t nics) {
    uint32_t e = 0;
    vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
    vm_nic_rsp_t *r = vm_act_rsp_vm_if_rsp_get(h, 1, a, &e);
    for (uint32_t i = 0; i < nics; ++i) vm_nic_rsp_vm_if_info_set_last(h, 1, r, vm_nic_list_create(h, 1), &e);
    return a;
}

using EnumMarshal = uint32_t (*)(qel_handle_t *, uint32_t, uint8_t *, const void *, int32_t,
                                 uint32_t *);
EnumMarshal enum_marshal(const char *type) {
    return walk::fn<EnumMarshal>(std::string(type) + "_marshal");
}

// ---- The byte layouts -------------------------------------------------------------------

TEST_F(Wire, VmIdIsTenBytesAndElevenWithTracking) {
    struct Case {
        Tracking tracking;
        Bytes expected;
    };
    for (const Case &c : {Case{Tracking::Absent, {0, 0, 0, 0, 0, 8, 0x12, 0x34, 0x56, 0x78}},
                          Case{Tracking::Off, {0, 0, 0, 0, 0, 8, 0x12, 0x34, 0x56, 0x78}},
                          Case{Tracking::On, {0, 8, 0, 0, 0, 9, 0x12, 0x34, 0x56, 0x78, 2}}}) {
        qel_standin::set_tracking(h, c.tracking);
        vm_id_t *id = vm_id_create(h, 1);
        vm_id_id_set_value(h, 1, id, 0x12345678, &err);
        EXPECT_EQ(vm_id_len(h, 1, id), c.expected.size());
        EXPECT_EQ(encode(marshal_of(kVmId), h, id, 64, &err), c.expected);
        EXPECT_EQ(err, 0u);
        vm_id_destroy(h, 1, id);
    }
}

TEST_F(Wire, VmActRspFollowsTheTableInVariantTwoAndStopsAfterVariantZero) {
    vm_act_rsp_t *a = act_rsp();
    vm_act_rsp_vm_uid_set_value(h, 1, a, 0xA1B2C3D4, &err);
    vm_act_rsp_rc_set_value(h, 1, a, 1, &err);
    Bytes b = encode(marshal_of(kActRsp), h, a, 256, &err);
    ASSERT_EQ(err, 0u);
    ASSERT_EQ(b.size(), 48u);
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(be32(b, 2), 46u);
    EXPECT_EQ(be32(b, 6), 3u);
    EXPECT_EQ(slice(b, 10, 3), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(slice(b, 13, 5), enum_bytes(enum_marshal("vm_rsp_rc"), vm_act_rsp_rc_get(h, 1, a, &err)));
    EXPECT_EQ(slice(b, 18, 10), (Bytes{0, 0, 0, 0, 0, 8, 0, 0, 0, 0}));
    EXPECT_EQ(be32(b, 28), 0xA1B2C3D4u);
    EXPECT_EQ(slice(b, 32, 5),
              enum_bytes(enum_marshal("vm_rsp_client"), vm_act_rsp_vm_clnt_get(h, 1, a, &err)));
    EXPECT_EQ(slice(b, 37, 5),
              enum_bytes(enum_marshal("vm_act_state"), vm_act_rsp_vm_act_state_get(h, 1, a, &err)));
    EXPECT_EQ(b[42], 0); // owner_len; no characters follow
    EXPECT_EQ(slice(b, 43, 5),
              enum_bytes(enum_marshal("vm_sp_type"), vm_act_rsp_sp_type_get(h, 1, a, &err)));

    // The same fields in an instance of variant 0.
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    vm_act_rsp_t *a0 = act_rsp();
    vm_act_rsp_vm_uid_set_value(h, 1, a0, 0xA1B2C3D4, &err);
    vm_act_rsp_rc_set_value(h, 1, a0, 1, &err);
    Bytes b0 = encode(marshal_of(kActRsp), h, a0, 256, &err);
    EXPECT_EQ(err, 0u);
    ASSERT_EQ(b0.size(), 42u);
    EXPECT_EQ(b0[0], 0);
    EXPECT_EQ(be32(b0, 2), 40u);
    EXPECT_EQ(slice(b0, 6, 36), slice(b, 6, 36));
    EXPECT_EQ(vm_act_rsp_len(h, 1, a0), 42u);
    vm_act_rsp_destroy(h, 1, a);
    vm_act_rsp_destroy(h, 1, a0);
}

TEST_F(Wire, VmActRspWithTrackingPutsAFlagAfterEachFlaggedFieldButNoneAfterLengthsOrEmptyStrings) {
    qel_standin::set_tracking(h, Tracking::On);
    vm_act_rsp_t *a = act_rsp();
    int32_t v = 11;
    for (auto set : {vm_act_rsp_vm_name_state_flag_set, vm_act_rsp_rc_state_flag_set,
                     vm_act_rsp_vm_if_rsp_state_flag_set, vm_act_rsp_vm_uid_state_flag_set,
                     vm_act_rsp_vm_clnt_state_flag_set, vm_act_rsp_vm_act_state_state_flag_set,
                     vm_act_rsp_owner_state_flag_set, vm_act_rsp_sp_type_state_flag_set})
        set(h, 1, a, v++, &err);
    vm_nic_rsp_vm_if_info_state_flag_set(h, 1, vm_act_rsp_vm_if_rsp_get(h, 1, a, &err), 19, &err);
    ASSERT_EQ(err, 0u);
    Bytes b = encode(marshal_of(kActRsp), h, a, 256, &err);
    ASSERT_EQ(b.size(), 56u);
    EXPECT_EQ(b[1], 0x08);
    EXPECT_EQ(be32(b, 2), 54u);
    EXPECT_EQ(slice(b, 6, 8), (Bytes{0, 0, 0, 3, 'a', 'b', 'c', 11}));
    EXPECT_EQ(b[19], 12);                                                    // after rc
    EXPECT_EQ(slice(b, 20, 12), (Bytes{0, 8, 0, 0, 0, 9, 0, 0, 0, 0, 19, 13})); // vm_if_rsp
    EXPECT_EQ(b[36], 14);                                                    // after vm_uid
    EXPECT_EQ(b[42], 15);                                                    // after vm_clnt
    EXPECT_EQ(b[48], 16);                                                    // after vm_act_state
    EXPECT_EQ(b[49], 0);                                                     // owner_len, no flag
    EXPECT_EQ(b[55], 18);                                                    // after sp_type
    // len counts the empty owner's flag and every string's characters again.
    EXPECT_EQ(vm_act_rsp_len(h, 1, a), 60u);
    vm_act_rsp_destroy(h, 1, a);
}

TEST_F(Wire, VmMacPoolWithTrackingDropsTheListFlagWhenOnlyOneByteIsLeft) {
    qel_standin::set_tracking(h, Tracking::On);
    vm_mac_pool_t *p = vm_mac_pool_create(h, 1);
    vm_mac_pool_pool_id_set_value(h, 1, p, 7, &err);
    vm_mac_pool_name_set(h, 1, p, "ab", 2, &err);
    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    vm_mac_pool_mac_base_set_mem(h, 1, p, mac, 6, &err);
    const uint8_t eflags[6] = {21, 22, 23, 24, 25, 26};
    vm_mac_pool_mac_base_state_flag_set_arr(h, 1, p, eflags, 6, &err);
    vm_mac_pool_mac_addr_list_state_flag_set(h, 1, p, 9, &err);
    ASSERT_EQ(err, 0u);
    EXPECT_EQ(vm_mac_pool_len(h, 1, p), 38u);

    Bytes b = encode(marshal_of(kMacPool), h, p, 38, &err);
    ASSERT_EQ(err, 0u);
    const Bytes expected{0,    0x08, 0,  0,  0,  34, 0,  0,  0,  7,  2,  0,  0, 0, 2, 'a', 'b', 2,
                         1,    2,    3,  4,  5,  6,  2,  21, 22, 23, 24, 25, 26, 0, 0, 0,   0,   9};
    EXPECT_EQ(b, expected);

    Bytes shorter = encode(marshal_of(kMacPool), h, p, 36, &err);
    ASSERT_EQ(err, 0u);
    ASSERT_EQ(shorter.size(), 35u);
    EXPECT_EQ(be32(shorter, 2), 33u);
    EXPECT_EQ(slice(shorter, 6, 29), slice(expected, 6, 29));

    // A reader given exactly the 36 bytes takes the list's flag (the body
    // length says it is there) ...
    vm_mac_pool_t *full = vm_mac_pool_create(h, 1);
    qel_standin::reset_global();
    EXPECT_EQ(vm_mac_pool_unmarshal(h, 1, b.data(), full, 36, 0, &err), 36u);
    EXPECT_EQ(vm_mac_pool_mac_addr_list_state_flag_get(h, 1, full, &err), 9);
    EXPECT_TRUE(traces_at(drov::tp::TypePoints<kMacPool>::offset_jump.index).empty());
    vm_mac_pool_destroy(h, 1, full);

    // ... and one given the 35 bytes (or the writer's 36-byte buffer) does
    // not look for the dropped one.
    shorter.push_back(0x77);
    vm_mac_pool_t *q = vm_mac_pool_create(h, 1);
    vm_mac_pool_mac_addr_list_state_flag_set(h, 1, q, 5, &err);
    EXPECT_EQ(vm_mac_pool_unmarshal(h, 1, shorter.data(), q, 36, 0, &err), 35u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_mac_pool_mac_addr_list_state_flag_get(h, 1, q, &err), 5);
    EXPECT_EQ(vm_mac_pool_mac_base_state_flag_get(h, 1, q, 5, &err), 26);
    EXPECT_EQ(vm_mac_pool_name_state_flag_get(h, 1, q, &err), 2);
    EXPECT_EQ(walk::diff(kMacPool, p, q), "");
    vm_mac_pool_destroy(h, 1, p);
    vm_mac_pool_destroy(h, 1, q);
}

TEST_F(Wire, AnInstanceWithoutVariantIsTheHeaderAloneAndDecodesToNoVariant) {
    qel_standin::set_domain_variant(h, "vm_id", -1);
    vm_id_t *none = vm_id_create(h, 1);
    Bytes b = encode(marshal_of(kVmId), h, none, 64, &err);
    EXPECT_EQ(b, (Bytes{0xFF, 0, 0, 0, 0, 4}));
    EXPECT_EQ(err, 0u);
    qel_standin::set_domain_variant(h, "vm_id", 0);
    vm_id_t *full = vm_id_create(h, 1);
    vm_id_id_set_value(h, 1, full, 99, &err);
    EXPECT_EQ(vm_id_unmarshal(h, 1, b.data(), full, 6, 0, &err), 6u);
    EXPECT_EQ(walk::instance_variant(full), -1);
    EXPECT_EQ(walk::load<uint32_t>(full, 12), 99u);
    vm_id_destroy(h, 1, none);
    vm_id_destroy(h, 1, full);
}

TEST_F(Wire, AStringLongerThanTheRoomIsCutWithError90AndTheBufferIsFull) {
    vm_ident_t *id = vm_ident_create(h, 1);
    vm_ident_name_set(h, 1, id, "0123456789", 10, &err);
    Bytes b = encode(marshal_of(kIdent), h, id, 14, &err);
    EXPECT_EQ(err, 90u);
    EXPECT_EQ(st().last_error, 90u);
    EXPECT_EQ(b.size(), 14u);
    EXPECT_EQ(slice(b, 6, 8), (Bytes{0, 0, 0, 10, '0', '1', '2', '3'}));
    vm_ident_destroy(h, 1, id);
}

TEST_F(Wire, RaDataTravelsAfterTheFlagByteAndMarksTheDecodedInstance) {
    vm_id_t *id = vm_id_create(h, 1);
    vm_id_id_set_value(h, 1, id, 5, &err);
    reinterpret_cast<uint8_t *>(id)[10] |= 0x20;
    Bytes b = encode(marshal_of(kVmId), h, id, 64, &err);
    ASSERT_EQ(b.size(), 19u); // the stand-in's ra data takes 9 bytes
    EXPECT_EQ(b[1], 0x20);
    EXPECT_EQ(be32(b, 11), 8u);
    EXPECT_EQ(be32(b, 15), 5u);
    EXPECT_EQ(vm_id_len(h, 1, id), 10u); // ra data not counted
    vm_id_t *r = vm_id_create(h, 1);
    EXPECT_EQ(vm_id_unmarshal(h, 1, b.data(), r, 19, 0, &err), 19u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(obj_flags(r) & 0x20, 0x20);
    EXPECT_EQ(walk::load<uint32_t>(r, 12), 5u);
    vm_id_destroy(h, 1, id);
    vm_id_destroy(h, 1, r);
}

TEST_F(Wire, OnlyTheTrackedAndRaBitsOfAPeersFlagByteReachTheInstance) {
    for (Tracking tr : {Tracking::Off, Tracking::On}) {
        qel_standin::set_tracking(h, tr);
        vm_id_t *r = vm_id_create(h, 1);
        const uint8_t before = obj_flags(r);
        Bytes b{0, 0xDF, 0, 0, 0, 8, 0, 0, 0, 1};
        EXPECT_EQ(vm_id_unmarshal(h, 1, b.data(), r, 10, 0, &err), 10u);
        EXPECT_EQ(obj_flags(r), before | (tr == Tracking::On ? 0x08 : 0));
        vm_id_destroy(h, 1, r);
    }
}

TEST_F(Wire, LenCountsEveryKindAndMarshalStaysWithinIt) {
    struct Case {
        Tracking tracking;
        uint32_t profile_len, profile_bytes, request_len, request_bytes;
    };
    // vm_profile: texts of 64 and 256, a list with one vm_nic, a string of
    // three, a u16 and six MAC bytes; vm_id_valid_req: a u32 and five
    // credentials.  With tracking, len counts every text and string a
    // second time, marshal writes one flag for each.
    for (Case c : {Case{Tracking::Off, 355, 355, 19, 19}, Case{Tracking::On, 691, 368, 26, 26}}) {
        qel_standin::set_tracking(h, c.tracking);
        vm_profile_t *p = vm_profile_create(h, 1);
        vm_profile_name_set(h, 1, p, "name", 4, &err);
        vm_profile_interfaces_set_last(h, 1, p, vm_nic_create(h, 1), &err);
        vm_profile_selected_profile_name_set(h, 1, p, "abc", 3, &err);
        vm_id_valid_req_t *r = vm_id_valid_req_create(h, 1);
        const uint8_t cred[5] = {1, 2, 3, 4, 5};
        vm_id_valid_req_credentials_set_mem(h, 1, r, cred, 5, &err);
        ASSERT_EQ(err, 0u);
        EXPECT_EQ(vm_profile_len(h, 1, p), c.profile_len);
        EXPECT_EQ(encode(marshal_of(type_index("vm_profile")), h, p, 1024, &err).size(), c.profile_bytes);
        EXPECT_EQ(vm_id_valid_req_len(h, 1, r), c.request_len);
        EXPECT_EQ(encode(marshal_of(type_index("vm_id_valid_req")), h, r, 1024, &err).size(),
                  c.request_bytes);
        EXPECT_EQ(err, 0u);
        vm_profile_destroy(h, 1, p);
        vm_id_valid_req_destroy(h, 1, r);
    }
}

TEST_F(Wire, AShortFixedArrayOrTextIs90WithWhatWasThereKept) {
    vm_mac_pool_addr_t *a = vm_mac_pool_addr_create(h, 1);
    Bytes b{0, 0, 0, 0, 0, 10, 1, 2, 3};
    EXPECT_EQ(vm_mac_pool_addr_unmarshal(h, 1, b.data(), a, 9, 0, &err), 9u);
    EXPECT_EQ(err, 90u);
    EXPECT_EQ(st().last_error, 90u);
    EXPECT_EQ(walk::load<uint32_t>(a, 40) & 0xFFFFFF, 0x030201u);
    vm_mac_pool_addr_destroy(h, 1, a);

    err = 0;
    vm_profile_t *p = vm_profile_create(h, 1);
    Bytes t{0, 0, 0, 0, 0, 200, 'a', 'b'};
    EXPECT_EQ(vm_profile_unmarshal(h, 1, t.data(), p, 8, 0, &err), 8u);
    EXPECT_EQ(err, 90u);
    EXPECT_EQ(std::string(walk::load<std::array<char, 4>>(p, 11).data(), 2), "ab");
    vm_profile_destroy(h, 1, p);
}

TEST_F(Wire, AnEncodingWithoutRoomForItsBodyLengthIs90AndStopsAfterTheHeader) {
    vm_id_t *id = vm_id_create(h, 1);
    Bytes b(8, 0xAB);
    EXPECT_EQ(vm_id_marshal(h, 1, b.data(), id, 4, &err), 2u);
    EXPECT_EQ(err, 90u);
    EXPECT_EQ(b, (Bytes{0, 0, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB}));
    vm_id_destroy(h, 1, id);
}

TEST_F(Wire, AnInstanceOwningItsRecordBlockKeepsIt) {
    vm_id_t *id = vm_id_create(h, 1);
    auto *hdr = reinterpret_cast<qel_instance_header_t *>(id);
    qel_type_info_t *own = hdr->type_info;
    hdr->obj_flags |= 0x80;
    hdr->type_info = nullptr; // whatever the runtime put there stays
    Bytes b{0, 0, 0, 0, 0, 8, 0, 0, 0, 1};
    EXPECT_EQ(vm_id_unmarshal(h, 1, b.data(), id, 10, 0, &err), 10u);
    EXPECT_EQ(hdr->type_info, nullptr);
    hdr->obj_flags &= 0x7F;
    EXPECT_EQ(vm_id_unmarshal(h, 1, b.data(), id, 10, 0, &err), 10u);
    EXPECT_EQ(hdr->type_info, own);
    vm_id_destroy(h, 1, id);
}

TEST_F(Wire, TheDomainIsAskedOncePerTypeWhateverTheListLength) {
    qel_handle_t *hh = h;
    auto lookups = [&](uint32_t nics) {
        vm_act_rsp_t *a = messages_act_rsp(hh, nics);
        st().calls.clear();
        encode(marshal_of(kActRsp), hh, a, 1 << 16, &err);
        size_t n = calls("qel_domain_lookup_variant");
        vm_act_rsp_destroy(hh, 1, a);
        return n;
    };
    // vm_act_rsp, its four enumerations, vm_nic_rsp, and per element type
    // vm_nic_list, vm_nic_info and its three enumerations.
    EXPECT_EQ(lookups(1), 11u);
    EXPECT_EQ(lookups(16), 11u);
    EXPECT_EQ(err, 0u);
}

// ---- Version skew -------------------------------------------------------------------------

// A peer built when vm_act_rsp had only variant 0: the same memory, laid out
// for variant 0 (no state area: the handle does not track).
void lower_layout(void *inst) { reinterpret_cast<int8_t *>(inst)[9] = 0; }

TEST_F(Wire, ANewerEncodingIsReadAsFarAsTheReaderKnowsAndJumpedOver) {
    vm_act_rsp_t *a = act_rsp();
    vm_act_rsp_vm_uid_set_value(h, 1, a, 77, &err);
    vm_act_rsp_owner_set(h, 1, a, "xy", 2, &err);
    vm_act_rsp_sp_type_set_value(h, 1, a, 3, &err);
    Bytes b = encode(marshal_of(kActRsp), h, a, 256, &err);
    ASSERT_EQ(b.size(), 50u);

    vm_act_rsp_t *old = vm_act_rsp_create(h, 1);
    lower_layout(old);
    qel_standin::reset_global();
    EXPECT_EQ(vm_act_rsp_unmarshal(h, 1, b.data(), old, 50, 0, &err), 50u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::instance_variant(old), 0);
    EXPECT_EQ(vm_act_rsp_vm_uid_get_value(h, 1, old, &err), 77u);
    EXPECT_EQ(walk::load<const char *>(old, 144), nullptr); // owner not read
    auto jumps = traces_at(drov::tp::TypePoints<kActRsp>::offset_jump.index);
    ASSERT_EQ(jumps.size(), 1u);
    ASSERT_EQ(jumps[0].args.size(), 3u);
    EXPECT_EQ(jumps[0].args[0].u, 42u); // where the reader stopped
    EXPECT_EQ(jumps[0].args[1].u, 2u);  // the body-length word
    EXPECT_EQ(jumps[0].args[2].u, 48u); // the body length
    EXPECT_EQ(jumps[0].flags, 0x6000000u);
    vm_act_rsp_destroy(h, 1, a);
    vm_act_rsp_destroy(h, 1, old);
}

// The later fields keep their values; what they own goes, since the
// instance no longer has them (and destroy would not release it).
TEST_F(Wire, AnOlderEncodingLeavesTheLaterFieldsValuesAndReleasesWhatTheyOwn) {
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    vm_act_rsp_t *a0 = act_rsp();
    vm_act_rsp_vm_uid_set_value(h, 1, a0, 77, &err);
    Bytes b = encode(marshal_of(kActRsp), h, a0, 256, &err);
    ASSERT_EQ(b.size(), 42u);

    qel_standin::set_domain_variant(h, "vm_act_rsp", 2);
    vm_act_rsp_t *r = vm_act_rsp_create(h, 1);
    vm_act_rsp_owner_set(h, 1, r, "keep", 4, &err);
    vm_act_rsp_sp_type_set_value(h, 1, r, 3, &err);
    const char *owner = walk::load<const char *>(r, 144);
    qel_standin::reset_global();
    st().calls.clear();
    EXPECT_EQ(vm_act_rsp_unmarshal(h, 1, b.data(), r, 42, 1, &err), 42u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::instance_variant(r), 0);
    EXPECT_EQ(vm_act_rsp_vm_uid_get_value(h, 1, r, &err), 77u);
    EXPECT_EQ(walk::load<uint32_t>(r, 152 + 12), 3u);        // sp_type as it was
    EXPECT_EQ(walk::load<const char *>(r, 144), nullptr);    // owner released
    EXPECT_EQ(walk::load<uint8_t>(r, 136), 0);
    EXPECT_EQ(qel_standin::calls_named(h, "free").at(0).obj, owner);
    EXPECT_TRUE(traces_at(drov::tp::TypePoints<kActRsp>::offset_jump.index).empty());
    vm_act_rsp_destroy(h, 1, a0);
    vm_act_rsp_destroy(h, 1, r);
}

TEST_F(Wire, AnEncodingWithoutVariantReleasesEverythingTheInstanceOwned) {
    qel_standin::set_tracking(h, Tracking::On);
    vm_act_rsp_t *a = act_rsp();
    vm_act_rsp_owner_set(h, 1, a, "xy", 2, &err);
    vm_nic_rsp_vm_if_info_set_last(h, 1, vm_act_rsp_vm_if_rsp_get(h, 1, a, &err),
                                   vm_nic_list_create(h, 1), &err);
    constexpr uint32_t kReq = type_index("vm_id_valid_req");
    vm_id_valid_req_t *req = vm_id_valid_req_create(h, 1);
    const uint8_t cred[5] = {1, 2, 3, 4, 5};
    vm_id_valid_req_credentials_set_mem(h, 1, req, cred, 5, &err);
    ASSERT_EQ(err, 0u);
    Bytes none{0xFF, 0x08, 0, 0, 0, 4};
    EXPECT_EQ(vm_act_rsp_unmarshal(h, 1, none.data(), a, 6, 1, &err), 6u);
    EXPECT_EQ(unmarshal_of(kReq)(h, 1, none.data(), req, 6, 1, &err), 6u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::instance_variant(a), -1);
    std::vector<const void *> owned;
    walk::blocks(kActRsp, a, owned);
    walk::blocks(kReq, req, owned);
    EXPECT_TRUE(owned.empty());
    // What is left for destroy (which releases nothing of an instance
    // without variant): the instances, and no element-flag block.
    vm_act_rsp_destroy(h, 1, a);
    walk::destroy(h, kReq, req);
}

TEST_F(Wire, MarshalWritesWhatTheDomainKnowsAndMarshalForCloneWhatTheInstanceHas) {
    vm_act_rsp_t *a = act_rsp();
    vm_act_rsp_owner_set(h, 1, a, "xy", 2, &err);
    Bytes full = encode(marshal_of(kActRsp), h, a, 256, &err);
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);

    Bytes limited = encode(marshal_of(kActRsp), h, a, 256, &err);
    EXPECT_EQ(err, 43u);
    EXPECT_EQ(st().last_error, 43u);
    EXPECT_EQ(calls("qel_store_epoch_err"), 1u);
    ASSERT_EQ(limited.size(), 42u);
    EXPECT_EQ(limited[0], 0);
    EXPECT_EQ(be32(limited, 2), 40u);
    EXPECT_EQ(slice(limited, 6, 36), slice(full, 6, 36));

    err = 0;
    EXPECT_EQ(encode(marshal_for_clone_of(kActRsp), h, a, 256, &err), full);
    EXPECT_EQ(err, 0u);

    // A buffer too short for the domain's variant keeps its own error.
    err = 0;
    encode(marshal_of(kActRsp), h, a, 20, &err);
    EXPECT_EQ(err, 90u);
    vm_act_rsp_destroy(h, 1, a);
}

TEST_F(Wire, AnEnumerationNewerThanTheDomainIsWrittenWholeAndReportedAtTheEnd) {
    vm_act_rsp_t *a = act_rsp();
    vm_act_rsp_vm_uid_set_value(h, 1, a, 77, &err);
    qel_standin::set_domain_variant(h, "vm_rsp_rc", -1);
    Bytes b = encode(marshal_of(kActRsp), h, a, 256, &err);
    EXPECT_EQ(err, 43u);
    ASSERT_EQ(b.size(), 48u);
    EXPECT_EQ(b[13], 0xFF);
    EXPECT_EQ(be32(b, 28), 77u);
    vm_act_rsp_destroy(h, 1, a);
}

TEST_F(Wire, ListElementsAreLimitedByTheDomainAlsoInsideAClone) {
    vm_nic_rsp_t *r = vm_nic_rsp_create(h, 1);
    vm_nic_list_t *e = vm_nic_list_create(h, 1);
    vm_nic_rsp_vm_if_info_set_last(h, 1, r, e, &err);
    qel_standin::set_domain_variant(h, "vm_nic_list", -1);
    Bytes b = encode(marshal_for_clone_of(kNicRsp), h, r, 256, &err);
    EXPECT_EQ(err, 43u);
    EXPECT_EQ(b, (Bytes{0, 0, 0, 0, 0, 14, 0, 0, 0, 1, 0xFF, 0, 0, 0, 0, 4}));

    err = 0;
    Bytes scratch(256);
    vm_nic_rsp_t *out = nullptr;
    const size_t made = allocations();
    vm_nic_rsp_clone(h, 1, r, &out, scratch.data(), 256, &err);
    EXPECT_EQ(err, 43u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(allocations(), made);
    vm_nic_rsp_destroy(h, 1, r);
}

// ---- State tracking on one side --------------------------------------------------------------

class OneSide : public Wire {
protected:
    void SetUp() override {
        Wire::SetUp();
        other = qel_standin::handle_new();
    }
    void TearDown() override {
        EXPECT_TRUE(qel_standin::state(other).live.empty());
        qel_standin::handle_delete(other);
        Wire::TearDown();
    }
    // A pool with a name, a MAC base and one list element, on handle `on`.
    vm_mac_pool_t *pool(qel_handle_t *on) {
        vm_mac_pool_t *p = vm_mac_pool_create(on, 1);
        vm_mac_pool_name_set(on, 1, p, "pool", 4, &err);
        const uint8_t mac[6] = {9, 8, 7, 6, 5, 4};
        vm_mac_pool_mac_base_set_mem(on, 1, p, mac, 6, &err);
        vm_mac_pool_addr_t *e = vm_mac_pool_addr_create(on, 1);
        vm_mac_pool_addr_mac_addr_set_mem(on, 1, e, mac, 6, &err);
        vm_mac_pool_mac_addr_list_set_last(on, 1, p, e, &err);
        return p;
    }
    qel_handle_t *other = nullptr;
};

// A reader given the writer's buffer length decides every flag byte the
// way the writer did (a list's flag needs two bytes of room on both sides).
TEST_F(OneSide, AReaderWithoutTrackingSkipsTheFlagsAndAddsNoTrackedBit) {
    qel_standin::set_tracking(h, Tracking::On);
    vm_mac_pool_t *p = pool(h);
    Bytes b(256);
    const uint32_t n = vm_mac_pool_marshal(h, 1, b.data(), p, 256, &err);
    ASSERT_EQ(err, 0u);
    vm_mac_pool_t *q = vm_mac_pool_create(other, 1);
    EXPECT_EQ(vm_mac_pool_unmarshal(other, 1, b.data(), q, 256, 0, &err), n);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::diff(kMacPool, p, q), "");
    EXPECT_EQ(obj_flags(q) & 0x08, 0);
    EXPECT_TRUE(traces_at(drov::tp::TypePoints<kMacPool>::offset_jump.index).empty());
    vm_mac_pool_destroy(h, 1, p);
    vm_mac_pool_destroy(other, 1, q);
}

TEST_F(OneSide, AReaderWithTrackingKeepsItsFlagsWhenTheWriterSentNone) {
    vm_mac_pool_t *p = pool(other);
    Bytes b = encode(marshal_of(kMacPool), other, p, 256, &err);
    qel_standin::set_tracking(h, Tracking::On);
    vm_mac_pool_t *q = vm_mac_pool_create(h, 1);
    vm_mac_pool_name_state_flag_set(h, 1, q, 7, &err);
    vm_mac_pool_mac_base_state_flag_set(h, 1, q, 2, 6, &err);
    EXPECT_EQ(vm_mac_pool_unmarshal(h, 1, b.data(), q, static_cast<int32_t>(b.size()), 0, &err),
              b.size());
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::diff(kMacPool, p, q), "");
    EXPECT_EQ(vm_mac_pool_name_state_flag_get(h, 1, q, &err), 7);
    EXPECT_EQ(vm_mac_pool_mac_base_state_flag_get(h, 1, q, 2, &err), 6);
    EXPECT_EQ(obj_flags(q) & 0x08, 0x08);
    vm_mac_pool_destroy(other, 1, p);
    vm_mac_pool_destroy(h, 1, q);
}

TEST_F(OneSide, TheWriterWritesZeroFlagsForAnInstanceWithoutStateArea) {
    vm_id_t *id = vm_id_create(h, 1); // made while the handle does not track
    qel_standin::set_tracking(h, Tracking::On);
    vm_id_id_set_value(h, 1, id, 3, &err); // stores, then cannot mark
    err = 0;
    Bytes b = encode(marshal_of(kVmId), h, id, 64, &err);
    EXPECT_EQ(b, (Bytes{0, 8, 0, 0, 0, 9, 0, 0, 0, 3, 0}));
    qel_standin::set_tracking(h, Tracking::Absent);
    vm_id_destroy(h, 1, id);
}

using WireDeathTest = Wire;

TEST_F(WireDeathTest, ATrackingReaderAndAnUntrackedInstanceStopTheProcess) {
    vm_id_t *id = vm_id_create(h, 1);
    Bytes b{0, 0, 0, 0, 0, 8, 0, 0, 0, 1};
    qel_standin::set_tracking(h, Tracking::On);
    const std::string at =
        "fatal trace " + std::to_string(drov::tp::TypePoints<kVmId>::unmarshal_mismatch.index) + "\n";
    EXPECT_DEATH(vm_id_unmarshal(h, 1, b.data(), id, 10, 0, &err), at);
    qel_standin::set_tracking(h, Tracking::Absent);
    vm_id_destroy(h, 1, id);
}

TEST_F(WireDeathTest, ACorruptedMarkerStopsEachOperationAtItsOwnPoint) {
    vm_id_t *id = vm_id_create(h, 1);
    Bytes b(64);
    qel_standin::set_marker(h, 0xABCD);
    auto at = [](uint32_t index) { return "fatal trace " + std::to_string(index) + "\n"; };
    EXPECT_DEATH(vm_id_marshal(h, 1, b.data(), id, 64, &err),
                 at(drov::tp::TypePoints<kVmId>::marshal_corrupted.index));
    EXPECT_DEATH(vm_id_marshal_for_clone(h, 1, b.data(), id, 64, &err),
                 at(drov::tp::TypePoints<kVmId>::marshal_corrupted.index));
    EXPECT_DEATH(vm_id_unmarshal(h, 1, b.data(), id, 10, 0, &err),
                 at(drov::tp::TypePoints<kVmId>::unmarshal_corrupted.index));
    EXPECT_DEATH(vm_id_len(h, 1, id), at(drov::tp::TypePoints<kVmId>::sizeof_internal_corrupted.index));
    qel_standin::set_tracking(h, Tracking::Absent);
    vm_id_destroy(h, 1, id);
}

// ---- Updates in place ------------------------------------------------------------------------

class Lists : public Wire {
protected:
    vm_nic_rsp_t *rsp(std::initializer_list<uint32_t> handles) {
        vm_nic_rsp_t *r = vm_nic_rsp_create(h, 1);
        for (uint32_t v : handles) {
            vm_nic_list_t *e = vm_nic_list_create(h, 1);
            vm_nic_list_if_handle_set(h, 1, e, &v, &err);
            vm_nic_rsp_vm_if_info_set_last(h, 1, r, e, &err);
        }
        return r;
    }
    std::vector<void *> elems(const vm_nic_rsp_t *r) {
        return walk::elements(r, kTypes[kNicRsp].fields[0]);
    }
    std::vector<uint32_t> handles(const vm_nic_rsp_t *r) {
        std::vector<uint32_t> out;
        for (void *e : elems(r)) out.push_back(walk::load<uint32_t>(e, 40));
        return out;
    }
    uint32_t count(const vm_nic_rsp_t *r) { return walk::load<uint32_t>(r, 16 + 24); }
};

TEST_F(Lists, AnUpdateWithTheSameCountDecodesIntoTheElementsInPlace) {
    vm_nic_rsp_t *src = rsp({1, 2, 3});
    Bytes b = encode(marshal_of(kNicRsp), h, src, 1024, &err);
    vm_nic_rsp_t *dst = rsp({7, 8, 9});
    auto before = elems(dst);
    const size_t made = allocations();
    EXPECT_EQ(vm_nic_rsp_unmarshal(h, 1, b.data(), dst, static_cast<int32_t>(b.size()), 1, &err),
              b.size());
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(elems(dst), before);
    EXPECT_EQ(handles(dst), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(allocations(), made);
    vm_nic_rsp_destroy(h, 1, src);
    vm_nic_rsp_destroy(h, 1, dst);
}

TEST_F(Lists, AnUpdateWithAnotherCountReplacesTheElementsAsRemovalDoes) {
    vm_nic_rsp_t *src = rsp({1, 2, 3});
    Bytes b = encode(marshal_of(kNicRsp), h, src, 1024, &err);
    vm_nic_rsp_t *dst = rsp({7, 8});
    auto old = elems(dst);
    qel_standin::reset_global();
    st().calls.clear();
    EXPECT_EQ(vm_nic_rsp_unmarshal(h, 1, b.data(), dst, static_cast<int32_t>(b.size()), 1, &err),
              b.size());
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(handles(dst), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(count(dst), 3u);
    auto now = elems(dst);
    // The old elements were destroyed: their blocks went back, each link
    // pair was announced together first.
    size_t freed = 0;
    for (const auto &c : qel_standin::calls_named(h, "free"))
        for (void *o : old) freed += c.obj == o;
    EXPECT_EQ(freed, 2u);
    size_t pairs = 0;
    for (const auto &r : qel_standin::ranges())
        for (void *o : old) pairs += r.addr == static_cast<uint8_t *>(o) + 24 && r.len == 16;
    EXPECT_EQ(pairs, 2u);
    vm_nic_rsp_destroy(h, 1, src);
    vm_nic_rsp_destroy(h, 1, dst);
}

TEST_F(Lists, ReplacedElementsAreReportedDetachedToADatabaseHandle) {
    vm_nic_rsp_t *src = rsp({1, 2, 3});
    Bytes b = encode(marshal_of(kNicRsp), h, src, 1024, &err);
    vm_nic_rsp_t *dst = rsp({7, 8});
    auto old = elems(dst);
    st().calls.clear();
    h->containment_recording = 1;
    h->type_info_mode = 1;
    vm_nic_rsp_unmarshal(h, 1, b.data(), dst, static_cast<int32_t>(b.size()), 1, &err);
    h->containment_recording = 0;
    h->type_info_mode = 0;
    EXPECT_EQ(err, 0u);
    auto detached = qel_standin::calls_named(h, "qeldb_plat_set_detach");
    ASSERT_EQ(detached.size(), 2u);
    EXPECT_EQ(detached[0].obj, old[0]);
    EXPECT_EQ(detached[1].obj, old[1]);
    EXPECT_EQ(detached[0].arg, 1);
    vm_nic_rsp_destroy(h, 1, src);
    vm_nic_rsp_destroy(h, 1, dst);
}

TEST_F(Lists, AnElementCreationThatGivesThePlaceholderIsAFailedCreation) {
    vm_nic_rsp_t *src = rsp({1});
    Bytes b = encode(marshal_of(kNicRsp), h, src, 1024, &err);
    vm_nic_rsp_t *dst = rsp({});
    h->cr_in_progress = 1;
    h->err = 5;
    vm_nic_rsp_unmarshal(h, 1, b.data(), dst, static_cast<int32_t>(b.size()), 0, &err);
    h->cr_in_progress = 0;
    h->err = 0;
    EXPECT_EQ(err, 12u);
    EXPECT_EQ(count(dst), 0u);
    vm_nic_rsp_destroy(h, 1, src);
    vm_nic_rsp_destroy(h, 1, dst);
}

TEST_F(Lists, WithoutTheUpdateFlagTheDecodedElementsAreAppended) {
    vm_nic_rsp_t *src = rsp({1, 2, 3});
    Bytes b = encode(marshal_of(kNicRsp), h, src, 1024, &err);
    vm_nic_rsp_t *dst = rsp({7, 8, 9});
    EXPECT_EQ(vm_nic_rsp_unmarshal(h, 1, b.data(), dst, static_cast<int32_t>(b.size()), 0, &err),
              b.size());
    EXPECT_EQ(handles(dst), (std::vector<uint32_t>{7, 8, 9, 1, 2, 3}));
    EXPECT_EQ(count(dst), 6u);
    vm_nic_rsp_destroy(h, 1, src);
    vm_nic_rsp_destroy(h, 1, dst);
}

TEST_F(Lists, AFailingElementInPlaceIsTracedAndEndsTheList) {
    vm_nic_rsp_t *src = rsp({1, 2, 3});
    Bytes b = encode(marshal_of(kNicRsp), h, src, 1024, &err);
    vm_nic_rsp_t *dst = rsp({7, 8, 9});
    qel_standin::reset_global();
    // Cut inside the second element's interface handle.
    const auto element = static_cast<int32_t>((b.size() - 10) / 3);
    const int32_t cut = 10 + element + 8;
    vm_nic_rsp_unmarshal(h, 1, b.data(), dst, cut, 1, &err);
    EXPECT_EQ(err, 90u);
    EXPECT_EQ(handles(dst), (std::vector<uint32_t>{1, 8, 9}));
    constexpr auto point = drov::tp::FieldPoints<kNicRsp, 0>::element_failed;
    auto traced = traces_at(point.index);
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0].flags, 0x3000000u);
    EXPECT_EQ(traced[0].args.at(0).s, std::strerror(90));
    vm_nic_rsp_destroy(h, 1, src);
    vm_nic_rsp_destroy(h, 1, dst);
}

using ListsDeathTest = Lists;

TEST_F(ListsDeathTest, AFailedLinkAnnouncementWhileReplacingStopsAtItsPoint) {
    vm_nic_rsp_t *src = rsp({1, 2, 3});
    Bytes b = encode(marshal_of(kNicRsp), h, src, 1024, &err);
    using Pt = drov::tp::FieldPoints<kNicRsp, 0>;
    // Two old elements go, always the first: its links, its successor's
    // back link, the head's first; then the last one's links, the head's
    // last and first.
    struct Case {
        uint64_t nth;
        uint32_t point;
    };
    for (Case c : {Case{1, Pt::drop_links.index}, Case{2, Pt::drop_next_prev.index},
                   Case{3, Pt::drop_first.index}, Case{5, Pt::drop_last.index}}) {
        vm_nic_rsp_t *dst = rsp({7, 8});
        EXPECT_DEATH(
            {
                qel_standin::fail_range_at(c.nth);
                vm_nic_rsp_unmarshal(h, 1, b.data(), dst, static_cast<int32_t>(b.size()), 1, &err);
            },
            "fatal trace " + std::to_string(c.point) + "\n");
        vm_nic_rsp_destroy(h, 1, dst);
    }
    vm_nic_rsp_destroy(h, 1, src);
}

TEST_F(Wire, AStringOfTheHeldLengthIsRewrittenInPlaceOnlyUnderTheUpdateFlag) {
    vm_ident_t *src = vm_ident_create(h, 1);
    vm_ident_name_set(h, 1, src, "four", 4, &err);
    Bytes four = encode(marshal_of(kIdent), h, src, 64, &err);
    vm_ident_name_set(h, 1, src, "", 0, &err);
    Bytes empty = encode(marshal_of(kIdent), h, src, 64, &err);
    vm_ident_name_set(h, 1, src, "three", 3, &err);
    Bytes three = encode(marshal_of(kIdent), h, src, 64, &err);

    vm_ident_t *r = vm_ident_create(h, 1);
    vm_ident_name_set(h, 1, r, "abcd", 4, &err);
    const char *held = walk::load<const char *>(r, 16);
    struct Case {
        const Bytes *b;
        uint32_t update;
        size_t allocs, frees;
        const char *text;
    };
    for (const Case &c : {Case{&four, 1, 0, 0, "four"}, Case{&four, 0, 1, 1, "four"},
                          Case{&three, 1, 1, 1, "thr"}, Case{&three, 1, 0, 0, "thr"},
                          Case{&empty, 1, 0, 1, nullptr}, Case{&four, 1, 1, 0, "four"}}) {
        st().calls.clear();
        st().writes.clear();
        EXPECT_EQ(vm_ident_unmarshal(h, 1, c.b->data(), r, static_cast<int32_t>(c.b->size()),
                                     c.update, &err),
                  c.b->size());
        EXPECT_EQ(calls("allocate"), c.allocs) << c.update << " " << (c.text ? c.text : "");
        EXPECT_EQ(calls("free"), c.frees);
        const char *now = walk::load<const char *>(r, 16);
        if (c.text == nullptr) {
            EXPECT_EQ(now, nullptr);
            EXPECT_EQ(walk::load<uint32_t>(r, 12), 0u);
        } else {
            ASSERT_NE(now, nullptr);
            EXPECT_EQ(std::string(now), c.text);
            EXPECT_EQ(walk::load<uint32_t>(r, 12), std::strlen(c.text));
        }
        if (c.allocs == 0 && c.text != nullptr) {
            EXPECT_EQ(now, held);
            // The rewrite of the characters and their NUL is announced.
            bool told = false;
            for (const auto &w : st().writes) told |= w.addr == now && w.len == std::strlen(c.text) + 1;
            EXPECT_TRUE(told);
        }
        held = now;
    }
    vm_ident_destroy(h, 1, src);
    vm_ident_destroy(h, 1, r);
}

TEST_F(Wire, TheDecoderAnnouncesEveryStoreItMakesIntoTheInstance) {
    vm_ident_t *src = vm_ident_create(h, 1);
    vm_ident_name_set(h, 1, src, "abc", 3, &err);
    Bytes b = encode(marshal_of(kIdent), h, src, 64, &err);
    qel_standin::set_domain_variant(h, "vm_ident", -1);
    vm_ident_t *r = vm_ident_create(h, 1);
    st().writes.clear();
    EXPECT_EQ(vm_ident_unmarshal(h, 1, b.data(), r, static_cast<int32_t>(b.size()), 0, &err), 13u);
    auto told = [&](size_t offset, uint32_t len) {
        for (const auto &w : st().writes)
            if (w.addr == reinterpret_cast<uint8_t *>(r) + offset && w.len == len && w.owner == r)
                return true;
        return false;
    };
    EXPECT_TRUE(told(8, 1));  // the instance variant, from -1 to 0
    EXPECT_TRUE(told(12, 4)); // the length
    EXPECT_TRUE(told(16, 8)); // the character block
    vm_ident_destroy(h, 1, src);
    vm_ident_destroy(h, 1, r);
}

TEST_F(Wire, AFailedAllocationOfCharactersOrElementsEndsTheDecodingWithNothing) {
    vm_ident_t *id = vm_ident_create(h, 1);
    vm_ident_name_set(h, 1, id, "abc", 3, &err);
    Bytes s = encode(marshal_of(kIdent), h, id, 64, &err);
    vm_id_valid_req_t *req = vm_id_valid_req_create(h, 1);
    const uint8_t cred[3] = {1, 2, 3};
    vm_id_valid_req_credentials_set_mem(h, 1, req, cred, 3, &err);
    Bytes a = encode(marshal_of(type_index("vm_id_valid_req")), h, req, 64, &err);
    vm_ident_t *r = vm_ident_create(h, 1);
    vm_id_valid_req_t *q = vm_id_valid_req_create(h, 1);
    st().fail_alloc_at = st().alloc_calls + 1;
    EXPECT_EQ(vm_ident_unmarshal(h, 1, s.data(), r, static_cast<int32_t>(s.size()), 0, &err), 0u);
    EXPECT_EQ(err, 12u);
    EXPECT_EQ(walk::load<uint32_t>(r, 12), 0u);
    err = 0;
    st().fail_alloc_at = st().alloc_calls + 1;
    EXPECT_EQ(vm_id_valid_req_unmarshal(h, 1, a.data(), q, static_cast<int32_t>(a.size()), 0, &err), 0u);
    EXPECT_EQ(err, 12u);
    EXPECT_EQ(vm_id_valid_req_credentials_len_get_value(h, 1, q, &(err = 0)), 0u);
    vm_ident_destroy(h, 1, id);
    vm_ident_destroy(h, 1, r);
    vm_id_valid_req_destroy(h, 1, req);
    vm_id_valid_req_destroy(h, 1, q);
}

class Credentials : public Wire {
protected:
    void SetUp() override {
        Wire::SetUp();
        qel_standin::set_tracking(h, Tracking::On);
    }
    vm_id_valid_req_t *request(uint8_t flag) {
        vm_id_valid_req_t *r = vm_id_valid_req_create(h, 1);
        const uint8_t cred[5] = {1, 2, 3, 4, 5};
        vm_id_valid_req_credentials_set_mem(h, 1, r, cred, 5, &err);
        const uint8_t flags[5] = {flag, flag, flag, flag, flag};
        vm_id_valid_req_credentials_state_flag_set_arr(h, 1, r, flags, 5, &err);
        return r;
    }
    std::vector<uint8_t> element_flags(vm_id_valid_req_t *r) {
        std::vector<uint8_t> out;
        for (uint32_t i = 0; i < 5; ++i)
            out.push_back(vm_id_valid_req_credentials_state_flag_get(h, 1, r, i, &err));
        return out;
    }
};

TEST_F(Credentials, ElementFlagsCutShortLeaveTheRestZeroInAReusedBlock) {
    vm_id_valid_req_t *src = request(9);
    Bytes b = encode(marshal_of(type_index("vm_id_valid_req")), h, src, 64, &err);
    ASSERT_EQ(b.size(), 26u);
    vm_id_valid_req_t *dst = request(7);
    st().calls.clear();
    EXPECT_EQ(vm_id_valid_req_unmarshal(h, 1, b.data(), dst, 23, 1, &err), 23u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(calls("allocate"), 0u);
    EXPECT_EQ(element_flags(dst), (std::vector<uint8_t>{9, 9, 0, 0, 0}));
    vm_id_valid_req_destroy(h, 1, src);
    vm_id_valid_req_destroy(h, 1, dst);
}

TEST_F(Credentials, AnElementFlagBlockThatCannotBeHadIs12) {
    vm_id_valid_req_t *src = request(9);
    Bytes b = encode(marshal_of(type_index("vm_id_valid_req")), h, src, 64, &err);
    vm_id_valid_req_t *dst = vm_id_valid_req_create(h, 1);
    st().fail_alloc_at = st().alloc_calls + 2; // the elements, then their flags
    EXPECT_EQ(vm_id_valid_req_unmarshal(h, 1, b.data(), dst, static_cast<int32_t>(b.size()), 0, &err),
              0u);
    EXPECT_EQ(err, 12u);
    vm_id_valid_req_destroy(h, 1, src);
    vm_id_valid_req_destroy(h, 1, dst);
}

// ---- Entry and failures ---------------------------------------------------------------------

TEST_F(Wire, APendingErrorStopsEveryCoderBeforeItTouchesAnything) {
    vm_id_t *id = vm_id_create(h, 1);
    Bytes b(64, 0xAB);
    const Bytes untouched = b;
    st().calls.clear();
    err = 5;
    EXPECT_EQ(vm_id_marshal(h, 1, b.data(), id, 64, &err), 0u);
    EXPECT_EQ(vm_id_marshal_for_clone(h, 1, b.data(), id, 64, &err), 0u);
    EXPECT_EQ(vm_id_unmarshal(h, 1, b.data(), id, 64, 0, &err), 0u);
    EXPECT_EQ(b, untouched);
    EXPECT_EQ(err, 5u);
    EXPECT_EQ(calls("qel_clear_last_error"), 0u);
    vm_id_destroy(h, 1, id);
}

TEST_F(Wire, AnEmptyBufferIs90AndANullInstanceIs22) {
    vm_id_t *id = vm_id_create(h, 1);
    Bytes b(64);
    struct Case {
        int32_t len;
        bool null_inst;
        uint32_t code;
    };
    for (Case c : {Case{0, false, 90}, Case{-1, false, 90}, Case{64, true, 22}}) {
        void *inst = c.null_inst ? nullptr : id;
        err = 0;
        EXPECT_EQ(vm_id_marshal(h, 1, b.data(), static_cast<vm_id_t *>(inst), c.len, &err), 0u);
        EXPECT_EQ(err, c.code);
        EXPECT_EQ(st().last_error, c.code);
        err = 0;
        EXPECT_EQ(vm_id_unmarshal(h, 1, b.data(), static_cast<vm_id_t *>(inst), c.len, 0, &err), 0u);
        EXPECT_EQ(err, c.code);
    }
    vm_id_destroy(h, 1, id);
}

TEST_F(Wire, ASingleByteIsTheVariantAndThenTooShort) {
    vm_id_t *id = vm_id_create(h, 1);
    const uint8_t one = 0xFF;
    EXPECT_EQ(vm_id_unmarshal(h, 1, &one, id, 1, 0, &err), 1u);
    EXPECT_EQ(err, 90u);
    EXPECT_EQ(walk::instance_variant(id), -1);
    vm_id_destroy(h, 1, id);
}

TEST_F(Wire, LenOfNoInstanceIsTheHeaderAndLenCrHonoursThePendingError) {
    EXPECT_EQ(vm_id_len(h, 1, nullptr), 6u);
    vm_act_rsp_t *a = act_rsp();
    EXPECT_EQ(vm_act_rsp_len_cr(h, a), 48u);
    h->err = 12;
    EXPECT_EQ(vm_act_rsp_len_cr(h, a), 0u);
    h->err = 0;
    vm_act_rsp_destroy(h, 1, a);
}

// A list owner's decoder registers; a nested record is decoded by its own
// type's decoder, which may be an owner's.
uint64_t registrations(uint32_t t) {
    uint64_t n = 0;
    for (uint32_t i = 0; i < kTypes[t].field_count; ++i) {
        const auto &f = kTypes[t].fields[i];
        if (f.kind == drov::schema::FieldKind::List) n = 1;
    }
    for (uint32_t i = 0; i < kTypes[t].field_count; ++i) {
        const auto &f = kTypes[t].fields[i];
        if (f.kind == drov::schema::FieldKind::Record) n += registrations(static_cast<uint32_t>(f.ref));
    }
    return n;
}

TEST_F(Wire, OnlyTheFiveListOwnersRegisterTheTraceModuleWhenDecoding) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        void *inst = walk::create(h, t);
        Bytes b = encode(marshal_of(t), h, inst, 4096, &err);
        const uint64_t before = wlog_inits();
        unmarshal_of(t)(h, 1, b.data(), inst, static_cast<int32_t>(b.size()), 1, &err);
        EXPECT_EQ(wlog_inits() - before, registrations(t)) << walk::name(t);
        walk::destroy(h, t, inst);
    }
    EXPECT_EQ(err, 0u);
}

// ---- Cloning -----------------------------------------------------------------------------------

class Cloning : public Wire {
protected:
    vm_ident_t *ident(const char *name) {
        vm_ident_t *i = vm_ident_create(h, 1);
        vm_ident_name_set(h, 1, i, name, static_cast<uint32_t>(std::strlen(name)), &err);
        return i;
    }
    std::string name_of(const vm_ident_t *i) {
        return std::string(walk::load<const char *>(i, 16), walk::load<uint32_t>(i, 12));
    }
    Bytes scratch = Bytes(256);
};

TEST_F(Cloning, CloneInternalDecodesIntoTheDestinationItIsGiven) {
    vm_ident_t *src = ident("source"), *dst = ident("dest");
    vm_ident_t *out = dst;
    const uint64_t inits = wlog_inits();
    st().calls.clear();
    vm_ident_clone_internal(h, 1, src, &out, scratch.data(), 256, &err);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(out, dst);
    EXPECT_EQ(name_of(dst), "source");
    EXPECT_EQ(calls("allocate"), 1u); // the characters only
    EXPECT_EQ(wlog_inits(), inits);   // nothing was created
    vm_ident_destroy(h, 1, src);
    vm_ident_destroy(h, 1, dst);
}

TEST_F(Cloning, AGivenDestinationWhoseDecodingFailedIsDestroyed) {
    vm_ident_t *src = ident("source"), *dst = ident("dest");
    vm_ident_t *out = dst;
    const size_t live = st().live.size();
    st().fail_alloc_at = st().alloc_calls + 1;
    vm_ident_clone_internal(h, 1, src, &out, scratch.data(), 256, &err);
    EXPECT_EQ(err, 12u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(st().live.size(), live - 2); // dst and its old characters
    EXPECT_EQ(st().live.count(dst), 0u);
    vm_ident_destroy(h, 1, src);
}

TEST_F(Cloning, CloneCreatesANewDestinationWhateverOutHeld) {
    vm_ident_t *src = ident("source"), *other = ident("other");
    vm_ident_t *out = other;
    const uint64_t inits = wlog_inits();
    vm_ident_clone(h, 1, src, &out, scratch.data(), 256, &err);
    EXPECT_EQ(err, 0u);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, other);
    EXPECT_EQ(name_of(out), "source");
    EXPECT_EQ(name_of(other), "other");
    EXPECT_EQ(wlog_inits(), inits + 1); // registered before creating
    std::vector<const void *> a, b;
    walk::blocks(kIdent, src, a);
    walk::blocks(kIdent, out, b);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_NE(a.at(0), b.at(0));
    for (auto *i : {src, other, out}) vm_ident_destroy(h, 1, i);
}

TEST_F(Cloning, ACloneKeepsTheSourcesVariantWhateverTheDomainKnows) {
    vm_act_rsp_t *a = act_rsp();
    vm_act_rsp_owner_set(h, 1, a, "xy", 2, &err);
    vm_act_rsp_sp_type_set_value(h, 1, a, 4, &err);
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    vm_act_rsp_t *out = nullptr;
    vm_act_rsp_clone(h, 1, a, &out, scratch.data(), 256, &err);
    EXPECT_EQ(err, 0u);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(walk::instance_variant(out), 2);
    EXPECT_EQ(walk::diff(kActRsp, a, out), "");
    vm_act_rsp_destroy(h, 1, a);
    qel_standin::set_domain_variant(h, "vm_act_rsp", 2);
    vm_act_rsp_destroy(h, 1, out);
}

TEST_F(Cloning, FailuresBeforeTheDecodingLeaveOutAsItWas) {
    vm_ident_t *src = ident("source");
    vm_ident_t *given = ident("given");
    struct Case {
        const vm_ident_t *src;
        bool null_out;
        uint8_t *buf;
        uint32_t len;
        uint32_t code;
    };
    for (Case c : {Case{src, false, scratch.data(), 0, 90}, Case{src, false, scratch.data(), 12, 90},
                   Case{src, false, nullptr, 256, 2}, Case{nullptr, false, scratch.data(), 256, 2},
                   Case{src, true, scratch.data(), 256, 2}}) {
        vm_ident_t *out = given;
        err = 0;
        const size_t made = allocations();
        vm_ident_clone_internal(h, 1, c.src, c.null_out ? nullptr : &out, c.buf, c.len, &err);
        EXPECT_EQ(err, c.code);
        EXPECT_EQ(st().last_error, c.code);
        EXPECT_EQ(out, given);
        EXPECT_EQ(allocations(), made);
    }
    EXPECT_EQ(name_of(given), "given");
    err = 7;
    vm_ident_t *out = nullptr;
    vm_ident_clone(h, 1, src, &out, scratch.data(), 256, &err);
    EXPECT_EQ(err, 7u);
    EXPECT_EQ(out, nullptr);
    vm_ident_destroy(h, 1, src);
    vm_ident_destroy(h, 1, given);
}

TEST_F(Cloning, ADestinationThatCannotBeMadeIs12) {
    vm_ident_t *src = ident("source");
    vm_ident_t *out = nullptr;
    st().fail_alloc_at = st().alloc_calls + 1;
    vm_ident_clone(h, 1, src, &out, scratch.data(), 256, &err);
    EXPECT_EQ(err, 12u);
    EXPECT_EQ(out, nullptr);
    // A creation that hands out the placeholder instead is no destination
    // either.
    err = 0;
    h->cr_in_progress = 1;
    h->err = 5;
    vm_ident_clone(h, 1, src, &out, scratch.data(), 256, &err);
    h->cr_in_progress = 0;
    h->err = 0;
    EXPECT_EQ(err, 12u);
    EXPECT_EQ(out, nullptr);
    vm_ident_destroy(h, 1, src);
}

TEST_F(Cloning, CloneCrUsesTheHandlesWorkspaceAndErrorWord) {
    vm_ident_t *src = ident("source");
    vm_ident_t *out = vm_ident_clone_cr(h, src);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(name_of(out), "source");
    const auto *ws = static_cast<const uint8_t *>(h->workspace); // the encoding went there
    EXPECT_EQ(ws[9], 6);
    EXPECT_EQ(ws[10], 's');
    vm_ident_destroy(h, 1, out);
    h->workspace_len = 10;
    EXPECT_EQ(vm_ident_clone_cr(h, src), nullptr);
    EXPECT_EQ(h->err, 90u);
    EXPECT_EQ(vm_ident_clone_cr(h, src), nullptr);
    h->err = 0;
    vm_ident_destroy(h, 1, src);
}

} // namespace
