// Creation and destruction of every structure type: headers, statistics, placeholders, failures,
// object mappings, interface references, fatal handles, and what the runtime's databases hear.
// (List heads: every list test.)
#include <algorithm>
#include <fstream>
#include <sstream>

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
        // The runtime counts each creation and destruction in the record's entries.
        const auto *vi = walk::fn<qel_type_info_t *>("_" + walk::name(t) + "_type_info_internal")->variant_info;
        auto counted = [vi] {
            uint64_t n = 0;
            for (int v = 0; v < vi->count; ++v) n += vi->entries[v].creates + (vi->entries[v].destroys << 32);
            return n;
        };
        const uint64_t before = counted();
        st().last_error = QEL_EINVAL; // a creation is an operation of its own: it clears the last error
        void *inst = walk::create(h, t);
        EXPECT_EQ(st().last_error, 0u);
        EXPECT_EQ(counted() - before, 1u);
        ASSERT_NE(inst, nullptr);
        const auto *b = walk::bytes(inst);
        EXPECT_EQ(walk::load<void *>(inst, 0), walk::fn<void *>("_" + walk::name(t) + "_type_info_internal"));
        EXPECT_EQ(static_cast<int8_t>(b[9]), d.highest());
        EXPECT_EQ(static_cast<int8_t>(b[8]), d.highest()); // the stand-in's domain: the highest
        EXPECT_EQ((b[10] & QEL_OBJ_STATE_TRACKED) != 0, on);
        EXPECT_EQ(st().live.at(inst), d.alloc_size() + (on ? d.state[d.variants - 1] : 0));
        auto creates = qel_standin::calls_named(h, "qellib_type_stats_create_object");
        ASSERT_FALSE(creates.empty());
        EXPECT_EQ(creates.front().obj, walk::load<void *>(inst, 0)); // the instance itself comes first
        walk::Filler fill{h, std::mt19937(t)};
        fill.fill(t, inst);
        st().writes.clear();
        walk::destroy(h, t, inst); // every block back: the handle's leak check
        // The record pointer it clears last is announced like every other store.
        EXPECT_TRUE(std::any_of(st().writes.begin(), st().writes.end(), [&](const qel_standin::WriteNote &w) {
            return w.addr == inst && w.len == sizeof(void *) && w.owner == inst;
        }));
        EXPECT_EQ(counted() - before, 1u + (1ull << 32));
        EXPECT_EQ(calls("qellib_type_stats_create_object"), calls("qellib_type_stats_destroy_object"));
    }
}

INSTANTIATE_TEST_SUITE_P(Tracking, Life, ::testing::Values(Tracking::Absent, Tracking::Off, Tracking::On),
                         tracking_name);

// A trace as its level and its text with the arguments put in.
std::string rendered(const qel_standin::TraceRecord &r) {
    const std::string &text = catalogue().at(r.index);
    std::string out = "  " + std::to_string(r.flags >> 24) + " ";
    size_t k = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || k == r.args.size()) {
            out += text[i];
            continue;
        }
        const auto &a = r.args[k++];
        char p[32];
        std::snprintf(p, sizeof p, "%p", a.p);
        out += a.kind == a.Str ? a.s : a.kind == a.Ptr ? p : std::to_string(a.u);
        ++i;
    }
    return out;
}

class Lifecycle : public Owning {
protected:
    void SetUp() override {
        test::HandleTest::SetUp();
        qel_standin::set_tracking(h, Tracking::On);
    }
    vm_act_rsp_t *rsp() { return vm_act_rsp_create(h, 1); }
    // One counter of every variant entry of every structure's record.
    static std::vector<uint64_t> entry_counts(uint64_t qel_variant_entry_t::*counter) {
        std::vector<uint64_t> n;
        for (uint32_t t = 0; t < walk::kStructs; ++t) {
            const std::string record = "_" + walk::name(t) + "_type_info_internal";
            const auto *vi = walk::fn<qel_type_info_t *>(record)->variant_info;
            for (int v = 0; v < vi->count; ++v) n.push_back(vi->entries[v].*counter);
        }
        return n;
    }
};

