// The verifier of encodings and the exact encoded size (drov_def.h, "Checks
// at the edges").  Not written yet: every call is refused.
#include "drov_def/drov_def.h"
#include "internal/handle.h"

extern "C" {

DROV_DEF_API uint32_t drov_def_verify(qel_handle_t *h, const qel_type_info *, const uint8_t *,
                                      int32_t, uint32_t, uint32_t *err) {
    if (!drov::enter(h, err)) return 0;
    *err = QEL_EINVAL;
    qel_store_err(h, QEL_EINVAL);
    return 0;
}

DROV_DEF_API uint32_t drov_def_verify_walk(qel_handle_t *h, const qel_type_info *type,
                                           const uint8_t *buf, int32_t len, uint32_t flags,
                                           drov_def_wire_fn, void *, uint32_t *err) {
    return drov_def_verify(h, type, buf, len, flags, err);
}

DROV_DEF_API uint32_t drov_def_encoded_size(qel_handle_t *h, uint32_t, const qel_type_info *,
                                            const void *, uint32_t, uint32_t *, uint32_t *err) {
    if (!drov::enter(h, err)) return 0;
    *err = QEL_EINVAL;
    qel_store_err(h, QEL_EINVAL);
    return 0;
}

} // extern "C"
