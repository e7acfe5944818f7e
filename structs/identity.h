// Comparison and hashing of structures: pure functions of the field values,
// every field of every variant in declaration order, whatever the instance
// variant.  Length fields take part at their own place, before the data they
// bound; the header and the state area take no part.
//
// Each operation is one walk over the type's fields calling the member of
// the field kind's trait, IdentityOf<K>:
//   compare  -1/0/1 or a signed difference, 0 when the field is equal,
//   hash     the running hash after the field, starting from the one before.
#pragma once

#include <cstring>

#include "structs/struct_ops.h"

namespace drov::structs {

template <uint32_t T> struct Identity;

namespace identity {

template <class V> inline int32_t order(V a, V b) { return a < b ? -1 : (a > b ? 1 : 0); }

inline uint32_t bytes_hash(const void *data, uint32_t n, uint32_t running) {
    return SuperFastHash(static_cast<const char *>(data), static_cast<int32_t>(n), running);
}

// The runtime's hash of a value, by value type.
template <uint32_t Width> struct RtHash;
template <> struct RtHash<1> { static constexpr auto hash = &u_int8_hash; };
template <> struct RtHash<2> { static constexpr auto hash = &u_int16_hash; };
template <> struct RtHash<4> { static constexpr auto hash = &u_int32_hash; };

// Counted bytes (a string or the variable array): the length field has
// already been compared and hashed at its own place; the data compares by
// memcmp over the common length, and hashes as its length once more and
// then exactly that many bytes.  No data hashes to 0, the running hash
// starting over, as SuperFastHash does for zero bytes.
template <class W> struct Counted {
    // A length above 0 always comes with its block (the setters keep it so).
    static int32_t compare(const void *pa, W la, const void *pb, W lb) {
        W n = la < lb ? la : lb;
        return n == 0 ? 0 : std::memcmp(pa, pb, n);
    }
    static uint32_t hash(const void *p, W len, uint32_t running) {
        running = RtHash<sizeof(W)>::hash(&len, running);
        return bytes_hash(p, len, running);
    }
};

} // namespace identity

template <class K> struct IdentityOf;

// A u8, u16 or u32 scalar or a length field: unsigned order, the runtime's
// hash of its width.
template <class K, class V> struct NumberIdentity {
    static V value(const void *inst) { return *at<V>(inst, K::d.offset); }
    static int32_t compare(const void *a, const void *b) {
        return identity::order(value(a), value(b));
    }
    static uint32_t hash(const void *inst, uint32_t running) {
        return identity::RtHash<sizeof(V)>::hash(at<V>(inst, K::d.offset), running);
    }
};
template <class F, class P>
struct IdentityOf<Scalar<F, P>> : NumberIdentity<Scalar<F, P>, typename P::V> {};
template <class F>
struct IdentityOf<Length<F>> : NumberIdentity<Length<F>, typename Length<F>::V> {};

// Booleans and interface handles are the runtime's values: its compare and
// hash.
template <class K, auto Compare, auto Hash> struct RuntimeIdentity {
    static int32_t compare(const void *a, const void *b) {
        return Compare(at<uint32_t>(a, K::d.offset), at<uint32_t>(b, K::d.offset));
    }
    static uint32_t hash(const void *inst, uint32_t running) {
        return Hash(at<uint32_t>(inst, K::d.offset), running);
    }
};
template <class F>
struct IdentityOf<Boolean<F>> : RuntimeIdentity<Boolean<F>, &qel_boolean_compare, &qel_boolean_hash> {};
template <class F>
struct IdentityOf<IfHandle<F>> : RuntimeIdentity<IfHandle<F>, &if_handle_compare, &if_handle_hash> {};

// An enumeration field: the enumeration's own compare (a wrapping signed
// difference of the values) and hash (its four value bytes).
template <class F> struct IdentityOf<EnumField<F>> {
    using K = EnumField<F>;
    static const enums::Instance *value(const void *inst) {
        return at<enums::Instance>(inst, F::d.offset);
    }
    static int32_t compare(const void *a, const void *b) {
        return enums::compare(K::type(), value(a), value(b));
    }
    static uint32_t hash(const void *inst, uint32_t running) {
        return enums::hash(K::type(), value(inst), running);
    }
};

// A nested structure: the nested type's own compare and hash.
template <class F> struct IdentityOf<Record<F>> {
    using Nested = Identity<Record<F>::R>;
    static const void *field(const void *inst) { return at<uint8_t>(inst, F::d.offset); }
    static int32_t compare(const void *a, const void *b) {
        return Nested::compare(field(a), field(b));
    }
    static uint32_t hash(const void *inst, uint32_t running) {
        return Nested::hash(field(inst), running);
    }
};

template <class F> struct IdentityOf<String<F>> {
    using W = typename String<F>::W;
    using C = identity::Counted<W>;
    static const char *chars(const void *inst) { return *at<char *>(inst, F::d.offset); }
    static W count(const void *inst) { return *at<W>(inst, F::d.length_offset); }
    static int32_t compare(const void *a, const void *b) {
        return C::compare(chars(a), count(a), chars(b), count(b));
    }
    static uint32_t hash(const void *inst, uint32_t running) {
        return C::hash(chars(inst), count(inst), running);
    }
};
template <class F> struct IdentityOf<VarArray<F>> {
    using C = identity::Counted<uint32_t>;
    static const uint8_t *elems(const void *inst) { return *at<uint8_t *>(inst, F::d.offset); }
    static uint32_t count(const void *inst) { return *at<uint32_t>(inst, F::d.length_offset); }
    static int32_t compare(const void *a, const void *b) {
        return C::compare(elems(a), count(a), elems(b), count(b));
    }
    static uint32_t hash(const void *inst, uint32_t running) {
        return C::hash(elems(inst), count(inst), running);
    }
};

// Fixed text of capacity N: all N bytes, whatever follows a NUL (the byte
// kept after them for the terminator takes no part).
template <class F> struct IdentityOf<Text<F>> {
    static constexpr uint32_t N = Text<F>::C;
    static int32_t compare(const void *a, const void *b) {
        return std::memcmp(at<char>(a, F::d.offset), at<char>(b, F::d.offset), N);
    }
    static uint32_t hash(const void *inst, uint32_t running) {
        return identity::bytes_hash(at<char>(inst, F::d.offset), N, running);
    }
};

// A fixed array of N u8: -1 or 1 at the first differing byte.
template <class F> struct IdentityOf<Array<F>> {
    static constexpr uint32_t N = Array<F>::N;
    static int32_t compare(const void *a, const void *b) {
        int r = std::memcmp(at<uint8_t>(a, F::d.offset), at<uint8_t>(b, F::d.offset), N);
        return identity::order(r, 0);
    }
    static uint32_t hash(const void *inst, uint32_t running) {
        return identity::bytes_hash(at<uint8_t>(inst, F::d.offset), N, running);
    }
};

// A list: the counts first (unsigned), then the elements pairwise in list
// order; its hash is the count's four bytes, then every element's hash.
template <class F> struct IdentityOf<List<F>> {
    using Elem = Identity<List<F>::E>;
    static const Head *head(const void *inst) { return at<Head>(inst, F::d.offset); }
    // The element after e, or null after the last.
    static const void *next(const Head *hd, const void *e) {
        const void *n = link(const_cast<void *>(e))->next;
        return n == hd ? nullptr : n;
    }
    static const void *first(const Head *hd) {
        return hd->first == hd ? nullptr : hd->first;
    }
    static int32_t compare(const void *a, const void *b) {
        const Head *ha = head(a);
        const Head *hb = head(b);
        if (int32_t r = identity::order(ha->count, hb->count)) return r;
        for (const void *x = first(ha), *y = first(hb); x != nullptr && y != nullptr;
             x = next(ha, x), y = next(hb, y))
            if (int32_t r = Elem::compare(x, y)) return r;
        return 0;
    }
    static uint32_t hash(const void *inst, uint32_t running) {
        const Head *hd = head(inst);
        running = identity::bytes_hash(&hd->count, sizeof hd->count, running);
        for (const void *e = first(hd); e != nullptr; e = next(hd, e)) running = Elem::hash(e, running);
        return running;
    }
};

// ---- The type-level operations ----------------------------------------------------

template <uint32_t T> struct Identity {
    // A null instance orders before any other; the first unequal field
    // decides.
    static int32_t compare(const void *a, const void *b) {
        if (a == nullptr || b == nullptr) return identity::order(a != nullptr, b != nullptr);
        int32_t r = 0;
        any_field<T>([&](auto k) {
            r = IdentityOf<decltype(k)>::compare(a, b);
            return r != 0;
        });
        return r;
    }
    // A null instance leaves the running hash as it is.
    static uint32_t hash(const void *inst, uint32_t running) {
        if (inst == nullptr) return running;
        each_field<T>([&](auto k) { running = IdentityOf<decltype(k)>::hash(inst, running); });
        return running;
    }
};

} // namespace drov::structs
