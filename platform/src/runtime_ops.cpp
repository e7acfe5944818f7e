// Type runtime operations: variant domain, registered record copies, the
// instance header, statistics, database and mapping calls.  Each operation
// leaves a Call in the handle's record so tests can see what the module did.
#include <cstring>
#include <string_view>

#include "detail.h"

using qel_standin::Call;
using qel_standin::HandleState;
using qel_standin::detail::note;
using qel_standin::detail::note_global;
using qel_standin::detail::state_of;

namespace {

// The domain's variant of a type: named in the domain, else the type's
// highest variant, else 0.
inline int8_t domain_variant(const HandleState *s, const qel_type_info_t *ti) {
    if (ti == nullptr) return 0;
    int8_t v;
    if (s != nullptr && s->domain.find(ti, &v)) return v;
    if (ti->variant_info != nullptr) return static_cast<int8_t>(ti->variant_info->count - 1);
    return 0;
}

void inject(uint32_t code, uint32_t *err) {
    if (code != 0 && err != nullptr) *err = code;
}

// The domain lookup of a handle that names types, injects an error or
// records its calls.
[[gnu::noinline]] int8_t domain_lookup(qel_handle_t *h, const HandleState *s, void *domain,
                                       const qel_type_info_t *ti, uint32_t *err) {
    if (s->domain_error != 0) inject(s->domain_error, err);
    const int8_t v = domain_variant(s, ti);
    note(h, "qel_domain_lookup_variant", 0, ti, domain, v, reinterpret_cast<uintptr_t>(err));
    return v;
}

const uint8_t *bytes(const void *inst) { return static_cast<const uint8_t *>(inst); }

// The counters are process-wide whatever record an instance refers to: a
// handle's private copy points at the static record's variant information,
// so handles in other threads count into the same entries at the same time.
// Each count is therefore one atomic addition, for copies too.
[[gnu::always_inline]] inline void count_object(qel_handle_t *h, uint32_t ctx,
                                                const qel_type_info_t *ti,
                                                qel_variant_entry_t *entry, bool create,
                                                const char *name) {
    if (entry != nullptr) {
        uint64_t *counter = create ? &entry->creates : &entry->destroys;
        if (h != nullptr && h->counter_notify != nullptr)
            h->counter_notify(h->alloc_ctx, counter, 1, ctx);
        __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED);
    }
    note(h, name, ctx, ti, entry, 0);
}

} // namespace

