// Trace points.  A trace names its message by catalogue index; the texts are
// in the library file's catalogue sections, never in the code.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qel.h"
#include "trace_gen.h"
#include "wlog.h"

extern "C" {
extern uint16_t g_qel_drov_def_trace_module_id;
// The trace UUID inside the loaded catalogue section.
extern const uint8_t drov_def_trace_uuid[16];
}

namespace drov {

inline void trace(tp::Point p) {
    wlog_trace(drov_def_trace_uuid, p.index, g_qel_drov_def_trace_module_id, p.flags);
}
inline void trace(tp::Point p, const char *s) {
    wlog_trace_s(drov_def_trace_uuid, p.index, g_qel_drov_def_trace_module_id, p.flags, s);
}
inline void trace(tp::Point p, uint32_t a) {
    wlog_trace_u(drov_def_trace_uuid, p.index, g_qel_drov_def_trace_module_id, p.flags, a);
}
inline void trace(tp::Point p, uint32_t a, uint32_t b) {
    wlog_trace_uu(drov_def_trace_uuid, p.index, g_qel_drov_def_trace_module_id, p.flags, a, b);
}
inline void trace(tp::Point p, uint32_t a, uint32_t b, uint32_t c) {
    wlog_trace_uuu(drov_def_trace_uuid, p.index, g_qel_drov_def_trace_module_id, p.flags, a, b,
                   c);
}
inline void trace(tp::Point p, const void *ptr, const char *s) {
    wlog_trace_ps(drov_def_trace_uuid, p.index, g_qel_drov_def_trace_module_id, p.flags, ptr, s);
}

// A condition with no safe way on: the fatal trace, then abort.  Nothing is
// stored and nothing is cleaned up.
[[noreturn]] void fatal(tp::Point p);

// Stores a failure in the caller's error word and in the handle.
inline void fail(qel_handle_t *h, uint32_t *err, uint32_t code) {
    if (err != nullptr) *err = code;
    qel_store_err(h, code);
}

// Registers the module with the trace library.
int32_t trace_register();

} // namespace drov
