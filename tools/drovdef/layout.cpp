#include "layout.h"

#include "drov_def/drov_def.h"
#include "drov_def/runtime.h"
#include "qel.h"

#include <cstring>
#include <limits>

namespace drovdef::layout {

namespace {

struct Collector {
    std::uint64_t base;
    std::vector<Part> *parts;
};

void collect(void *user, const drov_def_wire_item_t *item) {
    auto *c = static_cast<Collector *>(user);
    Part p;
    p.kind = item->part;
    p.offset = c->base + item->offset;
    p.size = item->size;
    p.path = item->path != nullptr ? item->path : "";
    p.field = item->field != nullptr ? item->field : "";
    p.type = item->type != nullptr ? std::string(item->type->name, strnlen(item->type->name, sizeof item->type->name)) : "";
    p.written = item->written;
    p.read = item->read;
    p.flags = item->flags;
    p.body_end = item->body_end == 0 ? 0 : c->base + item->body_end;
    p.fields_end = item->fields_end == 0 ? 0 : c->base + item->fields_end;
    c->parts->push_back(std::move(p));
}

} // namespace

Layout walk(qel_handle *h, const qel_type_info *type, std::span<const std::uint8_t> bytes, bool domain,
            std::uint64_t base) {
    Layout l;
    if (bytes.empty()) {
        // The verifier takes no empty buffer; nothing is a message cut before its first byte.
        l.refusal = Refusal{DROV_DEF_EMSGSIZE, base, "", "no bytes"};
        return l;
    }
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        l.refusal = Refusal{DROV_DEF_EINVAL, base, "", "more than 2147483647 bytes"};
        return l;
    }
    Collector c{base, &l.parts};
    std::uint32_t err = 0;
    const std::uint32_t n = drov_def_verify_walk(h, type, bytes.data(), static_cast<std::int32_t>(bytes.size()),
                                                 domain ? DROV_DEF_VERIFY_DOMAIN : 0, collect, &c, &err);
    if (err == 0) {
        l.size = n;
        return l;
    }
    Refusal r{err, base, "", ""};
    if (const drov_def_failure_t *f = drov_def_runtime_last_failure(h); f != nullptr && f->code == err) {
        if (f->offset >= 0) r.offset = base + static_cast<std::uint64_t>(f->offset);
        r.path = f->path != nullptr ? f->path : "";
        r.reason = f->reason != nullptr ? f->reason : "";
    }
    if (r.reason.empty()) r.reason = drov_def_strerror(err);
    l.refusal = std::move(r);
    return l;
}

std::string text(const Refusal &r) {
    const char *what = r.code == DROV_DEF_EMSGSIZE ? "cut short" : r.code == DROV_DEF_EINVAL ? "malformed" : "refused";
    return std::string(what) + " at offset " + std::to_string(r.offset) + (r.path.empty() ? "" : ", " + r.path) +
           ": " + r.reason;
}

} // namespace drovdef::layout
