// Reading XML strictly and writing it well formed, beside the per-type
// from_xml and to_xml (drov_def.h, "Checks at the edges").
//
// Strict reading walks a structure's element against the schema before
// from_xml reads it: every child element must be a field of the type (of
// any variant up to the one the handle's domain gives it), a field that
// does not repeat may be given once, and each field's element must hold
// what its kind reads.  Each kind's rule is CheckOf<K>; a structure's walk
// is Check<T>.  The checks only look: a refused document changes nothing.
//
// An enumeration value a type does not name (a newer peer's) is written by
// to_xml as <TYPE value out of range/>, which is no XML.  The well-formed
// writer rewrites each of them as <TYPE value="N"/>, N being the number the
// instance holds, and the readers store that number after from_xml
// (Numbers<T>): from_xml itself finds no value name there and leaves the
// field alone.
#pragma once

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "structs/render.h"

namespace drov::structs::xml {

// ---- What the checks share ------------------------------------------------------

// A field's path in words: names joined by dots, positions from 0
// ("vm_if_rsp.vm_if_info[1].mtu"), cut at its capacity.
class FieldPath {
public:
    size_t mark() const { return a_.n; }
    void back(size_t m) {
        a_.n = m;
        buf_[m] = '\0';
    }
    void field(const char *name) {
        if (a_.n != 0) a_.add(".", 1);
        a_.add(name, std::strlen(name));
        a_.end();
    }
    void position(uint32_t k) {
        a_.add("[", 1);
        a_.add(k);
        a_.add("]", 1);
        a_.end();
    }
    const char *str() const { return buf_; }

private:
    char buf_[512] = "";
    text::Appender a_{buf_, sizeof buf_, 0};
};

// The enumeration number <TYPE value="N"/> carries: decimal digits, no
// sign or space, at most 4294967295.
inline bool parse_number(const char *s, uint32_t *out) {
    uint64_t v = 0;
    size_t n = 0;
    for (; s[n] >= '0' && s[n] <= '9'; ++n) {
        v = v * 10 + static_cast<uint64_t>(s[n] - '0');
        if (v > UINT32_MAX) return false;
    }
    if (n == 0 || s[n] != '\0') return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// Whether the enumeration names value v, as its to_xml decides it.
inline bool named(const enums::EnumType &e, uint32_t v) {
    const auto s = static_cast<int32_t>(v);
    return s >= static_cast<int32_t>(e.first) && s < static_cast<int32_t>(e.first + e.count);
}

// The index of the value name `name` of the enumeration, or e.count.
inline uint32_t value_index(const enums::EnumType &e, const char *name) {
    uint32_t k = 0;
    while (k < e.count && std::strcmp(name, e.names[k]) != 0) ++k;
    return k;
}

// The number an enumeration's <TYPE value="N"/> element carries: true with
// it; false for an element of another name, no value or one that is no
// number.
inline bool numeric_value(void *doc, const void *elem, const enums::EnumType &e, uint32_t *out) {
    if (std::strcmp(xml_element_name(doc, elem), e.name) != 0) return false;
    char v[16];
    return xml_element_attribute(doc, elem, "value", v, sizeof v, nullptr) == 0 &&
           parse_number(v, out);
}

// A strict reading's walk: the handle and document, the domain's variant of
// each type, the path of the field at hand, and the refusal once there is
// one.
class Checker {
public:
    Checker(qel_handle_t *h, uint32_t ctx, void *doc) : h_(h), ctx_(ctx), doc_(doc) {}

    qel_handle_t *handle() const { return h_; }
    uint32_t ctx() const { return ctx_; }
    void *doc() const { return doc_; }
    FieldPath &path() { return path_; }

    int8_t domain(uint32_t type) {
        uint32_t e = 0; // a domain that fails to answer refuses every later variant
        return domains_.get(h_, type, record(type), &e);
    }

    // Records the refusal (the first one) and returns false.
    __attribute__((format(printf, 4, 5))) bool refuse(uint32_t code, const void *elem,
                                                      const char *fmt, ...) {
        if (code_ != 0) return false;
        code_ = code;
        elem_ = elem;
        std::va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(reason_, sizeof reason_, fmt, ap);
        va_end(ap);
        return false;
    }
    uint32_t code() const { return code_; }
    const void *where() const { return elem_; }
    const char *reason() const { return reason_; }

    // What the element holds besides its field elements (QEL_XML_*); *text
    // the start of its first text.
    uint32_t content(const void *elem, const char **text = nullptr) const {
        return xml_element_content(doc_, elem, text);
    }

    // The element's text for a reason: quoted, control characters as \xHH,
    // cut after 40 bytes.
    const char *quoted(const void *elem) {
        char small[48];
        char *value = small;
        uint32_t needed = 0;
        int32_t rc = xml_element_value(doc_, elem, small, sizeof small, &needed);
        if (rc == QEL_ENOSPC) { // (a refusal's cost: the whole text, once)
            value = new (std::nothrow) char[needed + 1];
            rc = value != nullptr ? xml_element_value(doc_, elem, value, needed + 1, nullptr)
                                  : QEL_ENOMEM;
        }
        const size_t n = rc != 0 ? 0 : needed < 40 ? needed : 40;
        text::Appender a{quote_, sizeof quote_, 0};
        a.add("'", 1);
        for (size_t i = 0; i < n; ++i) {
            const auto c = static_cast<unsigned char>(value[i]);
            char hex[5];
            if (c >= 0x20 && c != 0x7f)
                a.add(&value[i], 1);
            else
                a.add(hex, static_cast<size_t>(std::snprintf(hex, sizeof hex, "\\x%02x", c)));
        }
        if (rc == 0 && needed > n) a.add("...", 3);
        a.add("'", 1);
        if (value != small) delete[] value;
        return a.end();
    }

    // A value read by the runtime's own reader of the element: no elements
    // in it, and a text that reads and fits.  `what` names the value type
    // with its article ("a u16").
    template <class R> bool number(const void *elem, const char *name, const char *what) {
        if ((content(elem) & (QEL_XML_ELEMENTS | QEL_XML_FOREIGN)) != 0)
            return refuse(QEL_EINVAL, elem, "%s holds elements, not %s", name, what);
        typename R::V v{};
        uint32_t e = 0;
        R::from_xml_element(h_, ctx_, doc_, elem, &v, &e);
        if (e == 0) return true;
        if (e != QEL_EINVAL) return refuse(e, elem, "%s could not be read", name);
        return refuse(QEL_EINVAL, elem, "%s is not %s", quoted(elem), what);
    }

    // The length of the element's text, which must be text alone.
    bool text_length(const void *elem, const char *name, uint32_t *n) {
        if ((content(elem) & (QEL_XML_ELEMENTS | QEL_XML_FOREIGN)) != 0)
            return refuse(QEL_EINVAL, elem, "%s holds elements, not text", name);
        const auto rc = static_cast<uint32_t>(xml_element_value(doc_, elem, nullptr, 0, n));
        return rc == QEL_ENOSPC || refuse(rc, elem, "%s could not be read", name);
    }

private:
    qel_handle_t *h_;
    uint32_t ctx_;
    void *doc_;
    Domains domains_;
    FieldPath path_;
    uint32_t code_ = 0;
    const void *elem_ = nullptr;
    char reason_[384] = "";
    char quote_[200] = "";
};

// ---- The rules by field kind ----------------------------------------------------

// check(c, elem, k): the k-th element (from 0) of the field in its
// structure; c.path() names it.
template <class K> struct CheckOf;

template <uint32_t T> struct Check;

template <class F, class P> struct CheckOf<Scalar<F, P>> {
    using R = typename text::RtOfWidth<sizeof(typename P::V)>::type;
    static constexpr const char *kWhat = sizeof(typename P::V) == 1   ? "a u8"
                                         : sizeof(typename P::V) == 2 ? "a u16"
                                                                      : "a u32";
    static bool check(Checker &c, const void *elem, uint32_t) {
        return c.number<R>(elem, F::d.name, kWhat);
    }
};
template <class F> struct CheckOf<Boolean<F>> {
    static bool check(Checker &c, const void *elem, uint32_t) {
        return c.number<text::RtBool>(elem, F::d.name, "a boolean (true, false, 1 or 0)");
    }
};
template <class F> struct CheckOf<IfHandle<F>> {
    static bool check(Checker &c, const void *elem, uint32_t) {
        return c.number<text::RtIfHandle>(elem, F::d.name, "an interface handle");
    }
};
// A length field: to_xml writes it, from_xml does not read it (its string's
// or array's setter sets it); it only has to be a number that fits.
template <class F> struct CheckOf<Length<F>> {
    static constexpr const char *kWhat = F::d.width == 1 ? "a u8" : F::d.width == 2 ? "a u16" : "a u32";
    static bool check(Checker &c, const void *elem, uint32_t) {
        return c.number<typename text::RtOfWidth<F::d.width>::type>(elem, F::d.name, kWhat);
    }
};

// An enumeration: one empty element, named after one of the type's values,
// or <TYPE value="N"/>; no text.
template <class F> struct CheckOf<EnumField<F>> {
    static bool check(Checker &c, const void *elem, uint32_t) {
        const enums::EnumType &e = EnumField<F>::type();
        const char *text = nullptr;
        const uint32_t held = c.content(elem, &text);
        if ((held & QEL_XML_FOREIGN) != 0)
            return c.refuse(QEL_EINVAL, elem, "%s holds an element in a namespace", F::d.name);
        if ((held & QEL_XML_TEXT) != 0)
            return c.refuse(QEL_EINVAL, elem,
                            "an enumeration is written as an element such as <%s/>, not as text",
                            example(e, text));
        void *doc = c.doc();
        const void *value = xml_element_next(doc, elem, nullptr, nullptr);
        if (value == nullptr)
            return c.refuse(QEL_EINVAL, elem, "%s holds no value of %s, such as <%s/>", F::d.name,
                            e.name, e.names[0]);
        if (const void *more = xml_element_next(doc, elem, value, nullptr))
            return c.refuse(QEL_EINVAL, more, "%s holds more than one value", F::d.name);
        const char *name = xml_element_name(doc, value);
        uint32_t n = 0;
        if (value_index(e, name) == e.count && std::strcmp(name, e.name) != 0)
            return c.refuse(QEL_EINVAL, value, "%s is no value of %s", name, e.name);
        if (c.content(value) != 0)
            return c.refuse(QEL_EINVAL, value, "<%s> holds something: a value is an empty element",
                            name);
        if (std::strcmp(name, e.name) == 0 && !numeric_value(doc, value, e, &n))
            return c.refuse(QEL_EINVAL, value, "<%s/> needs value=\"N\", N a number up to 4294967295",
                            name);
        return true;
    }
    // A value name the text begins with, else the first one.
    static const char *example(const enums::EnumType &e, const char *text) {
        for (uint32_t k = 0; text != nullptr && k < e.count; ++k) {
            const size_t n = std::strlen(e.names[k]);
            if (std::strncmp(text, e.names[k], n) == 0 &&
                (text[n] == '\0' || text[n] == ' ' || text[n] == '\t' || text[n] == '\n' ||
                 text[n] == '\r'))
                return e.names[k];
        }
        return e.names[0];
    }
};

template <class F> struct CheckOf<Record<F>> {
    static bool check(Checker &c, const void *elem, uint32_t) {
        return Check<Record<F>::R>::structure(c, elem);
    }
};
template <class F> struct CheckOf<List<F>> {
    static bool check(Checker &c, const void *elem, uint32_t) {
        return Check<List<F>::E>::structure(c, elem);
    }
};

// The width of a string's length field in words, and the most it counts
// (all ones is no length: a setter refuses it).
template <class W> inline constexpr const char *kWidthName =
    sizeof(W) == 1 ? "u8" : sizeof(W) == 2 ? "u16" : "u32";
template <class W> inline constexpr uint32_t kMostCounted =
    sizeof(W) == 4 ? UINT32_MAX - 1 : std::numeric_limits<W>::max();

template <class F> struct CheckOf<String<F>> {
    using W = typename String<F>::W;
    static bool check(Checker &c, const void *elem, uint32_t) {
        uint32_t n = 0;
        if (!c.text_length(elem, F::d.name, &n)) return false;
        if (n > kMostCounted<W>)
            return c.refuse(QEL_EINVAL, elem, "%u bytes, more than its %s length counts (%u)",
                            n, kWidthName<W>, kMostCounted<W>);
        return true;
    }
};
template <class F> struct CheckOf<Text<F>> {
    static bool check(Checker &c, const void *elem, uint32_t) {
        uint32_t n = 0;
        if (!c.text_length(elem, F::d.name, &n)) return false;
        if (n > Text<F>::C)
            return c.refuse(QEL_EINVAL, elem, "%u bytes, more than its capacity (%u)", n,
                            Text<F>::C);
        return true;
    }
};
template <class F> struct CheckOf<Array<F>> {
    static bool check(Checker &c, const void *elem, uint32_t k) {
        if (k >= Array<F>::N)
            return c.refuse(QEL_EINVAL, elem, "more than its %u elements", Array<F>::N);
        return c.number<text::RtU8>(elem, F::d.name, "a u8");
    }
};
template <class F> struct CheckOf<VarArray<F>> {
    static bool check(Checker &c, const void *elem, uint32_t) {
        return c.number<text::RtU8>(elem, F::d.name, "a u8");
    }
};

// ---- A structure ----------------------------------------------------------------

constexpr bool repeats(FieldKind k) {
    return k == FieldKind::Array || k == FieldKind::VarArray || k == FieldKind::List;
}

template <uint32_t T> struct Check {
    static constexpr const TypeDesc &t = kTypes[T];
    using Fn = bool (*)(Checker &, const void *, uint32_t);
    static constexpr auto kFns = []<uint32_t... I>(std::integer_sequence<uint32_t, I...>) {
        return std::array<Fn, sizeof...(I)>{&CheckOf<KindOf<T, I>>::check...};
    }(std::make_integer_sequence<uint32_t, t.field_count>{});

    static uint32_t field_index(const char *name) {
        uint32_t i = 0;
        while (i < t.field_count && std::strcmp(name, t.fields[i].name) != 0) ++i;
        return i;
    }

    // The structure's element: no text, no element in a namespace, and
    // each child a field the handle's domain knows, given once unless it
    // repeats, holding what its kind reads.  c.path() is the structure's.
    static bool structure(Checker &c, const void *elem) {
        void *doc = c.doc();
        const char *text = nullptr;
        const uint32_t held = c.content(elem, &text);
        if ((held & QEL_XML_TEXT) != 0) {
            char shown[24];
            size_t n = 0;
            while (text != nullptr && n < 20 && text[n] != '\0' && text[n] != '<') ++n;
            std::snprintf(shown, sizeof shown, "%.*s%s", static_cast<int>(n),
                          text != nullptr ? text : "", text != nullptr && text[n] != '\0' ? "..." : "");
            return c.refuse(QEL_EINVAL, elem, "text '%s' between the fields of %s", shown, t.name);
        }
        if ((held & QEL_XML_FOREIGN) != 0)
            return c.refuse(QEL_EINVAL, elem, "an element in a namespace among the fields of %s",
                            t.name);
        const int8_t domain = c.domain(T);
        uint32_t seen[t.field_count] = {};
        for (const void *child = xml_element_next(doc, elem, nullptr, nullptr); child != nullptr;
             child = xml_element_next(doc, elem, child, nullptr)) {
            const char *name = xml_element_name(doc, child);
            const uint32_t i = field_index(name);
            if (i == t.field_count)
                return c.refuse(QEL_EINVAL, child, "%s is no field of %s", name, t.name);
            const FieldDesc &d = t.fields[i];
            const size_t mark = c.path().mark();
            c.path().field(d.name);
            if (repeats(d.kind)) c.path().position(seen[i]);
            if (d.variant > domain)
                return c.refuse(QEL_EIDRM, child,
                                "%s came with variant %d of %s; the handle's domain gives it %d",
                                d.name, d.variant, t.name, domain);
            if (seen[i] != 0 && !repeats(d.kind))
                return c.refuse(QEL_EINVAL, child, "%s given twice", d.name);
            if (!kFns[i](c, child, seen[i])) return false;
            ++seen[i];
            c.path().back(mark);
        }
        return true;
    }
};

// ---- Enumeration numbers ----------------------------------------------------------

// Whether instances of type t hold an enumeration, at any depth.
constexpr bool holds_enum(uint32_t t) {
    for (uint32_t i = 0; i < kTypes[t].field_count; ++i) {
        const FieldDesc &f = kTypes[t].fields[i];
        if (f.kind == FieldKind::Enum) return true;
        if ((f.kind == FieldKind::Record || f.kind == FieldKind::List) &&
            holds_enum(static_cast<uint32_t>(f.ref)))
            return true;
    }
    return false;
}

// Stores the numbers of the <TYPE value="N"/> elements into the
// enumerations from_xml left alone (their elements hold no value name), as
// a decoding stores a value: announced, whatever the number.  Each field is
// the first element of its name, as from_xml reads it; the document's
// elements of a list are the last ones of the list, which from_xml appended.
struct Numbering {
    qel_handle_t *h;
    uint32_t ctx;
    void *doc;
};

template <class K> struct NumbersOf {
    static void apply(const Numbering &, const void *, void *) {}
};
template <uint32_t T> struct Numbers {
    static void apply(const Numbering &n, const void *elem, void *inst) {
        if constexpr (holds_enum(T))
            each_field<T>([&](auto k) { NumbersOf<decltype(k)>::apply(n, elem, inst); });
    }
};

template <class F> struct NumbersOf<EnumField<F>> {
    static void apply(const Numbering &n, const void *parent, void *inst) {
        const enums::EnumType &e = EnumField<F>::type();
        const void *elem = xml_element_next(n.doc, parent, nullptr, F::d.name);
        if (elem == nullptr) return;
        const void *numeric = nullptr;
        for (const void *v = xml_element_next(n.doc, elem, nullptr, nullptr); v != nullptr;
             v = xml_element_next(n.doc, elem, v, nullptr)) {
            if (value_index(e, xml_element_name(n.doc, v)) != e.count) return; // from_xml's
            if (numeric == nullptr) numeric = v;
        }
        uint32_t number = 0;
        if (numeric == nullptr || !numeric_value(n.doc, numeric, e, &number)) return;
        enums::Instance *slot = EnumField<F>::slot(inst);
        announce(n.h, &slot->value, sizeof slot->value, n.ctx, slot);
        slot->value = number;
    }
};
template <class F> struct NumbersOf<Record<F>> {
    static void apply(const Numbering &n, const void *parent, void *inst) {
        if constexpr (holds_enum(Record<F>::R)) {
            if (const void *elem = xml_element_next(n.doc, parent, nullptr, F::d.name))
                Numbers<Record<F>::R>::apply(n, elem, Record<F>::field(inst));
        }
    }
};
template <class F> struct NumbersOf<List<F>> {
    static void apply(const Numbering &n, const void *parent, void *inst) {
        if constexpr (holds_enum(List<F>::E)) {
            uint32_t m = 0;
            for (const void *c = xml_element_next(n.doc, parent, nullptr, F::d.name); c != nullptr;
                 c = xml_element_next(n.doc, parent, c, F::d.name))
                ++m;
            Head *head = at<Head>(inst, F::d.offset);
            void *e = head->first;
            for (uint32_t skip = head->count > m ? head->count - m : 0; skip > 0 && e != head; --skip)
                e = link(e)->next;
            for (const void *c = xml_element_next(n.doc, parent, nullptr, F::d.name);
                 c != nullptr && e != head && e != nullptr;
                 c = xml_element_next(n.doc, parent, c, F::d.name), e = link(e)->next)
                Numbers<List<F>::E>::apply(n, c, e);
        }
    }
};

// The numbers of the enumeration values the type does not name, in the
// order to_xml writes them: the fields of each structure's own variant, in
// declaration order, nested records and list elements in place.
template <class K> struct UnnamedOf {
    template <class Fn> static void each(const void *, Fn &) {}
};
template <uint32_t T> struct Unnamed {
    template <class Fn> static void each(const void *inst, Fn &fn) {
        if constexpr (holds_enum(T)) {
            const int8_t iv = hdr(inst).instance_variant;
            each_field<T>([&](auto k) {
                if (decltype(k)::d.variant <= iv) UnnamedOf<decltype(k)>::each(inst, fn);
            });
        }
    }
};
template <class F> struct UnnamedOf<EnumField<F>> {
    template <class Fn> static void each(const void *inst, Fn &fn) {
        const enums::EnumType &e = EnumField<F>::type();
        const uint32_t v = at<enums::Instance>(inst, F::d.offset)->value;
        if (!named(e, v)) fn(e, v);
    }
};
template <class F> struct UnnamedOf<Record<F>> {
    template <class Fn> static void each(const void *inst, Fn &fn) {
        Unnamed<Record<F>::R>::each(at<uint8_t>(inst, F::d.offset), fn);
    }
};
template <class F> struct UnnamedOf<List<F>> {
    template <class Fn> static void each(const void *inst, Fn &fn) {
        if constexpr (holds_enum(List<F>::E)) {
            const Head *head = at<Head>(inst, F::d.offset);
            for (const void *e = head->first; e != head && e != nullptr;
                 e = link(const_cast<void *>(e))->next)
                Unnamed<List<F>::E>::each(e, fn);
        }
    }
};

} // namespace drov::structs::xml
