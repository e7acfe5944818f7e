// Errors: each refusal surfaces with its number, the operation and the field,
// the library's own text, both as drov::error and through an error code; and
// an error code holding an error stops later calls as the C error word does.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>

#include "drov_def/drov_def.hpp"

namespace {

using drov::errc;

// Instances in the states the refusals need.
struct World {
    World() {
        const auto wire = drov::VmId(tracked).set_id(5).encode();
        EXPECT_EQ(wire.size(), 11u); // the last byte is id's state flag
        cut.assign(wire.begin(), wire.end() - 1);
    }
    // old_domain knows variant 0 of vm_act_rsp only
    drov::Handle h, old_domain = std::move(drov::Handle().variant<drov::VmActRsp>(0)),
                    tracked = std::move(drov::Handle().track_state());
    drov::VmActRsp rsp{h}, old{old_domain};
    drov::VmMacPool pool{h};
    std::vector<std::byte> cut;
};

struct Refusal {
    const char *what;
    errc code;
    const char *operation;
    const char *subject;
    std::function<void(World &, drov::ErrorSink)> run;
};

const Refusal kRefusals[] = {
    {"a field beyond the instance's variant", errc::variant, "get", "vm_act_rsp.owner",
     [](World &w, drov::ErrorSink e) { w.old.owner(e); }},
    {"a string longer than its u8 length", errc::invalid_argument, "set", "vm_act_rsp.owner",
     [](World &w, drov::ErrorSink e) { w.rsp.set_owner(std::string(256, 'o'), e); }},
    {"an array element beyond the array", errc::absent, "set", "vm_mac_pool.mac_base",
     [](World &w, drov::ErrorSink e) { w.pool.set_mac_base(6, 1, e); }},
    {"more bytes than a fixed array holds", errc::invalid_argument, "set", "vm_mac_pool.mac_base",
     [](World &w, drov::ErrorSink e) { w.pool.set_mac_base(std::array<uint8_t, 7>{}, e); }},
    {"a state flag without state tracking", errc::invalid_argument, "flag", "vm_act_rsp.vm_uid",
     [](World &w, drov::ErrorSink e) { w.rsp.vm_uid_flag(e); }},
    {"a list position that holds no element", errc::invalid_argument, "extract", "vm_nic_rsp.vm_if_info",
     [](World &w, drov::ErrorSink e) {
         auto l = w.rsp.vm_if_rsp().vm_if_info();
         l.extract(l.end(), e);
     }},
    {"an empty owner given to a list", errc::invalid_argument, "insert", "vm_nic_rsp.vm_if_info",
     [](World &w, drov::ErrorSink e) { w.rsp.vm_if_rsp().vm_if_info().push_back(drov::VmNicList(), e); }},
    {"no message at all", errc::message_size, "decode", "vm_act_rsp",
     [](World &w, drov::ErrorSink e) { drov::VmActRsp::decode(w.h, {}, e); }},
    {"an encoding into too short a buffer", errc::message_size, "encode", "vm_act_rsp",
     [](World &w, drov::ErrorSink e) {
         std::array<std::byte, 8> out;
         w.rsp.encode(out, e);
     }},
    {"XML that is no document", errc::invalid_argument, "from_xml", "vm_act_rsp",
     [](World &w, drov::ErrorSink e) { w.rsp.merge_xml("<vm_act_rsp>", {}, e); }},
    {"a handle setter while instances live", errc::busy, "track_state", "handle",
     [](World &w, drov::ErrorSink e) { w.h.track_state(true, e); }},
};

TEST(CxxErrors, EachRefusalNamesItsNumberOperationAndField) {
    for (const Refusal &r : kRefusals) {
        SCOPED_TRACE(r.what);
        {
            World w;
            try {
                r.run(w, {});
                ADD_FAILURE() << "no exception";
            } catch (const drov::error &x) {
                EXPECT_EQ(x.code(), r.code);
                EXPECT_STREQ(x.operation(), r.operation);
                EXPECT_STREQ(x.subject(), r.subject);
                // The library's words, or where it happened when the operation can tell.
                const std::string head = std::string(r.operation) + " " + r.subject + ": " +
                                         (x.place() ? x.place().text() : x.code().message());
                EXPECT_EQ(std::string(x.what()).rfind(head, 0), 0u) << x.what();
            }
        }
        World w;
        std::error_code ec;
        EXPECT_NO_THROW(r.run(w, ec));
        EXPECT_EQ(ec, r.code);
    }
}

TEST(CxxErrors, TheCategorySpeaksTheLibrarysWords) {
    const std::error_code ec = errc::message_size;
    EXPECT_STREQ(ec.category().name(), "drov_def");
    EXPECT_EQ(ec.message(), drov_def_strerror(DROV_DEF_EMSGSIZE));
    EXPECT_EQ(std::error_code(errc::out_of_memory), std::errc::not_enough_memory);
}

// A cut message is refused with its place and changes nothing; read leniently, with an error
// code given, it still shows how far it claimed to go.
TEST(CxxErrors, ACutMessageIsRefusedWhereItEndsOrReadAsFarAsItGoes) {
    World w;
    drov::VmId id(w.tracked);
    try {
        id.update_from(w.cut);
        ADD_FAILURE() << "no exception";
    } catch (const drov::error &x) {
        EXPECT_EQ(x.code(), errc::message_size);
        EXPECT_EQ(x.place().operation, "verify");
        EXPECT_GE(x.place().offset, 0);
        EXPECT_EQ(std::string(x.what()).rfind("decode vm_id: offset ", 0), 0u) << x.what();
    }
    EXPECT_EQ(id.id(), 0u);
    EXPECT_EQ(w.tracked.last_failure().offset, -1) << "the next operation cleared the place";
    std::error_code ec;
    EXPECT_EQ(id.update_from(w.cut, drov::lenient, ec), 11u);
    EXPECT_EQ(ec, errc::message_size);
    EXPECT_EQ(id.id(), 5u); // the fields before the cut were read
    ec.clear();
    id.update_from(w.cut, ec);
    EXPECT_EQ(ec, errc::message_size);
    EXPECT_EQ(w.tracked.last_failure().type, "vm_id") << "the place stays in the handle";
}

// A pending error makes later calls do nothing, so one check covers a sequence.
TEST(CxxErrors, APendingErrorStopsTheCallsAfterIt) {
    World w;
    std::error_code ec;
    w.old.set_vm_uid(1, ec).set_owner("x", ec).set_vm_uid(2, ec);
    EXPECT_EQ(ec, errc::variant);
    EXPECT_EQ(w.old.vm_uid(), 1u);
    EXPECT_EQ(w.old.vm_name(ec), ""); // returns empty, reads nothing
    EXPECT_TRUE(w.old.encode(ec).empty());
    ec.clear();
    w.old.set_vm_uid(2, ec);
    EXPECT_FALSE(ec);
    EXPECT_EQ(w.old.vm_uid(), 2u);
}

} // namespace
