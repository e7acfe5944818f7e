// The module frame: records, type table, registration with a handle, the
// variant dump, the bundle handler and trace registration.
#include <cstring>
#include <fstream>
#include <vector>

#include "support.h"

namespace {

using test::HandleTest;

// The type table of the one module linked (drov_def).
std::vector<const qel_type_info_t *> type_table() {
    std::vector<const qel_type_info_t *> out;
    for (qel_type_info_t *const *p = qel_module_tot_root.first->type_table; *p != nullptr; ++p) out.push_back(*p);
    return out;
}

std::string hex(const uint8_t *digest) {
    char out[33];
    for (int k = 0; k < 16; ++k) std::snprintf(out + 2 * k, 3, "%02x", digest[k]);
    return out;
}

// Names, kinds, digest strings, magic numbers and variant entries of the
// records: the tool's listing of the library (library.types).
TEST(Records, EveryRecordIsTheModulesOwnWithItsVariantsInFront) {
    auto table = type_table();
    ASSERT_EQ(table.size(), 41u);
    for (const qel_type_info_t *r : table) {
        SCOPED_TRACE(r->name);
        EXPECT_STREQ(r->module, "drov_def");
        EXPECT_EQ(r->luid, -1);
        EXPECT_EQ(r->private_copy, 0u);
        EXPECT_STREQ(r->digest_str, hex(r->digest).c_str());
        EXPECT_EQ(reinterpret_cast<const char *>(r->variant_info) + 16, reinterpret_cast<const char *>(r));
    }
}

class Registration : public HandleTest {};

// Each type gets one private copy per context id: looked up by the static record's digest,
// allocated uncontained, inserted under the copy's own digest and told its variants as new (1).
TEST_F(Registration, OneCopyPerTypeAndContext) {
    h->type_info_mode = 5;
    drov_def_typeinfo_initialize(h, 3, &err);
    const auto table = type_table();
    auto named = [&](const char *name) { return qel_standin::calls_named(h, name); };
    auto lookups = named("registry_lookup"), allocs = named("module_alloc"), inserts = named("registry_insert"),
         updates = named("qel_update_variant_info");
    ASSERT_TRUE(lookups.size() == 41u && allocs.size() == 41u && inserts.size() == 41u && updates.size() == 41u);
    ASSERT_EQ(st().registry.size(), 41u);
    for (size_t i = 0; i < 41; ++i) {
        const qel_type_info_t *rec = table[i];
        SCOPED_TRACE(rec->name);
        const auto *copy = reinterpret_cast<const qel_type_info_copy_t *>(st().registry.at({3u, rec->digest_str}));
        EXPECT_TRUE(lookups[i].ctx == 3u && lookups[i].words[0] == reinterpret_cast<uintptr_t>(rec->digest_str));
        EXPECT_EQ(allocs[i].ctx, QEL_CTX_NONE) << "copies are not contained";
        EXPECT_EQ(allocs[i].arg, 288);
        EXPECT_TRUE(allocs[i].obj == copy && inserts[i].obj == copy && inserts[i].ctx == 3u);
        EXPECT_EQ(inserts[i].words[0], reinterpret_cast<uintptr_t>(copy->record.digest_str))
            << "the key is the copy's own digest";
        EXPECT_TRUE(updates[i].obj == copy && updates[i].owner == rec && updates[i].ctx == 3u && updates[i].arg == 1);
        EXPECT_EQ(std::memcmp(&copy->record, rec, offsetof(qel_type_info_t, luid)), 0);
        EXPECT_TRUE(copy->record.private_copy == 5u && copy->record.luid == -1);
        EXPECT_EQ(copy->record.variant_info, rec->variant_info); // counters stay shared
        EXPECT_TRUE(copy->runtime_words[0] == 0u && copy->runtime_words[1] == 0u);
    }
    drov_def_typeinfo_initialize(h, 4, &err);
    EXPECT_EQ(st().registry.size(), 82u) << "another context id is a registry of its own";
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

// Every type's variants and their sizes, as tests/golden/platform/variant_dump
// has them (its comment lines aside).
TEST(VariantDump, PrintsEveryTypeInTableOrder) {
    std::ifstream in(DROV_TEST_GOLDEN_DIR "/platform/variant_dump");
    std::string want;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("#", 0) != 0) want += line + "\n";
    ASSERT_FALSE(want.empty());
    test::printed().clear();
    drov_def_type_variant_dump(test::capture_printer);
    EXPECT_EQ(test::printed(), want);
}

TEST(BundleHandler, RegisterReturnsPreviousAndForwardsAllWords) {
    qel_standin::reset_global();
    int a = 0, b = 0;
    EXPECT_EQ(drov_def_bundle_handler_register(&a, 1, 2, 3, 4, 5), nullptr);
    EXPECT_EQ(drov_def_bundle_handler_register(&b, 6, 7, 8, 9, 10), &a);
    EXPECT_EQ(drov_def_bundle_registered_handler, &b);
    EXPECT_EQ(drov_def_bundle_handler_unregister(&b, 11, 12, 13, 14, 15), &b);
    EXPECT_EQ(drov_def_bundle_registered_handler, nullptr);
    EXPECT_EQ(drov_def_bundle_handler_unregister(&b, 0, 0, 0, 0, 0), nullptr);
    const auto &calls = qel_standin::global_calls();
    ASSERT_EQ(calls.size(), 4u);
    const auto words = [&](uintptr_t w) { // the handler, then the five words from w on
        return std::array<uintptr_t, 6>{reinterpret_cast<uintptr_t>(&b), w, w + 1, w + 2, w + 3, w + 4};
    };
    EXPECT_TRUE(calls[1].name == "kvt_comm_bundle_handler_register" && calls[1].words == words(6));
    EXPECT_TRUE(calls[2].name == "kvt_comm_bundle_handler_unregister" && calls[2].words == words(11));
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
}

} // namespace
