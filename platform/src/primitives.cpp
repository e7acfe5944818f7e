// The primitive types of the runtime (u_int8, u_int16, u_int32, qel_boolean,
// if_handle, char), the header items of the instance encoding and the object
// life of embedded booleans and interface handles.
//
// Wire encodings are big endian.  A marshal or unmarshal that lacks room
// stores 90 (message too long) and moves nothing.  Every operation with an
// error word follows the library's contract: it does nothing and returns 0
// while *err holds an error, and clears the handle's last error otherwise.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

#include "detail.h"

using qel_standin::Call;
using qel_standin::HandleState;
using namespace qel_standin::detail;

namespace {

// Big-endian words of 1, 2, 4 or 8 bytes.
template <unsigned W> inline void store_be(uint8_t *buf, uint64_t v) {
    if constexpr (W == 1) {
        buf[0] = static_cast<uint8_t>(v);
    } else if constexpr (W == 2) {
        const uint16_t x = __builtin_bswap16(static_cast<uint16_t>(v));
        std::memcpy(buf, &x, 2);
    } else if constexpr (W == 4) {
        const uint32_t x = __builtin_bswap32(static_cast<uint32_t>(v));
        std::memcpy(buf, &x, 4);
    } else {
        static_assert(W == 8);
        const uint64_t x = __builtin_bswap64(v);
        std::memcpy(buf, &x, 8);
    }
}

template <unsigned W> inline uint64_t load_be(const uint8_t *buf) {
    if constexpr (W == 1) {
        return buf[0];
    } else if constexpr (W == 2) {
        uint16_t x;
        std::memcpy(&x, buf, 2);
        return __builtin_bswap16(x);
    } else {
        static_assert(W == 4);
        uint32_t x;
        std::memcpy(&x, buf, 4);
        return __builtin_bswap32(x);
    }
}

[[gnu::cold, gnu::noinline]] void short_room(qel_handle_t *h, uint32_t *err) {
    fail(h, err, QEL_EMSGSIZE);
}

[[gnu::always_inline]] inline bool fits(qel_handle_t *h, const void *buf, const void *v,
                                        int32_t len, uint64_t width, uint32_t *err) {
    if (buf == nullptr || v == nullptr || len < 0 || static_cast<uint64_t>(len) < width)
        [[unlikely]] {
        short_room(h, err);
        return false;
    }
    return true;
}

// Reads a word into *out; false (with 90 stored) when the room is short.
template <unsigned W>
[[gnu::always_inline]] inline bool get_word(qel_handle_t *h, const uint8_t *buf, const void *dst,
                                            int32_t len, uint64_t *out, uint32_t *err) {
    if (!fits(h, buf, dst, len, W, err)) return false;
    *out = load_be<W>(buf);
    return true;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view t) {
    size_t b = 0, e = t.size();
    while (b < e && is_space(t[b])) ++b;
    while (e > b && is_space(t[e - 1])) --e;
    return t.substr(b, e - b);
}

// The digits of a plain decimal number ("0" or no leading zero) or of a
// plain hexadecimal one ("0x" and digits), which strtoull reads the same
// way in any locale, up to 16 of them (no overflow): true with the value.
bool plain_unsigned(std::string_view t, uint64_t *out) {
    uint64_t v = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        if (t.size() > 18) return false;
        for (size_t i = 2; i < t.size(); ++i) {
            const unsigned c = static_cast<unsigned char>(t[i]);
            unsigned d;
            if (c - '0' < 10u)
                d = c - '0';
            else if ((c | 0x20u) - 'a' < 6u)
                d = (c | 0x20u) - 'a' + 10;
            else
                return false;
            v = v << 4 | d;
        }
    } else {
        if (t.empty() || t.size() > 16 || (t[0] == '0' && t.size() > 1)) return false;
        for (const char ch : t) {
            const auto d = static_cast<unsigned>(static_cast<unsigned char>(ch) - '0');
            if (d >= 10) return false;
            v = v * 10 + d;
        }
    }
    *out = v;
    return true;
}

