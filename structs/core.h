// The ground the structure machinery stands on: field and type identities
// taken from the generated schema tables, the instance header and the state
// area, the handle's tracking marker, announcements and the walks over a
// structure's fields.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "drov_def/drov_def.h"
#include "enums/enum_ops.h"
#include "internal/handle.h"
#include "internal/records.h"
#include "internal/trace.h"
#include "norla.h"
#include "qel.h"
#include "schema_gen.h"
#include "trace_gen.h"

namespace drov::structs {

using schema::FieldDesc;
using schema::FieldKind;
using schema::kTypes;
using schema::TypeDesc;

// ---- Instances ----------------------------------------------------------------

inline uint8_t *bytes(void *inst) { return static_cast<uint8_t *>(inst); }
inline const uint8_t *bytes(const void *inst) { return static_cast<const uint8_t *>(inst); }
inline qel_instance_header_t &hdr(void *inst) { return *static_cast<qel_instance_header_t *>(inst); }
inline const qel_instance_header_t &hdr(const void *inst) {
    return *static_cast<const qel_instance_header_t *>(inst);
}
template <class V> inline V *at(void *inst, uint32_t offset) {
    return reinterpret_cast<V *>(bytes(inst) + offset);
}
template <class V> inline const V *at(const void *inst, uint32_t offset) {
    return reinterpret_cast<const V *>(bytes(inst) + offset);
}
inline bool has_flag(const void *inst, uint8_t flag) { return (hdr(inst).obj_flags & flag) != 0; }

// ---- Runs -----------------------------------------------------------------------
//
// Under a runtime that allows it (QEL_FEATURE_INSTANCE_RUNS), instances may
// lie in blocks of the library's own making, runs: the list elements of one
// decoding side by side, or a created instance with room for its strings.
// A run starts with the number of its instances still alive; each instance
// in it is preceded by the run's address and carries kObjInRun.  Destroying
// one takes it from that number, and the last one gives the block back.  A
// run's instances are made through one handle, so they are used by one
// thread at a time and the numbers need no atomics.
//
// A run may end in character space: the strings of its instances take their
// characters from it, one after the other, while it has room.  Characters
// there are never given back one by one; the space goes with the run.
inline constexpr uint8_t kObjInRun = 0x10;
struct alignas(16) Run {
    uint32_t live;        // its instances still alive
    uint32_t chars_begin; // its character space, as offsets from the run's start
    uint32_t chars_next;
    uint32_t chars_end;
};
inline constexpr uint32_t kRunBytes = 16 * 1024; // at most, for the elements of one run
// The head of a run of one created instance: the run, then its address.
inline constexpr uint32_t kRunHead = sizeof(Run) + sizeof(Run *);
// The character space a created instance brings for each of its strings:
// names, identifiers and short paths fit; longer strings share what the
// others leave, and what does not fit comes from the allocator.
inline constexpr uint32_t kCharsPerString = 48;

inline Run *run_of(const void *inst) {
    Run *run;
    std::memcpy(&run, bytes(inst) - sizeof run, sizeof run);
    return run;
}
// Whether p lies in the character space of inst's run (null: no instance,
// no run).
inline bool in_run_chars(const void *inst, const void *p) {
    if (inst == nullptr || !has_flag(inst, kObjInRun)) [[likely]]
        return false;
    const Run *run = run_of(inst);
    const auto at = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(run);
    return at >= run->chars_begin && at < run->chars_end;
}
// A block of n bytes for a string of inst: from its run's character space
// while there is room and nobody hears stores (the space is not a new block
// whose bytes nobody had seen), else (and for no instance) from the
// handle's allocator.
inline void *chars_block(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t n) {
    if (inst != nullptr && has_flag(inst, kObjInRun) && h->write_notify == nullptr) {
        Run *run = run_of(inst);
        if (run->chars_end - run->chars_next >= n) {
            void *p = bytes(run) + run->chars_next;
            run->chars_next += n;
            return p;
        }
    }
    return h->allocate(h->alloc_ctx, ctx, n);
}
// Gives back the block of a string of inst (characters in its run's space
// stay where they are).
inline void free_chars(qel_handle_t *h, uint32_t ctx, const void *inst, void *p) {
    if (!in_run_chars(inst, p)) h->free(h->alloc_ctx, ctx, p);
}

// The variant an accessor tests its field against.  Booleans and
// enumerations ask the runtime for the signed reading.
inline int8_t instance_variant(const void *inst, bool signed_reading) {
    return qel_get_instance_variant(inst, 1, signed_reading ? 1 : 0);
}

// ---- The handle --------------------------------------------------------------

enum class Tracking { Off, On, Corrupted };

// A missing state-tracking record counts as tracking off.
inline Tracking tracking(const qel_handle_t *h) {
    if (h->sttr == nullptr) return Tracking::Off;
    if (h->sttr->marker == QEL_STTR_ON) return Tracking::On;
    if (h->sttr->marker == QEL_STTR_OFF) return Tracking::Off;
    return Tracking::Corrupted;
}

// Whether the handle tracks state; a corrupted marker stops the process at
// the caller's trace point.
inline bool tracks(const qel_handle_t *h, tp::Point corrupted) {
    Tracking t = tracking(h);
    if (t == Tracking::Corrupted) fatal(corrupted);
    return t == Tracking::On;
}

inline void epoch(qel_handle_t *h, uint32_t *err) { qel_store_epoch_err(h, QEL_EIDRM, err); }

// The variant the handle's domain gives each type of the module, asked of
// the runtime once per operation (an encoding always: nothing it does can
// change the domain; a decoding under a quiet runtime, for the instances it
// creates).
struct Domains {
    static_assert(schema::kTypeCount <= 64);
    uint64_t asked = 0;
    int8_t variant[schema::kTypeCount];

