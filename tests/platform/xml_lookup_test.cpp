// Element lookups that start from what the lookup before them found: every answer is XPath's,
// whatever came before it (paths in any order), for documents the runtime read (with and without
// their name table) and documents libxml2 parsed.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "drov_def/runtime.h"
#include "qel_standin.h"

// The lines of a golden file of this folder but its comments, "{long}"
// standing for a name of 300 characters (standin_test.cpp reads them too).
std::vector<std::string> golden_lines(const char *file) {
    std::ifstream in(std::string(DROV_TEST_GOLDEN_DIR "/platform/") + file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        for (size_t at; (at = line.find("{long}")) != std::string::npos;) line.replace(at, 6, std::string(300, 'n'));
        lines.push_back(line);
    }
    return lines;
}

namespace {

using std::string_literals::operator""s;

// What a lookup answers: the value lookup's code and text, the count
// lookup's code and count, the element lookup's code.
struct Answer {
    int32_t value_rc = -1;
    std::string value;
    int32_t count_rc = -1;
    uint32_t count = 0;
    int32_t element_rc = -1;
    bool operator==(const Answer &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Answer &a) {
    return os << "{value " << a.value_rc << " '" << a.value << "', count " << a.count_rc << " "
              << a.count << ", element " << a.element_rc << "}";
}

// The element lookup answers plain child paths (names, and positions of at most nine digits) in any
// document, however short or long the path; it refuses anything else with 22.
int32_t element_rc(const std::string &path) {
    auto name = [](char c, bool first) {
        return std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
               (!first && (std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-'));
    };
    const char *p = path.c_str();
    do {
        if (*p++ != '/' || !name(*p, true)) return 22;
        while (name(*p, false)) ++p;
        if (*p != '[') continue;
        const char *d = ++p;
        while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
        if (*d == '0' || p == d || p - d > 9 || *p++ != ']') return 22;
    } while (*p != '\0');
    return 0;
}

// XPath's answer in a document libxml2 parsed (the reference).
Answer xpath_answer(xmlDocPtr doc, const std::string &path) {
    Answer a;
    xmlXPathContextPtr xp = xmlXPathNewContext(doc);
    xp->error = [](void *, auto) {};
    xmlXPathObjectPtr r = xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(path.c_str()), xp);
    if (r == nullptr || r->type != XPATH_NODESET) {
        a.value_rc = a.count_rc = 22;
    } else {
        const int n = r->nodesetval != nullptr ? r->nodesetval->nodeNr : 0;
        a.count_rc = 0;
        a.count = static_cast<uint32_t>(n);
        a.value_rc = n > 0 ? 0 : 2;
        if (n > 0) {
            xmlChar *content = xmlNodeGetContent(r->nodesetval->nodeTab[0]);
            a.value = reinterpret_cast<const char *>(content);
            xmlFree(content);
        }
    }
    xmlXPathFreeObject(r);
    xmlXPathFreeContext(xp);
    return a;
}

// The runtime's answer; the value lookup first or the count lookup first,
// then (for a path it reads by elements) the element lookup.
Answer lookup(void *doc, const std::string &path, bool count_first = false) {
    Answer a;
    auto count = [&] { a.count_rc = xml_get_element_nodecount(doc, path.c_str(), &a.count); };
    if (count_first) count();
    char buf[512] = "#";
    uint32_t needed = 0;
    a.value_rc = xml_get_element_value(doc, path.c_str(), buf, sizeof buf, &needed);
    if (a.value_rc == 0) {
        a.value = buf;
        EXPECT_EQ(needed, a.value.size()) << path;
    }
    if (!count_first) count();
    // A path it reads by elements: the same count, and the first element's value.
    const void *elem = nullptr;
    uint32_t found = 0;
    a.element_rc = xml_element_find(doc, path.c_str(), &elem, &found);
    if (a.element_rc == 0) {
        EXPECT_EQ(found, a.count) << path;
        char by_element[512] = "#";
        EXPECT_EQ(xml_element_value(doc, elem, by_element, sizeof by_element, nullptr), a.value_rc) << path;
        EXPECT_EQ(a.value_rc == 0 ? std::string(by_element) : a.value, a.value) << path;
    }
    return a;
}

// The runtime reader's options leave entities as references; a program's
// own document may have them replaced.
xmlDocPtr libxml2_doc(const std::string &text, int more = 0) {
    return xmlReadMemory(text.data(), static_cast<int>(text.size()), "t.xml", nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | more);
}
void *runtime_doc(const std::string &text) {
    void *doc = nullptr;
    EXPECT_EQ(drov_def_runtime_xml_read(text.data(), text.size(), &doc), 0u);
    return doc;
}

// The kinds of document a lookup meets.
enum class Kind { Runtime, RuntimeWithoutNames, Libxml2, Libxml2Entities };
const Kind kKinds[] = {Kind::Runtime, Kind::RuntimeWithoutNames, Kind::Libxml2, Kind::Libxml2Entities};
const char *name(Kind k) {
    const char *names[] = {"runtime", "runtime_no_name_table", "libxml2", "libxml2_entities_replaced"};
    return names[static_cast<int>(k)];
}
bool by_libxml2(Kind k) { return k == Kind::Libxml2 || k == Kind::Libxml2Entities; }
int parse_options(Kind k) { return k == Kind::Libxml2Entities ? XML_PARSE_NOENT : 0; }

// A document of one kind, freed with the last pointer to it.
std::shared_ptr<void> open(Kind kind, const std::string &text) {
    if (by_libxml2(kind)) return {libxml2_doc(text, parse_options(kind)), [](void *d) { xmlFreeDoc(static_cast<xmlDocPtr>(d)); }};
    qel_standin::set_xml_name_tables(kind == Kind::Runtime);
    std::shared_ptr<void> doc(runtime_doc(text), drov_def_runtime_xml_free);
    qel_standin::set_xml_name_tables(true);
    return doc;
}

// A document kind, and the golden document with its paths: the long one (every path kept in every
// kind of document) or the short one (paths compared eight characters at a time).
class XmlLookups : public ::testing::TestWithParam<std::tuple<Kind, std::string>> {
protected:
    void SetUp() override {
        const auto &[kind, stem] = GetParam();
        for (const std::string &line : golden_lines((stem + ".xml").c_str())) text_ += line + "\n";
        paths_ = golden_lines((stem + "_paths").c_str());
        ASSERT_GT(paths_.size(), 20u);
        paths_.push_back("");
        xmlDocPtr ref = libxml2_doc(text_, parse_options(kind));
        ASSERT_NE(ref, nullptr);
        for (const std::string &p : paths_) {
            want_.push_back(xpath_answer(ref, p));
            want_.back().element_rc = element_rc(p);
        }
        xmlFreeDoc(ref);
        doc_ = open(kind, text_);
        ASSERT_NE(doc_.get(), nullptr);
    }
    std::string text_;
    std::vector<std::string> paths_;
    std::vector<Answer> want_;
    std::shared_ptr<void> doc_;
};

// Every path after every other (in both orders of the two lookups), then all of them in several
// orders, the first the library's own (a list read element by element, each element's fields in
// turn, until one is absent): each answer is XPath's.
TEST_P(XmlLookups, PathsInAnyOrderSelectWhatXPathSelects) {
    void *doc = doc_.get();
    const size_t n = paths_.size();
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            lookup(doc, paths_[i], j % 2 == 0);
            ASSERT_EQ(lookup(doc, paths_[j], i % 2 == 0), want_[j]) << paths_[j] << " after " << paths_[i];
        }
    }
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::mt19937 shuffle(20240611);
    for (int round = 0; round < 6; ++round) {
        if (round == 1) std::reverse(order.begin(), order.end());
        if (round >= 2) std::shuffle(order.begin(), order.end(), shuffle);
        for (size_t i : order) ASSERT_EQ(lookup(doc, paths_[i], round % 2 == 1), want_[i]) << paths_[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Documents, XmlLookups,
                         ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::Values("lookup", "lookup_short")),
                         [](const auto &param) {
                             return name(std::get<0>(param.param)) + "_"s + std::get<1>(param.param);
                         });

// What the reader refuses, and what it takes; its free takes a document
// libxml2 made too (the sanitizer build would report it leaked).
TEST(XmlRead, RefusesWhatIsNoDocument) {
    struct Row {
        const char *text;
        size_t len;
        uint32_t want;
    };
    const std::string doc = "<r><a>1</a></r>";
    const Row rows[] = {{doc.c_str(), doc.size(), 0},
                        {"<r/>  \n", 7, 0},
                        {doc.c_str(), doc.size() - 1, 22}, // cut short
                        {"<r></s>", 7, 22},
                        {"<r/><r/>", 8, 22},                // two root elements
                        {"", 0, 22},
                        {nullptr, 4, 22},
                        {doc.c_str(), size_t{INT_MAX} + 1, 22},
                        {"<r>&x;</r>", 10, 22}}; // an entity never declared
    for (const Row &r : rows) {
        SCOPED_TRACE(r.text != nullptr ? std::string(r.text, strnlen(r.text, std::min<size_t>(r.len, 64))) : "null");
        void *out = reinterpret_cast<void *>(1);
        EXPECT_EQ(drov_def_runtime_xml_read(r.text, r.len, &out), r.want);
        EXPECT_EQ(out == nullptr, r.want != 0);
        if (r.want == 0) {
            EXPECT_EQ(lookup(out, "/r/a").value_rc, r.len == doc.size() ? 0 : 2);
        }
        drov_def_runtime_xml_free(out);
    }
    EXPECT_EQ(drov_def_runtime_xml_read(doc.c_str(), doc.size(), nullptr), 22u);
    char buf[4]; // a value needs room for its NUL; no document is refused
    uint32_t needed = 0, count = 0;
    EXPECT_EQ(xml_get_element_value(nullptr, "/r", buf, sizeof buf, &needed), 22);
    EXPECT_EQ(xml_get_element_nodecount(nullptr, "/r", &count), 22);
    xmlDocPtr own = libxml2_doc(doc);
    EXPECT_EQ(xml_get_element_value(own, "/r/a", buf, 1, &needed), 28);
    EXPECT_EQ(needed, 1u);
    EXPECT_EQ(xml_get_element_value(own, "/r/a", buf, 2, &needed), 0);
    EXPECT_STREQ(buf, "1");
    drov_def_runtime_xml_free(own);
    drov_def_runtime_xml_free(nullptr);
}

} // namespace