TEST_F(Lifecycle, PlaceholdersFailedAllocationsAndRefusingDomains) {
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
        // A domain lookup that fails: traced with the error's text, nothing returned, the block back.
        qel_standin::set_domain_error(h, 5);
        qel_standin::reset_global();
        EXPECT_EQ(walk::create(h, t), nullptr);
        ASSERT_FALSE(qel_standin::traces().empty());
        EXPECT_EQ(rendered(qel_standin::traces().back()), "  3 error in " + walk::name(t) + " create: " + std::strerror(5));
        EXPECT_TRUE(st().live.empty());
        qel_standin::set_domain_error(h, 0);
    }
}

// An instance of a negative variant releases only what its fields still own: its nested record,
// owning nothing, is not destroyed and its destruction is not counted.
// offset_update records, for each nested structure field, where its state flags start in a new
// area (as an offset from the field); offset_remove drops each one's mapping.  Types without
// nested structures ask the runtime nothing.
TEST_F(Lifecycle, NestedOffsetsFollowANewAreaAndAreRemoved) {
    uint8_t area[64] = {};
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        void *inst = walk::create(h, t);
        std::vector<std::pair<const void *, int64_t>> nested;
        for (uint32_t i = 0; i < kTypes[t].field_count; ++i)
            if (const auto &f = kTypes[t].fields[i]; f.kind == FieldKind::Record) {
                const auto *field = static_cast<uint8_t *>(inst) + f.offset;
                nested.emplace_back(field, static_cast<uint32_t>(area + f.nested_area - field));
            }
        st().calls.clear();
        EXPECT_EQ(walk::fn<int32_t (*)(qel_handle_t *, uint32_t, void *, void *)>(
                      walk::op(t, "offset_update"))(h, 1u, inst, area), 0);
        std::vector<std::pair<const void *, int64_t>> updated, removed;
        for (const auto &c : qel_standin::calls_named(h, "qellib_update_sttr_offset"))
            updated.emplace_back(c.obj, c.arg);
        EXPECT_EQ(updated, nested);
        EXPECT_EQ(walk::fn<int32_t (*)(qel_handle_t *, uint32_t, void *, uint32_t *)>(
                      walk::op(t, "offset_remove"))(h, 1u, inst, &err), 0);
        EXPECT_ERR(0u);
        for (const auto &c : qel_standin::calls_named(h, "qel_hd_mapping_destroy"))
            removed.emplace_back(c.obj, 0);
        for (auto &n : nested) n.second = 0;
        EXPECT_EQ(removed, nested);
        walk::destroy(h, t, inst);
    }
}

TEST_F(Lifecycle, ANegativeVariantLeavesANestedRecordThatOwnsNothing) {
    qel_standin::set_domain_variant(h, "vm_nic_list", -1);
    vm_nic_list_t *e = vm_nic_list_create(h, 1);
    st().calls.clear();
    vm_nic_list_destroy(h, 1, e);
    auto d = qel_standin::calls_named(h, "qellib_type_stats_destroy_object");
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].obj, &_vm_nic_list_type_info_internal);
}

// The databases hear of each instance made, destroyed, listed and removed from its list.
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

// ---- Destroying while the runtime answers ------------------------------------------

