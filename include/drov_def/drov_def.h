/*
 * libdrov_def: message and record types of the VM manager (module drov_def).
 *
 * Every type has a family of operations named <type>_<operation> and, for
 * structures, <type>_<field>_<operation>.  Every operation takes the
 * caller's runtime handle first and (apart from the _cr forms) a context id
 * second; most take a pointer to the caller's error word last and do nothing
 * while that word is non-zero.
 */
#ifndef DROV_DEF_H
#define DROV_DEF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DROV_DEF_API __attribute__((visibility("default")))

typedef struct qel_handle qel_handle_t;
struct qel_type_info;

/* An enumeration instance: the 11-byte instance header, a zero byte and the
 * value. */
struct drov_def_enum_instance {
    struct qel_type_info *type_info;
    int8_t instance_variant;
    int8_t layout_variant;
    uint8_t obj_flags;
    uint8_t pad;
    uint32_t value;
};

/* The module's trace identifier, filled by the trace library. */
extern DROV_DEF_API uint16_t g_qel_drov_def_trace_module_id;
/* A second trace identifier; exported for the platform, unused here. */
extern DROV_DEF_API uint16_t g_qel_drov_def_stub_trace_module_id;
/* The message-bundle handler last registered through this module. */
extern DROV_DEF_API void *drov_def_bundle_registered_handler;

/* Registers a private copy of every type-info record with the handle. */
DROV_DEF_API void drov_def_typeinfo_initialize(qel_handle_t *h, uint32_t ctx, uint32_t *err);

/* Prints the variant table of every type through a printf-like printer. */
typedef int (*drov_def_printer_fn)(const char *fmt, ...);
DROV_DEF_API void drov_def_type_variant_dump(drov_def_printer_fn printer);

/* Forward a message-bundle handler to the messaging library; both return
 * the handler registered before. */
DROV_DEF_API void *drov_def_bundle_handler_register(void *handler, uintptr_t a, uintptr_t b,
                                                    uintptr_t c, uintptr_t d, uintptr_t e);
DROV_DEF_API void *drov_def_bundle_handler_unregister(void *handler, uintptr_t a, uintptr_t b,
                                                      uintptr_t c, uintptr_t d, uintptr_t e);

/* Registers the module with the trace library. */
DROV_DEF_API int32_t qel_drov_def_trace_init(void);

#ifdef __cplusplus
}
#endif

#include "drov_def/drov_def_types.h"

#endif
