// Creation and destruction of every structure type: headers, statistics,
// placeholders, failures, object mappings, interface references, fatal
// handles, and what the runtime's databases hear.
#include "struct_support.h"
#include "trace_gen.h"

namespace {

using namespace test::structs;
using qel_standin::Tracking;

class Life : public test::HandleTest, public ::testing::WithParamInterface<Tracking> {};

TEST_P(Life, EveryTypeIsCreatedCountedAndDestroyedWhole) {
    qel_standin::set_tracking(h, GetParam());
    const bool on = GetParam() == Tracking::On;
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        const auto &d = kTypes[t];
        st().calls.clear();
        void *inst = walk::create(h, t);
        ASSERT_NE(inst, nullptr);
        const auto *b = walk::bytes(inst);
        EXPECT_EQ(walk::load<void *>(inst, 0), walk::fn<void *>("_" + walk::name(t) + "_type_info_internal"));
        EXPECT_EQ(static_cast<int8_t>(b[9]), d.highest());
        EXPECT_EQ(static_cast<int8_t>(b[8]), d.highest()); // the stand-in's domain: the highest
        EXPECT_EQ((b[10] & QEL_OBJ_STATE_TRACKED) != 0, on);
        EXPECT_EQ(st().live.at(inst), d.alloc_size() + (on ? d.state[d.variants - 1] : 0));
        for (uint32_t i = 0; i < d.field_count; ++i) {
            const FieldDesc &f = d.fields[i];
            if (f.kind != FieldKind::List) continue;
            const uint8_t *head = b + f.offset;
            EXPECT_EQ(walk::load<const void *>(inst, f.offset), head);
            EXPECT_EQ(walk::load<const void *>(inst, f.offset + 8), head);
            EXPECT_EQ(walk::load<const void *>(inst, f.offset + 16), inst);
            EXPECT_EQ(walk::load<uint32_t>(inst, f.offset + 24), 0u);
        }
        auto creates = qel_standin::calls_named(h, "qellib_type_stats_create_object");
        ASSERT_FALSE(creates.empty());
        EXPECT_EQ(creates.front().obj, walk::load<void *>(inst, 0)); // the instance itself comes first
        walk::Filler fill{h, std::mt19937(t)};
        fill.fill(t, inst);
        EXPECT_EQ(fill.err, 0u);
        walk::destroy(h, t, inst);
        EXPECT_TRUE(st().live.empty());
        EXPECT_EQ(calls("qellib_type_stats_create_object"),
                  calls("qellib_type_stats_destroy_object"));
    }
}

INSTANTIATE_TEST_SUITE_P(Tracking, Life,
                         ::testing::Values(Tracking::Absent, Tracking::Off, Tracking::On),
                         [](const auto &p) { return tracking_name(p.param); });

class Lifecycle : public Owning {
protected:
    void SetUp() override {
        test::HandleTest::SetUp();
        qel_standin::set_tracking(h, Tracking::On);
    }
    vm_act_rsp_t *rsp() { return vm_act_rsp_create(h, 1); }
};

TEST_F(Lifecycle, PlaceholderAndAllocationFailures) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        auto create_cr = walk::fn<void *(*)(H)>(walk::op(t, "create_cr"));
        // A pending error: the placeholder, no allocation, the error kept.
        h->err = 5;
        const uint64_t before = st().alloc_calls;
        void *p = create_cr(h);
        EXPECT_EQ(st().alloc_calls, before);
        EXPECT_EQ(h->err, 5u);
        EXPECT_EQ(h->cr_in_progress, 0u);
        // A failed allocation: the placeholder and 12.
        h->err = 0;
        st().fail_alloc_at = st().alloc_calls + 1;
        EXPECT_EQ(create_cr(h), p);
        EXPECT_EQ(h->err, 12u);
        h->err = 0;
        // The placeholder is all zeros and destroy leaves it alone.
        walk::destroy(h, t, p);
        call<void>(walk::op(t, "destroy_cr"), h, p);
        EXPECT_TRUE(std::all_of(walk::bytes(p), walk::bytes(p) + kTypes[t].alloc_size(),
                                [](uint8_t c) { return c == 0; }));
        // Plain create: null, and no error stored.
        st().fail_alloc_at = st().alloc_calls + 1;
        st().calls.clear();
        EXPECT_EQ(walk::create(h, t), nullptr);
        EXPECT_EQ(calls("qel_store_err"), 0u);
        walk::destroy(h, t, nullptr);
    }
}

