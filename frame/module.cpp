// The module frame: linking the module into the runtime's module list,
// registering record copies with a handle, the variant dump and the
// message-bundle handler.
#include <cstring>

#include "drov_def/drov_def.h"
#include "internal/records.h"
#include "internal/trace.h"
#include "kvt.h"

namespace drov {

extern "C" {
constinit qel_module_desc_t drov_def_module_desc = {schema::kModuleName,
                                                    drov_def_type_table.data(), nullptr, nullptr};
}

namespace {

// Set after the first linking; a second run of the constructor does nothing.
constinit uint8_t g_linked_once = 0;

__attribute__((constructor)) void link_module() {
    if (g_linked_once != 0) return;
    qel_module_desc_t &d = drov_def_module_desc;
    qel_module_list_t &root = qel_module_tot_root;
    d.next = nullptr;
    d.prev_next = root.last_next;
    *root.last_next = &d;
    root.last_next = &d.next;
    root.count += 1;
    g_linked_once = 1;
}

__attribute__((destructor)) void unlink_module() {
    qel_module_desc_t &d = drov_def_module_desc;
    qel_module_list_t &root = qel_module_tot_root;
    if (d.next == nullptr && d.prev_next == nullptr) return;
    if (d.next != nullptr)
        d.next->prev_next = d.prev_next;
    else
        root.last_next = d.prev_next;
    *d.prev_next = d.next;
    d.next = nullptr;
    d.prev_next = nullptr;
    root.count -= 1;
}

} // namespace
} // namespace drov

using namespace drov;

extern "C" {

DROV_DEF_API void *drov_def_bundle_registered_handler = nullptr;

DROV_DEF_API void drov_def_typeinfo_initialize(qel_handle_t *h, uint32_t ctx, uint32_t *err) {
    for (qel_type_info_t *const *p = drov_def_type_table.data(); *p != nullptr; ++p) {
        qel_type_info_t *rec = *p;
        if (qel_type_info_t *found = h->registry_lookup(h, ctx, rec->digest_str)) {
            if (rec->variant_info != nullptr) qel_update_variant_info(h, ctx, found, rec, 0);
            continue;
        }
        auto *copy = static_cast<qel_type_info_copy_t *>(
            h->module_alloc(h, QEL_CTX_NONE, sizeof(qel_type_info_copy_t)));
        if (copy == nullptr) {
            fail(h, err, QEL_ENOMEM); // types registered so far stay registered
            return;
        }
        std::memcpy(&copy->record, rec, sizeof(qel_type_info_t));
        copy->runtime_words[0] = 0;
        copy->runtime_words[1] = 0;
        copy->record.private_copy = h->type_info_mode;
        copy->record.luid = -1;
        h->registry_insert(h, ctx, copy->record.digest_str, &copy->record);
        if (rec->variant_info != nullptr) qel_update_variant_info(h, ctx, &copy->record, rec, 1);
    }
}

DROV_DEF_API void drov_def_type_variant_dump(drov_def_printer_fn printer) {
    for (qel_type_info_t *const *p = drov_def_type_table.data(); *p != nullptr; ++p) {
        const qel_variant_info_t *vi = (*p)->variant_info;
        if (vi == nullptr) {
            trace(tp::frame_dump_no_varinfo);
            continue;
        }
        printer("n_variants %d\n", static_cast<int>(vi->count));
        for (int k = 0; k < vi->count; ++k)
            printer("variant %d used length %d alloc slop %d\n", k,
                    static_cast<int>(vi->entries[k].used_length),
                    static_cast<int>(vi->entries[k].alloc_slop));
    }
}

DROV_DEF_API void *drov_def_bundle_handler_register(void *handler, uintptr_t a, uintptr_t b,
                                                    uintptr_t c, uintptr_t d, uintptr_t e) {
    void *previous = drov_def_bundle_registered_handler;
    drov_def_bundle_registered_handler = handler;
    kvt_comm_bundle_handler_register(reinterpret_cast<uintptr_t>(handler), a, b, c, d, e);
    return previous;
}

DROV_DEF_API void *drov_def_bundle_handler_unregister(void *handler, uintptr_t a, uintptr_t b,
                                                      uintptr_t c, uintptr_t d, uintptr_t e) {
    void *previous = drov_def_bundle_registered_handler;
    drov_def_bundle_registered_handler = nullptr;
    kvt_comm_bundle_handler_unregister(reinterpret_cast<uintptr_t>(handler), a, b, c, d, e);
    return previous;
}

} // extern "C"
