// The runtime's string renderers and readers.  The module keeps its strings
// as plain character blocks: a counted string (var_string: n characters,
// which may include NULs) and a fixed character array (null_string: cap
// characters, NUL-terminated when shorter, in an array of cap + 1 bytes).
//
// print shows a string as label:"text" with C escapes, so that its end and
// any NUL in it can be seen; XML carries it as escaped character data, with
// U+FFFD for bytes XML cannot carry (those strings do not come back as
// they were).
#include <cstring>

#include "detail.h"

using qel_standin::Call;
using namespace qel_standin::detail;

namespace {

size_t fixed_length(const char *chars, uint32_t cap) {
    return chars != nullptr ? strnlen(chars, cap) : 0;
}

int32_t print_chars(qel_handle_t *h, char *buf, int32_t indent, const char *label,
                    const char *chars, size_t n, int32_t len, uint32_t *err) {
    if (!begin(h, err)) return 0;
    if (chars == nullptr && n != 0) {
        fail(h, err, QEL_EINVAL);
        return 0;
    }
    Out out(buf, len);
    out.fill(' ', indent > 0 ? static_cast<size_t>(indent) : 0);
    out.add(label);
    out.add(':');
    out.add_c_quoted(chars, n, '"');
    out.add('\n');
    return out.finish(h, err);
}

int32_t chars_to_xml(qel_handle_t *h, const char *tag, char *buf, const char *chars, size_t n,
                     int32_t len, uint32_t flag, uint32_t *err) {
    if (!begin(h, err)) return 0;
    if (chars == nullptr && n != 0) {
        fail(h, err, QEL_EINVAL);
        return 0;
    }
    Out out(buf, len);
    out.add_open_tag(tag, flag);
    out.add_xml_text(chars, n);
    out.add_close_tag(tag);
    return out.finish(h, err);
}

// Reads the text of the element at path, or of the element given (null:
// none); true with the text, false with the failure stored (or an error
// pending before).
template <class... Where>
bool read_text(qel_handle_t *h, const char *path, ElementText *text, uint32_t *err, char *msg,
               uint32_t msg_size, Where... where) {
    if (!begin(h, err)) return false;
    int32_t r = element_text(where..., text);
    if (r == 0) return true;
    fail(h, err, static_cast<uint32_t>(r));
    if (r != static_cast<int32_t>(QEL_ENOENT)) xpath_message(msg, msg_size, path);
    return false;
}

void too_long(qel_handle_t *h, const char *path, uint32_t *err, char *msg, uint32_t msg_size) {
    fail(h, err, QEL_ENOSPC);
    xpath_message(msg, msg_size, path);
}

// The readers of the two string forms, of the element at path or of the
// element given (with no message: its path is the caller's).
template <class... Where>
void read_chars(qel_handle_t *h, const char *path, char *buf, uint32_t size, uint32_t *err,
                char *msg, uint32_t msg_size, Where... where) {
    ElementText text;
    if (!read_text(h, path, &text, err, msg, msg_size, where...)) return;
    if (buf == nullptr || size < text.size() + 1) {
        too_long(h, path, err, msg, msg_size);
        return;
    }
    std::memcpy(buf, text.data(), text.size() + 1);
}

template <class... Where>
void read_fixed(qel_handle_t *h, const char *path, char *chars, uint32_t cap, uint32_t *err,
                char *msg, uint32_t msg_size, Where... where) {
    ElementText text;
    if (!read_text(h, path, &text, err, msg, msg_size, where...)) return;
    if (chars == nullptr) {
        fail(h, err, QEL_EINVAL);
        xpath_message(msg, msg_size, path);
        return;
    }
    if (text.size() > cap) {
        too_long(h, path, err, msg, msg_size);
        return;
    }
    std::memcpy(chars, text.data(), text.size());
    if (text.size() < cap) chars[text.size()] = '\0';
}

} // namespace

extern "C" {

int32_t var_string_print(qel_handle_t *h, uint32_t, char *buf, int32_t indent, const char *label,
                         const char *chars, uint32_t n, int32_t len, uint32_t *err) {
    return print_chars(h, buf, indent, label, chars, n, len, err);
}

int32_t var_string_to_xml(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,
                          const char *chars, uint32_t n, int32_t len, uint32_t flag,
                          uint32_t *err) {
    note(h, "var_string_to_xml", ctx, chars, tag, flag);
    return chars_to_xml(h, tag, buf, chars, n, len, flag, err);
}

void var_string_from_xml(qel_handle_t *h, uint32_t ctx, const char *path, void *doc, char *buf,
                         uint32_t size, uint32_t *err, char *msg, uint32_t msg_size) {
    note(h, "var_string_from_xml", ctx, buf, msg, msg_size);
    read_chars(h, path, buf, size, err, msg, msg_size, doc, path);
}

void var_string_from_xml_element(qel_handle_t *h, uint32_t ctx, void *, const void *elem,
                                 char *buf, uint32_t size, uint32_t *err) {
    note(h, "var_string_from_xml_element", ctx, buf, elem, size);
    read_chars(h, nullptr, buf, size, err, nullptr, 0, elem);
}

int32_t null_string_print(qel_handle_t *h, uint32_t, char *buf, int32_t indent,
                          const char *label, const char *chars, uint32_t cap, int32_t len,
                          uint32_t *err) {
    if (chars == nullptr && cap != 0) {
        if (begin(h, err)) fail(h, err, QEL_EINVAL);
        return 0;
    }
    return print_chars(h, buf, indent, label, chars, fixed_length(chars, cap), len, err);
}

int32_t null_string_to_xml(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,
                           const char *chars, uint32_t cap, int32_t len, uint32_t flag,
                           uint32_t *err) {
    note(h, "null_string_to_xml", ctx, chars, tag, flag);
    if (chars == nullptr && cap != 0) {
        if (begin(h, err)) fail(h, err, QEL_EINVAL);
        return 0;
    }
    return chars_to_xml(h, tag, buf, chars, fixed_length(chars, cap), len, flag, err);
}

void null_string_from_xml(qel_handle_t *h, uint32_t ctx, const char *path, void *doc,
                          char *chars, uint32_t cap, uint32_t *err, char *msg,
                          uint32_t msg_size) {
    note(h, "null_string_from_xml", ctx, chars, msg, msg_size);
    read_fixed(h, path, chars, cap, err, msg, msg_size, doc, path);
}

void null_string_from_xml_element(qel_handle_t *h, uint32_t ctx, void *, const void *elem,
                                  char *chars, uint32_t cap, uint32_t *err) {
    note(h, "null_string_from_xml_element", ctx, chars, elem, cap);
    read_fixed(h, nullptr, chars, cap, err, nullptr, 0, elem);
}

} // extern "C"
