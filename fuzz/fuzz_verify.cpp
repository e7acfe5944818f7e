// A peer's bytes as a message of any structure type, verified with the library's own coding or
// the runtime's calls, as the handle's domain knows the type or not.  The walk reports the same
// and its parts tile the bytes.  What the verifier accepts decodes, exactly to the count it
// returned; encoded again into the room encoded_size gives, it verifies and decodes back equal.
#include "drov_def/runtime.h"
#include "fuzz_common.h"
#include "wire_parts.h"

using namespace drov_fuzz;

namespace {

const qel_type_info *record_of(uint32_t t) {
    static const std::vector<const qel_type_info *> records = [] {
        std::vector<const qel_type_info *> out;
        for (uint32_t i = 0; i < walk::kStructs; ++i)
            out.push_back(walk::fn<const qel_type_info *>("_" + std::string(name(i)) + "_type_info_internal"));
        return out;
    }();
    return records[t];
}

struct Said {
    uint32_t count, err;
    std::string place;
};
Said said(const Handle &hd, uint32_t count, uint32_t err) {
    const drov_def_failure_t *f = drov_def_runtime_last_failure(hd.h);
    return {count, err, std::to_string(f->offset) + " " + f->path + ": " + f->reason};
}

// Verifies msg both ways; the count (0: refused).
uint32_t verify(const Handle &hd, uint32_t t, const uint8_t *msg, size_t size, uint32_t flags) {
    const auto len = static_cast<int32_t>(std::min<size_t>(size, INT32_MAX));
    const uint64_t allocs = hd.st().alloc_calls;
    uint32_t err = 0;
    const uint32_t verified = drov_def_verify(hd.h, record_of(t), msg, len, flags, &err);
    const Said a = said(hd, verified, err);
    err = 0;
    test::wire_parts::Parts parts;
    const uint32_t walked = drov_def_verify_walk(hd.h, record_of(t), msg, len, flags, &parts.add, &parts, &err);
    const Said b = said(hd, walked, err);
    if (hd.st().alloc_calls != allocs) fault("%s: verify allocated", name(t));
    if (a.count != b.count || a.err != b.err || a.place != b.place)
        fault("%s: verify says %u/%u at %s, the walk %u/%u at %s", name(t), a.count, a.err, a.place.c_str(), b.count,
              b.err, b.place.c_str());
    if (a.err != 0 && a.err != QEL_EMSGSIZE && a.err != QEL_EINVAL) fault("%s: verify failed with %u", name(t), a.err);
    if ((a.err == 0) != (a.count != 0) || a.count > size) fault("%s: verify returned %u of %zu bytes", name(t), a.count, size);
    const std::string tiling = parts.tiling(a.count);
    if (!tiling.empty()) fault("%s: the walk's parts: %s", name(t), tiling.c_str());
    return a.count;
}

void *decode_exactly(const Handle &hd, uint32_t t, const uint8_t *msg, uint32_t n) {
    void *inst = ops(t).create(hd.h, 1);
    uint32_t err = 0;
    const uint32_t got = ops(t).unmarshal(hd.h, 1, msg, inst, static_cast<int32_t>(n), 0, &err);
    if (err != 0 || got != n) fault("%s: verified %u bytes, decoded %u with error %u", name(t), n, got, err);
    return inst;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Case c;
    if (!Case::parse(data, size, c)) return 0;
    const Handle hd(c);
    if (c.update != 0) hd.h->features = 0; // the runtime's coders, called for every item
    const uint32_t flags = c.lowered ? DROV_DEF_VERIFY_DOMAIN : 0;
    const uint32_t n = verify(hd, c.type, data, size, flags);
    // Read as the domain knows the type, fewer fields than a fresh instance takes may have been
    // looked at.
    if (n == 0 || c.lowered) return 0;
    void *a = decode_exactly(hd, c.type, data, n);
    uint32_t err = 0, room = 0;
    const uint32_t want = drov_def_encoded_size(hd.h, 1, record_of(c.type), a, 0, &room, &err);
    std::vector<uint8_t> buf(room);
    const uint32_t wrote = ops(c.type).marshal(hd.h, 1, buf.data(), a, static_cast<int32_t>(room), &err);
    if (err != 0 || wrote != want || room < want || room > want + 1)
        fault("%s: encoded_size %u (room %u), marshal wrote %u with error %u", name(c.type), want, room, wrote, err);
    if (verify(hd, c.type, buf.data(), wrote, 0) != wrote) fault("%s: its own encoding refused", name(c.type));
    void *b = decode_exactly(hd, c.type, buf.data(), wrote);
    check_equal(c.type, a, b, "the re-encoded instance");
    ops(c.type).destroy(hd.h, 1, b);
    ops(c.type).destroy(hd.h, 1, a);
    return 0;
}
