// Strict XML reading and well-formed XML writing (drov_def.h, "Checks at
// the edges"), for every structure type through one table.
#include <cstring>
#include <initializer_list>
#include <utility>

#include "structs/ops.h"
#include "structs/xml_check.h"

namespace drov::structs::xml {

namespace {

// The structure type a record stands for: its index, or kStructCount.
uint32_t type_of(const qel_type_info *type) {
    uint32_t t = 0;
    while (t < schema::kStructCount && record(t) != type) ++t;
    return t;
}

const char *type_name(uint32_t t) { return t < schema::kStructCount ? kTypes[t].name : ""; }

// A refusal: the error word, and the handle's last failure with its place.
void refuse(qel_handle_t *h, uint32_t *err, uint32_t code, const char *operation, uint32_t t,
            const char *path, void *doc, const void *elem, const char *reason) {
    uint32_t line = 0, column = 0;
    if (elem != nullptr) xml_element_position(doc, elem, &line, &column);
    *err = code;
    qel_store_failure(h, code, operation, type_name(t), path, -1, line, column, reason);
}

// The field a "Failed xpath: <path>" message of from_xml names, as a path in
// words under the structure's path `base` ("/r/l[2]/x" under "/r" is
// "l[1].x"); false when it names none under it.
bool failed_field(const char *msg, const char *base, FieldPath *out, const char **xpath) {
    static constexpr char kLead[] = "Failed xpath: ";
    if (std::strncmp(msg, kLead, sizeof kLead - 1) != 0) return false;
    const char *p = msg + sizeof kLead - 1;
    *xpath = p;
    const size_t n = std::strlen(base);
    if (std::strncmp(p, base, n) != 0 || (p[n] != '/' && p[n] != '\0')) return false;
    for (p += n; *p == '/';) {
        const char *name = ++p;
        while (*p != '\0' && *p != '/' && *p != '[') ++p;
        char step[128];
        std::snprintf(step, sizeof step, "%.*s", static_cast<int>(p - name), name);
        out->field(step);
        if (*p == '[') {
            uint32_t k = 0;
            for (++p; *p >= '0' && *p <= '9'; ++p) k = k * 10 + static_cast<uint32_t>(*p - '0');
            if (*p++ != ']' || k == 0) return false;
            out->position(k - 1);
        }
    }
    return *p == '\0';
}

template <uint32_t T>
void read(qel_handle_t *h, uint32_t ctx, const char *path, void *doc, void *inst, uint32_t flags,
          uint32_t *err) {
    constexpr const char *kOp = "read_xml";
    const bool strict = (flags & DROV_DEF_XML_LENIENT) == 0;
    const void *elem = nullptr;
    uint32_t count = 0;
    const bool by_elements = xml_element_find(doc, path, &elem, &count) == 0;
    if (strict) {
        char why[320];
        if (!by_elements) {
            std::snprintf(why, sizeof why,
                          "strict reading takes a path of element names and positions, such as "
                          "/batch/%s[2], not %s",
                          kTypes[T].name, path);
            return refuse(h, err, QEL_EINVAL, kOp, T, "", doc, nullptr, why);
        }
        if (count == 0) {
            std::snprintf(why, sizeof why, "no element %s", path);
            return refuse(h, err, QEL_ENOENT, kOp, T, "", doc, nullptr, why);
        }
        if (count > 1) {
            std::snprintf(why, sizeof why, "%s selects %u elements; strict reading takes one", path,
                          count);
            return refuse(h, err, QEL_EINVAL, kOp, T, "", doc, elem, why);
        }
        Checker c(h, ctx, doc);
        if (!Check<T>::structure(c, elem))
            return refuse(h, err, c.code(), kOp, T, c.path().str(), doc, c.where(), c.reason());
    }
    char msg[512] = "";
    Render<T>::from_xml(h, ctx, path, doc, inst, err, msg, sizeof msg);
    if (*err != 0) {
        FieldPath field;
        const char *xpath = nullptr;
        if (!failed_field(msg, path, &field, &xpath)) field.back(0);
        const void *at = nullptr;
        uint32_t n = 0;
        if (xpath != nullptr && xml_element_find(doc, xpath, &at, &n) != 0) at = nullptr;
        char why[640];
        std::snprintf(why, sizeof why, "%s%s%s", drov_def_strerror(*err), msg[0] != '\0' ? ": " : "",
                      msg);
        return refuse(h, err, *err, kOp, T, field.str(), doc, at, why);
    }
    // The numbers of <TYPE value="N"/> where the element is known (a path
    // that selects one element).
    if (by_elements && count == 1) Numbers<T>::apply(Numbering{h, ctx, doc}, elem, inst);
    // (from_xml leaves 2 behind when an enumeration's first names are
    // absent; a reading that succeeded leaves none)
    qel_clear_last_error(h);
}

// to_xml, then each "<TYPE value out of range/>" rewritten in place as
// "<TYPE value="N"/>" (never longer), moving what follows up.
template <uint32_t T>
uint32_t write(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf, const void *inst,
               uint32_t len, uint8_t flag, uint32_t *err) {
    const uint32_t n = Render<T>::to_xml(h, ctx, tag, buf, inst, len, flag, err);
    if (*err != 0) {
        char why[96];
        std::snprintf(why, sizeof why, "%s (%u bytes given)", drov_def_strerror(*err), len);
        refuse(h, err, *err, "write_xml", T, "", nullptr, nullptr, why);
        return n;
    }
    static constexpr char kOut[] = " value out of range/>";
    size_t r = 0, w = 0; // read and write positions in buf
    auto rewrite = [&](const enums::EnumType &e, uint32_t v) {
        // "<TYPE" and kOut, where to_xml wrote this value
        const size_t name = std::strlen(e.name);
        for (const char *p = buf + r; (p = std::strchr(p, '<')) != nullptr; ++p) {
            if (std::strncmp(p + 1, e.name, name) != 0 ||
                std::strncmp(p + 1 + name, kOut, sizeof kOut - 1) != 0)
                continue;
            const auto at = static_cast<size_t>(p - buf) + 1 + name;
            std::memmove(buf + w, buf + r, at - r);
            w += at - r;
            char number[sizeof kOut];
            const auto k = static_cast<size_t>(
                std::snprintf(number, sizeof number, " value=\"%u\"/>", v)); // at most kOut's
            std::memcpy(buf + w, number, k);
            w += k;
            r = at + sizeof kOut - 1;
            return;
        }
    };
    Unnamed<T>::each(inst, rewrite);
    if (r == 0) return n;
    std::memmove(buf + w, buf + r, n - r + 1); // with the NUL
    return static_cast<uint32_t>(n - (r - w));
}

using ReadFn = void (*)(qel_handle_t *, uint32_t, const char *, void *, void *, uint32_t,
                        uint32_t *);
using WriteFn = uint32_t (*)(qel_handle_t *, uint32_t, const char *, char *, const void *,
                             uint32_t, uint8_t, uint32_t *);
template <uint32_t... I> constexpr auto reads(std::integer_sequence<uint32_t, I...>) {
    return std::array<ReadFn, sizeof...(I)>{&read<I>...};
}
template <uint32_t... I> constexpr auto writes(std::integer_sequence<uint32_t, I...>) {
    return std::array<WriteFn, sizeof...(I)>{&write<I>...};
}
constexpr auto kReads = reads(std::make_integer_sequence<uint32_t, schema::kStructCount>{});
constexpr auto kWrites = writes(std::make_integer_sequence<uint32_t, schema::kStructCount>{});

// The arguments every operation checks: the handle, the record of one of
// the module's structures (its index in *t), and those given non-null.
bool usable(qel_handle_t *h, const qel_type_info *type, uint32_t *t, const char *operation,
            std::initializer_list<std::pair<const void *, const char *>> args, uint32_t *err) {
    *t = type_of(type);
    const char *why = *t == schema::kStructCount ? "the record is no structure type of the module"
                                                 : nullptr;
    for (const auto &[p, missing] : args)
        if (why == nullptr && p == nullptr) why = missing;
    if (why == nullptr) return true;
    refuse(h, err, QEL_EINVAL, operation, *t, "", nullptr, nullptr, why);
    return false;
}

} // namespace

} // namespace drov::structs::xml

