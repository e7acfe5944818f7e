// Text forms of a structure: the indented print form and XML, written and
// read.  The library decides the shape (which fields, in which order, under
// which names, how deep); the runtime's helpers render the single values.
//
// Each operation is one walk over the type's fields calling the member of
// the field kind's text trait, TextOf<K>:
//   print    writes the field at the given indentation,
//   to_xml   writes its element(s), taking state flags when the handle tracks,
//   from_xml reads it from the element(s) under the structure's path.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>

#include "structs/struct_ops.h"

namespace drov::structs {

template <uint32_t T> struct Render;

namespace text {

// A buffer length or indentation as the runtime's writers take it (i32);
// larger values are held below the point where adding to them overflows.
inline constexpr uint32_t kMaxLength = INT32_MAX / 2;
inline int32_t bounded(uint32_t v) { return static_cast<int32_t>(v < kMaxLength ? v : kMaxLength); }

constexpr size_t length(const char *s) {
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

// Appends to a character buffer of `cap` bytes, cutting what does not fit
// (at most cap - 1 characters and the NUL), as snprintf does.
struct Appender {
    char *out;
    size_t cap;
    size_t n;
    void add(const char *s, size_t len) {
        size_t k = cap - 1 - n < len ? cap - 1 - n : len;
        std::memcpy(out + n, s, k);
        n += k;
    }
    void add(uint32_t v) {
        char digits[10];
        size_t i = sizeof digits;
        do {
            digits[--i] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        add(digits + i, sizeof digits - i);
    }
    const char *end() {
        out[n] = '\0';
        return out;
    }
};

// The print name of array element i: the field name and the index counted
// from 0 in brackets ("%s[%d]"), in a buffer of 80 bytes.
class ElementLabel {
public:
    explicit ElementLabel(const char *name) : a_{buf_, sizeof buf_, 0} {
        a_.add(name, std::strlen(name));
        a_.add("[", 1);
        base_ = a_.n;
    }
    const char *operator()(uint32_t i) {
        a_.n = base_;
        a_.add(i);
        a_.add("]", 1);
        return a_.end();
    }

private:
    char buf_[80];
    Appender a_;
    size_t base_;
};

// Element paths under a structure's path: "%s/<field>" and, for array and
// list elements, "%s/<field>[<position from 1>]", built in 256 bytes (a
// longer path is cut to 255 characters).
class Path {
public:
    explicit Path(const char *parent) : a_{buf_, sizeof buf_, 0} {
        a_.add(parent, strnlen(parent, sizeof buf_ - 1));
        base_ = a_.n;
    }
    const char *field(const char *name) {
        a_.n = base_;
        a_.add("/", 1);
        a_.add(name, std::strlen(name));
        return a_.end();
    }
    const char *element(const char *name, uint32_t position) {
        field(name);
        a_.add("[", 1);
        a_.add(position);
        a_.add("]", 1);
        return a_.end();
    }
    // Whether paths `more` characters longer than the parent's are kept whole.
    bool holds(size_t more) const { return base_ + more < sizeof buf_; }

private:
    char buf_[256];
    Appender a_;
    size_t base_;
};

// Characters made at compile time.
template <size_t N> struct Chars {
    char s[N];
};
template <size_t N> constexpr Chars<N> joined(const char *a, const char *b, const char *c) {
    Chars<N> out{};
    size_t n = 0;
    for (const char *part : {a, b, c})
        for (const char *p = part; *p != '\0'; ++p) out.s[n++] = *p;
    return out;
}

// The two print labels of a list, "list <field> count" and "list <field>".
template <class F> struct ListLabels {
    static constexpr size_t L = length(F::d.name);
    static constexpr Chars<L + 12> count = joined<L + 12>("list ", F::d.name, " count");
    static constexpr Chars<L + 6> element = joined<L + 6>("list ", F::d.name, "");
};

// ---- The runtime's value renderers, by value type -------------------------------

#define DROV_TEXT_PRIMITIVE(NAME, T)                                                               \
    struct NAME {                                                                                  \
        using V = T;                                                                               \
        static constexpr auto print = &T##_print;                                                  \
        static constexpr auto to_xml = &T##_to_xml;                                                \
        static constexpr auto from_xml = &T##_from_xml;                                            \
        static constexpr auto from_xml_element = &T##_from_xml_element;                            \
    };
DROV_TEXT_PRIMITIVE(RtU8, u_int8)
DROV_TEXT_PRIMITIVE(RtU16, u_int16)
DROV_TEXT_PRIMITIVE(RtU32, u_int32)
DROV_TEXT_PRIMITIVE(RtBool, qel_boolean)
DROV_TEXT_PRIMITIVE(RtIfHandle, if_handle)
#undef DROV_TEXT_PRIMITIVE

template <uint32_t Width> struct RtOfWidth;
template <> struct RtOfWidth<1> { using type = RtU8; };
template <> struct RtOfWidth<2> { using type = RtU16; };
template <> struct RtOfWidth<4> { using type = RtU32; };

// Arguments every from_xml member passes on: the handle, the context id,
// the document, the error word and the two values handed to every reader.
struct Reading {
    qel_handle_t *h;
    uint32_t ctx;
    void *doc;
    uint32_t *err;
    char *msg;
    uint32_t msg_size;
};

// The most a structure's path grows by in the paths read under it:
// "/<field>[<position>]" or "/<field>/<enumeration value>".
constexpr size_t longest_step() {
    size_t field = 0, value = 0;
    for (const TypeDesc &t : kTypes) {
        for (uint32_t i = 0; i < t.field_count; ++i) field = std::max(field, length(t.fields[i].name));
        for (uint32_t i = 0; i < t.value_count; ++i) value = std::max(value, length(t.values[i]));
    }
    return 1 + field + std::max<size_t>(sizeof "[4294967295]" - 1, 1 + value);
}

// Where a structure's fields are read.  A runtime that reads by elements
// (QEL_FEATURE_XML_ELEMENTS) is given the structure's element when its path
// selects that one element: the path of a field then selects the field's
// elements among its children, the n-th position the n-th of them, and so
// the fields are read from there.  Otherwise (the runtime does not, the
// path selects several elements, or paths under it would be cut) each
// field is looked up by its path.
struct Place {
    Path &path;
    const void *elem; // null: by paths
    // The structure's fields; for each, the first child of its name, that
    // name as the document holds it, and whether there are more (sort below).
    const FieldDesc *fields;
    const void **first;
    const char **names;
    bool *several;

    // The child of d's name after `after` (null: the first), or null.
    const void *next(const Reading &r, const FieldDesc &d, const void *after = nullptr) const {
        const ptrdiff_t i = &d - fields;
        return after == nullptr ? first[i] : xml_element_next(r.doc, elem, after, names[i]);
    }
    // The only child of d's name (null: none); false when there are several.
    bool only(const FieldDesc &d, const void **child) const {
        *child = first[&d - fields];
        return !several[&d - fields];
    }

    // One walk over the children in document order.  They mostly come in
    // the order of the fields, so a child's name is compared first with
    // the field it most likely is: the one of the child before when that
    // one repeats (an array or list), else the next.
    void sort(const Reading &r, uint32_t n) {
        uint32_t guess = 0;
        for (const void *c = xml_element_next(r.doc, elem, nullptr, nullptr); c != nullptr;
             c = xml_element_next(r.doc, elem, c, nullptr)) {
            const char *name = xml_element_name(r.doc, c);
            uint32_t i = guess;
            if (i >= n || std::strcmp(name, fields[i].name) != 0) {
                if (++i >= n || std::strcmp(name, fields[i].name) != 0) {
                    for (i = 0; i < n && std::strcmp(name, fields[i].name) != 0; ++i) {
                    }
                    if (i == n) continue; // no field's
                }
            }
            const FieldKind k = fields[i].kind;
            guess = k == FieldKind::Array || k == FieldKind::VarArray || k == FieldKind::List ? i
                                                                                            : i + 1;
            if (first[i] == nullptr) {
                first[i] = c;
                names[i] = name;
            } else {
                several[i] = true;
            }
        }
    }
};

// After a reader of an element: a failure other than absence is named in
// the message as a reader of the path names it (the path is made only then).
template <class MakePath> void name_failure(const Reading &r, MakePath &&path) {
    if (*r.err != 0 && *r.err != QEL_ENOENT && r.msg != nullptr && r.msg_size != 0)
        std::snprintf(r.msg, r.msg_size, "Failed xpath: %s", path());
}

// What a structure's reader is told of its element: look its path up, it
// is there (read by paths), or (below) the one element or null for none.
inline constexpr char kLookUpMark = 0, kByPathMark = 0;
inline constexpr const void *kLookUp = &kLookUpMark;
inline constexpr const void *kByPath = &kByPathMark;

} // namespace text

// The text steps of one field kind; specialised per kind class below.
template <class K> struct TextOf;

// A value the runtime renders whole: scalars, booleans, interface handles
// and length fields.  A length field carries no state flag and is not read
// back: its string's or array's setter sets it.
template <class K, class R, bool kOwnValue> struct ValueText {
    using V = typename R::V;
    static constexpr const FieldDesc &d = K::d;
    static const V *value(const void *inst) { return at<V>(inst, d.offset); }

    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const void *inst, int32_t room, uint32_t *err) {
        return R::print(h, ctx, buf, indent, d.name, value(inst), room, err);
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, char *buf, const void *inst,
                          int32_t room, bool tracking, uint32_t *err) {
        uint8_t flag = 0;
        if constexpr (kOwnValue) {
            if (tracking) flag = K::state_flag_get(h, ctx, inst, err);
        }
        return R::to_xml(h, ctx, d.name, buf, value(inst), room, flag, err);
    }
    static void from_xml(const text::Reading &r, const text::Place &place, void *inst) {
        if constexpr (kOwnValue) {
            if (place.elem == nullptr) {
                R::from_xml(r.h, r.ctx, place.path.field(d.name), r.doc, at<V>(inst, d.offset),
                            r.err, r.msg, r.msg_size);
                return;
            }
            R::from_xml_element(r.h, r.ctx, r.doc, place.next(r, d), at<V>(inst, d.offset), r.err);
            text::name_failure(r, [&] { return place.path.field(d.name); });
        }
    }
};

template <class F, class P>
struct TextOf<Scalar<F, P>>
    : ValueText<Scalar<F, P>, typename text::RtOfWidth<sizeof(typename P::V)>::type, true> {};
template <class F> struct TextOf<Boolean<F>> : ValueText<Boolean<F>, text::RtBool, true> {};
template <class F> struct TextOf<IfHandle<F>> : ValueText<IfHandle<F>, text::RtIfHandle, true> {};
template <class F>
struct TextOf<Length<F>> : ValueText<Length<F>, typename text::RtOfWidth<F::d.width>::type, false> {};

// An embedded enumeration instance: the enumeration's own print and XML
// bodies and reader.  Its element carries no state flag.
template <class F> struct TextOf<EnumField<F>> {
    using K = EnumField<F>;
    static const enums::Instance *value(const void *inst) {
        return at<enums::Instance>(inst, F::d.offset);
    }
    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const void *inst, int32_t room, uint32_t *err) {
        return enums::print(K::type(), h, ctx, buf, indent, F::d.name, value(inst), room, err);
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, char *buf, const void *inst,
                          int32_t room, bool, uint32_t *err) {
        return enums::to_xml(K::type(), h, ctx, F::d.name, buf, value(inst), room, 0, err);
    }
    static void from_xml(const text::Reading &r, const text::Place &place, void *inst) {
        const void *elem = nullptr;
        if (place.elem == nullptr || !place.only(F::d, &elem)) {
            enums::from_xml(K::type(), r.h, r.ctx, place.path.field(F::d.name), r.doc,
                            at<enums::Instance>(inst, F::d.offset), r.err, r.msg, r.msg_size);
            return;
        }
        enums::from_xml_element(K::type(), r.h, r.doc, elem, at<enums::Instance>(inst, F::d.offset),
                                r.err);
        text::name_failure(r, [&] { return place.path.field(F::d.name); });
    }
};

// A nested structure: the nested type's own bodies, under the field name,
// one level deeper.
template <class F> struct TextOf<Record<F>> {
    using K = Record<F>;
    using Nested = Render<K::R>;
    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const void *inst, int32_t room, uint32_t *err) {
        return Nested::body(h, ctx, buf, indent, F::d.name, K::field(inst), room, err);
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, char *buf, const void *inst,
                          int32_t room, bool tracking, uint32_t *err) {
        uint8_t flag = tracking ? K::state_flag_get(h, ctx, inst, err) : 0;
        return Nested::xml_body(h, ctx, F::d.name, buf, K::field(inst), room, flag, err);
    }
    static void from_xml(const text::Reading &r, const text::Place &place, void *inst) {
        const void *elem = text::kLookUp;
        if (place.elem != nullptr && !place.only(F::d, &elem)) elem = text::kByPath;
        Nested::read(r, place.path.field(F::d.name), K::field(inst), elem);
    }
};

