// The installed C interface of handles (drov_def/runtime.h): a handle that
// observes nothing, with state tracking off, highest variants and malloc
// blocks, and the setters that change it.
#define DROV_DEF_RUNTIME_API __attribute__((visibility("default")))
#include "drov_def/runtime.h"

#include <cstring>
#include <new>

#include "detail.h"

using qel_standin::AllocMode;
using qel_standin::HandleState;
using qel_standin::detail::state_of;

namespace {

constexpr uint32_t kBusy = 16; // EBUSY: live blocks stand in the way

bool variant_ok(int variant) { return variant >= DROV_DEF_VARIANT_HIGHEST && variant <= 127; }

uint32_t set_variant(qel_handle_t *h, HandleState *s, const char *name, size_t n,
                     int variant) {
    try {
        if (variant == DROV_DEF_VARIANT_HIGHEST)
            s->domain.erase(std::string_view(name, n));
        else
            s->domain.set(std::string_view(name, n), static_cast<int8_t>(variant));
    } catch (const std::bad_alloc &) {
        return QEL_ENOMEM;
    }
    qel_standin::detail::install_features(h, *s);
    return 0;
}

} // namespace

extern "C" {

struct qel_handle *drov_def_runtime_new(void) {
    qel_handle_t *h = qel_standin::detail::make_handle();
    if (h != nullptr) qel_standin::set_tracking(h, qel_standin::Tracking::Off);
    return h;
}

void drov_def_runtime_free(struct qel_handle *h) { qel_standin::handle_delete(h); }

uint32_t drov_def_runtime_set_tracking(struct qel_handle *h, int tracking) {
    HandleState *s = state_of(h);
    if (s == nullptr || (tracking != DROV_DEF_TRACKING_OFF && tracking != DROV_DEF_TRACKING_ON))
        return QEL_EINVAL;
    // Instances made under one setting must not meet the other: their sizes differ.
    const bool on = h->sttr != nullptr && h->sttr->marker == QEL_STTR_ON;
    if (on != (tracking == DROV_DEF_TRACKING_ON) && s->live_count != 0) return kBusy;
    qel_standin::set_tracking(h, tracking == DROV_DEF_TRACKING_ON ? qel_standin::Tracking::On
                                                                  : qel_standin::Tracking::Off);
    return 0;
}

uint32_t drov_def_runtime_set_variant(struct qel_handle *h, const char *type_name, int variant) {
    HandleState *s = state_of(h);
    if (s == nullptr || type_name == nullptr || !variant_ok(variant)) return QEL_EINVAL;
    const size_t n = strnlen(type_name, sizeof(qel_type_info_t::name));
    if (n == 0 || n == sizeof(qel_type_info_t::name)) return QEL_EINVAL; // no type has such a name
    return set_variant(h, s, type_name, n, variant);
}

uint32_t drov_def_runtime_set_record_variant(struct qel_handle *h,
                                             const struct qel_type_info *record, int variant) {
    HandleState *s = state_of(h);
    if (s == nullptr || record == nullptr || !variant_ok(variant) ||
        record->magic != QEL_TYPE_INFO_MAGIC)
        return QEL_EINVAL;
    const size_t n = strnlen(record->name, sizeof record->name);
    if (n == 0 || n == sizeof record->name) return QEL_EINVAL;
    return set_variant(h, s, record->name, n, variant);
}

uint32_t drov_def_runtime_use_malloc(struct qel_handle *h) {
    if (state_of(h) == nullptr) return QEL_EINVAL;
    return qel_standin::detail::change_allocator(h, AllocMode::Counted, 0, nullptr, nullptr,
                                                 nullptr);
}

uint32_t drov_def_runtime_use_pool(struct qel_handle *h, uint32_t chunk_bytes) {
    if (state_of(h) == nullptr) return QEL_EINVAL;
    if (chunk_bytes != DROV_DEF_POOL_CHUNK_DEFAULT && chunk_bytes < 4096) return QEL_EINVAL;
    return qel_standin::detail::change_allocator(h, AllocMode::Pooled, chunk_bytes, nullptr,
                                                 nullptr, nullptr);
}

uint32_t drov_def_runtime_use_allocator(struct qel_handle *h, drov_def_alloc_fn alloc,
                                        drov_def_free_fn free_fn, void *user) {
    if (state_of(h) == nullptr || alloc == nullptr || free_fn == nullptr) return QEL_EINVAL;
    return qel_standin::detail::change_allocator(h, AllocMode::Caller, 0, alloc, free_fn, user);
}

uint32_t drov_def_runtime_pool_reset(struct qel_handle *h) {
    HandleState *s = state_of(h);
    if (s == nullptr || s->pool == nullptr) return QEL_EINVAL;
    qel_standin::detail::reset_pool(*s);
    return 0;
}

uint64_t drov_def_runtime_live_blocks(const struct qel_handle *h) {
    const HandleState *s = h != nullptr ? static_cast<const HandleState *>(h->runtime) : nullptr;
    return s != nullptr ? s->live_count : 0;
}

uint32_t drov_def_runtime_last_error(const struct qel_handle *h) {
    const HandleState *s = h != nullptr ? static_cast<const HandleState *>(h->runtime) : nullptr;
    return s != nullptr ? s->last_error : 0;
}

const drov_def_failure_t *drov_def_runtime_last_failure(const struct qel_handle *h) {
    static const drov_def_failure_t none{0, "", "", "", -1, 0, 0, ""};
    auto *s = h != nullptr ? static_cast<HandleState *>(h->runtime) : nullptr;
    if (s == nullptr) return &none;
    drov_def_failure_t &v = s->place_view;
    v = none;
    v.code = s->last_error;
    // The place belongs to the last error only while nothing cleared it
    // and no other number took its place.
    if (s->placed && s->place.code == s->last_error && s->last_error != 0) {
        const HandleState::Place &p = s->place;
        v = {p.code, p.operation.c_str(), p.type.c_str(), p.path.c_str(), p.offset, p.line, p.column,
             p.reason.c_str()};
    }
    return &v;
}

void drov_def_runtime_set_failure(struct qel_handle *h, const drov_def_failure_t *f) {
    HandleState *s = state_of(h);
    if (s == nullptr || f == nullptr) return;
    auto text = [](const char *p) { return std::string(p != nullptr ? p : ""); };
    s->last_error = f->code;
    s->placed = false;
    try {
        s->place = {f->code, text(f->operation), text(f->type), text(f->path), text(f->reason),
                    f->offset, f->line, f->column};
        s->placed = f->code != 0;
    } catch (const std::bad_alloc &) {
        // the number stands without its place
    }
}

} // extern "C"