// Unsigned number in C notation (decimal, 0x hex, 0 octal) no larger than max.
bool parse_unsigned(std::string_view text, uint64_t max, uint64_t *out) {
    std::string_view t = trimmed(text);
    uint64_t plain;
    if (plain_unsigned(t, &plain)) {
        if (plain > max) return false;
        *out = plain;
        return true;
    }
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
    // strtoull wants the number on its own; a short one is copied here
    char small[32];
    std::string large;
    const char *c;
    if (t.size() < sizeof small) {
        std::memcpy(small, t.data(), t.size());
        small[t.size()] = '\0';
        c = small;
    } else {
        large.assign(t);
        c = large.c_str();
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(c, &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || v > max) return false;
    *out = v;
    return true;
}

// What differs between the primitive types; the rest is one template.
// print writes the value as print shows it, xml as XML character data.
template <class T> struct Unsigned {
    using CT = T;
    static constexpr unsigned wire = sizeof(T);
    static uint64_t to_wire(CT v) { return v; }
    static CT from_wire(uint64_t w) { return static_cast<CT>(w); }
    static void print(Out &out, CT v) { out.add_unsigned(v); }
    static void xml(Out &out, CT v) { out.add_unsigned(v); }
    static bool parse(std::string_view s, CT *v) {
        uint64_t n;
        if (!parse_unsigned(s, std::numeric_limits<T>::max(), &n)) return false;
        *v = static_cast<CT>(n);
        return true;
    }
};

struct U8 : Unsigned<u_int8> {};
struct U16 : Unsigned<u_int16> {};
struct U32 : Unsigned<u_int32> {};

// 0x and eight hexadecimal digits.
struct Handle : U32 {
    static void print(Out &out, CT v) {
        char text[10] = {'0', 'x'};
        for (int i = 0; i < 8; ++i) text[2 + i] = "0123456789abcdef"[(v >> (28 - 4 * i)) & 15];
        out.add(text, sizeof text);
    }
    static void xml(Out &out, CT v) { print(out, v); }
};

// Four bytes in memory, one on the wire; any non-zero value is stored as 1.
struct Bool : U32 {
    static constexpr unsigned wire = 1;
    static uint64_t to_wire(CT v) { return v != 0; }
    static CT from_wire(uint64_t w) { return w != 0; }
    static CT stored(CT v) { return v != 0; }
    static void print(Out &out, CT v) { v != 0 ? out.add("TRUE", 4) : out.add("FALSE", 5); }
    static void xml(Out &out, CT v) { v != 0 ? out.add("true", 4) : out.add("false", 5); }
    static bool parse(std::string_view s, CT *v) {
        std::string_view t = trimmed(s);
        if (t == "true" || t == "1")
            *v = 1;
        else if (t == "false" || t == "0")
            *v = 0;
        else
            return false;
        return true;
    }
};

// A character prints quoted ('a', '\n', '\x00'); in XML it is the character
// itself, so one that XML cannot carry comes back as the first byte of
// U+FFFD.
struct Char {
    using CT = char;
    static constexpr unsigned wire = 1;
    static uint64_t to_wire(CT v) { return static_cast<unsigned char>(v); }
    static CT from_wire(uint64_t w) { return static_cast<CT>(w); }
    static void print(Out &out, CT v) { out.add_c_quoted(&v, 1, '\''); }
    static void xml(Out &out, CT v) { out.add_xml_text(&v, 1); }
    static bool parse(std::string_view s, CT *v) {
        if (s.empty()) return false;
        *v = s[0];
        return true;
    }
};

template <class Tr> typename Tr::CT stored_value(typename Tr::CT v) {
    if constexpr (requires { Tr::stored(v); })
        return Tr::stored(v);
    else
        return v;
}

template <class Tr> struct Primitive {
    using CT = typename Tr::CT;

    static CT *get(qel_handle_t *h, CT *field, uint32_t *err) {
        if (!begin(h, err)) return nullptr;
        if (field == nullptr) fail(h, err, QEL_EINVAL);
        return field;
    }
    static CT get_value(qel_handle_t *h, const CT *p, uint32_t *err) {
        if (!begin(h, err)) return 0;
        if (p == nullptr) {
            fail(h, err, QEL_EINVAL);
            return 0;
        }
        return *p;
    }
    static void store(qel_handle_t *h, uint32_t ctx, CT *field, CT value, uint32_t *err) {
        if (field == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        if (h != nullptr && h->write_notify != nullptr)
            h->write_notify(h, field, sizeof(CT), ctx, nullptr);
        *field = stored_value<Tr>(value);
    }
    static void set_value(qel_handle_t *h, uint32_t ctx, CT *field, CT value, uint32_t *err) {
        if (!begin(h, err)) return;
        store(h, ctx, field, value, err);
    }
    static void set(qel_handle_t *h, uint32_t ctx, CT *field, const CT *src, uint32_t *err) {
        if (!begin(h, err)) return;
        if (src == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        store(h, ctx, field, *src, err);
    }
    static uint32_t marshal(qel_handle_t *h, uint8_t *buf, const CT *v, int32_t len,
                            uint32_t *err) {
        if (!begin(h, err)) return 0;
        if (!fits(h, buf, v, len, Tr::wire, err)) return 0;
        store_be<Tr::wire>(buf, Tr::to_wire(*v));
        return Tr::wire;
    }
    static uint32_t unmarshal(qel_handle_t *h, const uint8_t *buf, CT *v, int32_t len,
                              uint32_t *err) {
        if (!begin(h, err)) return 0;
        uint64_t w;
        if (!get_word<Tr::wire>(h, buf, v, len, &w, err)) return 0;
        *v = Tr::from_wire(w);
        return Tr::wire;
    }
    static int32_t print(qel_handle_t *h, char *buf, int32_t indent, const char *label,
                         const CT *v, int32_t len, uint32_t *err) {
        if (!begin(h, err)) return 0;
        if (v == nullptr) {
            fail(h, err, QEL_EINVAL);
            return 0;
        }
        Out out(buf, len);
        out.fill(' ', indent > 0 ? static_cast<size_t>(indent) : 0);
        out.add(label);
        out.add(':');
        Tr::print(out, *v);
        out.add('\n');
        return out.finish(h, err);
    }
    static int32_t to_xml(qel_handle_t *h, const char *tag, char *buf, const CT *v, int32_t len,
                          uint32_t flag, uint32_t *err) {
        if (!begin(h, err)) return 0;
        if (v == nullptr) {
            fail(h, err, QEL_EINVAL);
            return 0;
        }
        Out out(buf, len);
        out.add_open_tag(tag, flag);
        Tr::xml(out, *v);
        out.add_close_tag(tag);
        return out.finish(h, err);
    }
    // Reads the element at path, or the element given (null: none; no
    // message then, the path being the caller's).
    template <class... Where>
    static void from_xml(qel_handle_t *h, const char *path, CT *v, uint32_t *err, char *msg,
                         uint32_t msg_size, Where... where) {
        if (!begin(h, err)) return;
        ElementText text;
        int32_t r = element_text(where..., &text);
        CT parsed{};
        if (r == 0 && !Tr::parse(std::string_view(text.data(), text.size()), &parsed))
            r = QEL_EINVAL;
        if (r == 0 && v == nullptr) r = QEL_EINVAL;
        if (r != 0) {
            fail(h, err, static_cast<uint32_t>(r));
            if (r != static_cast<int32_t>(QEL_ENOENT)) xpath_message(msg, msg_size, path);
            return;
        }
        *v = parsed;
    }
    static int32_t compare(const CT *a, const CT *b) {
        if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
        auto key = [](CT c) {
            return static_cast<uint64_t>(static_cast<std::make_unsigned_t<CT>>(c));
        };
        uint64_t x = key(*a), y = key(*b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    static uint32_t hash(const CT *v, uint32_t running) {
        if (v == nullptr) return running;
        return SuperFastHash(reinterpret_cast<const char *>(v), sizeof(CT), running);
    }
};

// A decoding recorded as a call; apart, so that the unrecorded one needs no
// frame of its own.
template <class Tr>
[[gnu::cold, gnu::noinline]] uint32_t unmarshal_noted(const char *name, qel_handle_t *h,
                                                      uint32_t ctx, const uint8_t *buf,
                                                      typename Tr::CT *v, int32_t len,
                                                      uint32_t update, uint32_t *err) {
    note(h, name, ctx, v, buf, update);
    return Primitive<Tr>::unmarshal(h, buf, v, len, err);
}

template <std::vector<uint64_t> HandleState::*Refs> struct ObjectLife {
    static void initialize(qel_handle_t *h, uint32_t ctx, uint32_t *field,
                           const qel_type_info_t *ti, int32_t notify, uint8_t flags,
                           uint32_t *err, const char *name) {
        if (field == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        if (notify != 0 && h != nullptr && h->write_notify != nullptr)
            h->write_notify(h, field, sizeof *field, ctx, nullptr);
        *field = 0;
        note(h, name, ctx, field, ti, flags);
    }
    // Like the module's own reference queries: a pending error returns at
    // once, and the last error is never cleared.
    static uint32_t oid_count(qel_handle_t *h, uint32_t ctx, const void *field, uint32_t *err,
                              const char *name) {
        note(h, name, ctx, field, nullptr, 0);
        if (err != nullptr && *err != 0) return 0;
        HandleState *s = state_of(h);
        if (s == nullptr) return 0;
        if (s->oid_count_error != 0) {
            fail(h, err, s->oid_count_error);
            return 0;
        }
        return static_cast<uint32_t>((s->*Refs).size());
    }
    static void references(qel_handle_t *h, uint32_t ctx, const void *field, uint64_t *refs,
                           uint32_t cap, uint32_t *err, const char *name) {
        note(h, name, ctx, field, refs, cap);
        if (err != nullptr && *err != 0) return;
        HandleState *s = state_of(h);
        if (s == nullptr) return;
        if (s->object_references_error != 0) {
            fail(h, err, s->object_references_error);
            return;
        }
        uint32_t n = 0;
        if (refs != nullptr)
            for (uint64_t r : s->*Refs) {
                if (n == cap) break;
                refs[n++] = r;
            }
    }
};

} // namespace

#define QEL_DEFINE_PRIMITIVE(T, Tr)                                                            \
    extern "C" T *T##_get(qel_handle_t *h, uint32_t, T *field, uint32_t *err) {               \
        return Primitive<Tr>::get(h, field, err);                                              \
    }                                                                                          \
    extern "C" T T##_get_value(qel_handle_t *h, uint32_t, const T *p, uint32_t *err) {        \
        return Primitive<Tr>::get_value(h, p, err);                                            \
    }                                                                                          \
    extern "C" void T##_set(qel_handle_t *h, uint32_t ctx, T *field, const T *src,             \
                            uint32_t *err) {                                                   \
        Primitive<Tr>::set(h, ctx, field, src, err);                                           \
    }                                                                                          \
    extern "C" void T##_set_value(qel_handle_t *h, uint32_t ctx, T *field, T value,            \
                                  uint32_t *err) {                                             \
        Primitive<Tr>::set_value(h, ctx, field, value, err);                                   \
    }                                                                                          \
    extern "C" uint32_t T##_marshal(qel_handle_t *h, uint32_t, uint8_t *buf, const T *v,       \
                                    int32_t len, uint32_t *err) {                              \
        return Primitive<Tr>::marshal(h, buf, v, len, err);                                    \
    }                                                                                          \
    extern "C" uint32_t T##_unmarshal(qel_handle_t *h, uint32_t ctx, const uint8_t *buf, T *v, \
                                      int32_t len, uint32_t update, uint32_t *err) {           \
        if (records(h)) [[unlikely]]                                                           \
            return unmarshal_noted<Tr>(#T "_unmarshal", h, ctx, buf, v, len, update, err);     \
        return Primitive<Tr>::unmarshal(h, buf, v, len, err);                                  \
    }                                                                                          \
    extern "C" uint32_t T##_len(void) { return Tr::wire; }                                     \
    extern "C" uint32_t T##_sizeof(void) { return sizeof(T); }                                 \
    extern "C" int32_t T##_print(qel_handle_t *h, uint32_t, char *buf, int32_t indent,         \
                                 const char *label, const T *v, int32_t len, uint32_t *err) {  \
        return Primitive<Tr>::print(h, buf, indent, label, v, len, err);                       \
    }                                                                                          \
    extern "C" int32_t T##_to_xml(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,   \
                                  const T *v, int32_t len, uint32_t flag, uint32_t *err) {     \
        note(h, #T "_to_xml", ctx, v, tag, flag);                        \
        return Primitive<Tr>::to_xml(h, tag, buf, v, len, flag, err);                          \
    }                                                                                          \
    extern "C" void T##_from_xml(qel_handle_t *h, uint32_t ctx, const char *path, void *doc,   \
                                 T *v, uint32_t *err, char *msg, uint32_t msg_size) {          \
        note(h, #T "_from_xml", ctx, v, msg, msg_size);                  \
        Primitive<Tr>::from_xml(h, path, v, err, msg, msg_size, doc, path);                    \
    }                                                                                          \
    extern "C" void T##_from_xml_element(qel_handle_t *h, uint32_t ctx, void *,                \
                                         const void *elem, T *v, uint32_t *err) {              \
        note(h, #T "_from_xml_element", ctx, v, elem, 0);                                      \
        Primitive<Tr>::from_xml(h, nullptr, v, err, nullptr, 0, elem);                         \
    }                                                                                          \
    extern "C" int32_t T##_compare(const T *a, const T *b) {                                   \
        return Primitive<Tr>::compare(a, b);                                                   \
    }                                                                                          \
    extern "C" uint32_t T##_hash(const T *v, uint32_t running) {                               \
        return Primitive<Tr>::hash(v, running);                                                \
    }

