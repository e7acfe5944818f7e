/*
 * Control and observation side of the stand-in type runtime, for tests and
 * benchmarks.  Programs make and configure handles through the installed
 * C interface, drov_def/runtime.h; this header reaches further into them.
 *
 * The stand-in implements the runtime interfaces declared in the runtime/
 * headers.  A handle observes nothing until asked: observe() (or the single
 * switches below) makes it record what the module does to the runtime so
 * that tests can see it: write notifications, counter notifications,
 * allocations, registry, statistics and database calls, stored errors, and,
 * process-wide, traces, memory-range announcements and calls without a
 * handle.  Failures can be injected: the N-th allocation, module allocation
 * or memory-range announcement fails.
 *
 * Every record is bounded: when one reaches its limit (record_limit, 65,536
 * entries unless changed) its older half is dropped and counted, so a loop
 * of millions of operations runs in bounded memory even while observed.
 */
#ifndef QEL_STANDIN_H
#define QEL_STANDIN_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "drov_def/runtime.h"
#include "qel.h"

namespace qel_standin {

enum class Tracking { Absent, On, Off };

/* Where the handle's blocks come from and how they are accounted for:
 * Tracked keeps every live block with its size (leak checks, sizes of
 * frees) and fills new blocks with 0xA5, as module blocks always are;
 * Counted (the default) takes them from malloc and only counts them, keeping
 * a few small freed blocks per size for the next request (BlockCache); Pooled
 * cuts them from the handle's chunks; Caller hands the requests to the
 * caller's callbacks.  All of them count live blocks, fail the injected
 * allocation and record calls when asked.  Choose the mode before the
 * first allocation. */
enum class AllocMode { Tracked, Counted, Pooled, Caller };

class Pool;

/* The variant domain: the variant chosen per type name; types not named get
 * their highest variant.  A lookup by record is answered from a small table
 * keyed by the record's address (the record's name is read on the first
 * lookup through that address after a change of the domain). */
class Domain {
public:
    void set(std::string_view type_name, int8_t v);
    void erase(std::string_view type_name);
    void clear();
    bool empty() const { return names_.empty(); }
    size_t size() const { return names_.size(); }
    // The variant named for the record's type: false when none is named.
    bool find(const qel_type_info_t *ti, int8_t *v) const {
        if (names_.empty()) return false;
        const Slot &slot = slots_[slot_of(ti)];
        if (slot.ti != ti) return find_slow(ti, v);
        *v = slot.v;
        return slot.named;
    }

private:
    struct Slot {
        const qel_type_info_t *ti = nullptr;
        int8_t v = 0;
        bool named = false;
    };
    static constexpr unsigned kSlotBits = 8;
    static size_t slot_of(const qel_type_info_t *ti) {
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(ti) * 0x9E3779B97F4A7C15ull) >>
                                   (64 - kSlotBits));
    }
    bool find_slow(const qel_type_info_t *ti, int8_t *v) const;

    std::map<std::string, int8_t, std::less<>> names_; // looked up by name without a copy
    mutable std::array<Slot, size_t{1} << kSlotBits> slots_{};
};

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

/* Counted: small freed blocks waiting for the next request of their size,
 * as a general-purpose malloc's per-thread cache keeps them, without its
 * checks.  Class k holds blocks of 16k + 8 usable bytes, what malloc gives
 * for requests of 16k - 7 to 16k + 8 bytes on a 64-bit machine; a block of
 * any other size goes straight back.  At most kPerClass wait in a class and
 * kMaxBytes in all; all go back to malloc when the handle changes its
 * allocator or goes.
 * Under AddressSanitizer a waiting block is poisoned. */
struct BlockCache {
    static constexpr uint32_t kClasses = 256;         /* up to 4088 bytes */
    static constexpr uint8_t kPerClass = 16;
    static constexpr uint32_t kMaxBytes = 256 * 1024; /* waiting in all */
    void *first[kClasses] = {}; /* each block's first word links the next */
    uint8_t count[kClasses] = {};
    uint32_t bytes = 0;
};

/* Everything the stand-in keeps about one handle. */
struct HandleState {
    // What the runtime calls on every operation comes first.
    uint32_t last_error = 0;
    bool record_calls = false;    // runtime calls, allocations and frees
    bool record_writes = false;   // write notifications
    bool record_counters = false; // counter notifications
    uint32_t domain_error = 0; // stored into *err by every domain lookup (set_domain_error)
    uint64_t alloc_calls = 0;
    uint64_t fail_alloc_at = 0; // 1-based index of the allocate call that fails; 0 never
    uint64_t live_count = 0;    // blocks allocated and not freed, in every mode

    qel_sttr_record_t sttr{QEL_STTR_OFF, 0};

