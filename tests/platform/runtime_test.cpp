// The stand-in's handles and runtime calls: allocation accounting, the
// registry, statistics, variant adjustment, object references, memory
// ranges, traces and handler registration.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "kvt.h"
#include "norla.h"
#include "qel_standin.h"
#include "wlog.h"

namespace {

using namespace qel_standin;

class Standin : public ::testing::Test {
protected:
    void SetUp() override {
        reset_global();
        h = handle_new();
    }
    void TearDown() override { handle_delete(h); }
    HandleState &st() { return state(h); }

    qel_handle_t *h = nullptr;
    uint32_t err = 0;
};

// A type record with `count` variants whose counters live in `entries`.
struct TypeRecord {
    qel_variant_entry_t entries[4]{};
    qel_variant_info_t vi{};
    qel_type_info_t ti{};
    TypeRecord(const char *name, int8_t count, const char *digest = "00ff") {
        vi.count = count;
        vi.entries = entries;
        ti.magic = QEL_TYPE_INFO_MAGIC;
        std::strcpy(ti.name, name);
        std::strcpy(ti.digest_str, digest);
        ti.variant_info = &vi;
    }
};

TEST_F(Standin, HandleWiresItsStateIntoEveryContextPointer) {
    EXPECT_EQ(h->alloc_ctx, h->runtime);
    EXPECT_EQ(h->variant_domain, h->runtime);
    EXPECT_EQ(h->sttr, nullptr);
    uint32_t len = 0;
    EXPECT_EQ(qellib_get_handle_ws(h, &len), h->workspace);
    EXPECT_EQ(len, 64u * 1024u);

    set_tracking(h, Tracking::On);
    ASSERT_NE(h->sttr, nullptr);
    EXPECT_EQ(h->sttr->marker, QEL_STTR_ON);
    set_tracking(h, Tracking::Off);
    EXPECT_EQ(h->sttr->marker, QEL_STTR_OFF);
    set_marker(h, 0x1234);
    EXPECT_EQ(h->sttr->marker, 0x1234u);
    set_tracking(h, Tracking::Absent);
    EXPECT_EQ(h->sttr, nullptr);
}

TEST_F(Standin, AllocationFailsAtTheInjectedCallAndLiveBlocksAreCounted) {
    st().fail_alloc_at = 2;
    void *a = h->allocate(h->alloc_ctx, 0, 16);
    void *b = h->allocate(h->alloc_ctx, 0, 16);
    void *c = h->allocate(h->alloc_ctx, 0, 0);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr) << "size 0 still yields a block";
    EXPECT_EQ(st().alloc_calls, 3u);
    EXPECT_EQ(st().live.size(), 2u);
    h->free(h->alloc_ctx, 0, a);
    h->free(h->alloc_ctx, 0, nullptr);
    EXPECT_EQ(st().live.size(), 1u);
    h->free(h->alloc_ctx, 0, c);
    EXPECT_TRUE(st().live.empty());
}

TEST_F(Standin, ModuleAllocationFailsAtTheInjectedCallAndIsRecorded) {
    st().fail_module_alloc_at = 2;
    EXPECT_NE(h->module_alloc(h, 7, 32), nullptr);
    EXPECT_EQ(h->module_alloc(h, 7, 32), nullptr);
    EXPECT_NE(h->module_alloc(h, 7, 32), nullptr);
    EXPECT_EQ(count_calls(h, "module_alloc"), 3u);
    EXPECT_EQ(st().calls[0].arg, 32);
    EXPECT_EQ(st().module_blocks.size(), 2u); // freed by handle_delete
    EXPECT_TRUE(st().live.empty());
}

TEST_F(Standin, RegistryIsKeyedByContextAndDigest) {
    TypeRecord rec("t", 1, "abcd");
    qel_type_info_t copy = rec.ti;
    EXPECT_EQ(h->registry_lookup(h, 1, "abcd"), nullptr);
    EXPECT_EQ(h->registry_insert(h, 1, "abcd", &copy), 0);
    EXPECT_EQ(h->registry_lookup(h, 1, "abcd"), &copy);
    EXPECT_EQ(h->registry_lookup(h, 2, "abcd"), nullptr);
    EXPECT_EQ(count_calls(h, "registry_lookup"), 3u);
    EXPECT_EQ(st().calls[1].name, "registry_insert");
    EXPECT_EQ(st().calls[1].obj, &copy);
    EXPECT_EQ(st().calls[2].obj, &copy) << "lookup records its result";
}

