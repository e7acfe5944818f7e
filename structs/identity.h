// Comparison and hashing of structures.
#pragma once

#include "structs/struct_ops.h"

namespace drov::structs {

template <uint32_t T> struct Identity {
    static int32_t compare(const void *, const void *) { return 0; }
    static uint32_t hash(const void *, uint32_t running) { return running; }
};

} // namespace drov::structs
