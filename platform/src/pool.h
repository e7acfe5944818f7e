// A handle's pooled allocator: blocks cut from chunks the pool owns, kept on
// a free list per size class when freed, and given back all at once when the
// pool is reset or deleted.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define QEL_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_POOL_ASAN 1
#endif
#endif
#ifdef QEL_POOL_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace qel_standin {

class Pool {
public:
    static constexpr uint32_t kDefaultChunk = 64 * 1024;
    static constexpr uint32_t kMinChunk = 4096;

    explicit Pool(uint32_t chunk_bytes);
    ~Pool();
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    // A block of at least `size` bytes, aligned to 16; null when memory is short.
    void *allocate(uint32_t size) {
        const unsigned c = class_of(size);
        if (c < large_from_) {
            if (Free *f = free_[c]) {
                unpoison(f, class_size(c));
                free_[c] = f->next;
                return f;
            }
            return carve(c);
        }
        return allocate_large(size);
    }
    // Keeps a block for the next request of its class (a large one goes back
    // to the system).  Null is ignored.
    void free(void *block) {
        if (block == nullptr) return;
        const unsigned c = header(block)->cls;
        if (c < kClasses) {
            auto *f = static_cast<Free *>(block);
            f->next = free_[c];
            free_[c] = f;
            poison(block, class_size(c));
        } else {
            free_large(block);
        }
    }
    // Takes back every block: keeps the first chunk for reuse, returns the
    // rest and every large block to the system.
    void reset();

    size_t chunk_count() const;

private:
    // In front of every block: its size class.
    struct alignas(16) Header {
        uint32_t cls;
        uint32_t size;
    };
    struct Free {
        Free *next;
    };
    struct Chunk;
    struct Large;

    // Classes: 16 to 256 bytes in steps of 16, then powers of two up to
    // 16 KiB; larger requests, and those of classes whose blocks would take
    // more than a quarter of a chunk, are large: a malloc block of their own.
    static constexpr unsigned kSmall = 16;
    static constexpr unsigned kClasses = kSmall + 6;
    static constexpr unsigned kLarge = 0xFFFFFFFFu;
    static unsigned class_of(uint32_t size) {
        if (size <= 256) return size == 0 ? 0 : (size - 1) / 16;
        if (size > 16384) return kClasses;
        unsigned c = kSmall;
        for (uint32_t s = 512; s < size; s <<= 1) ++c;
        return c;
    }
    static uint32_t class_size(unsigned c) {
        return c < kSmall ? 16 * (c + 1) : 512u << (c - kSmall);
    }
    static Header *header(void *block) { return static_cast<Header *>(block) - 1; }

    void *carve(unsigned c);
    void *allocate_large(uint32_t size);
    void free_large(void *block);
public:
    // Nothing at all outside AddressSanitizer: on the paths of every block
    // (the default handle's waiting blocks too).
    static void poison([[maybe_unused]] void *p, [[maybe_unused]] size_t n) {
#ifdef QEL_POOL_ASAN
        ASAN_POISON_MEMORY_REGION(p, n);
#endif
    }
    static void unpoison([[maybe_unused]] void *p, [[maybe_unused]] size_t n) {
#ifdef QEL_POOL_ASAN
        ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
    }

private:

    uint32_t chunk_bytes_;
    uint32_t large_from_; // classes whose blocks need more than a quarter chunk go large
    Free *free_[kClasses + 1] = {}; // the last one stays empty: large blocks
    Chunk *chunks_ = nullptr; // newest first
    char *next_ = nullptr;    // carving point in the newest chunk
    char *end_ = nullptr;
    Large *large_ = nullptr;
};

} // namespace qel_standin
