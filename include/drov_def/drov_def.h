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

/* The type-info records (_vm_<type>_type_info_internal).  The runtime finds a
 * record's variant information in the 16 bytes in front of it, so a program
 * must use the library's own records and never a copy of one.  A program
 * built as a PIE would, by default, reach external data directly and have
 * the loader copy it into the program (a copy relocation).  A weak
 * declaration makes every compiler reach the record through the GOT
 * instead: a weak symbol may turn out absent, and an absent symbol cannot be
 * copied.  The records are always present; nothing else changes.  The library
 * itself defines them and sees plain declarations. */
#ifdef DROV_DEF_BUILDING_LIBRARY
#define DROV_DEF_RECORD DROV_DEF_API
#else
#define DROV_DEF_RECORD DROV_DEF_API __attribute__((weak))
#endif

/* Error numbers.  An operation that fails stores its number in the caller's
 * error word (and in the handle's last error); while the word is non-zero
 * every later operation given it returns at once, so a sequence of calls
 * needs one check at its end.  The numbers are Linux errno values, but their
 * strerror() texts do not fit (90 is not "Message too long" but a buffer too
 * short): drov_def_strerror gives the library's own words. */
#define DROV_DEF_ENOENT 2u   /* absent: no XML element or value, no instance */
#define DROV_DEF_ENOMEM 12u  /* out of memory: the handle's allocator failed */
#define DROV_DEF_EINVAL 22u  /* invalid argument: null instance or buffer, bad length,
                                index or flag, instance without state tracking */
#define DROV_DEF_ENOSPC 28u  /* output buffer too small: text cut to fit */
#define DROV_DEF_EIDRM 43u   /* field or variant not known to the handle's domain */
#define DROV_DEF_EVARIANT DROV_DEF_EIDRM
#define DROV_DEF_EMSGSIZE 90u /* buffer too short for the message */

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

/* A text for an error number: the library's own words for its numbers and
 * for 16, which the runtime's handle setters return (drov_def/runtime.h);
 * "no error" for 0, and a general text for any other number (from_xml passes
 * the XML reader's own codes on unchanged).  The text is static. */
DROV_DEF_API const char *drov_def_strerror(uint32_t code);

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
