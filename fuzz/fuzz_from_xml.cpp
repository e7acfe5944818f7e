// An XML document read by <type>_from_xml at one of a few paths (plain
// child paths, which the stand-in walks itself, and XPath expressions), into
// a fresh or a filled instance, with an allocation failing.  What a fresh
// instance of its type's highest variant read survives the wire form and
// renders as XML again; destroy returns every block.
#include <libxml/parser.h>

#include <string>

#include "fuzz_common.h"

using namespace drov_fuzz;

namespace {

// {} stands for the type's name; the byte after the case picks one.
constexpr const char *kPaths[] = {"/{}", "/m/{}", "/m/{}[2]", "//{}", "/*/{}", "/{}[1]"};

void quiet(void *, const char *, ...) {}

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
        void *inst = make_instance(hd, c);
        uint32_t err = 0;
        char msg[128] = "";
        // (The runtime's value readers write into the fields unannounced: no watch.)
        hd.fail_alloc(c.fail_at);
        o.from_xml(hd.h, 1, path.c_str(), doc, inst, &err, msg, sizeof msg);
        hd.fail_alloc(0);
        if (std::memchr(msg, '\0', sizeof msg) == nullptr) fault("from_xml left its message unterminated");
        // Fields of every variant are read, only the instance's are encoded.
        if (err == 0 && !c.filled && full(c.type, inst)) {
            check_round_trip(hd, c, inst, false);
            static std::vector<char> text(1 << 20);
            o.toxml_cr(hd.h, inst, text.data(), static_cast<uint32_t>(text.size()));
        }
        o.destroy(hd.h, 1, inst);
    }
    xmlFreeDoc(doc);
    return 0;
}
