// The module's static type descriptions: one block per type holding its
// variant information directly in front of its type-info record, the
// variant entries with the process-wide counters, and the type table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#endif

#include "qel.h"
#include "schema_gen.h"

namespace drov {

struct TypeBlock {
    qel_variant_info_t variant_info;
    qel_type_info_t record;
};

// All blocks in type-table order, as one object the record symbols point into.
struct TypeBlocks {
    TypeBlock at[schema::kTypeCount];
};

static_assert(sizeof(qel_type_info_t) == 272);
static_assert(offsetof(qel_type_info_t, digest) == 4);
static_assert(offsetof(qel_type_info_t, digest_str) == 20);
static_assert(offsetof(qel_type_info_t, name) == 53);
static_assert(offsetof(qel_type_info_t, module) == 117);
static_assert(offsetof(qel_type_info_t, kind) == 181);
static_assert(offsetof(qel_type_info_t, luid) == 248);
static_assert(offsetof(qel_type_info_t, reserved) == 252);
static_assert(offsetof(qel_type_info_t, variant_info) == 256);
static_assert(offsetof(qel_type_info_t, private_copy) == 264);
static_assert(sizeof(qel_type_info_copy_t) == 288);
static_assert(sizeof(qel_variant_info_t) == 16);
static_assert(offsetof(qel_variant_info_t, entries) == 8);
static_assert(sizeof(qel_variant_entry_t) == 40);
static_assert(offsetof(qel_variant_entry_t, creates) == 16);
static_assert(offsetof(qel_variant_entry_t, destroys) == 24);
static_assert(offsetof(TypeBlock, record) == sizeof(qel_variant_info_t));
static_assert(sizeof(TypeBlock) == 288); // the record aliases below rely on it
static_assert(offsetof(qel_instance_header_t, instance_variant) == 8);
static_assert(offsetof(qel_instance_header_t, layout_variant) == 9);
static_assert(offsetof(qel_instance_header_t, obj_flags) == 10);
static_assert(sizeof(qel_module_desc_t) == 4 * sizeof(void *));

extern "C" {
extern TypeBlocks drov_def_type_blocks;
// The records in type-table order, null-terminated.
extern const std::array<qel_type_info_t *, schema::kTypeCount + 1> drov_def_type_table;
extern qel_module_desc_t drov_def_module_desc;
}
extern std::array<qel_variant_entry_t, schema::kVariantEntryCount> g_variant_entries;

// The static record of type `index`, the object exported as
// _<type>_type_info_internal (what the type table names): its address is
// known when the library is linked, so finding it loads nothing.
inline qel_type_info_t *record(uint32_t index) { return &drov_def_type_blocks.at[index].record; }

// Adds n to a creation or destruction counter of a variant entry.  The
// counters are the whole process's, so another thread may count into the
// same one at the same time: the addition is atomic.  While the process has
// a single thread (the C library says so) nobody can, and a plain addition
// is the same without the locked instruction, a good part of a small
// message's whole life.  The C library clears the flag before a second
// thread starts, and that thread sees every count stored before.
[[gnu::always_inline]] inline void add_count(uint64_t *counter, uint64_t n) {
#if __has_include(<sys/single_threaded.h>)
    if (__libc_single_threaded != 0) {
        __atomic_store_n(counter, __atomic_load_n(counter, __ATOMIC_RELAXED) + n, __ATOMIC_RELAXED);
        return;
    }
#endif
    __atomic_fetch_add(counter, n, __ATOMIC_RELAXED);
}

} // namespace drov
