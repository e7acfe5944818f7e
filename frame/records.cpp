// The module's type-info records, their variant information and entries, the
// type table and the module descriptor, all built at compile time from the
// schema tables.
#include "internal/records.h"

#include "drov_def/drov_def.h"

#include <cstring>

namespace drov {
namespace {

using schema::kTypes;

constexpr uint8_t hex_digit(char c) {
    return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
}

template <size_t N>
constexpr void copy_text(char (&dst)[N], const char *src) {
    size_t i = 0;
    for (; src[i] != '\0' && i < N - 1; ++i) dst[i] = src[i];
    for (; i < N; ++i) dst[i] = '\0';
}

constexpr auto make_entries() {
    std::array<qel_variant_entry_t, schema::kVariantEntryCount> out{};
    for (const auto &t : kTypes) {
        for (int v = 0; v < t.variants; ++v) {
            auto &e = out[t.first_entry + v];
            e.variant = static_cast<uint32_t>(v);
            e.used_length = t.used[v];
            e.alloc_slop = t.alloc_size() - t.used[v];
        }
    }
    return out;
}

// `self` is the blocks' final place: each record points at the variant
// information in front of it.
constexpr TypeBlocks make_blocks(TypeBlock *self) {
    TypeBlocks out{};
    for (uint32_t k = 0; k < schema::kTypeCount; ++k) {
        const auto &t = kTypes[k];
        auto &b = out.at[k];
        b.variant_info.count = t.variants;
        b.variant_info.entries = &g_variant_entries[t.first_entry];
        auto &r = b.record;
        r.magic = QEL_TYPE_INFO_MAGIC;
        for (int i = 0; i < 16; ++i)
            r.digest[i] = static_cast<uint8_t>(hex_digit(t.digest[2 * i]) << 4 |
                                               hex_digit(t.digest[2 * i + 1]));
        copy_text(r.digest_str, t.digest);
        copy_text(r.name, t.name);
        copy_text(r.module, schema::kModuleName);
        copy_text(r.kind, t.is_enum ? "enum" : "type");
        r.luid = -1;
        r.variant_info = &self[k].variant_info;
    }
    return out;
}

} // namespace

constinit std::array<qel_variant_entry_t, schema::kVariantEntryCount> g_variant_entries =
    make_entries();

extern "C" {
constinit TypeBlocks drov_def_type_blocks = make_blocks(drov_def_type_blocks.at);

// The table names the records by their exported symbols; being protected
// (below), these always resolve to the library's own records.
#define DROV_RECORD_ADDRESS(index, name) &_##name##_type_info_internal,
constinit const std::array<qel_type_info_t *, schema::kTypeCount + 1> drov_def_type_table = {
    DROV_DEF_ALL_TYPES(DROV_RECORD_ADDRESS) nullptr};
}

} // namespace drov

// Every record is exported as _<type>_type_info_internal, a 272-byte data
// object inside its block, right after the block's variant information.  The
// runtime reads that variant information in front of the record, so a copy
// of a record in a program would be useless: protected visibility keeps the
// library's references on its own records and makes the linker refuse to
// copy them into a program (the installation section of the top-level
// CMakeLists.txt gives consumers the matching compiler option).
#define DROV_RECORD_SYMBOL(index, name)                                                  \
    asm(".globl _" #name "_type_info_internal\n"                                         \
        ".protected _" #name "_type_info_internal\n"                                     \
        ".type _" #name "_type_info_internal, @object\n"                                 \
        ".size _" #name "_type_info_internal, 272\n"                                     \
        ".set _" #name "_type_info_internal, drov_def_type_blocks + " #index " * 288 + 16\n");
DROV_DEF_ALL_TYPES(DROV_RECORD_SYMBOL)
