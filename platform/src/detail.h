// What the stand-in's sources share: the helpers' error contract, the call
// records, bounded writing into the caller's buffer, text escapes and XML
// element reading.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "qel_standin.h"

namespace qel_standin::detail {

// A new handle as drov_def_runtime_new makes it; null when memory is short.
qel_handle_t *make_handle();
// The features word for what the handle records and its domain; again after
// either changes.
void install_features(qel_handle_t *h, const HandleState &s);
// Whether every domain lookup answers the record's highest variant and
// stores no error: the domain names no type and injects nothing.
inline bool domain_names_nothing(const HandleState &s) {
    return s.domain.empty() && s.domain_error == 0;
}
// Switches the handle's allocator: 0, 16 while blocks are live that the new
// one could not take back, 22 for Caller without both callbacks, 12.
uint32_t change_allocator(qel_handle_t *h, AllocMode mode, uint32_t pool_chunk,
                          drov_def_alloc_fn alloc, drov_def_free_fn free_fn, void *user);
// Takes back every block of the handle's pool at once.
void reset_pool(HandleState &s);

// Appends to a record bounded by `limit`: at the limit its older half goes
// (and is counted), so the newest entries are always there.
template <class T> void bounded_push(std::vector<T> &v, T &&x, size_t limit, uint64_t &dropped) {
    if (v.size() >= limit) [[unlikely]] {
        const size_t k = v.size() > 1 ? v.size() / 2 : v.size();
        v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k));
        dropped += k;
    }
    v.push_back(std::move(x));
}
template <class T>
void bounded_push(std::vector<T> &v, const T &x, size_t limit, uint64_t &dropped) {
    bounded_push(v, T(x), limit, dropped);
}

inline HandleState *state_of(qel_handle_t *h) {
    return h != nullptr ? static_cast<HandleState *>(h->runtime) : nullptr;
}

// The contract of every helper that takes an error word, the library's own:
// nothing is done while an error is pending; otherwise the handle's last
// error is cleared before the work.  The clearing is the helper's own and
// is not recorded as a qel_clear_last_error call of the module.
[[gnu::always_inline]] inline bool begin(qel_handle_t *h, const uint32_t *err) {
    if (err != nullptr && *err != 0) return false;
    if (HandleState *s = state_of(h)) {
        s->last_error = 0;
        s->placed = false;
    }
    return true;
}

// A helper's failure: the code goes to the caller's word and the handle's
// last error (not recorded as a qel_store_err call of the module).
inline void fail(qel_handle_t *h, uint32_t *err, uint32_t code) {
    if (err != nullptr) *err = code;
    if (HandleState *s = state_of(h)) s->last_error = code;
}

// ---- Call records ----------------------------------------------------------------
//
// Most runtime calls leave a Call; with recording off that must cost no
// more than a test of the switch, so the switch is tested here, inline, and
// the record is built out of line from the call's scalars (the fast path
// stores nothing for it).  `name` is always a string literal.

// Appends a call to the handle's record.
void append_call(HandleState *s, const Call &c);
template <class... W>
[[gnu::cold, gnu::noinline]] void append_scalars(HandleState *s, const char *name, uint32_t ctx,
                                                 const void *obj, const void *owner, int64_t arg,
                                                 W... words) {
    append_call(s, Call{name, ctx, obj, owner, arg, {static_cast<uintptr_t>(words)...}});
}
template <class... W>
[[gnu::always_inline]] inline void note(HandleState *s, const char *name, uint32_t ctx,
                                        const void *obj, const void *owner, int64_t arg,
                                        W... words) {
    if (s != nullptr && s->record_calls) [[unlikely]]
        append_scalars(s, name, ctx, obj, owner, arg, words...);
}
// Whether the handle records its calls.
inline bool records(qel_handle_t *h) {
    const HandleState *s = state_of(h);
    return s != nullptr && s->record_calls;
}
template <class... W>
[[gnu::always_inline]] inline void note(qel_handle_t *h, const char *name, uint32_t ctx,
                                        const void *obj, const void *owner, int64_t arg,
                                        W... words) {
    note(state_of(h), name, ctx, obj, owner, arg, words...);
}

// The process-wide recording switch (set_global_recording), off at the start.
[[gnu::visibility("hidden")]] extern std::atomic<bool> global_recording;
// Appends a call of an operation without a handle to the process-wide
// record; the caller has seen the switch on.
void append_global(const Call &c);
template <class... W>
[[gnu::cold, gnu::noinline]] void append_global_scalars(const char *name, uint32_t ctx,
                                                        const void *obj, const void *owner,
                                                        int64_t arg, W... words) {
    append_global(Call{name, ctx, obj, owner, arg, {static_cast<uintptr_t>(words)...}});
}
template <class... W>
[[gnu::always_inline]] inline void note_global(const char *name, uint32_t ctx, const void *obj,
                                               const void *owner, int64_t arg, W... words) {
    if (global_recording.load(std::memory_order_relaxed)) [[unlikely]]
        append_global_scalars(name, ctx, obj, owner, arg, words...);
}
// Appends a call without a handle to the process-wide record (nothing with
// recording off).
inline void record_global(const Call &c) {
    if (global_recording.load(std::memory_order_relaxed)) append_global(c);
}

