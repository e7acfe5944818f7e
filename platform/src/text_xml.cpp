// Bounded text output and XML element lookups.
//
// Every writer puts at most len-1 characters and a NUL into buf and returns
// the characters written.  Output that does not fit is cut and reported as
// 28 (no space): in *err unless an earlier error is already there, and in
// the handle's last error.  Writers keep going after an earlier error; the
// module checks the error word once at the end of a whole print.
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "qel_standin.h"

namespace {

void no_space(qel_handle_t *h, uint32_t *err) {
    if (err != nullptr && *err == 0) *err = QEL_ENOSPC;
    if (h != nullptr) qel_store_err(h, QEL_ENOSPC);
}

// Copies n characters of text (or n copies of fill when text is null).
int32_t bounded_write(qel_handle_t *h, char *buf, int32_t len, const char *text, size_t n,
                      char fill, uint32_t *err) {
    if (buf == nullptr || len < 1) {
        if (n > 0) no_space(h, err);
        return 0;
    }
    size_t room = static_cast<size_t>(len) - 1;
    size_t k = n < room ? n : room;
    if (text != nullptr)
        std::memcpy(buf, text, k);
    else
        std::memset(buf, fill, k);
    buf[k] = '\0';
    if (k < n) no_space(h, err);
    return static_cast<int32_t>(k);
}

int32_t write_str(qel_handle_t *h, char *buf, int32_t len, const char *text, uint32_t *err) {
    return bounded_write(h, buf, len, text, std::strlen(text), 0, err);
}

std::string tag_text(const char *open, const char *tag) {
    std::string text(open);
    if (tag != nullptr) text.append(tag);
    text.push_back('>');
    return text;
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
    return res->nodesetval != nullptr ? res->nodesetval->nodeNr : 0;
}

} // namespace

extern "C" {

int32_t qel_print_space(qel_handle_t *h, uint32_t, char *buf, int32_t indent, int32_t len,
                        uint32_t *err) {
    size_t n = indent > 0 ? static_cast<size_t>(indent) : 0;
    return bounded_write(h, buf, len, nullptr, n, ' ', err);
}

int32_t qel_snprintf(qel_handle_t *h, uint32_t, char *buf, int32_t len, uint32_t *err,
                     const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n;
    if (buf == nullptr || len < 1) {
        n = std::vsnprintf(nullptr, 0, fmt, ap);
        va_end(ap);
        if (n > 0) no_space(h, err);
        return 0;
    }
    n = std::vsnprintf(buf, static_cast<size_t>(len), fmt, ap);
    va_end(ap);
    if (n < 0) {
        buf[0] = '\0';
        return 0;
    }
    if (n >= len) {
        no_space(h, err);
        return len - 1;
    }
    return n;
}

int32_t start_tag(qel_handle_t *h, uint32_t, char *buf, const char *tag, int32_t len, int32_t,
                  uint32_t *err) {
    return write_str(h, buf, len, tag_text("<", tag).c_str(), err);
}

int32_t end_tag(qel_handle_t *h, uint32_t, char *buf, const char *tag, int32_t len,
                uint32_t *err) {
    return write_str(h, buf, len, tag_text("</", tag).c_str(), err);
}

int32_t xml_enum_print(qel_handle_t *h, uint32_t, char *buf, const char *text, int32_t len,
                       int32_t text_len, uint32_t *err) {
    size_t n = 0;
    if (text != nullptr && text_len > 0) n = strnlen(text, static_cast<size_t>(text_len));
    return bounded_write(h, buf, len, text, n, 0, err);
}

int32_t xml_get_element_value(void *doc, const char *path, char *buf, uint32_t size,
                              uint32_t *needed) {
    if (doc == nullptr || path == nullptr) return QEL_EINVAL;
    xmlXPathObjectPtr res = eval_path(static_cast<xmlDocPtr>(doc), path);
    if (res == nullptr) return QEL_EINVAL;
    if (node_count(res) == 0) {
        xmlXPathFreeObject(res);
        return QEL_ENOENT;
    }
    xmlChar *content = xmlNodeGetContent(res->nodesetval->nodeTab[0]);
    xmlXPathFreeObject(res);
    const char *text = content != nullptr ? reinterpret_cast<const char *>(content) : "";
    size_t n = std::strlen(text);
    int32_t rc = 0;
    if (needed != nullptr) *needed = static_cast<uint32_t>(n);
    if (buf == nullptr || size < n + 1)
        rc = QEL_ENOSPC;
    else
        std::memcpy(buf, text, n + 1);
    xmlFree(content);
    return rc;
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