// The databases hear of each instance made, destroyed, listed and removed
// from its list.
TEST_F(Lifecycle, TheDatabasesHearOfContainmentAndDirtiness) {
    h->containment_recording = 1;
    h->type_info_mode = 1;
    vm_id_t *a = vm_id_create(h, 7);
    auto c = qel_standin::calls_named(h, "qeldb_record_containment2");
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(c.back().obj, a);
    EXPECT_EQ(c.back().owner, nullptr);
    ASSERT_EQ(calls("qeldb_plat_set_dirty"), 1u);
    vm_id_t *b = vm_id_create(h, QEL_CTX_NONE); // no database work for this context
    EXPECT_EQ(calls("qeldb_plat_set_dirty"), 1u);
    vm_id_destroy(h, 7, a);
    EXPECT_EQ(calls("qeldb_plat_set_destroy"), 1u);
    vm_id_destroy(h, QEL_CTX_NONE, b);
    EXPECT_EQ(calls("qeldb_plat_set_destroy"), 1u);
    vm_if_mtu_t *l = vm_if_mtu_create(h, 4);
    vm_if_mtu_element_t *e = vm_if_mtu_element_create(h, 4);
    vm_if_mtu_mtu_list_set_last(h, 4, l, e, &err);
    c = qel_standin::calls_named(h, "qeldb_record_containment2");
    EXPECT_EQ(c.back().obj, e);
    EXPECT_EQ(c.back().owner, l);
    st().calls.clear();
    vm_if_mtu_mtu_list_remove(h, 4, l, e, &err);
    auto d = qel_standin::calls_named(h, "qeldb_plat_set_detach");
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].obj, e);
    EXPECT_EQ(d[0].arg, 1);
    EXPECT_GE(calls("qeldb_plat_set_dirty"), 2u); // the link stores
    vm_if_mtu_element_destroy(h, 4, e);
    vm_if_mtu_destroy(h, 4, l);
}

TEST_F(Lifecycle, OidMappedInstances) {
    vm_act_rsp_t *r = rsp();
    vm_act_rsp_vm_name_set(h, 1, r, "abc", 3, &err);
    auto *flags = reinterpret_cast<uint8_t *>(r) + 10;
    *flags |= QEL_OBJ_OID_MAPPED;
    // The mapping cannot be removed: the error is stored, the instance stays.
    st().oid_mapping_error = 12;
    vm_act_rsp_destroy(h, 1, r);
    EXPECT_EQ(st().last_error, 12u);
    EXPECT_EQ(last_trace(), "vm_act_rsp destroy: Failed to remove oid mapping for object. Error %s");
    EXPECT_EQ(qel_standin::traces().back().args.at(0).s, std::strerror(12));
    // References remain: the runtime will clean up; nothing is released.
    st().oid_mapping_error = 0;
    st().oid_mapping_result = 0;
    vm_act_rsp_destroy(h, 1, r);
    EXPECT_EQ(last_trace(),
              "vm_act_rsp destroy: Object has references and will be cleaned up when all of them are released");
    EXPECT_EQ(vm_act_rsp_vm_name_length_get_value(h, 1, r, &err), 3u);
    EXPECT_EQ(st().live.size(), 2u);
    st().oid_mapping_result = 1;
    vm_act_rsp_destroy(h, 1, r);
    EXPECT_EQ(last_trace(), "vm_act_rsp destroy: Successfully removed OID mapping");
    EXPECT_EQ(qel_standin::traces().back().flags >> 24, 7u); // debug
}

// With per-object mappings, an instance whose state area lies elsewhere or
// that carries ra data gives its mapping back before its memory goes; a
// failure is traced and stored and keeps the memory.
TEST_F(Lifecycle, PerObjectMappingsAreRemovedBeforeTheMemoryGoes) {
    qel_standin::set_tracking(h, Tracking::Off);
    struct Case {
        uint8_t flag;
        uint32_t per_object, error;
        size_t removals;
        bool kept;
    };
    for (Case c : {Case{QEL_OBJ_RA_DATA, 1, 0, 1, false}, Case{QEL_OBJ_STTR_OFFSET, 1, 0, 1, false},
                   Case{QEL_OBJ_RA_DATA, 1, 12, 1, true}, Case{QEL_OBJ_RA_DATA, 0, 12, 0, false},
                   Case{0, 1, 12, 0, false}}) {
        SCOPED_TRACE(std::to_string(c.flag) + " " + std::to_string(c.per_object) + " " + std::to_string(c.error));
        vm_id_t *v = vm_id_create(h, 1);
        reinterpret_cast<uint8_t *>(v)[10] |= c.flag;
        h->per_object_mapping = c.per_object;
        st().hd_mapping_error = c.error;
        st().last_error = 0;
        st().calls.clear();
        qel_standin::reset_global();
        vm_id_destroy(h, 1, v);
        EXPECT_EQ(calls("qel_hd_mapping_destroy"), c.removals);
        EXPECT_EQ(st().live.size(), c.kept ? 1u : 0u);
        EXPECT_EQ(trace_texts(), c.kept ? std::vector<std::string>{"vm_id destroy: Failed to remove oid mapping for "
                                                                   "object. Error %s"}
                                        : std::vector<std::string>{});
        EXPECT_EQ(st().last_error, c.kept ? 12u : 0u);
        st().hd_mapping_error = 0;
        if (st().live.count(v) != 0) vm_id_destroy(h, 1, v);
    }
    h->per_object_mapping = 0;
}