// ---- Bounded writing --------------------------------------------------------------
//
// Every writer puts at most len-1 characters and a NUL into the caller's
// buffer; what does not fit is cut and reported as 28.  Out writes straight
// into the buffer: each piece is copied as far as it fits, and once a piece
// was cut nothing more is written (the writers stop producing then).  A
// missing buffer or a length below 1 takes nothing, and anything offered to
// it counts as cut.
class Out {
public:
    Out(char *buf, int32_t len)
        : begin_(buf != nullptr && len >= 1 ? buf : nullptr), p_(begin_),
          room_(begin_ != nullptr ? static_cast<size_t>(len) - 1 : 0) {}

    void add(const char *s, size_t n) {
        if (n <= room_) {
            if (n != 0) std::memcpy(p_, s, n);
            p_ += n;
            room_ -= n;
        } else {
            if (room_ != 0) std::memcpy(p_, s, room_);
            p_ += room_;
            room_ = 0;
            cut_ = true;
        }
    }
    void add(const char *s) { add(s, s != nullptr ? std::strlen(s) : 0); }
    void add(char c) {
        if (room_ != 0) {
            *p_++ = c;
            --room_;
        } else {
            cut_ = true;
        }
    }
    void fill(char c, size_t n) {
        size_t k = n <= room_ ? n : room_;
        if (k != 0) std::memset(p_, c, k);
        p_ += k;
        room_ -= k;
        if (k < n) cut_ = true;
    }
    void add_unsigned(uint64_t v);
    void add_signed(int64_t v);
    // `"`-quoted (or `'`-quoted) C-style text of n bytes: \" \\ \n \t \r,
    // other bytes below 0x20 or from 0x7f on as \xHH.
    void add_c_quoted(const char *s, size_t n, char quote);
    // XML character data of n bytes: & < > " ' as entities, CR as &#xD;
    // (which a parser would otherwise turn into LF), bytes XML 1.0 cannot
    // carry (NUL, other control characters, byte sequences that are not
    // UTF-8) as &#xFFFD;.
    void add_xml_text(const char *s, size_t n);
    // The opening tag: <tag>, or <tag state="N"> for a non-zero state flag.
    void add_open_tag(const char *tag, int64_t flag);
    void add_close_tag(const char *tag);

    bool cut() const { return cut_; }
    // Ends the text with its NUL; a cut stores 28.  The characters written.
    int32_t finish(qel_handle_t *h, uint32_t *err) {
        if (p_ != nullptr) *p_ = '\0';
        if (cut_) fail(h, err, QEL_ENOSPC);
        return static_cast<int32_t>(p_ - begin_);
    }

private:
    char *begin_;
    char *p_;
    size_t room_;
    bool cut_ = false;
};

int32_t put_format(qel_handle_t *h, char *buf, int32_t len, uint32_t *err, const char *fmt,
                   va_list ap);

// ---- XML element reading -------------------------------------------------------

// The text of an element: a view of the document's own characters when the
// element holds one text node (or none), else a copy the object frees.
class ElementText {
public:
    ElementText() = default;
    ElementText(const ElementText &) = delete;
    ElementText &operator=(const ElementText &) = delete;
    ~ElementText();
    const char *data() const { return p_; }
    size_t size() const { return n_; }

private:
    friend void node_text(const void *node, ElementText *out);
    const char *p_ = "";
    size_t n_ = 0;
    void *owned_ = nullptr;
};

// The text of the first element the XPath expression selects: 0, 2 when
// there is none, 22 for an unusable document or expression.
int32_t element_text(void *doc, const char *path, ElementText *out);
// The same of an element xml_element_find or xml_element_next gave: 0, or
// 2 for none (null).
int32_t element_text(const void *elem, ElementText *out);

// The document drov_def_runtime_xml_read hands out for a parsed xmlDoc: the
// runtime's own object, which keeps what lookups found; null when memory is
// short (the xmlDoc is then still the caller's).
void *adopt_document(void *xml_doc);
// Frees a document adopt_document made, or else an xmlDoc as it is.
void release_document(void *doc);

// Where an element of a document the runtime parsed starts: its line and
// column packed into the word libxml2 leaves to applications in each node
// (_private), half of it each; 0 for none (a value that does not fit).
inline constexpr unsigned kPositionBits = sizeof(uintptr_t) * 4;
inline uintptr_t pack_position(uint64_t line, uint64_t column) {
    if (line == 0 || column == 0 || (line >> kPositionBits) != 0 || (column >> kPositionBits) != 0)
        return 0;
    return static_cast<uintptr_t>(line << kPositionBits | column);
}
// "Failed xpath: <path>" into the caller's message buffer, bounded by its size.
void xpath_message(char *msg, uint32_t msg_size, const char *path);

} // namespace qel_standin::detail
