// The wire form by field kind: what each kind writes into an encoding, how
// it reads itself back, and how many bytes it may need.  The type-level
// walks over these members are Wire<T> in structs/wire.h.
//
// Primitive values and the header items go through the runtime's own
// coders (their byte order and widths are the runtime's); characters of
// strings, variable-array elements and runs of state flags are copied as
// blocks.
#pragma once

#include <algorithm>
#include <optional>

#include "structs/struct_ops.h"

namespace drov::structs {

template <uint32_t T> struct Wire;

// The object-flag bits an encoding carries: state flags follow the fields,
// and an ra data block follows the flag byte.
inline constexpr uint8_t kWireFlags = QEL_OBJ_STATE_TRACKED | QEL_OBJ_RA_DATA;

// ---- The runtime's coders of one primitive type ----------------------------------

// Each also knows the standard encoding (QEL_FEATURE_PLAIN_CODECS): its
// width and the big-endian bytes of a value, which the library then writes
// and reads itself.
template <unsigned W> inline void store_be(uint8_t *p, uint32_t v) {
    if constexpr (W == 4) {
        const uint32_t be = __builtin_bswap32(v);
        std::memcpy(p, &be, 4);
    } else if constexpr (W == 2) {
        const uint16_t be = __builtin_bswap16(static_cast<uint16_t>(v));
        std::memcpy(p, &be, 2);
    } else {
        p[0] = static_cast<uint8_t>(v);
    }
}
template <unsigned W> inline uint32_t load_be(const uint8_t *p) {
    if constexpr (W == 4) {
        uint32_t be;
        std::memcpy(&be, p, 4);
        return __builtin_bswap32(be);
    } else if constexpr (W == 2) {
        uint16_t be;
        std::memcpy(&be, p, 2);
        return __builtin_bswap16(be);
    } else {
        return p[0];
    }
}

#define DROV_CODEC(NAME, TYPE, CTYPE, WIRE, TO_WIRE, FROM_WIRE)                                    \
    struct NAME {                                                                                  \
        using V = CTYPE;                                                                           \
        static constexpr unsigned kWire = WIRE;                                                    \
        static uint32_t put(qel_handle_t *h, uint32_t ctx, uint8_t *buf, const V *v, int32_t len,  \
                            uint32_t *err) {                                                       \
            return TYPE##_marshal(h, ctx, buf, v, len, err);                                       \
        }                                                                                          \
        static uint32_t get(qel_handle_t *h, uint32_t ctx, const uint8_t *buf, V *v, int32_t len,  \
                            uint32_t update, uint32_t *err) {                                      \
            return TYPE##_unmarshal(h, ctx, buf, v, len, update, err);                             \
        }                                                                                          \
        static uint32_t size() { return TYPE##_len(); }                                            \
        static void store(uint8_t *buf, V v) { store_be<WIRE>(buf, TO_WIRE); }                     \
        static V load(const uint8_t *buf) {                                                        \
            const uint32_t w = load_be<WIRE>(buf);                                                 \
            return static_cast<V>(FROM_WIRE);                                                      \
        }                                                                                          \
    };
DROV_CODEC(CodecU8, u_int8, u_int8, 1, v, w)
DROV_CODEC(CodecU16, u_int16, u_int16, 2, v, w)
DROV_CODEC(CodecU32, u_int32, u_int32, 4, v, w)
DROV_CODEC(CodecBool, qel_boolean, qel_boolean, 1, v != 0, w != 0) // non-zero travels as 1
DROV_CODEC(CodecIfHandle, if_handle, if_handle, 4, v, w)
DROV_CODEC(CodecChar, char, char, 1, static_cast<uint8_t>(v), w)
#undef DROV_CODEC

// The header items and the list count, the same way.
#define DROV_ITEM_CODEC(NAME, ITEM, CTYPE, WIRE)                                                   \
    struct NAME {                                                                                  \
        using V = CTYPE;                                                                           \
        static constexpr unsigned kWire = WIRE;                                                    \
        static uint32_t put(qel_handle_t *h, uint32_t ctx, uint8_t *buf, const V *v, int32_t len,  \
                            uint32_t *err) {                                                       \
            return ITEM##_marshal(h, ctx, buf, v, len, err);                                       \
        }                                                                                          \
        static uint32_t get(qel_handle_t *h, uint32_t ctx, const uint8_t *buf, V *v, int32_t len,  \
                            uint32_t, uint32_t *err) {                                             \
            return ITEM##_unmarshal(h, ctx, buf, v, len, err);                                     \
        }                                                                                          \
        static void store(uint8_t *buf, V v) { store_be<WIRE>(buf, static_cast<uint32_t>(v)); }    \
        static V load(const uint8_t *buf) { return static_cast<V>(load_be<WIRE>(buf)); }           \
    };
DROV_ITEM_CODEC(CodecVariant, _qel_instance_variant, int8_t, 1)
DROV_ITEM_CODEC(CodecObjFlags, _qel_instance_obj_flag, uint8_t, 1)
DROV_ITEM_CODEC(CodecJump, _qel_variant_jump, uint32_t, 4)
DROV_ITEM_CODEC(CodecCount, _qel_list_len, uint32_t, 4)
#undef DROV_ITEM_CODEC

template <class Prim> struct CodecOf;
template <> struct CodecOf<PrimU8> { using type = CodecU8; };
template <> struct CodecOf<PrimU16> { using type = CodecU16; };
template <> struct CodecOf<PrimU32> { using type = CodecU32; };
template <> struct CodecOf<PrimBool> { using type = CodecBool; };
// The coder of a length field, by its width in bytes.
template <uint32_t Width> using CodecOfWidth = typename CodecOf<typename PrimOfWidth<Width>::type>::type;

enum class Mode : uint8_t {
    Marshal, // limited to the variant the handle's domain knows
    Clone,   // the instance's own variant
};

// ---- Encoding ----------------------------------------------------------------------

// What the parts of one encoding share: whether a part was limited to the
// domain's variant (the epoch error is recorded once, at the end), and the
// domain's variant of each type, asked once per encoding.
struct Encoding {
    explicit Encoding(const qel_handle_t *h)
        : plain((h->features & QEL_FEATURE_PLAIN_CODECS) != 0),
          quiet((h->features & QEL_FEATURE_QUIET) != 0) {}
    bool plain; // the runtime's coders are the standard ones
    bool quiet; // the parts need not clear the last error again
    bool epoch = false;
    Domains domains;

