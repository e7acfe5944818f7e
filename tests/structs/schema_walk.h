// Type-generic access to the 30 structures for tests that run over all of them: instances are
// created, filled and destroyed through the exported functions, found by name (the naming rule of
// the library), and compared by reading their memory as the schema tables lay it out.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "drov_def/drov_def.h"
#include "qel.h"
#include "schema_gen.h"

namespace test::walk {

using drov::schema::FieldDesc;
using drov::schema::FieldKind;
using drov::schema::kTypes;
using drov::schema::TypeDesc;

constexpr uint32_t kStructs = drov::schema::kStructCount;
constexpr uint32_t kLinkOffset = 16; // list elements: list, next, prev

inline const TypeDesc &type(uint32_t t) { return kTypes[t]; }
inline std::string name(uint32_t t) { return kTypes[t].name; }
inline uint32_t index_of(const std::string &type_name) {
    for (uint32_t t = 0; t < drov::schema::kTypeCount; ++t)
        if (type_name == kTypes[t].name) return t;
    throw std::invalid_argument("no type " + type_name);
}

// An exported function by name; throws when the library lacks it.  (The test programs are linked
// with the library kept among their needed ones, where dlsym looks.)
template <class Fn> Fn fn(const std::string &symbol) {
    void *p = dlsym(RTLD_DEFAULT, symbol.c_str());
    if (p == nullptr) throw std::runtime_error("not exported: " + symbol);
    return reinterpret_cast<Fn>(p);
}
inline std::string op(uint32_t t, const std::string &operation) { return name(t) + "_" + operation; }
inline std::string op(uint32_t t, const FieldDesc &f, const std::string &operation) {
    return name(t) + "_" + f.name + "_" + operation;
}

using Err = uint32_t;
inline void *create(qel_handle_t *h, uint32_t t, uint32_t ctx = 1) {
    return fn<void *(*)(qel_handle_t *, uint32_t)>(op(t, "create"))(h, ctx);
}
inline void destroy(qel_handle_t *h, uint32_t t, void *inst, uint32_t ctx = 1) {
    fn<void (*)(qel_handle_t *, uint32_t, void *)>(op(t, "destroy"))(h, ctx, inst);
}

// The library file the program runs with.
inline std::string library_path() {
    Dl_info info{};
    dladdr(fn<void *>("vm_id_create"), &info);
    return info.dli_fname;
}

// ---- The operations of a structure type ----------------------------------------------

using H = qel_handle_t *;
struct Ops {
    void *(*create)(H, uint32_t);
    void (*destroy)(H, uint32_t, void *);
    uint32_t (*unmarshal)(H, uint32_t, const uint8_t *, void *, int32_t, uint32_t, uint32_t *);
    uint32_t (*marshal)(H, uint32_t, uint8_t *, const void *, int32_t, uint32_t *);
    uint32_t (*marshal_for_clone)(H, uint32_t, uint8_t *, const void *, int32_t, uint32_t *);
    uint32_t (*len)(H, uint32_t, const void *);
    int32_t (*compare)(const void *, const void *);
    void (*clone)(H, uint32_t, const void *, void **, uint8_t *, uint32_t, uint32_t *);
    void (*from_xml)(H, uint32_t, const char *, void *, void *, uint32_t *, char *, uint32_t);
    uint32_t (*toxml_cr)(H, const void *, char *, uint32_t);
    void (*set_all_flags)(H, uint32_t, void *, uint32_t);
    uint32_t (*size)(H);
    uint32_t (*print)(H, uint32_t, char *, uint32_t, const char *, const void *, uint32_t, uint32_t *);
    uint32_t (*hash)(const void *, uint32_t);
};

// An exported function that becomes the pointer it initialises.
struct AnyFn {
    void *p;
    template <class F> operator F() const { return reinterpret_cast<F>(p); }
};
// Found once by name, for every structure type.
inline const Ops &ops(uint32_t t) {
    static const std::vector<Ops> table = [] {
        std::vector<Ops> out;
        for (uint32_t i = 0; i < kStructs; ++i) {
            auto f = [i](const char *o) { return AnyFn{fn<void *>(op(i, o))}; };
            out.push_back(Ops{f("create"), f("destroy"), f("unmarshal"), f("marshal"), f("marshal_for_clone"),
                              f("len"), f("compare"), f("clone"), f("from_xml"), f("toxml_cr"),
                              f("set_all_state_tracking_flag"), f("sizeof"), f("print"), f("hash")});
        }
        return out;
    }();
    return table[t];
}

// ---- Reading instance memory -------------------------------------------------------

inline const uint8_t *bytes(const void *p) { return static_cast<const uint8_t *>(p); }
template <class V> V load(const void *inst, uint32_t offset) {
    V v;
    std::memcpy(&v, bytes(inst) + offset, sizeof v);
    return v;
}
inline int8_t instance_variant(const void *inst) { return static_cast<int8_t>(bytes(inst)[8]); }
inline uint64_t length_of(const void *inst, const FieldDesc &f) {
    switch (f.length_width) {
    case 1: return load<uint8_t>(inst, f.length_offset);
    case 2: return load<uint16_t>(inst, f.length_offset);
    default: return load<uint32_t>(inst, f.length_offset);
    }
}
// The elements of a list field, in order.
inline std::vector<void *> elements(const void *inst, const FieldDesc &f) {
    std::vector<void *> out;
    const uint8_t *head = bytes(inst) + f.offset;
    void *e = load<void *>(inst, f.offset);
    while (e != nullptr && e != head && out.size() < 1000000) {
        out.push_back(e);
        e = load<void *>(e, kLinkOffset + 8);
    }
    return out;
}

// The first difference between two instances of type t, field by field
// (all fields of every variant, recursing into records and list elements;
// string and array contents by their bytes), or "" when they agree.
inline std::string diff(uint32_t t, const void *a, const void *b, const std::string &path = "") {
    const TypeDesc &d = type(t);
    const std::string where = path.empty() ? name(t) : path;
    if (instance_variant(a) != instance_variant(b)) return where + ": instance variants differ";
    for (uint32_t i = 0; i < d.field_count; ++i) {
        const FieldDesc &f = d.fields[i];
        const std::string at = where + "." + f.name;
        switch (f.kind) {
        case FieldKind::String:
        case FieldKind::VarArray: {
            uint64_t n = length_of(a, f);
            if (n != length_of(b, f)) return at + ": lengths differ";
            auto pa = load<const uint8_t *>(a, f.offset), pb = load<const uint8_t *>(b, f.offset);
            if (n != 0 && (pa == nullptr || pb == nullptr)) return at + ": block missing";
            if (n != 0 && std::memcmp(pa, pb, n) != 0) return at + ": contents differ";
            break;
        }
        case FieldKind::Enum:
            if (load<uint32_t>(a, f.offset + 12) != load<uint32_t>(b, f.offset + 12))
                return at + ": values differ";
            break;
        case FieldKind::Record: {
            std::string r = diff(static_cast<uint32_t>(f.ref), bytes(a) + f.offset,
                                 bytes(b) + f.offset, at);
            if (!r.empty()) return r;
            break;
        }
        case FieldKind::List: {
            auto ea = elements(a, f), eb = elements(b, f);
            if (ea.size() != eb.size()) return at + ": element counts differ";
            if (load<uint32_t>(a, f.offset + 24) != load<uint32_t>(b, f.offset + 24))
                return at + ": counts differ";
            for (size_t k = 0; k < ea.size(); ++k) {
                std::string r = diff(static_cast<uint32_t>(f.ref), ea[k], eb[k],
                                     at + "[" + std::to_string(k) + "]");
                if (!r.empty()) return r;
            }
            break;
        }
        case FieldKind::Length: break; // compared with its string or array
        default:
            if (std::memcmp(bytes(a) + f.offset, bytes(b) + f.offset, f.size) != 0)
                return at + ": bytes differ";
        }
    }
    return "";
}

// Calls visit(type, instance, is_element) for the instance, its nested
// records and list elements, and theirs.
template <class Visit> void each_instance(uint32_t t, const void *inst, const Visit &visit, bool element = false) {
    visit(t, inst, element);
    const TypeDesc &d = type(t);
    for (uint32_t i = 0; i < d.field_count; ++i) {
        const FieldDesc &f = d.fields[i];
        const auto ref = static_cast<uint32_t>(f.ref);
        if (f.kind == FieldKind::Record) each_instance(ref, bytes(inst) + f.offset, visit);
        if (f.kind == FieldKind::List)
            for (void *e : elements(inst, f)) each_instance(ref, e, visit, true);
    }
}

// The blocks of strings and variable arrays an instance itself holds.
template <class Fn> void each_block(uint32_t t, const void *inst, Fn fn) {
    const TypeDesc &d = type(t);
    for (uint32_t i = 0; i < d.field_count; ++i) {
        const FieldDesc &f = d.fields[i];
        if (f.kind == FieldKind::String || f.kind == FieldKind::VarArray)
            if (auto p = load<void *>(inst, f.offset)) fn(p);
    }
}

// Every owned block of an instance (strings, arrays, list elements and
// theirs), to show that two instances share none.
inline void blocks(uint32_t t, const void *inst, std::vector<const void *> &out) {
    each_instance(t, inst, [&](uint32_t u, const void *i, bool element) {
        if (element) out.push_back(i);
        each_block(u, i, [&](void *p) { out.push_back(p); });
    });
}

// Calls fn with v as an unsigned integer of w bytes.
template <class Fn> void narrowed(unsigned w, uint32_t v, Fn fn) {
    if (w == 1) fn(static_cast<uint8_t>(v));
    else if (w == 2) fn(static_cast<uint16_t>(v));
    else fn(v);
}

// ---- Filling through the setters ------------------------------------------------------

struct Filler {
    qel_handle_t *h;
    std::mt19937 rng;
    uint32_t max_elements = 3; // per list, at each level
    uint32_t max_string = 40;
    bool with_nuls = true; // strings may hold NULs (their bytes after one read as zero)
    uint32_t min_length = 0; // of strings and variable arrays
    uint32_t ctx = 1;
    Err err = 0;

    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng() % n); }
    std::string text(uint32_t max_len) {
        uint32_t n = below(4) == 0 ? 0 : below(max_len + 1);
        if (n < min_length) n = min_length;
        std::string s(n, '\0');
        for (auto &c : s) c = static_cast<char>(with_nuls && below(16) == 0 ? 0 : 32 + below(95));
        return s;
    }

    // Sets every field present in the instance's variant.
    void fill(uint32_t t, void *inst) {
        const TypeDesc &d = type(t);
        int8_t iv = instance_variant(inst);
        for (uint32_t i = 0; i < d.field_count; ++i)
            if (d.fields[i].variant <= iv) field(t, inst, d.fields[i]);
    }

    void field(uint32_t t, void *inst, const FieldDesc &f) {
        switch (f.kind) {
        case FieldKind::U8:
        case FieldKind::U16:
        case FieldKind::U32:
        case FieldKind::Boolean: {
            const uint32_t v = f.kind == FieldKind::Boolean ? below(2) : static_cast<uint32_t>(rng());
            const unsigned w = f.kind == FieldKind::U8 ? 1 : f.kind == FieldKind::U16 ? 2 : 4;
            narrowed(w, v, [&](auto x) {
                fn<void (*)(H, uint32_t, void *, decltype(x), Err *)>(op(t, f, "set_value"))(h, ctx, inst, x, &err);
            });
            break;
        }
        case FieldKind::Enum: {
            const TypeDesc &e = type(static_cast<uint32_t>(f.ref));
            fn<void (*)(H, uint32_t, void *, uint32_t, Err *)>(op(t, f, "set_value"))(
                h, ctx, inst, e.first_value + below(e.value_count), &err);
            break;
        }
        case FieldKind::IfHandle: {
            uint32_t v = static_cast<uint32_t>(rng());
            fn<void (*)(H, uint32_t, void *, const uint32_t *, Err *)>(op(t, f, "set"))(
                h, ctx, inst, &v, &err);
            break;
        }
        case FieldKind::Record:
            fill(static_cast<uint32_t>(f.ref),
                 fn<void *(*)(H, uint32_t, void *, Err *)>(op(t, f, "get"))(h, ctx, inst, &err));
            break;
        case FieldKind::String: {
            uint32_t cap = f.length_width == 1 ? 255 : max_string;
            std::string s = text(cap < max_string ? cap : max_string);
            narrowed(f.length_width, static_cast<uint32_t>(s.size()), [&](auto n) {
                fn<void (*)(H, uint32_t, void *, const char *, decltype(n), Err *)>(op(t, f, "set"))(h, ctx, inst,
                                                                                            s.data(), n, &err);
            });
            break;
        }
        case FieldKind::Text: {
            std::string s = text(f.width);
            fn<void (*)(H, uint32_t, void *, const char *, int32_t, Err *)>(op(t, f, "set"))(
                h, ctx, inst, s.data(), static_cast<int32_t>(s.size()), &err);
            break;
        }
        case FieldKind::Array:
        case FieldKind::VarArray: {
            uint32_t n = f.kind == FieldKind::Array ? f.width : below(max_string);
            if (n < min_length) n = min_length;
            std::vector<uint8_t> v(n);
            for (auto &b : v) b = static_cast<uint8_t>(rng());
            fn<void (*)(H, uint32_t, void *, const uint8_t *, int32_t, Err *)>(op(t, f, "set_mem"))(
                h, ctx, inst, v.data(), static_cast<int32_t>(n), &err);
            break;
        }
        case FieldKind::List: {
            auto elem_type = static_cast<uint32_t>(f.ref);
            for (uint32_t k = below(max_elements + 1); k > 0; --k) {
                void *e = create(h, elem_type, ctx);
                fill(elem_type, e);
                fn<void (*)(H, uint32_t, void *, void *, Err *)>(op(t, f, "set_last"))(h, ctx, inst,
                                                                                     e, &err);
            }
            break;
        }
        case FieldKind::Length: break; // set with its string or array
        }
    }
};

} // namespace test::walk
