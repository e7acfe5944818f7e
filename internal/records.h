// The module's static type descriptions: one block per type holding its
// variant information directly in front of its type-info record, the
// variant entries with the process-wide counters, and the type table.
#pragma once

#include <array>
#include <cstddef>

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
// _<type>_type_info_internal.
inline qel_type_info_t *record(uint32_t index) { return drov_def_type_table[index]; }

} // namespace drov