    static constexpr bool settled = false;

    int8_t known(qel_handle_t *h, uint32_t type, const qel_type_info_t *rec, uint32_t *err) {
        return domains.get(h, type, rec, err);
    }
};
// The domain's variants of the types an encoding asked about, once it asked
// about every type a part refers to: the parts of a list after those are
// written against these, with nothing left to ask and nothing that can fail
// (`settled`), and whether any was newer than the domain is collected here
// for the encoding.
struct KnownDomains {
    explicit KnownDomains(const Domains &d) { std::memcpy(variant, d.variant, sizeof variant); }
    static constexpr bool quiet = true;
    static constexpr bool settled = true;
    bool epoch = false;
    int8_t variant[schema::kTypeCount];

    int8_t known(qel_handle_t *, uint32_t type, const qel_type_info_t *, uint32_t *) const {
        return variant[type];
    }
};
// Whether the runtime encodes a u_int8 or a char in one byte: a run of
// them is then the bytes themselves (one byte in network order is the
// value), copied as one block rather than one call per byte.
inline bool one_byte(uint32_t (*width)()) { return width() == 1; }

#define DROV_INLINE [[gnu::always_inline]] inline

// The cursor of one instance's encoding.  Room is always the buffer length
// minus the offset; nothing is written once the error word is set.  The
// writer keeps its own copy of the error word (`status`), brought up to
// date after every call that may set it, so that the bytes it stores into
// the caller's buffer never make it read the word again.  `Sure`: the
// standard coders, no state flags, and room for every fixed-size item of
// the instance known to be there, so that no write of one can run short.
// A writer with KnownDomains (`Enc::settled`) is sure and cannot fail: it
// neither asks nor reads the error word.
template <bool Plain, bool Sure = false, class Enc = Encoding> struct WriterOf {
    static_assert(Plain || !Sure);
    static_assert(Sure || !Enc::settled);
    WriterOf(qel_handle_t *h_, uint32_t ctx_, uint8_t *buf_, int32_t len_, uint32_t *err_,
             Enc *enc_)
        : h(h_), ctx(ctx_), buf(buf_), len(len_), err(err_), enc(enc_),
          status(Enc::settled ? 0 : *err_) {}
    static constexpr bool plain = Plain; // the runtime's coders are the standard ones
    static constexpr bool sure = Sure;
    static constexpr bool settled = Enc::settled;
    qel_handle_t *h;
    uint32_t ctx;
    uint8_t *buf;
    int32_t len;
    uint32_t *err;
    Enc *enc;
    uint32_t status;                // the error word as last seen
    bool with_flags = false;        // state-flag bytes follow the fields
    const uint8_t *flags = nullptr; // their source; none: written as 0
    uint32_t off = 0;

    DROV_INLINE int32_t room() const { return len - static_cast<int32_t>(off); }
    DROV_INLINE uint8_t *at() const { return buf + off; }
    DROV_INLINE bool ok() const { return settled || status == 0; }
    // After a call that was given the error word.
    DROV_INLINE void sync() {
        if constexpr (!settled) status = *err;
    }
    DROV_INLINE void failed(uint32_t code) {
        fail(h, err, code);
        status = code;
    }

    // A value by its coder: the standard bytes written here when the
    // runtime says its coders are the standard ones, else the runtime's
    // call; either way a short room is 90 and writes nothing.
    template <class C> DROV_INLINE uint32_t put(const typename C::V *v) {
        uint32_t n;
        if constexpr (Plain) {
            if (!ok()) return 0;
            if (!Sure && room() < static_cast<int32_t>(C::kWire)) {
                failed(QEL_EMSGSIZE);
                return 0;
            }
            C::store(at(), *v);
            n = C::kWire;
        } else {
            n = C::put(h, ctx, at(), v, room(), err);
            sync();
        }
        off += n;
        return n;
    }
    // One state-flag byte, written only when `need` bytes of room are left.
    DROV_INLINE void flag(int32_t index, int32_t need = 1) {
        if (Sure || !with_flags || !ok() || room() < need) return;
        buf[off++] = flags != nullptr ? flags[index] : 0;
    }
    // n bytes of contents; what does not fit is cut, and that is 90.
    DROV_INLINE void block(const uint8_t *src, uint64_t n) {
        if (!ok()) return;
        uint64_t k = n;
        if (n > static_cast<uint64_t>(room())) {
            k = static_cast<uint64_t>(room());
            failed(QEL_EMSGSIZE);
        }
        copy(src, k);
    }
    // N bytes known at compile time: one fixed-size copy when they fit.
    template <uint32_t N> DROV_INLINE void block(const uint8_t *src) {
        if (ok() && (Sure || room() >= static_cast<int32_t>(N))) {
            std::memcpy(at(), src, N);
            off += N;
        } else {
            block(src, N);
        }
    }
    // Element flags: as many of n as fit.
    DROV_INLINE void flag_run(const uint8_t *src, uint64_t n) {
        if (Sure || !with_flags || !ok()) return;
        copy(src, std::min<uint64_t>(n, static_cast<uint64_t>(room())));
    }
    DROV_INLINE void copy(const uint8_t *src, uint64_t k) {
        if (k == 0) return;
        if (src != nullptr) std::memcpy(at(), src, k);
        else std::memset(at(), 0, k);
        off += static_cast<uint32_t>(k);
    }
};

// ---- Decoding ----------------------------------------------------------------------

enum class FlagBytes : uint8_t {
    None, // the encoding has none, or the instance keeps its own
    Read, // copied into the instance's state area
    Skip, // present, and passed over
};

// The cursor of one instance's decoding.  Stores into the instance are
// announced; a state-flag byte or run is read, skipped or absent by `flags`.
// `Fast`: the standard coders on a handle that has no write notification,
// refers instances to the static records and tracks no state (as found
// when the decoding began), so that a store is made as it is, without its
// announcement or the test whether it changes anything; the encoding
// carries no state flags.  `Sure`: moreover
// every fixed-size item of the instance is known to be within the buffer,
// with no state-flag bytes among them, so that no read of one can fail.
template <bool Plain, bool Fast = false, bool Sure = false> struct ReaderOf {
    static_assert(Plain || !Fast);
    static_assert(Fast || !Sure);
    ReaderOf(qel_handle_t *h_, uint32_t ctx_, const uint8_t *buf_, int32_t len_, uint32_t update_,
             uint32_t *err_, void *inst_)
        : h(h_), ctx(ctx_), buf(buf_), len(len_), update(update_), err(err_), inst(inst_),
          status(*err_) {}
    static constexpr bool plain = Plain; // the runtime's coders are the standard ones
    static constexpr bool fast = Fast;
    static constexpr bool sure = Sure;
    qel_handle_t *h;
    uint32_t ctx;
    const uint8_t *buf;
    int32_t len;
    uint32_t update;
    uint32_t *err;
    void *inst;
    uint32_t status;         // the error word as last seen (as Writer's)
    Domains *domains = nullptr; // the operation's memory of the domain, if it keeps one
    FlagBytes flags = FlagBytes::None;
    uint8_t *area = nullptr; // with FlagBytes::Read
    uint64_t body_end = 0;   // the offset the body-length word points to
    bool quiet = false;      // the parts need not clear the last error again
    // The offset reached.  A nested instance or list element whose body
    // length points past the buffer (a cut message) moves it past the end;
    // then no room is left for what follows, and the count returned says
    // how far the message claimed to go.
    uint64_t off = 0;

    DROV_INLINE int32_t left() const {
        return off < static_cast<uint64_t>(len) ? len - static_cast<int32_t>(off) : 0;
    }
    DROV_INLINE const uint8_t *at() const {
        return buf + std::min<uint64_t>(off, static_cast<uint64_t>(len));
    }
    DROV_INLINE bool ok() const { return Sure || status == 0; }
    // After a call that was given the error word.
    DROV_INLINE void sync() { status = *err; }
    DROV_INLINE void failed(uint32_t code) {
        fail(h, err, code);
        status = code;
    }

    // A value by its coder, as the writer's put writes it.
    template <class C> DROV_INLINE bool get(typename C::V *v) {
        if constexpr (Plain) {
            if (!ok()) return false;
            if (!Sure && off + C::kWire > static_cast<uint64_t>(len)) {
                failed(QEL_EMSGSIZE);
                return false;
            }
            *v = C::load(buf + off);
            off += C::kWire;
            return true;
        } else {
            uint32_t n = C::get(h, ctx, at(), v, left(), update, err);
            sync();
            off += n;
            return n != 0;
        }
    }
    // A primitive value of the instance: decoded beside it, then stored
    // (and announced) when it changed, whatever the runtime's coder does
    // with its destination.
    template <class C> DROV_INLINE void get_field(typename C::V *slot) {
        typename C::V v = *slot;
        if (get<C>(&v)) store(slot, v);
    }
    // Stores v into the instance unless it is there already.
    template <class V> DROV_INLINE void store(V *slot, V v) {
        if constexpr (!Fast) {
            if (*slot == v) return;
            announce(h, slot, sizeof *slot, ctx, inst);
        }
        *slot = v;
    }
    // Announces n bytes at addr about to change, of `owner`.
    DROV_INLINE void note(const void *addr, uint32_t n, const void *owner) {
        if constexpr (!Fast) announce(h, addr, n, ctx, owner);
    }
    // The record an instance of the decoding refers to.
    DROV_INLINE qel_type_info_t *record_of(qel_type_info_t *rec) {
        if constexpr (Fast) return rec;
        return instance_record(h, ctx, rec);
    }
    // A state-flag byte is there when it lies within the instance's body as
    // its body-length word tells, and within the buffer.  (The writer drops
    // a flag it has no room for, a list's already with one byte left; the
    // body length says what it wrote, whatever the reader's buffer length.)
    DROV_INLINE uint64_t flag_room() const {
        if (Fast || flags == FlagBytes::None || !ok() || off >= body_end) return 0;
        return std::min<uint64_t>(body_end - off, static_cast<uint64_t>(left()));
    }
    DROV_INLINE void flag(int32_t index) {
        if (flag_room() == 0) return;
        if (flags == FlagBytes::Read) store(area + index, buf[off]);
        ++off;
    }
    // A run of up to n element flags, as many as are there.
    void flag_run(uint8_t *dst, uint64_t n) {
        uint64_t k = std::min<uint64_t>(n, flag_room());
        if (k == 0) return;
        if (flags == FlagBytes::Read && dst != nullptr) {
            note(dst, static_cast<uint32_t>(k), inst);
            std::memcpy(dst, at(), k);
        }
        off += static_cast<uint32_t>(k);
    }

    // n bytes into the instance, as many as are left; fewer is 90.
    void take(void *dst, uint32_t n) {
        if (!ok()) return;
        const auto k = static_cast<uint32_t>(std::min<uint64_t>(n, static_cast<uint64_t>(left())));
        note(dst, k, inst);
        std::memcpy(dst, at(), k);
        off += k;
        if (k < n) failed(QEL_EMSGSIZE);
    }
    // N bytes known at compile time: one fixed-size copy when all are there.
    template <uint32_t N> DROV_INLINE void take(void *dst) {
        if (Sure || (ok() && off + N <= static_cast<uint64_t>(len))) {
            note(dst, N, inst);
            std::memcpy(dst, buf + off, N);
            off += N;
        } else {
            take(dst, N);
        }
    }

    // Frees an owned block and forgets it.  `chars`: the instance whose
    // string the block holds (its characters may lie in its run).
    void drop(void **slot, const void *chars = nullptr) {
        note(slot, sizeof *slot, inst);
        free_chars(h, ctx, chars, *slot);
        *slot = nullptr;
    }
    // Puts a new block of `size` bytes in place of the old one.  When none
    // can be had the field is left empty (its length 0: a length must not
    // promise a block that is not there) and 12 is reported.
    template <class L> DROV_INLINE bool replace(void **slot, uint64_t size, L *length, void *chars = nullptr) {
        if (*slot != nullptr) free_chars(h, ctx, chars, *slot);
        note(slot, sizeof *slot, inst);
        *slot = size <= UINT32_MAX ? chars_block(h, ctx, chars, static_cast<uint32_t>(size))
                                   : nullptr;
        if (*slot != nullptr) return true;
        store(length, L{0});
        failed(QEL_ENOMEM);
        return false;
    }
};

// What `len` counts for an instance (null: no instance given).
struct Sizer {
    qel_handle_t *h;
    uint32_t ctx;
    bool flags; // the handle tracks state and an instance is given
    uint32_t flag() const { return flags ? 1 : 0; }
};

// ---- The kinds -----------------------------------------------------------------------
// Each kind has put (encode), get (decode; false stops the decoding after an
// allocation failure), size (its share of `len`) and kFixed: the bytes it
// always takes under the standard coders, or kVaries when its encoding says
// its own length.  A length field is
// written and read by its string or array, which needs its old value.

template <class K> struct WireOf;
inline constexpr int32_t kVaries = -1;

template <class F, class C> struct WirePrimitive {
    static constexpr int32_t kFlag = F::d.state_index;
    static constexpr int32_t kFixed = C::kWire;
    using V = typename C::V;
    static V *slot(const void *inst) { return const_cast<V *>(at<V>(inst, F::d.offset)); }

    template <class Out> DROV_INLINE static void put(Out &w, const void *inst) {
        w.template put<C>(slot(inst));
        w.flag(kFlag);
    }
    template <class In> DROV_INLINE static bool get(In &r, void *inst) {
        r.template get_field<C>(slot(inst));
        r.flag(kFlag);
        return true;
    }
    static uint64_t size(const Sizer &s, const void *) { return C::size() + s.flag(); }
};

template <class F, class Prim>
struct WireOf<Scalar<F, Prim>> : WirePrimitive<F, typename CodecOf<Prim>::type> {};
template <class F> struct WireOf<Boolean<F>> : WirePrimitive<F, CodecBool> {};
template <class F> struct WireOf<IfHandle<F>> : WirePrimitive<F, CodecIfHandle> {};

template <class F> struct WireOf<Length<F>> {
    static constexpr int32_t kFixed = 0; // written by its string or array
    template <class Out> DROV_INLINE static void put(Out &, const void *) {}
    template <class In> DROV_INLINE static bool get(In &, void *) { return true; }
    static uint64_t size(const Sizer &, const void *) { return CodecOfWidth<F::d.width>::size(); }
};

// An embedded enumeration, by the enumeration's own coders.
template <class F> struct WireOf<EnumField<F>> {
    using K = EnumField<F>;
    static constexpr int32_t kFlag = F::d.state_index;
    static constexpr int32_t kFixed = CodecVariant::kWire + CodecU32::kWire;
    static enums::Instance *slot(const void *inst) {
        return const_cast<enums::Instance *>(at<enums::Instance>(inst, F::d.offset));
    }

    // An enumeration newer than the domain is written in the domain's
    // variant like every other part; the epoch error is the encoding's.
    // Under standard coders the enumeration's own encoding is written and
    // read here, step for step as its marshal and unmarshal do it.
    template <class Out> DROV_INLINE static void put(Out &w, const void *inst) {
        if (!w.ok()) return;
        constexpr uint32_t kRef = static_cast<uint32_t>(F::d.ref);
        const enums::Instance *e = slot(inst);
        const int8_t domain = w.enc->known(w.h, kRef, e->type_info, w.err);
        w.sync();
        if constexpr (Out::plain) {
            if (!w.ok()) return;
            if (!w.enc->quiet) qel_clear_last_error(w.h);
            int8_t v = e->instance_variant;
            const bool newer = v > domain;
            if (newer) v = domain;
            if (v > 0) v = 0; // an enumeration has the one variant 0
            w.template put<CodecVariant>(&v);
            const uint32_t wire = enums::to_internal(K::kNumbering, e->value);
            w.template put<CodecU32>(&wire);
            w.enc->epoch |= newer;
        } else {
            bool newer = false;
            w.off += enums::marshal_known(K::type(), w.h, w.ctx, w.at(), e, w.room(), domain,
                                          &newer, w.err);
            w.sync();
            w.enc->epoch |= newer;
        }
        w.flag(kFlag);
    }
    template <class In> DROV_INLINE static bool get(In &r, void *inst) {
        enums::Instance *e = slot(inst);
        if constexpr (In::plain) {
            if (r.ok()) {
                if (!r.quiet) qel_clear_last_error(r.h);
                int8_t v;
                if (r.template get<CodecVariant>(&v)) {
                    if (v > e->layout_variant) v = e->layout_variant;
                    if (e->instance_variant != v) {
                        r.note(&e->instance_variant, 1, e);
                        e->instance_variant = v;
                    }
                    r.note(&e->type_info, sizeof e->type_info, e);
                    e->type_info = r.record_of(record(K::kRef));
                    uint32_t wire;
                    if (r.template get<CodecU32>(&wire)) {
                        r.note(&e->value, sizeof e->value, e);
                        e->value = enums::to_user(K::kNumbering, wire);
                    }
                }
            }
        } else {
            r.off += enums::unmarshal(K::type(), r.h, r.ctx, r.at(), e, r.left(), r.update, r.err);
            r.sync();
        }
        r.flag(kFlag);
        return true;
    }
    static uint64_t size(const Sizer &s, const void *) { return enums::len(K::type()) + s.flag(); }
};

// A nested structure: its complete encoding, then the parent's flag for it.
template <class F> struct WireOf<Record<F>> {
    static constexpr uint32_t R = static_cast<uint32_t>(F::d.ref);
    static constexpr int32_t kFlag = F::d.state_index;
    static constexpr int32_t kFixed = kVaries;
    static void *field(const void *inst) {
        return const_cast<uint8_t *>(bytes(inst) + F::d.offset);
    }

    template <class Out> DROV_INLINE static void put(Out &w, const void *inst) {
        if constexpr (Out::settled) {
            // Its owner's writer made sure it goes flat.
            Wire<R>::put_flat(w, field(inst));
            return;
        } else if constexpr (Out::plain && Wire<R>::kFlatBytes != 0) {
            if (flat(w)) {
                // Within a part that is written flat itself, in place.
                if constexpr (Out::sure) {
                    if (Wire<R>::put_flat(w, field(inst))) {
                        w.flag(kFlag);
                        return;
                    }
                } else if (const uint32_t n = Wire<R>::put_flat(w.h, w.ctx, w.at(), w.room(),
                                                                w.err, *w.enc, field(inst))) {
                    w.off += n;
                    w.flag(kFlag);
                    return;
                }
                w.sync();
            }
        }
        if constexpr (!Out::settled) {
            w.off += Wire<R>::template encode_as<true, Out::plain>(
                w.h, w.ctx, w.at(), field(inst), w.room(), w.err, Mode::Marshal, *w.enc);
            w.sync();
            w.flag(kFlag);
        }
    }
    // Whether the record can be written flat: a quiet runtime (no last
    // error to clear for each part), no state flags, room for all of it.
    template <class Out> DROV_INLINE static bool flat(const Out &w) {
        return w.ok() && w.enc->quiet && !w.with_flags &&
               w.room() >= static_cast<int32_t>(Wire<R>::kFlatBytes);
    }
    template <class In> DROV_INLINE static bool get(In &r, void *inst) {
        if (Wire<R>::read_within(r, field(inst))) return true; // no flag where it is so
        r.off += Wire<R>::part(r, field(inst));
        r.sync();
        r.flag(kFlag);
        return true;
    }
    static uint64_t size(const Sizer &s, const void *inst) {
        return Wire<R>::len(s.h, s.ctx, inst != nullptr ? field(inst) : nullptr) + s.flag();
    }
};

// A string with its length field: the length, then exactly that many
// characters and (when not empty) the string's flag.
template <class F> struct WireOf<String<F>> {
    using W = typename String<F>::W;
    using C = CodecOfWidth<sizeof(W)>;
    static constexpr int32_t kFlag = F::d.state_index;
    static constexpr int32_t kFixed = kVaries;
    static W *length(const void *inst) { return const_cast<W *>(at<W>(inst, F::d.length_offset)); }
    static char **block(const void *inst) {
        return const_cast<char **>(at<char *>(inst, F::d.offset));
    }

    template <class Out> DROV_INLINE static void put(Out &w, const void *inst) {
        const W n = *length(inst);
        w.template put<C>(&n);
        if (n == 0) return;
        w.block(reinterpret_cast<const uint8_t *>(*block(inst)), n);
        w.flag(kFlag);
    }

    // The characters present are taken; a length claiming more than the
    // buffer holds is cut to what it holds.
    template <class In> DROV_INLINE static bool get(In &r, void *inst) {
        W *len = length(inst);
        const W old = *len;
        W n;
        if (!r.template get<C>(&n)) return true;
        const auto m = static_cast<W>(std::min<uint64_t>(n, static_cast<uint64_t>(r.left())));
        void **p = reinterpret_cast<void **>(block(inst));
        if (m == 0) {
            if (*p != nullptr) r.drop(p, inst);
            r.store(len, W{0});
            return true;
        }
        if (r.update != 0 && m == old && *p != nullptr)
            r.note(*p, static_cast<uint32_t>(m) + 1, inst);
        else if (!r.replace(p, (uint64_t{m} + 1) * char_sizeof(), len, inst))
            return false;
        auto *chars = static_cast<uint8_t *>(*p);
        copy_short(chars, r.at(), m);
        chars[m] = 0;
        r.off += m;
        r.store(len, m);
        r.flag(kFlag);
        return true;
    }
    static uint64_t size(const Sizer &s, const void *inst) {
        const uint64_t n = inst != nullptr ? *length(inst) : 0;
        return n * char_len() + (s.flags ? 1 + n : 0);
    }
};

// Fixed text: the full capacity, character by character.
template <class F> struct WireOf<Text<F>> {
    static constexpr uint32_t N = F::d.width;
    static constexpr int32_t kFlag = F::d.state_index;
    static constexpr int32_t kFixed = N * CodecChar::kWire;
    static char *chars(const void *inst) { return const_cast<char *>(at<char>(inst, F::d.offset)); }

    template <class Out> DROV_INLINE static void put(Out &w, const void *inst) {
        const char *c = chars(inst);
        if (Out::plain || one_byte(char_len))
            w.template block<N>(reinterpret_cast<const uint8_t *>(c));
        else
            for (uint32_t i = 0; i < N && w.ok(); ++i) w.template put<CodecChar>(c + i);
        w.flag(kFlag);
    }
    template <class In> DROV_INLINE static bool get(In &r, void *inst) {
        char *c = chars(inst);
        if (In::plain || one_byte(char_len))
            r.template take<N>(c);
        else
            for (uint32_t i = 0; i < N && r.ok(); ++i) r.template get_field<CodecChar>(c + i);
        r.flag(kFlag);
        return true;
    }
    static uint64_t size(const Sizer &s, const void *) {
        return uint64_t{N} * char_len() + (s.flags ? 1 + N : 0);
    }
};

// Fixed array: element by element, then the whole-array flag and the
// element flags.
template <class F> struct WireOf<Array<F>> {
    static constexpr uint32_t N = F::d.width;
    static constexpr int32_t kFlag = F::d.state_index;
    static constexpr int32_t kFixed = N * CodecU8::kWire;
    static uint8_t *elems(const void *inst) {
        return const_cast<uint8_t *>(bytes(inst) + F::d.offset);
    }

    template <class Out> DROV_INLINE static void put(Out &w, const void *inst) {
        const uint8_t *e = elems(inst);
        if (Out::plain || one_byte(u_int8_len))
            w.template block<N>(e);
        else
            for (uint32_t i = 0; i < N && w.ok(); ++i) w.template put<CodecU8>(e + i);
        w.flag(kFlag);
        w.flag_run(w.flags != nullptr ? w.flags + kFlag + 1 : nullptr, N);
    }
    template <class In> DROV_INLINE static bool get(In &r, void *inst) {
        uint8_t *e = elems(inst);
        if (In::plain || one_byte(u_int8_len))
            r.template take<N>(e);
        else
            for (uint32_t i = 0; i < N && r.ok(); ++i) r.template get_field<CodecU8>(e + i);
        r.flag(kFlag);
        r.flag_run(r.area != nullptr ? r.area + kFlag + 1 : nullptr, N);
        return true;
    }
    static uint64_t size(const Sizer &s, const void *) {
        return uint64_t{N} * u_int8_len() + (s.flags ? 1 + N : 0);
    }
};

// The variable array: its length, the elements as one block, then the
// whole-array flag and the element flags from their own block.
template <class F> struct WireOf<VarArray<F>> {
    using K = VarArray<F>;
    static constexpr uint32_t T = F::type;
    static constexpr int32_t kFlag = F::d.state_index;
    static constexpr int32_t kFixed = kVaries;
    static uint32_t *length(const void *inst) {
        return const_cast<uint32_t *>(at<uint32_t>(inst, F::d.length_offset));
    }
    static uint8_t **elems(const void *inst) {
        return const_cast<uint8_t **>(at<uint8_t *>(inst, F::d.offset));
    }

    template <class Out> DROV_INLINE static void put(Out &w, const void *inst) {
        const uint32_t n = *length(inst);
        w.template put<CodecU32>(&n);
        if (n == 0) return;
        w.block(*elems(inst), n);
        w.flag(kFlag);
        if (w.with_flags)
            w.flag_run(w.flags != nullptr ? *K::flags_of(const_cast<uint8_t *>(w.flags)) : nullptr,
                       n);
    }

    template <class In> DROV_INLINE static bool get(In &r, void *inst) {
        uint32_t *len = length(inst);
        const uint32_t old = *len;
        uint32_t n;
        if (!r.template get<CodecU32>(&n)) return true;
        const auto m = static_cast<uint32_t>(std::min<uint64_t>(n, static_cast<uint64_t>(r.left())));
        void **p = reinterpret_cast<void **>(elems(inst));
        if (m == 0) {
            if (*p != nullptr) r.drop(p);
            r.store(len, 0u);
            return true;
        }
        const bool reuse = r.update != 0 && m == old && *p != nullptr;
        if (reuse)
            r.note(*p, m, inst);
        else if (!r.replace(p, uint64_t{m} * u_int8_sizeof(), len))
            return false;
        copy_block(*p, r.at(), m);
        r.off += m;
        r.store(len, m);
        uint8_t *run = nullptr;
        if (has_flag(inst, QEL_OBJ_STATE_TRACKED)) {
            // The element flags follow the elements: a new set of elements
            // starts with zeroed flags.
            uint8_t *area = Struct<T>::area(r.h, r.ctx, inst);
            uint8_t **fb = K::flags_of(area);
            if (!reuse || *fb == nullptr) {
                if (*fb != nullptr) K::free_flags(r.h, r.ctx, inst, area);
                uint8_t *block;
                if (!K::regrow(r.h, r.ctx, nullptr, 0, m, &block)) {
                    r.failed(QEL_ENOMEM);
                    return false;
                }
                K::store_flags(r.h, r.ctx, inst, area, block);
            } else if (r.flags == FlagBytes::Read) {
                std::memset(*fb, 0, m);
            }
            run = *fb;
        }
        r.flag(kFlag);
        r.flag_run(run, m);
        return true;
    }
    static uint64_t size(const Sizer &s, const void *inst) {
        const uint64_t n = inst != nullptr ? *length(inst) : 0;
        return n * u_int8_len() + (s.flags ? 1 + n : 0);
    }
};

// A list: the count, each element's complete encoding, then the list's flag
// (only with two bytes of room left).
template <class F> struct WireOf<List<F>> {
    using K = List<F>;
    using P = typename F::Points;
    static constexpr uint32_t E = static_cast<uint32_t>(F::d.ref);
    static constexpr int32_t kFlag = F::d.state_index;
    static constexpr int32_t kFixed = kVaries;
    static Head *head(const void *inst) { return const_cast<Head *>(at<Head>(inst, F::d.offset)); }

    template <class Out> DROV_INLINE static void put(Out &w, const void *inst) {
        Head *hd = head(inst);
        const uint32_t count = hd->count;
        w.template put<CodecCount>(&count);
        void *e = hd->first;
        uint32_t i = 0;
        if constexpr (Out::plain && Wire<E>::kFlatBytes != 0) {
            // Elements of a fixed size one after another, each written flat
            // while it can be, when the room takes them all and the runtime
            // is quiet; from the first that cannot, one encoding each.
            if (count != 0 && w.ok() && w.enc->quiet &&
                static_cast<uint64_t>(w.room()) >= uint64_t{count} * Wire<E>::kFlatBytes &&
                !tracks(w.h, Wire<E>::P::marshal_corrupted)) {
                // Once every type an element refers to was asked about, the
                // elements that go flat whole are written against the
                // answers, many in one call.
                std::optional<KnownDomains> known;
                for (; i < count && e != hd && e != nullptr &&
                       static_cast<uint64_t>(w.room()) >= uint64_t{count - i} * Wire<E>::kFlatBytes;
                     ++i) {
                    w.sync();
                    if (!w.ok()) break;
                    if (!known && w.enc->domains.knows(Wire<E>::kFlatTypes))
                        known.emplace(w.enc->domains);
                    if (known) {
                        uint32_t left = count - i;
                        w.off += Wire<E>::put_settled(w.at(), e, left, hd, *known);
                        i = count - left;
                        if (i == count || e == hd || e == nullptr) break;
                    }
                    const uint32_t n =
                        Wire<E>::put_flat(w.h, w.ctx, w.at(), w.room(), w.err, *w.enc, e);
                    if (n == 0) break;
                    w.off += n;
                    e = link(e)->next;
                }
                if (known) w.enc->epoch |= known->epoch;
                w.sync();
            }
        }
        for (; i < count && w.ok() && e != hd && e != nullptr; ++i) {
            w.off += Wire<E>::template encode_as<true, Out::plain>(w.h, w.ctx, w.at(), e, w.room(),
                                                                   w.err, Mode::Marshal, *w.enc);
            w.sync();
            e = link(e)->next;
        }
        w.flag(kFlag, 2);
    }

    // The old elements leave as a removal takes them out, and are destroyed.
    template <class In> static void drop_all(In &r, void *owner) {
        static constexpr UnlinkPoints kPoints{P::drop_links, P::drop_next_prev, P::drop_last,
                                              P::drop_first, P::drop_prev_next};
        Head *hd = head(owner);
        while (!K::empty(hd)) {
            void *e = hd->first;
            K::count_add(r.h, r.ctx, owner, -1);
            unlink(r.h, r.ctx, hd, e, kPoints);
            K::set_list(r.h, r.ctx, e, nullptr);
            contain(r.h, r.ctx, e, owner);
            if (db_recording(r.h, r.ctx)) qeldb_plat_set_detach(r.h, r.ctx, e, 1);
            Struct<E>::destroy_internal(r.h, r.ctx, e, 1);
        }
        announce(r.h, &hd->count, sizeof hd->count, r.ctx, owner);
        hd->count = 0;
    }

    template <class In> DROV_INLINE static bool get(In &r, void *inst) {
        uint32_t count;
        if (r.template get<CodecCount>(&count)) {
            Head *hd = head(inst);
            if (r.update != 0 && count == hd->count) {
                void *e = hd->first;
                for (uint32_t i = 0; i < count && e != hd && e != nullptr; ++i) {
                    r.off += Wire<E>::part(r, e);
                    r.sync();
                    if (!r.ok()) {
                        trace(P::element_failed, std::strerror(static_cast<int>(*r.err)));
                        break;
                    }
                    e = link(e)->next;
                }
            } else {
                if (r.update != 0) drop_all(r, inst);
                if (count != 0) append(r, inst, count);
            }
        }
        r.flag(kFlag);
        return true;
    }
    // Decodes `count` new elements onto the end of the list; an element
    // that cannot be made or decoded ends the loop and is not kept.  Each
    // element takes at least a byte, so the buffer ends the loop long
    // before a count that claims more.
    //
    // Under fresh_copies the elements after the first start as copies of the
    // first one's fresh bytes, which their initialisation would give them,
    // and under a quiet runtime they are linked in without the insertion's
    // checks once one element passed them: the owner's variant stays as the
    // first insertion adjusted it, and a fresh element is in no list.  The
    // copies, and the first element, come out of runs when the runtime
    // allows, each run no larger than what is left of the buffer can fill.
    template <class In> DROV_INLINE static void append(In &r, void *inst, uint32_t count) {
        using S = Struct<E>;
        constexpr uint32_t kSize = S::t.alloc_size();
        constexpr bool kCopyable = self_free(E) && kSize <= 512;
        // The fewest bytes an element's encoding takes: variant, object
        // flags and body length, with the standard coders.
        constexpr uint32_t kLeast = In::plain ? 6 : 1;
        alignas(16) uint8_t fresh[kCopyable ? kSize : 1];
        const bool copies = kCopyable && r.domains != nullptr && fresh_copies(r.h);
        const bool runs = copies && (r.h->features & QEL_FEATURE_INSTANCE_RUNS) != 0;
        RunSlots<kCopyable ? kSize : 8, kLeast, S::kCharSpace> slots;
        bool copied = false; // `fresh` holds the first element's bytes
        bool linked = false; // an insertion passed its checks
        // Where a copy's creations count: each counter hears of every copy
        // as it is made, and takes them all in one addition at the end.
        struct Copies {
            qel_variant_entry_t *counted[S::kRecords] = {};
            uint64_t made = 0;
            ~Copies() {
                if (made != 0)
                    for (qel_variant_entry_t *c : counted)
                        add_count(&c->creates, made);
            }
        } copies_made;
        for (uint32_t i = 0; i < count; ++i) {
            void *slot = nullptr;
            if (runs) slot = slots.take(r.h, r.ctx, count - i, static_cast<uint32_t>(r.left()));
            void *e;
            if (copied) {
                e = slot != nullptr ? slot : r.h->allocate(r.h->alloc_ctx, r.ctx, kSize);
                if (e != nullptr) {
                    copy_block(e, fresh, sizeof fresh);
                    if (r.h->counter_notify != nullptr)
                        for (qel_variant_entry_t *c : copies_made.counted)
                            r.h->counter_notify(r.h->alloc_ctx, &c->creates, 1, r.ctx);
                    ++copies_made.made;
                }
            } else if (slot != nullptr) {
                e = S::make_at(r.h, r.ctx, slot, kSize, r.domains) ? slot : nullptr;
                if (e == nullptr) { // its place goes back
                    hdr(slot).obj_flags |= kObjInRun;
                    free_instance(r.h, r.ctx, slot);
                }
            } else {
                e = S::create_internal(r.h, r.ctx, r.domains);
            }
            if (copies && !copied && e != nullptr && e != S::placeholder) {
                std::memcpy(fresh, e, sizeof fresh);
                hdr(fresh).obj_flags &= static_cast<uint8_t>(~kObjInRun); // where it lies is e's
                qel_variant_entry_t **out = copies_made.counted;
                copied = S::copy_entries(e, out);
            }
            if (slot != nullptr && e != nullptr) hdr(e).obj_flags |= kObjInRun;
            if (e == nullptr || e == S::placeholder) {
                r.failed(QEL_ENOMEM);
                return;
            }
            r.off += Wire<E>::part(r, e);
            r.sync();
            if (r.ok()) {
                if (linked)
                    K::link_last(r.h, r.ctx, inst, e, r.err);
                else
                    K::set_last(r.h, r.ctx, inst, e, r.err, !r.quiet);
                r.sync();
            }
            if (link(e)->list == nullptr) { // not taken into the list
                S::destroy_internal(r.h, r.ctx, e, 1);
                return;
            }
            linked = r.quiet;
        }
    }
    static uint64_t size(const Sizer &s, const void *inst) {
        uint64_t n = CodecU32::size() + s.flag();
        if (inst == nullptr) return n;
        Head *hd = head(inst);
        for (void *e = hd->first; e != hd && e != nullptr; e = link(e)->next)
            n += Wire<E>::len(s.h, s.ctx, e);
        return n;
    }
};

} // namespace drov::structs
