// Every field of every structure comes back through the typed accessors (the walk in walk.h, compiled
// in parts); text and encodings size their own buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "drov_def/drov_def.hpp"
#include "walk.h"

namespace {

TEST(CxxWalk, EveryFieldOfEveryStructureComesBackThroughItsAccessors) {
    drov::Handle h;
    h.track_state();
    const int types = cxx_walk::check_part0(h) + cxx_walk::check_part1(h) + cxx_walk::check_part2(h);
    EXPECT_EQ(types, 30);
}

// Text and encodings size their own buffers: what the C calls write into
// buffers far larger than needed, for a message of a few hundred elements.
TEST(CxxBuffers, TextAndEncodingMatchTheCCallsAtAnySize) {
    drov::Handle h;
    drov::VmActRsp rsp(h);
    rsp.set_vm_name(std::string(3000, 'n'));
    for (int i = 0; i < 300; ++i) rsp.vm_if_rsp().vm_if_info().push_back().vm_nic_info().set_mtu(1500 + i);
    std::vector<char> big(1 << 22);
    uint32_t err = 0;
    const drov::Context c = rsp.context();
    uint32_t n = vm_act_rsp_print(c.handle, c.id, big.data(), 0, "vm_act_rsp", rsp.c_ptr(), uint32_t(big.size()), &err);
    EXPECT_EQ(rsp.to_text(), std::string(big.data(), n));
    std::string reused = "short";
    rsp.to_text(reused, "label");
    EXPECT_EQ(reused.rfind("label@vm_act_rsp: {\n", 0), 0u);
    n = vm_act_rsp_to_xml(c.handle, c.id, "t", big.data(), rsp.c_ptr(), uint32_t(big.size()), 0, &err);
    EXPECT_EQ(rsp.to_xml("t"), std::string(big.data(), n));
    n = vm_act_rsp_marshal(c.handle, c.id, reinterpret_cast<uint8_t *>(big.data()), rsp.c_ptr(), int32_t(big.size()), &err);
    const auto wire = rsp.encode();
    EXPECT_EQ(wire.size(), n);
    EXPECT_EQ(std::memcmp(wire.data(), big.data(), n), 0);
    EXPECT_EQ(err, 0u);
}

} // namespace