    int8_t get(qel_handle_t *h, uint32_t type, const qel_type_info_t *rec, uint32_t *err) {
        if ((asked >> type & 1) == 0) {
            variant[type] = domain_lookup(h, rec, err);
            asked |= uint64_t{1} << type;
        }
        return variant[type];
    }
    // Whether every type of the mask was asked about.
    bool knows(uint64_t types) const { return (asked & types) == types; }
};
// The domain's variant for a type: from `d` when the operation keeps one.
inline int8_t domain_variant(qel_handle_t *h, Domains *d, uint32_t type,
                             const qel_type_info_t *rec, uint32_t *err) {
    return d != nullptr ? d->get(h, type, rec, err)
                        : domain_lookup(h, rec, err);
}

// What the runtime lets the library do itself (its features word).
inline bool plain_objects(const qel_handle_t *h) {
    return (h->features & QEL_FEATURE_PLAIN_OBJECTS) != 0;
}

// Whether nothing watches a decoding's stores into instances: no write
// notification, the static records, no state tracking.
inline bool unwatched(const qel_handle_t *h) {
    return h->write_notify == nullptr && h->type_info_mode == 0 && tracking(h) == Tracking::Off;
}

// Whether the instances a decoding makes may start as copies of the bytes
// of the first one it made: a quiet runtime that lets the library
// initialise plain objects and count itself, no store announced, no
// containment recorded, the static records, no _cr creation and no state
// tracking.  Under these a fresh instance of a type whose instances hold no
// pointer into themselves is the same bytes wherever it lies.
inline bool fresh_copies(const qel_handle_t *h) {
    constexpr uint32_t kNeed =
        QEL_FEATURE_PLAIN_OBJECTS | QEL_FEATURE_PLAIN_STATS | QEL_FEATURE_QUIET;
    return (h->features & kNeed) == kNeed && unwatched(h) && h->containment_recording == 0 &&
           h->cr_in_progress == 0;
}

// One more in a plain counter: the counter notification, and one addition
// here.
inline void count_plain(qel_handle_t *h, uint32_t ctx, uint64_t *counter) {
    if (h->counter_notify != nullptr) h->counter_notify(h->alloc_ctx, counter, 1, ctx);
    add_count(counter, 1);
}

// The plain counts of many instances made or destroyed together (a list's
// elements): each counter hears every notification at once, and its
// additions arrive as one addition when the tally is done.  A locked
// addition costs more than the rest of an element's counting, and
// nothing reads the counters while one operation runs on its handle.  A
// counter beyond the few kept here is added to at once.
class Tally {
public:
    Tally() = default;
    Tally(const Tally &) = delete;
    Tally &operator=(const Tally &) = delete;
    ~Tally() { flush(); }

