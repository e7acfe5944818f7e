// What the wire tests share: the coders of any structure type by index,
// the trace points by type name, and a fixture that encodes, decodes and
// destroys what it made.
#pragma once

#include <string_view>
#include <tuple>
#include <vector>

#include "schema_walk.h"
#include "support.h"
#include "trace_gen.h"

namespace wire {

namespace walk = test::walk;
using walk::kTypes;
using Bytes = std::vector<uint8_t>;

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

inline Bytes slice(const Bytes &b, size_t at, size_t n) {
    return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
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

// A handle test whose instances are destroyed at teardown, before the
// leak check, in the reverse order of their making.
class WireTest : public test::HandleTest {
protected:
    template <class T = void> T *make(uint32_t t, qel_handle_t *on = nullptr) {
        return static_cast<T *>(own(t, walk::create(on ? on : h, t), on));
    }
    template <class T> T *own(uint32_t t, T *inst, qel_handle_t *on = nullptr) {
        kept_.push_back({on ? on : h, t, inst});
        return inst;
    }
    void release_all() {
        for (auto i = kept_.rbegin(); i != kept_.rend(); ++i) walk::destroy(std::get<0>(*i), std::get<1>(*i), std::get<2>(*i));
        kept_.clear();
    }
    void TearDown() override {
        release_all();
        test::HandleTest::TearDown();
    }
    // The bytes the encoder `m` (marshal by default) wrote into a buffer of
    // `size` bytes filled with 0xAB.
    Bytes encode(uint32_t t, const void *inst, uint32_t size = 256, Marshal m = nullptr,
                 qel_handle_t *on = nullptr) {
        Bytes buf(size == 0 ? 1 : size, 0xAB);
        buf.resize((m ? m : marshal_of(t))(on ? on : h, 1, buf.data(), inst,
                                            static_cast<int32_t>(size), &err));
        return buf;
    }
    // Decodes `b` into `inst`, telling the decoder `len` bytes (all of b by default).
    uint32_t decode(uint32_t t, const Bytes &b, void *inst, uint32_t update = 0, int32_t len = -1,
                    qel_handle_t *on = nullptr) {
        return unmarshal_of(t)(on ? on : h, 1, b.data(), inst,
                               len < 0 ? static_cast<int32_t>(b.size()) : len, update, &err);
    }

private:
    std::vector<std::tuple<qel_handle_t *, uint32_t, void *>> kept_; // handle, type, instance
};

} // namespace wire
