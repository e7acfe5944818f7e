// Decoding what a peer should not have sent: every prefix of a valid
// encoding, mutated and random bytes, lengths and counts that claim far more
// than the buffer holds, and every allocation failing in turn.  Nothing is
// read or written out of bounds (the sanitizer build checks), nothing leaks,
// and the failures are the document's numbers.
#include "bench/wire_messages.h"
#include "wire_support.h"

namespace {

using namespace wire;
using qel_standin::Tracking;
using Bytes = std::vector<uint8_t>;

class Hostile : public test::HandleTest, public ::testing::WithParamInterface<Tracking> {
protected:
    void SetUp() override {
        test::HandleTest::SetUp();
        qel_standin::set_tracking(h, GetParam());
        qel_standin::set_global_recording(false); // offset-jump traces by the thousand
    }
    // A filled instance of type t and its encoding.
    Bytes sample(uint32_t t, uint32_t seed, void **inst) {
        walk::Filler fill{h, std::mt19937(seed)};
        *inst = walk::create(h, t);
        fill.fill(t, *inst);
        const uint32_t size = len_of(t)(h, 1, *inst);
        Bytes b(size);
        b.resize(marshal_of(t)(h, 1, b.data(), *inst, static_cast<int32_t>(size), &err));
        EXPECT_EQ(err, 0u);
        return b;
    }
    // Decodes `bytes` (in a block of exactly their size) into `inst`; the
    // error word is 0 or, for a buffer too short for a value, 90.
    void decode(uint32_t t, const Bytes &bytes, void *inst, uint32_t update) {
        auto *exact = new uint8_t[bytes.size()];
        std::copy(bytes.begin(), bytes.end(), exact);
        uint32_t e = 0;
        uint32_t n = unmarshal_of(t)(h, 1, exact, inst, static_cast<int32_t>(bytes.size()), update, &e);
        delete[] exact;
        EXPECT_LE(n, bytes.size());
        EXPECT_TRUE(e == 0 || e == 90) << "error " << e;
    }
    void decode_fresh(uint32_t t, const Bytes &bytes) {
        void *inst = walk::create(h, t);
        decode(t, bytes, inst, 0);
        walk::destroy(h, t, inst);
    }
};

TEST_P(Hostile, EveryPrefixOfEveryTypesEncodingDecodesWithinItsBytes) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        void *src = nullptr;
        Bytes b = sample(t, t + 1, &src);
        void *target = walk::create(h, t);
        for (size_t k = 1; k < b.size(); ++k) {
            Bytes prefix(b.begin(), b.begin() + static_cast<long>(k));
            decode_fresh(t, prefix);
            decode(t, prefix, target, 1);
        }
        walk::destroy(h, t, src);
        walk::destroy(h, t, target);
        ASSERT_TRUE(st().live.empty());
    }
}

TEST_P(Hostile, MutatedAndRandomBytesDecodeWithinTheirBytes) {
    std::mt19937 rng(77);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        void *src = nullptr;
        const Bytes valid = sample(t, 100 + t, &src);
        void *target = walk::create(h, t);
        for (int round = 0; round < 300; ++round) {
            Bytes b = valid;
            if (round % 3 == 0) { // anything at all
                b.resize(1 + below(200));
                for (auto &x : b) x = static_cast<uint8_t>(rng());
            } else { // a valid encoding with a few words changed
                for (uint32_t m = 1 + below(4); m > 0; --m) {
                    size_t at = below(static_cast<uint32_t>(b.size()));
                    const uint32_t words[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0, 1, 5, static_cast<uint32_t>(rng())};
                    uint32_t w = words[below(6)];
                    for (int i = 0; i < 4 && at + i < b.size(); ++i)
                        b[at + i] = static_cast<uint8_t>(w >> (24 - 8 * i));
                }
                if (below(4) == 0) b.resize(1 + below(static_cast<uint32_t>(b.size())));
            }
            decode_fresh(t, b);
            decode(t, b, target, 1);
        }
        walk::destroy(h, t, src);
        walk::destroy(h, t, target);
        ASSERT_TRUE(st().live.empty());
    }
}

