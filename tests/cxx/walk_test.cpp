// Every field of every structure through the typed accessors: one walk over drov::meta fills an
// instance from a running value and reads it back (also through read-only views, lists as ranges)
// from the original, its decoded copy, its clone and its XML copy; another sets and reads the state
// flags.  (Enumeration names: the enumeration tests, against their golden file.)  A wrong offset,
// width, conversion or C function behind an accessor shows as a value that does not come back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "drov_def/drov_def.hpp"

namespace {

using drov::meta::Kind;

uint32_t mix(uint32_t running, uint32_t i) { return running * 2654435761u + i * 40503u + 1; }

std::string letters(size_t n, uint32_t s) {
    std::string t(n, ' ');
    for (size_t i = 0; i < n; ++i) t[i] = static_cast<char>('a' + (s + i) % 26);
    return t;
}
std::vector<uint8_t> bytes(size_t n, uint32_t s) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(s + i * 7);
    return b;
}
template <class E> E enum_value(uint32_t s) {
    return static_cast<E>(drov::EnumInfo<E>::first + s % drov::EnumInfo<E>::values.size());
}

// What each kind holds for a running value s.
size_t string_size(uint32_t s) { return 1 + s % 40; }
size_t vararray_size(uint32_t s) { return 1 + s % 9; }
constexpr int kElements = 3;
template <class F> auto value(uint32_t s) {
    if constexpr (F::kind == Kind::U8 || F::kind == Kind::U16 || F::kind == Kind::U32)
        return static_cast<typename F::value_type>(s);
    else if constexpr (F::kind == Kind::Bool)
        return (s & 1) != 0;
    else if constexpr (F::kind == Kind::IfHandle)
        return s;
    else if constexpr (F::kind == Kind::Enum)
        return enum_value<typename F::type>(s);
    else if constexpr (F::kind == Kind::String)
        return letters(string_size(s), s);
    else if constexpr (F::kind == Kind::Text)
        return letters(F::capacity - s % 3, s);
    else if constexpr (F::kind == Kind::Array)
        return bytes(F::extent, s);
    else
        return bytes(vararray_size(s), s);
}

template <class O> using TypeOf = drov::meta::Type<typename std::remove_cvref_t<O>::Owner>;

// With Fill, sets every field from the running value; otherwise reads each
// back, and with flags also that every setter marked its field (what a
// nested record's getter hands out leaves the record's own flag alone).
template <bool Fill, class O> void walk(O &&o, uint32_t running, bool flags = false) {
    uint32_t i = 0;
    uint64_t length = 0;
    TypeOf<O>::fields([&](auto f) {
        using F = decltype(f);
        SCOPED_TRACE(std::string(F::field));
        const uint32_t s = mix(running, i++);
        if constexpr (F::kind == Kind::Length) {
            if constexpr (!Fill) length = F::get(o);
        } else if constexpr (F::kind == Kind::Record) {
            walk<Fill>(F::get(o), s, flags);
        } else if constexpr (F::kind == Kind::List && Fill) {
            // In order 0, 1, 2: one made in place, one moved in at the front
            // and one moved in at the end.
            using El = typename F::element;
            auto list = F::get(o);
            walk<true>(list.push_back(), mix(s, 1));
            El first(o.context()), last(o.context());
            walk<true>(first, mix(s, 0));
            walk<true>(last, mix(s, 2));
            list.insert(list.begin(), std::move(first));
            list.push_back(std::move(last));
            EXPECT_FALSE(first);
            EXPECT_FALSE(last);
        } else if constexpr (F::kind == Kind::List) {
            auto list = F::get(o);
            EXPECT_EQ(list.size(), size_t{kElements});
            uint32_t k = 0;
            for (auto el : list) walk<false>(el, mix(s, k++), flags);
            EXPECT_EQ(k, uint32_t{kElements});
            for (auto it = list.end(); it != list.begin();) walk<false>(*--it, mix(s, --k));
        } else if constexpr (Fill && F::kind == Kind::VarArray) {
            const auto v = value<F>(s);
            F::set(o, std::vector<uint8_t>(v.begin(), v.end() - 1));
            F::set_at(o, v.size() - 1, v.back()); // grows
        } else if constexpr (Fill) {
            F::set(o, value<F>(s));
        } else if constexpr (F::kind == Kind::Array || F::kind == Kind::VarArray) {
            const auto got = F::get(o);
            EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), value<F>(s));
            if (flags) {
                EXPECT_EQ(F::flag_at(o, got.size() - 1), F::kind == Kind::Array ? 0 : 2);
            }
        } else {
            EXPECT_EQ(F::get(o), value<F>(s));
        }
        if constexpr (!Fill && F::kind != Kind::Length) {
            if constexpr (F::kind == Kind::String || F::kind == Kind::VarArray) {
                EXPECT_EQ(length, value<F>(s).size());
            }
            if (flags) {
                EXPECT_EQ(F::flag(o), F::kind == Kind::Record ? 0 : 2);
            }
        }
    });
}

