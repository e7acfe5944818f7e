// XML text into a document for the from_xml operations, and back to free it
// (drov_def/runtime.h), so that programs read XML without calling libxml2.
//
// While it parses, the runtime notes where each element's start tag begins
// (its line and column), for the readers that say where a document is
// wrong, and the first error that made the text no document.
#define DROV_DEF_RUNTIME_API __attribute__((visibility("default")))
#include "drov_def/runtime.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "detail.h"

using qel_standin::detail::adopt_document;
using qel_standin::detail::pack_position;
using qel_standin::detail::release_document;

namespace {

// What one parse keeps besides the tree: the place of the last start tag
// it counted lines up to, and the first error.
class Parse {
public:
    struct Error {
        int code = 0;
        int line = 0;   // from 1; 0: none
        int column = 0; // from 1 (libxml2's int2)
    };

    Parse(xmlParserCtxtPtr ctxt, const char *text, size_t len) : ctxt_(ctxt), text_(text), len_(len) {
        // A byte order mark is no column of the first line.
        if (len >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) line_start_ = at_ = 3;
    }

    // The position of the start tag the parser has just read (its input
    // stands after the name and attributes), packed; 0 when unknown.
    uintptr_t start_tag(xmlParserCtxtPtr c) {
        // Elements of an entity's replacement text are parsed from a text
        // of their own (and do not appear among the document's elements).
        if (c != ctxt_ || c->inputNr != 1) return 0;
        const xmlParserInputPtr in = c->input;
        if (in->buf != nullptr && in->buf->encoder == nullptr) return in_text(in);
        return converted(in);
    }

