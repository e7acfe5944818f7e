/* A C translation unit that names a type-info record, as a C program would. */
#include <drov_def/drov_def.h>

const void *record_seen_from_c(void) { return &_vm_sp_type_type_info_internal; }