// A counted string.  Reading probes the element for the value's length,
// reads the value into a temporary block of exactly that size and sets it
// through the string's setter, which sets the length field too.
template <class F> struct TextOf<String<F>> {
    using K = String<F>;
    using W = typename K::W;
    static const char *chars(const void *inst) { return *at<char *>(inst, F::d.offset); }
    static uint32_t count(const void *inst) { return *at<W>(inst, F::d.length_offset); }

    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const void *inst, int32_t room, uint32_t *err) {
        return var_string_print(h, ctx, buf, indent, F::d.name, chars(inst), count(inst), room,
                                err);
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, char *buf, const void *inst,
                          int32_t room, bool tracking, uint32_t *err) {
        uint8_t flag = tracking ? K::state_flag_get(h, ctx, inst, err) : 0;
        return var_string_to_xml(h, ctx, F::d.name, buf, chars(inst), count(inst), room, flag,
                                 err);
    }
    static void from_xml(const text::Reading &r, const text::Place &place, void *inst) {
        // (by elements the path is made only to name a failure)
        const char *p = place.elem == nullptr ? place.path.field(F::d.name) : nullptr;
        const void *elem = place.elem != nullptr ? place.next(r, F::d) : nullptr;
        uint32_t needed = 0;
        auto probe = static_cast<uint32_t>(
            place.elem != nullptr ? xml_element_value(r.doc, elem, nullptr, 0, &needed)
                                  : xml_get_element_value(r.doc, p, nullptr, 0, &needed));
        *r.err = probe;
        if (probe != 0) qel_store_err(r.h, probe);
        if (probe != QEL_ENOSPC) return; // 0: nothing to read; else the field's error
        *r.err = 0;
        // A value longer than the length field can count is refused, not
        // cut to the low bits of its length.
        if (needed > std::numeric_limits<W>::max()) {
            fail(r.h, r.err, QEL_EINVAL);
            return;
        }
        auto *value = static_cast<char *>(r.h->allocate(r.h->alloc_ctx, r.ctx, needed + 1));
        if (value == nullptr) {
            fail(r.h, r.err, QEL_ENOMEM);
            return;
        }
        if (place.elem != nullptr) {
            var_string_from_xml_element(r.h, r.ctx, r.doc, elem, value, needed + 1, r.err);
            text::name_failure(r, [&] { return place.path.field(F::d.name); });
        } else
            var_string_from_xml(r.h, r.ctx, p, r.doc, value, needed + 1, r.err, r.msg, r.msg_size);
        // The setter (which does nothing after a failed read) takes the
        // length at the width of the length field.
        K::set(r.h, r.ctx, inst, value, static_cast<W>(needed), r.err);
        r.h->free(r.h->alloc_ctx, r.ctx, value);
    }
};

