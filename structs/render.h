// Text forms of a structure: print and XML.
#pragma once

#include "structs/struct_ops.h"

namespace drov::structs {

template <uint32_t T> struct Render {
    static uint32_t print(qel_handle_t *, uint32_t, char *, uint32_t, const char *, const void *,
                          uint32_t, uint32_t *) {
        return 0;
    }
    static uint32_t print_cr(qel_handle_t *, const void *, char *, uint32_t) { return 0; }
    static uint32_t to_xml(qel_handle_t *, uint32_t, const char *, char *, const void *, uint32_t,
                           uint8_t, uint32_t *) {
        return 0;
    }
    static uint32_t toxml_cr(qel_handle_t *, const void *, char *, uint32_t) { return 0; }
    static void from_xml(qel_handle_t *, uint32_t, const char *, void *, void *, uint32_t *, char *,
                         uint32_t) {}
};

} // namespace drov::structs
