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

namespace {

using std::string_literals::operator""s;

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

struct PositionRow {
    std::string text;
    const char *expected;
};

// Columns count bytes from 1, a byte order mark not among them; lines end at LF (CR LF too).
const PositionRow kPositions[] = {
    {"<a/>", "a 1:1"},
    {"<a>\n  <b x='1'   >t</b><c/>\n<d\n y=\"2\"/></a>", "a 1:1, b 2:3, c 2:20, d 3:1"},
    {"\xEF\xBB\xBF<a><b/></a>", "a 1:1, b 1:4"},
    {"<a>\r\n<b/>\r\n  <c/></a>", "a 1:1, b 2:1, c 3:3"},
    {"<a>\xC3\xA9\xE2\x82\xAC<b/></a>", "a 1:1, b 1:9"},                     // two characters of 5 bytes
    {"<a><!-- <x> --><?p <y>?><![CDATA[<z>]]><b t='>&lt;'/><c/></a>", "a 1:1, b 1:40, c 1:54"},
    {"<?xml version=\"1.0\"?>\n<!-- a\ncomment -->\n\n<a/>", "a 5:1"},
    {"<a xmlns:p='u'><p:b/><c/></a>", "a 1:1, c 1:22"},                      // p:b is in a namespace
    {"<!DOCTYPE a [<!ENTITY e \"<x/>\">]><a>&e;<b/></a>", "a 1:34, b 1:40"}, // x: the entity's
    {"<a>" + std::string(70000, ' ') + "\n<b/>" + std::string(300, ' ') + "<c/></a>", "a 1:1, b 2:1, c 2:305"},
    // another encoding: counted in characters, from the line the parser counts
    {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>\xE9\xE9<b/>\n <c/></a>", "a 2:1, b 2:6, c 3:2"},
};

TEST(XmlPositions, EachElementStartsWhereItsStartTagDoes) {
    qel_handle_t *h = drov_def_runtime_new();
    for (const PositionRow &row : kPositions) {
        Doc d(h, row.text);
        ASSERT_EQ(d.rc, 0u) << row.text.substr(0, 80);
        EXPECT_EQ(positions(d.doc, "/a"), row.expected) << row.text.substr(0, 80);
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

struct ContentRow {
    const char *inner; // the content of <e>
    uint32_t held;
    const char *text; // the first text from its first character that is no whitespace; null: none
};

constexpr uint32_t E = QEL_XML_ELEMENTS, T = QEL_XML_TEXT, F = QEL_XML_FOREIGN;
const ContentRow kContents[] = {
    {"", 0, nullptr},
    {" \t\r\n ", 0, nullptr},
    {"<!-- c --><?p x?>", 0, nullptr},
    {"<a/> <b/>", E, nullptr},
    {"<p:a xmlns:p='u'/>", F, nullptr},
    {"<a xmlns='u'/>", F, nullptr}, // a default namespace is a namespace
    {"  7 ", T, "7 "},
    {"<a/>\n  x<b/>y", E | T, "x"},
    {"<![CDATA[ ]]><![CDATA[ z]]>", T, "z"},
    {"&amp;", T, "&"},
    {"&e;", T, nullptr}, // the document's own entity: not looked into
};

TEST(XmlContent, WhatAnElementHoldsBesidesItsFields) {
    for (const ContentRow &row : kContents) {
        const std::string text = "<!DOCTYPE e [<!ENTITY e \"w\">]><e>"s + row.inner + "</e>";
        void *doc = nullptr;
        ASSERT_EQ(drov_def_runtime_xml_read(text.data(), text.size(), &doc), 0u) << row.inner;
        const void *e = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(xml_element_find(doc, "/e", &e, &count), 0);
        const char *first = "unset";
        EXPECT_EQ(xml_element_content(doc, e, &first), row.held) << row.inner;
        if (row.text == nullptr)
            EXPECT_EQ(first, nullptr) << row.inner;
        else
            EXPECT_STREQ(first, row.text) << row.inner;
        EXPECT_EQ(xml_element_content(doc, e, nullptr), row.held) << row.inner;
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

struct MalformedRow {
    std::string text;
    uint32_t line, column;
    const char *reason;
};

// The parser's first error: where it found it and its message.
const MalformedRow kMalformed[] = {
    {"<vm_act_rsp><rc></vm_act_rsp>", 1, 30, "Opening and ending tag mismatch: rc line 1 and vm_act_rsp"},
    {"", 1, 1, "Document is empty"},
    {"<a>\n<b>\n</a>", 3, 5, "Opening and ending tag mismatch: b line 2 and a"},
    {"<a x='1' x='2'/>", 1, 15, "Attribute x redefined"},
    {"<a>\n  &foo;</a>", 2, 8, "Entity 'foo' not defined"},
    {"<a/><b/>", 1, 5, "Extra content at the end of the document"},
    {"<a>\xFF</a>", 1, 4, "Input is not proper UTF-8, indicate encoding !\nBytes: 0xFF 0x3C 0x2F 0x61"},
};

TEST(XmlParse, WhereATextFailsToBeADocument) {
    qel_handle_t *h = drov_def_runtime_new();
    for (const MalformedRow &row : kMalformed) {
        void *doc = reinterpret_cast<void *>(1);
        EXPECT_EQ(drov_def_runtime_xml_parse(h, row.text.data(), row.text.size(), &doc), 22u) << row.text;
        EXPECT_EQ(doc, nullptr);
        const drov_def_failure_t *f = drov_def_runtime_last_failure(h);
        EXPECT_EQ(f->code, 22u) << row.text;
        EXPECT_STREQ(f->operation, "xml_parse");
        EXPECT_STREQ(f->type, "");
        EXPECT_STREQ(f->path, "");
        EXPECT_EQ(f->offset, -1);
        EXPECT_EQ(f->line, row.line) << row.text;
        EXPECT_EQ(f->column, row.column) << row.text;
        EXPECT_STREQ(f->reason, row.reason) << row.text;
        // the same answer without a handle
        EXPECT_EQ(drov_def_runtime_xml_read(row.text.data(), row.text.size(), &doc), 22u);
        EXPECT_EQ(drov_def_runtime_xml_parse(nullptr, row.text.data(), row.text.size(), &doc), 22u);
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
