// A peer's bytes as a message of any structure type, read through the C++ layer on a handle with
// state tracking off or on.  What the strict form reads, the lenient form reads the same; whatever
// either reads encodes whole within encode_size() bytes that the same form reads back equal,
// clones equal, and writes XML that the strict XML reading reads back equal (but for what XML does
// not carry).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

#include "drov_def/drov_def.hpp"

namespace {

[[noreturn]] void fault(const char *type, const char *what, const std::error_code &ec = {}) {
    std::fprintf(stderr, "fuzz check failed: %s: %s%s%s\n", type, what, ec ? ": " : "",
                 ec ? ec.message().c_str() : "");
    std::abort();
}

// Everything a decoded instance must do again.
template <class C> void holds_up(drov::Handle &h, const C &x, bool strict, const char *how) {
    const char *type = C::type_name.data();
    std::error_code ec;
    const auto wire = x.encode(ec);
    if (ec) fault(type, how, ec);
    // (The room may hold one byte more than the encoding: that of a state flag a list's end needs.)
    if (wire.size() > x.encode_size() || wire.size() + 1 < x.encode_size())
        fault(type, "encode() wrote other than encode_size() said");
    // What the lenient form read may hold what strict reading refuses (a variant byte below -1,
    // which the library keeps and writes back): its encoding reads back in the same form.
    const C again = strict ? C::decode(h, wire, ec) : C::decode(h, wire, drov::lenient, ec);
    if (ec) fault(type, "its encoding does not decode in the form that read it", ec);
    if (!(again == x)) fault(type, "its encoding decodes to another value");
    const auto copy = x.clone(ec);
    if (ec) fault(type, "clone", ec);
    if (!(copy == x)) fault(type, "the clone differs");
    const std::string xml = x.to_xml({}, ec);
    if (ec) fault(type, "to_xml", ec);
    // What XML does not carry: bytes that are not XML text (control characters, broken UTF-8),
    // written as U+FFFD, three bytes each, so that a fixed text full of them may no longer fit;
    // and the bytes after a fixed text's NUL, which print does not show either.  Short of those
    // the reading is equal; and what was read writes XML that reads back equal.
    const bool replaced = xml.find("&#xFFFD;") != std::string::npos;
    const C read = C::from_xml(h, xml, {}, ec);
    if (ec && replaced) return;
    if (ec) fault(type, ("its XML does not read back: " + xml).c_str(), ec);
    // (XML carries no variants: a lenient reading's element of a variant below -1 comes back as
    // one of the highest.)
    if (strict && !(read == x) && !replaced && read.to_text() != x.to_text())
        fault(type, ("its XML reads back to another value: " + xml).c_str());
    if (!(C::from_xml(h, read.to_xml()) == read)) fault(type, ("its XML, read back, does not read back: " + xml).c_str());
}

template <class C> void one(drov::Handle &h, std::span<const std::byte> msg) {
    const char *type = C::type_name.data();
    std::error_code strict_ec, lenient_ec;
    const C strict = C::decode(h, msg, strict_ec);
    const C lenient = C::decode(h, msg, drov::lenient, lenient_ec);
    if (strict_ec == drov::errc::out_of_memory || lenient_ec == drov::errc::out_of_memory) return;
    if (!strict_ec) {
        if (lenient_ec) fault(type, "the strict form reads what the lenient form refuses", lenient_ec);
        if (!(strict == lenient)) fault(type, "the strict and lenient forms read different values");
        holds_up(h, strict, true, "encode of a strict decoding");
    }
    if (!lenient_ec) holds_up(h, lenient, false, "encode of a lenient decoding");
}

} // namespace

// Byte 0 picks the type (modulo the number of structure types), bit 0 of byte 1 state tracking;
// the rest is the message.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    static drov::Handle plain, tracked = [] {
        drov::Handle h;
        h.track_state();
        return h;
    }();
    drov::Handle &h = (data[1] & 1) != 0 ? tracked : plain;
    const std::span msg(reinterpret_cast<const std::byte *>(data) + 2, size - 2);
    static const size_t types = [] {
        size_t n = 0;
        drov::meta::for_each_struct([&](auto) { ++n; });
        return n;
    }();
    size_t index = 0;
    const size_t want = data[0] % types;
    drov::meta::for_each_struct([&]<class C>(std::type_identity<C>) {
        if (index++ == want) one<C>(h, msg);
    });
    return 0;
}
