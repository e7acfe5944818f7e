/*
 * The part of the C++ layer that is the same for every type: errors, the
 * handle, and the class templates behind the generated classes.  Include
 * drov_def/drov_def.hpp, which includes this.
 *
 * Everything here is inline over the C functions of drov_def.h and
 * runtime.h: a member clears an error word of its own, makes the C call and
 * turns a non-zero word into an exception or an error code; the behaviour is
 * the C operations'.
 *
 * Lifetimes: a drov::Handle outlives every instance made through it.  An
 * owner (drov::VmActRsp) destroys its instance when it goes; a view
 * (VmActRsp::Ref, ::CRef, a nested record's, a list element's) is valid
 * while the instance it shows lives (a list element goes with its list's
 * owner, or by erase); the std::string_view a string or text getter gives,
 * until that field changes.  A handle and everything made through it are
 * used by one thread at a time.
 */
#ifndef DROV_DEF_SUPPORT_HPP
#define DROV_DEF_SUPPORT_HPP

// One error and nothing after it for a compiler in an older standard.
#if !defined(__cplusplus) || __cplusplus < 202002L
#error "drov_def.hpp needs C++20: compile with -std=c++20"
#else

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "drov_def/drov_def.h"
#include "drov_def/runtime.h"

namespace drov {

// ---- Errors -----------------------------------------------------------------------

/// The library's error numbers (Linux errno values, so that an error_code of
/// the drov_def category also compares equal to the std::errc of its number).
enum class errc : int {
    absent = DROV_DEF_ENOENT,             ///< no such element, instance or list position
    out_of_memory = DROV_DEF_ENOMEM,      ///< the handle's allocator gave no block
    busy = 16,                            ///< a handle setter while blocks are live
    invalid_argument = DROV_DEF_EINVAL,   ///< null, length, index or flag out of range
    no_space = DROV_DEF_ENOSPC,           ///< output cut to fit
    variant = DROV_DEF_EIDRM,             ///< field or variant beyond the instance's or domain's
    message_size = DROV_DEF_EMSGSIZE,     ///< buffer too short, or a message cut short
};

namespace detail {
class ErrorCategory final : public std::error_category {
public:
    const char *name() const noexcept override { return "drov_def"; }
    std::string message(int code) const override {
        return drov_def_strerror(static_cast<uint32_t>(code));
    }
    std::error_condition default_error_condition(int code) const noexcept override {
        return {code, std::generic_category()};
    }
};
} // namespace detail

/// The category of every error the layer reports; messages are the library's
/// own texts (drov_def_strerror).
inline const std::error_category &error_category() noexcept {
    static const detail::ErrorCategory category;
    return category;
}
inline std::error_code make_error_code(errc e) noexcept {
    return {static_cast<int>(e), error_category()};
}

/// Where a failure happened, when the operation can tell: the byte of an
/// encoding or the line and column of XML text, the field's path
/// ("vm_if_rsp.vm_if_info[3].mtu", list positions from 0; empty for the
/// message itself) and the reason in words.  The decodings and XML readings
/// of this layer tell; an accessor's refusal has no place beyond its field.
struct Place {
    std::string operation; ///< "verify", "read_xml", "xml_parse", "decode"
    std::string type;      ///< "vm_act_rsp"
    std::string path;
    std::string reason;
    int64_t offset = -1;   ///< in an encoding, from its first byte; -1: none
    uint32_t line = 0;     ///< in XML text, from 1; 0: none
    uint32_t column = 0;
    explicit operator bool() const noexcept { return offset >= 0 || line != 0 || !reason.empty(); }
    /// "offset 39, vm_if_rsp: object flags 0x2b carry unknown bits 0x03",
    /// "line 3, column 5, rc: VM_RSP_RC_FAILED is no value of vm_rsp_rc".
    std::string text() const {
        std::string t;
        if (offset >= 0) t = "offset " + std::to_string(offset);
        else if (line != 0) t = "line " + std::to_string(line) + ", column " + std::to_string(column);
        if (!path.empty()) t.append(t.empty() ? "" : ", ").append(path);
        if (!reason.empty()) t.append(t.empty() ? "" : ": ").append(reason);
        return t;
    }
};

/// The place the handle recorded for its last failure, if that failure is
/// `code` and was placed (drov_def_runtime_last_failure).
inline Place last_place(const qel_handle_t *h, uint32_t code) {
    const drov_def_failure_t *f = h != nullptr ? drov_def_runtime_last_failure(h) : nullptr;
    Place p;
    if (f == nullptr || f->code != code || code == 0) return p;
    p.operation = f->operation, p.type = f->type, p.path = f->path, p.reason = f->reason;
    p.offset = f->offset, p.line = f->line, p.column = f->column;
    return p;
}

/// What a throwing member throws: the error code, and what() naming the
/// operation and the type and field, "set vm_act_rsp.owner: <message>", or,
/// where the failure has a place, the operation, the type and the place:
/// "decode vm_act_rsp: offset 39, vm_if_rsp: object flags 0x2b carry unknown
/// bits 0x03".
class error : public std::system_error {
public:
    error(std::error_code ec, const char *operation, const char *subject, std::string_view detail,
          Place place = {})
        : std::system_error(ec), operation_(operation), subject_(subject), place_(std::move(place)) {
        what_.append(operation).append(" ").append(subject).append(": ");
        if (place_) {
            what_.append(place_.text());
        } else {
            what_.append(ec.message());
            if (!detail.empty()) what_.append(" (").append(detail).append(")");
        }
    }
    const char *what() const noexcept override { return what_.c_str(); }
    /// "set", "get", "encode", "push_back", ...
    const char *operation() const noexcept { return operation_; }
    /// "vm_act_rsp.owner" for a field, "vm_act_rsp" for the whole instance.
    const char *subject() const noexcept { return subject_; }
    /// Where it happened, when the operation could tell (empty otherwise).
    const Place &place() const noexcept { return place_; }

private:
    const char *operation_;
    const char *subject_;
    Place place_;
    std::string what_;
};

/// Asks a decoding or an XML reading for what the library's own operations
/// accept, without this layer's checks: VmActRsp::decode(h, bytes, drov::lenient).
struct lenient_t {
    explicit lenient_t() = default;
};
inline constexpr lenient_t lenient{};
/// Asks a decoding for the message at the front of the bytes, whatever
/// follows it (the count of its bytes is returned): m.update_from(bytes, drov::prefix).
struct prefix_t {
    explicit prefix_t() = default;
};
inline constexpr prefix_t prefix{};

/// The last parameter of every member that can fail.  Left out, a failure
/// throws drov::error.  Given an std::error_code, a failure stores its code
/// there instead and the member returns an empty value (0, an empty view or
/// an empty owner); and a member given a code that already holds an error
/// does nothing, like the C error word, so a sequence of calls needs one
/// check at its end.  Success leaves the code as it was.
class ErrorSink {
public:
    constexpr ErrorSink() noexcept = default;
    constexpr ErrorSink(std::error_code &ec) noexcept : ec_(&ec) {}
    constexpr bool pending() const noexcept { return ec_ != nullptr && static_cast<bool>(*ec_); }
    constexpr std::error_code *code() const noexcept { return ec_; }

private:
    std::error_code *ec_ = nullptr;
};

// ---- The handle -----------------------------------------------------------------

/// A handle and a context id: what every C call takes first.  Instances keep
/// the one they were made with.  The id goes to the runtime's allocator and
/// bookkeeping unchanged; DROV_DEF_CTX_NONE asks for no containment records.
struct Context {
    qel_handle_t *handle = nullptr;
    uint32_t id = DROV_DEF_CTX_NONE;
};

namespace detail {
struct Where {
    const char *operation;
    const char *subject;
};

[[gnu::cold, gnu::noinline]] inline void fail(uint32_t code, Where w, ErrorSink e,
                                              std::string_view detail = {}, Place place = {}) {
    const std::error_code ec(static_cast<int>(code), error_category());
    if (e.code() != nullptr) {
        *e.code() = ec;
        return;
    }
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
    throw error(ec, w.operation, w.subject, detail, std::move(place));
#else
    (void)w;
    (void)detail;
    (void)place;
    std::abort();
#endif
}
/// A failure whose place the handle recorded (the checks at the edges).
[[gnu::cold, gnu::noinline]] inline void fail_placed(const qel_handle_t *h, uint32_t code, Where w,
                                                     ErrorSink e) {
    fail(code, w, e, {}, e.code() != nullptr ? Place() : last_place(h, code));
}
/// A refusal of this layer's own: recorded in the handle with its place, as
/// the library's checks record theirs, then reported.
[[gnu::cold, gnu::noinline]] inline void refuse(qel_handle_t *h, uint32_t code, Where w, ErrorSink e,
                                                int64_t offset, const std::string &reason) {
    const drov_def_failure_t f{code, w.operation, w.subject, "", offset, 0, 0, reason.c_str()};
    drov_def_runtime_set_failure(h, &f);
    fail_placed(h, code, w, e);
}

/// A C call with the error word last: f(args..., &err).
template <class F, class... A> inline auto checked(Where w, ErrorSink e, F f, A... a) {
    using R = decltype(f(a..., static_cast<uint32_t *>(nullptr)));
    uint32_t err = 0;
    if constexpr (std::is_void_v<R>) {
        if (e.pending()) return;
        f(a..., &err);
        if (err != 0) [[unlikely]]
            fail(err, w, e);
    } else {
        if (e.pending()) return R{};
        R r = f(a..., &err);
        if (err != 0) [[unlikely]]
            fail(err, w, e);
        return r;
    }
}
} // namespace detail

/// A runtime handle (drov_def/runtime.h) that frees itself.  Instances keep
/// the runtime handle's address, not this object: a Handle may move, but it
/// must outlive every instance made through it (with a pool it frees their
/// memory when it goes).  A handle and its instances are used by one thread
/// at a time.  The setters work only while the handle has no live blocks
/// (errc::busy otherwise).
class Handle {
public:
    /// A new runtime handle: no state tracking, every type's highest variant,
    /// malloc blocks.
    explicit Handle(ErrorSink e = {}) : h_(drov_def_runtime_new()) {
        if (h_ == nullptr) detail::fail(DROV_DEF_ENOMEM, {"make", "handle"}, e);
    }
    /// Takes over a runtime handle (own) or only uses it.
    Handle(qel_handle_t *h, bool own) noexcept : h_(h), own_(own) {}
    Handle(Handle &&o) noexcept : h_(std::exchange(o.h_, nullptr)), own_(o.own_), id_(o.id_) {}
    Handle &operator=(Handle &&o) noexcept {
        if (this != &o) {
            reset();
            h_ = std::exchange(o.h_, nullptr);
            own_ = o.own_;
            id_ = o.id_;
        }
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() { reset(); }

    qel_handle_t *get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    /// The handle with its default context id (DROV_DEF_CTX_NONE unless
    /// changed), or with another.
    operator Context() const noexcept { return {h_, id_}; }
    Context context(uint32_t id) const noexcept { return {h_, id}; }
    Handle &default_context(uint32_t id) noexcept {
        id_ = id;
        return *this;
    }

    /// State tracking: every instance then carries a flag per field.
    Handle &track_state(bool on = true, ErrorSink e = {}) {
        return check(drov_def_runtime_set_tracking(h_, on ? DROV_DEF_TRACKING_ON : DROV_DEF_TRACKING_OFF),
                     "track_state", e);
    }
    /// The variant new instances of a type get; DROV_DEF_VARIANT_HIGHEST
    /// forgets the choice.  T is a generated class (drov::Handle::variant<drov::VmActRsp>(0)).
    template <class T> Handle &variant(int v, ErrorSink e = {}) {
        return check(drov_def_runtime_set_variant(h_, T::type_name.data(), v), "variant", e);
    }
    Handle &variant(const char *type_name, int v, ErrorSink e = {}) {
        return check(drov_def_runtime_set_variant(h_, type_name, v), "variant", e);
    }
    Handle &use_malloc(ErrorSink e = {}) { return check(drov_def_runtime_use_malloc(h_), "use_malloc", e); }
    Handle &use_pool(uint32_t chunk_bytes = DROV_DEF_POOL_CHUNK_DEFAULT, ErrorSink e = {}) {
        return check(drov_def_runtime_use_pool(h_, chunk_bytes), "use_pool", e);
    }
    Handle &use_allocator(drov_def_alloc_fn alloc, drov_def_free_fn free_fn, void *user,
                          ErrorSink e = {}) {
        return check(drov_def_runtime_use_allocator(h_, alloc, free_fn, user), "use_allocator", e);
    }
    /// Takes back every pooled block: instances made through the handle are
    /// gone without being destroyed, so release() every owner first.
    Handle &pool_reset(ErrorSink e = {}) { return check(drov_def_runtime_pool_reset(h_), "pool_reset", e); }

    uint64_t live_blocks() const noexcept { return drov_def_runtime_live_blocks(h_); }
    std::error_code last_error() const noexcept {
        return {static_cast<int>(drov_def_runtime_last_error(h_)), error_category()};
    }
    /// Where the last failure happened, when its operation could tell (a
    /// member given an std::error_code reports the code only; its place is
    /// here until the handle's next operation).
    Place last_failure() const { return last_place(h_, drov_def_runtime_last_error(h_)); }

private:
    Handle &check(uint32_t code, const char *op, ErrorSink e) {
        if (e.pending()) return *this;
        if (code != 0) [[unlikely]]
            detail::fail(code, {op, "handle"}, e);
        return *this;
    }
    void reset() noexcept {
        if (own_ && h_ != nullptr) drov_def_runtime_free(h_);
        h_ = nullptr;
    }
    qel_handle_t *h_ = nullptr;
    bool own_ = true;
    uint32_t id_ = DROV_DEF_CTX_NONE;
};

// ---- Enumerations ---------------------------------------------------------------

/// EnumInfo<E>: the C type name and the value names of a generated enum class.
template <class E> struct EnumInfo;

template <class E>
concept Enumeration = requires { EnumInfo<E>::values; };

/// The value's name as the library prints it ("VM_RSP_RC_OK"); empty for a
/// number the enumeration does not have (a newer peer's).
template <Enumeration E> constexpr std::string_view to_string(E v) noexcept {
    const auto n = static_cast<uint32_t>(v) - EnumInfo<E>::first;
    return n < EnumInfo<E>::values.size() ? EnumInfo<E>::values[n] : std::string_view{};
}
template <Enumeration E> constexpr std::optional<E> from_string(std::string_view s) noexcept {
    for (uint32_t i = 0; i < EnumInfo<E>::values.size(); ++i)
        if (EnumInfo<E>::values[i] == s) return static_cast<E>(EnumInfo<E>::first + i);
    return std::nullopt;
}
template <Enumeration E> std::ostream &operator<<(std::ostream &os, E v) {
    const std::string_view s = to_string(v);
    if (s.empty()) return os << static_cast<uint32_t>(v);
    return os << s;
}

// ---- Structures -----------------------------------------------------------------

namespace detail {

/// Traits<C type>: the type's name, its C operations and its three classes
/// (Owner, Ref, CRef); generated for every structure.
template <class T> struct Traits;

struct RecordTag {};

/// A class a class template names before the class is complete: the name is
/// looked up when the template is used, by which time it is.
template <class X, class> struct LateType {
    using type = X;
};
template <class X, class D> using Late = typename LateType<X, D>::type;

/// What a fixed array reads as when it cannot be read.
inline constexpr uint8_t zero_bytes[64] = {};

/// An element index for the C accessors; one beyond their range stays beyond it.
constexpr uint32_t index32(size_t i) noexcept { return i > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(i); }

/// Instance header (the same 11 bytes as an enumeration instance's).
inline int instance_variant(const void *p) noexcept {
    int8_t v;
    std::memcpy(&v, static_cast<const unsigned char *>(p) + offsetof(drov_def_enum_instance, instance_variant), 1);
    return v;
}

/// A label or tag for the C writers: the caller's, or the type name.
class NulTerminated {
public:
    NulTerminated(std::string_view s, const char *otherwise) {
        if (s.empty()) {
            p_ = otherwise;
        } else {
            own_.assign(s);
            p_ = own_.c_str();
        }
    }
    const char *get() const noexcept { return p_; }

private:
    std::string own_;
    const char *p_;
};

/// Text that the C writers put into a caller's buffer, grown until it fits:
/// first the room the string already has, or a guess from the encoded size.
template <class Guess, class Write>
inline void write_text(std::string &out, Guess guess, Where w, ErrorSink e, Write write) {
    if (e.pending()) return;
    size_t cap = out.capacity() >= 256 ? out.capacity() : guess();
    for (;;) {
        out.resize(cap);
        uint32_t err = 0;
        const uint32_t n = write(out.data(), static_cast<uint32_t>(cap), &err);
        if (err == DROV_DEF_ENOSPC && cap < (size_t{1} << 30)) {
            cap *= 2;
            continue;
        }
        out.resize(err == 0 ? n : 0);
        if (err != 0) [[unlikely]]
            fail(err, w, e);
        return;
    }
}

/// An XML document read from text, freed at scope exit; a failure leaves its
/// place (line and column) in the handle.
class XmlDoc {
public:
    uint32_t read(qel_handle_t *h, std::string_view text) {
        return drov_def_runtime_xml_parse(h, text.data(), text.size(), &doc_);
    }
    ~XmlDoc() { drov_def_runtime_xml_free(doc_); }
    void *get() const { return doc_; }

private:
    void *doc_ = nullptr;
};

/// What every structure class has, owner or view: the instance, its handle
/// and context id, and the whole-instance operations.  D is the class itself,
/// RO whether it is a read-only view.
template <class T, class D, bool RO> class Record : public RecordTag {
    using Tr = Traits<T>;

public:
    using c_type = T;
    using Owner = typename Tr::Owner;
    using Ref = typename Tr::Ref;
    using CRef = typename Tr::CRef;
    static constexpr std::string_view type_name = Tr::name;
    static constexpr bool read_only = RO;
    /// The bit of an encoding's second byte that says state flags follow the fields.
    static constexpr uint8_t kFlagsFollow = 0x08;

    explicit operator bool() const noexcept { return p_ != nullptr; }
    T *c_ptr() const noexcept { return p_; }
    Context context() const noexcept { return {h_, ctx_}; }
    /// The instance's variant: -1 (no fields) up to the type's highest.
    int variant() const noexcept { return p_ != nullptr ? instance_variant(p_) : -1; }

    // ---- Wire form ----

    /// The buffer size that holds the whole encoding encode writes: exact,
    /// ra data and every state flag counted (and one more byte when the
    /// encoding ends in a list's state flag, which needs it).
    size_t encode_size() const { return room(0); }

    /// Encodes into out and returns the bytes written.  out should hold
    /// encode_size() bytes: a shorter one fails with message_size when a
    /// value does not fit, and also when the encoding lost a state flag
    /// at its end (one is written only where the room allows).  An instance
    /// newer than the handle's domain is written in the domain's variant, as
    /// an older peer reads it; that is no error here.
    size_t encode(std::span<std::byte> out, ErrorSink e = {}) const {
        if (e.pending()) return 0;
        const auto room = static_cast<int32_t>(out.size() < INT32_MAX ? out.size() : INT32_MAX);
        uint32_t err = 0;
        const uint32_t n = Tr::marshal(h_, ctx_, reinterpret_cast<uint8_t *>(out.data()), p_, room, &err);
        if (err == DROV_DEF_EIDRM) err = 0;
        // Flags are left out only within two bytes of the buffer's end.
        if (err == 0 && size_t{n} + 2 > out.size()) [[unlikely]] {
            uint32_t whole = 0, size_err = 0;
            const uint32_t want = drov_def_encoded_size(h_, ctx_, Tr::record(), p_, 0, &whole, &size_err);
            if (size_err == 0 && n != want) err = DROV_DEF_EMSGSIZE;
        }
        if (err != 0) [[unlikely]] {
            fail(err, {"encode", Tr::name}, e);
            return 0;
        }
        return n;
    }
    std::vector<std::byte> encode(ErrorSink e = {}) const {
        std::vector<std::byte> out;
        if (e.pending()) return out;
        out.resize(encode_size());
        out.resize(encode(std::span<std::byte>(out), e));
        return out;
    }

    /// Decodes a message into this instance, updating it in place (strings of
    /// the same length and lists of the same count are reused, a list of
    /// another count is replaced; fields of variants the message lacks keep
    /// their values).  The bytes must be one whole message that the verifier
    /// passes (drov_def_verify: nothing cut, nothing no writer produces,
    /// nothing after it); a refusal changes nothing and names its offset and
    /// field.  Returns the bytes the message took.
    size_t update_from(std::span<const std::byte> in, ErrorSink e = {})
        requires(!RO)
    {
        return decode_checked(in, 1, true, e);
    }
    /// The same for the message at the front of in, whatever follows it;
    /// the bytes it took.
    size_t update_from(std::span<const std::byte> in, prefix_t, ErrorSink e = {})
        requires(!RO)
    {
        return decode_checked(in, 1, false, e);
    }
    /// What unmarshal accepts, unchecked (the library's own behaviour): a
    /// message cut short fails with message_size; with an error code given,
    /// the count beyond in.size() is still returned and the instance holds
    /// what was read.
    size_t update_from(std::span<const std::byte> in, lenient_t, ErrorSink e = {})
        requires(!RO)
    {
        return decode_into(in, 1, e);
    }

    // ---- Text ----

    /// The print form, `label@type: { ... }` with the type name as the default
    /// label.
    std::string to_text(std::string_view label = {}, ErrorSink e = {}) const {
        std::string out;
        to_text(out, label, e);
        out.shrink_to_fit();
        return out;
    }
    /// The same into out, reusing its memory.
    void to_text(std::string &out, std::string_view label = {}, ErrorSink e = {}) const {
        const NulTerminated tag(label, Tr::name);
        write_text(out, [&] { return text_guess(); }, {"to_text", Tr::name}, e,
                   [&](char *buf, uint32_t cap, uint32_t *err) { return Tr::print(h_, ctx_, buf, 0, tag.get(), p_, cap, err); });
    }
    /// The XML element, the type name as its default tag.  Well-formed for
    /// every instance: an enumeration number its type does not name (a newer
    /// peer's) is written as `<vm_rsp_rc value="7"/>`, which from_xml reads back.
    std::string to_xml(std::string_view tag = {}, ErrorSink e = {}) const {
        std::string out;
        to_xml(out, tag, e);
        out.shrink_to_fit();
        return out;
    }
    void to_xml(std::string &out, std::string_view tag = {}, ErrorSink e = {}) const {
        const NulTerminated t(tag, Tr::name);
        write_text(out, [&] { return text_guess(); }, {"to_xml", Tr::name}, e, [&](char *buf, uint32_t cap, uint32_t *err) {
            return drov_def_write_xml(h_, ctx_, Tr::record(), t.get(), buf, p_, cap, 0, err);
        });
    }

    /// Reads the element at path of an XML document into this instance: the
    /// fields present are set, absent ones keep their values, list elements
    /// are appended.  path selects the element: "/vm_act_rsp" by default
    /// (the type name, as to_xml writes it), or any path such as
    /// "/batch/vm_act_rsp[2]" (names and 1-based positions; other XPath
    /// expressions work too, but are slower).  Fields are read at
    /// `<path>/<field>`, list and array elements at `<path>/<field>[n]`; the
    /// library builds these in 256 bytes, so keep path well below that.
    /// The element is checked first (drov_def_read_xml): an element that is
    /// no field, a field given twice, an enumeration name its type lacks or
    /// one written as text, a number that does not parse or fit, a string
    /// longer than its length counts are refused with their line, column and
    /// field, and nothing is read.
    void merge_xml(std::string_view xml, std::string_view path = {}, ErrorSink e = {})
        requires(!RO)
    {
        read_xml(xml, path, 0, e);
    }
    /// The library's own reading, unchecked: what it does not know it leaves.
    void merge_xml(std::string_view xml, std::string_view path, lenient_t, ErrorSink e = {})
        requires(!RO)
    {
        read_xml(xml, path, DROV_DEF_XML_LENIENT, e);
    }

    // ---- Identity ----

    /// Orders by every field of every variant (the C compare): <0, 0, >0.
    template <class O>
        requires std::is_same_v<typename O::c_type, T>
    int compare(const O &o) const noexcept {
        return Tr::compare(p_, o.c_ptr());
    }
    /// Continues a running hash value (0 to start).
    uint32_t hash(uint32_t running = 0) const noexcept { return Tr::hash(p_, running); }

    // ---- Copies and moves ----

    /// A deep copy with its own strings and list elements, the same variant
    /// and state flags.
    Owner clone(ErrorSink e = {}) const {
        if (e.pending()) return Owner();
        const size_t n = room(DROV_DEF_SIZE_FOR_CLONE);
        alignas(8) uint8_t local[1024];
        std::unique_ptr<uint8_t[]> heap;
        uint8_t *buf = local;
        if (n > sizeof local) buf = (heap = std::make_unique<uint8_t[]>(n)).get();
        T *out = nullptr;
        uint32_t err = 0;
        Tr::clone(h_, ctx_, p_, &out, buf, static_cast<uint32_t>(n), &err);
        if (err != 0) [[unlikely]]
            fail(err, {"clone", Tr::name}, e);
        return Owner::adopt({h_, ctx_}, out);
    }
    /// Moves src's contents here (the C whole-object set): this instance's
    /// old strings and elements are freed, src keeps its place but loses its
    /// strings and list elements.
    D &move_from(Ref src, ErrorSink e = {})
        requires(!RO)
    {
        checked({"move_from", Tr::name}, e, Tr::move, h_, ctx_, p_, src.c_ptr());
        return self();
    }
    /// Sets every state flag (nested ones too) to v; nothing without state tracking.
    D &set_all_flags(uint8_t v)
        requires(!RO)
    {
        Tr::set_all_flags(h_, ctx_, p_, v);
        return self();
    }

protected:
    Record() noexcept = default;
    Record(Context c, T *p) noexcept : h_(c.handle), p_(p), ctx_(c.id) {}

    D &self() noexcept { return static_cast<D &>(*this); }
    /// A C accessor f(handle, context id, instance, args..., err).
    template <class F, class... A> auto call(Where w, ErrorSink e, F f, A... a) const {
        return checked(w, e, f, h_, ctx_, p_, a...);
    }
    /// The room encode or clone needs: exact where the library can tell, else
    /// len() + 1 (no instance).
    size_t room(uint32_t flags) const {
        uint32_t whole = 0, err = 0;
        drov_def_encoded_size(h_, ctx_, Tr::record(), p_, flags, &whole, &err);
        return err == 0 ? whole : size_t{Tr::len(h_, ctx_, p_)} + 1;
    }
    /// A verified decoding: the verifier's count of the message, all of in
    /// when `whole`, then unmarshal of exactly those bytes.
    size_t decode_checked(std::span<const std::byte> in, uint32_t update, bool whole, ErrorSink e) {
        if (e.pending()) return 0;
        const Where w{"decode", Tr::name};
        if (in.size() > INT32_MAX) [[unlikely]] {
            fail(DROV_DEF_EINVAL, w, e, "more than 2147483647 bytes");
            return 0;
        }
        const auto *b = reinterpret_cast<const uint8_t *>(in.data());
        if (in.empty()) [[unlikely]] {
            refuse(h_, DROV_DEF_EMSGSIZE, w, e, 0, "no bytes");
            return 0;
        }
        uint32_t err = 0;
        const uint32_t n = drov_def_verify(h_, Tr::record(), b, static_cast<int32_t>(in.size()), 0, &err);
        if (err != 0) [[unlikely]] {
            fail_placed(h_, err, w, e);
            return 0;
        }
        if (whole && n < in.size()) [[unlikely]] {
            const size_t k = in.size() - n;
            refuse(h_, DROV_DEF_EINVAL, w, e, n,
                   std::to_string(k) + (k == 1 ? " byte follows" : " bytes follow") + " the message");
            return 0;
        }
        const uint32_t got = Tr::unmarshal(h_, ctx_, b, p_, static_cast<int32_t>(n), update, &err);
        if (err != 0) [[unlikely]]
            fail(err, w, e);
        return got;
    }
    void read_xml(std::string_view xml, std::string_view path, uint32_t flags, ErrorSink e) {
        if (e.pending()) return;
        const Where w{"from_xml", Tr::name};
        if (path.find('\0') != std::string_view::npos) return fail(DROV_DEF_EINVAL, w, e, "path holds a NUL");
        const std::string p = path.empty() ? "/" + std::string(Tr::name) : std::string(path);
        XmlDoc doc;
        if (uint32_t rc = doc.read(h_, xml); rc != 0) [[unlikely]]
            return fail_placed(h_, rc, w, e);
        uint32_t err = 0;
        drov_def_read_xml(h_, ctx_, Tr::record(), p.c_str(), doc.get(), p_, flags, &err);
        if (err != 0) [[unlikely]]
            fail_placed(h_, err, w, e);
    }
    size_t decode_into(std::span<const std::byte> in, uint32_t update, ErrorSink e) {
        if (e.pending()) return 0;
        const Where w{"decode", Tr::name};
        if (in.size() > INT32_MAX) [[unlikely]] {
            fail(DROV_DEF_EINVAL, w, e, "more than 2147483647 bytes");
            return 0;
        }
        uint32_t err = 0;
        const uint32_t n = Tr::unmarshal(h_, ctx_, reinterpret_cast<const uint8_t *>(in.data()), p_,
                                         static_cast<int32_t>(in.size()), update, &err);
        if (err != 0) [[unlikely]]
            fail(err, w, e);
        else if (n > in.size()) [[unlikely]]
            fail(DROV_DEF_EMSGSIZE, w, e,
                 "message cut short: it claims " + std::to_string(n) + " bytes, " + std::to_string(in.size()) +
                     " given");
        return n;
    }
    /// Text takes up to about a dozen characters per encoded byte (a fixed
    /// array prints a line per element), mostly far fewer.
    size_t text_guess() const { return 256 + 16 * size_t{Tr::len(h_, ctx_, p_)}; }

    /// The field accessors' shared steps.
    ///
    /// The characters of a string: the C API copies them out, while a view
    /// reads the block pointer at the field's offset in the instance (the
    /// layout docs/types.md gives), after the length getter has checked the
    /// field's variant.
    std::string_view chars_at(uint32_t offset, uint32_t n) const noexcept {
        if (n == 0 || p_ == nullptr) return {};
        const char *s;
        std::memcpy(&s, reinterpret_cast<const unsigned char *>(p_) + offset, sizeof s);
        return s != nullptr ? std::string_view(s, n) : std::string_view();
    }
    /// Fixed text lies in the instance up to its NUL or capacity; the
    /// variant test is the C getter's.
    std::string_view text_at(Where w, ErrorSink e, int field_variant, uint32_t offset, size_t capacity) const {
        if (e.pending()) return {};
        const uint32_t err = p_ == nullptr ? DROV_DEF_EINVAL
                             : instance_variant(p_) < field_variant ? DROV_DEF_EIDRM
                                                                    : 0;
        if (err != 0) [[unlikely]] {
            fail(err, w, e);
            return {};
        }
        const char *s = reinterpret_cast<const char *>(p_) + offset;
        return {s, strnlen(s, capacity)};
    }
    /// A string or text longer than its length field or capacity holds is
    /// refused (the C setter would keep the low bits of the length).
    template <class W>
    void set_chars(Where w, ErrorSink e, void (*f)(qel_handle_t *, uint32_t, T *, const char *, W, uint32_t *),
                   std::string_view v, uint64_t max) {
        if (e.pending()) return;
        if (v.size() > max) [[unlikely]]
            return fail(DROV_DEF_EINVAL, w, e, "longer than " + std::to_string(max));
        checked(w, e, f, h_, ctx_, p_, v.data() != nullptr ? v.data() : "", static_cast<W>(v.size()));
    }
    void set_bytes(Where w, ErrorSink e, void (*f)(qel_handle_t *, uint32_t, T *, const uint8_t *, int32_t, uint32_t *),
                   std::span<const uint8_t> v) {
        if (e.pending()) return;
        if (v.size() > INT32_MAX) [[unlikely]]
            return fail(DROV_DEF_EINVAL, w, e, "more than 2147483647 bytes");
        checked(w, e, f, h_, ctx_, p_, v.data() != nullptr ? v.data() : zero_bytes, static_cast<int32_t>(v.size()));
    }
    template <size_t N> std::span<const uint8_t, N> bytes_at(const uint8_t *p, size_t) const noexcept {
        static_assert(N <= sizeof zero_bytes);
        return std::span<const uint8_t, N>(p != nullptr ? p : zero_bytes, N);
    }
    std::span<const uint8_t> bytes_at(const uint8_t *p, size_t n) const noexcept {
        return p != nullptr ? std::span<const uint8_t>(p, n) : std::span<const uint8_t>();
    }

    qel_handle_t *h_ = nullptr;
    T *p_ = nullptr;
    uint32_t ctx_ = DROV_DEF_CTX_NONE;
};

/// The owner's part: makes or takes an instance and destroys it.
template <class D, class Base> class OwnerOf : public Base {
    using T = typename Base::c_type;
    using Tr = Traits<T>;

public:
    /// No instance (what a moved-from owner holds too).
    OwnerOf() noexcept = default;
    /// A new instance; errc::out_of_memory when the handle has no memory
    /// (create returns nothing only then, and stores no number of its own).
    explicit OwnerOf(Context c, ErrorSink e = {}) : Base(c, nullptr) {
        if (e.pending()) return;
        this->p_ = Tr::create(c.handle, c.id);
        if (this->p_ == nullptr) [[unlikely]]
            fail(DROV_DEF_ENOMEM, {"create", Tr::name}, e);
    }
    OwnerOf(OwnerOf &&o) noexcept : Base(o.context(), std::exchange(o.p_, nullptr)) {}
    OwnerOf &operator=(OwnerOf &&o) noexcept {
        if (this != &o) {
            reset();
            this->h_ = o.h_;
            this->ctx_ = o.ctx_;
            this->p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    OwnerOf(const OwnerOf &) = delete;
    OwnerOf &operator=(const OwnerOf &) = delete;
    ~OwnerOf() { reset(); }

    /// Takes over an instance made through the C functions (or null).
    static D adopt(Context c, T *p) noexcept {
        D d;
        d.h_ = c.handle;
        d.ctx_ = c.id;
        d.p_ = p;
        return d;
    }
    /// Gives the instance up to the caller, who destroys it.
    T *release() noexcept { return std::exchange(this->p_, nullptr); }
    /// Destroys the instance now.
    void reset() noexcept {
        if (this->p_ != nullptr) Tr::destroy(this->h_, this->ctx_, std::exchange(this->p_, nullptr));
    }

    typename Base::Ref ref() & noexcept { return {this->context(), this->p_}; }
    typename Base::CRef ref() const & noexcept { return {this->context(), this->p_}; }
    operator typename Base::Ref() & noexcept { return ref(); }
    operator typename Base::CRef() const & noexcept { return ref(); }

    /// A fresh instance decoded from a message: in must be one whole message
    /// that the verifier passes (see update_from).  With an error code given,
    /// a refusal returns an empty owner.
    static D decode(Context c, std::span<const std::byte> in, ErrorSink e = {}) {
        D d(c, e);
        if (d && (d.decode_checked(in, 0, true, e), e.pending())) d.reset();
        return d;
    }
    /// The message at the front of in, whatever follows; used gets its bytes.
    static D decode(Context c, std::span<const std::byte> in, size_t &used, ErrorSink e = {}) {
        D d(c, e);
        used = 0;
        if (d && (used = d.decode_checked(in, 0, false, e), e.pending())) d.reset();
        return d;
    }
    /// What unmarshal accepts, unchecked.  A message cut short fails with
    /// message_size; with an error code given, a failed decoding still
    /// returns the instance with what was read.
    static D decode(Context c, std::span<const std::byte> in, lenient_t, ErrorSink e = {}) {
        D d(c, e);
        if (d) d.decode_into(in, 0, e);
        return d;
    }
    /// A fresh instance read from XML text, checked (see merge_xml for path).
    static D from_xml(Context c, std::string_view xml, std::string_view path = {}, ErrorSink e = {}) {
        D d(c, e);
        if (d) d.merge_xml(xml, path, e);
        return d;
    }
    static D from_xml(Context c, std::string_view xml, std::string_view path, lenient_t, ErrorSink e = {}) {
        D d(c, e);
        if (d) d.merge_xml(xml, path, lenient, e);
        return d;
    }
};

/// A view of an instance that lives inside another (a nested record, a list
/// element) or belongs to someone else: copied freely, destroys nothing.
template <class D, class Base> class ViewOf : public Base {
    using T = typename Base::c_type;

public:
    ViewOf() noexcept = default;
    ViewOf(Context c, T *p) noexcept : Base(c, p) {}
};

// ---- Lists --------------------------------------------------------------------

/// A list field: a range of element views with insertion and removal.  L
/// holds the list's C operations; RO for a read-only list.
template <class L, bool RO> class List {
    using O = typename L::owner_t;
    using E = typename L::elem_t;
    using ET = Traits<E>;

public:
    using Elem = typename ET::Owner;
    using value_type = std::conditional_t<RO, typename ET::CRef, typename ET::Ref>;

    class iterator {
    public:
        using iterator_concept = std::bidirectional_iterator_tag;
        using iterator_category = std::input_iterator_tag;
        using value_type = List::value_type;
        using reference = value_type;
        using difference_type = std::ptrdiff_t;

        iterator() noexcept = default;
        value_type operator*() const noexcept { return {{h_, ctx_}, e_}; }
        iterator &operator++() noexcept {
            uint32_t err = 0;
            e_ = L::next(h_, ctx_, o_, e_, &err);
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator t = *this;
            ++*this;
            return t;
        }
        iterator &operator--() noexcept {
            uint32_t err = 0;
            e_ = e_ == nullptr ? L::last(h_, ctx_, o_, &err) : L::prev(h_, ctx_, o_, e_, &err);
            return *this;
        }
        iterator operator--(int) noexcept {
            iterator t = *this;
            --*this;
            return t;
        }
        bool operator==(const iterator &o) const noexcept { return e_ == o.e_; }
        E *c_ptr() const noexcept { return e_; }

    private:
        friend class List;
        iterator(qel_handle_t *h, uint32_t ctx, O *o, E *e) noexcept : h_(h), o_(o), e_(e), ctx_(ctx) {}
        qel_handle_t *h_ = nullptr;
        O *o_ = nullptr;
        E *e_ = nullptr;
        uint32_t ctx_ = 0;
    };
    using const_iterator = iterator;

    List(Context c, O *owner) noexcept : h_(c.handle), o_(owner), ctx_(c.id) {}

    size_t size(ErrorSink e = {}) const { return checked({"size", L::name}, e, L::count, h_, ctx_, o_); }
    bool empty(ErrorSink e = {}) const { return size(e) == 0; }
    /// Iteration ends early (or yields nothing) where the owner's variant
    /// lacks the list; size() reports that.
    iterator begin() const noexcept {
        uint32_t err = 0;
        return {h_, ctx_, o_, L::first(h_, ctx_, o_, &err)};
    }
    iterator end() const noexcept { return {h_, ctx_, o_, nullptr}; }
    /// The first and last elements; empty views for an empty list.
    value_type front(ErrorSink e = {}) const { return view(checked({"front", L::name}, e, L::first, h_, ctx_, o_)); }
    value_type back(ErrorSink e = {}) const { return view(checked({"back", L::name}, e, L::last, h_, ctx_, o_)); }

    /// A new element made in place at the end (or front); its view.
    value_type push_back(ErrorSink e = {})
        requires(!RO)
    {
        Elem el = make(e);
        return put(el, L::set_last, nullptr, e);
    }
    value_type push_front(ErrorSink e = {})
        requires(!RO)
    {
        Elem el = make(e);
        return put(el, L::set_first, nullptr, e);
    }
    /// el's instance handed to the list (el is empty afterwards; on failure
    /// it keeps it).  An element made through another handle does not belong.
    value_type push_back(Elem &&el, ErrorSink e = {})
        requires(!RO)
    {
        return put(el, L::set_last, nullptr, e);
    }
    value_type push_front(Elem &&el, ErrorSink e = {})
        requires(!RO)
    {
        return put(el, L::set_first, nullptr, e);
    }
    /// Before pos (end(): at the end); an iterator to the new element.
    iterator insert(iterator pos, Elem &&el, ErrorSink e = {})
        requires(!RO)
    {
        return at(put(el, nullptr, pos.e_, e));
    }
    iterator insert(iterator pos, ErrorSink e = {})
        requires(!RO)
    {
        Elem el = make(e);
        return at(put(el, nullptr, pos.e_, e));
    }
    /// Unlinks the element at pos and hands it to the caller.
    Elem extract(iterator pos, ErrorSink e = {})
        requires(!RO)
    {
        if (!checked({"extract", L::name}, e, [&](uint32_t *err) {
                L::remove(h_, ctx_, o_, pos.e_, err);
                return *err == 0;
            }))
            return Elem();
        return Elem::adopt({h_, ctx_}, pos.e_);
    }
    /// Removes and destroys the element at pos; an iterator to the next one.
    iterator erase(iterator pos, ErrorSink e = {})
        requires(!RO)
    {
        iterator next = pos;
        ++next;
        if (!extract(pos, e)) return pos;
        return next;
    }
    void clear(ErrorSink e = {})
        requires(!RO)
    {
        for (iterator i = begin(); i != end() && !e.pending();) i = erase(i, e);
    }

    /// The list's state flag.
    uint8_t flag(ErrorSink e = {}) const { return checked({"flag", L::name}, e, L::flag_get, h_, ctx_, o_); }
    void set_flag(uint8_t v, ErrorSink e = {}) const
        requires(!RO)
    {
        checked({"set_flag", L::name}, e, L::flag_set, h_, ctx_, o_, int32_t{v});
    }

private:
    value_type view(E *p) const noexcept { return {{h_, ctx_}, p}; }
    iterator at(const value_type &v) const noexcept { return {h_, ctx_, o_, v.c_ptr()}; }
    Elem make(ErrorSink e) const { return Elem(Context{h_, ctx_}, e); }
    /// Links el before ref (ref null: by the operation given).
    template <class Op> value_type put(Elem &el, Op op, E *ref, ErrorSink e) const {
        if (e.pending() || !el) {
            if (!e.pending()) fail(DROV_DEF_EINVAL, {"insert", L::name}, e, "no element");
            return {};
        }
        uint32_t err = 0;
        if constexpr (!std::is_same_v<Op, std::nullptr_t>)
            op(h_, ctx_, o_, el.c_ptr(), &err);
        else if (ref == nullptr)
            L::set_last(h_, ctx_, o_, el.c_ptr(), &err);
        else
            L::set_before(h_, ctx_, o_, ref, el.c_ptr(), &err);
        if (err != 0) [[unlikely]] {
            fail(err, {"insert", L::name}, e);
            return {};
        }
        return view(el.release());
    }

    qel_handle_t *h_;
    O *o_;
    uint32_t ctx_;
};

} // namespace detail

// ---- Comparison, hashing, printing of every structure class ------------------------

template <class A, class B>
concept SameRecord = std::is_base_of_v<detail::RecordTag, A> && std::is_base_of_v<detail::RecordTag, B> &&
                     std::is_same_v<typename A::c_type, typename B::c_type>;

template <class A, class B>
    requires SameRecord<A, B>
bool operator==(const A &a, const B &b) noexcept {
    return a.compare(b) == 0;
}
template <class A, class B>
    requires SameRecord<A, B>
std::strong_ordering operator<=>(const A &a, const B &b) noexcept {
    return a.compare(b) <=> 0;
}
template <class A>
    requires std::is_base_of_v<detail::RecordTag, A>
std::ostream &operator<<(std::ostream &os, const A &a) {
    return os << a.to_text();
}

namespace detail {
template <class A> struct RecordHash {
    size_t operator()(const A &a) const noexcept { return a.hash(0); }
};
} // namespace detail

} // namespace drov

template <> struct std::is_error_code_enum<drov::errc> : std::true_type {};

#endif ///< C++20

#endif
