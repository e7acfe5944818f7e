// The library's error numbers in words.  The numbers are errno values, but
// the C library's texts for them describe files, sockets and disks; these
// say what the number means for an operation of this library.
#include "drov_def/drov_def.h"

extern "C" DROV_DEF_API const char *drov_def_strerror(uint32_t code) {
    switch (code) {
    case 0:
        return "no error";
    case DROV_DEF_ENOENT:
        return "absent: no XML element or value for it, or no instance where one is needed";
    case DROV_DEF_ENOMEM:
        return "out of memory: the handle's allocator gave no block";
    case 16: // EBUSY, from the runtime's handle setters (drov_def/runtime.h)
        return "handle busy: it has live blocks that the change would orphan";
    case DROV_DEF_EINVAL:
        return "invalid argument: a null instance or buffer, a length, index or flag out of "
               "range, or an instance without state tracking";
    case DROV_DEF_ENOSPC:
        return "output buffer too small: the text was cut to fit";
    case DROV_DEF_EVARIANT:
        return "field or variant not known to the handle's domain";
    case DROV_DEF_EMSGSIZE:
        return "buffer too short for the message";
    default:
        // from_xml hands on the XML reader's own codes as they are.
        return "not an error number of drov_def (from_xml passes on its XML reader's codes)";
    }
}
