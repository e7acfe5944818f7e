// Walking an encoding without decoding it, and the exact size of one.
//
// The walk reads an encoding the way Wire<T>::decode does (the same items,
// the same state-flag rule, the same jump to where the body length points)
// but keeps nothing: no instance, no allocation.  It is stricter than the
// decoder, which takes what it can: a value, string or array that runs past
// the buffer, a body length that points past it or ends before the fields
// do, a variant byte below -1 and object flags no writer sets are refused.
// So whatever it accepts, unmarshal of exactly the returned count reads
// without error, and to the same end.
//
// One walk per field kind (CheckOf<K>, instantiated per type, field by
// field), over a Walker that fixes two things at compile time:
// whether the runtime's coders are the standard ones (then values are
// bounds checks and inline big-endian loads; else each goes through the
// runtime's coder into a local), and what the walk reports:
//   Fast    nothing; the first walk, which keeps no path and formats nothing
//   Locate  the first problem's place: the field path and a reason in words
//   Parts   as Locate, and every part of the encoding to a callback
// A failed Fast walk is walked again in Locate mode to say where.  The
// Fast walk under the standard coding takes nested structures inline and
// reads a structure whose fields all take a fixed number of bytes with one
// bounds check, as the decoder does.
//
// SizeOf<K> beside it counts exactly what Wire<T>::encode writes.
#pragma once

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "structs/wire.h"

