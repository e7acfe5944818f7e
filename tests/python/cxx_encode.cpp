// The C++ layer's encoding of given values, for the Python tests (ctypes):
// a structure filled through the C++ classes' setters, walking drov::meta,
// from values in text, and encoded by the C++ layer.  The tests compare its
// bytes with what the Python package writes for the same values.
//
// Values: one token per field in declaration order, length fields left out:
// numbers (u8 ... enumerations, booleans 0 or 1) in decimal, strings, texts
// and arrays as "x" and their bytes in hex, a nested record as its own
// fields, a list as its count and then each element's fields.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "drov_def/drov_def.hpp"

namespace {

using drov::meta::Kind;

template <class O> using TypeOf = drov::meta::Type<typename std::remove_cvref_t<O>::Owner>;

std::vector<uint8_t> hex(const std::string &t) {
    std::vector<uint8_t> b;
    for (size_t i = 1; i + 1 < t.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoul(t.substr(i, 2), nullptr, 16)));
    return b;
}

template <class O> void fill(O &&o, std::istream &in) {
    TypeOf<O>::fields([&](auto f) {
        using F = decltype(f);
        std::string t;
        if constexpr (F::kind == Kind::Length) {
            return;
        } else if constexpr (F::kind == Kind::Record) {
            fill(F::get(o), in);
        } else if constexpr (F::kind == Kind::List) {
            size_t n = 0;
            in >> n;
            auto list = F::get(o);
            for (size_t i = 0; i < n; ++i) fill(list.push_back(), in);
        } else if constexpr (F::kind == Kind::String || F::kind == Kind::Text) {
            in >> t;
            const auto b = hex(t);
            F::set(o, std::string_view(reinterpret_cast<const char *>(b.data()), b.size()));
        } else if constexpr (F::kind == Kind::Array || F::kind == Kind::VarArray) {
            in >> t;
            const auto b = hex(t);
            F::set(o, std::span<const uint8_t>(b));
        } else {
            uint64_t v = 0;
            in >> v;
            if constexpr (F::kind == Kind::Enum)
                F::set(o, static_cast<typename F::type>(v));
            else if constexpr (F::kind == Kind::Bool)
                F::set(o, v != 0);
            else if constexpr (F::kind == Kind::IfHandle)
                F::set(o, static_cast<uint32_t>(v));
            else
                F::set(o, static_cast<typename F::value_type>(v));
        }
    });
}

} // namespace

// The encoding of type's values into out (cap bytes): its length, or -1 for
// an unknown type, -2 for values that do not fill it, -3 when out is short,
// -4 for a failure of the C++ layer (its message in out).
extern "C" __attribute__((visibility("default"))) long drov_cxx_encode(const char *type, const char *values,
                                                                        unsigned char *out, size_t cap) {
    long result = -1;
    drov::meta::for_each_struct([&](auto tid) {
        using C = typename decltype(tid)::type;
        if (drov::meta::Type<C>::name != type) return;
        try {
            drov::Handle h;
            C m(h);
            std::istringstream in(values);
            fill(m, in);
            std::string rest;
            if (!in || (in >> rest)) {
                result = -2;
                return;
            }
            const auto bytes = m.encode();
            if (bytes.size() > cap) {
                result = -3;
                return;
            }
            std::memcpy(out, bytes.data(), bytes.size());
            result = static_cast<long>(bytes.size());
        } catch (const drov::error &e) {
            std::strncpy(reinterpret_cast<char *>(out), e.what(), cap - 1);
            out[cap - 1] = 0;
            result = -4;
        }
    });
    return result;
}
