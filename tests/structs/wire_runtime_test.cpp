// What the wire form leaves to the runtime, answered otherwise than the stand-in answers it.  This
// program's own definition is found before the runtime's: the variant reported for no instance at
// all may be one with fields.
#include "struct_support.h"

namespace {
int8_t g_null_variant = -1;
} // namespace

extern "C" int8_t qel_get_instance_variant(const void *inst, int32_t, int32_t) {
    return inst != nullptr ? static_cast<const int8_t *>(inst)[8] : g_null_variant;
}

namespace {

using namespace wire;

using Runtime = WireTest;

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
    g_null_variant = -1;
}

} // namespace