qel_type_info_t g_registered;
void register_copy(qel_handle_t *h, uint32_t ctx, uint32_t *) {
    h->registry_insert(h, ctx, "abcd", &g_registered);
}

TEST_F(Standin, TypeInfoPtrGetRunsTheInitialiserOnAMiss) {
    TypeRecord rec("t", 1, "abcd");
    EXPECT_EQ(qel_type_info_ptr_get(h, 3, &rec.ti, nullptr), &rec.ti);
    EXPECT_EQ(qel_type_info_ptr_get(h, 3, &rec.ti, register_copy), &g_registered);
    EXPECT_EQ(count_calls(h, "registry_insert"), 1u);
    EXPECT_EQ(qel_type_info_ptr_get(h, 3, &rec.ti, register_copy), &g_registered);
    EXPECT_EQ(count_calls(h, "registry_insert"), 1u) << "no init once registered";
}

uint64_t g_seen_at_notify = ~0ull;
void seeing_counter_notify(void *, uint64_t *counter, uint32_t delta, uint32_t) {
    EXPECT_EQ(delta, 1u);
    g_seen_at_notify = *counter;
}

TEST_F(Standin, StatsNotifyTheCounterBeforeIncrementingIt) {
    TypeRecord rec("t", 1);
    qel_variant_entry_t &e = rec.entries[0];
    qellib_type_stats_create_object(h, 4, &rec.ti, &e, &err);
    ASSERT_EQ(st().counters.size(), 1u);
    EXPECT_EQ(st().counters[0].counter, &e.creates);
    EXPECT_EQ(st().counters[0].ctx, 4u);
    EXPECT_EQ(e.creates, 1u);

    rec.ti.private_copy = 1; // the plain-increment path
    h->counter_notify = seeing_counter_notify;
    qellib_type_stats_destroy_object(h, 4, &rec.ti, &e, &err);
    EXPECT_EQ(g_seen_at_notify, 0u);
    EXPECT_EQ(e.destroys, 1u);
    qellib_type_stats_create_object(h, 4, &rec.ti, nullptr, &err);
    EXPECT_EQ(count_calls(h, "qellib_type_stats_create_object"), 2u);
    EXPECT_EQ(e.creates, 1u);
}

TEST(StandinStats, SharedRecordsCountEveryObjectAcrossThreads) {
    TypeRecord rec("t", 1);
    constexpr int kThreads = 4, kEach = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&rec] {
            qel_handle_t *own = handle_new();
            own->counter_notify = nullptr;
            uint32_t e = 0;
            for (int i = 0; i < kEach; ++i)
                qellib_type_stats_create_object(own, 0, &rec.ti, &rec.entries[0], &e);
            handle_delete(own);
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(rec.entries[0].creates, uint64_t{kThreads} * kEach);
}

TEST_F(Standin, DomainLookupPrefersTheNamedVariantThenTheHighest) {
    TypeRecord rec("t", 3);
    EXPECT_EQ(qel_domain_lookup_variant(h, h->variant_domain, &rec.ti, &err), 2);
    set_domain_variant(h, "t", 1);
    EXPECT_EQ(qel_domain_lookup_variant(h, h->variant_domain, &rec.ti, &err), 1);
    EXPECT_EQ(qel_domain_lookup_variant(h, h->variant_domain, nullptr, &err), 0);
    EXPECT_EQ(err, 0u);
    st().domain_error = 43;
    qel_domain_lookup_variant(h, h->variant_domain, &rec.ti, &err);
    EXPECT_EQ(err, 43u);
}

TEST_F(Standin, AdjustVariantRaisesButNeverLowersTheInstanceVariant) {
    TypeRecord rec("t", 4);
    alignas(8) uint8_t inst[16] = {};
    auto *hdr = reinterpret_cast<qel_instance_header_t *>(inst);
    hdr->layout_variant = 2;
    set_domain_variant(h, "t", 3);
    EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, 3, &err), 2) << "capped by layout";
    ASSERT_EQ(st().writes.size(), 1u);
    EXPECT_EQ(st().writes[0].addr, inst + 8);
    EXPECT_EQ(st().writes[0].len, 1u);
    EXPECT_EQ(st().writes[0].owner, inst);
    EXPECT_EQ(qel_get_instance_variant(inst, 0, 0), 2);

    set_domain_variant(h, "t", 0);
    EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, 3, &err), 2);
    EXPECT_EQ(st().writes.size(), 1u) << "lowering is not a store";

    hdr->instance_variant = 0;
    hdr->layout_variant = 3;
    set_domain_variant(h, "t", 3);
    EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, 1, &err), 1) << "capped by highest";
    EXPECT_EQ(qellib_adjust_variant(h, 5, nullptr, &rec.ti, 1, &err), -1);
    EXPECT_EQ(err, 0u);
}

