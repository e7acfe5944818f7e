// List links: every store into a list head's first, last or parent pointer
// and into an element's next or prev pointer is announced to the
// memory-range library first (core.h), and a failed announcement leaves no
// safe way on.
#include "structs/core.h"

namespace drov::structs {

void range_failed(tp::Point p) {
    norla_perror();
    fatal(p);
}

} // namespace drov::structs
