/*
 * Trace library.  A trace record names its message by index into the
 * catalogue stored in the emitting library's file; the texts never travel.
 */
#ifndef QEL_RUNTIME_WLOG_H
#define QEL_RUNTIME_WLOG_H

#include <stdint.h>

#include "qel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Severity stands in the top byte of the flags word. */
#define WLOG_FATAL 0x0000000u
#define WLOG_ERROR 0x3000000u
#define WLOG_INFO 0x6000000u
#define WLOG_DEBUG 0x7000000u

/* Registers a module with the trace library and fills its identifier. */
QEL_API int32_t wlog_module_init_fn(const char *name, uint16_t *module_id, uint32_t *state);

/* One emitter per argument signature: uuid is the 16-byte trace UUID of the
 * emitting module, index the message's catalogue index. */
QEL_API void wlog_trace(const uint8_t *uuid, uint32_t index, uint16_t module_id,
                        uint32_t flags);
QEL_API void wlog_trace_s(const uint8_t *uuid, uint32_t index, uint16_t module_id,
                          uint32_t flags, const char *s);
QEL_API void wlog_trace_u(const uint8_t *uuid, uint32_t index, uint16_t module_id,
                          uint32_t flags, uint32_t a);
QEL_API void wlog_trace_uu(const uint8_t *uuid, uint32_t index, uint16_t module_id,
                           uint32_t flags, uint32_t a, uint32_t b);
QEL_API void wlog_trace_uuu(const uint8_t *uuid, uint32_t index, uint16_t module_id,
                            uint32_t flags, uint32_t a, uint32_t b, uint32_t c);
QEL_API void wlog_trace_ps(const uint8_t *uuid, uint32_t index, uint16_t module_id,
                           uint32_t flags, const void *p, const char *s);

#ifdef __cplusplus
}
#endif

#endif