// Fixed text of capacity C: its characters up to a NUL or C of them.
template <class F> struct TextOf<Text<F>> {
    using K = Text<F>;
    static constexpr uint32_t C = K::C;
    static const char *chars(const void *inst) { return at<char>(inst, F::d.offset); }

    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const void *inst, int32_t room, uint32_t *err) {
        return null_string_print(h, ctx, buf, indent, F::d.name, chars(inst), C, room, err);
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, char *buf, const void *inst,
                          int32_t room, bool tracking, uint32_t *err) {
        uint8_t flag = tracking ? K::state_flag_get(h, ctx, inst, err) : 0;
        return null_string_to_xml(h, ctx, F::d.name, buf, chars(inst), C, room, flag, err);
    }
    static void from_xml(const text::Reading &r, const text::Place &place, void *inst) {
        if (place.elem == nullptr) {
            null_string_from_xml(r.h, r.ctx, place.path.field(F::d.name), r.doc,
                                 at<char>(inst, F::d.offset), C, r.err, r.msg, r.msg_size);
            return;
        }
        null_string_from_xml_element(r.h, r.ctx, r.doc, place.next(r, F::d),
                                     at<char>(inst, F::d.offset), C, r.err);
        text::name_failure(r, [&] { return place.path.field(F::d.name); });
    }
};

