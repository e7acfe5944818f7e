// Operation families run over every structure type the schema has.
#include "schema_walk.h"
#include "support.h"

namespace {

using qel_standin::Tracking;
namespace walk = test::walk;

class AllTypes : public test::HandleTest, public ::testing::WithParamInterface<Tracking> {};

TEST_P(AllTypes, FilledInstancesAreDestroyedWithoutLeaks) {
    qel_standin::set_tracking(h, GetParam());
    walk::Filler fill{h, std::mt19937(7)};
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        void *inst = walk::create(h, t);
        ASSERT_NE(inst, nullptr);
        fill.fill(t, inst);
        EXPECT_EQ(fill.err, 0u);
        walk::destroy(h, t, inst);
        EXPECT_TRUE(st().live.empty());
    }
}

std::string tracking_name(const ::testing::TestParamInfo<Tracking> &p) {
    return p.param == Tracking::On ? "On" : p.param == Tracking::Off ? "Off" : "NoRecord";
}
INSTANTIATE_TEST_SUITE_P(Tracking, AllTypes,
                         ::testing::Values(Tracking::Absent, Tracking::Off, Tracking::On),
                         tracking_name);

} // namespace
