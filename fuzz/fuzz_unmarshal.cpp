// A peer's message of any structure type, decoded into a fresh instance or
// as an update into a filled one, under every state-tracking setting, with
// an allocation failing or a lowered variant domain.  A decoding without
// error re-encodes and decodes again to an equal instance; whatever
// happened, destroy returns every block.
#include "fuzz_common.h"

using namespace drov_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Case c;
    if (!Case::parse(data, size, c)) return 0;
    const Handle hd(c);
    const Decoded d = decode(hd, c, data, size, c.fail_at != 0);
    // An update into a filled instance keeps the values of the variants the
    // message does not carry: only a fresh instance must come back equal.
    if (d.err == 0 && !c.filled) check_round_trip(hd, c, d.inst);
    ops(c.type).destroy(hd.h, 1, d.inst);
    return 0;
}