extern "C" {

int8_t qel_domain_lookup_variant(qel_handle_t *h, void *domain, const qel_type_info_t *ti,
                                 uint32_t *err) {
    const HandleState *s = state_of(h);
    if (s == nullptr) s = static_cast<const HandleState *>(domain);
    // A handle that names no type, injects nothing and records nothing:
    // the type's highest variant, without a frame of its own.
    if (s == nullptr || (qel_standin::detail::domain_names_nothing(*s) && !s->record_calls))
        [[likely]] return domain_variant(nullptr, ti);
    return domain_lookup(h, s, domain, ti, err);
}

qel_type_info_t *qel_type_info_ptr_get(qel_handle_t *h, uint32_t ctx, qel_type_info_t *record,
                                       qel_typeinfo_init_fn init) {
    HandleState *s = state_of(h);
    if (record == nullptr || s == nullptr) return record;
    auto find = [&]() -> qel_type_info_t * {
        auto it = s->registry.find({ctx, record->digest_str});
        return it != s->registry.end() ? it->second : nullptr;
    };
    qel_type_info_t *found = find();
    if (found == nullptr && init != nullptr) {
        uint32_t local_err = 0;
        init(h, ctx, &local_err);
        found = find();
    }
    note(h, "qel_type_info_ptr_get", ctx, found, record, found != nullptr);
    return found != nullptr ? found : record;
}

qel_type_info_t *qel_get_manifested_type_info(const void *inst) {
    if (inst == nullptr) return nullptr;
    qel_type_info_t *ti;
    std::memcpy(&ti, inst, sizeof ti);
    return ti;
}

qel_type_info_t **qel_get_manifested_type_info_ptr_mem(void *inst) {
    return static_cast<qel_type_info_t **>(inst);
}

// No handle: the call goes to the process-wide record with its two words.
int8_t qel_get_instance_variant(const void *inst, int32_t adjust, int32_t is_signed) {
    note_global("qel_get_instance_variant", 0, inst, nullptr, adjust,
                static_cast<uintptr_t>(is_signed));
    if (inst == nullptr) return -1;
    return static_cast<int8_t>(bytes(inst)[offsetof(qel_instance_header_t, instance_variant)]);
}

uint8_t qel_get_instance_obj_flag(const void *inst) {
    if (inst == nullptr) return 0;
    return bytes(inst)[offsetof(qel_instance_header_t, obj_flags)];
}

// Raises (never lowers) an instance's variant to what the domain allows,
// bounded by the caller's highest variant and the instance's layout.
int32_t qellib_adjust_variant(qel_handle_t *h, uint32_t ctx, void *inst,
                              const qel_type_info_t *ti, int8_t highest, uint32_t *) {
    if (inst == nullptr) return -1;
    auto *hdr = static_cast<uint8_t *>(inst);
    auto *cur = reinterpret_cast<int8_t *>(hdr + offsetof(qel_instance_header_t, instance_variant));
    int8_t layout = static_cast<int8_t>(hdr[offsetof(qel_instance_header_t, layout_variant)]);
    int8_t v = domain_variant(state_of(h), ti);
    if (v > highest) v = highest;
    if (v > layout) v = layout;
    if (v > *cur) {
        if (h != nullptr && h->write_notify != nullptr) h->write_notify(h, cur, 1, ctx, inst);
        *cur = v;
    }
    note(h, "qellib_adjust_variant", ctx, inst, ti, *cur);
    return *cur;
}

uint32_t qellib_get_sttr_offset(qel_handle_t *h, uint32_t ctx, const void *inst) {
    HandleState *s = state_of(h);
    uint32_t offset = 0;
    if (s != nullptr) {
        auto it = s->sttr_offsets.find(inst);
        if (it != s->sttr_offsets.end()) offset = it->second;
    }
    note(h, "qellib_get_sttr_offset", ctx, inst, nullptr, offset);
    return offset;
}

// A nested instance keeps its state flags inside its parent's area: the
// runtime remembers where and marks the instance STTR_OFFSET.
int32_t qellib_update_sttr_offset(qel_handle_t *h, uint32_t ctx, void *field, uint32_t offset) {
    if (HandleState *s = state_of(h)) s->sttr_offsets[field] = offset;
    if (field != nullptr)
        static_cast<uint8_t *>(field)[offsetof(qel_instance_header_t, obj_flags)] |= QEL_OBJ_STTR_OFFSET;
    note(h, "qellib_update_sttr_offset", ctx, field, nullptr, offset);
    return 0;
}

void qeldb_record_containment2(qel_handle_t *h, uint32_t ctx, const void *obj, const void *owner,
                               int32_t flag) {
    note(h, "qeldb_record_containment2", ctx, obj, owner, flag);
}

void qeldb_plat_set_dirty(qel_handle_t *h, uint32_t ctx, const void *inst) {
    note(h, "qeldb_plat_set_dirty", ctx, inst, nullptr, 0);
}

void qeldb_plat_set_destroy(qel_handle_t *h, uint32_t ctx, const void *inst) {
    note(h, "qeldb_plat_set_destroy", ctx, inst, nullptr, 0);
}

void qeldb_plat_set_detach(qel_handle_t *h, uint32_t ctx, const void *inst, int32_t flag) {
    note(h, "qeldb_plat_set_detach", ctx, inst, nullptr, flag);
}

void qel_store_err(qel_handle_t *h, uint32_t code) {
    if (HandleState *s = state_of(h)) s->last_error = code;
    note(h, "qel_store_err", 0, nullptr, nullptr, code);
}

void qel_store_epoch_err(qel_handle_t *h, uint32_t code, uint32_t *err) {
    if (HandleState *s = state_of(h)) s->last_error = code;
    if (err != nullptr) *err = code;
    note(h, "qel_store_epoch_err", 0, nullptr, nullptr, code, reinterpret_cast<uintptr_t>(err));
}

void qel_clear_last_error(qel_handle_t *h) {
    if (HandleState *s = state_of(h)) {
        s->last_error = 0;
        s->placed = false;
    }
    note(h, "qel_clear_last_error", 0, nullptr, nullptr, 0);
}

void qel_store_failure(qel_handle_t *h, uint32_t code, const char *operation, const char *type,
                       const char *path, int64_t offset, uint32_t line, uint32_t column,
                       const char *reason) {
    const drov_def_failure_t f{code, operation, type, path, offset, line, column, reason};
    drov_def_runtime_set_failure(h, &f);
    note(h, "qel_store_failure", 0, nullptr, nullptr, code);
}

void qel_update_variant_info(qel_handle_t *h, uint32_t ctx, qel_type_info_t *copy,
                             const qel_type_info_t *record, int32_t is_new) {
    note(h, "qel_update_variant_info", ctx, copy, record, is_new);
}

void *qellib_get_handle_ws(qel_handle_t *h, uint32_t *len) {
    if (h == nullptr) {
        if (len != nullptr) *len = 0;
        return nullptr;
    }
    if (len != nullptr) *len = h->workspace_len;
    return h->workspace;
}

void qellib_type_stats_create_object(qel_handle_t *h, uint32_t ctx, const qel_type_info_t *ti,
                                     qel_variant_entry_t *entry, uint32_t *) {
    count_object(h, ctx, ti, entry, true, "qellib_type_stats_create_object");
}

void qellib_type_stats_destroy_object(qel_handle_t *h, uint32_t ctx, const qel_type_info_t *ti,
                                      qel_variant_entry_t *entry, uint32_t *) {
    count_object(h, ctx, ti, entry, false, "qellib_type_stats_destroy_object");
}

void qel_hd_mapping_destroy(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
    if (HandleState *s = state_of(h)) inject(s->hd_mapping_error, err);
    note(h, "qel_hd_mapping_destroy", ctx, inst, nullptr, 0);
}

int32_t qel_request_oid_mapping_destroy(qel_handle_t *h, uint32_t ctx, void *inst,
                                        uint32_t *err) {
    HandleState *s = state_of(h);
    int32_t result = 1;
    if (s != nullptr) {
        inject(s->oid_mapping_error, err);
        result = s->oid_mapping_result;
    }
    note(h, "qel_request_oid_mapping_destroy", ctx, inst, nullptr, result);
    return result;
}

void qellib_lookup_and_update_oid_ref_count(qel_handle_t *h, uint32_t ctx, uint64_t ref,
                                            int32_t delta, uint32_t *err) {
    if (HandleState *s = state_of(h)) inject(s->oid_ref_count_error, err);
    note(h, "qellib_lookup_and_update_oid_ref_count", ctx, nullptr, nullptr, delta,
         static_cast<uintptr_t>(ref));
}

} // extern "C"