TEST_F(Standin, InstanceHeaderAccessorsAndSttrOffsets) {
    TypeRecord rec("t", 1);
    alignas(8) uint8_t inst[16] = {};
    auto *hdr = reinterpret_cast<qel_instance_header_t *>(inst);
    hdr->type_info = &rec.ti;
    hdr->instance_variant = -3;
    hdr->obj_flags = QEL_OBJ_EMBEDDED;
    EXPECT_EQ(qel_get_manifested_type_info(inst), &rec.ti);
    EXPECT_EQ(qel_get_manifested_type_info_ptr_mem(inst), &hdr->type_info);
    EXPECT_EQ(qel_get_instance_variant(inst, 0, 1), -3);
    EXPECT_EQ(qel_get_instance_obj_flag(inst), QEL_OBJ_EMBEDDED);
    EXPECT_EQ(qel_get_manifested_type_info(nullptr), nullptr);
    EXPECT_EQ(qel_get_instance_variant(nullptr, 0, 0), -1);
    EXPECT_EQ(qel_get_instance_obj_flag(nullptr), 0);

    EXPECT_EQ(qellib_get_sttr_offset(h, 0, inst), 0u);
    EXPECT_EQ(qellib_update_sttr_offset(h, 0, inst, 40), 0);
    EXPECT_EQ(qellib_get_sttr_offset(h, 0, inst), 40u);
}

TEST_F(Standin, ErrorWordsAndInjectedMappingErrors) {
    qel_store_err(h, 12);
    EXPECT_EQ(st().last_error, 12u);
    qel_store_epoch_err(h, QEL_EIDRM, &err);
    EXPECT_EQ(err, QEL_EIDRM);
    EXPECT_EQ(st().last_error, QEL_EIDRM);
    qel_clear_last_error(h);
    EXPECT_EQ(st().last_error, 0u);

    err = 0;
    EXPECT_EQ(qel_request_oid_mapping_destroy(h, 0, nullptr, &err), 1);
    qel_hd_mapping_destroy(h, 0, nullptr, &err);
    qellib_lookup_and_update_oid_ref_count(h, 0, 99, -1, &err);
    EXPECT_EQ(err, 0u);
    st().oid_mapping_result = 0;
    st().oid_mapping_error = 5;
    EXPECT_EQ(qel_request_oid_mapping_destroy(h, 0, nullptr, &err), 0);
    EXPECT_EQ(err, 5u);
    st().oid_ref_count_error = 6;
    qellib_lookup_and_update_oid_ref_count(h, 0, 99, -1, &err);
    EXPECT_EQ(err, 6u);
    EXPECT_EQ(st().calls.back().arg, -1);
    EXPECT_EQ(st().calls.back().words.at(0), 99u);
}

TEST_F(Standin, ObjectLifeInitialisesAndReportsReferences) {
    if_handle field = 0xFFFFFFFF;
    if_handle_initialize(h, 2, &field, &if_handle_type_info, 1, 0, 0, nullptr, &err);
    EXPECT_EQ(field, 0u);
    ASSERT_EQ(st().writes.size(), 1u);
    EXPECT_EQ(st().writes[0].len, 4u);
    qel_boolean flag = 1;
    qel_boolean_initialize(h, 2, &flag, &qel_boolean_type_info, 0, 0, 0, nullptr, &err);
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(st().writes.size(), 1u) << "no notification unless asked";

    st().if_handle_refs = {7, 8, 9};
    EXPECT_EQ(if_handle_get_oid_count(h, 0, &field, &err), 3u);
    EXPECT_EQ(qel_boolean_get_oid_count(h, 0, &flag, &err), 0u);
    uint64_t refs[2] = {};
    if_handle_get_object_references(h, 0, &field, refs, 2, &err);
    EXPECT_EQ(refs[0], 7u);
    EXPECT_EQ(refs[1], 8u);
    EXPECT_EQ(err, 0u);
    st().oid_count_error = 22;
    EXPECT_EQ(if_handle_get_oid_count(h, 0, &field, &err), 0u);
    EXPECT_EQ(err, 22u);
    st().object_references_error = 12;
    if_handle_get_object_references(h, 0, &field, refs, 2, &err);
    EXPECT_EQ(err, 12u);
}