    void add(qel_handle_t *h, uint32_t ctx, uint64_t *counter) {
        if (h->counter_notify != nullptr) h->counter_notify(h->alloc_ctx, counter, 1, ctx);
        for (uint32_t i = 0; i < kSlots; ++i) {
            if (counter_[i] == counter) {
                ++n_[i];
                return;
            }
            if (counter_[i] == nullptr) {
                counter_[i] = counter;
                n_[i] = 1;
                return;
            }
        }
        add_count(counter, 1);
    }
    void flush() {
        for (uint32_t i = 0; i < kSlots && counter_[i] != nullptr; ++i) {
            add_count(counter_[i], n_[i]);
            counter_[i] = nullptr;
        }
    }

private:
    static constexpr uint32_t kSlots = 4;
    uint64_t *counter_[kSlots] = {};
    uint64_t n_[kSlots] = {};
};

// Counts a creation or destruction in a variant entry: the runtime's
// statistics call, or, when they are the plain counters, the counter
// notification and one addition here (or in `tally`, when given).
[[gnu::always_inline]] inline void count_instance(qel_handle_t *h, uint32_t ctx, qel_type_info_t *rec,
                           qel_variant_entry_t *entry, bool creation, uint32_t *err,
                           Tally *tally = nullptr) {
    if ((h->features & QEL_FEATURE_PLAIN_STATS) == 0) {
        if (creation)
            qellib_type_stats_create_object(h, ctx, rec, entry, err);
        else
            qellib_type_stats_destroy_object(h, ctx, rec, entry, err);
        return;
    }
    uint64_t *counter = creation ? &entry->creates : &entry->destroys;
    if (tally != nullptr)
        tally->add(h, ctx, counter);
    else
        count_plain(h, ctx, counter);
}

// A boolean's or interface handle's first value when they are plain values:
// 0, announced when asked (with no owner, as the runtime announces it).
inline void init_plain_object(qel_handle_t *h, uint32_t ctx, uint32_t *field, int32_t notify) {
    if (notify != 0) announce(h, field, sizeof *field, ctx, nullptr);
    *field = 0;
}

// Reports an object handed out or taken in to the containment recording.
inline void contain(qel_handle_t *h, uint32_t ctx, const void *obj, const void *owner) {
    if (h->containment_recording != 0) qeldb_record_containment2(h, ctx, obj, owner, 1);
}

// Database bookkeeping of a change (creation, list link) when the handle
// keeps one for this context.
inline bool db_recording(const qel_handle_t *h, uint32_t ctx) {
    return h->containment_recording != 0 && ctx != QEL_CTX_NONE && h->type_info_mode == 1;
}

// A failed announcement to the memory-range library: its report, then the
// fatal trace at `p`.
[[noreturn]] void range_failed(tp::Point p);

// Announces a range of list links to the memory-range library (when the
// handle has an allocator context whose announcements someone keeps) before
// they change; a failed announcement is fatal at `p`.  `changed` is the
// element or list head the database hears about.
inline void announce_links(qel_handle_t *h, uint32_t ctx, const void *addr, uint32_t len,
                           const void *changed, tp::Point p) {
    if (h->alloc_ctx == nullptr) return;
    if ((h->features & QEL_FEATURE_QUIET_RANGES) == 0 &&
        norla_set_range(h->alloc_ctx, addr, len, ctx) != 1) [[unlikely]]
        range_failed(p);
    if (db_recording(h, ctx)) qeldb_plat_set_dirty(h, ctx, changed);
}
// Whether list links may change with nobody hearing: no write notification,
// no range announcements kept, no database bookkeeping.
inline bool quiet_links(const qel_handle_t *h) {
    return h->write_notify == nullptr && h->containment_recording == 0 &&
           (h->alloc_ctx == nullptr || (h->features & QEL_FEATURE_QUIET_RANGES) != 0);
}

// Stores `value` into a list link after announcing it.
inline void store_link(qel_handle_t *h, uint32_t ctx, void **slot, void *value,
                       const void *changed, tp::Point p) {
    announce_links(h, ctx, slot, sizeof *slot, changed, p);
    *slot = value;
}

// ---- Fields and types -----------------------------------------------------------

template <uint32_t T> struct Struct; // the type-level operations, struct_ops.h

// A field's identity: the type's index in the type table and the field's
// position in its declaration.  Everything else comes from the tables.
template <uint32_t T, uint32_t I> struct Field {
    static constexpr uint32_t type = T;
    static constexpr uint32_t index = I;
    static constexpr const FieldDesc &d = kTypes[T].fields[I];
    using Points = tp::FieldPoints<T, I>;
};

template <FieldKind K> struct KindSelect; // specialised with the kinds, kinds.h

// The kind class that implements field I of type T.
template <uint32_t T, uint32_t I>
using KindOf = typename KindSelect<kTypes[T].fields[I].kind>::template type<Field<T, I>>;

// Calls fn(K{}) for the kind K of every field of T, in declaration order.
template <uint32_t T, class Fn> constexpr void each_field(Fn &&fn) {
    [&]<uint32_t... I>(std::integer_sequence<uint32_t, I...>) {
        (fn(KindOf<T, I>{}), ...);
    }(std::make_integer_sequence<uint32_t, kTypes[T].field_count>{});
}

// As each_field, always inlined into the caller, for a short loop whose
// cursor must stay in registers.
template <uint32_t T, class Fn> [[gnu::always_inline]] inline void each_field_inline(Fn &&fn) {
    [&]<uint32_t... I>(std::integer_sequence<uint32_t, I...>) __attribute__((always_inline)) {
        (fn(KindOf<T, I>{}), ...);
    }(std::make_integer_sequence<uint32_t, kTypes[T].field_count>{});
}

// As each_field, stopping at the first call that returns true.
template <uint32_t T, class Fn> inline bool any_field(Fn &&fn) {
    return [&]<uint32_t... I>(std::integer_sequence<uint32_t, I...>) {
        return (fn(KindOf<T, I>{}) || ...);
    }(std::make_integer_sequence<uint32_t, kTypes[T].field_count>{});
}
// The same, always inlined into the caller (as each_field_inline).
template <uint32_t T, class Fn> [[gnu::always_inline]] inline bool any_field_inline(Fn &&fn) {
    return [&]<uint32_t... I>(std::integer_sequence<uint32_t, I...>) __attribute__((always_inline)) {
        return (fn(KindOf<T, I>{}) || ...);
    }(std::make_integer_sequence<uint32_t, kTypes[T].field_count>{});
}

// The fields a list element type's instances link through, at offset 16.
struct Link {
    void *list; // the list head the element is in, or null
    void *next; // next element, or the head after the last
    void *prev; // previous element, or the head before the first
};
// A list head inside its owner: 28 bytes, so never copied whole.
struct Head {
    void *first;
    void *last;
    void *parent;
    uint32_t count;
};
inline constexpr uint32_t kLinkOffset = 16;
static_assert(offsetof(Link, prev) == 16 && sizeof(Link) == 24);
static_assert(offsetof(Head, count) == 24);

inline Link *link(void *elem) { return at<Link>(elem, kLinkOffset); }

// The five link stores of taking an element out of its chain: its own two
// links announced together, then the neighbour (or head) on each side.
struct UnlinkPoints {
    tp::Point links, next_prev, last, first, prev_next;
};
[[gnu::always_inline]] inline void unlink(qel_handle_t *h, uint32_t ctx, Head *head, void *elem,
                                          const UnlinkPoints &p) {
    Link *l = link(elem);
    announce_links(h, ctx, &l->next, 2 * sizeof(void *), elem, p.links);
    if (l->next != head)
        store_link(h, ctx, &link(l->next)->prev, l->prev, l->next, p.next_prev);
    else
        store_link(h, ctx, &head->last, l->prev, head, p.last);
    if (l->prev == head)
        store_link(h, ctx, &head->first, l->next, head, p.first);
    else
        store_link(h, ctx, &link(l->prev)->next, l->next, l->prev, p.prev_next);
}

} // namespace drov::structs
