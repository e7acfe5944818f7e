// Decoding what a peer should not have sent: every prefix of a valid
// encoding, and list counts that claim far more than the buffer holds.
// Nothing is read or written out of bounds (the sanitizer build checks),
// nothing leaks.  (Mutated and random bytes: the fuzz harnesses and their
// kept corpora; every allocation failing: the starting inputs' checks.)
#include <memory>

#include "struct_support.h"

namespace {

using namespace wire;
using qel_standin::Tracking;

class Hostile : public WireTest, public ::testing::WithParamInterface<Tracking> {
protected:
    void SetUp() override {
        WireTest::SetUp();
        qel_standin::set_tracking(h, GetParam());
    }
    // Decodes `bytes`, from a block of exactly their size, into a fresh
    // instance and as an update into `target`; the error word is 0 or, for
    // a buffer too short for a value, 90.  The message cut short never
    // looks whole: it fails, or its count goes past the bytes given.
    void decode_both(uint32_t t, const Bytes &bytes, void *target) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        void *fresh = walk::create(h, t);
        for (auto [inst, update] : {std::pair{fresh, 0u}, std::pair{target, 1u}}) {
            uint32_t e = 0;
            const uint32_t n =
                walk::ops(t).unmarshal(h, 1, exact.get(), inst, static_cast<int32_t>(bytes.size()), update, &e);
            EXPECT_TRUE(e == 0 || e == 90) << "error " << e;
            EXPECT_TRUE(e != 0 || n > bytes.size()) << n << " of " << bytes.size();
        }
        walk::destroy(h, t, fresh);
    }
};

TEST_P(Hostile, EveryPrefixDecodesWithinItsBytesAndLooksCut) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        void *src = make(t);
        walk::Filler fill{h, std::mt19937(t + 1)};
        fill.fill(t, src);
        const Bytes valid = encode(t, src, walk::ops(t).len(h, 1, src) + 1);
        ASSERT_EQ(err, 0u);
        void *target = make(t);
        for (size_t k = 1; k < valid.size(); ++k) decode_both(t, slice(valid, 0, k), target);
        release_all();
        ASSERT_TRUE(st().live.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Tracking, Hostile, ::testing::Values(Tracking::Off, Tracking::On),
                         [](const auto &p) { return test::structs::tracking_name(p.param); });

// ---- Claims beyond the buffer ----------------------------------------------------------------

using Claims = WireTest;

// (Strings and variable arrays that claim too much: the hand-made encodings.)
TEST_F(Claims, AListCountBeyondTheBufferEndsWithTheBuffer) {
    constexpr uint32_t kNicRsp = type_index("vm_nic_rsp");
    auto *src = make<vm_nic_rsp_t>(kNicRsp);
    vm_nic_rsp_vm_if_info_set_last(h, 1, src, vm_nic_list_create(h, 1), &err);
    Bytes b = encode(kNicRsp, src, 1024);
    std::fill_n(b.begin() + 6, 4, 0xFF); // the count
    auto *r = make<vm_nic_rsp_t>(kNicRsp);
    st().calls.clear();
    decode(kNicRsp, b, r);
    EXPECT_EQ(err, 90u);
    EXPECT_EQ(vm_nic_rsp_vm_if_info_get_count(h, 1, r, &(err = 0)), 1u);
    EXPECT_EQ(calls("allocate"), 2u); // the element kept, and one that found no bytes
    EXPECT_EQ(st().live.size(), 4u);
}

} // namespace
