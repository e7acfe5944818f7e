// The verifier of encodings and the exact encoded size (drov_def.h, "Checks
// at the edges"): the C entry points over the walks of structs/verify.h,
// one instantiation per structure type, found through a table.
#include "structs/verify.h"

#include <array>

namespace drov::structs::verify {
namespace {

// What the caller asked for.
struct Request {
    qel_handle_t *h;
    const uint8_t *buf;
    uint64_t len;
    bool domain;
    drov_def_wire_fn fn;
    void *user;
};

// The first problem, in *err, the handle's last error and its last failure.
void report(qel_handle_t *h, uint32_t *err, uint32_t code, const char *operation,
            const char *type, const char *path, int64_t offset, const char *reason) {
    *err = code;
    qel_store_failure(h, code, operation, type, path, offset, 0, 0, reason);
}

template <bool Plain, Report R> Walker<Plain, R> walker(const Request &q, Domains *d) {
    Walker<Plain, R> w{.h = q.h, .buf = q.buf, .len = q.len, .domain = q.domain, .domains = d};
    w.fn = q.fn;
    w.user = q.user;
    return w;
}

// The walk again to say where the first one failed, building the path.
template <uint32_t T, bool Plain>
[[gnu::noinline]] void locate(const Request &q, uint32_t code, uint64_t where, uint32_t *err) {
    Domains d{};
    auto w = walker<Plain, Report::Locate>(q, &d);
    uint64_t end = 0;
    if (!CheckStruct<T>::walk(w, end))
        report(q.h, err, w.code, "verify", kTypes[T].name, w.path, static_cast<int64_t>(w.where), w.reason);
    else // a runtime that answered otherwise the second time
        report(q.h, err, code, "verify", kTypes[T].name, "", static_cast<int64_t>(where), "");
}

template <uint32_t T, bool Plain> uint32_t verify_fast(const Request &q, uint32_t *err) {
    Domains d{};
    auto w = walker<Plain, Report::Fast>(q, &d);
    uint64_t end = 0;
    if (CheckStruct<T>::nested(w, end)) [[likely]]
        return static_cast<uint32_t>(end);
    locate<T, Plain>(q, w.code, w.where, err);
    return 0;
}

// Every part to the caller's function, or the runtime's own coders.
template <uint32_t T> [[gnu::noinline]] uint32_t verify_other(const Request &q, uint32_t *err) {
    const bool plain = (q.h->features & QEL_FEATURE_PLAIN_CODECS) != 0;
    if (q.fn == nullptr) return verify_fast<T, false>(q, err);
    Domains d{};
    uint64_t end = 0;
    auto tell = [&](auto w) {
        if (CheckStruct<T>::walk(w, end)) return static_cast<uint32_t>(end);
        report(q.h, err, w.code, "verify", kTypes[T].name, w.path, static_cast<int64_t>(w.where),
               w.reason);
        return 0u;
    };
    return plain ? tell(walker<true, Report::Parts>(q, &d)) : tell(walker<false, Report::Parts>(q, &d));
}

template <uint32_t T> uint32_t verify_type(const Request &q, uint32_t *err) {
    if (q.fn == nullptr && (q.h->features & QEL_FEATURE_PLAIN_CODECS) != 0) [[likely]]
        return verify_fast<T, true>(q, err);
    return verify_other<T>(q, err);
}

template <uint32_t T>
uint32_t size_type(qel_handle_t *h, uint32_t ctx, const void *inst, Mode mode, uint32_t *room,
                   uint32_t *err) {
    Sizing s(h, ctx, err);
    if (!s.runtime_widths()) return 0;
    s.with_flags = tracks(h, tp::TypePoints<T>::marshal_corrupted);
    if (!SizeStruct<T>::count(s, inst, mode)) return 0;
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(s.n, UINT32_MAX));
    if (room != nullptr)
        *room = static_cast<uint32_t>(std::min<uint64_t>(s.n + (s.list_flag_last ? 1 : 0), UINT32_MAX));
    return n;
}

using VerifyFn = uint32_t (*)(const Request &, uint32_t *);
using SizeFn = uint32_t (*)(qel_handle_t *, uint32_t, const void *, Mode, uint32_t *, uint32_t *);
template <uint32_t... I>
constexpr std::array<VerifyFn, sizeof...(I)> verifiers(std::integer_sequence<uint32_t, I...>) {
    return {&verify_type<I>...};
}
template <uint32_t... I>
constexpr std::array<SizeFn, sizeof...(I)> sizers(std::integer_sequence<uint32_t, I...>) {
    return {&size_type<I>...};
}
constexpr auto kVerify = verifiers(std::make_integer_sequence<uint32_t, schema::kStructCount>{});
constexpr auto kSize = sizers(std::make_integer_sequence<uint32_t, schema::kStructCount>{});

// The structure type of a record: one of the module's static records, or a
// copy of one (a handle that works with copies) by its name.  -1 for none.
[[gnu::noinline]] int32_t structure_by_name(const qel_type_info_t *rec) {
    if (rec->magic != QEL_TYPE_INFO_MAGIC ||
        std::strncmp(rec->module, schema::kModuleName, sizeof rec->module) != 0)
        return -1;
    for (uint32_t t = 0; t < schema::kStructCount; ++t)
        if (std::strncmp(rec->name, kTypes[t].name, sizeof rec->name) == 0)
            return static_cast<int32_t>(t);
    return -1;
}
DROV_INLINE int32_t structure_of(const qel_type_info_t *rec) {
    // The static records lie in one array of blocks, in type order.
    const auto first = reinterpret_cast<uintptr_t>(&drov_def_type_blocks.at[0].record);
    const uintptr_t at = reinterpret_cast<uintptr_t>(rec) - first;
    if (at % sizeof(TypeBlock) == 0 && at / sizeof(TypeBlock) < schema::kStructCount) [[likely]]
        return static_cast<int32_t>(at / sizeof(TypeBlock));
    return rec != nullptr ? structure_by_name(rec) : -1;
}

// Refuses an argument with 22, saying which.
[[gnu::noinline]] int32_t refuse(qel_handle_t *h, uint32_t *err, const char *operation,
                                 const qel_type_info_t *rec, int32_t t, const char *why) {
    if (rec == nullptr) why = "no type record";
    else if (t < 0) why = "the record is not one of the module's structures";
    report(h, err, QEL_EINVAL, operation, t >= 0 ? kTypes[t].name : "", "", -1, why);
    return -1;
}

// The checks every entry makes; the type's index, or -1 after a refusal.
// `why`: what is wrong with the rest of the arguments, if anything.
DROV_INLINE int32_t start(qel_handle_t *h, const qel_type_info_t *rec, const char *why,
                          const char *operation, uint32_t *err) {
    if (err == nullptr || *err != 0) return -1;
    if (h == nullptr) {
        *err = QEL_EINVAL;
        return -1;
    }
    qel_clear_last_error(h);
    const int32_t t = structure_of(rec);
    if (t < 0 || why != nullptr) [[unlikely]]
        return refuse(h, err, operation, rec, t, why);
    return t;
}

DROV_INLINE uint32_t verify(qel_handle_t *h, const qel_type_info_t *type, const uint8_t *buf,
                            int32_t len, uint32_t flags, drov_def_wire_fn fn, void *user, bool walk,
                            uint32_t *err) {
    const char *why = nullptr;
    if (buf == nullptr) why = "no buffer";
    else if (len < 1) why = "no bytes";
    else if ((flags & ~DROV_DEF_VERIFY_DOMAIN) != 0) why = "unknown flags";
    else if (walk && fn == nullptr) why = "no function to call";
    const int32_t t = start(h, type, why, "verify", err);
    if (t < 0) return 0;
    const Request q{h, buf, static_cast<uint64_t>(len), (flags & DROV_DEF_VERIFY_DOMAIN) != 0, fn,
                    user};
    return kVerify[static_cast<uint32_t>(t)](q, err);
}

uint32_t encoded_size(qel_handle_t *h, uint32_t ctx, const qel_type_info_t *type,
                      const void *inst, uint32_t flags, uint32_t *room, uint32_t *err) {
    const char *why = inst == nullptr                               ? "no instance"
                      : (flags & ~DROV_DEF_SIZE_FOR_CLONE) != 0 ? "unknown flags"
                                                                  : nullptr;
    const int32_t t = start(h, type, why, "encoded_size", err);
    if (t < 0) return 0;
    const Mode mode = (flags & DROV_DEF_SIZE_FOR_CLONE) != 0 ? Mode::Clone : Mode::Marshal;
    return kSize[static_cast<uint32_t>(t)](h, ctx, inst, mode, room, err);
}

} // namespace
} // namespace drov::structs::verify

using namespace drov::structs::verify;

extern "C" {

DROV_DEF_API uint32_t drov_def_verify(qel_handle_t *h, const qel_type_info *type,
                                      const uint8_t *buf, int32_t len, uint32_t flags,
                                      uint32_t *err) {
    return verify(h, type, buf, len, flags, nullptr, nullptr, false, err);
}

DROV_DEF_API uint32_t drov_def_verify_walk(qel_handle_t *h, const qel_type_info *type,
                                           const uint8_t *buf, int32_t len, uint32_t flags,
                                           drov_def_wire_fn fn, void *user, uint32_t *err) {
    return verify(h, type, buf, len, flags, fn, user, true, err);
}

DROV_DEF_API uint32_t drov_def_encoded_size(qel_handle_t *h, uint32_t ctx,
                                            const qel_type_info *type, const void *inst,
                                            uint32_t flags, uint32_t *room, uint32_t *err) {
    return encoded_size(h, ctx, type, inst, flags, room, err);
}

} // extern "C"
