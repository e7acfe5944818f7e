// The C++ layer at its edges: every refusal of tests/golden/edges/refusals.cases with its number and
// place; what the strict forms refuse, the lenient forms read, and whatever they read encodes,
// clones and decodes again; what older and newer peers send passes; a creation that fails is out of
// memory whatever the handle's last error held.  (A newer peer's enumeration number through this
// layer's XML and back: drovdef's DecodedXmlEncodesToTheSameBytes.)
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "drov_def/drov_def.hpp"

namespace {

std::vector<std::byte> unhex(std::string_view s) {
    std::vector<std::byte> b;
    for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<std::byte>(std::stoul(std::string(s.substr(i, 2)), nullptr, 16)));
    return b;
}

// One line of the cases file.
struct Case {
    std::string line, kind, type, input;
    uint32_t code = 0;
    int64_t offset = -1;
    uint32_t line_no = 0, column = 0;
    std::string path, reason;
};

std::vector<Case> cases() {
    std::ifstream in(DROV_DEF_EDGES_CASES);
    std::vector<Case> out;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        Case c;
        c.line = line;
        const size_t arrow = line.find(" => "), bar = line.find(" | ", arrow);
        std::istringstream head(line.substr(0, arrow)), tail(line.substr(arrow + 4, bar - arrow - 4));
        head >> c.kind >> c.type;
        std::getline(head >> std::ws, c.input);
        std::string at;
        tail >> c.code >> at >> c.path;
        if (c.path == "-") c.path.clear();
        if (const size_t colon = at.find(':'); colon != std::string::npos)
            c.line_no = std::stoul(at.substr(1, colon - 1)), c.column = std::stoul(at.substr(colon + 1));
        else if (at != "@-")
            c.offset = std::stoll(at.substr(1));
        c.reason = line.substr(bar + 3);
        out.push_back(c);
    }
    return out;
}

// f(std::type_identity<C>{}) for the class named `type`.
template <class F> void with_type(const std::string &type, F &&f) {
    bool found = false;
    drov::meta::for_each_struct([&](auto t) {
        if (decltype(t)::type::type_name == type) found = true, f(t);
    });
    ASSERT_TRUE(found) << type;
}

TEST(CxxEdges, EachRefusalHasItsNumberAndPlaceAndTheLenientFormsStillRead) {
    const auto all = cases();
    ASSERT_GE(all.size(), 25u);
    for (const Case &c : all) {
        SCOPED_TRACE(c.line.substr(0, 160));
        with_type(c.type, [&](auto t) {
            using C = typename decltype(t)::type;
            drov::Handle h;
            try {
                if (c.kind == "binary")
                    C::decode(h, unhex(c.input));
                else
                    C::from_xml(h, c.input);
                ADD_FAILURE() << "accepted";
            } catch (const drov::error &x) {
                EXPECT_EQ(x.code().value(), static_cast<int>(c.code));
                EXPECT_EQ(x.place().offset, c.offset);
                EXPECT_EQ(x.place().line, c.line_no);
                EXPECT_EQ(x.place().column, c.column);
                EXPECT_EQ(x.place().path, c.path);
                EXPECT_EQ(x.place().reason, c.reason);
                // (The XML parser knows no type.)
                EXPECT_EQ(x.place().type, x.place().operation == "xml_parse" ? "" : c.type);
            }
            // The same place stays in the handle for a caller that took an error code.
            std::error_code ec;
            if (c.kind == "binary") C::decode(h, unhex(c.input), ec);
            else C::from_xml(h, c.input, {}, ec);
            EXPECT_EQ(ec.value(), static_cast<int>(c.code));
            EXPECT_EQ(h.last_failure().reason, c.reason);
            if (c.kind != "binary") return;
            // Whatever the library's own decoding reads encodes whole, clones, and decodes again
            // to an equal instance.
            ec.clear();
            C lenient = C::decode(h, unhex(c.input), drov::lenient, ec);
            if (ec) return;
            const auto again = lenient.encode();
            EXPECT_TRUE(C::decode(h, again, drov::lenient) == lenient);
            EXPECT_TRUE(lenient.clone() == lenient);
        });
    }
}

