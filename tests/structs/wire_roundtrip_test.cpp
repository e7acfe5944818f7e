// Every structure type, filled at random in every variant and with state
// tracking on and off, survives encoding, decoding and cloning field by
// field and byte by byte.
#include "struct_support.h"

namespace {

using namespace wire;
using qel_standin::Tracking;

class RoundTrip : public WireTest, public ::testing::WithParamInterface<Tracking> {};

TEST_P(RoundTrip, EveryTypeInEveryVariantComesBackFieldByFieldAndByteByByte) {
    qel_standin::set_tracking(h, GetParam());
    ASSERT_EQ(h->features, 0u); // an observed handle: every runtime call is made
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        for (int8_t v = -1; v < kTypes[t].variants; ++v) {
            for (uint32_t round = 0; round < 4; ++round) {
                SCOPED_TRACE(walk::name(t) + " variant " + std::to_string(v) + " round " +
                             std::to_string(round));
                qel_standin::set_domain_variant(h, walk::name(t), v);
                walk::Filler fill{h, std::mt19937(1000 * t + 10 * round + static_cast<uint32_t>(v + 1))};
                void *src = make(t);
                fill.fill(t, src);
                ASSERT_EQ(fill.err, 0u);
                walk::fn<void (*)(qel_handle_t *, uint32_t, void *, uint32_t)>(
                    walk::op(t, "set_all_state_tracking_flag"))(h, 1, src, 3 + round);
                ASSERT_EQ(walk::instance_variant(src), v);

                // len + 1 always holds the whole encoding (a list's flag
                // needs two bytes of room, len counts one); a reader given
                // the writer's buffer length consumes exactly what was
                // written, and announces every byte it changes.
                const uint32_t size = walk::ops(t).len(h, 1, src) + 1;
                const Bytes b = encode(t, src, size);
                ASSERT_EQ(err, 0u);
                ASSERT_LT(b.size(), size);
                Bytes padded = b;
                padded.resize(size, 0xEE);
                {
                    // The runtime letting the library code the values and
                    // count the instances itself: the same bytes and values.
                    h->features = QEL_FEATURES_ALL;
                    EXPECT_EQ(encode(t, src, size), b);
                    void *plain = make(t);
                    EXPECT_EQ(decode(t, padded, plain), b.size());
                    EXPECT_EQ(walk::diff(t, src, plain), "");
                    EXPECT_EQ(decode(t, padded, plain, 1), b.size());
                    EXPECT_EQ(encode(t, plain, size), b);
                    h->features = 0;
                }
                void *dst = make(t);
                {
                    Watch w(h);
                    w.add(dst, walk::fn<uint32_t (*)(qel_handle_t *)>(walk::op(t, "sizeof"))(h));
                    w.start();
                    EXPECT_EQ(decode(t, padded, dst), b.size());
                    EXPECT_EQ(w.unannounced(dst), std::vector<long>{});
                }
                ASSERT_EQ(err, 0u);
                EXPECT_EQ(walk::diff(t, src, dst), "");
                EXPECT_EQ(encode(t, dst, size), b);

                // Decoded again in place: nothing is allocated.
                const uint64_t allocs = st().alloc_calls;
                EXPECT_EQ(decode(t, padded, dst, 1), b.size());
                EXPECT_EQ(st().alloc_calls, allocs);
                EXPECT_EQ(encode(t, dst, size), b);

                // Given exactly the bytes written, so do the fields and flags.
                void *exact = make(t);
                EXPECT_EQ(decode(t, b, exact), b.size());
                EXPECT_EQ(walk::diff(t, src, exact), "");
                EXPECT_EQ(encode(t, exact, size), b);

                // A clone is equal and shares no block with its source.
                void *copy = nullptr;
                Bytes scratch(size);
                walk::ops(t).clone(h, 1, src, &copy, scratch.data(), size, &err);
                ASSERT_EQ(err, 0u);
                ASSERT_NE(own(t, copy), nullptr);
                EXPECT_EQ(walk::diff(t, src, copy), "");
                EXPECT_EQ(encode(t, copy, size), b);
                std::vector<const void *> mine, theirs;
                walk::blocks(t, src, mine);
                walk::blocks(t, copy, theirs);
                for (const void *p : theirs) EXPECT_EQ(std::find(mine.begin(), mine.end(), p), mine.end());

                release_all();
                ASSERT_TRUE(st().live.empty());
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tracking, RoundTrip, ::testing::Values(Tracking::Absent, Tracking::Off, Tracking::On),
                         [](const ::testing::TestParamInfo<Tracking> &p) {
                             return p.param == Tracking::On ? "On" : p.param == Tracking::Off ? "Off" : "NoRecord";
                         });

} // namespace
