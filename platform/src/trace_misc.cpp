// Process-wide parts of the stand-in: traces, memory-range announcements,
// bundle handler registration and trace module registration.  The observed
// records are shared by all threads and guarded by one mutex; with recording
// off (the start) nothing is appended to them and nothing is locked.
#include <atomic>
#include <cstdio>
#include <mutex>

#include "kvt.h"
#include "norla.h"
#include "detail.h"
#include "wlog.h"

namespace qel_standin {
namespace {

struct Global {
    std::mutex mu;
    std::vector<TraceRecord> traces;
    std::vector<RangeNote> ranges;
    std::vector<Call> calls;
    uint64_t range_calls = 0; // since fail_range_at was last armed
    uint64_t fail_range = 0;
    uint64_t failed_call = 0; // last failing call, for norla_perror
    uint64_t dropped = 0;     // entries dropped at the records' limit
    std::map<std::string, uint16_t> trace_modules;
};

Global &global() {
    static Global g;
    return g;
}

bool recording() { return detail::global_recording.load(std::memory_order_relaxed); }

// Whether norla_set_range has anything to do beyond succeeding: a failure
// armed (or recording on, tested apart).  Outside Global, read inline.
[[gnu::visibility("hidden")]] constinit std::atomic<bool> range_armed{false};

constexpr size_t kGlobalLimit = 65536;

void add_call(const Call &c) { detail::record_global(c); }


// A fatal trace is the last thing the process says before it aborts, so it
// also goes to stderr where a dying process can still be read.  The rest of
// a trace is only built when it is kept.
#define QEL_TRACE(...)                                                                        \
    do {                                                                                      \
        if ((flags >> 24) == 0) std::fprintf(stderr, "wlog: fatal trace %u\n", index);        \
        if (recording()) [[unlikely]]                                                         \
            add_trace(TraceRecord{uuid, index, module_id, flags, {__VA_ARGS__}});             \
    } while (0)

void add_trace(TraceRecord &&t) {
    Global &g = global();
    std::lock_guard lock(g.mu);
    detail::bounded_push(g.traces, std::move(t), kGlobalLimit, g.dropped);
}

TraceArg u32(uint32_t v) { return TraceArg{TraceArg::U32, v, {}, nullptr}; }
TraceArg str(const char *s) {
    return TraceArg{TraceArg::Str, 0, s != nullptr ? s : "(null)", nullptr};
}
TraceArg ptr(const void *p) { return TraceArg{TraceArg::Ptr, 0, {}, p}; }

void bundle_call(const char *name, uintptr_t handler, uintptr_t a, uintptr_t b, uintptr_t c,
                 uintptr_t d, uintptr_t e) {
    add_call(Call{.name = name,
                  .obj = reinterpret_cast<const void *>(handler),
                  .arg = static_cast<int64_t>(handler),
                  .words = {handler, a, b, c, d, e}});
}

} // namespace

std::vector<TraceRecord> &traces() { return global().traces; }
std::vector<RangeNote> &ranges() { return global().ranges; }
std::vector<Call> &global_calls() { return global().calls; }

// Outside Global: the switch is read inline before any call is built.
constinit std::atomic<bool> detail::global_recording{false};

void detail::append_global(const Call &c) {
    Global &g = global();
    std::lock_guard lock(g.mu);
    detail::bounded_push(g.calls, c, kGlobalLimit, g.dropped);
}

void set_global_recording(bool on) { detail::global_recording.store(on, std::memory_order_relaxed); }

void fail_range_at(uint64_t n) {
    Global &g = global();
    std::lock_guard lock(g.mu);
    g.range_calls = 0;
    g.fail_range = n;
    range_armed.store(n != 0, std::memory_order_relaxed);
}

uint64_t global_dropped() {
    Global &g = global();
    std::lock_guard lock(g.mu);
    return g.dropped;
}

void reset_global() {
    Global &g = global();
    std::lock_guard lock(g.mu);
    g.traces.clear();
    g.ranges.clear();
    g.calls.clear();
    g.range_calls = 0;
    g.fail_range = 0;
    g.failed_call = 0;
    g.dropped = 0;
    range_armed.store(false, std::memory_order_relaxed);
    detail::global_recording.store(true, std::memory_order_relaxed);
}

} // namespace qel_standin

using namespace qel_standin;

namespace {

// An announcement someone watches: recorded, counted towards an armed failure.
[[gnu::noinline]] int32_t watched_range(void *alloc_ctx, const void *addr, uint32_t len,
                                        uint32_t ctx) {
    Global &g = global();
    std::lock_guard lock(g.mu);
    if (recording())
        detail::bounded_push(g.ranges, RangeNote{alloc_ctx, addr, len, ctx}, kGlobalLimit, g.dropped);
    ++g.range_calls;
    if (g.fail_range != 0 && g.range_calls == g.fail_range) {
        g.failed_call = g.range_calls;
        return 0;
    }
    return 1;
}

} // namespace

