// What the structure tests share beyond the schema walk: calling an exported
// function by name with its C signature, the trace catalogue of the built
// library, and a watch over instance memory that tells whether every byte an
// operation changed was announced before it changed.
#pragma once

#include <dlfcn.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "catalogue.h"
#include "elf_file.h"
#include "qel_standin.h"
#include "schema_walk.h"
#include "support.h"

namespace test::structs {

namespace walk = test::walk;
using walk::FieldDesc;
using walk::FieldKind;
using walk::kTypes;
using H = qel_handle_t *;
using Err = uint32_t;

// Calls `<name>` with signature R(A...).
template <class R, class... A> R call(const std::string &name, A... a) {
    return walk::fn<R (*)(A...)>(name)(a...);
}

// Checks the error word and clears it for the next step.
#define EXPECT_ERR(e)                                                                      \
    do {                                                                                   \
        EXPECT_EQ(err, e);                                                                 \
        err = 0;                                                                           \
    } while (0)

// The C argument width of a value field: u8 and u16 take theirs, the rest a word.
inline unsigned arg_width(const FieldDesc &f) {
    return f.kind == FieldKind::U8 ? 1 : f.kind == FieldKind::U16 ? 2 : 4;
}
// Calls fn with v as an integer of w bytes.
template <class Fn> void narrowed(unsigned w, uint32_t v, Fn fn) {
    if (w == 1) fn(static_cast<uint8_t>(v));
    else if (w == 2) fn(static_cast<uint16_t>(v));
    else fn(v);
}
// A getter returning an integer of w bytes: R(h, 1, inst, more..., err).
template <class... A> uint32_t get_narrow(unsigned w, const std::string &name, H h, const void *inst, A... a) {
    if (w == 1) return call<uint8_t>(name, h, 1u, inst, a...);
    if (w == 2) return call<uint16_t>(name, h, 1u, inst, a...);
    return call<uint32_t>(name, h, 1u, inst, a...);
}

// A test-name suffix for a tracking mode.
inline std::string tracking_name(qel_standin::Tracking t) {
    return t == qel_standin::Tracking::On ? "On" : t == qel_standin::Tracking::Off ? "Off" : "NoRecord";
}

// The library file the test program runs with.
inline std::string library_path() {
    Dl_info info{};
    dladdr(walk::fn<void *>("vm_id_create"), &info);
    return info.dli_fname;
}

// The catalogue's texts by index, without the leading space.
inline const std::vector<std::string> &catalogue() {
    static const std::vector<std::string> texts = [] {
        drovdef::ElfFile elf(drovdef::read_file(library_path()));
        std::vector<std::string> out;
        drovdef::load_catalogue(elf).for_each([&](std::size_t, std::uint32_t, std::string_view t) {
            out.emplace_back(!t.empty() && t[0] == ' ' ? t.substr(1) : t);
        });
        return out;
    }();
    return texts;
}

// The texts of the traces recorded since the last reset, in order.
inline std::vector<std::string> trace_texts() {
    std::vector<std::string> out;
    for (const auto &t : qel_standin::traces())
        out.push_back(t.index < catalogue().size() ? catalogue()[t.index] : "?");
    return out;
}
inline std::string last_trace() {
    auto t = trace_texts();
    return t.empty() ? "" : t.back();
}

// A handle test whose instances made through make() are destroyed, last
// made first, before the leak check.
class Owning : public test::HandleTest {
protected:
    template <class T> T *make(T *(*create)(H, uint32_t), void (*destroy)(H, uint32_t, T *)) {
        T *p = create(h, 1);
        made_.push_back([this, p, destroy] { destroy(h, 1, p); });
        return p;
    }
    void TearDown() override {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) (*it)();
        test::HandleTest::TearDown();
    }

private:
    std::vector<std::function<void()>> made_;
};

// ---- Announcements ----------------------------------------------------------------
//
// Watches byte ranges of instance memory across one operation.  Every write
// notification is recorded with the bytes it covered at that moment, so a
// changed byte passes only when a notification covered it while it still
// held its old value (announced before it changed), or when a memory-range
// announcement of the operation covered it (list links).
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
    // The changed bytes no announcement covered, as "offset" texts relative
    // to `base`.
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
        w->original_(h, addr, len, ctx, owner);
    }
    H h_;
    qel_write_notify_fn original_;
    std::map<const uint8_t *, uint8_t> before_;
    std::vector<Note> notes_;
    size_t ranges_from_ = 0;
};

} // namespace test::structs