std::string tracking_name(const ::testing::TestParamInfo<Tracking> &p) {
    return p.param == Tracking::On ? "On" : "Off";
}
INSTANTIATE_TEST_SUITE_P(Tracking, Hostile, ::testing::Values(Tracking::Off, Tracking::On),
                         tracking_name);

// ---- Claims beyond the buffer ----------------------------------------------------------------

class Claims : public test::HandleTest {
protected:
    // The largest block allocated since `from` calls ago.
    uint64_t largest_allocation() {
        uint64_t most = 0;
        for (const auto &c : qel_standin::calls_named(h, "allocate"))
            most = std::max<uint64_t>(most, static_cast<uint64_t>(c.arg));
        return most;
    }
};

TEST_F(Claims, AStringLengthOfFourGigabytesCostsOnlyTheBytesPresent) {
    vm_ident_t *r = vm_ident_create(h, 1);
    Bytes b{0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c'};
    st().calls.clear();
    EXPECT_EQ(vm_ident_unmarshal(h, 1, b.data(), r, 13, 0, &err), 13u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::load<uint32_t>(r, 12), 3u);
    EXPECT_EQ(std::string(walk::load<const char *>(r, 16)), "abc");
    EXPECT_EQ(calls("allocate"), 1u);
    EXPECT_EQ(largest_allocation(), 4u);
    vm_ident_destroy(h, 1, r);
}

TEST_F(Claims, AVariableArrayLengthBeyondTheBufferIsCutToTheBytesPresent) {
    constexpr uint32_t kReq = type_index("vm_id_valid_req");
    void *r = walk::create(h, kReq);
    // Fields before the array, encoded by the library itself.
    Bytes b(64);
    b.resize(marshal_of(kReq)(h, 1, b.data(), r, 64, &err));
    const auto &f = kTypes[kReq].fields;
    size_t at = 6;
    for (uint32_t i = 0; kTypes[kReq].fields[i].kind != drov::schema::FieldKind::Length; ++i)
        at += f[i].kind == drov::schema::FieldKind::Enum ? 5 : 4;
    b.resize(at + 4);
    put_be32(b, at, 0xFFFFFFFF);
    for (uint8_t x : {1, 2, 3, 4, 5}) b.push_back(x);
    st().calls.clear();
    EXPECT_EQ(unmarshal_of(kReq)(h, 1, b.data(), r, static_cast<int32_t>(b.size()), 0, &err),
              b.size());
    EXPECT_EQ(err, 0u);
    EXPECT_LE(largest_allocation(), 5u);
    uint32_t n = 0;
    for (uint32_t i = 0; i < kTypes[kReq].field_count; ++i)
        if (f[i].kind == drov::schema::FieldKind::VarArray) n = static_cast<uint32_t>(walk::length_of(r, f[i]));
    EXPECT_EQ(n, 5u);
    walk::destroy(h, kReq, r);
}

TEST_F(Claims, AListCountBeyondTheBufferEndsWithTheBuffer) {
    constexpr uint32_t kNicRsp = type_index("vm_nic_rsp");
    vm_nic_rsp_t *src = vm_nic_rsp_create(h, 1);
    vm_nic_rsp_vm_if_info_set_last(h, 1, src, vm_nic_list_create(h, 1), &err);
    Bytes b = encode(marshal_of(kNicRsp), h, src, 1024, &err);
    put_be32(b, 6, 0xFFFFFFFF);
    vm_nic_rsp_t *r = vm_nic_rsp_create(h, 1);
    st().calls.clear();
    vm_nic_rsp_unmarshal(h, 1, b.data(), r, static_cast<int32_t>(b.size()), 0, &err);
    EXPECT_EQ(err, 90u);
    EXPECT_EQ(vm_nic_rsp_vm_if_info_get_count(h, 1, r, &(err = 0)), 1u);
    EXPECT_EQ(calls("allocate"), 2u); // the element kept, and one that found no bytes
    EXPECT_EQ(st().live.size(), 4u);
    vm_nic_rsp_destroy(h, 1, src);
    vm_nic_rsp_destroy(h, 1, r);
}

TEST_F(Claims, ABodyLengthBeyondTheBufferStopsAtItsEnd) {
    Bytes b{0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 7, 1, 2, 3};
    vm_id_t *r = vm_id_create(h, 1);
    EXPECT_EQ(vm_id_unmarshal(h, 1, b.data(), r, 13, 0, &err), 13u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::load<uint32_t>(r, 12), 7u);
    auto jumps = traces_at(drov::tp::TypePoints<type_index("vm_id")>::offset_jump.index);
    ASSERT_EQ(jumps.size(), 1u);
    EXPECT_EQ(jumps[0].args.at(2).u, 0xFFFFFFFFu);
    // A body length shorter than what was read moves nothing back.
    put_be32(b, 2, 1);
    EXPECT_EQ(vm_id_unmarshal(h, 1, b.data(), r, 13, 0, &err), 10u);
    vm_id_destroy(h, 1, r);
}

// ---- Allocation failures -----------------------------------------------------------------------

struct Message {
    const char *name;
    void *(*make)(qel_handle_t *, uint32_t *);
};
const Message kMessages[] = {
    {"vm_inst_req", [](qel_handle_t *h, uint32_t *e) -> void * { return messages::inst_req(h, e); }},
    {"vm_act_rsp", [](qel_handle_t *h, uint32_t *e) -> void * { return messages::act_rsp(h, e); }},
    {"vm_install_cfg",
     [](qel_handle_t *h, uint32_t *e) -> void * { return messages::install_cfg(h, e); }},
};

class Failures : public test::HandleTest, public ::testing::WithParamInterface<Message> {};

TEST_P(Failures, EveryAllocationOfUnmarshalAndCloneFailingIsReportedAs12AndLeaksNothing) {
    const uint32_t t = type_index(GetParam().name);
    void *src = GetParam().make(h, &err);
    ASSERT_EQ(err, 0u);
    const uint32_t size = len_of(t)(h, 1, src);
    Bytes b(size);
    b.resize(marshal_of(t)(h, 1, b.data(), src, static_cast<int32_t>(size), &err));
    const size_t baseline = st().live.size();

    for (uint32_t update : {0u, 1u}) {
        for (uint64_t nth = 1;; ++nth) {
            SCOPED_TRACE("update " + std::to_string(update) + " allocation " + std::to_string(nth));
            void *dst = walk::create(h, t);
            if (update != 0) { // something of other sizes to replace
                walk::Filler fill{h, std::mt19937(static_cast<uint32_t>(nth))};
                fill.fill(t, dst);
            }
            err = 0;
            st().fail_alloc_at = st().alloc_calls + nth;
            unmarshal_of(t)(h, 1, b.data(), dst, static_cast<int32_t>(b.size()), update, &err);
            const bool failed = st().alloc_calls >= st().fail_alloc_at;
            st().fail_alloc_at = 0;
            if (!failed) {
                EXPECT_EQ(err, 0u);
                EXPECT_EQ(walk::diff(t, src, dst), "");
                walk::destroy(h, t, dst);
                break;
            }
            EXPECT_EQ(err, 12u);
            EXPECT_EQ(st().last_error, 12u);
            walk::destroy(h, t, dst);
            ASSERT_EQ(st().live.size(), baseline);
        }
    }

    Bytes scratch(size);
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE("clone allocation " + std::to_string(nth));
        void *out = nullptr;
        err = 0;
        st().fail_alloc_at = st().alloc_calls + nth;
        clone_of(t)(h, 1, src, &out, scratch.data(), size, &err);
        const bool failed = st().alloc_calls >= st().fail_alloc_at;
        st().fail_alloc_at = 0;
        if (!failed) {
            EXPECT_EQ(err, 0u);
            ASSERT_NE(out, nullptr);
            walk::destroy(h, t, out);
            break;
        }
        EXPECT_EQ(err, 12u);
        EXPECT_EQ(out, nullptr);
        ASSERT_EQ(st().live.size(), baseline);
    }
    walk::destroy(h, t, src);
}

INSTANTIATE_TEST_SUITE_P(BenchmarkMessages, Failures, ::testing::ValuesIn(kMessages),
                         [](const ::testing::TestParamInfo<Message> &p) {
                             return std::string(p.param.name);
                         });

} // namespace
