// What the wire form leaves to the runtime, answered otherwise than the
// stand-in answers it.  This program's own definitions are found before
// the runtime's: u_int8_len and char_len may report a width above one byte
// (the coders still write one byte each), so the library codes fixed
// arrays and texts element by element through the coders; and the variant
// reported for no instance at all may be one with fields.
#include "struct_support.h"

namespace {
uint32_t g_width = 1;
int8_t g_null_variant = -1;
} // namespace

extern "C" uint32_t u_int8_len(void) { return g_width; }
extern "C" uint32_t char_len(void) { return g_width; }
extern "C" int8_t qel_get_instance_variant(const void *inst, int32_t, int32_t) {
    return inst != nullptr ? static_cast<const int8_t *>(inst)[8] : g_null_variant;
}

namespace {

using namespace wire;

class Runtime : public WireTest {
protected:
    void TearDown() override {
        g_width = 1;
        g_null_variant = -1;
        WireTest::TearDown();
    }
};

TEST_F(Runtime, FixedArraysAndTextsGoValueByValueWhenTheRuntimeSaysSo) {
    constexpr uint32_t kProfile = drov::schema::k_vm_profile;
    auto *p = make<vm_profile_t>(kProfile);
    vm_profile_name_set(h, 1, p, "name", 4, &err);
    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    vm_profile_mac_addr_set_mem(h, 1, p, mac, 6, &err);
    const Bytes one = encode(kProfile, p, 1024);
    const uint32_t one_len = vm_profile_len(h, 1, p);

    g_width = 2;
    EXPECT_EQ(encode(kProfile, p, 1024), one);
    EXPECT_EQ(vm_profile_len(h, 1, p), one_len + 64 + 256 + 6);
    void *q = make(kProfile);
    st().calls.clear();
    EXPECT_EQ(decode(kProfile, one, q, 1), one.size());
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::diff(kProfile, p, q), "");
    EXPECT_EQ(calls("char_unmarshal"), 64u + 256u);
    auto bytes = qel_standin::calls_named(h, "u_int8_unmarshal");
    ASSERT_EQ(bytes.size(), 6u);
    EXPECT_EQ(bytes[5].arg, 1); // the update flag reaches every value

    // Cut inside the array: the coder of the first missing value says 90.
    decode(kProfile, one, q, 0, static_cast<int32_t>(one.size() - 3));
    EXPECT_EQ(err, 90u);
    err = 0;
    encode(kProfile, p, 64);
    EXPECT_EQ(err, 90u);
}

// Without an instance, len counts the fields of the variant the runtime
// reports, strings and lists empty and no state flags.
TEST_F(Runtime, LenOfNoInstanceCountsTheFieldsOfTheRuntimesVariant) {
    qel_standin::set_tracking(h, qel_standin::Tracking::On);
    const struct {
        int8_t variant;
        uint32_t act_rsp, id_valid_req, profile;
    } cases[] = {{-1, 6, 6, 6}, {2, 45, 14, 342}, {0, 39, 14, 342}};
    for (const auto &c : cases) {
        g_null_variant = c.variant;
        EXPECT_EQ(vm_act_rsp_len(h, 1, nullptr), c.act_rsp) << int{c.variant};
        EXPECT_EQ(vm_id_valid_req_len(h, 1, nullptr), c.id_valid_req) << int{c.variant};
        EXPECT_EQ(vm_profile_len(h, 1, nullptr), c.profile) << int{c.variant};
    }
}

} // namespace
