// The pooled allocator's slow paths: new chunks, large blocks and reset.
// Under AddressSanitizer a block on a free list and the part of a chunk not
// yet cut are poisoned, so a use after free shows as it does with malloc.
#include "pool.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace qel_standin {

struct alignas(16) Pool::Chunk {
    Chunk *next;
};

struct alignas(16) Pool::Large {
    Large *prev;
    Large *next;
};

Pool::Pool(uint32_t chunk_bytes)
    : chunk_bytes_(chunk_bytes == 0 ? kDefaultChunk : std::max(chunk_bytes, kMinChunk)) {
    large_from_ = 0;
    while (large_from_ < kClasses &&
           sizeof(Header) + class_size(large_from_) <= (chunk_bytes_ - sizeof(Chunk)) / 4)
        ++large_from_;
}

Pool::~Pool() {
    reset();
    if (chunks_ != nullptr) {
        unpoison(chunks_, chunk_bytes_);
        std::free(chunks_);
    }
}

void *Pool::carve(unsigned c) {
    const size_t need = sizeof(Header) + class_size(c);
    if (next_ == nullptr || static_cast<size_t>(end_ - next_) < need) {
        // The rest of the current chunk is too small for this class; it is
        // left unused (less than a quarter chunk).
        auto *chunk = static_cast<Chunk *>(std::malloc(chunk_bytes_));
        if (chunk == nullptr) return nullptr;
        chunk->next = chunks_;
        chunks_ = chunk;
        next_ = reinterpret_cast<char *>(chunk + 1);
        end_ = reinterpret_cast<char *>(chunk) + chunk_bytes_;
        poison(next_, static_cast<size_t>(end_ - next_));
    }
    unpoison(next_, need);
    auto *h = reinterpret_cast<Header *>(next_);
    h->cls = c;
    h->size = class_size(c);
    next_ += need;
    return h + 1;
}

void *Pool::allocate_large(uint32_t size) {
    void *raw = std::malloc(sizeof(Large) + sizeof(Header) + (size == 0 ? 1 : size));
    if (raw == nullptr) return nullptr;
    auto *l = static_cast<Large *>(raw);
    l->prev = nullptr;
    l->next = large_;
    if (large_ != nullptr) large_->prev = l;
    large_ = l;
    auto *h = reinterpret_cast<Header *>(l + 1);
    h->cls = kLarge;
    h->size = size;
    return h + 1;
}

void Pool::free_large(void *block) {
    Large *l = reinterpret_cast<Large *>(header(block)) - 1;
    if (l->prev != nullptr)
        l->prev->next = l->next;
    else
        large_ = l->next;
    if (l->next != nullptr) l->next->prev = l->prev;
    std::free(l);
}

void Pool::reset() {
    while (large_ != nullptr) {
        Large *next = large_->next;
        std::free(large_);
        large_ = next;
    }
    std::fill(std::begin(free_), std::end(free_), nullptr);
    if (chunks_ == nullptr) return;
    for (Chunk *c = chunks_->next; c != nullptr;) {
        Chunk *next = c->next;
        unpoison(c, chunk_bytes_);
        std::free(c);
        c = next;
    }
    chunks_->next = nullptr;
    next_ = reinterpret_cast<char *>(chunks_ + 1);
    end_ = reinterpret_cast<char *>(chunks_) + chunk_bytes_;
    poison(next_, static_cast<size_t>(end_ - next_));
}

size_t Pool::chunk_count() const {
    size_t n = 0;
    for (const Chunk *c = chunks_; c != nullptr; c = c->next) ++n;
    return n;
}

} // namespace qel_standin
