// Handles of the stand-in runtime: malloc-backed callbacks that keep count of
// what the module allocates, announces and registers.
#include <cstdlib>
#include <cstring>

#include "detail.h"

namespace qel_standin {
namespace {

// New blocks are filled with this byte (except in AllocMode::Counted), so
// that a caller relying on zeroed memory is caught.
constexpr unsigned char kFreshByte = 0xA5;

HandleState *from_ctx(void *alloc_ctx) { return static_cast<HandleState *>(alloc_ctx); }

// The call is built only when it is kept.
template <class Make> void note(HandleState &s, Make &&make) {
    if (s.record_calls) [[unlikely]]
        detail::append_call(&s, make());
}

void *cb_allocate(void *alloc_ctx, uint32_t ctx, uint32_t size) {
    HandleState &s = *from_ctx(alloc_ctx);
    ++s.alloc_calls;
    void *block = nullptr;
    if (s.alloc_calls != s.fail_alloc_at) block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
        ++s.live_count;
        if (s.alloc_mode == AllocMode::Tracked) {
            s.live.emplace(block, size);
            std::memset(block, kFreshByte, size); // what the caller does not set shows
        }
    }
    note(s, [&] { return Call{"allocate", ctx, block, nullptr, size}; });
    return block;
}

void cb_free(void *alloc_ctx, uint32_t ctx, void *block) {
    HandleState &s = *from_ctx(alloc_ctx);
    uint32_t size = 0;
    if (block != nullptr) {
        if (s.live_count > 0) --s.live_count;
        if (s.alloc_mode == AllocMode::Tracked) {
            auto it = s.live.find(block);
            if (it != s.live.end()) {
                size = it->second;
                s.live.erase(it);
            }
        }
    }
    note(s, [&] { return Call{"free", ctx, block, nullptr, size}; });
    std::free(block);
}

void cb_write_notify(qel_handle_t *h, const void *addr, uint32_t len, uint32_t ctx,
                     const void *owner) {
    HandleState &s = state(h);
    if (s.record_writes) s.writes.push_back(WriteNote{addr, len, ctx, owner});
}

void cb_counter_notify(void *alloc_ctx, uint64_t *counter, uint32_t delta, uint32_t ctx) {
    HandleState &s = *from_ctx(alloc_ctx);
    if (s.record_counters) s.counters.push_back(CounterNote{alloc_ctx, counter, delta, ctx});
}

qel_type_info_t *cb_registry_lookup(qel_handle_t *h, uint32_t ctx, const char *digest_str) {
    HandleState &s = state(h);
    qel_type_info_t *found = nullptr;
    if (digest_str != nullptr) {
        auto it = s.registry.find({ctx, digest_str});
        if (it != s.registry.end()) found = it->second;
    }
    note(s, [&] {
        return Call{"registry_lookup", ctx, found, nullptr, 0, {reinterpret_cast<uintptr_t>(digest_str)}};
    });
    return found;
}

int cb_registry_insert(qel_handle_t *h, uint32_t ctx, const char *digest_str,
                       qel_type_info_t *copy) {
    HandleState &s = state(h);
    if (digest_str != nullptr) s.registry[{ctx, digest_str}] = copy;
    note(s, [&] {
        return Call{"registry_insert", ctx, copy, nullptr, 0, {reinterpret_cast<uintptr_t>(digest_str)}};
    });
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
    note(s, [&] { return Call{"module_alloc", ctx, block, nullptr, static_cast<int64_t>(size)}; });
    return block;
}

constexpr size_t kWorkspaceBytes = 64 * 1024;

} // namespace

qel_handle_t *handle_new() {
    auto *s = new HandleState;
    s->workspace.assign(kWorkspaceBytes, 0);
    auto *h = new qel_handle_t{};
    h->allocate = cb_allocate;
    h->free = cb_free;
    h->alloc_ctx = s;
    h->write_notify = cb_write_notify;
    h->counter_notify = cb_counter_notify;
    h->registry_lookup = cb_registry_lookup;
    h->registry_insert = cb_registry_insert;
    h->module_alloc = cb_module_alloc;
    h->variant_domain = s;
    h->workspace = s->workspace.data();
    h->workspace_len = static_cast<uint32_t>(s->workspace.size()); // no sttr: not tracking
    h->runtime = s;
    return h;
}

// Blocks still live belong to the caller (they are its leaks) and stay.
void handle_delete(qel_handle_t *h) {
    if (h == nullptr) return;
    auto *s = static_cast<HandleState *>(h->runtime);
    if (s != nullptr) {
        for (void *block : s->module_blocks) std::free(block);
        delete s;
    }
    delete h;
}

HandleState &state(qel_handle_t *h) { return *static_cast<HandleState *>(h->runtime); }

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
    state(h).domain[type_name] = v;
}

void set_recording(qel_handle_t *h, bool on) {
    HandleState &s = state(h);
    s.record_writes = s.record_counters = s.record_calls = on;
}

void set_alloc_mode(qel_handle_t *h, AllocMode mode) { state(h).alloc_mode = mode; }

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

void detail::append_call(HandleState *s, const Call &c) { s->calls.push_back(c); }

void record_call(qel_handle_t *h, const Call &c) {
    detail::note(h, [&] { return c; });
}

} // namespace qel_standin