    // variant domain: per type name; types not named get their highest variant
    Domain domain;

    // registry of record copies: (ctx, digest string) -> copy
    std::map<std::pair<uint32_t, std::string>, qel_type_info_t *> registry;
    std::vector<void *> module_blocks;

    // allocations
    AllocMode alloc_mode = AllocMode::Counted;
    uint64_t module_alloc_calls = 0;
    uint64_t fail_module_alloc_at = 0;
    std::map<void *, uint32_t> live; // Tracked: every live block and its size
    Pool *pool = nullptr;            // Pooled: the handle's chunks (owned)
    BlockCache cache;                // Counted: small freed blocks
    drov_def_alloc_fn caller_alloc = nullptr; // Caller: the caller's callbacks
    drov_def_free_fn caller_free = nullptr;
    void *caller_user = nullptr;

    // observation, each record bounded by record_limit
    std::vector<WriteNote> writes;
    std::vector<CounterNote> counters;
    std::vector<Call> calls;
    size_t record_limit = 65536;
    uint64_t dropped = 0; // entries dropped from the three records above

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

    // Where the last failure happened, as its operation told
    // (qel_store_failure, drov_def_runtime_set_failure); it describes the
    // last error only while `placed` holds: clearing the last error ends it.
    struct Place {
        uint32_t code = 0;
        std::string operation, type, path, reason;
        int64_t offset = -1;
        uint32_t line = 0, column = 0;
    } place;
    bool placed = false;
    drov_def_failure_t place_view{}; // what drov_def_runtime_last_failure hands out
};

/* A new handle as drov_def_runtime_new makes it (nothing observed, malloc
 * blocks only counted, highest variants, containment recording off, type-
 * info mode 0, a 64 KiB workspace), but with no state-tracking record. */
qel_handle_t *handle_new();
void handle_delete(qel_handle_t *h);
HandleState &state(qel_handle_t *h);

/* Everything a test may look at: the handle's write notes, counter notes
 * and calls, tracked blocks (chosen before the first allocation), and the
 * process-wide records. */
void observe(qel_handle_t *h);

/* Selects the state-tracking record: absent, marker 0xEEEE or 0xDDDD. */
void set_tracking(qel_handle_t *h, Tracking t);
/* Puts any marker into the record (a corrupted handle when neither value). */
void set_marker(qel_handle_t *h, uint32_t marker);
/* The domain variant of one type, by type name (any value, -1 included). */
void set_domain_variant(qel_handle_t *h, const std::string &type_name, int8_t v);
/* The error every domain lookup stores from now on (0: none).  Like a named
 * type, it takes QEL_FEATURE_HIGHEST_VARIANTS from the handle's features. */
void set_domain_error(qel_handle_t *h, uint32_t code);
/* The features word of the handle were it to record nothing: for a test that
 * compares the runtime's calls with the library's own work on one handle. */
uint32_t quiet_features(qel_handle_t *h);
/* Write notes, counter notes and calls of this handle: all on or all off.
 * Off also takes the handle's write and counter notifications away, as a
 * handle that nobody observes has none. */
void set_recording(qel_handle_t *h, bool on);
/* Switching to or from Pooled or Caller needs a handle without live blocks
 * (16 otherwise); Pooled takes the chunk size (0: 64 KiB). */
uint32_t set_alloc_mode(qel_handle_t *h, AllocMode mode, uint32_t pool_chunk = 0);

/* Process-wide observation.  Range notes and an armed range failure see
 * the announcements of handles that record calls: on the others (features
 * with QEL_FEATURE_QUIET_RANGES) the library makes none. */
std::vector<TraceRecord> &traces();
std::vector<RangeNote> &ranges();
std::vector<Call> &global_calls(); // calls without a handle (kvt, wlog, luid, ...)
/* Traces, range notes and global calls: off (the start) appends nothing; a
 * fatal trace still goes to stderr.  reset_global switches it on again. */
void set_global_recording(bool on);
/* The N-th norla_set_range call from now fails (0: never). */
void fail_range_at(uint64_t n);
void reset_global();
/* Entries dropped from the process-wide records at their limit. */
uint64_t global_dropped();

/* Documents drov_def_runtime_xml_read makes from now on get a table of
 * their element names (true, the start) or none, as when it could not be
 * built: their lookups then compare names by their text. */
void set_xml_name_tables(bool on);

/* Number of calls named `name` on the handle (for brevity in tests). */
size_t count_calls(qel_handle_t *h, std::string_view name);
/* The calls named `name` on the handle, in order. */
std::vector<Call> calls_named(qel_handle_t *h, std::string_view name);
/* Appends a call to the handle's record (ignored for a null handle or with
 * recording off). */
void record_call(qel_handle_t *h, const Call &c);

} // namespace qel_standin

#endif
