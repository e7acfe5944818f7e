/* Half of the C test built as C89 with pedantic errors: the runtime's
 * header must serve such a compiler too. */
#include <drov_def/runtime.h>

struct qel_handle *make_pooled_handle(void);

struct qel_handle *make_pooled_handle(void) {
    struct qel_handle *h = drov_def_runtime_new();
    if (h == 0) return 0;
    if (drov_def_runtime_use_pool(h, DROV_DEF_POOL_CHUNK_DEFAULT) != 0 ||
        drov_def_runtime_set_variant(h, "vm_act_rsp", 1) != 0 ||
        drov_def_runtime_set_tracking(h, DROV_DEF_TRACKING_OFF) != 0) {
        drov_def_runtime_free(h);
        return 0;
    }
    return h;
}
