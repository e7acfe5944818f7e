// Arrays of u8: fixed arrays in place (a whole-array flag and one flag per
// element in the state area) and the variable array (a u32 count and a
// separately allocated block; its element flags live in a block of their own
// that the state area points to).
#pragma once

#include <atomic>

#include "structs/kind_base.h"

namespace drov::structs {

// What both arrays share: the flag of the array as a whole, at the field's
// own index of the state area, and the reading of where the element flags
// are, which D (the array kind) tells.
template <class F, class D> struct ArrayBase : KindBase<F> {
    using B = KindBase<F>;
    using P = typename B::P;
    static constexpr uint32_t K = static_cast<uint32_t>(F::d.state_index);

    static uint8_t state_flag_whole_get(qel_handle_t *h, uint32_t ctx, const void *inst,
                                        uint32_t *err) {
        const uint8_t *area =
            B::flag_area(h, ctx, inst, err, P::whole_get_corrupted, P::whole_get_non_tracked);
        return area != nullptr ? area[K] : 0;
    }
    static void state_flag_whole_set(qel_handle_t *h, uint32_t ctx, void *inst, int32_t value,
                                     uint32_t *err) {
        uint8_t *area =
            B::flag_area_set(h, ctx, inst, err, P::whole_set_corrupted, P::whole_set_not_tracked);
        if (area == nullptr) return;
        announce(h, area + K, 1, ctx, inst);
        area[K] = static_cast<uint8_t>(value);
    }
    static void state_flag_get_arr(qel_handle_t *h, uint32_t ctx, void *inst, uint8_t **flags,
                                   uint32_t *err) {
        uint8_t *area =
            B::flag_area(h, ctx, inst, err, P::get_arr_corrupted, P::get_arr_non_tracked);
        if (area == nullptr) return;
        if (flags == nullptr) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        *flags = D::element_flags(area);
    }
    static uint8_t get_value(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index,
                             uint32_t *err) {
        uint8_t *p = D::get(h, ctx, inst, index, err);
        return p != nullptr ? u_int8_get_value(h, ctx, p, err) : 0;
    }
};

template <class F> struct Array : ArrayBase<F, Array<F>> {
    using B = KindBase<F>;
    using P = typename B::P;
    static constexpr uint32_t N = F::d.width;
    static constexpr uint32_t K = static_cast<uint32_t>(F::d.state_index);

    static uint8_t *elems(void *inst) { return B::field(inst); }

    // Marks the whole array and one element after an element store.
    static void mark_element(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index,
                             uint32_t *err, tp::Point corrupted, tp::Point not_tracked) {
        B::mark(h, ctx, inst, err, corrupted, not_tracked, K);
        if (has_flag(inst, QEL_OBJ_STATE_TRACKED)) B::mark(h, ctx, inst, err, corrupted, not_tracked, K + 1 + index);
    }

    static void get_mem(qel_handle_t *h, uint32_t, void *inst, uint8_t *dst, int32_t count,
                        uint32_t *err) {
        if (!B::enter_get(h, inst, err)) return;
        if (count < 0 || static_cast<uint32_t>(count) > N || (count != 0 && dst == nullptr)) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        std::memcpy(dst, elems(inst), static_cast<size_t>(count));
    }
    static void set_mem(qel_handle_t *h, uint32_t ctx, void *inst, const uint8_t *src,
                        int32_t count, uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if (count < 0 || static_cast<uint32_t>(count) > N || (count != 0 && src == nullptr)) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        bool on = tracks(h, P::set_mem_corrupted);
        if (on && !has_flag(inst, QEL_OBJ_STATE_TRACKED)) {
            fail(h, err, QEL_EINVAL);
            trace(P::set_mem_not_tracked);
            return;
        }
        announce(h, elems(inst), static_cast<uint32_t>(count), ctx, inst);
        std::memcpy(elems(inst), src, static_cast<size_t>(count));
        if (on) {
            uint8_t *flag = Struct<B::T>::area(h, ctx, inst) + K; // the whole array only
            announce(h, flag, 1, ctx, inst);
            *flag = 2;
        }
    }
    static uint32_t set_mem_cr(qel_handle_t *h, void *inst, const uint8_t *src, int32_t count) {
        set_mem(h, h->cur_ctx_id, inst, src, count, &h->err);
        return h->err;
    }
    static uint8_t *get(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index, uint32_t *err) {
        if (!B::enter_get(h, inst, err)) return nullptr;
        if (index >= N) {
            fail(h, err, QEL_ENOENT);
            return nullptr;
        }
        uint8_t *p = u_int8_get(h, ctx, elems(inst) + index, err);
        contain(h, ctx, p, inst);
        return p;
    }
    static void set(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index, const uint8_t *src,
                    uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if (index >= N) {
            fail(h, err, QEL_ENOENT);
            return;
        }
        if (src == nullptr) return;
        u_int8_set(h, ctx, elems(inst) + index, src, err);
        mark_element(h, ctx, inst, index, err, P::set_corrupted, P::set_not_tracked);
    }
    static void set_value(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index, uint8_t value,
                          uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        uint8_t *p = nullptr;
        if (index >= N) {
            fail(h, err, QEL_ENOENT);
            return;
        }
        p = u_int8_get(h, ctx, elems(inst) + index, err);
        contain(h, ctx, p, inst);
        if (p == nullptr || *err != 0) return;
        u_int8_set_value(h, ctx, p, value, err);
        mark_element(h, ctx, inst, index, err, P::set_value_corrupted, P::set_value_not_tracked);
    }

    static uint8_t state_flag_get(qel_handle_t *h, uint32_t ctx, const void *inst, uint32_t index,
                                  uint32_t *err) {
        const uint8_t *area =
            B::flag_area(h, ctx, inst, err, P::flag_get_corrupted, P::flag_get_non_tracked);
        if (area == nullptr) return 0;
        if (index >= N) {
            fail(h, err, QEL_ENOENT);
            return 0;
        }
        return area[K + 1 + index];
    }
    static void state_flag_set(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index,
                               int32_t value, uint32_t *err) {
        uint8_t *area =
            B::flag_area_set(h, ctx, inst, err, P::flag_set_corrupted, P::flag_set_not_tracked);
        if (area == nullptr) return;
        if (index >= N) {
            fail(h, err, QEL_ENOENT);
            return;
        }
        announce(h, area + K + 1 + index, 1, ctx, inst);
        area[K + 1 + index] = static_cast<uint8_t>(value);
    }
    static uint8_t *element_flags(uint8_t *area) { return area + K + 1; }
    static void state_flag_set_arr(qel_handle_t *h, uint32_t ctx, void *inst, const uint8_t *flags,
                                   int32_t count, uint32_t *err) {
        uint8_t *area =
            B::flag_area_set(h, ctx, inst, err, P::set_arr_corrupted, P::set_arr_not_tracked);
        if (area == nullptr) return;
        if (count < 0 || static_cast<uint32_t>(count) != N || flags == nullptr) {
            fail(h, err, QEL_ENOENT);
            return;
        }
        std::memcpy(area + K + 1, flags, N);
    }

    static void fill_flags(void *, uint8_t *area, uint8_t value) {
        std::memset(area + K, value, N + 1);
    }
};

// Traces the first regrowth of an existing block in the process only.
inline bool first_regrowth() {
    static std::atomic_flag traced = ATOMIC_FLAG_INIT;
    return !traced.test_and_set(std::memory_order_relaxed);
}

template <class F> struct VarArray : ArrayBase<F, VarArray<F>> {
    using B = KindBase<F>;
    using P = typename B::P;
    using S = Struct<B::T>;
    static constexpr uint32_t K = static_cast<uint32_t>(F::d.state_index);

    static uint8_t **elems(void *inst) { return at<uint8_t *>(inst, F::d.offset); }
    static uint32_t *length(void *inst) { return at<uint32_t>(inst, F::d.length_offset); }
    // The element-flag block pointer inside a state area.
    static uint8_t **flags_of(uint8_t *area) {
        return reinterpret_cast<uint8_t **>(area + F::d.flag_block);
    }
    static bool tracked(const void *inst) { return has_flag(inst, QEL_OBJ_STATE_TRACKED); }

    static void free_elems(qel_handle_t *h, uint32_t ctx, void *inst) {
        uint8_t **p = elems(inst);
        if (*p != nullptr) h->free(h->alloc_ctx, ctx, *p);
        announce(h, p, sizeof *p, ctx, inst);
        *p = nullptr;
    }
    // The element-flag block pointer lies in the instance's state area: its
    // stores are announced like every store into the instance.
    static void store_flags(qel_handle_t *h, uint32_t ctx, void *inst, uint8_t *area,
                            uint8_t *block) {
        announce(h, flags_of(area), sizeof(uint8_t *), ctx, inst);
        *flags_of(area) = block;
    }
    static void free_flags(qel_handle_t *h, uint32_t ctx, void *inst, uint8_t *area) {
        uint8_t **f = flags_of(area);
        if (*f != nullptr) h->free(h->alloc_ctx, ctx, *f);
        store_flags(h, ctx, inst, area, nullptr);
    }
    // A zeroed block of n bytes holding the first `keep` bytes of old; null
    // for n = 0; false when the allocation fails.
    static bool regrow(qel_handle_t *h, uint32_t ctx, const uint8_t *old, uint32_t keep,
                       uint32_t n, uint8_t **out) {
        *out = nullptr;
        if (n == 0) return true;
        auto *block = static_cast<uint8_t *>(h->allocate(h->alloc_ctx, ctx, n));
        if (block == nullptr) return false;
        std::memset(block, 0, n);
        if (old != nullptr && keep != 0) std::memcpy(block, old, keep < n ? keep : n);
        *out = block;
        return true;
    }
    // The element-flag block, made (zeroed) when the array has elements but
    // no flags yet; null with 12 recorded when that fails.
    static uint8_t *flag_block(qel_handle_t *h, uint32_t ctx, void *inst, uint8_t *area,
                               uint32_t *err) {
        uint8_t *f = *flags_of(area);
        if (f != nullptr) return f;
        if (!regrow(h, ctx, nullptr, 0, *length(inst), &f)) fail(h, err, QEL_ENOMEM);
        if (f != nullptr) store_flags(h, ctx, inst, area, f);
        return f;
    }

    static bool release(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *) {
        free_elems(h, ctx, inst);
        return true;
    }
    static void release_flags(qel_handle_t *h, uint32_t ctx, void *inst, uint8_t *area) {
        free_flags(h, ctx, inst, area);
    }
    static bool owns(qel_handle_t *, uint32_t, const void *inst) {
        return *elems(const_cast<void *>(inst)) != nullptr;
    }
    static bool owns_flags(const void *, const uint8_t *area) {
        return *flags_of(const_cast<uint8_t *>(area)) != nullptr;
    }
    static void drop(qel_handle_t *h, uint32_t ctx, void *inst) {
        free_elems(h, ctx, inst);
        if (tracked(inst)) free_flags(h, ctx, inst, S::area(h, ctx, inst));
    }
    // The destination has the elements now, and the flag block when the
    // state area came along; a flag block left behind goes.
    static void clear_source(qel_handle_t *h, uint32_t ctx, void *dst, void *src, uint32_t *) {
        announce(h, elems(src), sizeof(uint8_t *), ctx, src);
        *elems(src) = nullptr;
        announce(h, length(src), sizeof(uint32_t), ctx, src);
        *length(src) = 0;
        if (!tracked(src)) return;
        uint8_t *area = S::area(h, ctx, src);
        if (tracked(dst) && *flags_of(S::area(h, ctx, dst)) == *flags_of(area))
            store_flags(h, ctx, src, area, nullptr);
        else
            free_flags(h, ctx, src, area);
    }
    static void fill_flags(void *inst, uint8_t *area, uint8_t value) {
        area[K] = value;
        if (uint8_t *f = *flags_of(area)) std::memset(f, value, *length(inst));
    }

    static void get_mem(qel_handle_t *h, uint32_t, void *inst, uint8_t *dst, int32_t count,
                        uint32_t *err) {
        if (!B::enter_get(h, inst, err)) return;
        if (count < 0 || static_cast<uint32_t>(count) > *length(inst) ||
            (count != 0 && dst == nullptr)) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        if (count != 0) std::memcpy(dst, *elems(inst), static_cast<size_t>(count));
    }
    static uint8_t *get(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index, uint32_t *err) {
        if (!B::enter_get(h, inst, err)) return nullptr;
        if (index >= *length(inst)) {
            fail(h, err, QEL_ENOENT);
            return nullptr;
        }
        uint8_t *p = u_int8_get(h, ctx, *elems(inst) + index, err);
        contain(h, ctx, p, inst);
        return p;
    }

    static void set_mem(qel_handle_t *h, uint32_t ctx, void *inst, const uint8_t *src,
                        int32_t count, uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if (count < 0 || (count != 0 && src == nullptr)) {
            fail(h, err, QEL_EINVAL);
            return;
        }
        bool on = tracks(h, P::set_mem_corrupted);
        if (on && !tracked(inst)) {
            fail(h, err, QEL_EINVAL);
            trace(P::set_mem_not_tracked);
            return;
        }
        auto n = static_cast<uint32_t>(count);
        uint8_t **p = elems(inst);
        if (*p != nullptr) h->free(h->alloc_ctx, ctx, *p);
        announce(h, p, sizeof *p, ctx, inst);
        if (!regrow(h, ctx, src, n, n, p)) {
            announce(h, length(inst), sizeof(uint32_t), ctx, inst);
            *length(inst) = 0; // no elements: the count must not promise any
            fail(h, err, QEL_ENOMEM);
            return;
        }
        announce(h, length(inst), sizeof(uint32_t), ctx, inst);
        *length(inst) = n;
        if (!on) return;
        B::mark(h, ctx, inst, err, P::set_mem_mark_corrupted, P::set_mem_mark_not_tracked, K);
        uint8_t *area = S::area(h, ctx, inst);
        free_flags(h, ctx, inst, area);
        uint8_t *flags = nullptr;
        if (!regrow(h, ctx, nullptr, 0, n, &flags)) fail(h, err, QEL_ENOMEM);
        if (flags != nullptr) store_flags(h, ctx, inst, area, flags);
    }
    static uint32_t set_mem_cr(qel_handle_t *h, void *inst, const uint8_t *src, int32_t count) {
        set_mem(h, h->cur_ctx_id, inst, src, count, &h->err);
        return h->err;
    }

    // Sets element `index`, growing the array to index + 1 elements (new
    // ones zero) when it is shorter.
    static void set(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index, const uint8_t *src,
                    uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        bool on = tracks(h, P::set_corrupted);
        if (on && !tracked(inst)) {
            fail(h, err, QEL_EINVAL);
            trace(P::set_not_tracked);
            return;
        }
        uint32_t len = *length(inst);
        if (*elems(inst) == nullptr || index >= len) {
            if (index == UINT32_MAX) { // index + 1 elements cannot be counted
                fail(h, err, QEL_EINVAL);
                return;
            }
            uint8_t *old = *elems(inst);
            if (old != nullptr && first_regrowth()) trace(P::realloc);
            uint8_t *grown = nullptr;
            if (!regrow(h, ctx, old, len, index + 1, &grown)) {
                fail(h, err, QEL_ENOMEM);
                return;
            }
            announce(h, elems(inst), sizeof(uint8_t *), ctx, inst);
            *elems(inst) = grown;
            if (old != nullptr) h->free(h->alloc_ctx, ctx, old);
            announce(h, length(inst), sizeof(uint32_t), ctx, inst);
            *length(inst) = index + 1;
            if (on) {
                uint8_t *area = S::area(h, ctx, inst);
                uint8_t *old_flags = *flags_of(area);
                uint8_t *flags = nullptr;
                if (!regrow(h, ctx, old_flags, len, index + 1, &flags)) {
                    // The old block is too short for the new length: none
                    // at all reads as zeros and is made on the next store.
                    free_flags(h, ctx, inst, area);
                    fail(h, err, QEL_ENOMEM);
                    return;
                }
                store_flags(h, ctx, inst, area, flags);
                if (old_flags != nullptr) h->free(h->alloc_ctx, ctx, old_flags);
            }
        }
        if (src == nullptr) return;
        uint8_t *elem = *elems(inst) + index;
        contain(h, ctx, elem, inst);
        u_int8_set(h, ctx, elem, src, err);
        mark_element(h, ctx, inst, index, err, P::set_mark_corrupted, P::set_mark_not_tracked);
    }
    static uint32_t set_cr(qel_handle_t *h, void *inst, uint32_t index, uint8_t value) {
        set(h, h->cur_ctx_id, inst, index, &value, &h->err);
        return h->err;
    }
    static void set_value(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index, uint8_t value,
                          uint32_t *err) {
        if (!B::enter_set(h, ctx, inst, err)) return;
        if (index >= *length(inst)) {
            fail(h, err, QEL_ENOENT);
            return;
        }
        u_int8_set_value(h, ctx, *elems(inst) + index, value, err);
        mark_element(h, ctx, inst, index, err, P::set_value_corrupted, P::set_value_not_tracked);
    }
    static void remove_elements(qel_handle_t *h, uint32_t ctx, void *inst) {
        if (inst == nullptr || *elems(inst) == nullptr) return;
        free_elems(h, ctx, inst);
        announce(h, length(inst), sizeof(uint32_t), ctx, inst);
        *length(inst) = 0;
    }

    // Marks the whole array and the element's flag (in the flag block).
    static void mark_element(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index,
                             uint32_t *err, tp::Point corrupted, tp::Point not_tracked) {
        B::mark(h, ctx, inst, err, corrupted, not_tracked, K);
        if (!tracked(inst) || !tracks(h, corrupted)) return;
        if (uint8_t *f = flag_block(h, ctx, inst, S::area(h, ctx, inst), err)) {
            announce(h, f + index, 1, ctx, inst);
            f[index] = 2;
        }
    }

    static uint8_t state_flag_get(qel_handle_t *h, uint32_t ctx, const void *inst, uint32_t index,
                                  uint32_t *err) {
        uint8_t *area =
            B::flag_area(h, ctx, inst, err, P::flag_get_corrupted, P::flag_get_non_tracked);
        if (area == nullptr) return 0;
        if (index >= *length(const_cast<void *>(inst))) {
            fail(h, err, QEL_ENOENT);
            return 0;
        }
        const uint8_t *f = *flags_of(area); // a missing block reads as zeros
        return f != nullptr ? f[index] : 0;
    }
    static void state_flag_set(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t index,
                               int32_t value, uint32_t *err) {
        uint8_t *area =
            B::flag_area_set(h, ctx, inst, err, P::flag_set_corrupted, P::flag_set_not_tracked);
        if (area == nullptr) return;
        if (index >= *length(inst)) {
            fail(h, err, QEL_ENOENT);
            return;
        }
        if (uint8_t *f = flag_block(h, ctx, inst, area, err)) {
            announce(h, f + index, 1, ctx, inst);
            f[index] = static_cast<uint8_t>(value);
        }
    }
    static uint8_t *element_flags(uint8_t *area) { return *flags_of(area); }
    static void state_flag_set_arr(qel_handle_t *h, uint32_t ctx, void *inst, const uint8_t *flags,
                                   int32_t count, uint32_t *err) {
        uint8_t *area =
            B::flag_area_set(h, ctx, inst, err, P::set_arr_corrupted, P::set_arr_not_tracked);
        if (area == nullptr) return;
        if (count < 0 || static_cast<uint32_t>(count) != *length(inst) ||
            (count != 0 && flags == nullptr)) {
            fail(h, err, QEL_ENOENT);
            return;
        }
        if (uint8_t *f = flag_block(h, ctx, inst, area, err))
            std::memcpy(f, flags, static_cast<size_t>(count));
    }
};

} // namespace drov::structs
