// Cloning what a peer's message decoded into, through a scratch buffer of the encoding's size or
// shorter, with an allocation of the clone failing.  A clone that succeeds equals its source and
// shares no block with it; one that fails leaves nothing behind.
#include <algorithm>

#include "fuzz_common.h"

using namespace drov_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Case c;
    if (!Case::parse(data, size, c)) return 0;
    const Handle hd(c);
    const Ops &o = ops(c.type);
    const Decoded src = decode(hd, c, data, size, false);
    if (src.err == 0) {
        // Room for any encoding (see reencode), or sixteenths of it.
        uint32_t room = room_for(hd, c.type, src.inst);
        if (c.short_scratch) room = room * c.pick / 16;
        std::vector<uint8_t> scratch(std::max<uint32_t>(room, 1));
        void *out = nullptr;
        uint32_t err = 0;
        hd.fail_alloc(c.fail_at);
        o.clone(hd.h, 1, src.inst, &out, scratch.data(), room, &err);
        hd.fail_alloc(0);
        if (err != 0) {
            if (out != nullptr) fault("%s_clone failed with %u and still made a clone", name(c.type), err);
            if (!c.short_scratch && c.fail_at == 0) fault("%s_clone failed with %u", name(c.type), err);
        } else {
            if (out == nullptr) fault("%s_clone made nothing without an error", name(c.type));
            // (Fields beyond a source's variant are not cloned.)
            if (!c.filled || full(c.type, src.inst)) check_equal(c.type, src.inst, out, "the clone");
            std::vector<const void *> blocks; // of both, each one once
            walk::blocks(c.type, src.inst, blocks);
            walk::blocks(c.type, out, blocks);
            std::sort(blocks.begin(), blocks.end());
            if (std::adjacent_find(blocks.begin(), blocks.end()) != blocks.end())
                fault("the %s clone shares a block with its source", name(c.type));
            o.destroy(hd.h, 1, out);
        }
    }
    o.destroy(hd.h, 1, src.inst);
    return 0;
}
