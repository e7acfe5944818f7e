// Character fields: strings (a length field and a separately allocated
// block of length + 1 characters) and fixed text (a character array of its
// capacity plus one in place).
#pragma once

#include "structs/kinds_value.h"

namespace drov::structs {

// Copies n characters the way strncpy does: up to the first NUL of src, the
// rest of the n filled with NUL.
inline void copy_chars(char *dst, const char *src, size_t n) {
    size_t i = 0;
    for (; i < n && src[i] != '\0'; ++i) dst[i] = src[i];
    if (i < n) std::memset(dst + i, 0, n - i);
}

// Copy-out into a caller's buffer of `size` bytes: n characters fit when
// n + 1 does; otherwise 28 and the copy is cut to size - 1.  Always
// terminated.
inline void copy_out(qel_handle_t *h, const char *chars, uint64_t n, char *buf, uint32_t size,
                     uint32_t *err) {
    if (n + 1 > size) {
        fail(h, err, QEL_ENOSPC);
        n = size - 1;
    }
    if (chars != nullptr) copy_chars(buf, chars, n);
    else std::memset(buf, 0, n);
    buf[n] = '\0';
}

// The steps before a copy-out: the buffer must hold at least the
// terminator, and the field must exist in the instance variant.
template <class B>
bool enter_copy_out(qel_handle_t *h, void *inst, char *buf, uint32_t size, uint32_t *err) {
    if (!B::enter(h, inst, err)) return false;
    if (size == 0 || buf == nullptr) {
        fail(h, err, QEL_EINVAL);
        return false;
    }
    return B::present(h, inst, err);
}

template <class F> struct String : KindBase<F> {
    using B = KindBase<F>;
    using P = typename B::P;
    using W = typename PrimOfWidth<F::d.length_width>::type::V; // the length field's type

    static char **block(void *inst) { return at<char *>(inst, F::d.offset); }
    // A block of len + 1 bytes must be sizeable by the allocator's u32.
    static constexpr bool too_long(W len) {
        if constexpr (sizeof(W) == 4) return len == UINT32_MAX;
        return false;
    }
    static W *length(void *inst) { return at<W>(inst, F::d.length_offset); }

    // Frees the character block and forgets it; the length stays.
    static void free_block(qel_handle_t *h, uint32_t ctx, void *inst) {
        char **p = block(inst);
        if (*p != nullptr) free_chars(h, ctx, inst, *p);
        announce(h, p, sizeof *p, ctx, inst);
        *p = nullptr;
    }
    static bool release(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *) {
        free_block(h, ctx, inst);
        return true;
    }
    static bool owns(qel_handle_t *, uint32_t, const void *inst) {
        return *block(const_cast<void *>(inst)) != nullptr;
    }
    static void drop(qel_handle_t *h, uint32_t ctx, void *inst) { free_block(h, ctx, inst); }
    // Characters in the source's run go with the source's memory: the
    // destination takes a copy of them (none when no block can be had: an
    // empty string and 12).
    static void clear_source(qel_handle_t *h, uint32_t ctx, void *dst, void *src, uint32_t *err) {
        if (char **p = block(dst); *p != nullptr && in_run_chars(src, *p)) {
            const uint32_t n = static_cast<uint32_t>(*length(dst)) + 1;
            auto *copy = static_cast<char *>(chars_block(h, ctx, dst, n));
            announce(h, p, sizeof *p, ctx, dst);
            if (copy != nullptr) {
                std::memcpy(copy, *p, n);
            } else {
                announce(h, length(dst), sizeof(W), ctx, dst);
                *length(dst) = 0;
                fail(h, err, QEL_ENOMEM);
            }
            *p = copy;
        }
        announce(h, block(src), sizeof(char *), ctx, src);
        *block(src) = nullptr;
        announce(h, length(src), sizeof(W), ctx, src);
        *length(src) = 0;
    }

    static void get(qel_handle_t *h, uint32_t, void *inst, char *buf, uint32_t size,
                    uint32_t *err) {
        if (enter_copy_out<B>(h, inst, buf, size, err))
            copy_out(h, *block(inst), *length(inst), buf, size, err);
    }

    // Replaces the characters with `len` of src (the length cut to the
    // width of the length field).
    static void set(qel_handle_t *h, uint32_t ctx, void *inst, const char *src, W len,
                    uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if ((len != 0 && src == nullptr) || too_long(len)) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        char **p = block(inst);
        if (*p != nullptr) free_chars(h, ctx, inst, *p);
        announce(h, p, sizeof *p, ctx, inst);
        *p = len != 0 ? static_cast<char *>(chars_block(h, ctx, inst, static_cast<uint32_t>(len) + 1))
                      : nullptr;
        if (len != 0 && *p == nullptr) {
            // No characters: the length must not promise any.
            announce(h, length(inst), sizeof(W), ctx, inst);
            *length(inst) = 0;
            fail(h, err, QEL_ENOMEM);
            return;
        }
        if (len != 0) {
            copy_chars(*p, src, len);
            (*p)[len] = '\0';
        }
        announce(h, length(inst), sizeof(W), ctx, inst);
        *length(inst) = len;
        B::mark(h, ctx, inst, err, P::set_corrupted, P::set_not_tracked);
        if (len != 0) contain(h, ctx, *block(inst), inst);
    }
    static uint32_t set_cr(qel_handle_t *h, void *inst, const char *src, W len) {
        set(h, h->cur_ctx_id, inst, src, len, &h->err);
        return h->err;
    }
};

// Fixed text of capacity C: C + 1 bytes in place, the last never written.
template <class F> struct Text : KindBase<F> {
    using B = KindBase<F>;
    using P = typename B::P;
    static constexpr uint32_t C = F::d.width;
    static char *chars(void *inst) { return reinterpret_cast<char *>(B::field(inst)); }

    static void get(qel_handle_t *h, uint32_t, void *inst, char *buf, uint32_t size,
                    uint32_t *err) {
        // The test is against the capacity, not the text held.
        if (enter_copy_out<B>(h, inst, buf, size, err)) copy_out(h, chars(inst), C, buf, size, err);
    }
    static void set(qel_handle_t *h, uint32_t ctx, void *inst, const char *src, int32_t len,
                    uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if (len < 0 || static_cast<uint32_t>(len) > C || (len != 0 && src == nullptr)) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        announce(h, chars(inst), static_cast<uint32_t>(len), ctx, inst);
        copy_chars(chars(inst), src, static_cast<size_t>(len));
        B::mark(h, ctx, inst, err, P::set_corrupted, P::set_not_tracked);
        // Terminated also when the flag could not be marked: the field
        // always holds a string within its capacity.
        if (static_cast<uint32_t>(len) < C) {
            announce(h, chars(inst) + len, 1, ctx, inst);
            chars(inst)[len] = '\0';
        }
    }
    static uint32_t set_cr(qel_handle_t *h, void *inst, const char *src, int32_t len) {
        set(h, h->cur_ctx_id, inst, src, len, &h->err);
        return h->err;
    }
};

} // namespace drov::structs
