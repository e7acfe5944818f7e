// Bounded text output, the XML writers' tags and escapes, and XML element
// lookups.
//
// Every writer puts at most len-1 characters and a NUL into buf and returns
// the characters written.  Output that does not fit is cut and reported as
// 28 (no space) in *err and in the handle's last error.  A writer called
// while *err holds an error writes nothing and returns 0, so a print that
// goes on calling writers after a failure adds nothing more.
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "detail.h"

namespace qel_standin::detail {

namespace {

// Copies n characters of text (or n copies of fill when text is null).
int32_t bounded(qel_handle_t *h, char *buf, int32_t len, const char *text, size_t n, char fill,
                uint32_t *err) {
    if (buf == nullptr || len < 1) {
        if (n > 0) fail(h, err, QEL_ENOSPC);
        return 0;
    }
    size_t room = static_cast<size_t>(len) - 1;
    size_t k = n < room ? n : room;
    if (text != nullptr)
        std::memcpy(buf, text, k);
    else
        std::memset(buf, fill, k);
    buf[k] = '\0';
    if (k < n) fail(h, err, QEL_ENOSPC);
    return static_cast<int32_t>(k);
}

// Evaluates an XPath expression; null for a malformed one.  Errors go to the
// context's own handler so that nothing is printed.
xmlXPathObjectPtr eval_path(xmlDocPtr doc, const char *path) {
    xmlXPathContextPtr xp = xmlXPathNewContext(doc);
    if (xp == nullptr) return nullptr;
    xp->error = [](void *, auto) {};
    xmlXPathObjectPtr res = xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(path), xp);
    xmlXPathFreeContext(xp);
    if (res != nullptr && res->type != XPATH_NODESET) {
        xmlXPathFreeObject(res);
        return nullptr;
    }
    return res;
}

int node_count(xmlXPathObjectPtr res) {
    // libxml2 gives an empty set rather than none; the guard is for others
    return res->nodesetval != nullptr ? res->nodesetval->nodeNr : 0; // mutants: skip
}

const char kHex[] = "0123456789abcdef";

// Length of the well-formed UTF-8 sequence of a character XML 1.0 allows
// that starts at s[0] (at most n bytes), or 0.
size_t utf8_char(const unsigned char *s, size_t n) {
    unsigned char c = s[0];
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (len > n) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0u) != 0x80u) return 0;
        cp = (cp << 6) | (s[i] & 0x3Fu);
    }
    if (len == 3 && cp < 0x800) return 0;                       // overlong
    if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;  // overlong, too large
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
    return len;
}

} // namespace

int32_t put(qel_handle_t *h, char *buf, int32_t len, const char *text, size_t n, uint32_t *err) {
    return bounded(h, buf, len, text, n, 0, err);
}

int32_t put(qel_handle_t *h, char *buf, int32_t len, const std::string &text, uint32_t *err) {
    return bounded(h, buf, len, text.data(), text.size(), 0, err);
}

int32_t put_fill(qel_handle_t *h, char *buf, int32_t len, char fill, size_t n, uint32_t *err) {
    return bounded(h, buf, len, nullptr, n, fill, err);
}

int32_t put_format(qel_handle_t *h, char *buf, int32_t len, uint32_t *err, const char *fmt,
                   va_list ap) {
    if (fmt == nullptr) {
        fail(h, err, QEL_EINVAL);
        return 0;
    }
    if (buf == nullptr || len < 1) {
        int n = std::vsnprintf(nullptr, 0, fmt, ap);
        if (n > 0) fail(h, err, QEL_ENOSPC);
        return 0;
    }
    int n = std::vsnprintf(buf, static_cast<size_t>(len), fmt, ap);
    if (n < 0) {
        buf[0] = '\0';
        fail(h, err, QEL_EINVAL);
        return 0;
    }
    if (n >= len) {
        fail(h, err, QEL_ENOSPC);
        return len - 1;
    }
    return n;
}

int32_t put_line(qel_handle_t *h, char *buf, int32_t indent, const char *label,
                 const std::string &value, int32_t len, uint32_t *err) {
    std::string line = std::string(indent > 0 ? static_cast<size_t>(indent) : 0, ' ');
    line += label != nullptr ? label : "";
    line += ':';
    line += value;
    line += '\n';
    return put(h, buf, len, line, err);
}

std::string open_tag(const char *tag, int64_t flag) {
    std::string text = "<";
    if (tag != nullptr) text += tag;
    if (flag != 0) text += " state=\"" + std::to_string(flag) + "\"";
    text += '>';
    return text;
}

int32_t put_element(qel_handle_t *h, char *buf, const char *tag, const std::string &text,
                    int32_t len, int64_t flag, uint32_t *err) {
    std::string element = open_tag(tag, flag);
    element += text;
    element += "</";
    if (tag != nullptr) element += tag;
    element += '>';
    return put(h, buf, len, element, err);
}