// The u8 elements of an array, one line or element each: print names carry
// the index from 0, XML elements all take the field name as tag, each with
// its element's state flag.  Read position by position: `*elem` is the
// element of the position before (null before the first), when reading by
// elements.
template <class K> struct ElementsText {
    static constexpr const FieldDesc &d = K::d;
    static void read(const text::Reading &r, const text::Place &place, uint32_t position,
                     const void **elem, uint8_t *v) {
        if (place.elem == nullptr) {
            u_int8_from_xml(r.h, r.ctx, place.path.element(d.name, position), r.doc, v, r.err, r.msg,
                            r.msg_size);
            return;
        }
        // (no position follows one that is absent: that ends the read)
        *elem = place.next(r, d, *elem);
        u_int8_from_xml_element(r.h, r.ctx, r.doc, *elem, v, r.err);
        text::name_failure(r, [&] { return place.path.element(d.name, position); });
    }
    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const uint8_t *elems, uint32_t n, int32_t room, uint32_t *err) {
        text::ElementLabel label(d.name);
        int32_t w = 0;
        for (uint32_t i = 0; i < n; ++i)
            w += u_int8_print(h, ctx, buf + w, indent, label(i), elems + i, room - w, err);
        return w;
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, char *buf, const void *inst,
                          const uint8_t *elems, uint32_t n, int32_t room, bool tracking,
                          uint32_t *err) {
        int32_t w = 0;
        for (uint32_t i = 0; i < n && *err == 0; ++i) {
            uint8_t flag = tracking ? K::state_flag_get(h, ctx, inst, i, err) : 0;
            w += u_int8_to_xml(h, ctx, d.name, buf + w, elems + i, room - w, flag, err);
        }
        return w;
    }
};