namespace drov::structs::verify {

enum class Report : uint8_t { Fast, Locate, Parts };

// The longest field path of a type ("vm_if_rsp.vm_if_info[4294967295].mtu"):
// the schema bounds the depth, so a path always fits its buffer.
constexpr uint32_t path_bound(uint32_t t) {
    uint32_t most = 0;
    const TypeDesc &d = kTypes[t];
    for (uint32_t i = 0; i < d.field_count; ++i) {
        const FieldDesc &f = d.fields[i];
        uint32_t n = 1 + static_cast<uint32_t>(std::char_traits<char>::length(f.name));
        if (f.kind == FieldKind::Record) n += path_bound(static_cast<uint32_t>(f.ref));
        if (f.kind == FieldKind::List) n += 12 + path_bound(static_cast<uint32_t>(f.ref));
        most = std::max(most, n);
    }
    return most;
}
inline constexpr uint32_t kPathMax = [] {
    uint32_t most = 0;
    for (uint32_t t = 0; t < schema::kStructCount; ++t) most = std::max(most, path_bound(t));
    return most + 1;
}();

// One structure's cursor: where it is, where its body length points, and
// whether state-flag bytes follow its values.
struct Cursor {
    uint64_t off;
    uint64_t body_end = 0;
    bool flags = false;
};

inline const char *bytes_word(uint64_t n) { return n == 1 ? "byte" : "bytes"; }

template <bool Plain, Report R> struct Walker {
    static constexpr bool plain = Plain;
    static constexpr bool locating = R != Report::Fast;
    static constexpr bool parts = R == Report::Parts;

    qel_handle_t *h;
    const uint8_t *buf;
    uint64_t len;
    bool domain;       // each type read as far as the handle's domain knows it
    Domains *domains;  // its answers, asked once per type
    drov_def_wire_fn fn = nullptr;
    void *user = nullptr;
    uint32_t code = 0; // the first problem's error number
    uint64_t where = 0;
    // Locate and Parts: the path of the field being walked (left at the
    // failing one), and the reason.
    char path[locating ? kPathMax : 1] = {};
    uint32_t path_len = 0;
    char reason[locating ? 160 : 1] = {};

    DROV_INLINE uint64_t left(uint64_t off) const { return off < len ? len - off : 0; }
    DROV_INLINE const uint8_t *at(uint64_t off) const { return buf + std::min(off, len); }
    DROV_INLINE int32_t room(uint64_t off) const { return static_cast<int32_t>(left(off)); }

    __attribute__((format(printf, 4, 5))) bool fail(uint32_t c, uint64_t off, const char *fmt, ...) {
        code = c;
        where = off;
        if constexpr (locating) {
            std::va_list ap;
            va_start(ap, fmt);
            std::vsnprintf(reason, sizeof reason, fmt, ap);
            va_end(ap);
        }
        return false;
    }
    // `what` needs n bytes at off and fewer are left.
    bool cut(uint64_t off, uint64_t n, const char *what) {
        return fail(QEL_EMSGSIZE, off, "%s needs %" PRIu64 " %s, %" PRIu64 " left", what, n,
                    bytes_word(n), left(off));
    }

    // ---- The field path -------------------------------------------------------------
    DROV_INLINE uint32_t enter(const char *name) {
        const uint32_t was = path_len;
        if constexpr (locating) {
            if (path_len != 0) path[path_len++] = '.';
            for (const char *p = name; *p != '\0' && path_len + 1 < kPathMax; ++p)
                path[path_len++] = *p;
            path[path_len] = '\0';
        }
        return was;
    }
    DROV_INLINE uint32_t element(uint32_t i) {
        const uint32_t was = path_len;
        if constexpr (locating) {
            const int n = std::snprintf(path + path_len, kPathMax - path_len, "[%" PRIu32 "]", i);
            path_len += static_cast<uint32_t>(std::max(n, 0));
        }
        return was;
    }
    DROV_INLINE void leave(uint32_t was) {
        if constexpr (locating) {
            path_len = was;
            path[was] = '\0';
        }
    }

    // ---- Items by their coder ----------------------------------------------------------
    // The width a coder's item takes (for the reasons only, under the
    // runtime's own coders).
    template <class C> static uint64_t width() {
        if constexpr (requires { C::size(); }) {
            if constexpr (!Plain) return C::size();
        }
        return C::kWire;
    }
    // A header item, list count or value into v.
    template <class C> DROV_INLINE bool get(Cursor &c, typename C::V *v, const char *what) {
        if constexpr (Plain) {
            if (left(c.off) < C::kWire) [[unlikely]]
                return cut(c.off, C::kWire, what);
            *v = C::load(buf + c.off);
            c.off += C::kWire;
            return true;
        } else {
            uint32_t e = 0;
            const uint32_t n = C::get(h, 0, at(c.off), v, room(c.off), 0, &e);
            if (e != 0)
                return fail(e, c.off, "%s needs %" PRIu64 " %s, %" PRIu64 " left", what, width<C>(),
                            bytes_word(width<C>()), left(c.off));
            c.off += n;
            return true;
        }
    }
    // n bytes of contents (a string's characters, an array's elements).
    DROV_INLINE bool block(Cursor &c, uint64_t n, const char *what) {
        if (left(c.off) < n) [[unlikely]]
            return fail(QEL_EMSGSIZE, c.off, "%s of %" PRIu64 " %s, %" PRIu64 " left", what, n,
                        bytes_word(n), left(c.off));
        c.off += n;
        return true;
    }
    // N items of a one-byte type in the standard coding, else one by one
    // through the runtime's coder of C.
    template <class C> DROV_INLINE bool items(Cursor &c, uint32_t n, uint32_t (*w)(), const char *what) {
        if (Plain || one_byte(w)) return block(c, n, what);
        const uint64_t start = c.off;
        for (uint32_t i = 0; i < n; ++i) {
            typename C::V v;
            uint32_t e = 0;
            c.off += C::get(h, 0, at(c.off), &v, room(c.off), 0, &e);
            if (e != 0)
                return fail(e, start, "%s of %" PRIu64 " bytes, %" PRIu64 " left", what,
                            uint64_t{n} * w(), left(start));
        }
        return true;
    }

    // A state-flag byte, when the header says they follow the values, is
    // there while the body and the buffer last (the writer drops what it has
    // no room for; its body length says so).
    DROV_INLINE uint64_t flag_room(const Cursor &c) const {
        if (c.off >= c.body_end) return 0;
        return std::min(c.body_end - c.off, left(c.off));
    }
    DROV_INLINE void flag(Cursor &c) {
        if (c.flags) [[unlikely]]
            c.off += flag_room(c) != 0 ? 1 : 0;
    }
    DROV_INLINE void flag_run(Cursor &c, uint64_t n) {
        if (c.flags) [[unlikely]]
            c.off += std::min(n, flag_room(c));
    }

    // The variant this walk reads of type T: its highest, or what the
    // handle's domain knows of it.
    template <uint32_t T> DROV_INLINE bool known(int8_t *v, uint64_t off) {
        if (!domain) {
            *v = kTypes[T].highest();
            return true;
        }
        uint32_t e = 0;
        const int8_t d = domains->get(h, T, record(T), &e);
        if (e != 0) return fail(e, off, "the variant domain gave no answer for %s", kTypes[T].name);
        *v = std::min(d, kTypes[T].highest());
        return true;
    }

    // ---- Parts ---------------------------------------------------------------------------
    void part(uint32_t kind, uint64_t off, uint64_t size, const char *field, uint32_t type) {
        drov_def_wire_item_t it{};
        it.part = kind;
        it.offset = static_cast<uint32_t>(off);
        it.size = static_cast<uint32_t>(size);
        it.path = path;
        it.field = field;
        it.type = record(type);
        fn(user, &it);
    }
    void structure_part(uint32_t kind, uint64_t off, uint64_t size, uint32_t type, int8_t written,
                        int8_t read, uint8_t flags, uint64_t body_end, uint64_t fields_end) {
        drov_def_wire_item_t it{};
        it.part = kind;
        it.offset = static_cast<uint32_t>(off);
        it.size = static_cast<uint32_t>(size);
        it.path = path;
        it.field = "";
        it.type = record(type);
        it.written = written;
        it.read = read;
        it.flags = flags;
        it.body_end = body_end;
        it.fields_end = fields_end;
        fn(user, &it);
    }
    // A field's value from `start` to the cursor.
    template <class F> DROV_INLINE void value_part(uint64_t start, const Cursor &c) {
        if constexpr (parts) part(DROV_DEF_WIRE_VALUE, start, c.off - start, F::d.name, F::type);
    }
    // The state flag after a record or list field, when there is one.
    template <class F> DROV_INLINE void flag_part(Cursor &c) {
        const uint64_t start = c.off;
        flag(c);
        if constexpr (parts)
            if (c.off != start) part(DROV_DEF_WIRE_FLAG, start, 1, F::d.name, F::type);
    }
};

template <uint32_t T> struct CheckStruct;

// ---- The kinds -----------------------------------------------------------------------

template <class K> struct CheckOf;

template <class C> inline constexpr const char *kWhat = "value";
template <> inline constexpr const char *kWhat<CodecU8> = "u8";
template <> inline constexpr const char *kWhat<CodecU16> = "u16";
template <> inline constexpr const char *kWhat<CodecU32> = "u32";
template <> inline constexpr const char *kWhat<CodecBool> = "boolean";
template <> inline constexpr const char *kWhat<CodecIfHandle> = "interface handle";

template <class F, class C> struct CheckPrimitive {
    template <class W> DROV_INLINE static bool walk(W &w, Cursor &c) {
        const uint32_t was = w.enter(F::d.name);
        const uint64_t start = c.off;
        typename C::V v{};
        if (!w.template get<C>(c, &v, kWhat<C>)) return false;
        w.flag(c);
        w.template value_part<F>(start, c);
        w.leave(was);
        return true;
    }
};
template <class F, class Prim>
struct CheckOf<Scalar<F, Prim>> : CheckPrimitive<F, typename CodecOf<Prim>::type> {};
template <class F> struct CheckOf<Boolean<F>> : CheckPrimitive<F, CodecBool> {};
template <class F> struct CheckOf<IfHandle<F>> : CheckPrimitive<F, CodecIfHandle> {};

// Read with its string or array.
template <class F> struct CheckOf<Length<F>> {
    template <class W> DROV_INLINE static bool walk(W &, Cursor &) { return true; }
};

// An enumeration: its variant byte (below -1 is no writer's), its value.
template <class F> struct CheckOf<EnumField<F>> {
    template <class W> DROV_INLINE static bool walk(W &w, Cursor &c) {
        const uint32_t was = w.enter(F::d.name);
        const uint64_t start = c.off;
        if constexpr (W::plain) {
            constexpr uint64_t kBytes = CodecVariant::kWire + CodecU32::kWire;
            if (w.left(start) != 0 && static_cast<int8_t>(w.buf[start]) < -1) [[unlikely]]
                return w.fail(QEL_EINVAL, start, "enumeration variant byte %d",
                              static_cast<int8_t>(w.buf[start]));
            if (w.left(start) < kBytes) [[unlikely]]
                return w.cut(start, kBytes, "enumeration");
            c.off += kBytes;
        } else {
            const uint64_t need = CodecVariant::kWire + u_int32_len();
            if (w.left(start) == 0) return w.cut(start, need, "enumeration");
            int8_t v;
            uint32_t e = 0;
            c.off += _qel_instance_variant_unmarshal(w.h, 0, w.at(c.off), &v, w.room(c.off), &e);
            if (e != 0) return w.fail(e, start, "enumeration needs %" PRIu64 " bytes", need);
            if (v < -1) return w.fail(QEL_EINVAL, start, "enumeration variant byte %d", v);
            uint32_t value;
            c.off += u_int32_unmarshal(w.h, 0, w.at(c.off), &value, w.room(c.off), 0, &e);
            if (e != 0)
                return w.fail(e, start, "enumeration needs %" PRIu64 " bytes, %" PRIu64 " left",
                              need, w.left(start));
        }
        w.flag(c);
        w.template value_part<F>(start, c);
        w.leave(was);
        return true;
    }
};

// A nested structure, then the parent's flag for it.
template <class F> struct CheckOf<Record<F>> {
    template <class W> DROV_INLINE static bool walk(W &w, Cursor &c) {
        const uint32_t was = w.enter(F::d.name);
        if (!CheckStruct<static_cast<uint32_t>(F::d.ref)>::nested(w, c.off)) return false;
        w.template flag_part<F>(c);
        w.leave(was);
        return true;
    }
};

// A string: its length field, that many characters and, when there are
// any, its flag.
template <class F> struct CheckOf<String<F>> {
    using C = typename WireOf<String<F>>::C;
    template <class W> DROV_INLINE static bool walk(W &w, Cursor &c) {
        const uint32_t was = w.enter(F::d.name);
        const uint64_t start = c.off;
        typename C::V n = 0;
        if (!w.template get<C>(c, &n, kLength)) return false;
        if (n != 0) {
            if (!w.block(c, n, "string")) return false;
            w.flag(c);
        }
        w.template value_part<F>(start, c);
        w.leave(was);
        return true;
    }
    static constexpr const char *kLength = sizeof(typename C::V) == 1   ? "its u8 length"
                                           : sizeof(typename C::V) == 2 ? "its u16 length"
                                                                        : "its u32 length";
};

// Fixed text: its full capacity, then its flag.
template <class F> struct CheckOf<Text<F>> {
    template <class W> DROV_INLINE static bool walk(W &w, Cursor &c) {
        const uint32_t was = w.enter(F::d.name);
        const uint64_t start = c.off;
        if (!w.template items<CodecChar>(c, F::d.width, char_len, "text")) return false;
        w.flag(c);
        w.template value_part<F>(start, c);
        w.leave(was);
        return true;
    }
};

// A fixed array: its elements, its flag and the element flags.
template <class F> struct CheckOf<Array<F>> {
    template <class W> DROV_INLINE static bool walk(W &w, Cursor &c) {
        const uint32_t was = w.enter(F::d.name);
        const uint64_t start = c.off;
        if (!w.template items<CodecU8>(c, F::d.width, u_int8_len, "array")) return false;
        w.flag(c);
        w.flag_run(c, F::d.width);
        w.template value_part<F>(start, c);
        w.leave(was);
        return true;
    }
};

// A variable array: its count, the elements and, when there are any, its
// flag and the element flags.
template <class F> struct CheckOf<VarArray<F>> {
    template <class W> DROV_INLINE static bool walk(W &w, Cursor &c) {
        const uint32_t was = w.enter(F::d.name);
        const uint64_t start = c.off;
        uint32_t n = 0;
        if (!w.template get<CodecU32>(c, &n, "its u32 count")) return false;
        if (n != 0) {
            if (!w.block(c, n, "array")) return false;
            w.flag(c);
            w.flag_run(c, n);
        }
        w.template value_part<F>(start, c);
        w.leave(was);
        return true;
    }
};

// A list: its count, each element's structure, then its flag.  Each
// element takes at least its header's bytes or ends the walk, so a count
// that claims more than the buffer holds costs no more than the buffer.
template <class F> struct CheckOf<List<F>> {
    static constexpr uint32_t E = static_cast<uint32_t>(F::d.ref);
    template <class W> DROV_INLINE static bool walk(W &w, Cursor &c) {
        const uint32_t was = w.enter(F::d.name);
        const uint64_t start = c.off;
        uint32_t count = 0;
        if (!w.template get<CodecCount>(c, &count, "list count")) return false;
        w.template value_part<F>(start, c);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t in = w.element(i);
            if (!CheckStruct<E>::nested(w, c.off)) return false;
            w.leave(in);
        }
        w.template flag_part<F>(c);
        w.leave(was);
        return true;
    }
};