namespace qel_standin {

void Domain::set(std::string_view type_name, int8_t v) {
    auto it = names_.find(type_name);
    if (it != names_.end())
        it->second = v;
    else
        names_.emplace(std::string(type_name), v);
    slots_.fill(Slot{});
}

void Domain::erase(std::string_view type_name) {
    auto it = names_.find(type_name);
    if (it == names_.end()) return;
    names_.erase(it);
    slots_.fill(Slot{});
}

void Domain::clear() {
    names_.clear();
    slots_.fill(Slot{});
}

// The first lookup through a record's address after a change: by the name
// the record carries (at most its 64 bytes), kept for the next lookups.
bool Domain::find_slow(const qel_type_info_t *ti, int8_t *v) const {
    Slot slot;
    slot.ti = ti;
    if (ti != nullptr) {
        auto it = names_.find(std::string_view(ti->name, strnlen(ti->name, sizeof ti->name)));
        if (it != names_.end()) {
            slot.v = it->second;
            slot.named = true;
        }
    }
    slots_[slot_of(ti)] = slot;
    *v = slot.v;
    return slot.named;
}

} // namespace qel_standin

// The runtime's list of registered modules; empty until a module links in.
extern "C" {
constinit qel_module_list_t qel_module_tot_root = {0, nullptr, &qel_module_tot_root.first};
}