    void error(const xmlError *e) {
        if (have_error_ || e->level != XML_ERR_FATAL) return;
        have_error_ = true;
        keep(e);
    }
    // The first error, or else the parser's last (a failure with no fatal
    // error reported would be the parser's own doing).
    const Error &first() {
        if (!have_error_) keep(&ctxt_->lastError);
        return error_;
    }
    const char *message() const { return message_; }

private:
    // UTF-8 text (or ASCII) is parsed as it is: the input's bytes are the
    // text's from its first, and lines and columns are counted in it,
    // from the last start tag on.
    uintptr_t in_text(const xmlParserInputPtr in) {
        size_t lt = static_cast<size_t>(in->consumed) + static_cast<size_t>(in->cur - in->base);
        if (lt >= len_) return 0;
        while (lt > at_ && text_[lt] != '<') --lt;
        if (lt >= len_ || text_[lt] != '<') return 0;
        for (const char *p = text_ + at_, *end = text_ + lt;
             (p = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr;) {
            ++line_;
            line_start_ = static_cast<size_t>(++p - text_);
        }
        at_ = lt;
        return pack_position(line_, lt - line_start_ + 1);
    }
    // Text of another encoding is parsed as its UTF-8 form, which starts
    // after the XML declaration: the parser's own line, and its column,
    // which counts characters, are taken back to the '<'.
    static uintptr_t converted(const xmlParserInputPtr in) {
        const xmlChar *lt = in->cur;
        while (lt > in->base && *lt != '<') --lt;
        if (*lt != '<') return 0;
        long line = in->line, column = in->col; // the column of cur, from 1
        for (const xmlChar *p = lt; p < in->cur; ++p) {
            if (*p == '\n') --line;
            if ((*p & 0xC0) != 0x80) --column; // a character's first byte
        }
        return line >= 1 && column >= 1 ? pack_position(static_cast<uint64_t>(line),
                                                         static_cast<uint64_t>(column))
                                        : 0;
    }

    void keep(const xmlError *e) {
        error_ = Error{e->code, e->line, e->int2};
        // the message without its newline
        size_t n = e->message != nullptr ? std::strlen(e->message) : 0;
        while (n > 0 && (e->message[n - 1] == '\n' || e->message[n - 1] == ' ')) --n;
        std::snprintf(message_, sizeof message_, "%.*s", static_cast<int>(n),
                      n != 0 ? e->message : "");
    }

    xmlParserCtxtPtr ctxt_;
    const char *text_;
    size_t len_;
    size_t at_ = 0; // the last start tag's '<', lines counted up to it
    uint64_t line_ = 1;
    size_t line_start_ = 0;
    bool have_error_ = false;
    Error error_;
    char message_[256] = "";
};

Parse *parse_of(void *ctx) {
    return ctx != nullptr ? static_cast<Parse *>(static_cast<xmlParserCtxtPtr>(ctx)->_private)
                          : nullptr;
}

// libxml2's handler, then the new element's place.
void start_element(void *ctx, const xmlChar *localname, const xmlChar *prefix, const xmlChar *uri,
                   int nb_namespaces, const xmlChar **namespaces, int nb_attributes,
                   int nb_defaulted, const xmlChar **attributes) {
    auto *c = static_cast<xmlParserCtxtPtr>(ctx);
    const xmlNodePtr parent = c->node;
    xmlSAX2StartElementNs(ctx, localname, prefix, uri, nb_namespaces, namespaces, nb_attributes,
                          nb_defaulted, attributes);
    Parse *p = parse_of(ctx);
    if (c->node == nullptr || c->node == parent || p == nullptr) return; // no element made
    c->node->_private = reinterpret_cast<void *>(p->start_tag(c));
}

void parse_error(void *ctx, xmlErrorPtr e) {
    if (Parse *p = parse_of(ctx); p != nullptr && e != nullptr) p->error(e);
}

// How a parse failed, as the handle's last failure records it.
struct Failure {
    uint32_t code = 0;
    uint32_t line = 0, column = 0;
    char reason[256] = "";
    void set(uint32_t c, const char *why) {
        code = c;
        std::snprintf(reason, sizeof reason, "%s", why);
    }
};

uint32_t read_document(const char *text, size_t len, void **doc, Failure *f) {
    if (doc == nullptr) {
        f->set(QEL_EINVAL, "no place for the document");
        return f->code;
    }
    *doc = nullptr;
    if (text == nullptr) {
        f->set(QEL_EINVAL, "no text");
        return f->code;
    }
    if (len > static_cast<size_t>(INT_MAX)) {
        f->set(QEL_EINVAL, "text longer than 2147483647 bytes");
        return f->code;
    }
    xmlInitParser();
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (ctxt == nullptr) {
        f->set(QEL_ENOMEM, "out of memory");
        return f->code;
    }
    Parse parse(ctxt, text, len);
    ctxt->_private = &parse;
    ctxt->sax->startElementNs = start_element;
    ctxt->sax->serror = parse_error;
    // No network, no DTD or external entity loaded, no entity expanded in
    // place, and nothing printed: failures are the caller's to report.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDocPtr d = xmlCtxtReadMemory(ctxt, text, static_cast<int>(len), nullptr, nullptr, options);
    uint32_t rc = 0;
    if (d == nullptr || ctxt->wellFormed == 0) {
        const Parse::Error &e = parse.first();
        rc = e.code == XML_ERR_NO_MEMORY || ctxt->lastError.code == XML_ERR_NO_MEMORY ? QEL_ENOMEM
                                                                                      : QEL_EINVAL;
        f->set(rc, parse.message()[0] != '\0' ? parse.message() : "not a well-formed document");
        f->line = e.line > 0 ? static_cast<uint32_t>(e.line) : 0;
        f->column = e.line > 0 && e.column > 0 ? static_cast<uint32_t>(e.column) : 0;
        if (d != nullptr) xmlFreeDoc(d);
        d = nullptr;
    }
    xmlFreeParserCtxt(ctxt);
    if (d != nullptr) {
        // the runtime's own document, which lookups may keep nodes of
        *doc = adopt_document(d);
        if (*doc == nullptr) {
            xmlFreeDoc(d);
            rc = QEL_ENOMEM;
            f->set(rc, "out of memory");
        }
    }
    return rc;
}

} // namespace

extern "C" {

uint32_t drov_def_runtime_xml_read(const char *text, size_t len, void **doc) {
    Failure f;
    return read_document(text, len, doc, &f);
}

void drov_def_runtime_xml_free(void *doc) {
    if (doc != nullptr) release_document(doc);
}

uint32_t drov_def_runtime_xml_parse(struct qel_handle *h, const char *text, size_t len,
                                    void **doc) {
    Failure f;
    const uint32_t rc = read_document(text, len, doc, &f);
    if (rc == 0) {
        if (qel_standin::HandleState *s = qel_standin::detail::state_of(h)) {
            s->last_error = 0;
            s->placed = false;
        }
        return 0;
    }
    const drov_def_failure_t failure{rc, "xml_parse", "", "", -1, f.line, f.column, f.reason};
    drov_def_runtime_set_failure(h, &failure);
    return rc;
}

} // extern "C"