// ---- A structure ---------------------------------------------------------------------

template <uint32_t T> struct CheckStruct {
    static constexpr const TypeDesc &t = kTypes[T];

    // The bytes the fields of variants 0 to v take when each takes a fixed
    // number of them (a nested record as the last field reads its own).
    static constexpr std::array<uint64_t, 3> kSureFields = [] {
        std::array<uint64_t, 3> n{};
        each_field<T>([&](auto k) {
            using K = decltype(k);
            if constexpr (WireOf<K>::kFixed != kVaries)
                for (int v = K::d.variant; v < 3; ++v) n[v] += WireOf<K>::kFixed;
        });
        return n;
    }();

    // Where field I starts in such a structure's encoding, from its first
    // field.
    template <uint32_t I> static constexpr uint64_t pos() {
        uint64_t n = 0;
        each_field<T>([&](auto k) {
            using K = decltype(k);
            if constexpr (K::kIndex < I && WireOf<K>::kFixed != kVaries) n += WireOf<K>::kFixed;
        });
        return n;
    }
    // Whether the enumerations from field I on have no variant byte below -1.
    template <uint32_t I = 0> DROV_INLINE static bool enums_hold(const uint8_t *p, int8_t reads) {
        if constexpr (I == t.field_count) {
            return true;
        } else {
            using K = KindOf<T, I>;
            if constexpr (K::d.kind == FieldKind::Enum)
                if (K::d.variant <= reads && static_cast<int8_t>(p[pos<I>()]) < -1) return false;
            return enums_hold<I + 1>(p, reads);
        }
    }
    // The fields from I on, in order, while each holds.
    template <uint32_t I = 0, class W> DROV_INLINE static bool fields(W &w, Cursor &c, int8_t reads) {
        if constexpr (I == t.field_count) {
            return true;
        } else {
            using K = KindOf<T, I>;
            if (K::d.variant <= reads && !CheckOf<K>::walk(w, c)) return false;
            return fields<I + 1>(w, c, reads);
        }
    }

    // The fields of such a structure under the standard coding, without
    // state flags or ra data, when all their bytes are there: only the
    // enumerations' variant bytes remain to be looked at.  Anything odd is
    // left to the walk item by item (`walked` stays false), which says what.
    template <class W> DROV_INLINE static bool sure(W &w, Cursor &c, int8_t reads, bool &walked) {
        if (!enums_hold(w.buf + c.off, reads)) return true;
        c.off += kSureFields[reads];
        walked = true;
        // A nested record as the last field reads its own.
        using Last = KindOf<T, t.field_count - 1>;
        if constexpr (Last::d.kind == FieldKind::Record)
            if (Last::d.variant <= reads) return CheckOf<Last>::walk(w, c);
        return true;
    }

    // The structure's encoding from off, which it moves to where the body
    // length points.
    template <class W> static bool walk(W &w, uint64_t &off) { return body(w, off); }
    // The same as a part of the enclosing structure's walk: the fast walk
    // under the standard coding takes nested structures inline.
    template <class W> DROV_INLINE static bool nested(W &w, uint64_t &off) {
        if constexpr (W::plain && !W::locating) return body(w, off);
        else return walk(w, off);
    }
    // The header's items one by one up to the body length, each checked.
    template <class W>
    DROV_INLINE static bool header(W &w, Cursor &c, int8_t &v, uint8_t &g, uint64_t &jump,
                                   uint32_t &body) {
        const uint64_t start = c.off;
        if (!w.template get<CodecVariant>(c, &v, "variant byte")) return false;
        if (v < -1) [[unlikely]]
            return w.fail(QEL_EINVAL, start, "variant byte %d", v);
        const uint64_t flag_at = c.off;
        if (!w.template get<CodecObjFlags>(c, &g, "object flags")) return false;
        if ((g & ~kWireFlags) != 0) [[unlikely]]
            return w.fail(QEL_EINVAL, flag_at, "object flags 0x%02x carry unknown bits 0x%02x", g,
                          static_cast<unsigned>(g & ~kWireFlags));
        if ((g & QEL_OBJ_RA_DATA) != 0) {
            uint32_t e = 0;
            const uint64_t ra = c.off;
            c.off += _qel_instance_ra_data_unmarshal(w.h, 0, w.at(ra), w.room(ra), &e);
            if (e != 0)
                return w.fail(e, ra, "ra data block does not fit, %" PRIu64 " %s left", w.left(ra),
                              bytes_word(w.left(ra)));
        }
        jump = c.off;
        return w.template get<CodecJump>(c, &body, "body length");
    }

    template <class W> DROV_INLINE static bool body(W &w, uint64_t &off) {
        const uint64_t start = off;
        if (w.left(start) == 0) [[unlikely]]
            return w.fail(QEL_EMSGSIZE, start, "no bytes left for a %s", t.name);
        Cursor c{start};
        int8_t v = 0;
        uint8_t g = 0;
        uint64_t jump = 0;
        uint32_t body = 0;
        if (!header(w, c, v, g, jump, body)) return false;
        c.body_end = jump + body;
        c.flags = (g & QEL_OBJ_STATE_TRACKED) != 0;
        int8_t known = 0;
        if (!w.template known<T>(&known, start)) return false;
        const int8_t reads = std::min(v, known);
        if constexpr (W::parts)
            w.structure_part(DROV_DEF_WIRE_HEADER, start, c.off - start, T, v,
                             reads < 0 ? int8_t{-1} : reads, g, c.body_end, 0);
        bool walked = false;
        if constexpr (W::plain && !W::locating && Wire<T>::kSureBytes != 0) {
            if (reads >= 0 && g == 0 && w.left(c.off) >= kSureFields[reads]) {
                if (!sure(w, c, reads, walked)) return false;
            }
        }
        if (!walked && reads >= 0 && !fields(w, c, reads)) return false;
        const uint64_t fields_end = c.off;
        if (fields_end > c.body_end) [[unlikely]]
            return w.fail(QEL_EINVAL, jump,
                          "body length %" PRIu32 " ends at %" PRIu64
                          ", but the fields go on to %" PRIu64,
                          body, c.body_end, fields_end);
        if (c.body_end > fields_end) {
            if (c.body_end > w.len) [[unlikely]]
                return w.fail(QEL_EMSGSIZE, fields_end,
                              "its body length points to %" PRIu64 ", past the end (%" PRIu64
                              " bytes)",
                              c.body_end, w.len);
            if constexpr (W::parts)
                w.part(DROV_DEF_WIRE_SKIPPED, fields_end, c.body_end - fields_end, "", T);
            c.off = c.body_end;
        }
        if constexpr (W::parts)
            w.structure_part(DROV_DEF_WIRE_END, c.off, 0, T, v, reads < 0 ? int8_t{-1} : reads, g,
                             c.body_end, fields_end);
        off = c.off;
        return true;
    }
};

