/*
 * Control and observation side of the stand-in type runtime.
 *
 * The stand-in implements the runtime interfaces declared in the runtime/ headers
 * with plain malloc-backed handles.  Everything the module does to the
 * runtime is recorded here so that tests can see it: write notifications,
 * counter notifications, allocations, registry, statistics and database
 * calls, stored errors, traces, memory-range announcements and bundle
 * handler calls.  Failures can be injected: the N-th allocation, module
 * allocation or memory-range announcement fails.
 *
 * Recording can be switched off, per handle (set_recording) and for the
 * process-wide records (set_global_recording); then nothing is appended
 * anywhere, so a loop of millions of operations runs in constant memory.
 */
#ifndef QEL_STANDIN_H
#define QEL_STANDIN_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel.h"

namespace qel_standin {

enum class Tracking { Absent, On, Off };

/* How the handle's allocate and free callbacks keep account of blocks:
 * Tracked keeps every live block with its size (leak checks, sizes of
 * frees) and fills new blocks with 0xA5, as module blocks always are;
 * Counted only counts live blocks, for benchmarks.  Choose the mode before
 * the first allocation. */
enum class AllocMode { Tracked, Counted };

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

/*
 * A runtime call the module made, by name, with its interesting arguments.
 * Trivially copyable: recording one allocates nothing beyond the vector's
 * growth.  What the fields hold for each name:
 *
 *   allocate                         obj block (null when it failed), arg size
 *   free                             obj block, arg its size (0 when unknown:
 *                                    a foreign block or AllocMode::Counted)
 *   module_alloc                     obj block, arg size
 *   registry_lookup                  obj copy found (or null); words[0] the
 *                                    digest string asked for
 *   registry_insert                  obj copy; words[0] its digest string
 *   qel_domain_lookup_variant        obj record asked about (its name says the
 *                                    type), owner the domain, arg the answer,
 *                                    words[0] the error word passed
 *   qel_type_info_ptr_get            obj copy found, owner static record,
 *                                    arg 1 when found
 *   start_tag                        obj where it writes, owner tag, arg state flag
 *   T_to_xml (every primitive,       obj value or characters, owner tag,
 *     var_string, null_string)       arg state flag
 *   T_from_xml (every primitive,     obj destination, owner message buffer,
 *     var_string, null_string)       arg message buffer size
 *   T_unmarshal (every primitive)    obj destination, owner buffer, arg update flag
 *   u_int8_create / u_int8_destroy   obj the value
 *   qel_store_err / _epoch_err       arg code (epoch: words[0] the error word)
 *   qel_clear_last_error             nothing more
 *   qellib_adjust_variant            obj instance, owner record, arg result
 *   qellib_type_stats_*_object       obj record, owner variant entry
 *   qeldb_record_containment2        obj instance, owner owner, arg flag
 *   qeldb_plat_set_dirty / _destroy  obj instance
 *   qeldb_plat_set_detach            obj instance, arg flag
 *   qel_boolean_*, if_handle_*       obj field (see primitives.cpp)
 *   kvt_comm_bundle_handler_*        obj handler, words the six words (global)
 *   wlog_module_init_fn              obj name, owner module id address,
 *                                    arg the state word as the call found it
 *                                    (0 in the one call that registered),
 *                                    words[0] the state word's address (global)
 *   qel_get_luid                     words the six words (global)
 *   qel_get_instance_variant         obj instance, arg adjust, words[0] signed (global)
 *
 * Pointers are recorded as given: a tag, path or buffer of the caller's
 * stack is only valid while the caller's frame lives.  Calls the stand-in
 * makes to itself (a T_to_xml writing its tags, a helper clearing the last
 * error under the helpers' contract) are not recorded.
 */
struct Call {
    std::string_view name; // always a string literal
    uint32_t ctx;
    const void *obj;
    const void *owner;
    int64_t arg;
    std::array<uintptr_t, 6> words{};
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
    AllocMode alloc_mode = AllocMode::Tracked;
    uint64_t alloc_calls = 0;
    uint64_t fail_alloc_at = 0; // 1-based index of the allocate call that fails; 0 never
    uint64_t module_alloc_calls = 0;
    uint64_t fail_module_alloc_at = 0;
    std::map<void *, uint32_t> live; // Tracked: every live block and its size
    uint64_t live_count = 0;         // both modes: blocks allocated and not freed

    // observation (set_recording switches all three)
    bool record_writes = true;   // write notifications
    bool record_counters = true; // counter notifications
    bool record_calls = true;    // runtime calls, allocations and frees
    std::vector<WriteNote> writes;
    std::vector<CounterNote> counters;
    std::vector<Call> calls;

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
/* Write notes, counter notes and calls of this handle: all on or all off. */
void set_recording(qel_handle_t *h, bool on);
void set_alloc_mode(qel_handle_t *h, AllocMode mode);

/* Process-wide observation. */
std::vector<TraceRecord> &traces();
std::vector<RangeNote> &ranges();
std::vector<Call> &global_calls(); // calls without a handle (kvt, wlog, luid, ...)
/* Traces, range notes and global calls: off appends nothing (a fatal trace
 * still goes to stderr).  reset_global switches it on again. */
void set_global_recording(bool on);
/* The N-th norla_set_range call from now fails (0: never). */
void fail_range_at(uint64_t n);
void reset_global();

/* Number of calls named `name` on the handle (for brevity in tests). */
size_t count_calls(qel_handle_t *h, std::string_view name);
/* The calls named `name` on the handle, in order. */
std::vector<Call> calls_named(qel_handle_t *h, std::string_view name);
/* Appends a call to the handle's record (ignored for a null handle or with
 * recording off). */
void record_call(qel_handle_t *h, const Call &c);

} // namespace qel_standin

#endif
