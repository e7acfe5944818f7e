/*
 * Control and observation side of the stand-in type runtime.
 *
 * The stand-in implements the runtime interfaces declared in the runtime/ headers
 * with plain malloc-backed handles.  Everything the module does to the
 * runtime is recorded here so that tests can see it: write notifications,
 * counter notifications, registry, statistics and database calls, stored
 * errors, traces, memory-range announcements and bundle handler calls.
 * Failures can be injected: the N-th allocation, module allocation or
 * memory-range announcement fails.
 */
#ifndef QEL_STANDIN_H
#define QEL_STANDIN_H

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel.h"

namespace qel_standin {

enum class Tracking { Absent, On, Off };

struct WriteNote {
    const void *addr;
    uint32_t len;
    uint32_t ctx;
    const void *owner;
};

struct CounterNote {
    void *alloc_ctx;
    uint64_t *counter;
    uint32_t delta;
    uint32_t ctx;
};

/* A runtime call the module made, by name, with its interesting arguments. */
struct Call {
    std::string_view name; // always a string literal
    uint32_t ctx;
    const void *obj;
    const void *owner;
    int64_t arg;
    std::vector<uintptr_t> words{}; // every word of calls that pass more (kvt)
};

struct TraceArg {
    enum Kind { U32, Str, Ptr } kind;
    uint32_t u;
    std::string s;
    const void *p;
};

struct TraceRecord {
    const uint8_t *uuid;
    uint32_t index;
    uint16_t module_id;
    uint32_t flags;
    std::vector<TraceArg> args;
};

struct RangeNote {
    void *alloc_ctx;
    const void *addr;
    uint32_t len;
    uint32_t ctx;
};

/* Everything the stand-in keeps about one handle. */
struct HandleState {
    qel_sttr_record_t sttr{QEL_STTR_OFF, 0};
    uint32_t last_error = 0;

    // variant domain: per type name; types not named get their highest variant
    std::map<std::string, int8_t, std::less<>> domain; // looked up by name without a copy
    uint32_t domain_error = 0; // stored into *err by every domain lookup when non-zero

    // registry of record copies: (ctx, digest string) -> copy
    std::map<std::pair<uint32_t, std::string>, qel_type_info_t *> registry;
    std::vector<void *> module_blocks;

    // allocations
    uint64_t alloc_calls = 0;
    uint64_t fail_alloc_at = 0; // 1-based index of the allocate call that fails; 0 never
    uint64_t module_alloc_calls = 0;
    uint64_t fail_module_alloc_at = 0;
    std::set<void *> live;

    // observation
    bool record_writes = true;
    bool record_calls = true; // runtime calls through record_call (benchmarks turn it off)
    std::vector<WriteNote> writes;
    std::vector<CounterNote> counters;
    std::vector<Call> calls; // registry, variant update, stats, db, adjust, errors

    std::vector<uint8_t> workspace;

    // state-tracking offsets announced per field (qellib_update_sttr_offset)
    std::map<const void *, uint32_t> sttr_offsets;

    // mapping and reference-count operations: error stored into *err when non-zero
    uint32_t hd_mapping_error = 0;
    uint32_t oid_mapping_error = 0;
    int32_t oid_mapping_result = 1; // returned by qel_request_oid_mapping_destroy
    uint32_t oid_ref_count_error = 0;

    // object references held by embedded booleans and interface handles
    std::vector<uint64_t> qel_boolean_refs;
    std::vector<uint64_t> if_handle_refs;
    uint32_t oid_count_error = 0;         // T_get_oid_count
    uint32_t object_references_error = 0; // T_get_object_references
};

/* A new handle with malloc-backed callbacks, no state-tracking record,
 * type-info mode 0, containment recording off and a 64 KiB workspace. */
qel_handle_t *handle_new();
void handle_delete(qel_handle_t *h);
HandleState &state(qel_handle_t *h);

/* Selects the state-tracking record: absent, marker 0xEEEE or 0xDDDD. */
void set_tracking(qel_handle_t *h, Tracking t);
/* Puts any marker into the record (a corrupted handle when neither value). */
void set_marker(qel_handle_t *h, uint32_t marker);
/* The domain variant of one type, by type name. */
void set_domain_variant(qel_handle_t *h, const std::string &type_name, int8_t v);

/* Process-wide observation. */
std::vector<TraceRecord> &traces();
std::vector<RangeNote> &ranges();
std::vector<Call> &global_calls(); // kvt and wlog_module_init_fn
/* The N-th norla_set_range call from now fails (0: never). */
void fail_range_at(uint64_t n);
void reset_global();

/* Number of calls named `name` on the handle (for brevity in tests). */
size_t count_calls(qel_handle_t *h, const std::string &name);
/* Appends a call to the handle's record (ignored for a null handle). */
void record_call(qel_handle_t *h, Call c);

} // namespace qel_standin

#endif