// ---- The exact size of an encoding --------------------------------------------------

// What one size count shares: the widths the coders write, whether state
// flags follow the values, the domain's answers, and whether the last byte
// counted is a list's flag (which marshal writes only with two bytes of
// room left).
struct Sizing {
    qel_handle_t *h;
    uint32_t ctx;
    uint32_t *err;
    bool with_flags = false;
    Encoding enc;
    uint64_t n = 0;
    bool list_flag_last = false;
    // Widths: the standard ones, or what the runtime's coders write.
    uint32_t u8 = 1, u16 = 2, u32 = 4, boolean = 1, ifh = 4, chr = 1;
    uint32_t variant = 1, obj_flags = 1, jump = 4, count = 4;
    uint32_t ra = 0; // an ra data block, asked when an instance has one (0: not yet)

    Sizing(qel_handle_t *h_, uint32_t ctx_, uint32_t *err_) : h(h_), ctx(ctx_), err(err_), enc(h_) {}

    void add(uint64_t k) {
        if (k == 0) return;
        n += k;
        list_flag_last = false;
    }
    void flag() { add(with_flags ? 1 : 0); }
    void list_flag() {
        if (!with_flags) return;
        n += 1;
        list_flag_last = true;
    }
    // The width of an item as the runtime's coder writes it into scratch.
    template <class C> bool probe(uint32_t *width) {
        uint8_t scratch[16];
        const typename C::V v{};
        uint32_t e = 0;
        *width = C::put(h, ctx, scratch, &v, sizeof scratch, &e);
        if (e == 0) return true;
        fail(h, err, e);
        return false;
    }
    // The runtime's widths, when its coders are not the standard ones.
    bool runtime_widths() {
        if (enc.plain) return true;
        u8 = u_int8_len();
        u16 = u_int16_len();
        u32 = u_int32_len();
        boolean = qel_boolean_len();
        ifh = if_handle_len();
        chr = char_len();
        return probe<CodecVariant>(&variant) && probe<CodecObjFlags>(&obj_flags) &&
               probe<CodecJump>(&jump) && probe<CodecCount>(&count);
    }
    bool ra_width() {
        if (ra != 0) return true;
        uint8_t scratch[256];
        uint32_t e = 0;
        ra = _qel_instance_ra_data_marshal(h, ctx, scratch, 0, 0, sizeof scratch, &e);
        if (e == 0) return true;
        fail(h, err, e);
        return false;
    }
    template <class C> uint32_t width() const {
        if constexpr (std::is_same_v<C, CodecU8>) return u8;
        else if constexpr (std::is_same_v<C, CodecU16>) return u16;
        else if constexpr (std::is_same_v<C, CodecU32>) return u32;
        else if constexpr (std::is_same_v<C, CodecBool>) return boolean;
        else if constexpr (std::is_same_v<C, CodecIfHandle>) return ifh;
        else return chr;
    }
};

