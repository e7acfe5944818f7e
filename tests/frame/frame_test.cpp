// The module frame: records, type table, registration with a handle, the
// variant dump, the bundle handler and trace registration.
#include <cstring>
#include <sstream>
#include <vector>

#include "support.h"

namespace {

using test::HandleTest;

const qel_module_desc_t *find_module(const char *name) {
    for (const qel_module_desc_t *d = qel_module_tot_root.first; d != nullptr; d = d->next)
        if (std::strcmp(d->name, name) == 0) return d;
    return nullptr;
}

std::vector<const qel_type_info_t *> type_table() {
    std::vector<const qel_type_info_t *> out;
    const qel_module_desc_t *d = find_module("drov_def");
    if (d == nullptr) return out;
    for (size_t i = 0; d->type_table[i] != nullptr; ++i) out.push_back(d->type_table[i]);
    return out;
}

TEST(Records, TypeTableListsStructuresThenEnumerations) {
    auto table = type_table();
    ASSERT_EQ(table.size(), 41u);
    EXPECT_EQ(table[0], &_vm_id_type_info_internal);
    EXPECT_EQ(table[9], &_vm_act_rsp_type_info_internal);
    EXPECT_EQ(table[29], &_vm_pkg_policy_response_type_info_internal);
    EXPECT_EQ(table[30], &_vm_sp_type_type_info_internal);
    EXPECT_EQ(table[40], &_vm_transport_type_type_info_internal);
    for (size_t i = 0; i < table.size(); ++i) {
        const qel_type_info_t *r = table[i];
        SCOPED_TRACE(r->name);
        EXPECT_EQ(r->magic, 0xBEEFF00Du);
        EXPECT_STREQ(r->module, "drov_def");
        EXPECT_STREQ(r->kind, i < 30 ? "type" : "enum");
        EXPECT_EQ(r->luid, -1);
        EXPECT_EQ(r->private_copy, 0u);
        char hex[33];
        for (int k = 0; k < 16; ++k) std::snprintf(hex + 2 * k, 3, "%02x", r->digest[k]);
        EXPECT_STREQ(r->digest_str, hex);
        // the variant information lies directly in front of the record
        EXPECT_EQ(reinterpret_cast<const char *>(r->variant_info) + 16,
                  reinterpret_cast<const char *>(r));
        const qel_variant_info_t *vi = r->variant_info;
        ASSERT_GE(vi->count, 1);
        uint32_t alloc = vi->entries[0].used_length + vi->entries[0].alloc_slop;
        for (int v = 0; v < vi->count; ++v) {
            EXPECT_EQ(vi->entries[v].variant, static_cast<uint32_t>(v));
            EXPECT_EQ(vi->entries[v].used_length + vi->entries[v].alloc_slop, alloc);
        }
        if (i >= 30) {
            EXPECT_EQ(vi->count, 1);
            EXPECT_EQ(vi->entries[0].used_length, 16u);
            EXPECT_EQ(vi->entries[0].alloc_slop, 0u);
        }
    }
}

TEST(Records, SizesOfMultiVariantTypes) {
    const qel_variant_info_t *act = _vm_act_rsp_type_info_internal.variant_info;
    ASSERT_EQ(act->count, 3);
    EXPECT_EQ(act->entries[0].used_length, 136u);
    EXPECT_EQ(act->entries[1].used_length, 152u);
    EXPECT_EQ(act->entries[2].used_length, 168u);
    EXPECT_EQ(act->entries[2].alloc_slop, 16u);
    EXPECT_STREQ(_vm_act_rsp_type_info_internal.digest_str, "a99568b5cd3c2423bf275e4aa3ca6888");
    const qel_variant_info_t *addr = _vm_mac_pool_addr_type_info_internal.variant_info;
    EXPECT_EQ(addr->entries[0].used_length, 46u);
    EXPECT_EQ(addr->entries[0].alloc_slop, 10u);
    EXPECT_EQ(_vm_install_cfg_type_info_internal.variant_info->entries[1].used_length, 240u);
}

class Registration : public HandleTest {};

TEST_F(Registration, RegistersOneCopyPerTypeAndUpdatesVariantsOnRepeat) {
    h->type_info_mode = 5;
    drov_def_typeinfo_initialize(h, 3, &err);
    EXPECT_EQ(err, 0u);
    ASSERT_EQ(st().registry.size(), 41u);
    EXPECT_EQ(calls("module_alloc"), 41u);
    for (const qel_type_info_t *rec : type_table()) {
        auto it = st().registry.find({3u, rec->digest_str});
        ASSERT_NE(it, st().registry.end()) << rec->name;
        const auto *copy = reinterpret_cast<const qel_type_info_copy_t *>(it->second);
        EXPECT_NE(&copy->record, rec);
        EXPECT_EQ(std::memcmp(&copy->record, rec, offsetof(qel_type_info_t, luid)), 0);
        EXPECT_EQ(copy->record.private_copy, 5u);
        EXPECT_EQ(copy->record.luid, -1);
        EXPECT_EQ(copy->record.variant_info, rec->variant_info); // counters stay shared
        EXPECT_EQ(copy->runtime_words[0], 0u);
        EXPECT_EQ(copy->runtime_words[1], 0u);
    }
    drov_def_typeinfo_initialize(h, 3, &err);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(st().registry.size(), 41u);
    EXPECT_EQ(calls("module_alloc"), 41u);
    std::vector<int64_t> news;
    for (const auto &c : st().calls)
        if (c.name == "qel_update_variant_info") news.push_back(c.arg);
    ASSERT_EQ(news.size(), 82u);
    EXPECT_EQ(std::count(news.begin(), news.begin() + 41, 1), 41);
    EXPECT_EQ(std::count(news.begin() + 41, news.end(), 0), 41);
    // another context id is a registry of its own
    drov_def_typeinfo_initialize(h, 4, &err);
    EXPECT_EQ(st().registry.size(), 82u);
}

// How registration talks to the handle: what it looks up, allocates and
// inserts, under which context ids.
TEST_F(Registration, LooksUpAllocatesAndInsertsUnderTheRightKeys) {
    drov_def_typeinfo_initialize(h, 3, &err);
    auto table = type_table();
    auto lookups = qel_standin::calls_named(h, "registry_lookup");
    auto allocs = qel_standin::calls_named(h, "module_alloc");
    auto inserts = qel_standin::calls_named(h, "registry_insert");
    auto updates = qel_standin::calls_named(h, "qel_update_variant_info");
    ASSERT_EQ(lookups.size(), 41u);
    ASSERT_EQ(allocs.size(), 41u);
    ASSERT_EQ(inserts.size(), 41u);
    ASSERT_EQ(updates.size(), 41u);
    for (size_t i = 0; i < 41; ++i) {
        SCOPED_TRACE(table[i]->name);
        EXPECT_EQ(lookups[i].ctx, 3u);
        EXPECT_EQ(lookups[i].words[0], reinterpret_cast<uintptr_t>(table[i]->digest_str));
        EXPECT_EQ(allocs[i].ctx, QEL_CTX_NONE) << "copies are not contained";
        EXPECT_EQ(allocs[i].arg, 288);
        const auto *copy = static_cast<const qel_type_info_t *>(inserts[i].obj);
        EXPECT_EQ(copy, allocs[i].obj);
        EXPECT_EQ(inserts[i].ctx, 3u);
        EXPECT_EQ(inserts[i].words[0], reinterpret_cast<uintptr_t>(copy->digest_str))
            << "the key is the copy's own digest";
        EXPECT_EQ(updates[i].obj, copy);
        EXPECT_EQ(updates[i].owner, table[i]);
        EXPECT_EQ(updates[i].ctx, 3u);
    }
    st().calls.clear();
    drov_def_typeinfo_initialize(h, 3, &err);
    updates = qel_standin::calls_named(h, "qel_update_variant_info");
    ASSERT_EQ(updates.size(), 41u);
    EXPECT_EQ(updates[40].obj, st().registry.at({3u, table[40]->digest_str})) << "the registered copy";
    EXPECT_EQ(updates[40].owner, table[40]);
}

TEST_F(Registration, AllocationFailureKeepsEarlierTypes) {
    st().fail_module_alloc_at = 7;
    drov_def_typeinfo_initialize(h, 0, &err);
    EXPECT_EQ(err, 12u);
    EXPECT_EQ(st().last_error, 12u);
    EXPECT_EQ(st().registry.size(), 6u);
    EXPECT_TRUE(qel_standin::traces().empty());
    EXPECT_NE(st().registry.count({0u, _vm_nic_type_info_internal.digest_str}), 0u); // the sixth
    EXPECT_EQ(st().registry.count({0u, _vm_nic_list_type_info_internal.digest_str}), 0u);
}

TEST(VariantDump, PrintsEveryTypeInTableOrder) {
    test::printed().clear();
    drov_def_type_variant_dump(test::capture_printer);
    std::istringstream in(test::printed());
    std::string line;
    int headers = 0, variants = 0;
    std::vector<std::string> lines;
    while (std::getline(in, line)) {
        lines.push_back(line);
        if (line.rfind("n_variants ", 0) == 0) ++headers;
        if (line.rfind("variant ", 0) == 0) ++variants;
    }
    EXPECT_EQ(headers, 41);
    EXPECT_EQ(variants, 46);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "n_variants 1");
    EXPECT_EQ(lines[1], "variant 0 used length 16 alloc slop 8"); // vm_id
    auto act = std::find(lines.begin(), lines.end(), "n_variants 3");
    ASSERT_NE(act, lines.end());
    EXPECT_EQ(act[3], "variant 2 used length 168 alloc slop 16");
    EXPECT_EQ(lines.back(), "variant 0 used length 16 alloc slop 0");
}

