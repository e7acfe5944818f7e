// Lists: a head in the owner (first, last, parent, count) anchoring a
// circular chain of element instances through their link blocks, the head
// itself being the sentinel.  Every link store is announced to the memory
// range library first; counts and list pointers to the write notification.
#pragma once

#include "structs/kind_base.h"

namespace drov::structs {

template <class F> struct List : KindBase<F> {
    using B = KindBase<F>;
    using P = typename B::P;
    static constexpr uint32_t E = static_cast<uint32_t>(F::d.ref); // the element type

    static Head *head(void *inst) { return at<Head>(inst, F::d.offset); }
    static bool empty(const Head *hd) { return hd->first == hd || hd->first == nullptr; }

    static void count_add(qel_handle_t *h, uint32_t ctx, void *owner, int32_t delta) {
        Head *hd = head(owner);
        announce(h, &hd->count, sizeof hd->count, ctx, owner);
        if (delta > 0 || hd->count > 0) hd->count += static_cast<uint32_t>(delta);
    }
    static void set_list(qel_handle_t *h, uint32_t ctx, void *elem, void *list) {
        announce(h, &link(elem)->list, sizeof(void *), ctx, elem);
        link(elem)->list = list;
    }

    [[gnu::always_inline]] static void init_head(qel_handle_t *h, uint32_t ctx, void *inst,
                                                 bool notify) {
        Head *hd = head(inst);
        if (!notify) {
            hd->first = hd->last = hd;
            hd->parent = inst;
            return;
        }
        init_head_heard(h, ctx, inst);
    }
    [[gnu::noinline]] static void init_head_heard(qel_handle_t *h, uint32_t ctx, void *inst) {
        Head *hd = head(inst);
        store_link(h, ctx, &hd->first, hd, hd, P::init_first);
        store_link(h, ctx, &hd->last, hd, hd, P::init_last);
        store_link(h, ctx, &hd->parent, inst, hd, P::init_parent);
    }

    // Unlinks and destroys every element; the count becomes 0.
    static void destroy_all(qel_handle_t *h, uint32_t ctx, void *inst, const UnlinkPoints &p) {
        Head *hd = head(inst);
        if (quiet_links(h) && !empty(hd)) {
            // Unheard, the chain need not be mended as each element leaves:
            // the elements go in order, and the head is left empty.
            // The handle is asked once whether plain elements may go the
            // short way.
            Tally tally;
            const bool light = Struct<E>::light_handle(h, ctx);
            for (void *e = hd->first; e != hd && e != nullptr;) {
                void *next = link(e)->next;
                link(e)->list = nullptr;
                if (!light || !Struct<E>::destroy_light(h, ctx, e, &tally))
                    Struct<E>::destroy_whole(h, ctx, e, 1, &tally);
                e = next;
            }
            hd->first = hd->last = hd;
        }
        while (!empty(hd)) {
            void *elem = hd->first;
            unlink(h, ctx, hd, elem, p);
            set_list(h, ctx, elem, nullptr);
            Struct<E>::destroy_internal(h, ctx, elem, 1);
        }
        announce(h, &hd->count, sizeof hd->count, ctx, inst);
        hd->count = 0;
    }
    static constexpr UnlinkPoints kDestroyPoints{P::destroy_links, P::destroy_next_prev,
                                                 P::destroy_last, P::destroy_first,
                                                 P::destroy_prev_next};
    static bool release(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *) {
        destroy_all(h, ctx, inst, kDestroyPoints);
        return true;
    }
    static bool owns(qel_handle_t *, uint32_t, const void *inst) {
        return !empty(head(const_cast<void *>(inst)));
    }
    static void drop(qel_handle_t *h, uint32_t ctx, void *inst) {
        destroy_all(h, ctx, inst, kDestroyPoints);
    }

    // The destination received the source's head bytes: it takes the chain
    // over, every element learns its new list, and the source is left empty.
    // The destination keeps the count it was copied.
    static void clear_source(qel_handle_t *h, uint32_t ctx, void *dst, void *src, uint32_t *) {
        Head *d = head(dst);
        Head *s = head(src);
        store_link(h, ctx, &d->first, d, d, P::move_first);
        store_link(h, ctx, &d->last, d, d, P::move_last);
        store_link(h, ctx, &d->parent, dst, d, P::move_parent);
        if (!empty(s)) {
            void *first = s->first;
            void *last = s->last;
            store_link(h, ctx, &link(first)->prev, d, first, P::move_chain_prev);
            store_link(h, ctx, &link(last)->next, d, last, P::move_chain_next);
            store_link(h, ctx, &d->first, first, d, P::move_dst_first);
            store_link(h, ctx, &d->last, last, d, P::move_dst_last);
            store_link(h, ctx, &s->first, s, s, P::move_src_first);
            store_link(h, ctx, &s->last, s, s, P::move_src_last);
        }
        for (void *elem = d->first; elem != d; elem = link(elem)->next) set_list(h, ctx, elem, d);
        announce(h, &s->count, sizeof s->count, ctx, src);
        s->count = 0;
    }

    // ---- Reading ----------------------------------------------------------------
    // The chain's neighbour of a node, null at the head.
    static void *neighbour(qel_handle_t *h, uint32_t ctx, void *owner, void *node) {
        void *r = node == head(owner) ? nullptr : node;
        if (r != nullptr) contain(h, ctx, r, owner);
        return r;
    }
    static void *get_first(qel_handle_t *h, uint32_t ctx, void *owner, uint32_t *err) {
        if (!B::enter_get(h, owner, err) || empty(head(owner))) return nullptr;
        return neighbour(h, ctx, owner, head(owner)->first);
    }
    static void *get_last(qel_handle_t *h, uint32_t ctx, void *owner, uint32_t *err) {
        if (!B::enter_get(h, owner, err) || empty(head(owner))) return nullptr;
        return neighbour(h, ctx, owner, head(owner)->last);
    }
    // A reference element must be in this list.
    static bool member(qel_handle_t *h, void *owner, void *elem, uint32_t *err) {
        if (elem != nullptr && link(elem)->list == head(owner)) return true;
        fail(h, err, QEL_EINVAL);
        return false;
    }
    static void *get_next(qel_handle_t *h, uint32_t ctx, void *owner, void *ref, uint32_t *err) {
        if (!B::enter_get(h, owner, err) || !member(h, owner, ref, err)) return nullptr;
        return neighbour(h, ctx, owner, link(ref)->next);
    }
    static void *get_prev(qel_handle_t *h, uint32_t ctx, void *owner, void *ref, uint32_t *err) {
        if (!B::enter_get(h, owner, err) || !member(h, owner, ref, err)) return nullptr;
        return neighbour(h, ctx, owner, link(ref)->prev);
    }
    static uint32_t get_count(qel_handle_t *h, uint32_t, void *owner, uint32_t *err) {
        return B::enter_get(h, owner, err) ? head(owner)->count : 0;
    }
    // Flags: 0 first, 1 last, 2 the reference's previous, 3 its next.
    static void *get_cr(qel_handle_t *h, void *owner, int32_t flag, void *ref) {
        uint32_t ctx = h->cur_ctx_id;
        uint32_t *err = &h->err;
        if (!B::enter_get(h, owner, err)) return nullptr;
        Head *hd = head(owner);
        switch (flag) {
        case 0: return empty(hd) ? nullptr : neighbour(h, ctx, owner, hd->first);
        case 1: return empty(hd) ? nullptr : neighbour(h, ctx, owner, hd->last);
        case 2: return member(h, owner, ref, err) ? neighbour(h, ctx, owner, link(ref)->prev) : nullptr;
        case 3: return member(h, owner, ref, err) ? neighbour(h, ctx, owner, link(ref)->next) : nullptr;
        default:
            trace(P::get_flag_invalid, static_cast<uint32_t>(flag));
            fail(h, err, QEL_EINVAL);
            return nullptr;
        }
    }

    // ---- Insertion and removal --------------------------------------------------
    // An insertion: the owner's setter steps, an element in no list, and a
    // reference (where one is used) in this one.
    // `again`: the last error is cleared, except for an insertion that is
    // a part of a decoding under a quiet runtime.
    static bool enter_insert(qel_handle_t *h, uint32_t ctx, void *owner, void *elem, void *ref,
                             bool with_ref, uint32_t *err, bool again = true) {
        if (*err != 0) return false;
        if (again) qel_clear_last_error(h);
        if (owner == nullptr) {
            fail(h, err, QEL_EINVAL);
            return false;
        }
        if (!B::adjust(h, ctx, owner, err)) return false;
        // An element embedded in another instance is not the list's to own.
        if (elem == nullptr || link(elem)->list != nullptr || elem == ref ||
            has_flag(elem, QEL_OBJ_NESTED)) {
            fail(h, err, QEL_EINVAL);
            return false;
        }
        return !with_ref || member(h, owner, ref, err);
    }
    // After the links: the element knows its list, and the change is told.
    static void finish_insert(qel_handle_t *h, uint32_t ctx, void *owner, void *elem,
                              uint32_t *err, tp::Point corrupted, tp::Point not_tracked) {
        set_list(h, ctx, elem, head(owner));
        contain(h, ctx, elem, owner);
        B::mark(h, ctx, owner, err, corrupted, not_tracked);
    }
    static void set_first(qel_handle_t *h, uint32_t ctx, void *owner, void *elem, uint32_t *err) {
        if (!enter_insert(h, ctx, owner, elem, nullptr, false, err)) return;
        Head *hd = head(owner);
        count_add(h, ctx, owner, 1);
        void *old = hd->first;
        store_link(h, ctx, &link(elem)->prev, hd, elem, P::set_first_prev);
        store_link(h, ctx, &link(elem)->next, old, elem, P::set_first_next);
        if (old == hd)
            store_link(h, ctx, &hd->last, elem, hd, P::set_first_last);
        else
            store_link(h, ctx, &link(old)->prev, elem, old, P::set_first_old_prev);
        store_link(h, ctx, &hd->first, elem, hd, P::set_first_first);
        finish_insert(h, ctx, owner, elem, err, P::set_first_corrupted, P::set_first_not_tracked);
    }
    static void set_last(qel_handle_t *h, uint32_t ctx, void *owner, void *elem, uint32_t *err,
                         bool again = true) {
        if (!enter_insert(h, ctx, owner, elem, nullptr, false, err, again)) return;
        link_last(h, ctx, owner, elem, err);
    }
    // set_last after its checks.
    [[gnu::always_inline]] static void link_last(qel_handle_t *h, uint32_t ctx, void *owner,
                                                 void *elem, uint32_t *err) {
        Head *hd = head(owner);
        count_add(h, ctx, owner, 1);
        void *old = hd->last;
        const bool heard = !quiet_links(h); // asked once, not after every store
        auto put = [&](void **slot, void *value, const void *changed, tp::Point p) {
            if (heard)
                store_link(h, ctx, slot, value, changed, p);
            else
                *slot = value;
        };
        put(&link(elem)->next, hd, elem, P::set_last_next);
        put(&link(elem)->prev, old, elem, P::set_last_prev);
        if (hd->first == hd)
            put(&hd->first, elem, hd, P::set_last_first);
        else
            put(&link(old)->next, elem, old, P::set_last_old_next);
        put(&hd->last, elem, hd, P::set_last_last);
        finish_insert(h, ctx, owner, elem, err, P::set_last_corrupted, P::set_last_not_tracked);
    }
    static void set_before(qel_handle_t *h, uint32_t ctx, void *owner, void *ref, void *elem,
                           uint32_t *err) {
        if (!enter_insert(h, ctx, owner, elem, ref, true, err)) return;
        Head *hd = head(owner);
        count_add(h, ctx, owner, 1);
        void *prev = link(ref)->prev;
        store_link(h, ctx, &link(elem)->next, ref, elem, P::set_before_next);
        store_link(h, ctx, &link(elem)->prev, prev, elem, P::set_before_prev);
        if (prev == hd)
            store_link(h, ctx, &hd->first, elem, hd, P::set_before_first);
        else
            store_link(h, ctx, &link(prev)->next, elem, prev, P::set_before_prev_next);
        store_link(h, ctx, &link(ref)->prev, elem, ref, P::set_before_ref_prev);
        finish_insert(h, ctx, owner, elem, err, P::set_before_corrupted, P::set_before_not_tracked);
    }
    static void set_after(qel_handle_t *h, uint32_t ctx, void *owner, void *ref, void *elem,
                          uint32_t *err) {
        if (!enter_insert(h, ctx, owner, elem, ref, true, err)) return;
        Head *hd = head(owner);
        count_add(h, ctx, owner, 1);
        void *next = link(ref)->next;
        store_link(h, ctx, &link(elem)->prev, ref, elem, P::set_after_prev);
        store_link(h, ctx, &link(elem)->next, next, elem, P::set_after_next);
        if (next == hd)
            store_link(h, ctx, &hd->last, elem, hd, P::set_after_last);
        else
            store_link(h, ctx, &link(next)->prev, elem, next, P::set_after_next_prev);
        store_link(h, ctx, &link(ref)->next, elem, ref, P::set_after_ref_next);
        finish_insert(h, ctx, owner, elem, err, P::set_after_corrupted, P::set_after_not_tracked);
    }
    static uint32_t add_cr(qel_handle_t *h, void *owner, void *elem, int32_t flag, void *ref) {
        uint32_t ctx = h->cur_ctx_id;
        switch (flag) {
        case 0: set_first(h, ctx, owner, elem, &h->err); break;
        case 1: set_last(h, ctx, owner, elem, &h->err); break;
        case 2: set_before(h, ctx, owner, ref, elem, &h->err); break;
        case 3: set_after(h, ctx, owner, ref, elem, &h->err); break;
        default:
            if (h->err != 0) break;
            trace(P::add_flag_invalid, static_cast<uint32_t>(flag));
            fail(h, &h->err, QEL_EINVAL);
            break;
        }
        return h->err;
    }

    // Takes the element out; it is not destroyed and belongs to the caller.
    // Its own links keep their values.
    static void remove(qel_handle_t *h, uint32_t ctx, void *owner, void *elem, uint32_t *err) {
        if (!B::enter_set(h, ctx, owner, err) || !member(h, owner, elem, err)) return;
        count_add(h, ctx, owner, -1);
        unlink(h, ctx, head(owner), elem,
               {P::remove_links, P::remove_next_prev, P::remove_last, P::remove_first,
                P::remove_prev_next});
        set_list(h, ctx, elem, nullptr);
        contain(h, ctx, elem, owner);
        if (db_recording(h, ctx)) qeldb_plat_set_detach(h, ctx, elem, 1);
    }
    static uint32_t remove_cr(qel_handle_t *h, void *owner, void *elem) {
        remove(h, h->cur_ctx_id, owner, elem, &h->err);
        return h->err;
    }
};

} // namespace drov::structs
