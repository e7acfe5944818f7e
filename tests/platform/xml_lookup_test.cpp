// Element lookups that start from what the lookup before them found: every
// answer is XPath's for the document as it is now, whatever came before it
// (paths in any order, a document changed or freed and another at its
// address, documents of several threads), for documents the runtime read
// (with and without their name table) and documents libxml2 parsed.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "drov_def/runtime.h"
#include "qel_standin.h"

namespace {

using std::string_literals::operator""s;

// What a lookup answers: the value lookup's code and text, the count
// lookup's code and count.
struct Answer {
    int32_t value_rc = -1;
    std::string value;
    int32_t count_rc = -1;
    uint32_t count = 0;
    bool operator==(const Answer &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Answer &a) {
    return os << "{value " << a.value_rc << " '" << a.value << "', count " << a.count_rc << " "
              << a.count << "}";
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

// The runtime's answer; the value lookup first or the count lookup first.
Answer lookup(void *doc, const std::string &path, bool count_first = false) {
    Answer a;
    auto value = [&] {
        char buf[512] = "#";
        uint32_t needed = 0;
        a.value_rc = xml_get_element_value(doc, path.c_str(), buf, sizeof buf, &needed);
        if (a.value_rc == 0) {
            a.value = buf;
            EXPECT_EQ(needed, a.value.size()) << path;
        }
    };
    auto count = [&] { a.count_rc = xml_get_element_nodecount(doc, path.c_str(), &a.count); };
    if (count_first) {
        count();
        value();
    } else {
        value();
        count();
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
    const char *names[] = {"runtime", "runtime, no name table", "libxml2", "libxml2, entities replaced"};
    return names[static_cast<int>(k)];
}
bool by_libxml2(Kind k) { return k == Kind::Libxml2 || k == Kind::Libxml2Entities; }

// A document of one kind, freed at scope exit.
class Doc {
public:
    Doc(Kind kind, const std::string &text) : kind_(kind) {
        if (by_libxml2(kind)) {
            doc_ = libxml2_doc(text, kind == Kind::Libxml2Entities ? XML_PARSE_NOENT : 0);
        } else {
            qel_standin::set_xml_name_tables(kind == Kind::Runtime);
            doc_ = runtime_doc(text);
            qel_standin::set_xml_name_tables(true);
        }
    }
    ~Doc() {
        if (by_libxml2(kind_))
            xmlFreeDoc(static_cast<xmlDocPtr>(doc_));
        else
            drov_def_runtime_xml_free(doc_);
    }
    Doc(const Doc &) = delete;
    Doc &operator=(const Doc &) = delete;
    void *get() const { return doc_; }

private:
    Kind kind_;
    void *doc_;
};

const std::string kLong(300, 'n'); // two steps of it make a path too long to keep

// Traps for a walk and for what it keeps: other nodes between elements,
// elements in namespaces, names repeated at several depths and under
// several parents, names that begin others, mixed content, entities,
// a list with absent and repeated fields, and names of 300 characters.
const std::string kText =
    "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e \"ent<i>x</i>\">]>\n<!--before-->"
    "<r>\n  <a k=\"1\"><b>b1</b><!--c--><b>b2</b><?pi x?><c>c1</c></a>\n"
    "  <a k=\"2\"><b>b3</b>text<b><![CDATA[<b4>]]></b></a>\n"
    "  <x:a xmlns:x=\"urn:x\"><b>prefixed</b></x:a><a xmlns=\"urn:d\"><b>default</b></a>\n"
    "  <a><b>mixed <i>inner</i> tail</b><b>&e;</b><b/></a>\n"
    "  <d-e.f><_g>odd names</_g></d-e.f><ab>begins with a</ab><a2><b>b of a2</b></a2>\n"
    "  <l><e><n>1</n><v>one</v><value_one>v1</value_one><value_two>v2</value_two></e> <e><n>2</n></e><x/><e><n>3</n><v>three</v><v>again</v></e>"
    "<e/><e><n>5</n><e><n>inner</n></e></e><e><v>six</v><n>6</n></e></l>\n"
    "  <" + kLong + "><" + kLong + ">deep</" + kLong + "></" + kLong + ">\n"
    "</r>";

const std::vector<std::string> kPaths = {
    "/r", "/r/a", "/r/a/b", "/r/a[2]/b", "/r/a[2]/b[2]", "/r/a/b[2]", "/r/a[3]/b[1]",
    "/r/a[3]/b[2]", "/r/a[3]/b[3]", "/r/a[3]/b[4]", "/r/a[4]", "/r/a[9]/b", "/r/a/c",
    "/r/a[1]/c", "/r/d-e.f/_g", "/r/b", "/a", "/r/a/b/i", "/r/a[3]/b/i", "/r/ab", "/r/a2",
    "/r/a2/b", "/r/a[2]", "/r/a[1]", "/r/a[3]", "/r/l", "/r/l/e", "/r/l/e[1]", "/r/l/e[1]/n",
    "/r/l/e[1]/v", "/r/l/e[2]", "/r/l/e[2]/n", "/r/l/e[2]/v", "/r/l/e[3]/v", "/r/l/e[3]/v[2]",
    "/r/l/e[3]/v[3]", "/r/l/e[4]", "/r/l/e[4]/n", "/r/l/e[5]/n", "/r/l/e[5]/e/n", "/r/l/e[5]/e[1]/n",
    "/r/l/e[6]/n", "/r/l/e[6]/v", "/r/l/e[7]", "/r/l/e[7]/n", "/r/l/e[8]", "/r/l/e/n", "/r/l/e/v",
    "/r/l/e/v[2]", "/r/l/x", "/r/l/x/y", "/r/l/x[1]", "/r/l/x[2]", "/r/l/e[1]/value_one",
    "/r/l/e[1]/value_two", "/r/l/e[1]/value_on", "/r/none", "/r/none/deeper/still", "/r/l/none",
    "/r/" + kLong, "/r/" + kLong + "/" + kLong, "/r/" + kLong + "/" + kLong + "/none",
    // to XPath
    "/r/a[@k='2']/b", "/r/a[last()]/b", "//b", "/r/a/b[2][1]", "/r/*[3]/b", "/r/a/b/text()",
    "/r/a/@k", "/r/a[0]/b", "/r/a[01]/b", "/r/a[ 2 ]/b", "/r/a/b[1000000000]", "/r/x:a/b",
    "/r/a/", "/r/a[", "r/a", "", "/", "/r/a | /r/l"};

// The texts above with another root element: "r" itself, or a name long
// enough for every path in the root to be kept from one lookup to the next
// in a document of the program's own too (shorter paths are parsed whole).
std::string with_root(const std::string &text, const std::string &root) {
    // "r" after "/", "<" or "DOCTYPE ", before "/", ">", "[", " " or the end
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool starts = i == 0 || text[i - 1] == '/' || text[i - 1] == '<' ||
                            (i >= 8 && text.compare(i - 8, 8, "DOCTYPE ") == 0);
        const bool ends = i + 1 == text.size() || std::strchr("/>[ ", text[i + 1]) != nullptr;
        out += text[i] == 'r' && starts && ends ? root : std::string(1, text[i]);
    }
    return out;
}

class XmlLookups : public ::testing::TestWithParam<std::tuple<Kind, bool>> {
protected:
    void SetUp() override {
        const std::string root = std::get<1>(GetParam()) ? "r" + std::string(31, '_') : "r";
        text_ = with_root(kText, root);
        for (const std::string &p : kPaths) paths_.push_back(with_root(p, root));
        xmlDocPtr ref = libxml2_doc(text_, std::get<0>(GetParam()) == Kind::Libxml2Entities ? XML_PARSE_NOENT : 0);
        ASSERT_NE(ref, nullptr);
        for (const std::string &p : paths_) want_.push_back(xpath_answer(ref, p));
        xmlFreeDoc(ref);
        doc_ = std::make_unique<Doc>(std::get<0>(GetParam()), text_);
        ASSERT_NE(doc_->get(), nullptr);
    }
    std::string text_;
    std::vector<std::string> paths_;
    std::vector<Answer> want_;
    std::unique_ptr<Doc> doc_;
};

// Every path after every other (in both orders of the two lookups), then
// all of them in several orders: each answer is XPath's.
TEST_P(XmlLookups, PathsInAnyOrderSelectWhatXPathSelects) {
    void *doc = doc_->get();
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

// The library's own order: a list read element by element, each element's
// fields in turn, until an element is absent; then again from the start,
// and backwards.
TEST_P(XmlLookups, AListReadElementByElement) {
    xmlDocPtr ref = libxml2_doc(text_, std::get<0>(GetParam()) == Kind::Libxml2Entities ? XML_PARSE_NOENT : 0);
    const std::string list = with_root("/r/l/e[", std::get<1>(GetParam()) ? "r" + std::string(31, '_') : "r");
    auto check = [&](const std::string &p) { ASSERT_EQ(lookup(doc_->get(), p, true), xpath_answer(ref, p)) << p; };
    for (int pass = 0; pass < 2; ++pass) {
        for (int k = 1; k <= 8; ++k) {
            const std::string e = list + std::to_string(k) + "]";
            check(e);
            for (const char *f : {"/n", "/v", "/v[1]", "/v[2]", "/v[3]", "/e", "/e/n"}) check(e + f);
        }
    }
    for (int k = 8; k >= 1; --k) check(list + std::to_string(k) + "]/n");
    xmlFreeDoc(ref);
}

INSTANTIATE_TEST_SUITE_P(Documents, XmlLookups,
                         ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::Bool()),
                         [](const auto &param) {
                             std::string s = name(std::get<0>(param.param));
                             std::replace_if(s.begin(), s.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }, '_');
                             return s + (std::get<1>(param.param) ? "_long_root" : "");
                         });

// A document of the program's own changes between two lookups: nodes
// freed, added before the ones found, renamed, given other text.  Nothing
// found before is used (the sanitizer build would see a freed node read).
TEST(XmlLookupStaleness, AChangedDocumentIsAnsweredAsItIsNow) {
    xmlDocPtr doc = libxml2_doc("<r><a><b>1</b></a><a><b>2</b><b>3</b></a><c>x</c><l><e/><e/><e/></l></r>");
    ASSERT_NE(doc, nullptr);
    const std::vector<std::string> paths = {"/r/a[2]/b[2]", "/r/a[2]/b", "/r/c", "/r/a/b", "/r/a/bb",
                                            "/r/l/e[3]", "/r/l/e[2]", "/r/l/e"};
    auto check_all = [&](const char *when) {
        for (const std::string &p : paths) ASSERT_EQ(lookup(doc, p), xpath_answer(doc, p)) << p << " " << when;
    };
    check_all("at first");
    xmlNodePtr r = xmlDocGetRootElement(doc);
    xmlNodePtr a2 = r->children->next;
    xmlNodePtr b2 = a2->children->next; // the second b of the second a
    xmlUnlinkNode(b2);
    xmlFreeNode(b2);
    check_all("after freeing a b");
    xmlNodePtr c = a2->next;
    xmlNodePtr c0 = xmlNewDocNode(doc, nullptr, BAD_CAST "c", BAD_CAST "new");
    xmlAddPrevSibling(c, c0);
    check_all("after adding a c before the c");
    xmlNodeSetName(r->children->children, BAD_CAST "bb");
    xmlNodeSetContent(c, BAD_CAST "changed");
    check_all("after renaming a b");
    xmlNodePtr l = c->next;
    xmlNodePtr last = l->last;
    xmlUnlinkNode(last);
    xmlFreeNode(last);
    xmlUnlinkNode(a2);
    xmlFreeNode(a2);
    check_all("after freeing a list element and an a");
    xmlFreeDoc(doc);
}

// One document freed and the next read (often at the same address, with
// its names at the same places): the next is answered as itself, never
// with what was found in the one before, whichever kinds the two are.
TEST(XmlLookupStaleness, ADocumentAfterAFreedOneIsAnsweredAsItself) {
    for (int i = 0; i < 60; ++i) {
        // the same shape, other names and text
        const char *tag = i % 2 == 0 ? "aa" : "bb";
        const std::string text = "<r><"s + tag + "><v>" + std::to_string(i) + "</v></" + tag +
                                 "><l><e>" + std::to_string(i) + "</e>" + (i % 3 == 0 ? "<e>x</e>" : "") +
                                 "</l></r>";
        const Kind kind = kKinds[i % 4];
        Doc doc(kind, text);
        xmlDocPtr ref = libxml2_doc(text);
        for (const char *p : {"/r/aa/v", "/r/bb/v", "/r/aa", "/r/l/e[2]", "/r/l/e[1]", "/r/l/e", "/r/l/e[last()]", "//e[2]", "/r/*[1]/v"})
            ASSERT_EQ(lookup(doc.get(), p), xpath_answer(ref, p)) << p << " in document " << i << " ("
                                                                  << name(kind) << ")";
        xmlFreeDoc(ref);
    }
}

// The same path in documents one after another whose names sit at the
// same places (their dictionaries often at the same address): a name
// pointer found in one says nothing about the next.
TEST(XmlLookupStaleness, NamesOfAFreedDocumentSayNothing) {
    // names long enough for their paths to be kept
    const std::string a(16, 'a'), b(16, 'b'), v(16, 'v');
    const std::string in_a = "/" + a + "/" + v, in_b = "/" + b + "/" + v;
    for (const Kind kind : kKinds) {
        for (int i = 0; i < 40; ++i) {
            const std::string &root = i % 2 == 0 ? a : b;
            const std::string text = "<" + root + "><" + v + ">" + std::to_string(i % 2 + 1) + "</" + v +
                                     "></" + root + ">";
            Doc doc(kind, text);
            const std::string want_a = i % 2 == 0 ? "1" : "", want_b = i % 2 == 0 ? "" : "2";
            // each document begins with the path the one before ended with
            for (const auto &[path, want] : {std::pair{in_a, want_a}, {in_b, want_b}, {in_a, want_a}})
                ASSERT_EQ(lookup(doc.get(), path).value, want) << text << " " << name(kind) << " " << path;
        }
    }
}

// drov_def_runtime_xml_free also frees a document libxml2 made (the
// sanitizer build would report it leaked).
TEST(XmlLookupStaleness, TheRuntimeFreesALibxml2DocumentToo) {
    xmlDocPtr doc = libxml2_doc("<r><a>1</a></r>");
    ASSERT_EQ(lookup(doc, "/r/a").value, "1");
    drov_def_runtime_xml_free(doc);
    drov_def_runtime_xml_free(nullptr);
}

// Threads read documents of their own while others read and free theirs,
// and hand documents on to one another: every answer is the document's own.
TEST(XmlLookupThreads, DocumentsOfSeveralThreads) {
    auto text_of = [](int t, int i) {
        return "<r><t>" + std::to_string(t) + "</t><l><e>" + std::to_string(i) + "</e><e>" +
               std::to_string(i + 1) + "</e></l></r>";
    };
    auto read_all = [&](void *doc, int t, int i) {
        EXPECT_EQ(lookup(doc, "/r/t").value, std::to_string(t));
        EXPECT_EQ(lookup(doc, "/r/l/e[2]").value, std::to_string(i + 1));
        EXPECT_EQ(lookup(doc, "/r/l/e[1]").value, std::to_string(i));
        EXPECT_EQ(lookup(doc, "/r/l/e").count, 2u);
        EXPECT_EQ(lookup(doc, "/r/l/e[last()]").value, std::to_string(i + 1)) << "an XPath context of its own";
    };
    std::vector<void *> handed(4, nullptr);
    auto run = [&](int t) {
        for (int i = 0; i < 40; ++i) {
            const std::string text = text_of(t, i);
            Doc doc(kKinds[(t + i) % 4], text);
            read_all(doc.get(), t, i);
        }
        handed[static_cast<size_t>(t)] = runtime_doc(text_of(t, 100));
        read_all(handed[static_cast<size_t>(t)], t, 100);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(run, t);
    for (std::thread &th : threads) th.join();
    // each document on to another thread, which reads and frees it
    threads.clear();
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const int from = (t + 1) % 4;
            read_all(handed[static_cast<size_t>(from)], from, 100);
            drov_def_runtime_xml_free(handed[static_cast<size_t>(from)]);
        });
    }
    for (std::thread &th : threads) th.join();
}

// What the reader refuses, and what it takes.
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
}

} // namespace
