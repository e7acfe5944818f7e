// The type-level operations of a structure, written once: each is a walk
// over the type's fields that calls the member of every field's kind.
#pragma once

#include <algorithm>
#include <new>

#include "structs/kinds_array.h"
#include "structs/kinds_list.h"
#include "structs/kinds_text.h"
#include "structs/kinds_value.h"

namespace drov::structs {

template <> struct KindSelect<FieldKind::U8> { template <class F> using type = Scalar<F, PrimU8>; };
template <> struct KindSelect<FieldKind::U16> { template <class F> using type = Scalar<F, PrimU16>; };
template <> struct KindSelect<FieldKind::U32> { template <class F> using type = Scalar<F, PrimU32>; };
template <> struct KindSelect<FieldKind::Boolean> { template <class F> using type = Boolean<F>; };
template <> struct KindSelect<FieldKind::IfHandle> { template <class F> using type = IfHandle<F>; };
template <> struct KindSelect<FieldKind::Enum> { template <class F> using type = EnumField<F>; };
template <> struct KindSelect<FieldKind::Record> { template <class F> using type = Record<F>; };
template <> struct KindSelect<FieldKind::Length> { template <class F> using type = Length<F>; };
template <> struct KindSelect<FieldKind::String> { template <class F> using type = String<F>; };
template <> struct KindSelect<FieldKind::Text> { template <class F> using type = Text<F>; };
template <> struct KindSelect<FieldKind::Array> { template <class F> using type = Array<F>; };
template <> struct KindSelect<FieldKind::VarArray> { template <class F> using type = VarArray<F>; };
template <> struct KindSelect<FieldKind::List> { template <class F> using type = List<F>; };

// Clears a new instance block.  The call goes to the C library's memset,
// which clears a block of a few cache lines with wide stores; the string
// instruction the compiler would put inline instead costs more than the
// clearing itself at these sizes.
inline void zero_block(void *block, size_t size) {
    static void *(*const volatile clear)(void *, int, size_t) = std::memset;
    clear(block, 0, size);
}

// Copies a fresh instance's bytes into a new one, or a decoded string's
// characters into their block: through the C library's memcpy for the same
// reason (where the compiler knows a bound on the size, a string's length
// byte say, it may otherwise put the string instruction inline).
inline void copy_block(void *dst, const void *src, size_t size) {
    static void *(*const volatile copy)(void *, const void *, size_t) = std::memcpy;
    copy(dst, src, size);
}
// The same for a short run of bytes, as most strings are: up to 64 copied
// here in a few overlapping word moves, without the call and the size
// dispatch a call costs; longer ones by copy_block.  The two must not
// overlap.
template <size_t W> inline void move_word(uint8_t *d, const uint8_t *s, size_t at) {
    std::memcpy(d + at, s + at, W);
}
[[gnu::always_inline]] inline void copy_short(void *dst, const void *src, size_t n) {
    auto *d = static_cast<uint8_t *>(dst);
    const auto *s = static_cast<const uint8_t *>(src);
    if (n > 64) {
        copy_block(dst, src, n);
    } else if (n >= 16) {
        move_word<16>(d, s, 0);
        if (n > 32) move_word<16>(d, s, 16);
        if (n > 48) move_word<16>(d, s, 32);
        move_word<16>(d, s, n - 16);
    } else if (n >= 8) {
        move_word<8>(d, s, 0);
        move_word<8>(d, s, n - 8);
    } else if (n >= 4) {
        move_word<4>(d, s, 0);
        move_word<4>(d, s, n - 4);
    } else if (n != 0) {
        d[0] = s[0];
        d[n / 2] = s[n / 2];
        d[n - 1] = s[n - 1];
    }
}

// The records an instance of type t is counted in: its own and those of its
// nested records, at any depth.
constexpr uint32_t records_in(uint32_t t) {
    uint32_t n = 1;
    for (uint32_t i = 0; i < kTypes[t].field_count; ++i)
        if (kTypes[t].fields[i].kind == FieldKind::Record)
            n += records_in(static_cast<uint32_t>(kTypes[t].fields[i].ref));
    return n;
}

// Whether instances of type t hold no pointer into themselves: no list
// head, in nested records neither.
constexpr bool self_free(uint32_t t) {
    for (uint32_t i = 0; i < kTypes[t].field_count; ++i) {
        const FieldDesc &f = kTypes[t].fields[i];
        if (f.kind == FieldKind::List) return false;
        if (f.kind == FieldKind::Record && !self_free(static_cast<uint32_t>(f.ref))) return false;
    }
    return true;
}

// ---- Runs (see core.h) ---------------------------------------------------------

// Gives an instance's memory back: its own block, or its place in a run.
inline void free_instance(qel_handle_t *h, uint32_t ctx, void *inst) {
    if (!has_flag(inst, kObjInRun)) [[likely]] {
        h->free(h->alloc_ctx, ctx, inst);
        return;
    }
    Run *run = run_of(inst);
    if (--run->live == 0) h->free(h->alloc_ctx, ctx, run);
}

// The places for instances of `Size` bytes in successive runs, for
// instances decoded from a buffer where each takes at least `Least` bytes.
// Each run ends in character space for the instances' strings: `Chars`
// bytes an instance, and never more than the rest of the buffer can fill.
template <uint32_t Size, uint32_t Least, uint32_t Chars> class RunSlots {
    static_assert(Size % alignof(Run *) == 0, "instances in a run stay aligned");
    static constexpr uint32_t kStride = sizeof(Run *) + Size;
    static constexpr uint32_t kMost = (kRunBytes - sizeof(Run)) / kStride;
    Run *run_ = nullptr;
    uint8_t *next_ = nullptr;
    uint32_t left_ = 0;

public:
    // A place for the next of `wanted` instances still to come, with
    // `room` bytes of the buffer left to encode them; null when one instance is
    // all there can be or the allocator has no run.
    void *take(qel_handle_t *h, uint32_t ctx, uint32_t wanted, uint32_t room) {
        if (left_ == 0) {
            const uint32_t n = std::min({wanted, room / Least + 1, kMost});
            if (n < 2) return nullptr;
            const uint32_t begin = sizeof(Run) + n * kStride;
            const uint32_t chars = std::min(room, n * Chars);
            void *block = h->allocate(h->alloc_ctx, ctx, begin + chars);
            if (block == nullptr) return nullptr;
            run_ = new (block) Run{0, begin, begin, begin + chars};
            next_ = bytes(block) + sizeof(Run);
            left_ = n;
        }
        std::memcpy(next_, &run_, sizeof run_);
        void *inst = next_ + sizeof run_;
        // The place four instances on is fetched ahead, to be written: a
        // long list outgrows the caches, and each fresh copy would wait for
        // its lines otherwise.
        if (left_ > 4)
            for (uint32_t b = 0; b < kStride; b += 64)
                __builtin_prefetch(next_ + 4 * kStride + b, 1);
        next_ += kStride;
        --left_;
        ++run_->live;
        return inst;
    }
};

template <uint32_t T> struct Struct {
    static constexpr const TypeDesc &t = kTypes[T];
    using P = tp::TypePoints<T>;
    static constexpr int8_t kHighest = t.highest();
    static constexpr bool kElement = t.list_owner >= 0;
    // A variable array keeps its element flags in a block of their own.
    static constexpr bool kFlagBlocks = [] {
        for (uint32_t i = 0; i < t.field_count; ++i)
            if (t.fields[i].kind == FieldKind::VarArray) return true;
        return false;
    }();

    // Handed out by _cr creation instead of null; destroy ignores it.
    alignas(8) static inline uint8_t placeholder[t.alloc_size()] = {};

    // The character space of a created instance in a run: its strings'.
    static constexpr uint32_t kCharSpace = [] {
        uint32_t n = 0;
        for (uint32_t i = 0; i < t.field_count; ++i)
            if (t.fields[i].kind == FieldKind::String) n += kCharsPerString;
        return n;
    }();

    // The records an instance counts its creation in.
    static constexpr uint32_t kRecords = records_in(T);

    static int8_t cap(int8_t v) { return v > kHighest ? kHighest : v; }
    // The layout variant, kept within the type's variants.
    static uint32_t layout(const void *inst) {
        int8_t lv = hdr(inst).layout_variant;
        return static_cast<uint32_t>(lv < 0 ? 0 : cap(lv));
    }
    static uint32_t base_size(const void *inst) { return t.base[layout(inst)]; }
    static uint32_t area_size(const void *inst) { return t.state[layout(inst)]; }
    // The state area: after the base size, or where the runtime keeps it.
    static uint8_t *area(qel_handle_t *h, uint32_t ctx, void *inst) {
        if (has_flag(inst, QEL_OBJ_STTR_OFFSET))
            return bytes(inst) + qellib_get_sttr_offset(h, ctx, inst);
        return bytes(inst) + base_size(inst);
    }
    // The statistics entry of a variant: a negative one counts in variant 0.
    static qel_variant_entry_t *entry(const qel_variant_info_t *vi, int8_t v) {
        if constexpr (kHighest == 0) return vi->entries; // whatever the count and variant
        int8_t last = vi->count - 1 < kHighest ? static_cast<int8_t>(vi->count - 1) : kHighest;
        int8_t k = v > last ? last : v;
        return &vi->entries[k < 0 ? 0 : k];
    }
    static void adjust(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        qellib_adjust_variant(h, ctx, inst, qel_get_manifested_type_info(inst), kHighest, err);
    }

    // ---- Life -----------------------------------------------------------------------

    // `d`: the operation's memory of the domain, when it keeps one.
    static void *create_internal(qel_handle_t *h, uint32_t ctx, Domains *d = nullptr) {
        const bool in_cr = h->cr_in_progress != 0;
        void *result = nullptr;
        bool placeholder_path = in_cr && h->err != 0;
        if (!placeholder_path) {
            uint32_t size = t.alloc_size();
            if (tracks(h, P::create_corrupted)) size += t.state[kHighest];
            // A type with strings is made in a run of its own with room for
            // their characters, when the runtime allows runs.
            Run *run = nullptr;
            void *block;
            if (kCharSpace != 0 && (h->features & QEL_FEATURE_INSTANCE_RUNS) != 0) {
                run = static_cast<Run *>(h->allocate(h->alloc_ctx, ctx, kRunHead + size + kCharSpace));
                block = run != nullptr ? bytes(run) + kRunHead : nullptr;
            } else {
                block = h->allocate(h->alloc_ctx, ctx, size);
            }
            if (block == nullptr) {
                placeholder_path = in_cr;
            } else if (make_at(h, ctx, block, size, d)) {
                result = block;
                if (run != nullptr) {
                    *run = Run{1, kRunHead + size, kRunHead + size, kRunHead + size + kCharSpace};
                    std::memcpy(bytes(block) - sizeof run, &run, sizeof run);
                    hdr(block).obj_flags |= kObjInRun;
                }
            } else {
                h->free(h->alloc_ctx, ctx, run != nullptr ? static_cast<void *>(run) : block);
            }
        }
        if (placeholder_path) {
            if (h->err == 0) fail(h, &h->err, QEL_ENOMEM);
            result = placeholder;
        }
        record_created(h, ctx, result);
        return result;
    }
    // An instance in the `size` bytes at `block`: zeroed and initialised;
    // false, traced, when the initialisation failed.  Where the type's
    // fresh image is kept (below), a copy of it and its counts instead.
    static bool make_at(qel_handle_t *h, uint32_t ctx, void *block, uint32_t size, Domains *d) {
        const bool same = size == t.alloc_size() && uniform_fresh(h);
        if (same && __atomic_load_n(&image_.state, __ATOMIC_ACQUIRE) == Image::kReady) {
            copy_image(block);
            init_heads(h, ctx, block, (h->features & QEL_FEATURE_QUIET_RANGES) == 0);
            if (d == nullptr) qel_clear_last_error(h);
            for (qel_variant_entry_t *e : image_.entries) count_plain(h, ctx, &e->creates);
            return true;
        }
        zero_block(block, size);
        uint32_t local = 0;
        initialize(h, ctx, block, record(T), 1, 0, 0, nullptr, &local, d);
        if (local == 0) {
            if (same) keep_image(block);
            return true;
        }
        trace(P::create_error, std::strerror(static_cast<int>(local)));
        return false;
    }

    // ---- The fresh image --------------------------------------------------------------
    // Under a runtime that lets the library initialise plain objects, count
    // in the plain counters and answer the highest variant itself, with
    // nothing watching, every fresh instance of a type has the same bytes
    // but for its list heads (which point into it), and its creation counts
    // in the same entries.  The first instance made so is kept, once per
    // process, and later ones start as a copy of it: the heads set, the last
    // error cleared once (its parts need not clear it again), and the same
    // counts in the same order.  The image holds no address of the handle
    // or of the block it was made in.
    static bool uniform_fresh(const qel_handle_t *h) {
        return (h->features & QEL_FEATURE_HIGHEST_VARIANTS) != 0 && fresh_copies(h);
    }
    struct Image {
        static constexpr uint8_t kNone = 0, kMaking = 1, kReady = 2, kNever = 3;
        uint8_t state = kNone;
        qel_variant_entry_t *entries[kRecords] = {};
        alignas(16) uint8_t bytes[t.alloc_size()] = {};
    };
    static inline Image image_{};
    // The image's bytes into a new instance: up to 256 of them copied
    // inline (the compiler's own copy up to 128, word moves beyond, where it
    // would put a string instruction), a larger one by the C library's.
    static void copy_image(void *block) {
        constexpr uint32_t kSize = t.alloc_size();
        if constexpr (kSize <= 128) {
            std::memcpy(block, image_.bytes, kSize);
        } else if constexpr (kSize <= 256) {
            // Word moves, the last one ending at the end.
            auto *d = static_cast<uint8_t *>(block);
            [&]<uint32_t... I>(std::integer_sequence<uint32_t, I...>) {
                (move_word<16>(d, image_.bytes, 16 * I), ...);
            }(std::make_integer_sequence<uint32_t, kSize / 16>{});
            if constexpr (kSize % 16 != 0) move_word<16>(d, image_.bytes, kSize - 16);
        } else {
            copy_block(block, image_.bytes, kSize);
        }
    }
    // Keeps the bytes of `inst`, just made under uniform_fresh, unless
    // another thread is keeping an instance of its own.  A variant beyond
    // its record's entries (traced at every creation) is never kept.
    [[gnu::noinline]] static void keep_image(const void *inst) {
        uint8_t none = Image::kNone;
        if (!__atomic_compare_exchange_n(&image_.state, &none, Image::kMaking, false,
                                         __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
        std::memcpy(image_.bytes, inst, sizeof image_.bytes);
        hdr(image_.bytes).obj_flags &= static_cast<uint8_t>(~kObjInRun);
        qel_variant_entry_t **out = image_.entries;
        const bool ok = copy_entries(inst, out);
        __atomic_store_n(&image_.state, ok ? Image::kReady : Image::kNever, __ATOMIC_RELEASE);
    }
    // The list heads of a copy, at any depth, point into the copy: their
    // links announced as ranges when something may keep them (nothing
    // watches the stores here).
    static void init_heads(qel_handle_t *h, uint32_t ctx, void *inst, bool ranges) {
        each_field<T>([&](auto k) {
            using K = decltype(k);
            if constexpr (K::d.kind == FieldKind::List)
                K::init_head(h, ctx, inst, ranges);
            else if constexpr (K::d.kind == FieldKind::Record)
                Struct<K::R>::init_heads(h, ctx, K::field(inst), ranges);
        });
    }
    // What initialising an instance counts besides its bytes, for one whose
    // bytes are copied from a fresh instance made under fresh_copies in the
    // same operation: the statistics entries of its creation, its own first,
    // then those of its nested records in field order, taken from that fresh
    // instance.  False when a variant lies beyond its record's entries
    // (every creation traces that; such copies are not made).
    static bool copy_entries(const void *inst, qel_variant_entry_t **&out) {
        const int8_t v = hdr(inst).instance_variant;
        const qel_variant_info_t *vi = hdr(inst).type_info->variant_info;
        if (vi->count < v) return false;
        *out++ = entry(vi, v);
        return !any_field<T>([&](auto k) {
            using K = decltype(k);
            if constexpr (K::d.kind == FieldKind::Record)
                return !Struct<K::R>::copy_entries(K::field(inst), out);
            else return false;
        });
    }
    static void *create(qel_handle_t *h, uint32_t ctx) {
        trace_register();
        return create_internal(h, ctx);
    }
    static void *create_cr(qel_handle_t *h) {
        trace_register();
        h->cr_in_progress = 1;
        void *inst = create_internal(h, h->cur_ctx_id);
        h->cr_in_progress = 0;
        return inst;
    }

    static void initialize(qel_handle_t *h, uint32_t ctx, void *inst, qel_type_info_t *rec,
                           int32_t notify, int32_t header_only, uint8_t extra, void *base,
                           uint32_t *err, Domains *d = nullptr) {
        // Within an operation that keeps a memory of the domain (a part of
        // a quiet one), the last error was cleared when it began.
        if (*err != 0) return;
        if (d == nullptr) qel_clear_last_error(h);
        if (inst == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        // The operation's memory answers only for this type's own record.
        int8_t v = cap(domain_variant(h, rec == record(T) ? d : nullptr, T, rec, err));
        each_field<T>([&](auto k) { decltype(k)::init_head(h, ctx, inst, notify != 0); });
        qel_instance_header_t &hd = hdr(inst);
        auto store = [&](auto &slot, auto value) {
            if (notify != 0) announce(h, &slot, sizeof slot, ctx, inst);
            slot = value;
        };
        store(hd.layout_variant, kHighest);
        store(hd.instance_variant, v);
        store(hd.type_info, instance_record(h, ctx, rec));
        store(hd.obj_flags, static_cast<uint8_t>(hd.obj_flags | extra));
        const bool on = tracks(h, P::init_corrupted);
        if (on) store(hd.obj_flags, static_cast<uint8_t>(hd.obj_flags | QEL_OBJ_STATE_TRACKED));
        // Embedded objects find their state base here: the caller's, or ours.
        void *down = base != nullptr ? base : bytes(inst) + base_size(inst);
        auto init_embedded = [&](int32_t only) {
            each_field<T>([&](auto k) {
                decltype(k)::init_embedded(h, ctx, inst, notify, only, down, err, d);
            });
        };
        if (header_only != 0) {
            init_embedded(1);
            return;
        }
        const qel_variant_info_t *vi = rec != nullptr ? rec->variant_info : nullptr;
        if (vi == nullptr) fatal(P::init_no_varinfo);
        if (vi->count < v)
            trace(P::init_variant_range, static_cast<uint32_t>(v), static_cast<uint32_t>(vi->count));
        count_instance(h, ctx, rec, entry(vi, v), true, err);
        if (on) {
            if (has_flag(inst, QEL_OBJ_NESTED) && base == nullptr) {
                fail(h, err, QEL_EINVAL);
                trace(P::init_no_sttr_base);
                return;
            }
            uint8_t *a = has_flag(inst, QEL_OBJ_STTR_OFFSET)
                             ? bytes(inst) + qellib_get_sttr_offset(h, ctx, inst)
                             : static_cast<uint8_t *>(down);
            each_field<T>([&](auto k) { decltype(k)::record_offset(h, ctx, inst, a); });
        }
        init_embedded(0);
    }

    static void set_instance_embedded(qel_handle_t *h, uint32_t ctx, void *inst) {
        if (inst == nullptr) {
            trace(P::embed_null);
            return;
        }
        each_field<T>([&](auto k) { decltype(k)::set_embedded(h, ctx, inst); });
        announce(h, &hdr(inst).obj_flags, 1, ctx, inst);
        hdr(inst).obj_flags |= QEL_OBJ_EMBEDDED;
    }

    static uint32_t get_oid_count(qel_handle_t *h, uint32_t, void *inst, uint32_t *err) {
        if (*err != 0) {
            trace(P::oid_count_pending);
            return 0;
        }
        if (inst == nullptr) {
            trace(P::oid_count_null);
            fail(h, err, QEL_EINVAL);
        }
        return 0; // no type of this module holds object identifiers
    }
    static void get_object_references(qel_handle_t *h, uint32_t, void *inst, uint64_t *, uint32_t,
                                      uint32_t *err) {
        if (*err != 0) {
            trace(P::references_pending);
            return;
        }
        if (inst == nullptr) {
            trace(P::references_null);
            fail(h, err, QEL_EINVAL);
        }
    }

    // Whether any field of the layout holds a block, elements or a flag
    // block.
    static bool owns_any(qel_handle_t *h, uint32_t ctx, const void *inst) {
        const auto lv = static_cast<int8_t>(layout(inst));
        if (any_field<T>([&](auto k) {
                using K = decltype(k);
                return K::d.variant <= lv && K::owns(h, ctx, inst);
            }))
            return true;
        if constexpr (kFlagBlocks) {
            if (!has_flag(inst, QEL_OBJ_STATE_TRACKED)) return false;
            const uint8_t *a = area(h, ctx, const_cast<void *>(inst));
            return any_field<T>([&](auto k) {
                using K = decltype(k);
                return K::d.variant <= lv && K::owns_flags(inst, a);
            });
        }
        return false;
    }

    // An element leaving its list takes its place in the count with it.
    [[gnu::noinline]] static void leave_list(qel_handle_t *h, uint32_t ctx, void *inst) {
        auto *hd = static_cast<Head *>(link(inst)->list);
        unlink(h, ctx, hd, inst,
               {P::unlink_links, P::unlink_next_prev, P::unlink_last, P::unlink_first,
                P::unlink_prev_next});
        announce(h, &hd->count, sizeof hd->count, ctx, hd->parent);
        if (hd->count > 0) hd->count -= 1;
        announce(h, &link(inst)->list, sizeof(void *), ctx, inst);
        link(inst)->list = nullptr;
    }

    // `tally`: where plain counts of a destruction among many go (List).
    // A plainly kept instance may go the short way (below) before the whole
    // way's work is set up.
    static void destroy_internal(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t release,
                                 Tally *tally = nullptr) {
        if (release != 0 && inst != nullptr && inst != placeholder && light_handle(h, ctx) &&
            destroy_light(h, ctx, inst, tally))
            return;
        destroy_whole(h, ctx, inst, release, tally);
    }
    static void destroy_whole(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t release,
                              Tally *tally) {
        if (inst == nullptr || inst == placeholder) return;
        uint32_t local = 0;
        if (has_flag(inst, QEL_OBJ_OID_MAPPED)) {
            int32_t r = qel_request_oid_mapping_destroy(h, ctx, inst, &local);
            if (local != 0) {
                trace(P::destroy_oid_failed, std::strerror(static_cast<int>(local)));
                qel_store_err(h, local);
                return;
            }
            if (r == 0) { // the runtime cleans up when the last reference goes
                trace(P::destroy_has_references);
                return;
            }
            trace(P::destroy_oid_removed);
        }
        if constexpr (kElement)
            if (link(inst)->list != nullptr) leave_list(h, ctx, inst);
        // The fields of the instance's variant are released; so is whatever
        // a field beyond it still owns (a decoding from an older writer
        // lowers the variant and keeps the later fields as they were), as
        // long as the memory is laid out for that field.
        const int8_t iv = hdr(inst).instance_variant;
        const auto lv = static_cast<int8_t>(layout(inst));
        auto present = [&](auto k) { return decltype(k)::d.variant <= iv; };
        auto kept = [&](auto k) { return decltype(k)::d.variant <= lv; };
        if (any_field<T>([&](auto k) {
                using K = decltype(k);
                if (!present(k) && !(kept(k) && K::owns(h, ctx, inst))) return false;
                if constexpr (K::d.kind == FieldKind::Record)
                    return !K::release(h, ctx, inst, &local, tally);
                else
                    return !K::release(h, ctx, inst, &local);
            }))
            return;
        if (has_flag(inst, QEL_OBJ_STATE_TRACKED)) {
            if (!has_flag(inst, QEL_OBJ_STTR_OFFSET)) tracks(h, P::destroy_corrupted);
            if (iv >= 0 || kFlagBlocks) {
                uint8_t *a = area(h, ctx, inst);
                each_field<T>([&](auto k) {
                    using K = decltype(k);
                    if (present(k) || (kept(k) && K::owns_flags(inst, a)))
                        K::release_flags(h, ctx, inst, a);
                });
            }
        }
        qel_type_info_t *rec = (h->features & QEL_FEATURE_PLAIN_CODECS) != 0
                                   ? hdr(inst).type_info
                                   : qel_get_manifested_type_info(inst);
        if (rec == nullptr || rec->magic != QEL_TYPE_INFO_MAGIC) fatal(P::destroy_bad_tinfo);
        const qel_variant_info_t *vi = rec->variant_info;
        if (vi == nullptr) fatal(P::destroy_no_varinfo);
        if (vi->count < iv)
            trace(P::destroy_variant_range, static_cast<uint32_t>(iv),
                  static_cast<uint32_t>(vi->count));
        count_instance(h, ctx, rec, entry(vi, iv), false, &local, tally);
        if (has_flag(inst, QEL_OBJ_STTR_OFFSET | QEL_OBJ_RA_DATA) && h->per_object_mapping != 0) {
            local = 0;
            qel_hd_mapping_destroy(h, ctx, inst, &local);
            if (local != 0) {
                trace(P::destroy_mapping_failed, std::strerror(static_cast<int>(local)));
                qel_store_err(h, local);
                return;
            }
        }
        if (release == 0) return; // embedded: the memory is the parent's
        if (db_recording(h, ctx)) qeldb_plat_set_destroy(h, ctx, inst);
        qel_instance_header_t &hd = hdr(inst);
        if ((hd.obj_flags & QEL_OBJ_OWNS_TYPE_INFO) != 0 && hd.type_info != nullptr)
            h->free(h->alloc_ctx, ctx, hd.type_info);
        announce(h, &hd.type_info, sizeof hd.type_info, ctx, inst);
        hd.type_info = nullptr;
        free_instance(h, ctx, inst);
    }
    // ---- A light destruction ----------------------------------------------------------
    // An instance made and kept as a fresh instance is (no object mapping,
    // state flags, ra data or record copy of its own, nested records alike),
    // on a handle that lets the library read records from headers, keep
    // plain objects and count itself, with no write notification or
    // database to hear of it: its destruction is its fields' releases and
    // its counts, in the order the whole way makes them, and its memory,
    // which is what the rest of destroy_internal does for it.
    static bool light_handle(const qel_handle_t *h, uint32_t ctx) {
        constexpr uint32_t kNeed =
            QEL_FEATURE_PLAIN_CODECS | QEL_FEATURE_PLAIN_OBJECTS | QEL_FEATURE_PLAIN_STATS;
        return (h->features & kNeed) == kNeed && h->write_notify == nullptr &&
               !db_recording(h, ctx);
    }
    static bool plain_kept(const void *inst) {
        constexpr uint8_t kHeavy = QEL_OBJ_OID_MAPPED | QEL_OBJ_STATE_TRACKED |
                                   QEL_OBJ_STTR_OFFSET | QEL_OBJ_RA_DATA |
                                   QEL_OBJ_OWNS_TYPE_INFO;
        const qel_instance_header_t &hd = hdr(inst);
        if ((hd.obj_flags & kHeavy) != 0 || hd.type_info != record(T)) return false;
        return !any_field<T>([&](auto k) {
            using K = decltype(k);
            if constexpr (K::d.kind == FieldKind::Record)
                return !Struct<K::R>::plain_kept(K::field(inst));
            else return false;
        });
    }
    // The fields of the instance's variant are released, and those beyond
    // it that still hold something (a nested record with its own releases
    // and count), then the instance is counted.
    static void release_light(qel_handle_t *h, uint32_t ctx, void *inst, Tally *tally) {
        const int8_t iv = hdr(inst).instance_variant;
        const auto lv = static_cast<int8_t>(layout(inst));
        each_field_inline<T>([&](auto k) __attribute__((always_inline)) {
            using K = decltype(k);
            // Values, enumerations, texts, fixed arrays and (plain) interface
            // handles have nothing to give back.
            constexpr FieldKind kind = K::d.kind;
            if constexpr (kind != FieldKind::String && kind != FieldKind::VarArray &&
                          kind != FieldKind::List && kind != FieldKind::Record)
                return;
            if (K::d.variant > iv && !(K::d.variant <= lv && K::owns(h, ctx, inst))) return;
            if constexpr (kind == FieldKind::Record) {
                Struct<K::R>::release_light(h, ctx, K::field(inst), tally);
            } else {
                // Nothing of a plain instance refuses.  An empty list has
                // nothing to give back, and nobody hears its count cleared.
                uint32_t none = 0;
                if (kind != FieldKind::List || K::owns(h, ctx, inst))
                    K::release(h, ctx, inst, &none);
            }
        });
        const qel_variant_info_t *vi = record(T)->variant_info;
        if (vi->count < iv)
            trace(P::destroy_variant_range, static_cast<uint32_t>(iv),
                  static_cast<uint32_t>(vi->count));
        uint32_t local = 0;
        count_instance(h, ctx, record(T), entry(vi, iv), false, &local, tally);
    }
    // False, with nothing done, for an instance that is not so kept or that
    // is still in a list.
    static bool destroy_light(qel_handle_t *h, uint32_t ctx, void *inst, Tally *tally) {
        if constexpr (kElement)
            if (link(inst)->list != nullptr) return false;
        if (!plain_kept(inst)) return false;
        release_light(h, ctx, inst, tally);
        hdr(inst).type_info = nullptr;
        free_instance(h, ctx, inst);
        return true;
    }

    static void destroy(qel_handle_t *h, uint32_t ctx, void *inst) {
        if (inst == placeholder) return;
        destroy_internal(h, ctx, inst, 1);
    }
    static void destroy_cr(qel_handle_t *h, void *inst) {
        destroy_internal(h, h->cur_ctx_id, inst, 1);
    }

    // ---- Sizes and variants -----------------------------------------------------------

    static uint32_t size_of(qel_handle_t *h) {
        return t.alloc_size() + (tracks(h, P::sizeof_corrupted) ? t.state[kHighest] : 0);
    }
    static uint32_t sizeof_internal(qel_handle_t *h, const void *inst, int32_t with_state,
                                    int32_t state_only) {
        const uint32_t lv = inst != nullptr ? layout(inst) : static_cast<uint32_t>(kHighest);
        const bool on = tracks(h, P::sizeof_internal_corrupted);
        if (h->sttr == nullptr) return state_only != 0 ? 0 : t.alloc_size();
        if (!on) return state_only != 0 ? 0 : t.base[lv];
        if (state_only != 0) return t.state[lv];
        return t.base[lv] + (with_state != 0 ? t.state[lv] : 0);
    }
    static uint32_t variant_data_index_cap(uint32_t variant) {
        auto low = static_cast<int8_t>(variant & 0xFFu);
        return (variant & ~0xFFu) | static_cast<uint8_t>(cap(low));
    }
    static int32_t adjust_variant(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        return qellib_adjust_variant(h, ctx, inst,
                                     inst != nullptr ? qel_get_manifested_type_info(inst) : nullptr,
                                     kHighest, err);
    }
    static int32_t offset_update(qel_handle_t *h, uint32_t ctx, void *inst, void *base) {
        int32_t r = 0;
        each_field<T>([&](auto k) {
            if constexpr (decltype(k)::d.kind == FieldKind::Record)
                r = decltype(k)::record_offset(h, ctx, inst, static_cast<uint8_t *>(base));
        });
        return r;
    }
    static int32_t offset_remove(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        each_field<T>([&](auto k) { decltype(k)::remove_offset(h, ctx, inst, err); });
        return 0;
    }
    static uintptr_t get_luid(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d, uintptr_t e,
                              uintptr_t f) {
        return qel_get_luid(a, b, c, d, e, f);
    }

    // ---- Whole objects ------------------------------------------------------------------

    static void *get(qel_handle_t *h, uint32_t ctx, void *inst) {
        contain(h, ctx, inst, nullptr);
        return inst;
    }

    // Fields beyond the instance variant keep their out pointers untouched.
    static void get_all(qel_handle_t *h, uint32_t ctx, void *inst, void *const *outs,
                        uint32_t *err) {
        if (!enter(h, err)) return;
        if (inst == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        const int8_t iv = hdr(inst).instance_variant;
        uint32_t n = 0;
        each_field<T>([&](auto k) {
            using K = decltype(k);
            if constexpr (K::kInGetAll) {
                void *out = outs[n++];
                if (K::d.variant <= iv && out != nullptr) K::get_all(h, ctx, inst, out, err);
            }
        });
    }
    // Stores without marking any state flag.
    static void set_all(qel_handle_t *h, uint32_t ctx, void *inst, const uint32_t *values,
                        uint32_t *err) {
        if (!enter(h, err)) return;
        if (inst == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        adjust(h, ctx, inst, err);
        const int8_t iv = hdr(inst).instance_variant;
        uint32_t n = 0;
        each_field<T>([&](auto k) {
            using K = decltype(k);
            if constexpr (K::kInSetAll) {
                uint32_t v = values[n++];
                if (K::d.variant <= iv) K::set_all(h, ctx, inst, v, err);
            }
        });
    }

    // Frees what the instance owns, before it is overwritten by a move.
    static void drop(qel_handle_t *h, uint32_t ctx, void *inst) {
        each_field<T>([&](auto k) { decltype(k)::drop(h, ctx, inst); });
    }
    // After dst received src's bytes: src gives up its blocks and elements.
    static void clear_source(qel_handle_t *h, uint32_t ctx, void *dst, void *src, uint32_t *err) {
        each_field<T>([&](auto k) { decltype(k)::clear_source(h, ctx, dst, src, err); });
    }
    static void fill_flags(void *inst, uint8_t *area, uint8_t value) {
        each_field<T>([&](auto k) { decltype(k)::fill_flags(inst, area, value); });
    }
    // The header bits that say where an instance lies and where its state
    // area is: they belong to the memory, not to the contents a whole-object
    // set moves.
    static constexpr uint8_t kOwn = QEL_OBJ_STTR_OFFSET | QEL_OBJ_STATE_TRACKED | QEL_OBJ_NESTED |
                                    QEL_OBJ_EMBEDDED | kObjInRun;
    // The instance's own bits and those of its nested records, depth first.
    static void save_own(const void *inst, uint8_t *&out) {
        *out++ = hdr(inst).obj_flags & kOwn;
        each_field<T>([&](auto k) { decltype(k)::save_own(inst, out); });
    }
    static void restore_own(void *inst, const uint8_t *&in) {
        hdr(inst).obj_flags = static_cast<uint8_t>((hdr(inst).obj_flags & ~kOwn) | *in++);
        each_field<T>([&](auto k) { decltype(k)::restore_own(inst, in); });
    }

    // Moves src into dst: dst's former contents are freed, dst takes src's
    // bytes (keeping its own state-area bits and, for a list element, its own
    // place in a list) and, when both have one, its state flags; src is left
    // without owned contents.  A pending error does not stop it.
    static void set(qel_handle_t *h, uint32_t ctx, void *dst, void *src, uint32_t *err) {
        if (dst == nullptr || src == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        adjust(h, ctx, dst, err);
        if (dst == src) return;
        if (hdr(dst).instance_variant < hdr(src).instance_variant ||
            hdr(dst).layout_variant != hdr(src).layout_variant) {
            epoch(h, err);
            return;
        }
        const bool on = tracks(h, P::set_corrupted);
        drop(h, ctx, dst);
        // The destination keeps its place: its state-area bits (and those of
        // its nested records) and, for a list element, the list it is in.
        uint8_t own[8];
        uint8_t *o = own;
        save_own(dst, o);
        const bool dst_tracked = has_flag(dst, QEL_OBJ_STATE_TRACKED);
        Link place{};
        if constexpr (kElement) place = *link(dst);
        announce(h, dst, h->sttr != nullptr ? base_size(dst) : t.alloc_size(), ctx, dst);
        std::memcpy(dst, src, base_size(src));
        const uint8_t *in = own;
        restore_own(dst, in);
        if constexpr (kElement) *link(dst) = place;
        if (on) {
            if (!dst_tracked) {
                fail(h, err, QEL_EINVAL);
                trace(P::set_not_tracked);
            } else if (has_flag(src, QEL_OBJ_STATE_TRACKED)) {
                uint8_t *da = area(h, ctx, dst);
                offset_update(h, ctx, dst, da);
                announce(h, da, area_size(dst), ctx, dst);
                std::memcpy(da, area(h, ctx, src), area_size(dst));
            }
        }
        clear_source(h, ctx, dst, src, err);
    }
    static void post_copyout_cleanup(qel_handle_t *h, uint32_t ctx, void *dst, void *src,
                                     uint32_t *err) {
        if (!enter(h, err)) return;
        if (dst == nullptr || src == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        if (dst == src) return; // an instance keeps its own contents
        clear_source(h, ctx, dst, src, err);
    }

    static void set_all_state_tracking_flag(qel_handle_t *h, uint32_t ctx, void *inst,
                                            uint32_t value) {
        if (inst == nullptr || tracking(h) != Tracking::On ||
            !has_flag(inst, QEL_OBJ_STATE_TRACKED))
            return;
        fill_flags(inst, area(h, ctx, inst), static_cast<uint8_t>(value));
    }

    // Field numbers count every field, a list taking two; each variant after
    // the first adds a block of numbers.
    static int32_t is_valid_cr(qel_handle_t *h, const void *inst, uint32_t field, int32_t flags) {
        int8_t v = cap(domain_lookup(h, record(T), &h->err));
        if ((flags & 1) == 0 && inst != nullptr && hdr(inst).instance_variant < v)
            v = hdr(inst).instance_variant;
        for (int8_t k = 0; k <= kHighest; ++k)
            if (field < t.index_end[k]) return v >= k ? 1 : 0;
        return 0;
    }

    // List element types: the owner of the list the element is in.
    static void *get_parent(qel_handle_t *h, uint32_t, void *elem, uint32_t *err) {
        if (!enter(h, err)) return nullptr;
        if (elem == nullptr) {
            fail(h, err, QEL_EINVAL);
            return nullptr;
        }
        if (qel_get_instance_variant(elem, 1, 0) < 0) {
            epoch(h, err);
            return nullptr;
        }
        auto *hd = static_cast<Head *>(link(elem)->list);
        return hd != nullptr ? hd->parent : nullptr;
    }
};

} // namespace drov::structs
