// What the structure harnesses share: the case an input's first bytes
// describe, a stand-in handle for it, a watch over instance memory, and the
// checks.  A failed check prints what failed and aborts (a crash of the input).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "drov_def/drov_def.h"
#include "qel_standin.h"
#include "schema_walk.h"
#include "watch.h"

namespace drov_fuzz {

namespace walk = test::walk;
using walk::FieldKind;
using walk::kTypes;
using walk::ops;
using walk::Ops;
using qel_standin::Tracking;

[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fault(const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::fputs("fuzz check failed: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::abort();
}

inline const char *name(uint32_t t) { return kTypes[t].name; }
inline int8_t highest(uint32_t t) { return kTypes[t].highest(); }

// The case: three bytes before the harness's own input (at least one byte):
//   0  the structure type, modulo the number of types
//   1  bit 0      the update flag of the decoding
//      bits 1-2   state tracking (kTracking)
//      bit 3      decode into an instance already filled ...
//      bit 4      ... filled by decoding a well-formed message, not by setters
//      bit 5      fail an allocation of the operation under test
//      bit 6      a lowered variant domain for the type
//      bit 7      (clone) a scratch buffer shorter than the encoding
//   2  bits 0-3   which allocation fails, from 1
//      bits 4-7   the lowered domain variant, from -1; the filling's choice of
//                 values; (clone) how short the scratch buffer is
constexpr Tracking kTracking[] = {Tracking::Absent, Tracking::Off, Tracking::On, Tracking::On};
struct Case {
    uint32_t type = 0;
    uint32_t update = 0;
    Tracking tracking = Tracking::Absent;
    bool filled = false;
    bool fill_by_decoding = false;
    uint32_t fail_at = 0; // 0: no failure
    bool lowered = false;
    int8_t domain = 0; // with `lowered`
    bool short_scratch = false;
    uint8_t pick = 0; // bits 4-7 of byte 2

    static bool parse(const uint8_t *&data, size_t &size, Case &c) {
        if (size <= 3) return false;
        c.type = data[0] % walk::kStructs;
        const uint8_t b = data[1], n = data[2];
        c.update = b & 1u;
        c.tracking = kTracking[(b >> 1) & 3u];
        c.filled = (b & 0x08) != 0;
        c.fill_by_decoding = (b & 0x10) != 0;
        c.fail_at = (b & 0x20) != 0 ? 1u + (n & 0x0Fu) : 0u;
        c.pick = static_cast<uint8_t>(n >> 4);
        c.lowered = (b & 0x40) != 0;
        c.domain = static_cast<int8_t>(c.pick % (highest(c.type) + 1) - 1); // -1 to one below the highest
        c.short_scratch = (b & 0x80) != 0;
        data += 3;
        size -= 3;
        return true;
    }
};

// A handle for one input: records nothing (memory stays the same over
// millions of inputs) and at the end requires every block to be back.
class Handle {
public:
    explicit Handle(const Case &c) : h(qel_standin::handle_new()) {
        qel_standin::set_recording(h, false);
        qel_standin::set_global_recording(false);
        qel_standin::set_alloc_mode(h, qel_standin::AllocMode::Tracked); // block sizes, leaks
        qel_standin::set_tracking(h, c.tracking);
        if (c.lowered) qel_standin::set_domain_variant(h, name(c.type), c.domain);
    }
    ~Handle() {
        if (st().live_count != 0 || !st().live.empty())
            fault("%llu blocks not returned", static_cast<unsigned long long>(st().live_count));
        qel_standin::handle_delete(h);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    qel_standin::HandleState &st() const { return qel_standin::state(h); }
    // The n-th allocation from now fails (0: none).
    void fail_alloc(uint32_t n) const { st().fail_alloc_at = n == 0 ? 0 : st().alloc_calls + n; }
    // The size of a block the handle handed out, 0 for any other address.
    uint32_t block_size(const void *p) const {
        auto it = st().live.find(const_cast<void *>(p));
        return it == st().live.end() ? 0 : it->second;
    }

    qel_handle_t *h;
};

// An instance of the case's type, empty or filled (every field of its
// variant) through the setters or by decoding an encoding of such a one.
inline void *make_instance(const Handle &hd, const Case &c) {
    const Ops &o = ops(c.type);
    void *inst = o.create(hd.h, 1);
    if (inst == nullptr) fault("%s_create failed", name(c.type));
    if (!c.filled) return inst;
    walk::Filler fill{hd.h, std::mt19937(c.pick)};
    fill.max_elements = 2;
    fill.max_string = 24;
    void *src = c.fill_by_decoding ? o.create(hd.h, 1) : inst;
    fill.fill(c.type, src);
    if (src != inst) {
        std::vector<uint8_t> buf(o.len(hd.h, 1, src) + 1);
        const uint32_t n = o.marshal_for_clone(hd.h, 1, buf.data(), src, static_cast<int32_t>(buf.size()), &fill.err);
        o.unmarshal(hd.h, 1, buf.data(), inst, static_cast<int32_t>(n), 0, &fill.err);
        o.destroy(hd.h, 1, src);
    }
    if (fill.err != 0) fault("filling a %s failed with %u", name(c.type), fill.err);
    return inst;
}

// The handle's blocks (the instance's and all it holds) across one operation: every byte changed in
// a block still live afterwards was announced to the write notification first.  List links (a
// head's first, last and parent, an element's next and prev) go to the memory range library instead
// and are not watched.
class Watch : test::structs::Watch {
public:
    Watch(const Handle &hd, uint32_t t, void *inst) : test::structs::Watch(hd.h), hd_(hd), inst_(inst) {
        for (const auto &[p, n] : hd.st().live) add(p, n);
        walk::each_instance(t, inst, [&](uint32_t u, const void *i, bool element) {
            if (element) forget(walk::bytes(i) + walk::kLinkOffset + 8, 16); // next, prev
            for (uint32_t k = 0; k < kTypes[u].field_count; ++k)
                if (kTypes[u].fields[k].kind == FieldKind::List)
                    forget(walk::bytes(i) + kTypes[u].fields[k].offset, 24);
        });
        start();
        free_ = hd.h->free;
        hd.h->free = &Watch::on_free;
        current() = this;
    }
    ~Watch() {
        hd_.h->free = free_;
        current() = nullptr;
    }
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;

    void check(const char *what) const {
        const std::vector<long> bad = unannounced(inst_);
        if (!bad.empty())
            fault("%s: %zu bytes changed unannounced, the first %ld bytes from the instance", what, bad.size(), bad[0]);
    }

private:
    static Watch *&current() {
        static Watch *w = nullptr;
        return w;
    }
    static void on_free(void *alloc_ctx, uint32_t ctx, void *block) {
        current()->forget(block, current()->hd_.block_size(block));
        current()->free_(alloc_ctx, ctx, block);
    }

    const Handle &hd_;
    const void *inst_;
    decltype(qel_handle_t::free) free_;
};

// Fields of variants above the instance's own keep their bytes (a decoding that lowers the variant
// leaves them; one that raises it reads them); nested records in turn by their own variant.
inline void check_kept(uint32_t t, const uint8_t *before, const uint8_t *now) {
    const walk::TypeDesc &d = kTypes[t];
    const int8_t iv = walk::instance_variant(now);
    for (uint32_t i = 0; i < d.field_count; ++i) {
        const walk::FieldDesc &f = d.fields[i];
        if (f.variant > iv && std::memcmp(before + f.offset, now + f.offset, f.size) != 0)
            fault("%s.%s (variant %d) changed by a decoding that left the instance in variant %d", d.name, f.name,
                  f.variant, iv);
        if (f.variant <= iv && f.kind == FieldKind::Record)
            check_kept(static_cast<uint32_t>(f.ref), before + f.offset, now + f.offset);
    }
}

// Without an error, unmarshal returns at least where the body length points (the offset of its word
// plus its value; beyond the buffer for a message cut short).
inline void check_count(uint32_t t, const uint8_t *msg, size_t size, uint32_t got, uint32_t err) {
    const size_t jump = 2 + (size >= 2 && (msg[1] & QEL_OBJ_RA_DATA) != 0 ? 9 : 0);
    if (err != 0 || size < jump + 4) return;
    const uint32_t body = static_cast<uint32_t>(msg[jump]) << 24 | msg[jump + 1] << 16 | msg[jump + 2] << 8 |
                          msg[jump + 3];
    const uint64_t end = std::min<uint64_t>(jump + uint64_t{body}, UINT32_MAX);
    if (got < end)
        fault("%s_unmarshal of %zu bytes whose body ends at %llu returned %u", name(t), size,
              static_cast<unsigned long long>(end), got);
}

// Every variant of the instance and of what it holds is its type's highest.
inline bool full(uint32_t t, const void *inst) {
    bool all = true;
    walk::each_instance(t, inst,
                        [&](uint32_t u, const void *i, bool) { all &= walk::instance_variant(i) == highest(u); });
    return all;
}

// Room for any encoding of the instance: len + 1 (one short for a tracked
// message that ends in a list) and the 9 bytes len does not count of each ra
// data block (the instance's and each nested one's that carries the flag).
inline uint32_t room_for(const Handle &hd, uint32_t t, const void *inst) {
    uint32_t n = ops(t).len(hd.h, 1, inst) + 1;
    walk::each_instance(t, inst, [&](uint32_t, const void *i, bool) {
        n += (walk::bytes(i)[10] & QEL_OBJ_RA_DATA) != 0 ? 9 : 0;
    });
    return n;
}

inline void check_equal(uint32_t t, const void *a, const void *b, const char *what) {
    const std::string diff = walk::diff(t, a, b);
    if (ops(t).compare(a, b) != 0 || !diff.empty())
        fault("%s differs from its source: %s", what, diff.empty() ? "compare is not 0" : diff.c_str());
}

// The instance re-encoded into room_for bytes and decoded, to its last byte, into a fresh instance,
// which is returned.  Under a lowered domain, marshal reports 43 exactly when it writes less (the
// instance is encoded for the round trip in its own variant).
inline void *reencode(const Handle &hd, const Case &c, const void *a) {
    const Ops &o = ops(c.type);
    const uint32_t size = room_for(hd, c.type, a);
    std::vector<uint8_t> buf(size);
    uint32_t err = 0;
    if (c.lowered) {
        o.marshal(hd.h, 1, buf.data(), a, static_cast<int32_t>(size), &err);
        const uint32_t want = walk::instance_variant(a) > c.domain ? QEL_EIDRM : 0;
        if (err != want)
            fault("%s_marshal under domain variant %d: error %u, not %u", name(c.type), c.domain, err, want);
        err = 0;
    }
    const auto marshal = c.lowered ? o.marshal_for_clone : o.marshal;
    const uint32_t n = marshal(hd.h, 1, buf.data(), a, static_cast<int32_t>(size), &err);
    if (err != 0) fault("%s: encoding into %u bytes failed with %u", name(c.type), size, err);
    void *b = o.create(hd.h, 1);
    const uint32_t got = o.unmarshal(hd.h, 1, buf.data(), b, static_cast<int32_t>(n), 0, &err);
    if (err != 0 || got != n)
        fault("%s: decoding its own encoding (%u bytes) returned %u with error %u", name(c.type), n, got, err);
    return b;
}

// What a decoding made comes back equal through the wire form; an instance
// filled otherwise may hold values the wire form maps (0 of an enumeration
// numbered from 1 reads as 1), so only from its second pass.
inline void check_round_trip(const Handle &hd, const Case &c, const void *a, bool decoded = true) {
    void *b = reencode(hd, c, a);
    if (decoded) {
        check_equal(c.type, a, b, "the re-encoded instance");
    } else {
        void *again = reencode(hd, c, b);
        check_equal(c.type, b, again, "the instance encoded twice");
        ops(c.type).destroy(hd.h, 1, again);
    }
    ops(c.type).destroy(hd.h, 1, b);
}

// The message harnesses' decoding of the rest of the input, an allocation
// failing when the case says so and `fail_here`: checked, the count, the
// announcements and the later variants' fields kept.
struct Decoded {
    void *inst;
    uint32_t err;
};
inline Decoded decode(const Handle &hd, const Case &c, const uint8_t *msg, size_t size, bool fail_here) {
    void *inst = make_instance(hd, c);
    const std::vector<uint8_t> before(walk::bytes(inst), walk::bytes(inst) + ops(c.type).size(hd.h));
    uint32_t err = 0;
    const Watch watch(hd, c.type, inst);
    if (fail_here) hd.fail_alloc(c.fail_at);
    const auto len = static_cast<int32_t>(std::min<size_t>(size, INT32_MAX));
    const uint32_t got = ops(c.type).unmarshal(hd.h, 1, msg, inst, len, c.update, &err);
    hd.fail_alloc(0);
    watch.check("unmarshal");
    check_count(c.type, msg, size, got, err);
    check_kept(c.type, before.data(), walk::bytes(inst));
    return {inst, err};
}

} // namespace drov_fuzz