// A fixed array of N u8: positions 1 to N are read straight into the
// elements; the first absent one ends the array.
template <class F> struct TextOf<Array<F>> {
    using K = Array<F>;
    using E = ElementsText<K>;
    static const uint8_t *elems(const void *inst) { return at<uint8_t>(inst, F::d.offset); }
    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const void *inst, int32_t room, uint32_t *err) {
        return E::print(h, ctx, buf, indent, elems(inst), K::N, room, err);
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, char *buf, const void *inst,
                          int32_t room, bool tracking, uint32_t *err) {
        return E::to_xml(h, ctx, buf, inst, elems(inst), K::N, room, tracking, err);
    }
    static void from_xml(const text::Reading &r, const text::Place &place, void *inst) {
        uint8_t *e = at<uint8_t>(inst, F::d.offset);
        const void *elem = nullptr;
        for (uint32_t i = 0; i < K::N && *r.err == 0; ++i) E::read(r, place, i + 1, &elem, e + i);
    }
};

// The variable array: as many elements as its length field counts.
// Reading goes through a temporary u_int8 and the growing element setter,
// position by position until one is absent.
template <class F> struct TextOf<VarArray<F>> {
    using K = VarArray<F>;
    using E = ElementsText<K>;
    static const uint8_t *elems(const void *inst) { return *at<uint8_t *>(inst, F::d.offset); }
    static uint32_t count(const void *inst) { return *at<uint32_t>(inst, F::d.length_offset); }
    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const void *inst, int32_t room, uint32_t *err) {
        return E::print(h, ctx, buf, indent, elems(inst), elems(inst) ? count(inst) : 0, room, err);
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, char *buf, const void *inst,
                          int32_t room, bool tracking, uint32_t *err) {
        return E::to_xml(h, ctx, buf, inst, elems(inst), elems(inst) ? count(inst) : 0, room,
                         tracking, err);
    }
    static void from_xml(const text::Reading &r, const text::Place &place, void *inst) {
        const void *elem = nullptr;
        for (uint32_t position = 1; *r.err == 0; ++position) {
            u_int8 *v = u_int8_create(r.h, r.ctx);
            if (v == nullptr) {
                fail(r.h, r.err, QEL_ENOMEM);
                return;
            }
            E::read(r, place, position, &elem, v);
            K::set(r.h, r.ctx, inst, position - 1, v, r.err); // nothing after a failed read
            u_int8_destroy(r.h, r.ctx, v);
        }
    }
};

