// The runtime interface a program uses (drov_def/runtime.h): what a new handle is, the setters and
// what they refuse, the variant domain by name and by record, the caller's allocator and the pool,
// and that a default handle keeps nothing of what it does: 200,000 messages later the process is no
// larger than a few megabytes above where it started.
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "drov_def/drov_def.h"
#include "drov_def/runtime.h"
#include "qel_standin.h"
#include "support.h"

namespace {

using qel_standin::state;

struct Handle {
    Handle() : h(drov_def_runtime_new()) {}
    ~Handle() { drov_def_runtime_free(h); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    qel_handle_t *h;
};

int8_t variant_of(const void *inst) {
    return static_cast<const qel_instance_header_t *>(inst)->instance_variant;
}

// A vm_act_rsp with two strings and one list element, encoded, decoded into
// a second one, both destroyed; the encoded size.
uint32_t round_trip(qel_handle_t *h, uint32_t *err) {
    vm_act_rsp_t *rsp = vm_act_rsp_create(h, 1);
    vm_act_rsp_vm_name_set(h, 1, rsp, "web-frontend-01", 15, err);
    vm_act_rsp_owner_set(h, 1, rsp, "ops", 3, err);
    vm_act_rsp_vm_uid_set_value(h, 1, rsp, 4711, err);
    vm_nic_list_t *nic = vm_nic_list_create(h, 1);
    const uint32_t handle = 0x1a2b;
    vm_nic_list_if_handle_set(h, 1, nic, &handle, err);
    vm_nic_rsp_vm_if_info_set_last(h, 1, vm_act_rsp_vm_if_rsp_get(h, 1, rsp, err), nic, err);
    uint8_t buf[512];
    const uint32_t n = vm_act_rsp_marshal(h, 1, buf, rsp, sizeof buf, err);
    vm_act_rsp_t *got = vm_act_rsp_create(h, 1);
    vm_act_rsp_unmarshal(h, 1, buf, got, static_cast<int32_t>(n), 0, err);
    vm_act_rsp_destroy(h, 1, got);
    vm_act_rsp_destroy(h, 1, rsp);
    return n;
}

uint64_t resident_bytes() {
    unsigned long size = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
    std::fclose(f);
    return static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// A new handle: quiet (nobody observes its writes), untracked, highest variants, malloc blocks only
// counted.
TEST(RuntimeInterface, ANewHandleIsQuiet) {
    Handle f;
    ASSERT_TRUE(f.h != nullptr && f.h->sttr != nullptr);
    EXPECT_EQ(f.h->sttr->marker, QEL_STTR_OFF);
    EXPECT_TRUE(f.h->write_notify == nullptr && f.h->counter_notify == nullptr);
    EXPECT_EQ(state(f.h).alloc_mode, qel_standin::AllocMode::Counted);
    vm_act_rsp_t *rsp = vm_act_rsp_create(f.h, 1);
    EXPECT_EQ(variant_of(rsp), 2);
    EXPECT_EQ(drov_def_runtime_live_blocks(f.h), 1u);
    vm_act_rsp_destroy(f.h, 1, rsp);
    EXPECT_EQ(drov_def_runtime_live_blocks(f.h), 0u);
}

// 200,000 messages later a default handle has kept nothing of them.
TEST(RuntimeInterface, ADefaultHandleKeepsNothingOf200000Messages) {
    if (test::kAddressSanitized) GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
    Handle f;
    const uint64_t start = resident_bytes();
    ASSERT_GT(start, 0u);
    uint32_t err = 0;
    for (int i = 0; i < 200000; ++i) round_trip(f.h, &err);
    const uint64_t grown = resident_bytes() - std::min(start, resident_bytes());
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(drov_def_runtime_last_error(f.h), 0u);
    EXPECT_EQ(drov_def_runtime_live_blocks(f.h), 0u);
    EXPECT_LT(grown, 10u << 20);
    RecordProperty("rss_growth_bytes", std::to_string(grown));
}

// Nothing keeps a new handle's range announcements, so its list links change
// unannounced; a runtime that keeps them hears each.
TEST(RuntimeInterface, ANewHandleLeavesOutRangeAnnouncements) {
    Handle f;
    uint32_t err = 0;
    qel_standin::reset_global(); // recording from here
    round_trip(f.h, &err);
    EXPECT_TRUE(qel_standin::ranges().empty());
    f.h->features &= ~QEL_FEATURE_QUIET_RANGES;
    round_trip(f.h, &err);
    EXPECT_EQ(qel_standin::ranges().size(), 20u);
    qel_standin::set_global_recording(false);
    EXPECT_EQ(err, 0u);
}

void *no_alloc(void *, uint32_t, uint32_t) { return nullptr; }
void no_free(void *, uint32_t, void *) {}

// Each setter refuses with 22 what it cannot use, and with a block live nothing may change where
// blocks go or how big instances are (16); settings that leave both alone still work.
TEST(RuntimeInterface, SettersRefuseWhatTheyCannotUseAndChangeNothing) {
    Handle f;
    qel_handle_t *h = f.h;
    qel_type_info_t not_a_record{};
    std::strcpy(not_a_record.name, "vm_act_rsp");
    const std::string long_name(64, 'x');
    using Case = std::pair<const char *, std::function<uint32_t()>>;
    const std::vector<Case> refused = {
        {"tracking of no handle", [] { return drov_def_runtime_set_tracking(nullptr, 0); }},
        {"tracking 2", [&] { return drov_def_runtime_set_tracking(h, 2); }},
        {"variant of no handle", [] { return drov_def_runtime_set_variant(nullptr, "vm_id", 0); }},
        {"variant of no name", [&] { return drov_def_runtime_set_variant(h, nullptr, 0); }},
        {"variant of an empty name", [&] { return drov_def_runtime_set_variant(h, "", 0); }},
        {"variant of a 64-character name", [&] { return drov_def_runtime_set_variant(h, long_name.c_str(), 0); }},
        {"variant 128", [&] { return drov_def_runtime_set_variant(h, "vm_act_rsp", 128); }},
        {"variant -2", [&] { return drov_def_runtime_set_variant(h, "vm_act_rsp", -2); }},
        {"variant of no record", [&] { return drov_def_runtime_set_record_variant(h, nullptr, 0); }},
        {"a record without its magic", [&] { return drov_def_runtime_set_record_variant(h, &not_a_record, 0); }},
        {"malloc for no handle", [] { return drov_def_runtime_use_malloc(nullptr); }},
        {"pool for no handle", [] { return drov_def_runtime_use_pool(nullptr, 0); }},
        {"pool chunks of 4095 bytes", [&] { return drov_def_runtime_use_pool(h, 4095); }},
        {"an allocator without free", [&] { return drov_def_runtime_use_allocator(h, no_alloc, nullptr, nullptr); }},
        {"an allocator without alloc", [&] { return drov_def_runtime_use_allocator(h, nullptr, no_free, nullptr); }},
        {"a pool reset without a pool", [&] { return drov_def_runtime_pool_reset(h); }},
        {"a pool reset of no handle", [] { return drov_def_runtime_pool_reset(nullptr); }}};
    for (const auto &[what, call] : refused) EXPECT_EQ(call(), 22u) << what;
    drov_def_runtime_free(nullptr); // ignored
    EXPECT_TRUE(drov_def_runtime_live_blocks(nullptr) == 0u && drov_def_runtime_last_error(nullptr) == 0u);

    vm_act_rsp_t *rsp = vm_act_rsp_create(h, 1);
    const std::vector<std::pair<Case, uint32_t>> busy = {
        {{"tracking on", [&] { return drov_def_runtime_set_tracking(h, DROV_DEF_TRACKING_ON); }}, 16},
        {{"tracking off as it is", [&] { return drov_def_runtime_set_tracking(h, DROV_DEF_TRACKING_OFF); }}, 0},
        {{"a pool", [&] { return drov_def_runtime_use_pool(h, 0); }}, 16},
        {{"the caller's allocator", [&] { return drov_def_runtime_use_allocator(h, no_alloc, no_free, nullptr); }}, 16},
        {{"malloc as it is", [&] { return drov_def_runtime_use_malloc(h); }}, 0},
        {{"a variant", [&] { return drov_def_runtime_set_variant(h, "vm_act_rsp", 1); }}, 0}};
    for (const auto &[c, want] : busy) EXPECT_EQ(c.second(), want) << c.first;
    EXPECT_EQ(h->sttr->marker, QEL_STTR_OFF);
    EXPECT_EQ(state(h).alloc_mode, qel_standin::AllocMode::Counted);
    vm_act_rsp_destroy(h, 1, rsp);
    EXPECT_EQ(drov_def_runtime_set_tracking(h, DROV_DEF_TRACKING_ON), 0u);
    EXPECT_EQ(h->sttr->marker, QEL_STTR_ON);
}

// The variant domain by type name and by record.  While it names no type and refuses nothing, the
// library gives each lookup's answer, the record's highest variant, without asking; a handle without
// that feature is asked every time, and a quiet handle loses it as soon as its domain names a type
// or refuses.
TEST(RuntimeInterface, VariantsByTypeNameAndByRecordAndADomainThatNamesNoTypeIsNotAsked) {
    Handle f;
    qel_handle_t *h = f.h;
    auto variant = [&] {
        vm_act_rsp_t *r = vm_act_rsp_create(h, 1);
        const int8_t v = r != nullptr ? variant_of(r) : -2;
        vm_act_rsp_destroy(h, 1, r);
        return v;
    };
    EXPECT_EQ(drov_def_runtime_set_record_variant(h, &_vm_act_rsp_type_info_internal, 0), 0u);
    EXPECT_EQ(variant(), 0) << "a record stands for its type";
    EXPECT_EQ(drov_def_runtime_set_variant(h, "vm_install_cfg", 0), 0u);
    EXPECT_EQ(variant(), 0) << "another type's choice leaves this one's";
    EXPECT_EQ(drov_def_runtime_set_variant(h, "vm_act_rsp", 100), 0u);
    EXPECT_EQ(variant(), 2) << "never above the variants the library knows";
    EXPECT_EQ(drov_def_runtime_set_record_variant(h, &_vm_act_rsp_type_info_internal, DROV_DEF_VARIANT_HIGHEST), 0u);
    EXPECT_EQ(variant(), 2);
    EXPECT_EQ(drov_def_runtime_set_variant(h, "vm_act_rsp", 0), 0u);
    EXPECT_EQ(variant(), 0);
    EXPECT_EQ(drov_def_runtime_set_variant(h, "vm_act_rsp", DROV_DEF_VARIANT_HIGHEST), 0u);
    qel_standin::set_domain_variant(h, "vm_act_rsp", 1);
    EXPECT_EQ(variant(), 1);
    EXPECT_EQ(drov_def_runtime_set_variant(h, "vm_act_rsp", DROV_DEF_VARIANT_HIGHEST), 0u);
    EXPECT_EQ(variant(), 2);
    qel_standin::set_domain_error(h, 5);
    EXPECT_EQ(variant(), -2) << "a domain that refuses refuses the creation";
    EXPECT_EQ(drov_def_runtime_live_blocks(h), 0u) << "and gives its block back";
    qel_standin::set_domain_error(h, 0);
    qel_standin::observe(h);
    for (const uint32_t features : {uint32_t{QEL_FEATURE_HIGHEST_VARIANTS}, 0u}) {
        h->features = features;
        state(h).calls.clear();
        uint32_t err = 0;
        round_trip(h, &err);
        vm_act_rsp_t *rsp = vm_act_rsp_create(h, 1);
        vm_sp_type_t *sp = vm_sp_type_create(h, 1);
        EXPECT_EQ(variant_of(rsp), 2);
        EXPECT_EQ(variant_of(sp), 0);
        EXPECT_EQ(qel_standin::count_calls(h, "qel_domain_lookup_variant") == 0, features != 0);
        EXPECT_EQ(err, 0u);
        vm_sp_type_destroy(h, 1, sp);
        vm_act_rsp_destroy(h, 1, rsp);
    }
}

// The caller's allocator: every block with the operation's context id,
// every block back; a refusal is out of memory (12).
TEST(RuntimeInterface, TheCallersAllocatorGetsEveryBlockAndItsFailuresAreOutOfMemory) {
    Handle f;
    qel_handle_t *h = f.h;
    struct Books {
        std::set<void *> live;
        std::set<uint32_t> contexts;
        bool refuse = false;
    } books;
    auto alloc = [](void *user, uint32_t ctx, uint32_t size) -> void * {
        auto *b = static_cast<Books *>(user);
        b->contexts.insert(ctx);
        return b->refuse ? nullptr : *b->live.insert(std::malloc(size)).first;
    };
    auto release = [](void *user, uint32_t ctx, void *block) {
        static_cast<Books *>(user)->contexts.insert(ctx);
        EXPECT_EQ(static_cast<Books *>(user)->live.erase(block), 1u) << "a block it did not hand out";
        std::free(block);
    };
    ASSERT_NE(h->features & QEL_FEATURE_INSTANCE_RUNS, 0u);
    ASSERT_EQ(drov_def_runtime_use_allocator(h, alloc, release, &books), 0u);
    EXPECT_EQ(h->features & QEL_FEATURE_INSTANCE_RUNS, 0u) << "its blocks are its own to watch";
    uint32_t err = 0;
    EXPECT_GT(round_trip(h, &err), 0u);
    EXPECT_EQ(err, 0u);
    EXPECT_TRUE(books.live.empty());
    EXPECT_EQ(books.contexts, std::set<uint32_t>{1}) << "the operation's context id";
    vm_act_rsp_t *r = vm_act_rsp_create(h, 1);
    books.refuse = true;
    EXPECT_EQ(vm_act_rsp_create(h, 1), nullptr);
    vm_act_rsp_vm_name_set(h, 1, r, "web", 3, &err);
    EXPECT_TRUE(err == 12u && drov_def_runtime_last_error(h) == 12u);
    books.refuse = false;
    vm_act_rsp_destroy(h, 1, r);
    EXPECT_TRUE(books.live.empty());
    EXPECT_EQ(drov_def_runtime_use_malloc(h), 0u) << "no block is live";
    EXPECT_NE(h->features & QEL_FEATURE_INSTANCE_RUNS, 0u);
}

// A default handle gives a small freed block to the next request malloc would answer with a
// block of its size, and never to one it is too small for; a block malloc sized otherwise, or
// one more than its class keeps, goes back to malloc.
TEST(RuntimeInterface, ADefaultHandleReusesASmallFreedBlockForRequestsOfItsSize) {
    if (test::kAddressSanitized) GTEST_SKIP() << "the sanitizer's malloc sizes blocks as asked";
    Handle f;
    qel_handle_t *h = f.h;
    auto take = [h](uint32_t n) { return h->allocate(h->alloc_ctx, 1, n); };
    auto give = [h](void *p) { h->free(h->alloc_ctx, 1, p); };
    for (uint32_t size = 1; size <= 4200; ++size) {
        ASSERT_EQ(drov_def_runtime_use_malloc(h), 0u); // none waiting
        void *p = take(size);
        const size_t usable = malloc_usable_size(p);
        give(p);
        // the next request of the sizes malloc answers alike gets it back
        const uint32_t low = usable <= 24 ? 1 : static_cast<uint32_t>(usable) - 15;
        for (uint32_t n : {low, static_cast<uint32_t>(usable), static_cast<uint32_t>(usable) + 1}) {
            void *q = take(n);
            if (usable > 16 * 255 + 8) {
                // beyond the classes: malloc's own
            } else if (n > usable) {
                EXPECT_NE(q, p) << size << " asked " << n;
            } else {
                EXPECT_EQ(q, p) << size << " asked " << n;
            }
            give(q);
        }
    }
    // a change of allocator gives the waiting ones back
    ASSERT_EQ(drov_def_runtime_use_pool(h, DROV_DEF_POOL_CHUNK_DEFAULT), 0u);
    ASSERT_EQ(drov_def_runtime_use_malloc(h), 0u);
    std::vector<void *> blocks, others; // 17 of one class: malloc may size a block up
    while (blocks.size() < 17) {
        void *p = take(100);
        (malloc_usable_size(p) == 104 ? blocks : others).push_back(p);
    }
    for (void *p : blocks) give(p);
    std::set<void *> again; // the sixteen kept; the seventeenth went back to malloc
    for (int i = 0; i < 16; ++i) again.insert(take(100));
    EXPECT_EQ(again, std::set<void *>(blocks.begin(), blocks.end() - 1));
    for (void *p : again) give(p);
    for (void *p : others) give(p);
    // no more than kMaxBytes wait in all, and a change of allocator takes every one
    using qel_standin::BlockCache;
    const BlockCache &c = state(h).cache;
    std::vector<void *> big;
    for (uint32_t k = 200; k < BlockCache::kClasses; ++k)
        for (int i = 0; i < 4; ++i) big.push_back(take(16 * k + 8));
    for (void *p : big) give(p);
    EXPECT_LE(c.bytes, BlockCache::kMaxBytes);
    EXPECT_GT(c.bytes, BlockCache::kMaxBytes - 16 * BlockCache::kClasses);
    ASSERT_EQ(drov_def_runtime_use_malloc(h), 0u);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_EQ(std::count(std::begin(c.first), std::end(c.first), nullptr), BlockCache::kClasses);
    EXPECT_EQ(drov_def_runtime_live_blocks(h), 0u);
}

TEST(RuntimeInterface, PoolBlocksAreAlignedReusedAndAllGoBackAtReset) {
    // the smallest chunks, the default and large ones: which classes a chunk carves depends on it
    for (const uint32_t chunk : {4096u, uint32_t{DROV_DEF_POOL_CHUNK_DEFAULT}, 1u << 20}) {
        SCOPED_TRACE(chunk);
        Handle f;
        qel_handle_t *h = f.h;
        ASSERT_EQ(drov_def_runtime_use_pool(h, chunk), 0u);
        EXPECT_EQ(state(h).alloc_mode, qel_standin::AllocMode::Pooled);

        // sizes of every class, a large one, and enough to need many chunks:
        // aligned, distinct, writable
        std::vector<std::pair<uint8_t *, uint32_t>> blocks;
        std::vector<uint32_t> sizes = {0, 1, 15, 16, 17, 255, 256, 257, 1000, 1024, 1025, 3000, 8192, 100000};
        sizes.insert(sizes.end(), 100, 3000);
        for (uint32_t size : sizes) {
            auto *p = static_cast<uint8_t *>(h->allocate(h->alloc_ctx, 1, size));
            ASSERT_NE(p, nullptr) << size;
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << size;
            std::memset(p, static_cast<int>(blocks.size() & 0xFF), size);
            blocks.emplace_back(p, size);
        }
        for (size_t k = 0; k < blocks.size(); ++k)
            for (uint32_t i = 0; i < blocks[k].second; ++i)
                ASSERT_EQ(blocks[k].first[i], k & 0xFF) << "blocks overlap";
        EXPECT_EQ(drov_def_runtime_live_blocks(h), blocks.size());

        h->free(h->alloc_ctx, 1, blocks[3].first); // 16 bytes: back for the next request of its class
        EXPECT_EQ(h->allocate(h->alloc_ctx, 1, 9), blocks[3].first);
        h->free(h->alloc_ctx, 1, blocks[13].first); // large: back to the system
        h->free(h->alloc_ctx, 1, nullptr);
        EXPECT_EQ(drov_def_runtime_live_blocks(h), blocks.size() - 1);

        // reset takes everything back (the sanitizer build sees no leak of the
        // blocks never freed), and the pool serves messages again
        EXPECT_EQ(drov_def_runtime_pool_reset(h), 0u);
        EXPECT_EQ(drov_def_runtime_live_blocks(h), 0u);
        uint32_t err = 0;
        EXPECT_GT(round_trip(h, &err), 0u);
        EXPECT_EQ(err, 0u);
        EXPECT_EQ(drov_def_runtime_live_blocks(h), 0u);
        vm_act_rsp_t *kept = vm_act_rsp_create(h, 1); // freed with the handle
        EXPECT_NE(kept, nullptr);
    }
}

} // namespace

namespace {

// The place of a failure belongs to that failure: an operation that clears
// the last error, or a number stored without a place, leaves no stale place.
TEST(RuntimeInterface, TheLastFailureKeepsItsPlaceUntilTheErrorIsCleared) {
    Handle hd;
    qel_handle_t *h = hd.h;
    const drov_def_failure_t *f = drov_def_runtime_last_failure(h);
    EXPECT_EQ(f->code, 0u);
    EXPECT_EQ(f->offset, -1);
    qel_store_failure(h, 22, "verify", "vm_act_rsp", "vm_if_rsp", 39, 0, 0, "object flags 0x2b");
    f = drov_def_runtime_last_failure(h);
    EXPECT_EQ(f->code, 22u);
    EXPECT_EQ(drov_def_runtime_last_error(h), 22u);
    EXPECT_STREQ(f->operation, "verify");
    EXPECT_STREQ(f->type, "vm_act_rsp");
    EXPECT_STREQ(f->path, "vm_if_rsp");
    EXPECT_EQ(f->offset, 39);
    EXPECT_STREQ(f->reason, "object flags 0x2b");

    qel_store_err(h, 90); // another number: the place was not its own
    EXPECT_EQ(drov_def_runtime_last_failure(h)->code, 90u);
    EXPECT_STREQ(drov_def_runtime_last_failure(h)->operation, "");
    EXPECT_EQ(drov_def_runtime_last_failure(h)->offset, -1);

    const drov_def_failure_t mine{22, "from_xml", nullptr, "vm_uid", -1, 3, 14, "not a u32"};
    drov_def_runtime_set_failure(h, &mine);
    f = drov_def_runtime_last_failure(h);
    EXPECT_EQ(f->line, 3u);
    EXPECT_EQ(f->column, 14u);
    EXPECT_STREQ(f->type, "");
    qel_store_err(h, 22); // the same number, stored again: still the same failure's place
    EXPECT_STREQ(drov_def_runtime_last_failure(h)->path, "vm_uid");

    uint32_t err = 0; // any operation clears the last error, and the place with it
    vm_id_t *id = vm_id_create(h, 1);
    vm_id_id_set_value(h, 1, id, 7, &err);
    vm_id_destroy(h, 1, id);
    EXPECT_EQ(drov_def_runtime_last_failure(h)->code, 0u);
    drov_def_runtime_set_failure(h, &mine);
    qel_clear_last_error(h);
    qel_store_err(h, 22);
    EXPECT_STREQ(drov_def_runtime_last_failure(h)->path, "");
    EXPECT_EQ(drov_def_runtime_last_failure(nullptr)->code, 0u);
}

} // namespace
