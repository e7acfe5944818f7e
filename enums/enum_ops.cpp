// The enumeration operations.  An enumeration instance is the instance
// header, a zero byte and the u32 value; its encoding is the variant byte
// and the value as a u_int32 (5 bytes).
#include "enums/enum_ops.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "internal/handle.h"
#include "internal/records.h"
#include "internal/trace.h"

namespace drov::enums {

namespace {

using schema::kTypes;
using tp::EnumPoint;

constexpr int8_t kHighest = 0; // every enumeration has the one variant 0
constexpr uint32_t kEncodedLength = 5;
constexpr char kOutOfRange[] = "Enum value out of range";

constinit Instance g_placeholders[schema::kEnumCount] = {};

template <size_t... I>
constexpr auto make_types(std::index_sequence<I...>) {
    constexpr uint32_t first_enum = schema::kStructCount;
    return std::array<EnumType, sizeof...(I)>{EnumType{
        first_enum + I, static_cast<uint32_t>(kTypes[first_enum + I].enum_pos),
        kTypes[first_enum + I].value_count, kTypes[first_enum + I].first_value,
        kTypes[first_enum + I].name, kTypes[first_enum + I].values, &g_placeholders[I]}...};
}

constexpr tp::Point point(const EnumType &e, EnumPoint p) { return tp::enum_point(e.pos, p); }

qel_type_info_t *static_record(const EnumType &e) { return record(e.type_index); }

int8_t cap_variant(int8_t v) { return v > kHighest ? kHighest : v; }

// Counts a creation or destruction in the entry of the instance variant
// (capped); a negative variant has no entry and is not counted.  The counters
// are process-wide, also through a handle's own copy of the record (the
// copy points at the same variant entries), so every count is an addition
// that other threads may make at the same time.
void count(qel_handle_t *h, uint32_t ctx, const qel_type_info_t *rec, int8_t variant,
           bool creation) {
    int8_t v = cap_variant(variant);
    if (v < 0) return;
    qel_variant_entry_t &entry = rec->variant_info->entries[v];
    uint64_t *counter = creation ? &entry.creates : &entry.destroys;
    if (h->counter_notify != nullptr) h->counter_notify(h->alloc_ctx, counter, 1, ctx);
    add_count(counter, 1);
}

// The entry of the operations that need an instance: 22 for a null one.
bool enter_with(qel_handle_t *h, uint32_t *err, const Instance *inst) {
    if (!enter(h, err)) return false;
    if (inst == nullptr) {
        fail(h, err, QEL_EINVAL);
        return false;
    }
    return true;
}

// The entry of marshal and unmarshal: a buffer length below 1 is 90.
bool enter_coder(qel_handle_t *h, uint32_t *err, const Instance *inst, int32_t length) {
    if (!enter(h, err)) return false;
    if (length < 1) {
        fail(h, err, QEL_EMSGSIZE);
        return false;
    }
    if (inst == nullptr) {
        fail(h, err, QEL_EINVAL);
        return false;
    }
    return true;
}

bool in_range(const EnumType &e, uint32_t value) {
    auto v = static_cast<int32_t>(value);
    return v >= static_cast<int32_t>(e.first) && v < static_cast<int32_t>(e.first + e.count);
}

// The epoch rule of the setters: a value outside the enumeration is refused
// while the instance variant is below 1.
bool refused(const EnumType &e, qel_handle_t *h, const Instance *dst, uint32_t value,
             uint32_t *err) {
    if (to_internal(e, value) < e.count || qel_get_instance_variant(dst, 0, 1) >= 1) return false;
    qel_store_epoch_err(h, QEL_EIDRM, err);
    return true;
}

} // namespace

constinit const std::array<EnumType, schema::kEnumCount> kEnumTypes =
    make_types(std::make_index_sequence<schema::kEnumCount>{});

uint32_t variant_data_index_cap(const EnumType &, uint32_t variant) {
    auto low = static_cast<int8_t>(variant & 0xFFu);
    return (variant & ~0xFFu) | static_cast<uint8_t>(cap_variant(low));
}

uintptr_t get_luid(const EnumType &, uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d,
                   uintptr_t f, uintptr_t g) {
    return qel_get_luid(a, b, c, d, f, g);
}

Instance *create_internal(const EnumType &e, qel_handle_t *h, uint32_t ctx) {
    const bool in_cr = h->cr_in_progress != 0;
    Instance *result = nullptr;
    if (in_cr && h->err != 0) {
        result = e.placeholder;
    } else if (auto *inst = static_cast<Instance *>(h->allocate(h->alloc_ctx, ctx, sizeof(Instance)));
               inst == nullptr) {
        if (in_cr) {
            result = e.placeholder;
            if (h->err == 0) fail(h, &h->err, QEL_ENOMEM);
        }
    } else {
        std::memset(inst, 0, sizeof(Instance));
        qel_type_info_t *rec = static_record(e);
        uint32_t lookup_err = 0;
        int8_t domain = domain_lookup(h, rec, &lookup_err);
        announce(h, &inst->layout_variant, 1, ctx, inst);
        inst->layout_variant = kHighest;
        announce(h, &inst->instance_variant, 1, ctx, inst);
        inst->instance_variant = cap_variant(domain);
        announce(h, &inst->type_info, sizeof(inst->type_info), ctx, inst);
        inst->type_info = instance_record(h, ctx, rec);
        announce(h, &inst->obj_flags, 1, ctx, inst);
        if (lookup_err != 0)
            trace(point(e, EnumPoint::create_error), std::strerror(static_cast<int>(lookup_err)));
        const qel_variant_info_t *vi =
            inst->type_info != nullptr ? inst->type_info->variant_info : nullptr;
        if (vi == nullptr) fatal(point(e, EnumPoint::create_no_varinfo));
        if (vi->count < inst->instance_variant)
            trace(point(e, EnumPoint::create_variant_range),
                  static_cast<uint32_t>(inst->instance_variant), static_cast<uint32_t>(vi->count));
        count(h, ctx, inst->type_info, inst->instance_variant, true);
        result = inst;
    }
    record_created(h, ctx, result);
    return result;
}

Instance *create(const EnumType &e, qel_handle_t *h, uint32_t ctx) {
    return create_internal(e, h, ctx);
}

Instance *create_cr(const EnumType &e, qel_handle_t *h) {
    h->cr_in_progress = 1;
    Instance *inst = create_internal(e, h, h->cur_ctx_id);
    h->cr_in_progress = 0;
    return inst;
}

uint8_t initialize(const EnumType &, qel_handle_t *h, uint32_t ctx, Instance *inst,
                   qel_type_info_t *ti, int32_t notify, uint32_t, uint8_t flags, uintptr_t,
                   uint32_t *err) {
    int8_t domain = domain_lookup(h, ti, err);
    if (inst == nullptr) return flags;
    init_header(h, ctx, inst, ti, notify, flags, domain);
    return flags;
}

void set_instance_embedded(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst) {
    if (inst == nullptr) {
        trace(point(e, EnumPoint::embed_null));
        return;
    }
    announce(h, &inst->obj_flags, 1, ctx, inst);
    inst->obj_flags |= QEL_OBJ_EMBEDDED;
}

uint32_t get_oid_count(const EnumType &e, qel_handle_t *h, uint32_t, Instance *inst,
                       uint32_t *err) {
    if (*err != 0) {
        trace(point(e, EnumPoint::oid_count_pending));
        return 0;
    }
    if (inst == nullptr) {
        trace(point(e, EnumPoint::oid_count_null));
        fail(h, err, QEL_EINVAL);
    }
    return 0; // an enumeration holds no object identifiers
}

void get_object_references(const EnumType &e, qel_handle_t *h, uint32_t, Instance *inst,
                           uintptr_t, uint32_t, uint32_t *err) {
    if (*err != 0) {
        trace(point(e, EnumPoint::references_pending));
        return;
    }
    if (inst == nullptr) {
        trace(point(e, EnumPoint::references_null));
        fail(h, err, QEL_EINVAL);
    }
}

void destroy_internal(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst,
                      int32_t release) {
    if (inst == nullptr || inst == e.placeholder || release == 0) return;
    qel_type_info_t *rec = inst->type_info;
    if (rec == nullptr || rec->magic != QEL_TYPE_INFO_MAGIC)
        fatal(point(e, EnumPoint::destroy_bad_tinfo));
    const qel_variant_info_t *vi = rec->variant_info;
    if (vi == nullptr) fatal(point(e, EnumPoint::destroy_no_varinfo));
    if (vi->count < inst->instance_variant)
        trace(point(e, EnumPoint::destroy_variant_range),
              static_cast<uint32_t>(inst->instance_variant), static_cast<uint32_t>(vi->count));
    count(h, ctx, rec, inst->instance_variant, false);
    if (h->containment_recording != 0 && ctx != QEL_CTX_NONE && h->type_info_mode == 1)
        qeldb_plat_set_destroy(h, ctx, inst);
    inst->type_info = nullptr;
    h->free(h->alloc_ctx, ctx, inst);
}

void destroy(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst) {
    destroy_internal(e, h, ctx, inst, 1);
}

void destroy_cr(const EnumType &e, qel_handle_t *h, Instance *inst) {
    destroy_internal(e, h, h->cur_ctx_id, inst, 1);
}

uint32_t map_to_user_value(const EnumType &, uint32_t value) { return value; }

uint32_t map_to_internal_value(const EnumType &e, uint32_t value) { return to_internal(e, value); }

int32_t adjust_variant(const EnumType &, qel_handle_t *h, uint32_t ctx, Instance *inst,
                       uint32_t *err) {
    return qellib_adjust_variant(h, ctx, inst, inst != nullptr ? inst->type_info : nullptr,
                                 kHighest, err);
}

int32_t compare(const EnumType &, const Instance *a, const Instance *b) {
    if (a == nullptr) return b == nullptr ? 0 : -1;
    if (b == nullptr) return 1;
    return static_cast<int32_t>(a->value - b->value);
}

uint32_t hash(const EnumType &, const Instance *inst, uint32_t running) {
    if (inst == nullptr) return running;
    return SuperFastHash(reinterpret_cast<const char *>(&inst->value), sizeof(inst->value), running);
}

uint32_t size_of(const EnumType &) { return sizeof(Instance); }

uint32_t len(const EnumType &) { return kEncodedLength; }

uint32_t len_cr(const EnumType &, qel_handle_t *h) { return h->err != 0 ? 0 : kEncodedLength; }

Instance *get(const EnumType &, qel_handle_t *h, uint32_t ctx, Instance *inst) {
    if (h->containment_recording != 0) qeldb_record_containment2(h, ctx, inst, nullptr, 1);
    return inst;
}

uint32_t get_value(const EnumType &, qel_handle_t *h, uint32_t, const Instance *inst,
                   uint32_t *err) {
    if (!enter_with(h, err, inst)) return 0;
    return inst->value;
}

void set(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *dst, const Instance *src,
         uint32_t *err) {
    if (!enter_with(h, err, dst)) return;
    if (src == nullptr) {
        fail(h, err, QEL_EINVAL);
        return;
    }
    qellib_adjust_variant(h, ctx, dst, dst->type_info, kHighest, err);
    if (refused(e, h, dst, src->value, err)) return;
    announce(h, dst, sizeof(Instance), ctx, dst);
    std::memcpy(dst, src, sizeof(Instance));
}

void set_value(const EnumType &e, qel_handle_t *h, uint32_t ctx, Instance *inst, uint32_t value,
               uint32_t *err) {
    if (!enter_with(h, err, inst)) return;
    qellib_adjust_variant(h, ctx, inst, inst->type_info, kHighest, err);
    if (refused(e, h, inst, value, err)) return;
    announce(h, &inst->value, sizeof(inst->value), ctx, inst);
    inst->value = value;
}

namespace {

// The encoding once the entry checks are passed: the instance's variant,
// limited to the domain's (*newer says it was), then the value.
uint32_t encode(const EnumType &e, qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                const Instance *inst, int32_t length, int8_t variant, int8_t domain, bool *newer,
                uint32_t *err) {
    *newer = variant > domain;
    if (*newer) variant = domain; // the peer gets what its domain knows
    variant = cap_variant(variant);
    uint32_t n = _qel_instance_variant_marshal(h, ctx, buf, &variant, length, err);
    uint32_t wire = to_internal(e, inst->value);
    n += u_int32_marshal(h, ctx, buf + n, &wire, length - static_cast<int32_t>(n), err);
    return n;
}

} // namespace

uint32_t marshal(const EnumType &e, qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                 const Instance *inst, int32_t length, uint32_t *err) {
    if (!enter_coder(h, err, inst, length)) return 0;
    int8_t variant = qel_get_instance_variant(inst, 0, 1);
    int8_t domain = domain_lookup(h, inst->type_info, err);
    bool newer = false;
    uint32_t n = encode(e, h, ctx, buf, inst, length, variant, domain, &newer, err);
    // The epoch error is stored once the encoding is written: the runtime's
    // encoders write nothing while the error word holds an error.  A failed
    // encoding keeps its own error.
    if (newer && *err == 0) qel_store_epoch_err(h, QEL_EIDRM, err);
    return n;
}

uint32_t marshal_known(const EnumType &e, qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                       const Instance *inst, int32_t length, int8_t domain, bool *newer,
                       uint32_t *err) {
    *newer = false;
    if (!enter_coder(h, err, inst, length)) return 0;
    return encode(e, h, ctx, buf, inst, length, qel_get_instance_variant(inst, 0, 1), domain,
                  newer, err);
}

uint32_t unmarshal(const EnumType &e, qel_handle_t *h, uint32_t ctx, const uint8_t *buf,
                   Instance *inst, int32_t length, uint32_t update, uint32_t *err) {
    if (!enter_coder(h, err, inst, length)) return 0;
    int8_t variant = 0;
    uint32_t n = _qel_instance_variant_unmarshal(h, ctx, buf, &variant, length, err);
    if (n == 0) return 0;
    if (variant > inst->layout_variant) variant = inst->layout_variant;
    // Announced like every change a decoding makes, when it is one.
    if (inst->instance_variant != variant) {
        announce(h, &inst->instance_variant, sizeof(inst->instance_variant), ctx, inst);
        inst->instance_variant = variant;
    }
    announce(h, &inst->type_info, sizeof(inst->type_info), ctx, inst);
    inst->type_info = instance_record(h, ctx, static_record(e));
    // Decoded into a local first: a short buffer leaves the value as it was.
    uint32_t wire = 0;
    uint32_t m = u_int32_unmarshal(h, ctx, buf + n, &wire, length - static_cast<int32_t>(n),
                                   update, err);
    if (m == 0) return n;
    announce(h, &inst->value, sizeof(inst->value), ctx, inst);
    inst->value = to_user(e, wire);
    return n + m;
}

int32_t print(const EnumType &e, qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
              const char *label, const Instance *inst, int32_t length, uint32_t *err) {
    if (!enter_with(h, err, inst)) return 0;
    int32_t n = qel_print_space(h, ctx, buf, indent, length, err);
    n += qel_snprintf(h, ctx, buf + n, length - n, err, "%s@%s:", label != nullptr ? label : e.name,
                      e.name);
    if (in_range(e, inst->value))
        n += qel_snprintf(h, ctx, buf + n, length - n, err, "%s\n", e.names[inst->value - e.first]);
    else
        n += qel_snprintf(h, ctx, buf + n, length - n, err, "%s", kOutOfRange);
    return n;
}

int32_t print_cr(const EnumType &e, qel_handle_t *h, const Instance *inst, char *buf,
                 int32_t length) {
    int32_t n = print(e, h, h->cur_ctx_id, buf, 0, e.name, inst, length, &h->err);
    return h->err != 0 ? -1 : n;
}

int32_t to_xml(const EnumType &e, qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,
               const Instance *inst, int32_t length, uint32_t, uint32_t *err) {
    if (!enter_with(h, err, inst)) return 0;
    char text[128];
    int text_len = in_range(e, inst->value)
                       ? std::snprintf(text, sizeof text, "<%s/>", e.names[inst->value - e.first])
                       : std::snprintf(text, sizeof text, "<%s value out of range/>", e.name);
    int32_t n = start_tag(h, ctx, buf, tag, length, 0, err);
    n += xml_enum_print(h, ctx, buf + n, text, length - n, text_len, err);
    n += end_tag(h, ctx, buf + n, tag, length - n, err);
    return n;
}

int32_t toxml_cr(const EnumType &e, qel_handle_t *h, const Instance *inst, char *buf,
                 int32_t length) {
    int32_t n = to_xml(e, h, h->cur_ctx_id, e.name, buf, inst, length, 0, &h->err);
    return h->err != 0 ? -1 : n;
}

void from_xml(const EnumType &e, qel_handle_t *h, uint32_t, const char *path, void *doc,
              Instance *inst, uint32_t *err, char *msg, uint32_t msg_size) {
    if (!enter(h, err)) return;
    if (path == nullptr || inst == nullptr) {
        fail(h, err, QEL_EINVAL);
        return;
    }
    // The first value whose element is present under the path wins; the
    // element's content is not read.  Each value's path is "%s/%s" in 256
    // bytes (cut as snprintf cuts it): the path and the slash once, then
    // each name after them.
    char value_path[256];
    const size_t stem = std::min(std::strlen(path), sizeof value_path - 1);
    std::memcpy(value_path, path, stem);
    size_t at = stem;
    if (at < sizeof value_path - 1) value_path[at++] = '/';
    for (uint32_t k = 0; k < e.count; ++k) {
        char value[128];
        const size_t n = std::min(std::strlen(e.names[k]), sizeof value_path - 1 - at);
        std::memcpy(value_path + at, e.names[k], n);
        value_path[at + n] = '\0';
        auto r = static_cast<uint32_t>(
            xml_get_element_value(doc, value_path, value, sizeof value, nullptr));
        *err = r;
        if (r == 0) {
            inst->value = e.first + k;
            return;
        }
        qel_store_err(h, r);
        if (r == QEL_ENOENT) {
            *err = 0;
            continue;
        }
        if (msg != nullptr && msg_size != 0) std::snprintf(msg, msg_size, "Failed xpath: %s", path);
        return;
    }
}

// One walk over the element's children finds what the lookups of the
// names in order find: the first child of the lowest-numbered name.  The
// names before it were absent, which leaves 2 as the handle's last error.
void from_xml_element(const EnumType &e, qel_handle_t *h, void *doc, const void *elem,
                      Instance *inst, uint32_t *err) {
    if (!enter(h, err)) return;
    if (inst == nullptr) {
        fail(h, err, QEL_EINVAL);
        return;
    }
    uint32_t best = e.count;
    const void *value_elem = nullptr;
    for (const void *c = elem != nullptr ? xml_element_next(doc, elem, nullptr, nullptr) : nullptr;
         c != nullptr && best != 0; c = xml_element_next(doc, elem, c, nullptr)) {
        const char *name = xml_element_name(doc, c);
        for (uint32_t k = 0; k < best; ++k)
            if (std::strcmp(name, e.names[k]) == 0) {
                best = k;
                value_elem = c;
                break;
            }
    }
    if (best != 0) qel_store_err(h, QEL_ENOENT);
    if (best == e.count) return;
    char value[128];
    auto r = static_cast<uint32_t>(xml_element_value(doc, value_elem, value, sizeof value, nullptr));
    *err = r;
    if (r == 0) {
        inst->value = e.first + best;
        return;
    }
    qel_store_err(h, r);
}

int32_t is_valid_cr(const EnumType &e, qel_handle_t *h, int32_t value) {
    domain_lookup(h, static_record(e), &h->err);
    return static_cast<int32_t>(to_internal(e, static_cast<uint32_t>(value))) <
                   static_cast<int32_t>(e.count)
               ? 1
               : 0;
}

} // namespace drov::enums
