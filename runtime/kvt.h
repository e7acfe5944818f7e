/* Message-communication library: bundle handler registration. */
#ifndef QEL_RUNTIME_KVT_H
#define QEL_RUNTIME_KVT_H

#include <stdint.h>

#include "qel.h"

#ifdef __cplusplus
extern "C" {
#endif

QEL_API void kvt_comm_bundle_handler_register(uintptr_t handler, uintptr_t a, uintptr_t b,
                                              uintptr_t c, uintptr_t d, uintptr_t e);
QEL_API void kvt_comm_bundle_handler_unregister(uintptr_t handler, uintptr_t a, uintptr_t b,
                                                uintptr_t c, uintptr_t d, uintptr_t e);

#ifdef __cplusplus
}
#endif

#endif
