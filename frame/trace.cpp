// Trace registration and the fatal stop.
#include "drov_def/drov_def.h"
#include "internal/trace.h"
#include "schema_gen.h"

extern "C" {
DROV_DEF_API uint16_t g_qel_drov_def_trace_module_id = 0;
DROV_DEF_API uint16_t g_qel_drov_def_stub_trace_module_id = 0;
}

namespace drov {

namespace {
// The trace library's registration state for this module.
constinit uint32_t g_trace_init_state = 0;
} // namespace

int32_t trace_register() {
    return wlog_module_init_fn(schema::kTraceName, &g_qel_drov_def_trace_module_id,
                               &g_trace_init_state);
}

void fatal(tp::Point p) {
    trace(tp::Point{p.index, WLOG_FATAL});
    std::abort();
}

} // namespace drov

extern "C" DROV_DEF_API int32_t qel_drov_def_trace_init(void) { return drov::trace_register(); }
