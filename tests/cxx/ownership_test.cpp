// Who frees what: owners across moves, clones, list insertion and removal,
// adoption and release.  Each case ends with the handle holding no block, and
// the sanitizer build catches a double free or a use after free.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "drov_def/drov_def.hpp"

namespace {

using drov::VmActRsp;
using drov::VmNicList;
using drov::VmNicRsp;

VmActRsp message(drov::Context c, int nics) {
    VmActRsp m(c);
    m.set_vm_name("web01").set_owner("ops");
    for (int i = 0; i < nics; ++i) m.vm_if_rsp().vm_if_info().push_back().set_if_handle(0x100 + i);
    return m;
}

std::vector<uint32_t> handles(VmNicRsp::CRef r) {
    std::vector<uint32_t> out;
    for (auto e : r.vm_if_info()) out.push_back(e.if_handle());
    return out;
}

struct Case {
    const char *name;
    std::function<void(drov::Handle &)> run;
};

const Case kCases[] = {
    {"move construction and assignment",
     [](drov::Handle &h) {
         VmActRsp a = message(h, 2);
         VmActRsp b(std::move(a));
         EXPECT_FALSE(a);
         VmActRsp c = message(h, 1);
         c = std::move(b); // c's own instance is destroyed
         EXPECT_FALSE(b);
         EXPECT_EQ(handles(c.vm_if_rsp()), (std::vector<uint32_t>{0x100, 0x101}));
         VmActRsp &same = c;
         c = std::move(same);
         EXPECT_TRUE(c);
     }},
    {"clones own their strings and elements",
     [](drov::Handle &h) {
         VmActRsp a = message(h, 3);
         VmActRsp b = a.clone();
         a.vm_if_rsp().vm_if_info().clear();
         a.set_vm_name("other");
         EXPECT_EQ(b.vm_name(), "web01");
         EXPECT_EQ(handles(b.vm_if_rsp()), (std::vector<uint32_t>{0x100, 0x101, 0x102}));
         // an embedded record clones into an instance of its own
         auto inner = b.vm_if_rsp().vm_if_info().front().vm_nic_info();
         drov::VmNicInfo alone = inner.set_mtu(9000).clone();
         EXPECT_EQ(alone, inner);
         EXPECT_EQ(alone.mtu(), 9000u);
     }},
    {"a list takes an owner's element and hands it back",
     [](drov::Handle &h) {
         VmActRsp a = message(h, 2);
         auto list = a.vm_if_rsp().vm_if_info();
         VmNicList e(h);
         e.set_if_handle(7);
         list.insert(++list.begin(), std::move(e));
         EXPECT_FALSE(e);
         EXPECT_EQ(handles(a.vm_if_rsp()), (std::vector<uint32_t>{0x100, 7, 0x101}));
         VmNicList out = list.extract(list.begin());
         EXPECT_EQ(out.if_handle(), 0x100u);
         EXPECT_FALSE(out.parent());
         auto next = list.erase(list.begin()); // destroys the element 7
         EXPECT_EQ((*next).if_handle(), 0x101u);
         EXPECT_EQ(list.size(), 1u);
         list.push_front(std::move(out));
         EXPECT_EQ(list.front().parent().c_ptr(), a.vm_if_rsp().c_ptr());
         a.reset(); // the list's elements go with their owner
         EXPECT_FALSE(a);
     }},
    {"a nested record moved in leaves its source owned and empty",
     [](drov::Handle &h) {
         VmActRsp a = message(h, 1);
         VmNicRsp r(h);
         r.vm_if_info().push_back().set_if_handle(9);
         a.set_vm_if_rsp(std::move(r));
         EXPECT_TRUE(r);
         EXPECT_TRUE(r.vm_if_info().empty());
         EXPECT_EQ(handles(a.vm_if_rsp()), std::vector<uint32_t>{9});
         VmActRsp b = message(h, 2);
         b.move_from(a);
         EXPECT_EQ(b.vm_name(), "web01");
         EXPECT_EQ(a.vm_name(), "");
         EXPECT_EQ(handles(b.vm_if_rsp()), std::vector<uint32_t>{9});
     }},
    {"release and adopt hand the instance over",
     [](drov::Handle &h) {
         VmActRsp a = message(h, 2);
         vm_act_rsp_t *raw = a.release();
         EXPECT_FALSE(a);
         VmActRsp b = VmActRsp::adopt(h, raw);
         EXPECT_EQ(b.c_ptr(), raw);
         VmActRsp::Ref view = b; // a view destroys nothing
         VmActRsp::CRef read = view;
         EXPECT_EQ(read.vm_name(), "web01");
     }},
    {"decodings that fail leave nothing behind",
     [](drov::Handle &h) {
         const auto wire = message(h, 4).encode();
         const std::span<const std::byte> cut(wire.data(), wire.size() - 5);
         EXPECT_THROW(VmActRsp::decode(h, cut), drov::error);
         std::error_code ec;
         EXPECT_FALSE(VmActRsp::decode(h, cut, ec)); // refused before anything is made
         EXPECT_EQ(ec, drov::errc::message_size);
         ec.clear();
         VmActRsp partial = VmActRsp::decode(h, cut, drov::lenient, ec);
         EXPECT_EQ(ec, drov::errc::message_size);
         EXPECT_TRUE(partial); // what was read before the cut
         EXPECT_THROW(VmActRsp::from_xml(h, "<vm_act_rsp><vm_name>x</vm_name>"), drov::error);
     }},
};

TEST(CxxOwnership, NoBlockOutlivesItsOwner) {
    for (bool tracking : {false, true}) {
        for (const Case &c : kCases) {
            SCOPED_TRACE(std::string(c.name) + (tracking ? ", tracking" : ""));
            drov::Handle h;
            h.track_state(tracking);
            c.run(h);
            EXPECT_EQ(h.live_blocks(), 0u);
        }
    }
}

} // namespace