template <uint32_t T> struct SizeStruct;

template <class K> struct SizeOf;
template <class F, class C> struct SizePrimitive {
    static void count(Sizing &s, const void *) {
        s.add(s.width<C>());
        s.flag();
    }
};
template <class F, class Prim>
struct SizeOf<Scalar<F, Prim>> : SizePrimitive<F, typename CodecOf<Prim>::type> {};
template <class F> struct SizeOf<Boolean<F>> : SizePrimitive<F, CodecBool> {};
template <class F> struct SizeOf<IfHandle<F>> : SizePrimitive<F, CodecIfHandle> {};
template <class F> struct SizeOf<Length<F>> {
    static void count(Sizing &, const void *) {}
};
template <class F> struct SizeOf<EnumField<F>> {
    static void count(Sizing &s, const void *) {
        s.add(s.variant + s.u32);
        s.flag();
    }
};
template <class F> struct SizeOf<Record<F>> {
    using WO = WireOf<Record<F>>;
    static bool count(Sizing &s, const void *inst) {
        if (!SizeStruct<WO::R>::count(s, WO::field(inst), Mode::Marshal)) return false;
        s.flag();
        return true;
    }
};
template <class F> struct SizeOf<String<F>> {
    using WO = WireOf<String<F>>;
    static void count(Sizing &s, const void *inst) {
        s.add(s.width<typename WO::C>());
        const uint64_t n = *WO::length(inst);
        if (n == 0) return;
        s.add(n);
        s.flag();
    }
};
template <class F> struct SizeOf<Text<F>> {
    static void count(Sizing &s, const void *) {
        s.add(uint64_t{F::d.width} * s.chr);
        s.flag();
    }
};
template <class F> struct SizeOf<Array<F>> {
    static void count(Sizing &s, const void *) {
        s.add(uint64_t{F::d.width} * s.u8);
        s.flag();
        if (s.with_flags) s.add(F::d.width);
    }
};
template <class F> struct SizeOf<VarArray<F>> {
    using WO = WireOf<VarArray<F>>;
    static void count(Sizing &s, const void *inst) {
        s.add(s.u32);
        const uint64_t n = *WO::length(inst);
        if (n == 0) return;
        s.add(n);
        s.flag();
        if (s.with_flags) s.add(n);
    }
};
template <class F> struct SizeOf<List<F>> {
    using WO = WireOf<List<F>>;
    static bool count(Sizing &s, const void *inst) {
        s.add(s.count);
        Head *hd = WO::head(inst);
        void *e = hd->first;
        for (uint32_t i = 0; i < hd->count && e != hd && e != nullptr; ++i) {
            if (!SizeStruct<WO::E>::count(s, e, Mode::Marshal)) return false;
            e = link(e)->next;
        }
        s.list_flag();
        return true;
    }
};

