// Small helpers over the runtime handle shared by all type operations.
#pragma once

#include <cstdint>

#include "drov_def/drov_def.h"
#include "qel.h"

namespace drov {

// Announces a store of `len` bytes at `addr` before it is made.
inline void announce(qel_handle_t *h, const void *addr, uint32_t len, uint32_t ctx,
                     const void *owner) {
    if (h->write_notify != nullptr) h->write_notify(h, addr, len, ctx, owner);
}

// The record an instance refers to: the static one, or the handle's copy when
// the handle works with copies (its type-info mode word is non-zero).
inline qel_type_info_t *instance_record(qel_handle_t *h, uint32_t ctx, qel_type_info_t *rec) {
    return h->type_info_mode != 0 ? qel_type_info_ptr_get(h, ctx, rec, drov_def_typeinfo_initialize)
                                  : rec;
}

// The variant domain's answer for a record.  A runtime whose domain names
// no type and refuses nothing says so once (QEL_FEATURE_HIGHEST_VARIANTS),
// and the answer, the record's highest variant, is given here without a call.
inline int8_t domain_lookup(qel_handle_t *h, const qel_type_info_t *rec, uint32_t *err) {
    if ((h->features & QEL_FEATURE_HIGHEST_VARIANTS) != 0) {
        if (rec == nullptr || rec->variant_info == nullptr) return 0;
        return static_cast<int8_t>(rec->variant_info->count - 1);
    }
    return qel_domain_lookup_variant(h, h->variant_domain, rec, err);
}

// The entry of every operation that takes an error word: nothing is done
// while an error is pending; otherwise the handle's last error is cleared.
inline bool enter(qel_handle_t *h, const uint32_t *err) {
    if (*err != 0) return false;
    qel_clear_last_error(h);
    return true;
}

// Containment and database recording after a creation.
inline void record_created(qel_handle_t *h, uint32_t ctx, const void *inst) {
    if (h->containment_recording == 0) return;
    qeldb_record_containment2(h, ctx, inst, nullptr, 1);
    if (ctx != QEL_CTX_NONE && h->type_info_mode == 1) qeldb_plat_set_dirty(h, ctx, inst);
}

} // namespace drov
