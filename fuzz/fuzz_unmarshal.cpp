// A peer's message of any structure type, decoded fresh or as an update
// into a filled instance, with an allocation failing or a lowered domain.
// A fresh decoding without error comes back equal through the wire form.
#include "fuzz_common.h"

using namespace drov_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Case c;
    if (!Case::parse(data, size, c)) return 0;
    const Handle hd(c);
    const Decoded d = decode(hd, c, data, size, c.fail_at != 0);
    if (d.err == 0 && !c.filled) check_round_trip(hd, c, d.inst);
    ops(c.type).destroy(hd.h, 1, d.inst);
    return 0;
}
