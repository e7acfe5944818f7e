// SuperFastHash (Paul Hsieh), starting from the caller's running hash
// instead of the data length, so that hashes of consecutive fields chain.
// Like the published function it gives 0 for no data (null, or a length of
// 0 or below), whatever the running hash.
#include "qel.h"

namespace {

inline uint32_t get16bits(const uint8_t *d) {
    return (static_cast<uint32_t>(d[1]) << 8) + static_cast<uint32_t>(d[0]);
}

} // namespace

extern "C" uint32_t SuperFastHash(const char *data, int32_t len, uint32_t running) {
    if (data == nullptr || len <= 0) return 0;
    const auto *p = reinterpret_cast<const uint8_t *>(data);
    uint32_t hash = running;
    int32_t rem = len & 3;
    for (int32_t n = len >> 2; n > 0; --n, p += 4) {
        hash += get16bits(p);
        uint32_t tmp = (get16bits(p + 2) << 11) ^ hash;
        hash = (hash << 16) ^ tmp;
        hash += hash >> 11;
    }
    // The tail bytes that are read alone count as signed characters.
    switch (rem) {
    case 3:
        hash += get16bits(p);
        hash ^= hash << 16;
        hash ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(p[2]))) << 18;
        hash += hash >> 11;
        break;
    case 2:
        hash += get16bits(p);
        hash ^= hash << 11;
        hash += hash >> 17;
        break;
    case 1:
        hash += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(p[0])));
        hash ^= hash << 10;
        hash += hash >> 1;
        break;
    }
    hash ^= hash << 3;
    hash += hash >> 5;
    hash ^= hash << 4;
    hash += hash >> 17;
    hash ^= hash << 25;
    hash += hash >> 6;
    return hash;
}
