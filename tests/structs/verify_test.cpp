// The verifier of encodings and the exact encoded size: the refusals with their places and what
// peers write that must pass (tests/golden/structs/verify.cases), and properties over every
// structure type (the verifier agrees with the decoder on marshal's bytes, their prefixes and
// mutations; the walk's parts tile the message; encoded_size is what marshal writes).
#include <fstream>
#include <random>
#include <sstream>
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

// One line of tests/golden/structs/verify.cases (the file says what they mean).
struct Case {
    std::string line, kind, type, path, reason;
    Bytes in;
    uint32_t n = 0; // the error number, or the count of what passes
    int64_t offset = 0;
};
std::vector<Case> cases(const std::string &kind) {
    std::ifstream file(DROV_DEF_GOLDEN_DIR "/verify.cases");
    std::vector<Case> out;
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        Case c{line};
        std::string bytes, arrow;
        words >> c.kind >> c.type >> bytes >> arrow >> c.n;
        if (c.kind != kind) continue;
        c.in = hex(bytes);
        if (kind == "refused") std::getline(words >> c.offset >> c.path >> arrow >> std::ws, c.reason);
        if (c.path == "-") c.path.clear();
        out.push_back(c);
    }
    EXPECT_GE(out.size(), 8u);
    return out;
}

constexpr uint32_t kActRsp = drov::schema::k_vm_act_rsp;

TEST_F(Verify, RefusesWhatNoWriterProducesAndSaysWhere) {
    for (const Case &r : cases("refused")) {
        const Verdict v = verify(walk::index_of(r.type), r.in);
        SCOPED_TRACE(r.line.substr(0, 160) + "\n" + ::testing::PrintToString(v));
        EXPECT_EQ(v.count, 0u);
        EXPECT_EQ(v.err, r.n);
        EXPECT_EQ(v.code, r.n);
        EXPECT_EQ(v.offset, r.offset);
        EXPECT_EQ(v.path, r.path);
        EXPECT_NE(v.reason.find(r.reason), std::string::npos);
        EXPECT_EQ(drov_def_runtime_last_failure(h)->operation, std::string("verify"));
        EXPECT_EQ(drov_def_runtime_last_failure(h)->type, r.type);
    }
}

TEST_F(Verify, PassesWhatOlderAndNewerPeersWrite) {
    for (const Case &r : cases("passed")) {
        const uint32_t t = walk::index_of(r.type);
        const Verdict v = verify(t, r.in);
        EXPECT_EQ(v.count, r.n) << r.line << ": " << v;
        EXPECT_EQ(v.err, 0u);
        EXPECT_EQ(v.code, 0u);
        decodes(t, r.in, v.count);
    }
}

// A peer that knows vm_act_rsp only in variant 0 skips what follows; garbage there is its own.
TEST_F(Verify, AsTheDomainKnowsItSkipsTheLaterVariants) {
    Bytes bad = cases("passed").at(0).in; // the worked message
    bad.at(130) = 0xfb;                   // sp_type's variant byte -5
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
    // The record right after the last structure's: an enumeration's.
    const qel_type_info *an_enum = record_of(drov::schema::kStructCount);
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
