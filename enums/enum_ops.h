// The enumeration operations, written once for all enumerations.  Each
// enumeration's exported functions are generated one-line calls into these,
// passing the enumeration's descriptor first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "drov_def/drov_def.h"
#include "internal/handle.h"
#include "qel.h"
#include "schema_gen.h"

namespace drov::enums {

using Instance = drov_def_enum_instance;

static_assert(sizeof(Instance) == 16);
static_assert(offsetof(Instance, instance_variant) == offsetof(qel_instance_header_t, instance_variant));
static_assert(offsetof(Instance, layout_variant) == offsetof(qel_instance_header_t, layout_variant));
static_assert(offsetof(Instance, obj_flags) == offsetof(qel_instance_header_t, obj_flags));
static_assert(offsetof(Instance, pad) == 11);
static_assert(offsetof(Instance, value) == 12);

// What tells one enumeration from another.
struct EnumType {
    uint32_t type_index; // in the type table
    uint32_t pos;        // among the enumerations: selects its trace block
    uint32_t count;      // number of values
    uint32_t first;      // number of the first value, numbered 0 on the wire
    const char *name;
    const char *const *names; // value names in number order
    Instance *placeholder;
};

extern const std::array<EnumType, schema::kEnumCount> kEnumTypes;

// The numbering on the wire and in range checks: values first..first+count-1
// map to 0..count-1, any other value keeps its number.
struct Numbering {
    uint32_t count, first;
};
constexpr uint32_t to_internal(Numbering n, uint32_t v) {
    return v - n.first < n.count ? v - n.first : v;
}
constexpr uint32_t to_internal(const EnumType &e, uint32_t v) {
    return to_internal(Numbering{e.count, e.first}, v);
}
// The value a number read off the wire stands for.
constexpr uint32_t to_user(Numbering n, uint32_t wire) {
    return wire < n.count ? wire + n.first : wire;
}
constexpr uint32_t to_user(const EnumType &e, uint32_t wire) {
    return to_user(Numbering{e.count, e.first}, wire);
}

// Initialisation once the domain's variant for the type is known: the
// header written in order (layout variant, instance variant capped at the
// one variant 0, record, flags added), each store announced when asked.
inline void init_header(qel_handle_t *h, uint32_t ctx, Instance *inst, qel_type_info_t *ti,
                        int32_t notify, uint8_t flags, int8_t domain) {
    if (notify != 0) announce(h, &inst->layout_variant, 1, ctx, inst);
    inst->layout_variant = 0;
    if (notify != 0) announce(h, &inst->instance_variant, 1, ctx, inst);
    inst->instance_variant = domain > 0 ? 0 : domain;
    if (notify != 0) announce(h, &inst->type_info, sizeof(inst->type_info), ctx, inst);
    inst->type_info = instance_record(h, ctx, ti);
    if (notify != 0) announce(h, &inst->obj_flags, 1, ctx, inst);
    inst->obj_flags = static_cast<uint8_t>(inst->obj_flags | flags);
}

uint32_t variant_data_index_cap(const EnumType &e, uint32_t variant);
uintptr_t get_luid(const EnumType &e, uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d,
                   uintptr_t f, uintptr_t g);
Instance *create(const EnumType &e, qel_handle_t *h, uint32_t ctx);
Instance *create_internal(const EnumType &e, qel_handle_t *h, uint32_t ctx);
Instance *create_cr(const EnumType &e, qel_handle_t *h);
uint8_t initialize(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst,
                   qel_type_info_t *ti, int32_t notify, uint32_t unused1, uint8_t flags,
                   uintptr_t unused2, uint32_t *err);
void set_instance_embedded(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst);
uint32_t get_oid_count(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst,
                       uint32_t *err);
void get_object_references(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst,
                           uintptr_t refs, uint32_t cap, uint32_t *err);
void destroy(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst);
void destroy_internal(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst,
                      int32_t release);
void destroy_cr(const EnumType &e, qel_handle_t *h, Instance *inst);
uint32_t map_to_user_value(const EnumType &e, uint32_t value);
uint32_t map_to_internal_value(const EnumType &e, uint32_t value);
int32_t adjust_variant(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst,
                       uint32_t *err);
int32_t compare(const EnumType &e, const Instance *a, const Instance *b);
uint32_t hash(const EnumType &e, const Instance *inst, uint32_t running);
uint32_t size_of(const EnumType &e);
uint32_t len(const EnumType &e);
uint32_t len_cr(const EnumType &e, qel_handle_t *h);
Instance *get(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst);
uint32_t get_value(const EnumType &e, qel_handle_t *h, uint32_t ctx, const Instance *inst,
                   uint32_t *err);
void set(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *dst, const Instance *src,
         uint32_t *err);
void set_value(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst, uint32_t value,
               uint32_t *err);
uint32_t marshal(const EnumType &e, qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                 const Instance *inst, int32_t len, uint32_t *err);
// As marshal, with the domain's variant for the type already known (an
// enclosing encoding asks once per type); no epoch error is recorded, and
// *newer tells the caller whether there would have been one.
uint32_t marshal_known(const EnumType &e, qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                       const Instance *inst, int32_t len, int8_t domain, bool *newer,
                       uint32_t *err);
uint32_t unmarshal(const EnumType &e, qel_handle_t *h, uint32_t ctx, const uint8_t *buf,
                   Instance *inst, int32_t len, uint32_t update, uint32_t *err);
int32_t print(const EnumType &e, qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
              const char *label, const Instance *inst, int32_t len, uint32_t *err);
int32_t print_cr(const EnumType &e, qel_handle_t *h, const Instance *inst, char *buf,
                 int32_t len);
int32_t to_xml(const EnumType &e, qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,
               const Instance *inst, int32_t len, uint32_t unused, uint32_t *err);
int32_t toxml_cr(const EnumType &e, qel_handle_t *h, const Instance *inst, char *buf,
                 int32_t len);
void from_xml(const EnumType &e, qel_handle_t *h, uint32_t ctx, const char *path, void *doc,
              Instance *inst, uint32_t *err, char *msg, uint32_t msg_size);
// The same from the field's element, the only one its path selects (null:
// none), read by elements (QEL_FEATURE_XML_ELEMENTS); the caller, who
// knows the path, writes the message of a failure.
void from_xml_element(const EnumType &e, qel_handle_t *h, void *doc, const void *elem,
                      Instance *inst, uint32_t *err);
int32_t is_valid_cr(const EnumType &e, qel_handle_t *h, int32_t value);

} // namespace drov::enums