// A list: printed as its count and one block per element, all under the
// same label; in XML one element per list element, each with the list's
// state flag and no count.  Reading appends the elements found at positions
// 1 upwards after those the list already holds.
template <class F> struct TextOf<List<F>> {
    using K = List<F>;
    using Elem = Render<K::E>;
    using Labels = text::ListLabels<F>;
    static const Head *head(const void *inst) { return at<Head>(inst, F::d.offset); }

    template <class Fn> static void each(const void *inst, Fn &&fn) {
        const Head *hd = head(inst);
        for (const void *e = hd->first; e != hd && e != nullptr;
             e = link(const_cast<void *>(e))->next)
            if (!fn(e)) return;
    }
    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const void *inst, int32_t room, uint32_t *err) {
        int32_t w = u_int32_print(h, ctx, buf, indent, Labels::count.s, &head(inst)->count, room, err);
        each(inst, [&](const void *e) {
            w += Elem::body(h, ctx, buf + w, indent, Labels::element.s, e, room - w, err);
            return true;
        });
        return w;
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, char *buf, const void *inst,
                          int32_t room, bool tracking, uint32_t *err) {
        uint8_t flag = tracking ? K::state_flag_get(h, ctx, inst, err) : 0;
        int32_t w = 0;
        each(inst, [&](const void *e) {
            if (*err != 0) return false;
            w += Elem::xml_body(h, ctx, F::d.name, buf + w, e, room - w, flag, err);
            return true;
        });
        return w;
    }
    static void from_xml(const text::Reading &r, const text::Place &place, void *inst) {
        using S = Struct<K::E>;
        // By elements: each position's element, found after the one before.
        const void *elem = nullptr;
        for (uint32_t position = 1; *r.err == 0; ++position) {
            void *e = S::create_internal(r.h, r.ctx);
            if (e == nullptr || e == static_cast<void *>(S::placeholder)) { // never filled nor freed
                fail(r.h, r.err, QEL_ENOMEM);
                return;
            }
            const char *p = place.path.element(F::d.name, position);
            if (place.elem == nullptr) {
                Elem::read(r, p, e);
            } else {
                elem = place.next(r, F::d, elem);
                Elem::read(r, p, e, elem);
            }
            K::set_last(r.h, r.ctx, inst, e, r.err); // nothing after a failed read
            // An element the list took stays there, even when marking its
            // flag failed afterwards; one it did not take is ours to free.
            if (link(e)->list == nullptr) S::destroy_internal(r.h, r.ctx, e, 1);
        }
    }
};

// ---- The type-level operations ----------------------------------------------------