// The cases of destroy.cases (the file says what they mean).
TEST_F(Lifecycle, DestroyAnswersTheRuntimeAsTheCasesSay) {
    const std::vector<uint64_t> refs = {0x11, 0x22, 0x33};
    st().if_handle_refs = refs;
    std::ifstream in(DROV_DEF_GOLDEN_DIR "/destroy.cases");
    std::vector<std::pair<std::string, std::vector<std::string>>> cases; // the line, its traces
    for (std::string line; std::getline(in, line);)
        if (line.rfind("  ", 0) == 0) cases.back().second.push_back(line);
        else if (!line.empty() && line[0] != '#') cases.push_back({line, {}});
    ASSERT_GE(cases.size(), 18u);
    for (const auto &[line, traces] : cases) {
        SCOPED_TRACE(line);
        std::istringstream words(line);
        std::string type, w, fate;
        words >> type;
        const uint32_t t = walk::index_of(type);
        std::vector<std::string> settings;
        while (words >> w && w != "->") settings.push_back(w);
        uint32_t error = 0, elements = 0;
        size_t removals = 0, releases = 0;
        words >> fate >> error >> removals >> releases;
        auto has = [&](const char *s) { return std::find(settings.begin(), settings.end(), s) != settings.end(); };
        qel_standin::set_tracking(h, has("untracked") ? Tracking::Off : Tracking::On);
        void *inst = walk::create(h, t);
        auto *flags = static_cast<uint8_t *>(inst) + 10;
        *flags |= (has("oid_mapped") ? QEL_OBJ_OID_MAPPED : 0) | (has("ra_data") ? QEL_OBJ_RA_DATA : 0) |
                  (has("sttr_offset") ? QEL_OBJ_STTR_OFFSET : 0);
        h->per_object_mapping = has("per_object");
        st().oid_mapping_result = has("references_remain") ? 0 : 1;
        const std::map<std::string, uint32_t *> fails = {
            {"oid_mapping_error", &st().oid_mapping_error}, {"hd_mapping_error", &st().hd_mapping_error},
            {"oid_ref_count_error", &st().oid_ref_count_error},
            {"object_references_error", &st().object_references_error}};
        for (const auto &s : settings) {
            const std::string name = s.substr(0, s.find('=')), n = s.substr(name.size() + (name != s));
            if (name == "elements") elements = static_cast<uint32_t>(std::stoul(n));
            else if (fails.count(name) != 0) *fails.at(name) = static_cast<uint32_t>(std::stoul(n));
        }
        for (uint32_t i = 0; i < kTypes[t].field_count; ++i)
            for (uint32_t k = 0; k < elements && kTypes[t].fields[i].kind == FieldKind::List; ++k)
                call<void>(walk::op(t, kTypes[t].fields[i], "set_last"), h, 1u, inst,
                           walk::create(h, static_cast<uint32_t>(kTypes[t].fields[i].ref)), &err);
        const size_t live = st().live.size();
        st().calls.clear();
        st().last_error = 0;
        qel_standin::reset_global();
        walk::destroy(h, t, inst);
        std::vector<std::string> traced;
        for (const auto &r : qel_standin::traces()) traced.push_back(rendered(r));
        EXPECT_EQ(traced, traces);
        EXPECT_EQ(st().live.size(), fate == "kept" ? live : 0u);
        EXPECT_EQ(st().last_error, error);
        EXPECT_EQ(calls("qel_hd_mapping_destroy"), removals);
        const auto released = qel_standin::calls_named(h, "qellib_lookup_and_update_oid_ref_count");
        ASSERT_EQ(released.size(), releases);
        EXPECT_EQ(calls("if_handle_destroy_internal"), releases / refs.size()); // each after its three
        for (size_t k = 0; k < releases; ++k) {
            EXPECT_EQ(released[k].arg, 0);
            EXPECT_EQ(released[k].words[0], refs[k % refs.size()]);
        }
        for (const auto &f : fails) *f.second = 0;
        st().oid_mapping_result = 1;
        if (fate == "kept") walk::destroy(h, t, inst);
    }
    h->per_object_mapping = 0;
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

// Refusals name their cause: null objects and pending errors in the object queries.
TEST_F(Lifecycle, RefusalsAreTraced) {
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

// The library's own plain work announces the stores of a creation within
// the new block as the runtime's calls do.
TEST_F(Lifecycle, PlainCreationAnnouncesWhatTheRuntimeDoes) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        std::vector<std::pair<ptrdiff_t, uint32_t>> seen[2];
        for (int plain : {0, 1}) {
            h->features = plain != 0 ? qel_standin::quiet_features(h) : 0u;
            st().writes.clear();
            void *inst = walk::create(h, t);
            for (const auto &w : st().writes) {
                const ptrdiff_t at = static_cast<const uint8_t *>(w.addr) - walk::bytes(inst);
                if (at >= 0 && at < static_cast<ptrdiff_t>(kTypes[t].alloc_size())) seen[plain].emplace_back(at, w.len);
            }
            std::sort(seen[plain].begin(), seen[plain].end());
            walk::destroy(h, t, inst);
        }
        EXPECT_EQ(seen[0], seen[1]) << walk::name(t);
    }
}

