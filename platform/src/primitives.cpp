// The primitive types of the runtime (u_int8, u_int16, u_int32, qel_boolean,
// if_handle, char), the header items of the instance encoding, the object
// life of embedded booleans and interface handles, and counted strings.
//
// Wire encodings are big endian.  A marshal or unmarshal that lacks room
// stores 90 (message too long) and moves nothing; it runs even when an error
// is already pending, because the module encodes right after storing one.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "qel_standin.h"

using qel_standin::Call;
using qel_standin::HandleState;
using qel_standin::record_call;

namespace {

void fail(qel_handle_t *h, uint32_t *err, uint32_t code) {
    if (err != nullptr) *err = code;
    qel_store_err(h, code);
}

void store_be(uint8_t *buf, uint64_t v, unsigned width) {
    for (unsigned i = 0; i < width; ++i) buf[i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}

uint64_t load_be(const uint8_t *buf, unsigned width) {
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | buf[i];
    return v;
}

bool fits(qel_handle_t *h, const void *buf, const void *v, int32_t len, uint64_t width,
          uint32_t *err) {
    if (buf == nullptr || v == nullptr || len < 0 || static_cast<uint64_t>(len) < width) {
        fail(h, err, QEL_EMSGSIZE);
        return false;
    }
    return true;
}

// Reads a word into *out; false (with 90 stored) when the room is short.
bool get_word(qel_handle_t *h, const uint8_t *buf, const void *dst, int32_t len, unsigned width,
              uint64_t *out, uint32_t *err) {
    if (!fits(h, buf, dst, len, width, err)) return false;
    *out = load_be(buf, width);
    return true;
}

std::string xml_escape(char c) {
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    default: return std::string(1, c);
    }
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string trimmed(const char *s) {
    std::string t(s);
    size_t b = 0, e = t.size();
    while (b < e && is_space(t[b])) ++b;
    while (e > b && is_space(t[e - 1])) --e;
    return t.substr(b, e - b);
}

// Unsigned number in C notation (decimal, 0x hex, 0 octal) no larger than max.
bool parse_unsigned(const char *text, uint64_t max, uint64_t *out) {
    std::string t = trimmed(text);
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(t.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || v > max) return false;
    *out = v;
    return true;
}

// What differs between the primitive types; the rest is one template.
template <class T> struct Unsigned {
    using CT = T;
    static constexpr unsigned wire = sizeof(T);
    static uint64_t to_wire(CT v) { return v; }
    static CT from_wire(uint64_t w) { return static_cast<CT>(w); }
    static std::string print(CT v) { return std::to_string(v); }
    static std::string xml(CT v) { return std::to_string(v); }
    static bool parse(const char *s, CT *v) {
        uint64_t n;
        if (!parse_unsigned(s, std::numeric_limits<T>::max(), &n)) return false;
        *v = static_cast<CT>(n);
        return true;
    }
};

struct U8 : Unsigned<u_int8> {
    static constexpr const char *name = "u_int8";
};
struct U16 : Unsigned<u_int16> {
    static constexpr const char *name = "u_int16";
};
struct U32 : Unsigned<u_int32> {
    static constexpr const char *name = "u_int32";
};

struct Handle : U32 {
    static constexpr const char *name = "if_handle";
    static std::string print(CT v) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", v);
        return text;
    }
};

// Four bytes in memory, one on the wire; any non-zero value is stored as 1.
struct Bool : U32 {
    static constexpr const char *name = "qel_boolean";
    static constexpr unsigned wire = 1;
    static uint64_t to_wire(CT v) { return v != 0; }
    static CT from_wire(uint64_t w) { return w != 0; }
    static CT stored(CT v) { return v != 0; }
    static std::string print(CT v) { return v != 0 ? "TRUE" : "FALSE"; }
    static std::string xml(CT v) { return v != 0 ? "true" : "false"; }
    static bool parse(const char *s, CT *v) {
        std::string t = trimmed(s);
        if (t == "true" || t == "1") *v = 1;
        else if (t == "false" || t == "0") *v = 0;
        else return false;
        return true;
    }
};

struct Char {
    using CT = char;
    static constexpr const char *name = "char";
    static constexpr unsigned wire = 1;
    static uint64_t to_wire(CT v) { return static_cast<unsigned char>(v); }
    static CT from_wire(uint64_t w) { return static_cast<CT>(w); }
    static std::string print(CT v) { return std::string(1, v); }
    static std::string xml(CT v) { return xml_escape(v); }
    static bool parse(const char *s, CT *v) {
        if (*s == '\0') return false;
        *v = *s;
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
        if (field == nullptr) fail(h, err, QEL_EINVAL);
        return field;
    }
    static CT get_value(qel_handle_t *h, const CT *p, uint32_t *err) {
        if (p == nullptr) {
            fail(h, err, QEL_EINVAL);
            return 0;
        }
        return *p;
    }
    static void set_value(qel_handle_t *h, uint32_t ctx, CT *field, CT value, uint32_t *err) {
        if (field == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        if (h != nullptr && h->write_notify != nullptr)
            h->write_notify(h, field, sizeof(CT), ctx, nullptr);
        *field = stored_value<Tr>(value);
    }
    static void set(qel_handle_t *h, uint32_t ctx, CT *field, const CT *src, uint32_t *err) {
        if (src == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        set_value(h, ctx, field, *src, err);
    }
    static uint32_t marshal(qel_handle_t *h, uint8_t *buf, const CT *v, int32_t len,
                            uint32_t *err) {
        if (!fits(h, buf, v, len, Tr::wire, err)) return 0;
        store_be(buf, Tr::to_wire(*v), Tr::wire);
        return Tr::wire;
    }
    static uint32_t unmarshal(qel_handle_t *h, const uint8_t *buf, CT *v, int32_t len,
                              uint32_t *err) {
        uint64_t w;
        if (!get_word(h, buf, v, len, Tr::wire, &w, err)) return 0;
        *v = Tr::from_wire(w);
        return Tr::wire;
    }
    static int32_t print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                         const char *label, const CT *v, int32_t len, uint32_t *err) {
        if (v == nullptr) {
            fail(h, err, QEL_EINVAL);
            return 0;
        }
        int32_t n = qel_print_space(h, ctx, buf, indent, len, err);
        char *rest = buf != nullptr ? buf + n : nullptr;
        return n + qel_snprintf(h, ctx, rest, len - n, err, "%s@%s:%s\n",
                                label != nullptr ? label : "", Tr::name,
                                Tr::print(*v).c_str());
    }
    static int32_t to_xml(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,
                          const CT *v, int32_t len, uint32_t *err) {
        if (v == nullptr) {
            fail(h, err, QEL_EINVAL);
            return 0;
        }
        std::string text = Tr::xml(*v);
        int32_t n = start_tag(h, ctx, buf, tag, len, 0, err);
        auto at = [&] { return buf != nullptr ? buf + n : nullptr; };
        n += xml_enum_print(h, ctx, at(), text.c_str(), len - n,
                            static_cast<int32_t>(text.size()), err);
        n += end_tag(h, ctx, at(), tag, len - n, err);
        return n;
    }
    static void from_xml(qel_handle_t *h, const char *path, void *doc, CT *v, uint32_t *err) {
        char text[128];
        int32_t r = xml_get_element_value(doc, path, text, sizeof text, nullptr);
        CT parsed{};
        if (r == 0 && !Tr::parse(text, &parsed)) r = QEL_EINVAL;
        if (r == 0 && v == nullptr) r = QEL_EINVAL;
        if (r != 0) {
            fail(h, err, static_cast<uint32_t>(r));
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

template <std::vector<uint64_t> HandleState::*Refs> struct ObjectLife {
    static HandleState *st(qel_handle_t *h) {
        return h != nullptr ? static_cast<HandleState *>(h->runtime) : nullptr;
    }
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
        record_call(h, Call{name, ctx, field, ti, flags});
    }
    static uint32_t oid_count(qel_handle_t *h, uint32_t ctx, const void *field, uint32_t *err,
                              const char *name) {
        HandleState *s = st(h);
        uint32_t n = 0;
        if (s != nullptr && s->oid_count_error != 0)
            fail(h, err, s->oid_count_error);
        else if (s != nullptr)
            n = static_cast<uint32_t>((s->*Refs).size());
        record_call(h, Call{name, ctx, field, nullptr, n});
        return n;
    }
    static void references(qel_handle_t *h, uint32_t ctx, const void *field, uint64_t *refs,
                           uint32_t cap, uint32_t *err, const char *name) {
        HandleState *s = st(h);
        uint32_t n = 0;
        if (s != nullptr && s->object_references_error != 0) {
            fail(h, err, s->object_references_error);
        } else if (s != nullptr && refs != nullptr) {
            for (uint64_t r : s->*Refs) {
                if (n == cap) break;
                refs[n++] = r;
            }
        }
        record_call(h, Call{name, ctx, field, refs, n});
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
    extern "C" uint32_t T##_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf, T *v,     \
                                      int32_t len, uint32_t, uint32_t *err) {                  \
        return Primitive<Tr>::unmarshal(h, buf, v, len, err);                                  \
    }                                                                                          \
    extern "C" uint32_t T##_len(void) { return Tr::wire; }                                     \
    extern "C" uint32_t T##_sizeof(void) { return sizeof(T); }                                 \
    extern "C" int32_t T##_print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,     \
                                 const char *label, const T *v, int32_t len, uint32_t *err) {  \
        return Primitive<Tr>::print(h, ctx, buf, indent, label, v, len, err);                  \
    }                                                                                          \
    extern "C" int32_t T##_to_xml(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,   \
                                  const T *v, int32_t len, uint32_t, uint32_t *err) {          \
        return Primitive<Tr>::to_xml(h, ctx, tag, buf, v, len, err);                           \
    }                                                                                          \
    extern "C" void T##_from_xml(qel_handle_t *h, uint32_t, const char *path, void *doc, T *v, \
                                 uint32_t *err, uintptr_t, uintptr_t) {                        \
        Primitive<Tr>::from_xml(h, path, doc, v, err);                                         \
    }                                                                                          \
    extern "C" int32_t T##_compare(const T *a, const T *b) {                                   \
        return Primitive<Tr>::compare(a, b);                                                   \
    }                                                                                          \
    extern "C" uint32_t T##_hash(const T *v, uint32_t running) {                                  \
        return Primitive<Tr>::hash(v, running);                                                   \
    }