QEL_DEFINE_PRIMITIVE(u_int8, U8)
QEL_DEFINE_PRIMITIVE(u_int16, U16)
QEL_DEFINE_PRIMITIVE(u_int32, U32)
QEL_DEFINE_PRIMITIVE(qel_boolean, Bool)
QEL_DEFINE_PRIMITIVE(if_handle, Handle)
QEL_DEFINE_PRIMITIVE(char, Char)

// A lone u_int8 value from the handle's allocator (a variable array's
// element while it is read from XML).
extern "C" u_int8 *u_int8_create(qel_handle_t *h, uint32_t ctx) {
    u_int8 *p = nullptr;
    if (h != nullptr && h->allocate != nullptr)
        p = static_cast<u_int8 *>(h->allocate(h->alloc_ctx, ctx, sizeof(u_int8)));
    if (p != nullptr) *p = 0;
    note(h, "u_int8_create", ctx, p, nullptr, 0);
    return p;
}

extern "C" void u_int8_destroy(qel_handle_t *h, uint32_t ctx, u_int8 *p) {
    note(h, "u_int8_destroy", ctx, p, nullptr, 0);
    if (p != nullptr && h != nullptr && h->free != nullptr) h->free(h->alloc_ctx, ctx, p);
}

#define QEL_DEFINE_OBJECT_LIFE(T)                                                              \
    extern "C" void T##_initialize(qel_handle_t *h, uint32_t ctx, T *field,                    \
                                   const qel_type_info_t *ti, int32_t notify, int32_t,         \
                                   uint8_t flags, void *, uint32_t *err) {                     \
        ObjectLife<&HandleState::T##_refs>::initialize(h, ctx, field, ti, notify, flags, err,  \
                                                       #T "_initialize");                      \
    }                                                                                          \
    extern "C" void T##_set_instance_embedded(qel_handle_t *h, uint32_t ctx, T *field) {       \
        note(h, #T "_set_instance_embedded", ctx, field, nullptr, 0);    \
    }                                                                                          \
    extern "C" uint32_t T##_get_oid_count(qel_handle_t *h, uint32_t ctx, T *field,             \
                                          uint32_t *err) {                                     \
        return ObjectLife<&HandleState::T##_refs>::oid_count(h, ctx, field, err,               \
                                                             #T "_get_oid_count");             \
    }                                                                                          \
    extern "C" void T##_get_object_references(qel_handle_t *h, uint32_t ctx, T *field,         \
                                              uint64_t *refs, uint32_t cap, uint32_t *err) {   \
        ObjectLife<&HandleState::T##_refs>::references(h, ctx, field, refs, cap, err,          \
                                                       #T "_get_object_references");           \
    }                                                                                          \
    extern "C" void T##_destroy_internal(qel_handle_t *h, uint32_t ctx, T *field,              \
                                         uint32_t release) {                                   \
        note(h, #T "_destroy_internal", ctx, field, nullptr, release);   \
    }

QEL_DEFINE_OBJECT_LIFE(qel_boolean)
QEL_DEFINE_OBJECT_LIFE(if_handle)

// ---- Header items of the instance encoding -----------------------------------

extern "C" {

uint32_t _qel_instance_variant_marshal(qel_handle_t *h, uint32_t, uint8_t *buf, const int8_t *v,
                                       int32_t len, uint32_t *err) {
    if (!begin(h, err) || !fits(h, buf, v, len, 1, err)) return 0;
    buf[0] = static_cast<uint8_t>(*v);
    return 1;
}

uint32_t _qel_instance_variant_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf,
                                         int8_t *v, int32_t len, uint32_t *err) {
    uint64_t w;
    if (!begin(h, err) || !get_word<1>(h, buf, v, len, &w, err)) return 0;
    *v = static_cast<int8_t>(w);
    return 1;
}

uint32_t _qel_instance_obj_flag_marshal(qel_handle_t *h, uint32_t, uint8_t *buf,
                                        const uint8_t *v, int32_t len, uint32_t *err) {
    if (!begin(h, err) || !fits(h, buf, v, len, 1, err)) return 0;
    buf[0] = *v;
    return 1;
}

uint32_t _qel_instance_obj_flag_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf,
                                          uint8_t *v, int32_t len, uint32_t *err) {
    uint64_t w;
    if (!begin(h, err) || !get_word<1>(h, buf, v, len, &w, err)) return 0;
    *v = static_cast<uint8_t>(w);
    return 1;
}