using namespace drov::structs::xml;

extern "C" {

DROV_DEF_API void drov_def_read_xml(qel_handle_t *h, uint32_t ctx, const qel_type_info *type,
                                    const char *path, void *doc, void *inst, uint32_t flags,
                                    uint32_t *err) {
    if (err == nullptr) return;
    if (h == nullptr) {
        *err = *err != 0 ? *err : QEL_EINVAL;
        return;
    }
    if (!drov::enter(h, err)) return;
    uint32_t t = 0;
    if (!usable(h, type, &t, "read_xml",
                {{path, "no path"}, {doc, "no document"}, {inst, "no instance"}}, err))
        return;
    kReads[t](h, ctx, path, doc, inst, flags, err);
}

DROV_DEF_API uint32_t drov_def_write_xml(qel_handle_t *h, uint32_t ctx, const qel_type_info *type,
                                         const char *tag, char *buf, const void *inst,
                                         uint32_t len, uint8_t flag, uint32_t *err) {
    if (err == nullptr) return 0;
    if (h == nullptr) {
        *err = *err != 0 ? *err : QEL_EINVAL;
        return 0;
    }
    if (!drov::enter(h, err)) return 0;
    uint32_t t = 0;
    if (!usable(h, type, &t, "write_xml", {{buf, "no buffer"}, {inst, "no instance"}}, err)) return 0;
    return kWrites[t](h, ctx, tag, buf, inst, len, flag, err);
}

} // extern "C"
