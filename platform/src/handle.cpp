// Handles of the stand-in runtime: allocate and free callbacks for each way
// of taking blocks (tracked, counted, pooled, the caller's), the write and
// counter notifications of an observed handle, the registry of record
// copies and the module's long-lived blocks.
#include <cstdlib>
#include <cstring>
#include <new>

#if __has_include(<malloc.h>)
#include <malloc.h>
#endif

#include <algorithm>

#include "detail.h"
#include "pool.h"

namespace qel_standin {
namespace {

// New blocks are filled with this byte in AllocMode::Tracked, so that a
// caller relying on zeroed memory is caught.
constexpr unsigned char kFreshByte = 0xA5;

HandleState *from_ctx(void *alloc_ctx) { return static_cast<HandleState *>(alloc_ctx); }

template <class... W>
[[gnu::always_inline]] inline void note(HandleState &s, const char *name, uint32_t ctx,
                                        const void *obj, const void *owner, int64_t arg,
                                        W... words) {
    detail::note(&s, name, ctx, obj, owner, arg, words...);
}

// The class of the block malloc gives for `size` bytes: a chunk of a
// multiple of 16 bytes, 32 at least, 8 of them malloc's own.
inline uint32_t cache_class(uint32_t size) {
    const uint64_t chunk = std::max<uint64_t>(32, (uint64_t{size} + 8 + 15) & ~uint64_t{15});
    return static_cast<uint32_t>((chunk - 16) / 16);
}

// Under AddressSanitizer a waiting block is poisoned, so that a use after
// free is still caught.
inline void *cache_take(BlockCache &c, uint32_t size) {
    const uint32_t k = cache_class(size);
    if (k >= BlockCache::kClasses || c.first[k] == nullptr) return nullptr;
    void *block = c.first[k];
    Pool::unpoison(block, 16 * k + 8);
    std::memcpy(&c.first[k], block, sizeof(void *));
    --c.count[k];
    c.bytes -= 16 * k + 8;
    return block;
}

inline bool cache_keep([[maybe_unused]] BlockCache &c, [[maybe_unused]] void *block) {
#if !__has_include(<malloc.h>)
    return false;
#else
    const size_t usable = malloc_usable_size(block);
    if (usable < 24 || (usable - 8) % 16 != 0) return false;
    const size_t k = (usable - 8) / 16;
    if (k >= BlockCache::kClasses || c.count[k] == BlockCache::kPerClass ||
        c.bytes + usable > BlockCache::kMaxBytes)
        return false;
    std::memcpy(block, &c.first[k], sizeof(void *));
    c.first[k] = block;
    ++c.count[k];
    c.bytes += static_cast<uint32_t>(usable);
    Pool::poison(block, usable);
    return true;
#endif
}

// Where a block comes from and goes to, by mode.
template <AllocMode M> void *take(HandleState &s, uint32_t ctx, uint32_t size) {
    if constexpr (M == AllocMode::Pooled) {
        return s.pool->allocate(size);
    } else if constexpr (M == AllocMode::Caller) {
        return s.caller_alloc(s.caller_user, ctx, size);
    } else if constexpr (M == AllocMode::Counted) {
        void *block = cache_take(s.cache, size);
        return block != nullptr ? block : std::malloc(size == 0 ? 1 : size);
    } else {
        return std::malloc(size == 0 ? 1 : size);
    }
}

template <AllocMode M> void give_back(HandleState &s, uint32_t ctx, void *block) {
    if constexpr (M == AllocMode::Pooled)
        s.pool->free(block);
    else if constexpr (M == AllocMode::Caller)
        s.caller_free(s.caller_user, ctx, block);
    else if constexpr (M == AllocMode::Counted) {
        if (!cache_keep(s.cache, block)) std::free(block);
    } else
        std::free(block);
}

template <AllocMode M> void *cb_allocate(void *alloc_ctx, uint32_t ctx, uint32_t size) {
    HandleState &s = *from_ctx(alloc_ctx);
    ++s.alloc_calls;
    void *block = nullptr;
    if (s.alloc_calls != s.fail_alloc_at) [[likely]]
        block = take<M>(s, ctx, size);
    if (block != nullptr) [[likely]] {
        ++s.live_count;
        if constexpr (M == AllocMode::Tracked) {
            s.live.emplace(block, size);
            std::memset(block, kFreshByte, size); // what the caller does not set shows
        }
    }
    note(s, "allocate", ctx, block, nullptr, size);
    return block;
}

template <AllocMode M> void cb_free(void *alloc_ctx, uint32_t ctx, void *block) {
    HandleState &s = *from_ctx(alloc_ctx);
    uint32_t size = 0;
    if (block != nullptr) [[likely]] {
        if (s.live_count > 0) --s.live_count;
        if constexpr (M == AllocMode::Tracked) {
            auto it = s.live.find(block);
            if (it != s.live.end()) {
                size = it->second;
                s.live.erase(it);
            }
        }
        give_back<M>(s, ctx, block);
    }
    note(s, "free", ctx, block, nullptr, size);
}

void cb_write_notify(qel_handle_t *h, const void *addr, uint32_t len, uint32_t ctx,
                     const void *owner) {
    HandleState *s = detail::state_of(h);
    if (s != nullptr && s->record_writes)
        detail::bounded_push(s->writes, WriteNote{addr, len, ctx, owner}, s->record_limit,
                             s->dropped);
}

void cb_counter_notify(void *alloc_ctx, uint64_t *counter, uint32_t delta, uint32_t ctx) {
    HandleState &s = *from_ctx(alloc_ctx);
    if (s.record_counters)
        detail::bounded_push(s.counters, CounterNote{alloc_ctx, counter, delta, ctx},
                             s.record_limit, s.dropped);
}

qel_type_info_t *cb_registry_lookup(qel_handle_t *h, uint32_t ctx, const char *digest_str) {
    HandleState &s = state(h);
    qel_type_info_t *found = nullptr;
    if (digest_str != nullptr) {
        auto it = s.registry.find({ctx, digest_str});
        if (it != s.registry.end()) found = it->second;
    }
    note(s, "registry_lookup", ctx, found, nullptr, 0, reinterpret_cast<uintptr_t>(digest_str));
    return found;
}

int cb_registry_insert(qel_handle_t *h, uint32_t ctx, const char *digest_str,
                       qel_type_info_t *copy) {
    HandleState &s = state(h);
    if (digest_str != nullptr) s.registry[{ctx, digest_str}] = copy;
    note(s, "registry_insert", ctx, copy, nullptr, 0, reinterpret_cast<uintptr_t>(digest_str));
    return 0;
}

// Blocks of the module's long-lived records; the handle keeps them until it
// is deleted, as the module never returns them.
void *cb_module_alloc(qel_handle_t *h, uint32_t ctx, uint32_t size) {
    HandleState &s = state(h);
    ++s.module_alloc_calls;
    void *block = nullptr;
    if (s.module_alloc_calls != s.fail_module_alloc_at) {
        block = std::malloc(size == 0 ? 1 : size);
        if (block != nullptr) {
            std::memset(block, kFreshByte, size);
            s.module_blocks.push_back(block);
        }
    }
    note(s, "module_alloc", ctx, block, nullptr, static_cast<int64_t>(size));
    return block;
}

constexpr size_t kWorkspaceBytes = 64 * 1024;

// The write and counter notifications exist while someone observes them: a
// handle nobody observes has none, and the module skips the call.
void install_notifications(qel_handle_t *h, const HandleState &s) {
    h->write_notify = s.record_writes ? cb_write_notify : nullptr;
    h->counter_notify = s.record_counters ? cb_counter_notify : nullptr;
    detail::install_features(h, s);
}

void install_allocator(qel_handle_t *h, AllocMode mode) {
    switch (mode) {
    case AllocMode::Tracked:
        h->allocate = cb_allocate<AllocMode::Tracked>;
        h->free = cb_free<AllocMode::Tracked>;
        break;
    case AllocMode::Counted:
        h->allocate = cb_allocate<AllocMode::Counted>;
        h->free = cb_free<AllocMode::Counted>;
        break;
    case AllocMode::Pooled:
        h->allocate = cb_allocate<AllocMode::Pooled>;
        h->free = cb_free<AllocMode::Pooled>;
        break;
    case AllocMode::Caller:
        h->allocate = cb_allocate<AllocMode::Caller>;
        h->free = cb_free<AllocMode::Caller>;
        break;
    }
}

void drain_cache(BlockCache &c) {
    for (uint32_t k = 0; k < BlockCache::kClasses; ++k) {
        while (c.first[k] != nullptr) {
            void *block = c.first[k];
            Pool::unpoison(block, 16 * k + 8);
            std::memcpy(&c.first[k], block, sizeof(void *));
            std::free(block);
        }
        c.count[k] = 0;
    }
    c.bytes = 0;
}

bool from_malloc(AllocMode m) { return m == AllocMode::Tracked || m == AllocMode::Counted; }

} // namespace

// A handle that records nothing lets the library do the plain work itself,
// range announcements left out, answer its own domain lookups while the
// domain names no type and refuses nothing, and take list elements in runs
// from the stand-in's own allocators; one that records calls sees every one.
namespace {
uint32_t quiet_features(const HandleState &s) {
    uint32_t f = QEL_FEATURES_ALL;
    if (!detail::domain_names_nothing(s)) f &= ~QEL_FEATURE_HIGHEST_VARIANTS;
    // The caller's allocator may watch its blocks one by one.
    if (s.alloc_mode == AllocMode::Caller) f &= ~QEL_FEATURE_INSTANCE_RUNS;
    return f;
}
} // namespace

void detail::install_features(qel_handle_t *h, const HandleState &s) {
    h->features = s.record_calls ? 0u : quiet_features(s);
}

qel_handle_t *detail::make_handle() {
    auto *s = new (std::nothrow) HandleState;
    auto *h = new (std::nothrow) qel_handle_t{};
    if (s == nullptr || h == nullptr) {
        delete s;
        delete h;
        return nullptr;
    }
    try {
        s->workspace.assign(kWorkspaceBytes, 0);
    } catch (const std::bad_alloc &) {
        delete s;
        delete h;
        return nullptr;
    }
    install_allocator(h, s->alloc_mode);
    h->alloc_ctx = s;
    install_notifications(h, *s);
    h->registry_lookup = cb_registry_lookup;
    h->registry_insert = cb_registry_insert;
    h->module_alloc = cb_module_alloc;
    h->variant_domain = s;
    h->workspace = s->workspace.data();
    h->workspace_len = static_cast<uint32_t>(s->workspace.size());
    h->runtime = s;
    return h;
}

uint32_t detail::change_allocator(qel_handle_t *h, AllocMode mode, uint32_t pool_chunk,
                                  drov_def_alloc_fn alloc, drov_def_free_fn free_fn,
                                  void *user) {
    HandleState &s = state(h);
    if (mode == AllocMode::Caller && (alloc == nullptr || free_fn == nullptr)) return QEL_EINVAL;
    const bool same_source = from_malloc(mode) && from_malloc(s.alloc_mode);
    if (s.live_count != 0 && !same_source) return 16; // the blocks would go to the wrong place
    Pool *pool = nullptr;
    if (mode == AllocMode::Pooled) {
        pool = new (std::nothrow) Pool(pool_chunk);
        if (pool == nullptr) return QEL_ENOMEM;
    }
    delete s.pool;
    s.pool = pool;
    drain_cache(s.cache);
    s.caller_alloc = mode == AllocMode::Caller ? alloc : nullptr;
    s.caller_free = mode == AllocMode::Caller ? free_fn : nullptr;
    s.caller_user = mode == AllocMode::Caller ? user : nullptr;
    s.alloc_mode = mode;
    install_allocator(h, mode);
    install_features(h, s);
    return 0;
}

void detail::reset_pool(HandleState &s) {
    s.pool->reset();
    s.live_count = 0;
}

qel_handle_t *handle_new() {
    qel_handle_t *h = detail::make_handle();
    if (h == nullptr) throw std::bad_alloc();
    return h;
}

// Blocks still live belong to the caller (they are its leaks) and stay,
// except in a pool, which goes with the handle.
void handle_delete(qel_handle_t *h) {
    if (h == nullptr) return;
    auto *s = static_cast<HandleState *>(h->runtime);
    if (s != nullptr) {
        for (void *block : s->module_blocks) std::free(block);
        drain_cache(s->cache);
        delete s->pool;
        delete s;
    }
    delete h;
}

HandleState &state(qel_handle_t *h) { return *static_cast<HandleState *>(h->runtime); }

void observe(qel_handle_t *h) {
    set_recording(h, true);
    set_alloc_mode(h, AllocMode::Tracked);
    set_global_recording(true);
}

void set_tracking(qel_handle_t *h, Tracking t) {
    HandleState &s = state(h);
    switch (t) {
    case Tracking::Absent:
        h->sttr = nullptr;
        return;
    case Tracking::On:
        s.sttr.marker = QEL_STTR_ON;
        break;
    case Tracking::Off:
        s.sttr.marker = QEL_STTR_OFF;
        break;
    }
    h->sttr = &s.sttr;
}

void set_marker(qel_handle_t *h, uint32_t marker) {
    HandleState &s = state(h);
    s.sttr.marker = marker;
    h->sttr = &s.sttr;
}

void set_domain_variant(qel_handle_t *h, const std::string &type_name, int8_t v) {
    state(h).domain.set(type_name, v);
    detail::install_features(h, state(h));
}

uint32_t quiet_features(qel_handle_t *h) { return quiet_features(state(h)); }

void set_domain_error(qel_handle_t *h, uint32_t code) {
    state(h).domain_error = code;
    detail::install_features(h, state(h));
}

void set_recording(qel_handle_t *h, bool on) {
    HandleState &s = state(h);
    s.record_writes = s.record_counters = s.record_calls = on;
    install_notifications(h, s);
}

uint32_t set_alloc_mode(qel_handle_t *h, AllocMode mode, uint32_t pool_chunk) {
    HandleState &s = state(h);
    return detail::change_allocator(h, mode, pool_chunk, s.caller_alloc, s.caller_free,
                                    s.caller_user);
}

size_t count_calls(qel_handle_t *h, std::string_view name) {
    size_t n = 0;
    for (const Call &c : state(h).calls)
        if (c.name == name) ++n;
    return n;
}

std::vector<Call> calls_named(qel_handle_t *h, std::string_view name) {
    std::vector<Call> out;
    for (const Call &c : state(h).calls)
        if (c.name == name) out.push_back(c);
    return out;
}

void detail::append_call(HandleState *s, const Call &c) {
    bounded_push(s->calls, c, s->record_limit, s->dropped);
}

void record_call(qel_handle_t *h, const Call &c) {
    HandleState *s = detail::state_of(h);
    if (s != nullptr && s->record_calls) detail::append_call(s, c);
}

} // namespace qel_standin
