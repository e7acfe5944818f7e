// An XML document read by <type>_from_xml at one of a few paths (plain child paths, which the
// stand-in walks itself, and XPath expressions), into a fresh or a filled instance, with an
// allocation failing, by paths and by elements (QEL_FEATURE_XML_ELEMENTS), which must agree.  What
// a fresh instance of its type's highest variant read survives the wire form and renders as XML
// again; destroy returns every block.
#include <libxml/parser.h>

#include <string>

#include "fuzz_common.h"

using namespace drov_fuzz;

namespace {

// {} stands for the type's name; the byte after the case picks one.
constexpr const char *kPaths[] = {"/{}", "/m/{}", "/m/{}[2]", "//{}", "/*/{}", "/{}[1]"};

void quiet(void *, const char *, ...) {}

// What one read leaves.
struct Read {
    void *inst;
    uint32_t err = 0;
    char msg[128] = "";
    uint32_t last_error = 0;
};

Read read(const Handle &hd, const Case &c, const std::string &path, xmlDocPtr doc) {
    Read r;
    r.inst = make_instance(hd, c);
    // (The runtime's value readers write into the fields unannounced: no watch.)
    hd.fail_alloc(c.fail_at);
    ops(c.type).from_xml(hd.h, 1, path.c_str(), doc, r.inst, &r.err, r.msg, sizeof r.msg);
    hd.fail_alloc(0);
    r.last_error = hd.st().last_error;
    if (std::memchr(r.msg, '\0', sizeof r.msg) == nullptr) fault("from_xml left its message unterminated");
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Case c;
    if (!Case::parse(data, size, c)) return 0;
    std::string path = kPaths[data[0] % std::size(kPaths)];
    path.replace(path.find("{}"), 2, name(c.type));
    xmlSetGenericErrorFunc(nullptr, quiet);
    const auto len = static_cast<int>(std::min<size_t>(size - 1, INT32_MAX));
    xmlDocPtr doc = xmlReadMemory(reinterpret_cast<const char *>(data + 1), len, "input.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) return 0;
    {
        const Handle hd(c);
        const Ops &o = ops(c.type);
        // Read by paths and by elements, each into an instance of its own: the two leave the same.
        const uint32_t features = hd.h->features;
        hd.h->features = features & ~QEL_FEATURE_XML_ELEMENTS;
        const Read by_path = read(hd, c, path, doc);
        hd.h->features = features | QEL_FEATURE_XML_ELEMENTS;
        const Read by_element = read(hd, c, path, doc);
        if (by_path.err != by_element.err || std::strcmp(by_path.msg, by_element.msg) != 0 ||
            by_path.last_error != by_element.last_error)
            fault("by paths %u \"%s\" (last %u), by elements %u \"%s\" (last %u)", by_path.err,
                  by_path.msg, by_path.last_error, by_element.err, by_element.msg, by_element.last_error);
        if (const std::string d = walk::diff(c.type, by_path.inst, by_element.inst); !d.empty())
            fault("read by paths and by elements: %s", d.c_str());
        void *inst = by_element.inst;
        // Fields of every variant are read, only the instance's are encoded.
        if (by_element.err == 0 && !c.filled && full(c.type, inst)) {
            check_round_trip(hd, c, inst, false);
            static std::vector<char> text(1 << 20);
            o.toxml_cr(hd.h, inst, text.data(), static_cast<uint32_t>(text.size()));
        }
        o.destroy(hd.h, 1, by_path.inst);
        o.destroy(hd.h, 1, inst);
    }
    xmlFreeDoc(doc);
    return 0;
}
