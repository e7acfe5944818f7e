// What the wire tests share: the coders of any structure type by index,
// reading big-endian words back, and the trace points by type name.
#pragma once

#include <string_view>
#include <vector>

#include "schema_walk.h"
#include "support.h"
#include "trace_gen.h"

namespace wire {

namespace walk = test::walk;
using walk::kTypes;

constexpr uint32_t type_index(std::string_view n) {
    for (uint32_t t = 0; t < drov::schema::kTypeCount; ++t)
        if (n == kTypes[t].name) return t;
    return ~0u;
}

using Marshal = uint32_t (*)(qel_handle_t *, uint32_t, uint8_t *, const void *, int32_t, uint32_t *);
using Unmarshal = uint32_t (*)(qel_handle_t *, uint32_t, const uint8_t *, void *, int32_t, uint32_t,
                               uint32_t *);
using Len = uint32_t (*)(qel_handle_t *, uint32_t, const void *);
using Clone = void (*)(qel_handle_t *, uint32_t, const void *, void **, uint8_t *, uint32_t,
                       uint32_t *);

inline Marshal marshal_of(uint32_t t) { return walk::fn<Marshal>(walk::op(t, "marshal")); }
inline Marshal marshal_for_clone_of(uint32_t t) {
    return walk::fn<Marshal>(walk::op(t, "marshal_for_clone"));
}
inline Unmarshal unmarshal_of(uint32_t t) { return walk::fn<Unmarshal>(walk::op(t, "unmarshal")); }
inline Len len_of(uint32_t t) { return walk::fn<Len>(walk::op(t, "len")); }
inline Clone clone_of(uint32_t t) { return walk::fn<Clone>(walk::op(t, "clone")); }

// The bytes an encoder wrote into a buffer of `size` bytes.
inline std::vector<uint8_t> encode(Marshal m, qel_handle_t *h, const void *inst, uint32_t size,
                                   uint32_t *err) {
    std::vector<uint8_t> buf(size == 0 ? 1 : size, 0xAB);
    uint32_t n = m(h, 1, buf.data(), inst, static_cast<int32_t>(size), err);
    buf.resize(n);
    return buf;
}

inline uint32_t be32(const std::vector<uint8_t> &b, size_t at) {
    return (uint32_t{b.at(at)} << 24) | (uint32_t{b.at(at + 1)} << 16) |
           (uint32_t{b.at(at + 2)} << 8) | b.at(at + 3);
}
inline void put_be32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The traces with catalogue index `index` recorded so far.
inline std::vector<qel_standin::TraceRecord> traces_at(uint32_t index) {
    std::vector<qel_standin::TraceRecord> out;
    for (const auto &r : qel_standin::traces())
        if (r.index == index) out.push_back(r);
    return out;
}

inline uint64_t wlog_inits() {
    uint64_t n = 0;
    for (const auto &c : qel_standin::global_calls())
        if (c.name == "wlog_module_init_fn") ++n;
    return n;
}

inline uint8_t obj_flags(const void *inst) { return walk::bytes(inst)[10]; }

} // namespace wire
