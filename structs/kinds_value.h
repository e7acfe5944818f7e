// Fields that hold one value: u8, u16 and u32 scalars and the length fields
// of strings and arrays (the runtime's primitives), booleans and interface
// handles (runtime objects embedded in the instance), enumeration fields
// (embedded enumeration instances) and nested structures.
#pragma once

#include <alloca.h>

#include "structs/kind_base.h"

namespace drov::structs {

// The runtime's primitive operations of one value type.
#define DROV_PRIMITIVE(NAME, TYPE)                                                                 \
    struct NAME {                                                                                  \
        using V = TYPE;                                                                            \
        static V *get(qel_handle_t *h, uint32_t ctx, V *f, uint32_t *err) {                       \
            return TYPE##_get(h, ctx, f, err);                                                     \
        }                                                                                          \
        static V get_value(qel_handle_t *h, uint32_t ctx, const V *p, uint32_t *err) {            \
            return TYPE##_get_value(h, ctx, p, err);                                               \
        }                                                                                          \
        static void set(qel_handle_t *h, uint32_t ctx, V *f, const V *src, uint32_t *err) {       \
            TYPE##_set(h, ctx, f, src, err);                                                       \
        }                                                                                          \
        static void set_value(qel_handle_t *h, uint32_t ctx, V *f, V v, uint32_t *err) {          \
            TYPE##_set_value(h, ctx, f, v, err);                                                   \
        }                                                                                          \
    };
DROV_PRIMITIVE(PrimU8, u_int8)
DROV_PRIMITIVE(PrimU16, u_int16)
DROV_PRIMITIVE(PrimU32, u_int32)
DROV_PRIMITIVE(PrimBool, qel_boolean)
#undef DROV_PRIMITIVE

template <uint32_t Width> struct PrimOfWidth;
template <> struct PrimOfWidth<1> { using type = PrimU8; };
template <> struct PrimOfWidth<2> { using type = PrimU16; };
template <> struct PrimOfWidth<4> { using type = PrimU32; };

// A value read and written through the runtime's primitive of its type.
template <class F, class Prim> struct Value : KindBase<F> {
    using B = KindBase<F>;
    using V = typename Prim::V;
    using P = typename B::P;
    static V *slot(void *inst) { return reinterpret_cast<V *>(B::field(inst)); }

    static V *get(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        if (!B::enter_get(h, inst, err)) return nullptr;
        V *p = Prim::get(h, ctx, slot(inst), err);
        contain(h, ctx, p, inst);
        return p;
    }
    static V get_value(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        V *p = get(h, ctx, inst, err);
        return p != nullptr ? Prim::get_value(h, ctx, p, err) : 0;
    }
    static constexpr bool kInGetAll = true;
    static void get_all(qel_handle_t *h, uint32_t ctx, void *inst, void *out, uint32_t *err) {
        *static_cast<V *>(out) = get_value(h, ctx, inst, err);
    }
};

// The length field of a string or variable array: read only.
template <class F> struct Length : Value<F, typename PrimOfWidth<F::d.width>::type> {};

// A u8, u16 or u32 scalar, or a boolean.
template <class F, class Prim> struct Scalar : Value<F, Prim> {
    using B = Value<F, Prim>;
    using V = typename B::V;
    using P = typename B::P;

    static void set(qel_handle_t *h, uint32_t ctx, void *inst, const V *src, uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if (src == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        Prim::set(h, ctx, B::slot(inst), src, err);
        B::mark(h, ctx, inst, err, P::set_corrupted, P::set_not_tracked);
        contain(h, ctx, src, inst);
    }
    static void set_value(qel_handle_t *h, uint32_t ctx, void *inst, V value, uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        V *p = Prim::get(h, ctx, B::slot(inst), err);
        contain(h, ctx, p, inst);
        if (*err != 0) return;
        if (p == nullptr) {
            fail(h, err, QEL_ENOENT);
            return;
        }
        Prim::set_value(h, ctx, p, value, err);
        B::mark(h, ctx, inst, err, P::set_value_corrupted, P::set_value_not_tracked);
    }
    static constexpr bool kInSetAll = true;
    static void set_all(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t value, uint32_t *err) {
        Prim::set_value(h, ctx, B::slot(inst), static_cast<V>(value), err);
    }
};

template <class F> struct Boolean : Scalar<F, PrimBool> {
    using B = Scalar<F, PrimBool>;
    static void init_embedded(qel_handle_t *h, uint32_t ctx, void *inst, int32_t notify,
                              int32_t header_only, void *base, uint32_t *err, Domains *) {
        if (plain_objects(h))
            init_plain_object(h, ctx, B::slot(inst), notify);
        else
            qel_boolean_initialize(h, ctx, B::slot(inst), &qel_boolean_type_info, notify,
                                   header_only, QEL_OBJ_NESTED, base, err);
    }
    static void set_embedded(qel_handle_t *h, uint32_t ctx, void *inst) {
        if (!plain_objects(h)) qel_boolean_set_instance_embedded(h, ctx, B::slot(inst));
    }
};

// An embedded enumeration instance.  Its value checks and stores are the
// enumeration's own set and set_value, so a field accepts exactly what its
// enumeration accepts.
template <class F> struct EnumField : KindBase<F> {
    using B = KindBase<F>;
    using P = typename B::P;
    using Instance = enums::Instance;
    static constexpr uint32_t kRef = static_cast<uint32_t>(F::d.ref);
    static const enums::EnumType &type() {
        return enums::kEnumTypes[static_cast<uint32_t>(kTypes[kRef].enum_pos)];
    }
    static constexpr enums::Numbering kNumbering{kTypes[kRef].value_count,
                                                 kTypes[kRef].first_value};
    static Instance *slot(void *inst) { return reinterpret_cast<Instance *>(B::field(inst)); }

    // As the enumeration's initialize, with the domain's variant asked
    // through the operation's memory of it.
    static void init_embedded(qel_handle_t *h, uint32_t ctx, void *inst, int32_t notify, int32_t,
                              void *, uint32_t *err, Domains *d) {
        const int8_t domain = domain_variant(h, d, kRef, record(kRef), err);
        enums::init_header(h, ctx, slot(inst), record(kRef), notify, QEL_OBJ_NESTED, domain);
    }
    static void set_embedded(qel_handle_t *h, uint32_t ctx, void *inst) {
        Instance *e = slot(inst);
        announce(h, &e->obj_flags, 1, ctx, e);
        e->obj_flags |= QEL_OBJ_EMBEDDED;
    }

    static Instance *get(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        if (!B::enter_get(h, inst, err)) return nullptr;
        contain(h, ctx, slot(inst), nullptr);
        contain(h, ctx, slot(inst), inst);
        return slot(inst);
    }
    static uint32_t get_value(qel_handle_t *h, uint32_t, void *inst, uint32_t *err) {
        if (!B::enter_get(h, inst, err)) return 0;
        qel_clear_last_error(h);
        return slot(inst)->value;
    }
    static void set(qel_handle_t *h, uint32_t ctx, void *inst, const Instance *src, uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if (src == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        enums::set(type(), h, ctx, slot(inst), src, err);
        B::mark(h, ctx, inst, err, P::set_corrupted, P::set_not_tracked);
        contain(h, ctx, src, inst);
    }
    static void set_value(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t value,
                          uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        enums::set_value(type(), h, ctx, slot(inst), value, err);
        B::mark(h, ctx, inst, err, P::set_value_corrupted, P::set_value_not_tracked);
    }

    static constexpr bool kInGetAll = true;
    static constexpr bool kInSetAll = true;
    static void get_all(qel_handle_t *h, uint32_t ctx, void *inst, void *out, uint32_t *err) {
        *static_cast<uint32_t *>(out) = get_value(h, ctx, inst, err);
    }
    static void set_all(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t value, uint32_t *err) {
        enums::set_value(type(), h, ctx, slot(inst), value, err);
    }
};

// The runtime's interface handle.  Destroying it gives back the object
// references the runtime holds for it.
template <class F> struct IfHandle : KindBase<F> {
    using B = KindBase<F>;
    using P = typename B::P;
    static if_handle *slot(void *inst) { return reinterpret_cast<if_handle *>(B::field(inst)); }

    static void init_embedded(qel_handle_t *h, uint32_t ctx, void *inst, int32_t notify,
                              int32_t header_only, void *base, uint32_t *err, Domains *) {
        if (plain_objects(h))
            init_plain_object(h, ctx, slot(inst), notify);
        else
            if_handle_initialize(h, ctx, slot(inst), &if_handle_type_info, notify, header_only,
                                 QEL_OBJ_NESTED, base, err);
    }
    static void set_embedded(qel_handle_t *h, uint32_t ctx, void *inst) {
        if (!plain_objects(h)) if_handle_set_instance_embedded(h, ctx, slot(inst));
    }
    // A plain value holds no references and has nothing to give back.
    static bool release(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        return plain_objects(h) || release_object(h, ctx, inst, err);
    }
    // The runtime's object: its references counted down, then destroyed.
    [[gnu::noinline]] static bool release_object(qel_handle_t *h, uint32_t ctx, void *inst,
                                                 uint32_t *err) {
        if_handle *f = slot(inst);
        uint32_t n = if_handle_get_oid_count(h, ctx, f, err);
        if (*err != 0) {
            trace(P::refs_count_failed, std::strerror(static_cast<int>(*err)));
            return false;
        }
        if (n > 0) {
            // A temporary array on the stack, sized by the count; a count
            // beyond any real use is cut so the stack stays bounded.
            constexpr uint32_t kMaxRefs = 1u << 14;
            if (n > kMaxRefs) n = kMaxRefs;
            auto *refs = static_cast<uint64_t *>(alloca(n * sizeof(uint64_t)));
            std::memset(refs, 0, n * sizeof(uint64_t));
            if_handle_get_object_references(h, ctx, f, refs, n, err);
            if (*err != 0) {
                trace(P::refs_fetch_failed, std::strerror(static_cast<int>(*err)));
                return false;
            }
            for (uint32_t i = 0; i < n; ++i) {
                qellib_lookup_and_update_oid_ref_count(h, ctx, refs[i], 0, err);
                if (*err != 0) {
                    trace(P::decrement_failed, reinterpret_cast<const void *>(refs[i]),
                          std::strerror(static_cast<int>(*err)));
                    *err = 0;
                }
            }
        }
        if_handle_destroy_internal(h, ctx, f, 0);
        return true;
    }

    static if_handle *get(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        if (!B::enter_get(h, inst, err)) return nullptr;
        if_handle *p = if_handle_get(h, ctx, slot(inst), err);
        contain(h, ctx, p, inst);
        return p;
    }
    static void set(qel_handle_t *h, uint32_t ctx, void *inst, const if_handle *src,
                    uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if (src == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        if_handle_set(h, ctx, slot(inst), src, err);
        B::mark(h, ctx, inst, err, P::set_corrupted, P::set_not_tracked);
        contain(h, ctx, src, inst);
    }
};

// A structure embedded in its parent at its full base size.  Under tracking
// its flags live inside the parent's area, right after the parent's own
// flag for the field.
template <class F> struct Record : KindBase<F> {
    using B = KindBase<F>;
    using P = typename B::P;
    static constexpr uint32_t R = static_cast<uint32_t>(F::d.ref);
    using Nested = Struct<R>;

    static void init_embedded(qel_handle_t *h, uint32_t ctx, void *inst, int32_t notify,
                              int32_t header_only, void *base, uint32_t *err, Domains *d) {
        Nested::initialize(h, ctx, B::field(inst), record(R), notify, header_only, QEL_OBJ_NESTED,
                           base, err, d);
    }
    static int32_t record_offset(qel_handle_t *h, uint32_t ctx, void *inst, uint8_t *area) {
        uint8_t *f = B::field(inst);
        return qellib_update_sttr_offset(h, ctx, f,
                                         static_cast<uint32_t>(area + F::d.nested_area - f));
    }
    static void remove_offset(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        qel_hd_mapping_destroy(h, ctx, B::field(inst), err);
    }
    static void set_embedded(qel_handle_t *h, uint32_t ctx, void *inst) {
        Nested::set_instance_embedded(h, ctx, B::field(inst));
    }
    static bool release(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err,
                        Tally *tally = nullptr) {
        Nested::get_oid_count(h, ctx, B::field(inst), err);
        Nested::destroy_internal(h, ctx, B::field(inst), 0, tally);
        return true;
    }
    static bool owns(qel_handle_t *h, uint32_t ctx, const void *inst) {
        return Nested::owns_any(h, ctx, B::field(inst));
    }
    static void drop(qel_handle_t *h, uint32_t ctx, void *inst) {
        Nested::drop(h, ctx, B::field(inst));
    }
    static void clear_source(qel_handle_t *h, uint32_t ctx, void *dst, void *src, uint32_t *err) {
        Nested::clear_source(h, ctx, B::field(dst), B::field(src), err);
    }
    static void save_own(const void *inst, uint8_t *&out) { Nested::save_own(B::field(inst), out); }
    static void restore_own(void *inst, const uint8_t *&in) {
        Nested::restore_own(B::field(inst), in);
    }
    static void fill_flags(void *inst, uint8_t *area, uint8_t value) {
        area[F::d.state_index] = value;
        Nested::fill_flags(B::field(inst), area + F::d.nested_area, value);
    }

    static void *get(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        if (!B::enter_get(h, inst, err)) return nullptr;
        contain(h, ctx, B::field(inst), nullptr);
        contain(h, ctx, B::field(inst), inst);
        return B::field(inst);
    }
    // Moves src's contents into the field; src keeps an empty shell.
    static void set(qel_handle_t *h, uint32_t ctx, void *inst, void *src, uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if (src == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        Nested::set(h, ctx, B::field(inst), src, err);
        B::mark(h, ctx, inst, err, P::set_corrupted, P::set_not_tracked);
        contain(h, ctx, src, inst);
    }
};

} // namespace drov::structs
