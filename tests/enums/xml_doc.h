// A parsed XML document for from_xml tests.
#pragma once

#include <libxml/parser.h>

#include <memory>
#include <string>

namespace test {

struct XmlDoc {
    explicit XmlDoc(const std::string &text)
        : doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), "t.xml", nullptr, 0)) {}
    ~XmlDoc() { xmlFreeDoc(doc); }
    XmlDoc(const XmlDoc &) = delete;
    XmlDoc &operator=(const XmlDoc &) = delete;
    xmlDocPtr doc;
};

} // namespace test
