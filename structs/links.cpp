// List links: every store into a list head's first, last or parent pointer
// and into an element's next or prev pointer is announced to the
// memory-range library first, and a failed announcement leaves no safe way
// on.
#include "structs/core.h"

namespace drov::structs {

void range_failed(tp::Point p) {
    norla_perror();
    fatal(p);
}

void unlink(qel_handle_t *h, uint32_t ctx, Head *head, void *elem, const UnlinkPoints &p) {
    Link *l = link(elem);
    announce_links(h, ctx, &l->next, 2 * sizeof(void *), elem, p.links);
    if (l->next != head)
        store_link(h, ctx, &link(l->next)->prev, l->prev, l->next, p.next_prev);
    else
        store_link(h, ctx, &head->last, l->prev, head, p.last);
    if (l->prev == head)
        store_link(h, ctx, &head->first, l->next, head, p.first);
    else
        store_link(h, ctx, &link(l->prev)->next, l->next, l->prev, p.prev_next);
}

} // namespace drov::structs