// Remote-access data: a 64-bit word and a byte.
uint32_t _qel_instance_ra_data_marshal(qel_handle_t *h, uint32_t, uint8_t *buf, uint64_t a,
                                       uint8_t b, int32_t len, uint32_t *err) {
    if (!begin(h, err) || !fits(h, buf, &a, len, 9, err)) return 0;
    store_be<8>(buf, a);
    buf[8] = b;
    return 9;
}

uint32_t _qel_instance_ra_data_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf,
                                         int32_t len, uint32_t *err) {
    if (!begin(h, err) || !fits(h, buf, buf, len, 9, err)) return 0;
    return 9;
}

uint32_t _qel_variant_jump_marshal(qel_handle_t *h, uint32_t, uint8_t *buf, const uint32_t *v,
                                   int32_t len, uint32_t *err) {
    if (!begin(h, err) || !fits(h, buf, v, len, 4, err)) return 0;
    store_be<4>(buf, *v);
    return 4;
}

uint32_t _qel_variant_jump_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf, uint32_t *v,
                                     int32_t len, uint32_t *err) {
    uint64_t w;
    if (!begin(h, err) || !get_word<4>(h, buf, v, len, &w, err)) return 0;
    *v = static_cast<uint32_t>(w);
    return 4;
}

uint32_t _qel_list_len_marshal(qel_handle_t *h, uint32_t ctx, uint8_t *buf, const uint32_t *v,
                               int32_t len, uint32_t *err) {
    return _qel_variant_jump_marshal(h, ctx, buf, v, len, err);
}