// The interface references the handle holds for an if_handle field are
// given back when its instance goes, alone, as a list element or with its
// container.
TEST_F(Lifecycle, InterfaceReferencesAreReleased) {
    st().if_handle_refs = {0x11, 0x22, 0x33};
    auto released = [&] {
        std::vector<uintptr_t> out;
        for (const auto &c : qel_standin::calls_named(h, "qellib_lookup_and_update_oid_ref_count")) {
            EXPECT_EQ(c.arg, 0);
            out.push_back(c.words[0]);
        }
        st().calls.clear();
        return out;
    };
    const std::vector<uintptr_t> all = {0x11, 0x22, 0x33};
    for (const char *type : {"vm_nic", "vm_nic_list", "vm_if_mtu_element"}) {
        SCOPED_TRACE(type);
        const uint32_t t = walk::index_of(type);
        const std::string destroy = std::string(type) + " destroy: ";
        void *e = walk::create(h, t);
        st().calls.clear();
        walk::destroy(h, t, e);
        EXPECT_EQ(released(), all);
        // A failing decrement is traced per reference and the destroy goes on.
        e = walk::create(h, t);
        qel_standin::reset_global();
        st().oid_ref_count_error = 22;
        walk::destroy(h, t, e);
        st().oid_ref_count_error = 0;
        EXPECT_EQ(trace_texts(), std::vector<std::string>(3, destroy + "Failed to decrement ref count of oid %p. Error %s"));
        EXPECT_EQ(qel_standin::traces().at(1).args.at(0).p, reinterpret_cast<const void *>(0x22));
        EXPECT_TRUE(st().live.empty());
        // References that cannot be fetched stop the destroy.
        e = walk::create(h, t);
        qel_standin::reset_global();
        st().object_references_error = 5;
        walk::destroy(h, t, e);
        EXPECT_EQ(last_trace(), destroy + "Failed to get oid references from object. Error %s");
        EXPECT_EQ(st().live.size(), 1u);
        st().object_references_error = 0;
        walk::destroy(h, t, e);
        EXPECT_TRUE(st().live.empty());
    }
    // With the owner: every element's.
    vm_nic_rsp_t *owner = vm_nic_rsp_create(h, 1);
    vm_nic_rsp_vm_if_info_set_last(h, 1, owner, vm_nic_list_create(h, 1), &err);
    vm_nic_rsp_vm_if_info_set_last(h, 1, owner, vm_nic_list_create(h, 1), &err);
    st().calls.clear();
    vm_nic_rsp_destroy(h, 1, owner);
    EXPECT_EQ(released().size(), 6u);
    EXPECT_EQ(err, 0u);
}

// An element destroyed while linked leaves its list, which counts one less.
TEST_F(Lifecycle, DestroyingALinkedElementUnlinksIt) {
    vm_mac_pool_t *pool = vm_mac_pool_create(h, 1);
    vm_mac_pool_addr_t *e[3];
    for (auto &x : e) {
        x = vm_mac_pool_addr_create(h, 1);
        vm_mac_pool_mac_addr_list_set_last(h, 1, pool, x, &err);
    }
    qel_standin::reset_global();
    vm_mac_pool_addr_destroy(h, 1, e[1]);
    EXPECT_EQ(vm_mac_pool_mac_addr_list_get_count(h, 1, pool, &err), 2u);
    EXPECT_EQ(vm_mac_pool_mac_addr_list_get_next(h, 1, pool, e[0], &err), e[2]);
    EXPECT_EQ(vm_mac_pool_mac_addr_list_get_prev(h, 1, pool, e[2], &err), e[0]);
    EXPECT_FALSE(qel_standin::ranges().empty()); // the links were announced
    vm_mac_pool_addr_destroy(h, 1, e[0]);
    vm_mac_pool_addr_destroy(h, 1, e[2]);
    EXPECT_EQ(vm_mac_pool_mac_addr_list_get_count(h, 1, pool, &err), 0u);
    EXPECT_EQ(vm_mac_pool_mac_addr_list_get_first(h, 1, pool, &err), nullptr);
    vm_mac_pool_destroy(h, 1, pool);
    EXPECT_EQ(err, 0u);
}

