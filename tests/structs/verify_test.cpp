// The verifier of encodings and the exact encoded size: a table of refusals with their places, a
// table of what peers write that must pass, and properties over every structure type (the
// verifier agrees with the decoder on marshal's bytes, their prefixes and mutations; the walk's
// parts tile the message; encoded_size is what marshal writes).
#include <random>
#include <string>

#include "drov_def/runtime.h"
#include "struct_support.h"
#include "wire_parts.h"

namespace {

using namespace wire;
using qel_standin::Tracking;

const qel_type_info *record_of(uint32_t t) {
    return walk::fn<const qel_type_info *>("_" + walk::name(t) + "_type_info_internal");
}

Bytes hex(std::string s) {
    std::erase(s, ' ');
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return b;
}

// What one verification said.
struct Verdict {
    uint32_t count, err, code;
    int64_t offset;
    std::string path, reason;
    bool operator==(const Verdict &) const = default;
};
std::ostream &operator<<(std::ostream &o, const Verdict &v) {
    return o << v.count << " err " << v.err << " at " << v.offset << " '" << v.path << "': " << v.reason;
}

using test::wire_parts::Parts;

class Verify : public WireTest {
protected:
    Verdict verify(uint32_t t, const Bytes &b, uint32_t flags = 0, size_t len = SIZE_MAX) {
        err = 0;
        const auto n = static_cast<int32_t>(std::min(len, b.size()));
        const uint32_t count = drov_def_verify(h, record_of(t), b.data(), n, flags, &err);
        const Verdict v = verdict(count);
        Parts p;
        err = 0;
        const uint32_t walked = drov_def_verify_walk(h, record_of(t), b.data(), n, flags, &Parts::add, &p, &err);
        EXPECT_EQ(verdict(walked), v) << "the walk says otherwise";
        EXPECT_EQ(p.tiling(walked), "");
        last_parts = p;
        err = 0;
        return v;
    }
    Verdict verdict(uint32_t count) {
        const drov_def_failure_t *f = drov_def_runtime_last_failure(h);
        EXPECT_EQ(drov_def_runtime_last_error(h), err);
        return {count, err, f->code, f->offset, f->path, f->reason};
    }
    // Unmarshal of exactly `count` bytes into a fresh instance reads them without error.
    void decodes(uint32_t t, const Bytes &b, uint32_t count) {
        void *inst = walk::create(h, t);
        err = 0;
        EXPECT_EQ(walk::ops(t).unmarshal(h, 1, b.data(), inst, static_cast<int32_t>(count), 0, &err), count);
        EXPECT_EQ(err, 0u) << walk::name(t);
        walk::destroy(h, t, inst);
        err = 0;
    }
    // The exact size against marshal: into a big buffer, into *room bytes, into one less.
    void sizes(uint32_t t, const void *inst, uint32_t flags) {
        const auto m = (flags & DROV_DEF_SIZE_FOR_CLONE) != 0 ? walk::ops(t).marshal_for_clone : walk::ops(t).marshal;
        uint32_t room = 0;
        const uint32_t n = drov_def_encoded_size(h, 1, record_of(t), inst, flags, &room, &err);
        ASSERT_EQ(err, 0u);
        const Bytes big = encode(t, inst, 1 << 16, m);
        err = 0;
        EXPECT_EQ(n, big.size()) << walk::name(t);
        EXPECT_TRUE(room == n || room == n + 1);
        EXPECT_EQ(encode(t, inst, room, m), big);
        if (room > n) {
            EXPECT_NE(encode(t, inst, room - 1, m).size(), n);
        }
        err = 0;
    }
    Parts last_parts;
};

// The worked message: vm_act_rsp "web01", rc OK, uid 77, owner "ops", interfaces 0x1a2b (mtu
// 1500) and 0x1a2c, on a default handle: 135 bytes.
Bytes act_rsp_message(qel_handle_t *h) {
    uint32_t err = 0;
    vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
    vm_act_rsp_vm_name_set(h, 1, a, "web01", 5, &err);
    vm_act_rsp_rc_set_value(h, 1, a, VM_RSP_RC_OK, &err);
    vm_act_rsp_vm_uid_set_value(h, 1, a, 77, &err);
    vm_act_rsp_owner_set(h, 1, a, "ops", 3, &err);
    vm_nic_rsp_t *rsp = vm_act_rsp_vm_if_rsp_get(h, 1, a, &err);
    for (uint32_t handle : {0x1a2bu, 0x1a2cu}) {
        vm_nic_list_t *e = vm_nic_list_create(h, 1);
        vm_nic_list_if_handle_set(h, 1, e, &handle, &err);
        if (handle == 0x1a2b) vm_nic_info_mtu_set_value(h, 1, vm_nic_list_vm_nic_info_get(h, 1, e, &err), 1500, &err);
        vm_nic_rsp_vm_if_info_set_last(h, 1, rsp, e, &err);
    }
    Bytes b(256);
    b.resize(vm_act_rsp_marshal(h, 1, b.data(), a, 256, &err));
    vm_act_rsp_destroy(h, 1, a);
    EXPECT_EQ(err, 0u);
    return b;
}
Bytes patched(Bytes b, size_t at, uint8_t v) {
    b.at(at) = v;
    return b;
}
Bytes cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

constexpr uint32_t kActRsp = drov::schema::k_vm_act_rsp;

// (More refusals, with their places as every layer above reports them: tests/golden/edges/refusals.cases.)
TEST_F(Verify, RefusesWhatNoWriterProducesAndSaysWhere) {
    const Bytes msg = act_rsp_message(h);
    ASSERT_EQ(msg.size(), 135u);
    struct Row {
        const char *type;
        Bytes in;
        uint32_t code;
        int64_t offset;
        const char *path, *reason;
    } rows[] = {
        {"vm_id", hex("0000 00000000 00000001"), 22, 2, "", "body length 0 ends at 2, but the fields go on to 10"},
        {"vm_zam_ssd_current_state", hex("0000 00000009 fb00000001"), 22, 6, "state", "enumeration variant byte -5"},
        {"vm_id", hex("0000 00000008 0000"), 90, 6, "id", "u32 needs 4 bytes, 2 left"},
        {"vm_ident", hex("0000 0000000e 00000017 7765623031"), 90, 10, "name", "string of 23 bytes, 5 left"},
        {"vm_mac_pool_addr", hex("0000 0000000a 0a0b"), 90, 6, "mac_addr", "array of 6 bytes, 2 left"},
        {"vm_nic_list", hex("0000 00000008 00001a2b"), 90, 10, "vm_nic_info", "no bytes left for a vm_nic_info"},
        {"vm_nic_list", hex("0000 0000000a 00001a2b 0000 0000"), 90, 12, "vm_nic_info", "body length needs 4 bytes, 2 left"},
        {"vm_zam_ssd_current_state", hex("0000 00000009 000000"), 90, 6, "state", "enumeration needs 5 bytes, 3 left"},
        {"vm_id", hex("0000 000000c4 00000001"), 90, 10, "", "its body length points to 198, past the end (10 bytes)"},
        {"vm_inst_fail", hex("0020 0000"), 90, 2, "", "ra data block does not fit, 2 bytes left"},
        {"vm_act_rsp", cut(msg, 110), 90, 108, "vm_if_rsp.vm_if_info[1].vm_nic_info.mtu", "u32 needs 4 bytes, 2 left"},
        {"vm_act_rsp", patched(cut(msg, 112), 76, 0x4e), 90, 112, "vm_if_rsp.vm_if_info[1]", "its body length points to 151, past the end (112 bytes)"},
        {"vm_nic_rsp", hex("0000 00000008 7fffffff"), 90, 10, "vm_if_info[0]", "no bytes left for a vm_nic_list"},
    };
    for (const Row &r : rows) {
        const uint32_t t = walk::index_of(r.type);
        const Verdict v = verify(t, r.in);
        SCOPED_TRACE(std::string(r.type) + ": " + ::testing::PrintToString(v));
        EXPECT_EQ(v.count, 0u);
        EXPECT_EQ(v.err, r.code);
        EXPECT_EQ(v.code, r.code);
        EXPECT_EQ(v.offset, r.offset);
        EXPECT_EQ(v.path, r.path);
        EXPECT_NE(v.reason.find(r.reason), std::string::npos);
        EXPECT_EQ(drov_def_runtime_last_failure(h)->operation, std::string("verify"));
        EXPECT_EQ(drov_def_runtime_last_failure(h)->type, std::string(r.type));
    }
}

TEST_F(Verify, PassesWhatOlderAndNewerPeersWrite) {
    const Bytes msg = act_rsp_message(h);
    Bytes newer = patched(msg, 0, 5); // variant 5 with 3 bytes of its own
    newer.insert(newer.end(), {1, 2, 3});
    newer[5] = static_cast<uint8_t>(msg[5] + 3);
    Bytes older = msg; // variant 0: owner and sp_type gone
    older.resize(126);
    older[0] = 0;
    older[5] = 126 - 2;
    Bytes trailing = msg;
    trailing.insert(trailing.end(), {0xff, 0xff});
    struct Row {
        const char *type;
        Bytes in;
        uint32_t count;
    } rows[] = {
        {"vm_act_rsp", msg, 135},
        {"vm_act_rsp", patched(patched(msg, 18, 0x7f), 19, 0xff), 135}, // an rc number nobody names
        {"vm_act_rsp", newer, 138},
        {"vm_act_rsp", older, 126},
        {"vm_act_rsp", trailing, 135},
        {"vm_act_rsp", hex("ff00 00000004"), 6},
        {"vm_nic_rsp", hex("0000 0000000a 00000000 7777"), 12}, // no elements, bytes skipped
        {"vm_inst_fail", hex("0228 000000000000000000 00000016 00000000 00000001 01 00000002 00 00000000"), 33},
    };
    for (const Row &r : rows) {
        const uint32_t t = walk::index_of(r.type);
        const Verdict v = verify(t, r.in);
        EXPECT_EQ(v.count, r.count) << r.type << ": " << v;
        EXPECT_EQ(v.err, 0u);
        EXPECT_EQ(v.code, 0u);
        decodes(t, r.in, v.count);
    }
}

// A peer that knows vm_act_rsp only in variant 0 skips what follows; garbage there is its own.
TEST_F(Verify, AsTheDomainKnowsItSkipsTheLaterVariants) {
    const Bytes bad = patched(act_rsp_message(h), 130, 0xfb); // sp_type's variant byte -5
    EXPECT_EQ(verify(kActRsp, bad).offset, 130);
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    EXPECT_EQ(verify(kActRsp, bad, DROV_DEF_VERIFY_DOMAIN).count, 135u);
    const auto &hd = last_parts.items.front(), &skip = last_parts.items[last_parts.items.size() - 2];
    EXPECT_EQ(hd.part, DROV_DEF_WIRE_HEADER);
    EXPECT_EQ(hd.written, 2);
    EXPECT_EQ(hd.read, 0);
    EXPECT_EQ(skip.part, DROV_DEF_WIRE_SKIPPED);
    EXPECT_EQ(skip.offset, 126u);
    EXPECT_EQ(skip.size, 9u);
    const void *a = make(kActRsp);
    qel_standin::set_domain_error(h, 5);
    EXPECT_EQ(verify(kActRsp, bad, DROV_DEF_VERIFY_DOMAIN).err, 5u);
    // encoded_size asks the domain as marshal does, and fails with it.
    EXPECT_EQ(drov_def_encoded_size(h, 1, record_of(kActRsp), a, 0, nullptr, &err), 0u);
    EXPECT_ERR(5u);
}

TEST_F(Verify, RefusesArgumentsItCannotUse) {
    const Bytes msg = hex("0000 00000008 00000001");
    const uint8_t *b = msg.data();
    const qel_type_info *vm_id = record_of(drov::schema::k_vm_id);
    const auto *an_enum = walk::fn<const qel_type_info *>("_vm_rsp_rc_type_info_internal");
    int dummy = 0;
    EXPECT_EQ(drov_def_verify(nullptr, vm_id, b, 10, 0, &err), 0u);
    EXPECT_ERR(22u);
    for (auto [type, buf, len, flags, why] :
         {std::tuple{vm_id, b, 0, 0u, "no bytes"}, {vm_id, nullptr, 10, 0u, "no buffer"}, {nullptr, b, 10, 0u, "no type record"},
          {an_enum, b, 10, 0u, "not one of the module's structures"}, {vm_id, b, 10, 2u, "unknown flags"}}) {
        EXPECT_EQ(drov_def_verify(h, type, buf, len, flags, &err), 0u);
        EXPECT_ERR(22u);
        EXPECT_EQ(drov_def_runtime_last_failure(h)->code, 22u);
        EXPECT_NE(std::string(drov_def_runtime_last_failure(h)->reason).find(why), std::string::npos) << why;
    }
    EXPECT_EQ(drov_def_verify_walk(h, vm_id, b, 10, 0, nullptr, nullptr, &err), 0u);
    EXPECT_ERR(22u);
    EXPECT_EQ(drov_def_encoded_size(h, 1, vm_id, nullptr, 0, nullptr, &err), 0u);
    EXPECT_ERR(22u);
    EXPECT_EQ(drov_def_encoded_size(h, 1, an_enum, &dummy, 0, nullptr, &err), 0u);
    EXPECT_ERR(22u);
    err = 12; // a pending error: nothing is done
    EXPECT_EQ(drov_def_verify(h, vm_id, b, 10, 0, &err), 0u);
    EXPECT_ERR(12u);
    // A copy of a record is known by its name.
    qel_type_info copy;
    std::memcpy(&copy, vm_id, sizeof copy);
    EXPECT_EQ(drov_def_verify(h, &copy, b, 10, 0, &err), 10u);
    EXPECT_ERR(0u);
}

// ---- Properties over the schema -------------------------------------------------------

struct Setting {
    Tracking tracking;
    bool plain; // the library's own standard coding, not the runtime's calls
};
class VerifySchema : public Verify, public ::testing::WithParamInterface<Setting> {
protected:
    void SetUp() override {
        Verify::SetUp();
        qel_standin::set_tracking(h, GetParam().tracking);
        if (GetParam().plain) h->features = qel_standin::quiet_features(h);
    }
    // An instance of type t in variant v, filled.
    void *filled(uint32_t t, int8_t v, uint32_t seed) {
        qel_standin::set_domain_variant(h, walk::name(t), v);
        void *inst = make(t);
        walk::Filler fill{h, std::mt19937(seed)};
        fill.fill(t, inst);
        if (GetParam().tracking == Tracking::On) walk::ops(t).set_all_flags(h, 1, inst, 1 + seed % 3);
        EXPECT_EQ(fill.err, 0u);
        return inst;
    }
};

TEST_P(VerifySchema, AgreesWithTheDecoderOnEveryType) {
    std::mt19937 rng(7);
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        for (int8_t v = 0; v <= kTypes[t].highest(); ++v) {
            SCOPED_TRACE(walk::name(t) + " variant " + std::to_string(v));
            const void *inst = filled(t, v, t * 10 + static_cast<uint32_t>(v));
            const Bytes msg = encode(t, inst, 1 << 16);
            ASSERT_EQ(err, 0u);
            const uint64_t allocs = st().alloc_calls;
            EXPECT_EQ(verify(t, msg).count, msg.size());
            EXPECT_EQ(st().alloc_calls, allocs) << "verify allocated";
            for (const auto &it : last_parts.items) // a writer of the variant read leaves nothing to skip
                EXPECT_NE(it.part, DROV_DEF_WIRE_SKIPPED) << it.path;
            decodes(t, msg, static_cast<uint32_t>(msg.size()));
            for (size_t k = 1; k < msg.size(); ++k) {
                const Verdict cut = verify(t, msg, 0, k);
                ASSERT_EQ(cut.err, QEL_EMSGSIZE) << k << " bytes: " << cut;
                ASSERT_LE(cut.offset, static_cast<int64_t>(k));
            }
            // A newer peer's variant with bytes of its own.
            Bytes newer = msg;
            newer[0] = static_cast<uint8_t>(kTypes[t].highest() + 1);
            newer.insert(newer.end(), 7, 0xee);
            const size_t jump = (msg[1] & QEL_OBJ_RA_DATA) != 0 ? 11 : 2;
            newer[jump + 3] = static_cast<uint8_t>(newer[jump + 3] + 7);
            if (v == kTypes[t].highest() && newer[jump + 3] >= 7) {
                EXPECT_EQ(verify(t, newer).count, newer.size());
                decodes(t, newer, static_cast<uint32_t>(newer.size()));
            }
            // Whatever it accepts of damaged bytes, the decoder reads to the same end.
            for (int round = 0; round < 40; ++round) {
                Bytes bad = msg;
                for (uint32_t k = 1 + rng() % 3; k > 0; --k) bad[rng() % bad.size()] = static_cast<uint8_t>(rng() % 4 == 0 ? 0xff : rng());
                const Verdict d = verify(t, bad);
                if (d.err == 0) decodes(t, bad, d.count);
                else EXPECT_TRUE(d.err == QEL_EMSGSIZE || d.err == QEL_EINVAL) << d;
            }
        }
    }
}