template <uint32_t T> struct Render {
    static constexpr const TypeDesc &t = kTypes[T];

    static constexpr uint32_t kFields = t.field_count > 0 ? t.field_count : 1;

    static constexpr bool owns_list() {
        for (uint32_t i = 0; i < t.field_count; ++i)
            if (t.fields[i].kind == FieldKind::List) return true;
        return false;
    }

    // The print body: "<label>@<type>: {", the fields of variants 0 up to the
    // instance variant two deeper, and "}".  After a writer's failure the
    // rest still runs and the writers, seeing the error, add nothing.
    static int32_t body(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                        const char *label, const void *inst, int32_t len, uint32_t *err) {
        if (!enter(h, err)) return 0;
        if (inst == nullptr) {
            fail(h, err, QEL_EINVAL);
            return 0;
        }
        int32_t n = qel_print_space(h, ctx, buf, indent, len, err);
        n += qel_snprintf(h, ctx, buf + n, len - n, err, "%s@%s: {\n",
                          label != nullptr ? label : t.name, t.name);
        const int8_t iv = hdr(inst).instance_variant;
        if (iv >= 0) each_field<T>([&](auto k) {
            using K = decltype(k);
            if (K::d.variant <= iv)
                n += TextOf<K>::print(h, ctx, buf + n, indent + 2, inst, len - n, err);
        });
        n += qel_print_space(h, ctx, buf + n, indent, len - n, err);
        n += qel_snprintf(h, ctx, buf + n, len - n, err, "}\n");
        return n;
    }

    // The XML body: the element named `tag` with the fields of variants 0
    // up to the instance variant.  The first failure stops the fields; the
    // element is closed all the same.
    static int32_t xml_body(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,
                            const void *inst, int32_t len, uint8_t flag, uint32_t *err) {
        if (!enter(h, err)) return 0;
        if (inst == nullptr) {
            fail(h, err, QEL_EINVAL);
            return 0;
        }
        // State-only size: non-zero exactly when the handle tracks state.
        const bool tracking = Struct<T>::sizeof_internal(h, nullptr, 0, 1) != 0;
        if (tag == nullptr) tag = t.name;
        int32_t n = start_tag(h, ctx, buf, tag, len, flag, err);
        const int8_t iv = hdr(inst).instance_variant;
        any_field<T>([&](auto k) {
            using K = decltype(k);
            if (*err != 0 || K::d.variant > iv) return true; // later fields are of later variants
            n += TextOf<K>::to_xml(h, ctx, buf + n, inst, len - n, tracking, err);
            return false;
        });
        return n + close(h, ctx, buf + n, tag, len - n, err);
    }
    // end_tag writes nothing while the error word is set, so after a failure
    // the element is closed with a word of its own, and the handle's last
    // error is the failure again afterwards.
    static int32_t close(qel_handle_t *h, uint32_t ctx, char *buf, const char *tag, int32_t room,
                         uint32_t *err) {
        if (*err == 0) return end_tag(h, ctx, buf, tag, room, err);
        uint32_t own = 0;
        int32_t n = end_tag(h, ctx, buf, tag, room, &own);
        qel_store_err(h, *err);
        return n;
    }

    // Reads every field of every variant, whatever the instance variant.
    // An absent field keeps its value; any other failure ends the read.
    // `elem` is what is known of the element (text::kLookUp: nothing yet).
    static void read(const text::Reading &r, const char *path, void *inst,
                     const void *elem = text::kLookUp) {
        if (!enter(r.h, r.err)) return;
        if (inst == nullptr) {
            fail(r.h, r.err, QEL_EINVAL);
            return;
        }
        if (elem == text::kLookUp) elem = look_up(r, path);
        if (elem == nullptr) {
            fail(r.h, r.err, QEL_ENOENT);
            return;
        }
        text::Path p(path);
        const void *first[kFields] = {};
        const char *names[kFields];
        bool several[kFields] = {};
        text::Place place{p, nullptr, t.fields, first, names, several};
        if (elem != text::kByPath && p.holds(text::longest_step())) {
            place.elem = elem;
            place.sort(r, t.field_count);
        }
        any_field<T>([&](auto k) {
            TextOf<decltype(k)>::from_xml(r, place, inst);
            if (*r.err == QEL_ENOENT) *r.err = 0;
            return *r.err != 0;
        });
    }

    // The one element the path selects, when the runtime reads by elements;
    // text::kByPath when it selects some to be read by paths; null for none.
    static const void *look_up(const text::Reading &r, const char *path) {
        uint32_t found = 0;
        if ((r.h->features & QEL_FEATURE_XML_ELEMENTS) != 0) {
            const void *elem = nullptr;
            if (xml_element_find(r.doc, path, &elem, &found) == 0 && found <= 1) return elem;
        }
        if (xml_get_element_nodecount(r.doc, path, &found) != 0 || found == 0) return nullptr;
        return text::kByPath;
    }

    // ---- Exported forms ---------------------------------------------------------------

    static uint32_t print(qel_handle_t *h, uint32_t ctx, char *buf, uint32_t indent,
                          const char *label, const void *inst, uint32_t len, uint32_t *err) {
        return static_cast<uint32_t>(
            body(h, ctx, buf, text::bounded(indent), label, inst, text::bounded(len), err));
    }
    static uint32_t print_cr(qel_handle_t *h, const void *inst, char *buf, uint32_t len) {
        uint32_t n = print(h, h->cur_ctx_id, buf, 0, t.name, inst, len, &h->err);
        return h->err != 0 ? UINT32_MAX : n;
    }
    static uint32_t to_xml(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,
                           const void *inst, uint32_t len, uint8_t flag, uint32_t *err) {
        return static_cast<uint32_t>(
            xml_body(h, ctx, tag, buf, inst, text::bounded(len), flag, err));
    }
    static uint32_t toxml_cr(qel_handle_t *h, const void *inst, char *buf, uint32_t len) {
        uint32_t n = to_xml(h, h->cur_ctx_id, t.name, buf, inst, len, 0, &h->err);
        return h->err != 0 ? UINT32_MAX : n;
    }
    static void from_xml(qel_handle_t *h, uint32_t ctx, const char *path, void *doc, void *inst,
                         uint32_t *err, char *msg, uint32_t msg_size) {
        // Types that own lists register the trace module before reading.
        if constexpr (owns_list()) trace_register();
        read(text::Reading{h, ctx, doc, err, msg, msg_size}, path, inst);
    }
};

} // namespace drov::structs