// Every state flag, whole and per element, takes what it is given.
template <class O> void set_flags(O &&o, uint8_t v) {
    TypeOf<O>::fields([&](auto f) {
        using F = decltype(f);
        SCOPED_TRACE(std::string(F::field));
        if constexpr (F::kind != Kind::Length) {
            F::set_flag(o, v);
            EXPECT_EQ(F::flag(o), v);
        }
        if constexpr (F::kind == Kind::Array || F::kind == Kind::VarArray) {
            F::set_flag_at(o, 0, static_cast<uint8_t>(v + 1));
            EXPECT_EQ(F::flag_at(o, 0), v + 1);
        }
        if constexpr (F::kind == Kind::Record) set_flags(F::get(o), v);
        if constexpr (F::kind == Kind::List)
            for (auto el : F::get(o)) set_flags(el, v);
    });
}

TEST(CxxWalk, EveryFieldOfEveryStructureComesBackThroughItsAccessors) {
    drov::Handle h;
    h.track_state();
    int types = 0;
    drov::meta::for_each_struct([&](auto type) {
        using C = typename decltype(type)::type;
        SCOPED_TRACE(std::string(C::type_name));
        ++types;
        for (uint32_t running : {1u, 77u}) {
            C a(h);
            walk<true>(a, running);
            const C &ca = a;
            walk<false>(ca.ref(), running, true);

            const std::vector<std::byte> wire = a.encode();
            const C back = C::decode(h, wire);
            EXPECT_EQ(back, a);
            walk<false>(back, running, true);
            C again(h);
            EXPECT_EQ(again.update_from(wire), wire.size());
            EXPECT_EQ(again, a);

            const C copy = back.clone();
            EXPECT_EQ(copy, a);
            walk<false>(copy, running, true);
            EXPECT_EQ(std::hash<C>{}(copy), std::hash<C>{}(a));

            const C read = C::from_xml(h, a.to_xml());
            EXPECT_EQ(read, a);
            EXPECT_EQ(a.to_text(), read.to_text());
            EXPECT_EQ(a.to_text().rfind(std::string(C::type_name) + "@" + std::string(C::type_name) + ": {\n", 0), 0u);

            set_flags(a, 5);
            C other(h);
            walk<true>(other, running + 1);
            EXPECT_NE(other, a);
            EXPECT_NE(other.hash(), a.hash());
        }
        EXPECT_EQ(h.live_blocks(), 0u);
    });
    EXPECT_EQ(types, 30);
}

// Text and encodings size their own buffers: what the C calls write into
// buffers far larger than needed, for a message of a few hundred elements.
TEST(CxxBuffers, TextAndEncodingMatchTheCCallsAtAnySize) {
    drov::Handle h;
    drov::VmActRsp rsp(h);
    rsp.set_vm_name(std::string(3000, 'n'));
    for (int i = 0; i < 300; ++i) rsp.vm_if_rsp().vm_if_info().push_back().vm_nic_info().set_mtu(1500 + i);
    std::vector<char> big(1 << 22);
    uint32_t err = 0;
    const drov::Context c = rsp.context();
    uint32_t n = vm_act_rsp_print(c.handle, c.id, big.data(), 0, "vm_act_rsp", rsp.c_ptr(), uint32_t(big.size()), &err);
    EXPECT_EQ(rsp.to_text(), std::string(big.data(), n));
    std::string reused = "short";
    rsp.to_text(reused, "label");
    EXPECT_EQ(reused.rfind("label@vm_act_rsp: {\n", 0), 0u);
    n = vm_act_rsp_to_xml(c.handle, c.id, "t", big.data(), rsp.c_ptr(), uint32_t(big.size()), 0, &err);
    EXPECT_EQ(rsp.to_xml("t"), std::string(big.data(), n));
    n = vm_act_rsp_marshal(c.handle, c.id, reinterpret_cast<uint8_t *>(big.data()), rsp.c_ptr(), int32_t(big.size()), &err);
    const auto wire = rsp.encode();
    EXPECT_EQ(wire.size(), n);
    EXPECT_EQ(std::memcmp(wire.data(), big.data(), n), 0);
    EXPECT_EQ(err, 0u);
}

} // namespace
