// The handle benchmarks run on: a default one from the runtime interface,
// which records nothing and only counts its malloc blocks, so the loops
// measure the library and the runtime's own work.  Pooled takes its blocks
// from the handle's pool instead.
#pragma once

#include <cstdint>
#include <new>

#include "drov_def/runtime.h"

namespace bench {

enum class Blocks { Malloc, Pooled };

struct Handle {
    explicit Handle(Blocks blocks = Blocks::Malloc) {
        h = drov_def_runtime_new();
        if (h == nullptr) throw std::bad_alloc();
        if (blocks == Blocks::Pooled) drov_def_runtime_use_pool(h, DROV_DEF_POOL_CHUNK_DEFAULT);
    }
    ~Handle() { drov_def_runtime_free(h); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    qel_handle *h;
    uint32_t err = 0;
};

} // namespace bench