TEST(BundleHandler, RegisterReturnsPreviousAndForwardsAllWords) {
    qel_standin::reset_global();
    int a = 0, b = 0;
    EXPECT_EQ(drov_def_bundle_handler_register(&a, 1, 2, 3, 4, 5), nullptr);
    EXPECT_EQ(drov_def_bundle_handler_register(&b, 6, 7, 8, 9, 10), &a);
    EXPECT_EQ(drov_def_bundle_registered_handler, &b);
    EXPECT_EQ(drov_def_bundle_handler_unregister(&b, 0, 0, 0, 0, 0), &b);
    EXPECT_EQ(drov_def_bundle_registered_handler, nullptr);
    EXPECT_EQ(drov_def_bundle_handler_unregister(&b, 0, 0, 0, 0, 0), nullptr);
    std::vector<qel_standin::Call> kvt;
    for (const auto &c : qel_standin::global_calls())
        if (c.name.rfind("kvt_", 0) == 0) kvt.push_back(c);
    ASSERT_EQ(kvt.size(), 4u);
    EXPECT_EQ(kvt[1].name, "kvt_comm_bundle_handler_register");
    EXPECT_EQ(kvt[1].arg, reinterpret_cast<intptr_t>(&b));
    EXPECT_EQ(kvt[2].name, "kvt_comm_bundle_handler_unregister");
}

TEST(TraceRegistration, RegistersUnderTheModuleTraceName) {
    qel_standin::reset_global();
    EXPECT_EQ(qel_drov_def_trace_init(), 0);
    ASSERT_FALSE(qel_standin::global_calls().empty());
    const qel_standin::Call first = qel_standin::global_calls().back();
    EXPECT_EQ(first.name, "wlog_module_init_fn");
    EXPECT_STREQ(static_cast<const char *>(first.obj), "qel_drov_def");
    EXPECT_EQ(first.owner, &g_qel_drov_def_trace_module_id);
    EXPECT_NE(first.words[0], 0u) << "the module's own state word";
    EXPECT_NE(g_qel_drov_def_trace_module_id, 0);
    uint16_t id = g_qel_drov_def_trace_module_id;
    qel_drov_def_trace_init();
    EXPECT_EQ(g_qel_drov_def_trace_module_id, id);
    const qel_standin::Call second = qel_standin::global_calls().back();
    EXPECT_EQ(second.words[0], first.words[0]) << "the same state word every time";
    EXPECT_EQ(second.arg, 1) << "which the trace library has set";
}

} // namespace
