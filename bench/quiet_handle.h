// A stand-in handle for benchmarks: nothing recorded and blocks only
// counted, so the loops measure the library and the runtime's own work,
// not the stand-in's bookkeeping.
#pragma once

#include "qel_standin.h"

namespace bench {

struct Handle {
    Handle() {
        h = qel_standin::handle_new();
        qel_standin::set_recording(h, false);
        qel_standin::set_alloc_mode(h, qel_standin::AllocMode::Counted);
        qel_standin::set_global_recording(false);
    }
    ~Handle() { qel_standin::handle_delete(h); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    qel_handle_t *h;
    uint32_t err = 0;
};

} // namespace bench