QEL_DEFINE_PRIMITIVE(u_int8, U8)
QEL_DEFINE_PRIMITIVE(u_int16, U16)
QEL_DEFINE_PRIMITIVE(u_int32, U32)
QEL_DEFINE_PRIMITIVE(qel_boolean, Bool)
QEL_DEFINE_PRIMITIVE(if_handle, Handle)
QEL_DEFINE_PRIMITIVE(char, Char)

#define QEL_DEFINE_OBJECT_LIFE(T)                                                              \
    extern "C" void T##_initialize(qel_handle_t *h, uint32_t ctx, T *field,                    \
                                   const qel_type_info_t *ti, int32_t notify, int32_t,         \
                                   uint8_t flags, void *, uint32_t *err) {                     \
        ObjectLife<&HandleState::T##_refs>::initialize(h, ctx, field, ti, notify, flags, err,  \
                                                       #T "_initialize");                      \
    }                                                                                          \
    extern "C" void T##_set_instance_embedded(qel_handle_t *h, uint32_t ctx, T *field) {       \
        record_call(h, Call{#T "_set_instance_embedded", ctx, field, nullptr, 0});             \
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
        record_call(h, Call{#T "_destroy_internal", ctx, field, nullptr, release});            \
    }

QEL_DEFINE_OBJECT_LIFE(qel_boolean)
QEL_DEFINE_OBJECT_LIFE(if_handle)

// ---- Header items of the instance encoding -----------------------------------

extern "C" {

uint32_t _qel_instance_variant_marshal(qel_handle_t *h, uint32_t, uint8_t *buf, const int8_t *v,
                                       int32_t len, uint32_t *err) {
    if (!fits(h, buf, v, len, 1, err)) return 0;
    buf[0] = static_cast<uint8_t>(*v);
    return 1;
}

uint32_t _qel_instance_variant_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf,
                                         int8_t *v, int32_t len, uint32_t *err) {
    uint64_t w;
    if (!get_word(h, buf, v, len, 1, &w, err)) return 0;
    *v = static_cast<int8_t>(w);
    return 1;
}

uint32_t _qel_instance_obj_flag_marshal(qel_handle_t *h, uint32_t, uint8_t *buf,
                                        const uint8_t *v, int32_t len, uint32_t *err) {
    if (!fits(h, buf, v, len, 1, err)) return 0;
    buf[0] = *v;
    return 1;
}

uint32_t _qel_instance_obj_flag_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf,
                                          uint8_t *v, int32_t len, uint32_t *err) {
    uint64_t w;
    if (!get_word(h, buf, v, len, 1, &w, err)) return 0;
    *v = static_cast<uint8_t>(w);
    return 1;
}

// Remote-access data: a 64-bit word and a byte.
uint32_t _qel_instance_ra_data_marshal(qel_handle_t *h, uint32_t, uint8_t *buf, uint64_t a,
                                       uint8_t b, int32_t len, uint32_t *err) {
    if (!fits(h, buf, &a, len, 9, err)) return 0;
    store_be(buf, a, 8);
    buf[8] = b;
    return 9;
}

uint32_t _qel_instance_ra_data_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf,
                                         int32_t len, uint32_t *err) {
    if (!fits(h, buf, buf, len, 9, err)) return 0;
    return 9;
}

uint32_t _qel_variant_jump_marshal(qel_handle_t *h, uint32_t, uint8_t *buf, const uint32_t *v,
                                   int32_t len, uint32_t *err) {
    if (!fits(h, buf, v, len, 4, err)) return 0;
    store_be(buf, *v, 4);
    return 4;
}

uint32_t _qel_variant_jump_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf, uint32_t *v,
                                     int32_t len, uint32_t *err) {
    uint64_t w;
    if (!get_word(h, buf, v, len, 4, &w, err)) return 0;
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

// ---- Counted and NUL-terminated strings ----------------------------------------
// Both travel as a 32-bit length followed by the characters (no NUL).

uint32_t var_string_marshal(qel_handle_t *h, uint32_t, uint8_t *buf, const var_string *v,
                            int32_t len, uint32_t *err) {
    if (v != nullptr && v->len > 0 && v->data == nullptr) {
        fail(h, err, QEL_EINVAL);
        return 0;
    }
    uint64_t need = 4 + (v != nullptr ? uint64_t{v->len} : 0);
    if (!fits(h, buf, v, len, need, err)) return 0;
    store_be(buf, v->len, 4);
    if (v->len > 0) std::memcpy(buf + 4, v->data, v->len);
    return static_cast<uint32_t>(need);
}

// Replaces v's characters with a malloc'd, NUL-terminated copy of the encoded ones.
uint32_t var_string_unmarshal(qel_handle_t *h, uint32_t, const uint8_t *buf, var_string *v,
                              int32_t len, uint32_t, uint32_t *err) {
    uint64_t n;
    if (!get_word(h, buf, v, len, 4, &n, err)) return 0;
    if (n > static_cast<uint64_t>(len) - 4) {
        fail(h, err, QEL_EMSGSIZE);
        return 0;
    }
    auto *data = static_cast<char *>(std::malloc(n + 1));
    if (data == nullptr) {
        fail(h, err, QEL_ENOMEM);
        return 0;
    }
    std::memcpy(data, buf + 4, n);
    data[n] = '\0';
    std::free(v->data);
    v->data = data;
    v->len = static_cast<uint32_t>(n);
    return static_cast<uint32_t>(4 + n);
}

uint32_t var_string_len(const var_string *v) { return v != nullptr ? 4 + v->len : 0; }

int32_t var_string_compare(const var_string *a, const var_string *b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
    uint32_t n = a->len < b->len ? a->len : b->len;
    int c = n > 0 ? std::memcmp(a->data, b->data, n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return a->len < b->len ? -1 : (a->len > b->len ? 1 : 0);
}

uint32_t var_string_hash(const var_string *v, uint32_t running) {
    if (v == nullptr) return running;
    return SuperFastHash(v->data, static_cast<int32_t>(v->len), running);
}

uint32_t null_string_marshal(qel_handle_t *h, uint32_t, uint8_t *buf, const char *v, int32_t len,
                             uint32_t *err) {
    if (v == nullptr) {
        fail(h, err, QEL_EINVAL);
        return 0;
    }
    size_t n = std::strlen(v);
    if (!fits(h, buf, v, len, 4 + uint64_t{n}, err)) return 0;
    store_be(buf, n, 4);
    std::memcpy(buf + 4, v, n);
    return static_cast<uint32_t>(4 + n);
}

uint32_t null_string_len(const char *v) {
    return v != nullptr ? static_cast<uint32_t>(4 + std::strlen(v)) : 0;
}

int32_t null_string_compare(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
    int c = std::strcmp(a, b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

uint32_t null_string_hash(const char *v, uint32_t running) {
    if (v == nullptr) return running;
    return SuperFastHash(v, static_cast<int32_t>(std::strlen(v)), running);
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