uint32_t _qel_list_len_unmarshal(qel_handle_t *h, uint32_t ctx, const uint8_t *buf, uint32_t *v,
                                 int32_t len, uint32_t *err) {
    return _qel_variant_jump_unmarshal(h, ctx, buf, v, len, err);
}

} // extern "C"

// ---- The runtime's own type records --------------------------------------------

namespace {

constexpr qel_type_info_t make_type_info(const char *name, const uint8_t (&digest)[16]) {
    qel_type_info_t r{};
    r.magic = QEL_TYPE_INFO_MAGIC;
    const char *hex = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        r.digest[i] = digest[i];
        r.digest_str[2 * i] = hex[digest[i] >> 4];
        r.digest_str[2 * i + 1] = hex[digest[i] & 15];
    }
    for (int i = 0; name[i] != '\0'; ++i) r.name[i] = name[i];
    for (int i = 0; i < 3; ++i) r.module[i] = "qel"[i];
    for (int i = 0; i < 4; ++i) r.kind[i] = "type"[i];
    r.luid = -1;
    return r;
}

constexpr uint8_t kBooleanDigest[16] = {0x5b, 0x0e, 0x1c, 0x92, 0x37, 0xa4, 0x60, 0xd8,
                                        0x11, 0xf3, 0x2e, 0x7a, 0xc5, 0x48, 0x9d, 0x06};
constexpr uint8_t kIfHandleDigest[16] = {0xe2, 0x47, 0x8b, 0x03, 0xd6, 0x19, 0x7f, 0x5c,
                                         0xa0, 0x3e, 0x64, 0xb1, 0x08, 0xcd, 0x92, 0x2f};

} // namespace

extern "C" {
constinit qel_type_info_t qel_boolean_type_info = make_type_info("qel_boolean", kBooleanDigest);
constinit qel_type_info_t if_handle_type_info = make_type_info("if_handle", kIfHandleDigest);
}