template <uint32_t T> struct SizeStruct {
    using P = tp::TypePoints<T>;
    // The bytes encode writes of inst, in `mode`, into s.n; false after an
    // error of the runtime's (stored).
    static bool count(Sizing &s, const void *inst, Mode mode) {
        const qel_instance_header_t &hd = hdr(inst);
        int8_t v = hd.instance_variant;
        if (mode == Mode::Marshal) {
            const int8_t known = s.enc.known(s.h, T, hd.type_info, s.err);
            if (*s.err != 0) return false;
            if (v > known) v = known;
        }
        v = Struct<T>::cap(v);
        s.add(s.variant + s.obj_flags);
        if ((hd.obj_flags & QEL_OBJ_RA_DATA) != 0) {
            if (!s.ra_width()) return false;
            s.add(s.ra);
        }
        s.add(s.jump);
        bool ok = true;
        if (v >= 0)
            each_field<T>([&](auto k) {
                using K = decltype(k);
                if (!ok || K::d.variant > v) return;
                if constexpr (std::is_same_v<decltype(SizeOf<K>::count(s, inst)), bool>)
                    ok = SizeOf<K>::count(s, inst);
                else
                    SizeOf<K>::count(s, inst);
            });
        return ok;
    }
};

} // namespace drov::structs::verify
