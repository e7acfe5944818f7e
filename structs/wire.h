// The wire form of a structure and cloning through it.
#pragma once

#include "structs/struct_ops.h"

namespace drov::structs {

template <uint32_t T> struct Wire {
    static uint32_t marshal(qel_handle_t *, uint32_t, uint8_t *, const void *, int32_t, uint32_t *) {
        return 0;
    }
    static uint32_t marshal_for_clone(qel_handle_t *, uint32_t, uint8_t *, const void *, int32_t,
                                      uint32_t *) {
        return 0;
    }
    static uint32_t unmarshal(qel_handle_t *, uint32_t, const uint8_t *, void *, int32_t, uint32_t,
                              uint32_t *) {
        return 0;
    }
    static uint32_t len(qel_handle_t *, uint32_t, const void *) { return 0; }
    static uint32_t len_cr(qel_handle_t *, const void *) { return 0; }
    template <class Out>
    static void clone(qel_handle_t *, uint32_t, const void *, Out **, uint8_t *, uint32_t,
                      uint32_t *) {}
    template <class Out>
    static void clone_internal(qel_handle_t *, uint32_t, const void *, Out **, uint8_t *, uint32_t,
                               uint32_t *) {}
    static void *clone_cr(qel_handle_t *, const void *) { return nullptr; }
};

} // namespace drov::structs
