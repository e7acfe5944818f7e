// XML text into a document for the from_xml operations, and back to free it
// (drov_def/runtime.h), so that programs read XML without calling libxml2.
#define DROV_DEF_RUNTIME_API __attribute__((visibility("default")))
#include "drov_def/runtime.h"

#include <libxml/parser.h>

#include <climits>

#include "detail.h"

using qel_standin::detail::adopt_document;
using qel_standin::detail::release_document;

extern "C" {

uint32_t drov_def_runtime_xml_read(const char *text, size_t len, void **doc) {
    if (doc == nullptr) return QEL_EINVAL;
    *doc = nullptr;
    if (text == nullptr || len > static_cast<size_t>(INT_MAX)) return QEL_EINVAL;
    xmlInitParser();
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (ctxt == nullptr) return QEL_ENOMEM;
    // No network, no DTD or external entity loaded, no entity expanded in
    // place, and nothing printed: failures are the caller's to report.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDocPtr d = xmlCtxtReadMemory(ctxt, text, static_cast<int>(len), nullptr, nullptr, options);
    uint32_t rc = 0;
    if (d == nullptr || ctxt->wellFormed == 0) {
        rc = ctxt->lastError.code == XML_ERR_NO_MEMORY ? QEL_ENOMEM : QEL_EINVAL;
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
        }
    }
    return rc;
}

void drov_def_runtime_xml_free(void *doc) {
    if (doc != nullptr) release_document(doc);
}

} // extern "C"

extern "C" uint32_t drov_def_runtime_xml_parse(struct qel_handle *, const char *text, size_t len,
                                               void **doc) {
    return drov_def_runtime_xml_read(text, len, doc); // where it failed: not told yet
}