std::string c_quoted(const char *s, size_t n, char quote) {
    std::string out(1, quote);
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        switch (c) {
        case '\\': out += "\\\\"; continue;
        case '\n': out += "\\n"; continue;
        case '\t': out += "\\t"; continue;
        case '\r': out += "\\r"; continue;
        default: break;
        }
        if (c == static_cast<unsigned char>(quote)) {
            out += '\\';
            out += quote;
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += quote;
    return out;
}

std::string xml_text(const char *s, size_t n) {
    std::string out;
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    for (size_t i = 0; i < n;) {
        unsigned char c = u[i];
        if (c >= 0x80) {
            size_t k = utf8_char(u + i, n - i);
            if (k == 0) {
                out += "&#xFFFD;";
                ++i;
            } else {
                out.append(s + i, k);
                i += k;
            }
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\r': out += "&#xD;"; break;
        case '\t':
        case '\n': out += static_cast<char>(c); break;
        default:
            if (c < 0x20)
                out += "&#xFFFD;";
            else
                out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

int32_t element_text(void *doc, const char *path, std::string *out) {
    if (doc == nullptr || path == nullptr) return QEL_EINVAL;
    xmlXPathObjectPtr res = eval_path(static_cast<xmlDocPtr>(doc), path);
    if (res == nullptr) return QEL_EINVAL;
    if (node_count(res) == 0) {
        xmlXPathFreeObject(res);
        return QEL_ENOENT;
    }
    xmlChar *content = xmlNodeGetContent(res->nodesetval->nodeTab[0]);
    xmlXPathFreeObject(res);
    out->assign(content != nullptr ? reinterpret_cast<const char *>(content) : "");
    xmlFree(content);
    return 0;
}

void xpath_message(char *msg, uint32_t msg_size, const char *path) {
    if (msg != nullptr && msg_size != 0)
        std::snprintf(msg, msg_size, "Failed xpath: %s", path != nullptr ? path : "");
}

} // namespace qel_standin::detail

using namespace qel_standin::detail;

extern "C" {

int32_t qel_print_space(qel_handle_t *h, uint32_t, char *buf, int32_t indent, int32_t len,
                        uint32_t *err) {
    if (!begin(h, err)) return 0;
    return put_fill(h, buf, len, ' ', indent > 0 ? static_cast<size_t>(indent) : 0, err);
}

int32_t qel_snprintf(qel_handle_t *h, uint32_t, char *buf, int32_t len, uint32_t *err,
                     const char *fmt, ...) {
    if (!begin(h, err)) return 0;
    va_list ap;
    va_start(ap, fmt);
    int32_t n = put_format(h, buf, len, err, fmt, ap);
    va_end(ap);
    return n;
}

int32_t start_tag(qel_handle_t *h, uint32_t ctx, char *buf, const char *tag, int32_t len,
                  int32_t flag, uint32_t *err) {
    qel_standin::record_call(h, {"start_tag", ctx, buf, tag, flag});
    if (!begin(h, err)) return 0;
    return put(h, buf, len, open_tag(tag, flag), err);
}

int32_t end_tag(qel_handle_t *h, uint32_t, char *buf, const char *tag, int32_t len,
                uint32_t *err) {
    if (!begin(h, err)) return 0;
    std::string text = "</";
    if (tag != nullptr) text += tag;
    text += '>';
    return put(h, buf, len, text, err);
}

int32_t xml_enum_print(qel_handle_t *h, uint32_t, char *buf, const char *text, int32_t len,
                       int32_t text_len, uint32_t *err) {
    if (!begin(h, err)) return 0;
    size_t n = 0;
    if (text != nullptr && text_len > 0) n = strnlen(text, static_cast<size_t>(text_len));
    return put(h, buf, len, text, n, err);
}

int32_t xml_get_element_value(void *doc, const char *path, char *buf, uint32_t size,
                              uint32_t *needed) {
    std::string text;
    int32_t rc = element_text(doc, path, &text);
    if (rc != 0) return rc;
    if (needed != nullptr) *needed = static_cast<uint32_t>(text.size());
    if (buf == nullptr || size < text.size() + 1) return QEL_ENOSPC;
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return 0;
}

int32_t xml_get_element_nodecount(void *doc, const char *path, uint32_t *count) {
    if (doc == nullptr || path == nullptr) return QEL_EINVAL;
    xmlXPathObjectPtr res = eval_path(static_cast<xmlDocPtr>(doc), path);
    if (res == nullptr) return QEL_EINVAL;
    if (count != nullptr) *count = static_cast<uint32_t>(node_count(res));
    xmlXPathFreeObject(res);
    return 0;
}

} // extern "C"