// Under a quiet runtime every creation after the first starts from a kept copy of a fresh
// instance.  Each one, whatever made it, has the bytes the runtime's calls give (its list heads
// pointing into it), counts its records as they do and clears the last error; a domain that
// names the type is asked again.
TEST_F(Lifecycle, UnderAQuietRuntimeEveryCreationIsWhatTheCallsMake) {
    qel_standin::set_tracking(h, Tracking::Off);
    auto creates = [] { return entry_counts(&qel_variant_entry_t::creates); };
    auto counted = [&](auto make) {
        std::vector<uint64_t> before = creates(), after;
        void *inst = make();
        after = creates();
        for (size_t i = 0; i < after.size(); ++i) after[i] -= before[i];
        return std::pair{inst, after};
    };
    // An instance's words, the run mark left out and an address within it as its offset.
    auto words = [](uint32_t t, const void *inst) {
        const uint32_t size = kTypes[t].alloc_size();
        std::vector<uint64_t> w(size / 8);
        std::memcpy(w.data(), inst, w.size() * 8);
        w[1] &= ~(uint64_t{0x10} << 16);
        for (uint64_t &x : w)
            if (x >= reinterpret_cast<uintptr_t>(inst) && x < reinterpret_cast<uintptr_t>(inst) + size)
                x = x - reinterpret_cast<uintptr_t>(inst) + 1;
        return w;
    };
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        h->features = 0;
        const auto [ref, ref_counts] = counted([&] { return walk::create(h, t); });
        qel_standin::set_recording(h, false);
        for (int i = 0; i < 3; ++i) {
            st().last_error = QEL_EINVAL;
            const auto [inst, counts] = counted([&] { return walk::create(h, t); });
            EXPECT_EQ(words(t, inst), words(t, ref));
            EXPECT_EQ(counts, ref_counts);
            EXPECT_EQ(st().last_error, 0u);
            walk::destroy(h, t, inst);
        }
        qel_standin::set_recording(h, true);
        walk::destroy(h, t, ref);
    }
    qel_standin::set_recording(h, false);
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        if (kTypes[t].variants == 1) continue;
        qel_standin::set_domain_variant(h, walk::name(t), 0);
        void *inst = walk::create(h, t);
        EXPECT_EQ(walk::bytes(inst)[8], 0) << walk::name(t);
        walk::destroy(h, t, inst);
    }
}

// Under a quiet runtime a destruction gives back what the runtime's calls give back and counts
// what they count: every type, filled at random (strings, arrays, list elements, nested records),
// in its highest variant and in one below, which keeps the later fields' blocks.
TEST_F(Lifecycle, UnderAQuietRuntimeEveryDestructionIsWhatTheCallsMake) {
    qel_standin::set_tracking(h, Tracking::Off);
    auto destroys = [] { return entry_counts(&qel_variant_entry_t::destroys); };
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        for (const bool lowered : {false, true}) {
            if (lowered && kTypes[t].variants == 1) continue;
            SCOPED_TRACE(walk::name(t) + (lowered ? " lowered" : ""));
            std::vector<uint64_t> counted[2];
            for (const bool quiet : {false, true}) {
                const size_t live = st().live.size();
                void *inst = walk::create(h, t);
                walk::Filler fill{h, std::mt19937(t)};
                fill.min_length = 1;
                fill.fill(t, inst);
                if (lowered) // the instance variant
                    static_cast<uint8_t *>(inst)[8] = static_cast<uint8_t>(kTypes[t].highest() - 1);
                qel_standin::set_recording(h, !quiet);
                const std::vector<uint64_t> before = destroys();
                walk::destroy(h, t, inst);
                counted[quiet] = destroys();
                for (size_t i = 0; i < before.size(); ++i) counted[quiet][i] -= before[i];
                qel_standin::set_recording(h, true);
                EXPECT_EQ(st().live.size(), live) << quiet;
            }
            EXPECT_EQ(counted[1], counted[0]);
        }
    }
}

