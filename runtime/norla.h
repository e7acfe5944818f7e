/* Memory-range library: announces changes of shared memory ranges. */
#ifndef QEL_RUNTIME_NORLA_H
#define QEL_RUNTIME_NORLA_H

#include <stdint.h>

#include "qel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Returns 1 on success; anything else is a failure that norla_perror
 * describes. */
QEL_API int32_t norla_set_range(void *alloc_ctx, const void *addr, uint32_t len, uint32_t ctx);
QEL_API void norla_perror(void);

#ifdef __cplusplus
}
#endif

#endif
