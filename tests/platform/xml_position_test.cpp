// Where the runtime's documents say their elements start, what an element holds besides its fields'
// elements and its attributes, and where a text that is no document went wrong.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstring>
#include <string>
#include <vector>

#include "drov_def/runtime.h"
#include "qel.h"
#include "qel_standin.h"
#include "c_notation.h"

std::vector<std::string> golden_lines(const char *file); // xml_lookup_test.cpp
using test::unescape;

namespace {


// A document of the runtime's, freed at the end.
struct Doc {
    void *doc = nullptr;
    uint32_t rc;
    Doc(qel_handle_t *h, const std::string &text) : rc(drov_def_runtime_xml_parse(h, text.data(), text.size(), &doc)) {}
    ~Doc() { drov_def_runtime_xml_free(doc); }
};

// Every element in no namespace, depth first, as "name line:column".
void positions(void *doc, const void *elem, std::string &out) {
    uint32_t line = 99, column = 99;
    const int32_t rc = xml_element_position(doc, elem, &line, &column);
    out += (out.empty() ? "" : ", ") + std::string(xml_element_name(doc, elem)) + " " +
           (rc == 0 ? std::to_string(line) + ":" + std::to_string(column) : "unknown");
    for (const void *c = xml_element_next(doc, elem, nullptr, nullptr); c != nullptr;
         c = xml_element_next(doc, elem, c, nullptr))
        positions(doc, c, out);
}

std::string positions(void *doc, const char *root) {
    const void *elem = nullptr;
    uint32_t count = 0;
    if (xml_element_find(doc, root, &elem, &count) != 0 || elem == nullptr) return "no root";
    std::string out;
    positions(doc, elem, out);
    return out;
}

// tests/golden/platform/xml_positions, and a line of 70,000 blanks.
TEST(XmlPositions, EachElementStartsWhereItsStartTagDoes) {
    qel_handle_t *h = drov_def_runtime_new();
    std::vector<std::string> lines = golden_lines("xml_positions");
    ASSERT_EQ(lines.size(), 10u);
    lines.push_back("<a>" + std::string(70000, ' ') + "\n<b/>" + std::string(300, ' ') + "<c/></a> => a 1:1, b 2:1, c 2:305");
    for (const std::string &line : lines) {
        SCOPED_TRACE(line.substr(0, 80));
        const size_t arrow = line.rfind(" => ");
        Doc d(h, unescape(line.substr(0, arrow)));
        ASSERT_EQ(d.rc, 0u);
        EXPECT_EQ(positions(d.doc, "/a"), line.substr(arrow + 4));
    }
    drov_def_runtime_free(h);
}

// A long line of siblings: each one's column where its own tag starts (lines counted once over the
// text, so the cost stays linear).
TEST(XmlPositions, SiblingsOnOneLongLine) {
    std::string text = "<a>";
    for (int i = 0; i < 20000; ++i) text += i % 2 == 0 ? "<b/>" : "<b x='1'>t</b>";
    text += "</a>";
    void *doc = nullptr;
    ASSERT_EQ(drov_def_runtime_xml_read(text.data(), text.size(), &doc), 0u);
    const void *a = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(xml_element_find(doc, "/a", &a, &count), 0);
    uint32_t i = 0, expected = 4, line = 0, column = 0;
    for (const void *b = xml_element_next(doc, a, nullptr, nullptr); b != nullptr; b = xml_element_next(doc, a, b, nullptr), ++i) {
        ASSERT_EQ(xml_element_position(doc, b, &line, &column), 0);
        ASSERT_EQ(line, 1u);
        ASSERT_EQ(column, expected) << "element " << i;
        expected += i % 2 == 0 ? 4 : 14;
    }
    EXPECT_EQ(i, 20000u);
    drov_def_runtime_xml_free(doc);
}

// A program's own xmlDocPtr may use the nodes' application word: its elements have no position.
TEST(XmlPositions, UnknownOutsideTheRuntimesDocuments) {
    const std::string text = "<a><b/></a>";
    xmlDocPtr own = xmlReadMemory(text.data(), static_cast<int>(text.size()), "a.xml", nullptr, 0);
    ASSERT_NE(own, nullptr);
    xmlDocGetRootElement(own)->_private = reinterpret_cast<void *>(uintptr_t{0x100000001});
    const void *a = nullptr;
    uint32_t count = 0, line = 7, column = 7;
    ASSERT_EQ(xml_element_find(own, "/a", &a, &count), 0);
    EXPECT_EQ(xml_element_position(own, a, &line, &column), 2);
    EXPECT_EQ(line, 0u);
    EXPECT_EQ(column, 0u);
    xmlFreeDoc(own);

    void *doc = nullptr;
    ASSERT_EQ(drov_def_runtime_xml_read(text.data(), text.size(), &doc), 0u);
    EXPECT_EQ(xml_element_position(doc, nullptr, &line, &column), 2);
    EXPECT_EQ(xml_element_position(nullptr, a, nullptr, nullptr), 2);
    drov_def_runtime_xml_free(doc);
}

// ---- What an element holds ----------------------------------------------------------------------

// tests/golden/platform/xml_contents.
TEST(XmlContent, WhatAnElementHoldsBesidesItsFields) {
    const std::vector<std::string> lines = golden_lines("xml_contents");
    ASSERT_EQ(lines.size(), 11u);
    for (const std::string &line : lines) {
        SCOPED_TRACE(line);
        const size_t arrow = line.rfind("\" => ") + 1, space = line.find(' ', arrow + 4);
        const std::string held = line.substr(arrow + 4, space - arrow - 4), want = line.substr(space + 1);
        const std::string text = "<!DOCTYPE e [<!ENTITY e \"w\">]><e>" + unescape(line.substr(1, arrow - 2)) + "</e>";
        void *doc = nullptr;
        ASSERT_EQ(drov_def_runtime_xml_read(text.data(), text.size(), &doc), 0u);
        const void *e = nullptr;
        uint32_t count = 0, bits = 0;
        for (char c : held) bits |= c == 'E' ? QEL_XML_ELEMENTS : c == 'T' ? QEL_XML_TEXT : c == 'F' ? QEL_XML_FOREIGN : 0;
        ASSERT_EQ(xml_element_find(doc, "/e", &e, &count), 0);
        const char *first = "unset";
        EXPECT_EQ(xml_element_content(doc, e, &first), bits);
        EXPECT_EQ(first == nullptr ? "-" : "\"" + std::string(first) + "\"", unescape(want));
        EXPECT_EQ(xml_element_content(doc, e, nullptr), bits);
        drov_def_runtime_xml_free(doc);
    }
    EXPECT_EQ(xml_element_content(nullptr, nullptr, nullptr), 0u);
}

TEST(XmlContent, Attributes) {
    const std::string text = "<e value='12' p:value='3' empty='' long='123456789' xmlns:p='u'/>";
    void *doc = nullptr;
    ASSERT_EQ(drov_def_runtime_xml_read(text.data(), text.size(), &doc), 0u);
    const void *e = nullptr;
    uint32_t count = 0, needed = 0;
    ASSERT_EQ(xml_element_find(doc, "/e", &e, &count), 0);
    char buf[8] = "x";
    EXPECT_EQ(xml_element_attribute(doc, e, "value", buf, sizeof buf, &needed), 0);
    EXPECT_STREQ(buf, "12");
    EXPECT_EQ(needed, 2u);
    EXPECT_EQ(xml_element_attribute(doc, e, "empty", buf, sizeof buf, nullptr), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(xml_element_attribute(doc, e, "long", buf, sizeof buf, &needed), 28); // 9 + NUL > 8
    EXPECT_EQ(needed, 9u);
    EXPECT_EQ(xml_element_attribute(doc, e, "long", nullptr, 0, &needed), 28);
    EXPECT_EQ(xml_element_attribute(doc, e, "other", buf, sizeof buf, &needed), 2);
    EXPECT_EQ(xml_element_attribute(doc, e, "p", buf, sizeof buf, &needed), 2);
    EXPECT_EQ(xml_element_attribute(doc, nullptr, "value", buf, sizeof buf, &needed), 22);
    EXPECT_EQ(xml_element_attribute(doc, e, nullptr, buf, sizeof buf, &needed), 22);
    drov_def_runtime_xml_free(doc);
}

// ---- Texts that are no document -----------------------------------------------------------------

// tests/golden/platform/xml_malformed.
TEST(XmlParse, WhereATextFailsToBeADocument) {
    qel_handle_t *h = drov_def_runtime_new();
    const std::vector<std::string> lines = golden_lines("xml_malformed");
    ASSERT_EQ(lines.size(), 7u);
    for (const std::string &line : lines) {
        SCOPED_TRACE(line);
        const size_t arrow = line.rfind("\" => ") + 1, colon = line.find(':', arrow), space = line.find(' ', colon);
        const std::string text = unescape(line.substr(1, arrow - 2));
        void *doc = reinterpret_cast<void *>(1);
        EXPECT_EQ(drov_def_runtime_xml_parse(h, text.data(), text.size(), &doc), 22u);
        EXPECT_EQ(doc, nullptr);
        const drov_def_failure_t *f = drov_def_runtime_last_failure(h);
        EXPECT_EQ(f->code, 22u);
        EXPECT_STREQ(f->operation, "xml_parse");
        EXPECT_STREQ(f->type, "");
        EXPECT_STREQ(f->path, "");
        EXPECT_EQ(f->offset, -1);
        EXPECT_EQ(std::to_string(f->line) + ":" + std::to_string(f->column), line.substr(arrow + 4, space - arrow - 4));
        EXPECT_EQ(f->reason, unescape(line.substr(space + 1)));
        // the same answer without a handle
        EXPECT_EQ(drov_def_runtime_xml_read(text.data(), text.size(), &doc), 22u);
        EXPECT_EQ(drov_def_runtime_xml_parse(nullptr, text.data(), text.size(), &doc), 22u);
    }
    // Arguments it cannot use.
    void *doc = nullptr;
    const char *text = "<a/>";
    EXPECT_EQ(drov_def_runtime_xml_parse(h, nullptr, 4, &doc), 22u);
    EXPECT_STREQ(drov_def_runtime_last_failure(h)->reason, "no text");
    EXPECT_EQ(drov_def_runtime_xml_parse(h, text, 4, nullptr), 22u);
    EXPECT_STREQ(drov_def_runtime_last_failure(h)->reason, "no place for the document");
    EXPECT_EQ(drov_def_runtime_xml_parse(h, text, size_t{INT32_MAX} + 1, &doc), 22u);
    EXPECT_EQ(drov_def_runtime_last_failure(h)->line, 0u);
    // A document read leaves no failure behind.
    ASSERT_EQ(drov_def_runtime_xml_parse(h, text, 4, &doc), 0u);
    EXPECT_EQ(drov_def_runtime_last_error(h), 0u);
    EXPECT_EQ(drov_def_runtime_last_failure(h)->code, 0u);
    EXPECT_STREQ(drov_def_runtime_last_failure(h)->operation, "");
    drov_def_runtime_xml_free(doc);
    drov_def_runtime_free(h);
}

} // namespace