// An instance initialised in the caller's memory, its stores announced or not, holds an empty
// list: the head's first and last point at the head, its parent at the instance.
TEST_F(Lifecycle, InitialisedInTheCallersMemoryAListIsEmpty) {
    const uint32_t at = kTypes[drov::schema::k_vm_nic_rsp].fields[0].offset; // vm_if_info
    qel_standin::set_tracking(h, Tracking::Off);
    for (int32_t notify : {0, 1}) {
        std::vector<uint64_t> memory(vm_nic_rsp_sizeof(h) / 8 + 1, ~uint64_t{0});
        auto *r = reinterpret_cast<vm_nic_rsp_t *>(memory.data());
        vm_nic_rsp_initialize(h, 1, r, &_vm_nic_rsp_type_info_internal, notify, 0, 0, nullptr, &err);
        EXPECT_EQ(err, 0u);
        const uint8_t *head = walk::bytes(r) + at;
        EXPECT_EQ(walk::load<const void *>(r, at), head);
        EXPECT_EQ(walk::load<const void *>(r, at + 8), head);
        EXPECT_EQ(walk::load<const void *>(r, at + 16), static_cast<const void *>(r));
    }
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
    dies_at([&] { vm_act_rsp_sizeof(h); }, Type::sizeof_corrupted, text);
    dies_at([&] { vm_act_rsp_destroy(h, 1, r); }, Type::destroy_corrupted, text);
    qel_standin::set_tracking(h, Tracking::On);
    vm_act_rsp_destroy(h, 1, r);
}

// An instance whose header names no record stops destroy, also when the
// library reads the header itself.
TEST_F(LifecycleDeath, DestroyWithoutARecordAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using Type = drov::tp::TypePoints<drov::schema::k_vm_act_rsp>;
    vm_act_rsp_t *r = rsp();
    void *rec = walk::load<void *>(r, 0);
    std::memset(static_cast<void *>(r), 0, sizeof rec);
    for (uint32_t features : {0u, qel_standin::quiet_features(h)}) {
        h->features = features;
        EXPECT_DEATH(vm_act_rsp_destroy(h, 1, r), "fatal trace " + std::to_string(Type::destroy_bad_tinfo.index) + "\n");
    }
    std::memcpy(static_cast<void *>(r), &rec, sizeof rec);
    vm_act_rsp_destroy(h, 1, r);
}

TEST_F(LifecycleDeath, FailedLinkAnnouncementAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using List = drov::tp::FieldPoints<drov::schema::k_vm_mac_pool, 4>; // mac_addr_list
    const char *text = "norla internal error";
    vm_mac_pool_t *p = vm_mac_pool_create(h, 1);
    vm_mac_pool_addr_t *e = vm_mac_pool_addr_create(h, 1);
    auto failing = [&](auto op, uint64_t n = 1) { return [op, n] { qel_standin::fail_range_at(n), op(); }; };
    auto insert = [&] { vm_mac_pool_mac_addr_list_set_last(h, 1, p, e, &err); };
    dies_at(failing(insert, 2), List::set_last_prev, text); // the second announcement fails
    EXPECT_DEATH(failing(insert, 2)(), "norla: range announcement 2 failed");
    dies_at(failing([&] { vm_mac_pool_create(h, 1); }), List::init_first, text);
    vm_mac_pool_mac_addr_list_set_last(h, 1, p, e, &err);
    dies_at(failing([&] { vm_mac_pool_addr_destroy(h, 1, e); }),
            drov::tp::TypePoints<drov::schema::k_vm_mac_pool_addr>::unlink_links, text);
    vm_mac_pool_destroy(h, 1, p);
}

} // namespace