TEST(StandinTypeRecords, OwnRecordsAreValid) {
    for (const qel_type_info_t *r : {&qel_boolean_type_info, &if_handle_type_info}) {
        EXPECT_EQ(r->magic, QEL_TYPE_INFO_MAGIC);
        EXPECT_STREQ(r->module, "qel");
        EXPECT_STREQ(r->kind, "type");
        EXPECT_EQ(r->luid, -1);
        EXPECT_EQ(r->variant_info, nullptr);
        EXPECT_EQ(std::strlen(r->digest_str), 32u);
    }
    EXPECT_STREQ(qel_boolean_type_info.name, "qel_boolean");
    EXPECT_STREQ(if_handle_type_info.name, "if_handle");
    EXPECT_STRNE(qel_boolean_type_info.digest_str, if_handle_type_info.digest_str);
    // nothing has registered in this process: the list is empty and consistent
    EXPECT_EQ(qel_module_tot_root.count, 0u);
    EXPECT_EQ(qel_module_tot_root.first, nullptr);
    EXPECT_EQ(qel_module_tot_root.last_next, &qel_module_tot_root.first);
}

TEST(StandinGlobal, RangeFailureIsCountedFromArming) {
    reset_global();
    int x = 0;
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 0), 1);
    fail_range_at(2);
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 1), 1);
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 2), 0);
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 3), 1);
    ASSERT_EQ(ranges().size(), 4u);
    EXPECT_EQ(ranges()[2].ctx, 2u);
    EXPECT_EQ(ranges()[2].addr, &x);
    fail_range_at(1);
    reset_global();
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 0), 1) << "reset disarms";
    EXPECT_EQ(ranges().size(), 1u);
}

TEST(StandinGlobal, TracesKeepCopiesOfTheirStrings) {
    reset_global();
    const uint8_t uuid[16] = {1};
    char text[16] = "disk full";
    int obj = 0;
    wlog_trace_ps(uuid, 7, 0x2A, WLOG_ERROR, &obj, text);
    std::strcpy(text, "overwritten");
    wlog_trace_uuu(uuid, 8, 0x2A, WLOG_INFO, 1, 2, 3);
    wlog_trace(uuid, 9, 0x2A, WLOG_DEBUG);
    ASSERT_EQ(traces().size(), 3u);
    const TraceRecord &t = traces()[0];
    EXPECT_EQ(t.uuid, uuid);
    EXPECT_EQ(t.index, 7u);
    EXPECT_EQ(t.flags, WLOG_ERROR);
    ASSERT_EQ(t.args.size(), 2u);
    EXPECT_EQ(t.args[0].kind, TraceArg::Ptr);
    EXPECT_EQ(t.args[0].p, &obj);
    EXPECT_EQ(t.args[1].s, "disk full");
    ASSERT_EQ(traces()[1].args.size(), 3u);
    EXPECT_EQ(traces()[1].args[2].u, 3u);
    EXPECT_TRUE(traces()[2].args.empty());
}

TEST(StandinGlobal, ModuleIdentifiersAndHandlerCallsAreRecorded) {
    reset_global();
    uint16_t id = 0;
    uint32_t once = 0;
    EXPECT_EQ(wlog_module_init_fn("mod_a", &id, &once), 0);
    EXPECT_NE(id, 0);
    EXPECT_EQ(once, 1u);
    id = 0xBEEF;
    wlog_module_init_fn("mod_a", &id, &once);
    EXPECT_EQ(id, 0xBEEF) << "an initialised state leaves the identifier alone";

    kvt_comm_bundle_handler_register(100, 1, 2, 3, 4, 5);
    EXPECT_EQ(qel_get_luid(1, 10, 100, 1000, 10000, 100000), 1u + 20 + 300 + 4000 + 50000 + 600000);
    const auto &calls = global_calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2].name, "kvt_comm_bundle_handler_register");
    EXPECT_EQ(calls[2].arg, 100);
    EXPECT_EQ(calls[2].words, (std::vector<uintptr_t>{100, 1, 2, 3, 4, 5}));
    EXPECT_EQ(calls[3].name, "qel_get_luid");
}

} // namespace
