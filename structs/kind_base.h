// What every field kind shares: the common steps of getters and setters,
// the field's state flag, and the walk members a kind without that part
// leaves empty.
#pragma once

#include "structs/core.h"

namespace drov::structs {

template <class F> struct KindBase {
    static constexpr const FieldDesc &d = F::d;
    static constexpr uint32_t T = F::type;
    static constexpr uint32_t kIndex = F::index; // its place in the declaration
    using P = typename F::Points;
    static constexpr bool kSignedVariant = d.kind == FieldKind::Boolean || d.kind == FieldKind::Enum;

    static uint8_t *field(void *inst) { return bytes(inst) + d.offset; }
    static const uint8_t *field(const void *inst) { return bytes(inst) + d.offset; }

    // Entry of every accessor that takes an error word: nothing while an
    // error is pending, else the last error is cleared; a null instance is 22.
    static bool enter(qel_handle_t *h, const void *inst, uint32_t *err) {
        if (!drov::enter(h, err)) return false;
        if (inst == nullptr) {
            fail(h, err, QEL_EINVAL);
            return false;
        }
        return true;
    }
    static bool present(qel_handle_t *h, const void *inst, uint32_t *err) {
        if (instance_variant(inst, kSignedVariant) >= d.variant) return true;
        epoch(h, err);
        return false;
    }
    // A getter: the field must exist in the instance variant.
    static bool enter_get(qel_handle_t *h, const void *inst, uint32_t *err) {
        return enter(h, inst, err) && present(h, inst, err);
    }
    // A setter first brings the instance up to the variant the handle's
    // domain allows, then tests.
    static bool adjust(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        // The record is the header's first word (what qel_get_manifested_type_info
        // reads), taken here without a call on every setter.
        qellib_adjust_variant(h, ctx, inst, hdr(inst).type_info, kTypes[T].highest(), err);
        return present(h, inst, err);
    }
    static bool enter_set(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err) {
        return enter(h, inst, err) && adjust(h, ctx, inst, err);
    }

    // Marks the flag byte at `index` of the instance's state area as changed,
    // after a store: only under tracking, and only an instance that has an
    // area (the store already made stays either way).
    static void mark(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err, tp::Point corrupted,
                     tp::Point not_tracked, uint32_t index = d.state_index) {
        if (!tracks(h, corrupted)) return;
        if (!has_flag(inst, QEL_OBJ_STATE_TRACKED)) {
            fail(h, err, QEL_EINVAL);
            trace(not_tracked);
            return;
        }
        uint8_t *flag = Struct<T>::area(h, ctx, inst) + index;
        announce(h, flag, 1, ctx, inst);
        *flag = 2;
    }

    // The state area for a flag accessor, or null after recording why not:
    // 22 under a handle that does not track (traced when it has no record),
    // 22 with a trace for an instance without an area, fatal when corrupted.
    static uint8_t *flag_area(qel_handle_t *h, uint32_t ctx, const void *inst, uint32_t *err,
                              tp::Point corrupted, tp::Point untracked) {
        if (!enter(h, inst, err)) return nullptr;
        Tracking t = tracking(h);
        if (t == Tracking::Corrupted) fatal(corrupted);
        if (t == Tracking::Off && h->sttr != nullptr) {
            fail(h, err, QEL_EINVAL);
            return nullptr;
        }
        if (!has_flag(inst, QEL_OBJ_STATE_TRACKED)) {
            fail(h, err, QEL_EINVAL);
            trace(untracked);
            return nullptr;
        }
        return Struct<T>::area(h, ctx, const_cast<void *>(inst));
    }
    // As flag_area, for a store: the variant is adjusted and tested too.
    static uint8_t *flag_area_set(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err,
                                  tp::Point corrupted, tp::Point untracked) {
        uint8_t *area = flag_area(h, ctx, inst, err, corrupted, untracked);
        return area != nullptr && adjust(h, ctx, inst, err) ? area : nullptr;
    }

    // The field's own flag (every kind with a flag byte has these two).
    static uint8_t state_flag_get(qel_handle_t *h, uint32_t ctx, const void *inst, uint32_t *err) {
        const uint8_t *area =
            flag_area(h, ctx, inst, err, P::flag_get_corrupted, P::flag_get_non_tracked);
        return area != nullptr ? area[d.state_index] : 0;
    }
    static void state_flag_set(qel_handle_t *h, uint32_t ctx, void *inst, int32_t value,
                               uint32_t *err) {
        uint8_t *area =
            flag_area_set(h, ctx, inst, err, P::flag_set_corrupted, P::flag_set_not_tracked);
        if (area == nullptr) return;
        announce(h, area + d.state_index, 1, ctx, inst);
        area[d.state_index] = static_cast<uint8_t>(value);
    }

    // ---- Walk members; a kind defines those it takes part in --------------------
    static constexpr bool kInGetAll = false; // get_all passes the field's value
    static constexpr bool kInSetAll = false; // set_all takes it
    // initialize: list heads first, embedded objects last
    static void init_head(qel_handle_t *, uint32_t, void *, bool) {}
    static void init_embedded(qel_handle_t *, uint32_t, void *, int32_t, int32_t, void *,
                              uint32_t *, Domains *) {}
    static int32_t record_offset(qel_handle_t *, uint32_t, void *, uint8_t *) { return 0; }
    static void remove_offset(qel_handle_t *, uint32_t, void *, uint32_t *) {}
    static void set_embedded(qel_handle_t *, uint32_t, void *) {}
    // destroy: false stops the destroy
    static bool release(qel_handle_t *, uint32_t, void *, uint32_t *) { return true; }
    static void release_flags(qel_handle_t *, uint32_t, void *, uint8_t *) {}
    // Whether the field holds a block or elements (and, in the state area,
    // a flag block) that destroy must release even when the instance's
    // variant no longer has the field.
    static bool owns(qel_handle_t *, uint32_t, const void *) { return false; }
    static bool owns_flags(const void *, const uint8_t *) { return false; }
    // whole-object set: the destination's own blocks before the copy, and the
    // source's blocks after it (the destination has them now)
    static void drop(qel_handle_t *, uint32_t, void *) {}
    static void clear_source(qel_handle_t *, uint32_t, void *, void *, uint32_t *) {}
    // whole-object set: the header bits of nested records that stay with
    // their memory, saved before the copy and put back after it
    static void save_own(const void *, uint8_t *&) {}
    static void restore_own(void *, const uint8_t *&) {}
    // set_all_state_tracking_flag
    static void fill_flags(void *, uint8_t *area, uint8_t value) {
        if constexpr (d.state_index >= 0) area[d.state_index] = value;
    }
};

} // namespace drov::structs