TEST_P(VerifySchema, EncodedSizeIsWhatMarshalWrites) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        void *inst = filled(t, kTypes[t].highest(), t);
        for (uint32_t flags : {0u, DROV_DEF_SIZE_FOR_CLONE}) sizes(t, inst, flags);
        // The domain lowered below the instance: marshal writes less, for_clone does not.
        if (kTypes[t].highest() > 0) {
            qel_standin::set_domain_variant(h, walk::name(t), 0);
            for (uint32_t flags : {0u, DROV_DEF_SIZE_FOR_CLONE}) sizes(t, inst, flags);
        }
        // With an ra data block: an instance decoded from an encoding that carries one.
        Bytes msg = encode(t, inst, 1 << 16, walk::ops(t).marshal_for_clone);
        msg[1] |= QEL_OBJ_RA_DATA;
        msg.insert(msg.begin() + 2, 9, 0x5a);
        void *ra = make(t);
        EXPECT_EQ(decode(t, msg, ra), msg.size());
        ASSERT_EQ(err, 0u);
        for (uint32_t flags : {0u, DROV_DEF_SIZE_FOR_CLONE}) sizes(t, ra, flags);
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, VerifySchema,
                         ::testing::Values(Setting{Tracking::Off, false}, Setting{Tracking::On, false},
                                           Setting{Tracking::Off, true}, Setting{Tracking::On, true}),
                         [](const auto &p) {
                             return std::string(p.param.tracking == Tracking::On ? "Tracked" : "Untracked") +
                                    (p.param.plain ? "Plain" : "Runtime");
                         });

} // namespace