// Minimal inputs the library reads and whose instances encode into more than len() + 1 bytes: a
// vm_inst_fail whose header carries an ra-data block (len counts none), and a vm_install_cfg read
// on a tracking handle, whose state flags len counts otherwise.  Each encodes whole into
// encode_size() bytes, never into fewer, and decodes again equal.
template <class C> void encodes_whole(drov::Handle &h, const std::string &hex, size_t size) {
    const C in = C::decode(h, unhex(hex), drov::lenient);
    const auto out = in.encode();
    EXPECT_EQ(out.size(), size);
    EXPECT_EQ(in.encode_size(), size);
    EXPECT_TRUE(C::decode(h, out, drov::lenient) == in);
    EXPECT_TRUE(in.clone() == in);
    std::vector<std::byte> short_by_one(size - 1);
    std::error_code ec;
    EXPECT_EQ(in.encode(short_by_one, ec), 0u);
    EXPECT_EQ(ec, drov::errc::message_size);
}
TEST(CxxEdges, WhatTheLibraryDecodesEncodesWhole) {
    drov::Handle plain, tracked;
    tracked.track_state();
    encodes_whole<drov::VmInstFail>(plain, "0020" + std::string(58, '0'), 31);
    encodes_whole<drov::VmInstallCfg>(tracked, "422f" + std::string(120, '0'), 67);
    EXPECT_EQ(vm_install_cfg_len(tracked.get(), 1, drov::VmInstallCfg::decode(tracked, unhex("422f" + std::string(120, '0')), drov::lenient).c_ptr()) + 1, 66u)
        << "len() + 1 falls a byte short here";
}

// Strict never means less tolerant of version skew.
TEST(CxxEdges, OlderAndNewerPeersPass) {
    drov::Handle h, old;
    old.variant<drov::VmActRsp>(0);
    drov::VmActRsp rsp(h);
    rsp.set_vm_name("web01").set_owner("ops").set_sp_type(drov::VmSpType::Qubm);
    rsp.vm_if_rsp().vm_if_info().push_back().set_if_handle(7);
    const auto wire = rsp.encode();

    // An older writer: variant 0, which a reader that knows variant 2 reads as it is.
    const auto older = drov::VmActRsp(old).set_vm_name("web01").encode();
    EXPECT_EQ(drov::VmActRsp::decode(h, older).variant(), 0);

    // A newer writer: variant 3 with four more bytes in the body, and an rc this library does not
    // name; the variants read are 0 to 2 and the rest is jumped over.
    auto newer = wire;
    newer[0] = std::byte{3};
    newer.insert(newer.end(), {std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4}});
    newer[5] = static_cast<std::byte>(std::to_integer<int>(newer[5]) + 4);
    newer[19] = std::byte{99}; // rc's value, after the name's 4 + 5 bytes and rc's variant byte
    const auto read = drov::VmActRsp::decode(h, newer);
    EXPECT_EQ(read.variant(), 2);
    EXPECT_EQ(static_cast<uint32_t>(read.rc()), 99u);
    EXPECT_EQ(read.owner(), "ops");

    // A writer with nothing to say: variant -1, an empty body.
    const auto none = drov::VmActRsp::decode(h, unhex("ff0000000004"));
    EXPECT_EQ(none.variant(), -1);

    // A message followed by the next one: the first and its length.
    auto two = wire;
    two.insert(two.end(), older.begin(), older.end());
    size_t used = 0;
    EXPECT_TRUE(drov::VmActRsp::decode(h, two, used) == rsp);
    EXPECT_EQ(used, wire.size());
    drov::VmActRsp second(h);
    EXPECT_EQ(second.update_from(std::span(two).subspan(used), drov::prefix), older.size());
}

// A creation that fails reports out of memory, not whatever number the handle held before
// (a successful from_xml leaves 2 behind from its enumeration lookups).
TEST(CxxEdges, AFailedCreationIsOutOfMemory) {
    const drov_def_alloc_fn none = [](void *, uint32_t, uint32_t) -> void * { return nullptr; };
    const drov_def_free_fn nothing = [](void *, uint32_t, void *) {};
    drov::Handle h;
    h.use_allocator(none, nothing, nullptr);
    const drov_def_failure_t stale{DROV_DEF_ENOENT, "", "", "", -1, 0, 0, ""};
    drov_def_runtime_set_failure(h.get(), &stale);
    std::error_code ec;
    drov::VmMacPool pool(h, ec);
    EXPECT_EQ(ec, drov::errc::out_of_memory);
    EXPECT_FALSE(pool);
    ec.clear();
    drov_def_runtime_set_failure(h.get(), &stale);
    EXPECT_FALSE(drov::VmNicRsp::decode(h, unhex("000000000008000000"), ec));
    EXPECT_EQ(ec, drov::errc::out_of_memory);
}

} // namespace