TEST_F(Lifecycle, AllStateFlagsAreSetAndClearedNestedAreasIncluded) {
    vm_act_rsp_t *r = rsp();
    vm_nic_list_t *e = vm_nic_list_create(h, 1);
    auto *nested = vm_act_rsp_vm_if_rsp_get(h, 1, r, &err);
    vm_nic_rsp_vm_if_info_set_last(h, 1, nested, e, &err);
    const uint8_t *area = reinterpret_cast<uint8_t *>(r) + 184;
    EXPECT_EQ(area[3], 2); // the nested list's flag lies in the parent's area
    vm_act_rsp_set_all_state_tracking_flag(h, 1, r, 0x1FF);
    EXPECT_TRUE(std::all_of(area, area + 9, [](uint8_t b) { return b == 0xFF; }));
    vm_act_rsp_set_all_state_tracking_flag(h, 1, r, 0);
    EXPECT_TRUE(std::all_of(area, area + 9, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(vm_nic_rsp_vm_if_info_state_flag_get(h, 1, nested, &err), 0u);
    // Untracked under another handle: nothing happens.
    qel_standin::set_tracking(h, Tracking::Off);
    vm_act_rsp_set_all_state_tracking_flag(h, 1, r, 7);
    EXPECT_EQ(area[0], 0);
    qel_standin::set_tracking(h, Tracking::On);
    // The variable array's element flags are set too; the block stays.
    auto *q = make(vm_id_valid_req_create, vm_id_valid_req_destroy);
    const uint8_t cred[3] = {1, 2, 3};
    vm_id_valid_req_credentials_set_mem(h, 1, q, cred, 3, &err);
    const uint8_t *qa = reinterpret_cast<uint8_t *>(q) + 40;
    const uint8_t *block = walk::load<const uint8_t *>(q, 40 + 8);
    ASSERT_NE(block, nullptr);
    vm_id_valid_req_set_all_state_tracking_flag(h, 1, q, 9);
    EXPECT_EQ(qa[0], 9);
    EXPECT_EQ(qa[1], 9);
    EXPECT_EQ(walk::load<const uint8_t *>(q, 48), block);
    EXPECT_EQ(std::vector<uint8_t>(block, block + 3), std::vector<uint8_t>(3, 9));
    vm_act_rsp_destroy(h, 1, r);
    EXPECT_EQ(err, 0u);
}

// Refusals name their cause: a nested instance without a state base, null
// objects and pending errors in the object queries.
TEST_F(Lifecycle, RefusalsAreTraced) {
    alignas(8) uint8_t block[256] = {};
    auto *nested = reinterpret_cast<vm_nic_rsp_t *>(block);
    vm_nic_rsp_initialize(h, 1, nested, walk::fn<qel_type_info *>("_vm_nic_rsp_type_info_internal"), 1, 0,
                          QEL_OBJ_NESTED, nullptr, &err);
    EXPECT_ERR(22u);
    EXPECT_EQ(last_trace(), "sttr_base can not be NULL in NESTED case. Please check the parent object and "
                            "provide the correct state tracking base pointer");
    vm_nic_rsp_destroy_internal(h, 1, nested, 0); // the statistics were counted before the refusal
    auto *a = make(vm_id_create, vm_id_destroy);
    const std::pair<std::function<void()>, const char *> rows[] = {
        {[&] { EXPECT_EQ(vm_id_get_oid_count(h, 1, nullptr, &err), 0u); }, "Invalid object passed in to get object oid count"},
        {[&] { EXPECT_EQ(vm_id_get_oid_count(h, 1, a, &err), 0u); }, "Error already present in call to get object oid count"},
        {[&] { vm_id_get_object_references(h, 1, nullptr, nullptr, 0, &(err = 0)); },
         "Cannot get table references. Invalid object passed on"},
        {[&] { vm_id_get_object_references(h, 1, a, nullptr, 0, &err); },
         "Error present in call to get table references from object"},
        {[&] { vm_id_set_instance_embedded(h, 1, nullptr); }, "Invalid object pointer passed in to set instance flag"},
    };
    for (const auto &[call, text] : rows) {
        call();
        EXPECT_EQ(last_trace(), text);
    }
    EXPECT_EQ(err, 22u);
    err = 0;
}

// An instance whose state area lies elsewhere (STTR_OFFSET) gives its
// nested record a place inside that area, not inside its own memory.
TEST_F(Lifecycle, AnOffsetStateAreaPlacesTheNestedRecordsFlags) {
    qel_standin::set_tracking(h, Tracking::On);
    alignas(8) uint8_t block[1024] = {};
    auto *r = reinterpret_cast<vm_act_rsp_t *>(block);
    constexpr uint32_t kOff = 600;
    qellib_update_sttr_offset(h, 1, r, kOff);
    vm_act_rsp_initialize(h, 1, r, walk::fn<qel_type_info *>("_vm_act_rsp_type_info_internal"), 1, 0,
                          0, nullptr, &err);
    EXPECT_EQ(err, 0u);
    const drov::schema::TypeDesc &t = kTypes[walk::index_of("vm_act_rsp")];
    const FieldDesc &f = *std::find_if(t.fields, t.fields + t.field_count, [](const FieldDesc &d) {
        return std::string_view(d.name) == "vm_if_rsp";
    });
    EXPECT_EQ(qellib_get_sttr_offset(h, 1, block + f.offset), kOff + f.nested_area - f.offset);
    vm_act_rsp_destroy_internal(h, 1, r, 0);
}

// ---- Fatal conditions ---------------------------------------------------------------

using LifecycleDeath = Lifecycle;

// Expects fn to abort naming trace point p, whose catalogue entry must carry the text.
template <class Fn> void dies_at(Fn fn, drov::tp::Point p, const char *text) {
    EXPECT_EQ(catalogue().at(p.index), text);
    EXPECT_EQ(p.flags >> 24, 0u);
    EXPECT_DEATH(fn(), "fatal trace " + std::to_string(p.index) + "\n");
}

TEST_F(LifecycleDeath, CorruptedMarkerAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using Type = drov::tp::TypePoints<drov::schema::k_vm_act_rsp>;
    using Field = drov::tp::FieldPoints<drov::schema::k_vm_act_rsp, 4>; // vm_uid
    const char *text = "Corrupted QEL Handle";
    vm_act_rsp_t *r = rsp();
    qel_standin::set_marker(h, 0x1234);
    dies_at([&] { vm_act_rsp_create(h, 1); }, Type::create_corrupted, text);
    dies_at([&] { vm_act_rsp_vm_uid_set_value(h, 1, r, 1, &err); }, Field::set_value_corrupted, text);
    dies_at([&] { vm_act_rsp_rc_state_flag_get(h, 1, r, &err); },
            drov::tp::FieldPoints<drov::schema::k_vm_act_rsp, 2>::flag_get_corrupted, text);
    dies_at([&] { vm_act_rsp_sizeof(h); }, Type::sizeof_corrupted, text);
    dies_at([&] { vm_act_rsp_destroy(h, 1, r); }, Type::destroy_corrupted, text);
    char buf[64];
    EXPECT_DEATH(vm_act_rsp_to_xml(h, 1, "x", buf, r, sizeof buf, 0, &err), "fatal trace ");
    qel_standin::set_tracking(h, Tracking::On);
    vm_act_rsp_destroy(h, 1, r);
}

TEST_F(LifecycleDeath, FailedLinkAnnouncementAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using List = drov::tp::FieldPoints<drov::schema::k_vm_mac_pool, 4>; // mac_addr_list
    const char *text = "norla internal error";
    vm_mac_pool_t *p = vm_mac_pool_create(h, 1);
    vm_mac_pool_addr_t *e = vm_mac_pool_addr_create(h, 1);
    auto failing = [&](auto op) { return [op] { qel_standin::fail_range_at(1), op(); }; };
    dies_at(failing([&] { vm_mac_pool_mac_addr_list_set_last(h, 1, p, e, &err); }), List::set_last_next, text);
    dies_at(failing([&] { vm_mac_pool_create(h, 1); }), List::init_first, text);
    vm_mac_pool_mac_addr_list_set_last(h, 1, p, e, &err);
    dies_at(failing([&] { vm_mac_pool_addr_destroy(h, 1, e); }),
            drov::tp::TypePoints<drov::schema::k_vm_mac_pool_addr>::unlink_links, text);
    vm_mac_pool_destroy(h, 1, p);
}

} // namespace