extern "C" {

int32_t norla_set_range(void *alloc_ctx, const void *addr, uint32_t len, uint32_t ctx) {
    // Nothing to keep and no failure armed: nothing to count either, since
    // arming starts the count afresh.
    if (!recording() && !range_armed.load(std::memory_order_relaxed)) [[likely]]
        return 1;
    return watched_range(alloc_ctx, addr, len, ctx);
}

void norla_perror(void) {
    uint64_t n;
    {
        std::lock_guard lock(global().mu);
        n = global().failed_call;
    }
    if (n != 0)
        std::fprintf(stderr, "norla: range announcement %llu failed (injected)\n",
                     static_cast<unsigned long long>(n));
    else
        std::fprintf(stderr, "norla: no failure\n");
}

void kvt_comm_bundle_handler_register(uintptr_t handler, uintptr_t a, uintptr_t b, uintptr_t c,
                                      uintptr_t d, uintptr_t e) {
    bundle_call("kvt_comm_bundle_handler_register", handler, a, b, c, d, e);
}

void kvt_comm_bundle_handler_unregister(uintptr_t handler, uintptr_t a, uintptr_t b,
                                        uintptr_t c, uintptr_t d, uintptr_t e) {
    bundle_call("kvt_comm_bundle_handler_unregister", handler, a, b, c, d, e);
}

// Modules get identifiers from 0x2A on, one per module name; the caller's
// state word makes later calls keep the identifier it already has.
//
// Threads may register the same module at once.  The state word is set
// (release) only after the identifier is stored, and read (acquire) before
// the identifier is trusted, so a caller that finds it set also sees the
// identifier; the first caller to find it unset under the lock is the one
// that registers, and the call records what it found there.
namespace {
[[gnu::noinline]] int32_t module_init(const char *name, uint16_t *module_id, uint32_t *state_word);
}

int32_t wlog_module_init_fn(const char *name, uint16_t *module_id, uint32_t *state_word) {
    // A module registered already, with nothing recording: the answer alone,
    // without the frame the registration needs.
    if (name != nullptr && module_id != nullptr && state_word != nullptr &&
        __atomic_load_n(state_word, __ATOMIC_ACQUIRE) != 0 && !recording()) [[likely]]
        return 0;
    return module_init(name, module_id, state_word);
}

namespace {
int32_t module_init(const char *name, uint16_t *module_id, uint32_t *state_word) {
    Call call{.name = "wlog_module_init_fn",
              .obj = name,
              .owner = module_id,
              .arg = 0,
              .words = {reinterpret_cast<uintptr_t>(state_word)}};
    if (name == nullptr || module_id == nullptr || state_word == nullptr) {
        if (state_word != nullptr) call.arg = __atomic_load_n(state_word, __ATOMIC_ACQUIRE);
        add_call(call);
        return QEL_EINVAL;
    }
    call.arg = __atomic_load_n(state_word, __ATOMIC_ACQUIRE);
    if (call.arg == 0) {
        Global &g = global();
        std::lock_guard lock(g.mu);
        call.arg = __atomic_load_n(state_word, __ATOMIC_RELAXED);
        if (call.arg == 0) {
            auto it = g.trace_modules.find(name);
            if (it == g.trace_modules.end())
                it = g.trace_modules
                         .emplace(name, static_cast<uint16_t>(0x2A + g.trace_modules.size()))
                         .first;
            *module_id = it->second;
            __atomic_store_n(state_word, 1u, __ATOMIC_RELEASE);
        }
    }
    add_call(call);
    return 0;
}
} // namespace

void wlog_trace(const uint8_t *uuid, uint32_t index, uint16_t module_id, uint32_t flags) {
    QEL_TRACE();
}

void wlog_trace_s(const uint8_t *uuid, uint32_t index, uint16_t module_id, uint32_t flags,
                  const char *s) {
    QEL_TRACE(str(s));
}

void wlog_trace_u(const uint8_t *uuid, uint32_t index, uint16_t module_id, uint32_t flags,
                  uint32_t a) {
    QEL_TRACE(u32(a));
}

void wlog_trace_uu(const uint8_t *uuid, uint32_t index, uint16_t module_id, uint32_t flags,
                   uint32_t a, uint32_t b) {
    QEL_TRACE(u32(a), u32(b));
}

void wlog_trace_uuu(const uint8_t *uuid, uint32_t index, uint16_t module_id, uint32_t flags,
                    uint32_t a, uint32_t b, uint32_t c) {
    QEL_TRACE(u32(a), u32(b), u32(c));
}

void wlog_trace_ps(const uint8_t *uuid, uint32_t index, uint16_t module_id, uint32_t flags,
                   const void *p, const char *s) {
    QEL_TRACE(ptr(p), str(s));
}

// No handle here: the call goes to the process-wide record.  The result
// weighs each word differently so that a caller's argument order shows.
uintptr_t qel_get_luid(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d, uintptr_t e,
                       uintptr_t f) {
    add_call(Call{.name = "qel_get_luid", .arg = static_cast<int64_t>(a), .words = {a, b, c, d, e, f}});
    return a + 2 * b + 3 * c + 4 * d + 5 * e + 6 * f;
}

} // extern "C"
