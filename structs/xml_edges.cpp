// Strict XML reading and well-formed XML writing (drov_def.h, "Checks at
// the edges").  Not written yet: every call is refused.
#include "drov_def/drov_def.h"
#include "internal/handle.h"

extern "C" {

DROV_DEF_API void drov_def_read_xml(qel_handle_t *h, uint32_t, const qel_type_info *, const char *,
                                    void *, void *, uint32_t, uint32_t *err) {
    if (!drov::enter(h, err)) return;
    *err = QEL_EINVAL;
    qel_store_err(h, QEL_EINVAL);
}

DROV_DEF_API uint32_t drov_def_write_xml(qel_handle_t *h, uint32_t, const qel_type_info *,
                                         const char *, char *, const void *, uint32_t, uint8_t,
                                         uint32_t *err) {
    if (!drov::enter(h, err)) return 0;
    *err = QEL_EINVAL;
    qel_store_err(h, QEL_EINVAL);
    return 0;
}

} // extern "C"
