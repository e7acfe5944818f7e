// A watch over instance memory across one operation, for the structure
// tests and the fuzz harnesses.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "qel_standin.h"

namespace test::structs {

using H = qel_handle_t *;

// ---- Announcements ----------------------------------------------------------------
//
// Watches byte ranges of instance memory across one operation.  Every write notification is
// recorded with the bytes it covered at that moment, so a changed byte passes only when a
// notification covered it while it still held its old value (announced before it changed), or when
// a memory-range announcement of the operation covered it (list links).
class Watch {
public:
    explicit Watch(H h) : h_(h) {
        original_ = h->write_notify;
        h->write_notify = &Watch::notify;
        current() = this;
    }
    ~Watch() {
        h_->write_notify = original_;
        current() = nullptr;
    }
    // Adds [p, p + n) to the watched memory.
    void add(const void *p, size_t n) {
        auto *b = static_cast<const uint8_t *>(p);
        for (size_t i = 0; i < n; ++i) before_[b + i] = b[i];
    }
    // Stops watching [p, p + n) (memory about to be freed).
    void forget(const void *p, size_t n) {
        auto *b = static_cast<const uint8_t *>(p);
        for (size_t i = 0; i < n; ++i) before_.erase(b + i);
    }
    void clear() { before_.clear(); }
    void start() {
        notes_.clear();
        ranges_from_ = qel_standin::ranges().size();
        for (auto &[addr, v] : before_) v = *addr;
    }
    // The changed bytes no announcement covered, as "offset" texts relative to `base`.
    std::vector<long> unannounced(const void *base) const {
        std::vector<long> out;
        const auto &ranges = qel_standin::ranges();
        for (const auto &[addr, old] : before_) {
            if (*addr == old) continue;
            bool ok = false;
            for (const auto &n : notes_)
                if (addr >= n.addr && addr < n.addr + n.bytes.size() &&
                    n.bytes[static_cast<size_t>(addr - n.addr)] == old)
                    ok = true;
            for (size_t i = ranges_from_; i < ranges.size() && !ok; ++i) {
                auto *r = static_cast<const uint8_t *>(ranges[i].addr);
                ok = addr >= r && addr < r + ranges[i].len;
            }
            if (!ok) out.push_back(addr - static_cast<const uint8_t *>(base));
        }
        return out;
    }
    struct Note {
        const uint8_t *addr;
        std::vector<uint8_t> bytes;
        const void *owner;
    };
    // The note that starts at p, or null.
    const Note *note_at(const void *p) const {
        for (const auto &n : notes_)
            if (n.addr == p) return &n;
        return nullptr;
    }

private:
    static Watch *&current() {
        static Watch *w = nullptr;
        return w;
    }
    static void notify(H h, const void *addr, uint32_t len, uint32_t ctx, const void *owner) {
        Watch *w = current();
        auto *a = static_cast<const uint8_t *>(addr);
        w->notes_.push_back(Note{a, std::vector<uint8_t>(a, a + len), owner});
        if (w->original_ != nullptr) w->original_(h, addr, len, ctx, owner);
    }
    H h_;
    qel_write_notify_fn original_;
    std::map<const uint8_t *, uint8_t> before_;
    std::vector<Note> notes_;
    size_t ranges_from_ = 0;
};

} // namespace test::structs
