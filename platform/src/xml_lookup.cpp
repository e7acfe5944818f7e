// XML element lookups: the element an XPath expression selects in a parsed
// document, and how many it selects.
//
// The library's paths are plain child paths ("/r/list/elem[3]/mtu"): names
// and positions only.  Those are walked on the tree directly; anything else
// goes to libxml2's XPath.  The walk selects what XPath selects: at each
// step the element children (no other nodes) whose name is the step's name
// and that are in no namespace, the n-th of them per parent for [n].  All
// nodes a step selects are at the same depth, so taking the parents in
// document order and each parent's children in order gives document order
// with no node twice, as XPath's node-sets are ordered; the first node of
// the walk is XPath's first node, and the walk's count its count.
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <cstring>

#include "detail.h"

namespace qel_standin::detail {

namespace {

// ---- Plain child paths ------------------------------------------------------------

// Longer paths (and longer numbers) go to XPath, whose limits they could meet.
constexpr int kMaxSteps = 64;
constexpr int kMaxDigits = 9;

struct Step {
    const char *name;
    size_t len;
    uint32_t position; // 0: every element of the name
    // a node name found equal to the step's: names shared through the
    // document's dictionary are then compared by address
    mutable const xmlChar *seen;
};

// The ASCII characters of names: 1 may start a name, 2 may follow.
struct NameChars {
    uint8_t kind[256];
    constexpr NameChars() : kind{} {
        for (int c = 0; c < 256; ++c) {
            bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
            bool more = start || (c >= '0' && c <= '9') || c == '-' || c == '.';
            kind[c] = start ? 1 : more ? 2 : 0;
        }
    }
};
constexpr NameChars kNameChars;
bool name_start(char c) { return kNameChars.kind[static_cast<unsigned char>(c)] == 1; }
bool name_char(char c) { return kNameChars.kind[static_cast<unsigned char>(c)] != 0; }

// Splits "/name[/name][n]..." into steps; false for anything else.
bool plain_path(const char *path, Step *steps, int *count) {
    int n = 0;
    const char *p = path;
    while (*p == '/') {
        ++p;
        if (n == kMaxSteps || !name_start(*p)) return false;
        Step &s = steps[n++];
        s.name = p;
        while (name_char(*p)) ++p;
        s.len = static_cast<size_t>(p - s.name);
        s.position = 0;
        s.seen = nullptr;
        if (*p == '[') {
            ++p;
            if (*p < '1' || *p > '9') return false;
            int digits = 0;
            uint32_t v = 0;
            while (*p >= '0' && *p <= '9') {
                if (++digits > kMaxDigits) return false;
                v = v * 10 + static_cast<uint32_t>(*p++ - '0');
            }
            if (*p++ != ']') return false;
            s.position = v;
        }
    }
    *count = n;
    return *p == '\0' && n > 0;
}

bool selects(const xmlNode *node, const Step &s) {
    if (node->type != XML_ELEMENT_NODE || node->ns != nullptr) return false;
    if (node->name == s.seen) return true;
    const auto *name = reinterpret_cast<const char *>(node->name);
    // the step's name holds no NUL: a shorter name differs at its end
    for (size_t i = 0; i < s.len; ++i)
        if (name[i] != s.name[i]) return false;
    if (name[s.len] != '\0') return false;
    s.seen = node->name;
    return true;
}

// Calls visit(node) for the nodes that steps [s, end) select under parent,
// in document order, while it returns true; false once it returned false.
template <class Visit> bool walk(const xmlNode *parent, const Step *s, const Step *end, Visit &visit) {
    uint32_t seen = 0;
    for (const xmlNode *c = parent->children; c != nullptr; c = c->next) {
        if (!selects(c, *s)) continue;
        ++seen;
        if (s->position != 0 && seen != s->position) continue;
        bool more = s + 1 == end ? visit(c) : walk(c, s + 1, end, visit);
        if (!more || s->position != 0) return more;
    }
    return true;
}

// Documents only: XPath's root is whatever it is given, the walk knows these.
bool walkable(const xmlDoc *doc) {
    return doc->type == XML_DOCUMENT_NODE || doc->type == XML_HTML_DOCUMENT_NODE;
}

// ---- XPath ------------------------------------------------------------------------

// One XPath context per thread, reused for every document.  Before each
// evaluation everything an evaluation reads or leaves behind is set as a
// new context has it (the document, no context node, no position or size,
// no recursion depth or operation count), so the context keeps nothing of
// an earlier document: one freed and another allocated at its address
// cannot meet anything stale.  What stays is the function table and the
// object cache, which hold no nodes.
class XPathContext {
public:
    ~XPathContext() {
        if (ctx_ != nullptr) xmlXPathFreeContext(ctx_);
    }
    xmlXPathContextPtr for_document(xmlDocPtr doc) {
        if (ctx_ == nullptr) {
            ctx_ = xmlXPathNewContext(doc);
            if (ctx_ == nullptr) return nullptr;
            ctx_->error = [](void *, auto) {}; // errors print nothing
        }
        ctx_->doc = doc;
        // libxml2 puts these back after each evaluation, failed ones too;
        // they are set here all the same, so as not to depend on it
        ctx_->node = nullptr;           // mutants: skip
        ctx_->contextSize = -1;         // mutants: skip
        ctx_->proximityPosition = -1;   // mutants: skip
        ctx_->here = nullptr;           // mutants: skip
        ctx_->origin = nullptr;         // mutants: skip
        ctx_->depth = 0;                // mutants: skip
        ctx_->opCount = 0;              // mutants: skip
        xmlResetError(&ctx_->lastError); // mutants: skip
        return ctx_;
    }

private:
    xmlXPathContextPtr ctx_ = nullptr;
};

thread_local XPathContext t_xpath;

// Evaluates an XPath expression to a node set; null for a malformed one or
// one that is no node set.
xmlXPathObjectPtr eval_path(xmlDocPtr doc, const char *path) {
    xmlXPathContextPtr xp = t_xpath.for_document(doc);
    if (xp == nullptr) return nullptr;
    xmlXPathObjectPtr res = xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(path), xp);
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

// Runs take(first, count) on the nodes the path selects: the first (null
// for none) and, when counting, how many; false for an unusable expression.
// The first node is only valid during take: XPath gives copies of namespace
// nodes that go with its result.
template <class Take> bool find(xmlDocPtr doc, const char *path, bool counting, Take &&take) {
    Step steps[kMaxSteps];
    int n = 0;
    if (walkable(doc) && plain_path(path, steps, &n)) {
        const xmlNode *first = nullptr;
        uint32_t found = 0;
        auto visit = [&](const xmlNode *node) {
            if (found++ == 0) first = node;
            return counting;
        };
        walk(reinterpret_cast<const xmlNode *>(doc), steps, steps + n, visit);
        take(first, found);
        return true;
    }
    xmlXPathObjectPtr res = eval_path(doc, path);
    if (res == nullptr) return false;
    int k = node_count(res);
    take(k > 0 ? res->nodesetval->nodeTab[0] : nullptr, static_cast<uint32_t>(k));
    xmlXPathFreeObject(res);
    return true;
}

} // namespace

ElementText::~ElementText() {
    if (owned_ != nullptr) xmlFree(owned_);
}

int32_t element_text(void *doc, const char *path, ElementText *out) {
    if (doc == nullptr || path == nullptr) return QEL_EINVAL;
    bool found = false;
    auto take = [&](const xmlNode *node, uint32_t) {
        if (node == nullptr) return;
        found = true;
        // The content of an element of one text node (or none) is that
        // text; other nodes are left to libxml2 (descendants, entities, ...).
        const xmlNode *only = node->type == XML_ELEMENT_NODE ? node->children : nullptr;
        const xmlChar *text = nullptr;
        if (node->type == XML_ELEMENT_NODE &&
            (only == nullptr || (only->next == nullptr && (only->type == XML_TEXT_NODE ||
                                                           only->type == XML_CDATA_SECTION_NODE)))) {
            if (only != nullptr) text = only->content;
        } else {
            xmlChar *content = xmlNodeGetContent(node);
            out->owned_ = content;
            text = content;
        }
        out->p_ = text != nullptr ? reinterpret_cast<const char *>(text) : "";
        out->n_ = std::strlen(out->p_);
    };
    if (!find(static_cast<xmlDocPtr>(doc), path, false, take)) return QEL_EINVAL;
    return found ? 0 : QEL_ENOENT;
}

} // namespace qel_standin::detail

using namespace qel_standin::detail;

extern "C" {

int32_t xml_get_element_value(void *doc, const char *path, char *buf, uint32_t size,
                              uint32_t *needed) {
    ElementText text;
    int32_t rc = element_text(doc, path, &text);
    if (rc != 0) return rc;
    if (needed != nullptr) *needed = static_cast<uint32_t>(text.size());
    if (buf == nullptr || size < text.size() + 1) return QEL_ENOSPC;
    std::memcpy(buf, text.data(), text.size() + 1);
    return 0;
}

int32_t xml_get_element_nodecount(void *doc, const char *path, uint32_t *count) {
    if (doc == nullptr || path == nullptr) return QEL_EINVAL;
    uint32_t n = 0;
    if (!find(static_cast<xmlDocPtr>(doc), path, true, [&](const xmlNode *, uint32_t k) { n = k; }))
        return QEL_EINVAL;
    if (count != nullptr) *count = n;
    return 0;
}

} // extern "C"
