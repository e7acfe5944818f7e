// The print and XML forms of structures: the documents in tests/golden/structs/xml_reads.cases and
// what they leave; the plain forms, failures part way and hostile documents.  (Every type in every
// variant and tracking mode reading back equal from its XML: the concurrency test's rounds and the
// C++ walk.)
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "enums/xml_doc.h"
#include "struct_support.h"

namespace {

using qel_standin::Tracking;
using test::XmlDoc;
using namespace test::structs;

// Documents are read by paths (the calls an observer sees) and by elements.
constexpr uint32_t kReadings[] = {0u, QEL_FEATURE_XML_ELEMENTS};
using Text = uint32_t (*)(H, const void *, char *, uint32_t);

// print_cr or toxml_cr of an instance of type t.
std::string text(H h, uint32_t t, const char *op, const void *inst) {
    std::vector<char> buf(1 << 20);
    EXPECT_NE(walk::fn<Text>(walk::op(t, op))(h, inst, buf.data(), static_cast<uint32_t>(buf.size())), UINT32_MAX);
    return buf.data();
}

// ---- Reading documents -------------------------------------------------------------

// One case of xml_reads.cases (the file says what each line means): its
// lines by their first word, and what it prints.
struct ReadCase {
    std::string what, printed;
    std::multimap<std::string, std::string> lines;
    std::string text(const std::string &key) const { return lines.count(key) ? lines.find(key)->second : ""; }
    int64_t num(const std::string &key, int64_t otherwise) const {
        return lines.count(key) ? std::stoll(text(key)) : otherwise;
    }
    // The lines of `key`, each a word and a number.
    std::vector<std::pair<std::string, uint64_t>> pairs(const std::string &key) const {
        std::vector<std::pair<std::string, uint64_t>> out;
        for (auto [it, end] = lines.equal_range(key); it != end; ++it)
            out.emplace_back(it->second.substr(0, it->second.find(' ')), std::stoul(it->second.substr(it->second.find(' '))));
        return out;
    }
};

std::vector<ReadCase> read_cases() {
    std::ifstream in(DROV_DEF_GOLDEN_DIR "/xml_reads.cases");
    std::vector<ReadCase> out;
    bool printing = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("== ", 0) == 0) {
            out.emplace_back().what = line.substr(3);
            printing = false;
        } else if (printing) { // (print_cr writes no empty line)
            if (!line.empty()) out.back().printed += line + "\n";
        } else if (!line.empty() && line[0] != '#') {
            printing = line == "prints";
            const size_t space = line.find(' ');
            out.back().lines.emplace(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1));
        }
    }
    return out;
}

class ReadXml : public Owning {
protected:
    template <class T>
    using Reader = void (*)(H, uint32_t, const char *, void *, T *, uint32_t *, char *, uint32_t);
    // Reads inst from the document text at path.
    template <class T> void read(Reader<T> fn, const char *path, const std::string &xml, T *inst) {
        XmlDoc doc(xml);
        ASSERT_NE(doc.doc, nullptr);
        msg[0] = 0;
        fn(h, 1, path, doc.doc, inst, &err, msg, sizeof msg);
    }
    char msg[128] = "";
};

TEST_F(ReadXml, EachDocumentLeavesWhatItsCasePrints) {
    const std::vector<ReadCase> cases = read_cases();
    EXPECT_GE(cases.size(), 10u);
    for (const ReadCase &c : cases)
    for (const uint32_t reading : kReadings) {
        SCOPED_TRACE(c.what + (reading != 0 ? " (by elements)" : ""));
        const std::string type = c.text("type");
        const uint32_t t = walk::index_of(type);
        qel_standin::set_domain_variant(h, type, static_cast<int8_t>(c.num("variant", kTypes[t].highest())));
        h->features = reading;
        void *inst = walk::create(h, t);
        auto reader = walk::fn<Reader<void>>(walk::op(t, "from_xml"));
        for (auto [it, end] = c.lines.equal_range("before"); it != end; ++it)
            read(reader, ("/" + type).c_str(), it->second, inst);
        ASSERT_EQ(err, 0u);
        st().calls.clear();
        st().last_error = 0;
        err = static_cast<uint32_t>(c.num("pending", 0));
        const size_t writes = st().writes.size();
        read(reader, c.text("path").c_str(), c.text("read"), inst);
        if (c.lines.count("writes")) {
            EXPECT_EQ(static_cast<int64_t>(st().writes.size() - writes), c.num("writes", 0));
        }
        EXPECT_EQ(err, c.num("error", 0));
        EXPECT_EQ(msg, c.text("message"));
        EXPECT_EQ(st().last_error, c.num("last_error", st().last_error));
        for (const auto &[name, n] : c.pairs(reading == 0 ? "calls" : "element_calls")) EXPECT_EQ(calls(name), n) << name;
        for (const auto &[at, v] : c.pairs("holds")) EXPECT_EQ(walk::load<uint32_t>(inst, std::stoul(at)), v) << at;
        EXPECT_EQ(text(h, t, "print_cr", inst), c.printed);
        text(h, t, "toxml_cr", inst); // whatever was read renders again
        err = 0;
        walk::destroy(h, t, inst);
    }
}

// Paths and errors pending: the cases file.  No document, no instance:
TEST_F(ReadXml, NoDocumentIs2AndNoInstance22) {
    auto *a = make(vm_act_rsp_create, vm_act_rsp_destroy);
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", nullptr, a, &err, msg, sizeof msg);
    EXPECT_ERR(QEL_ENOENT);
    XmlDoc doc("<vm_act_rsp/>");
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", doc.doc, nullptr, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_EINVAL);
}

// Every allocation of a rich read fails in turn: the read ends with 12 and nothing is left behind.
// (A variable array's temporary values: the from_xml fuzz harness fails its allocations too.)
TEST_F(ReadXml, EachFailedAllocationEndsTheReadCleanly) {
    std::string cfg = "<vm_install_cfg><vm_name>cfg</vm_name><default_profile><desc>d</desc></default_profile>";
    for (int i = 0; i < 3; ++i) cfg += "<profiles><profile_name>p</profile_name><license_name>l</license_name></profiles>";
    cfg += "<pkg_meta_data><application_name>a</application_name></pkg_meta_data><owner>o</owner></vm_install_cfg>";
    // (A variable array's values each take a temporary value.)
    const std::string req = "<vm_id_valid_req><credentials>1</credentials><credentials>2</credentials></vm_id_valid_req>";
    for (const uint32_t reading : kReadings)
    for (const auto &[type, xml, allocations] : {std::tuple{"vm_install_cfg", cfg, 10u}, std::tuple{"vm_id_valid_req", req, 4u}}) {
        const uint32_t t = walk::index_of(type);
        h->features = reading;
        for (uint64_t k = 1;; ++k) {
            void *inst = walk::create(h, t);
            st().fail_alloc_at = st().alloc_calls + k;
            read(walk::fn<Reader<void>>(walk::op(t, "from_xml")), ("/" + std::string(type)).c_str(), xml, inst);
            st().fail_alloc_at = 0;
            walk::destroy(h, t, inst);
            if (err == 0) {
                EXPECT_GT(k, allocations);
                break;
            }
            ASSERT_EQ(err, QEL_ENOMEM) << k;
            ASSERT_TRUE(st().live.empty()) << k;
            err = 0;
        }
    }
}

// A value longer than its length field can count is refused (owner's is a u8: 255 fits, 256 does
// not); what came before it was read.  (Other hostile documents: the cases file; documents of any
// shape: the from_xml fuzz harness's, whose kept corpus runs with the tests.)
TEST_F(ReadXml, AValueLongerThanItsLengthCanCountIsRefused) {
    for (const uint32_t reading : kReadings)
    for (auto [n, want] : {std::pair{255u, 0u}, std::pair{256u, 22u}}) {
        h->features = reading;
        vm_install_cfg_t *cfg = vm_install_cfg_create(h, 1);
        read(vm_install_cfg_from_xml, "/c",
             "<c><owner>" + std::string(n, 'o') + "</owner><vm_name>" + std::string(70000, 'n') + "</vm_name></c>", cfg);
        EXPECT_ERR(want);
        EXPECT_EQ(vm_install_cfg_owner_len_get_value(h, 1, cfg, &err), want == 0 ? n : 0u);
        EXPECT_EQ(vm_install_cfg_vm_name_length_get_value(h, 1, cfg, &err), 70000u);
        vm_install_cfg_destroy(h, 1, cfg);
    }
}

// ---- Writing -----------------------------------------------------------------------

// The plain forms take indentation, label, tag and element flag; a pending
// error writes nothing, a null instance is invalid.
TEST_F(ReadXml, PlainFormsAndRefusals) {
    auto *v = make(vm_id_create, vm_id_destroy);
    vm_id_id_set_value(h, 1, v, 7, &err);
    char buf[256];
    EXPECT_EQ(vm_id_print(h, 1, buf, 4, "peer", v, sizeof buf, &err), 35u);
    EXPECT_STREQ(buf, "    peer@vm_id: {\n      id:7\n    }\n");
    EXPECT_EQ(vm_id_print(h, 1, buf, 0, nullptr, v, sizeof buf, &err), 24u);
    EXPECT_STREQ(buf, "vm_id@vm_id: {\n  id:7\n}\n");
    EXPECT_EQ(vm_id_to_xml(h, 1, "who", buf, v, sizeof buf, 3, &err), 31u);
    EXPECT_STREQ(buf, "<who state=\"3\"><id>7</id></who>");
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_id_print(h, 1, buf, 0, nullptr, v, 10, &err), 9u); // what fits
    EXPECT_ERR(QEL_ENOSPC);
    std::memset(buf, '#', sizeof buf); // cut in the closing indentation
    EXPECT_EQ(vm_id_print(h, 1, buf, 4, "peer", v, 32, &err), 31u);
    EXPECT_EQ(std::string(buf, 33), std::string("    peer@vm_id: {\n      id:7\n  \0#", 33));
    EXPECT_ERR(QEL_ENOSPC);
    std::strcpy(buf, "untouched");
    err = 22;
    EXPECT_EQ(vm_id_print(h, 1, buf, 0, "x", v, sizeof buf, &err), 0u);
    EXPECT_EQ(vm_id_to_xml(h, 1, "x", buf, v, sizeof buf, 0, &err), 0u);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(err, 22u);
    err = 0;
    EXPECT_EQ(vm_id_to_xml(h, 1, "x", buf, nullptr, sizeof buf, 0, &err), 0u);
    EXPECT_EQ(err, QEL_EINVAL);
    EXPECT_EQ(st().last_error, QEL_EINVAL);
}

// An instance made before the handle tracked has no flags to give: the
// flag getter's 22 stops the fields, and the element is still closed.
TEST_F(ReadXml, AFailingFieldStopsTheFieldsButClosesTheElement) {
    qel_standin::set_tracking(h, Tracking::Off);
    auto *r = make(vm_inst_req_create, vm_inst_req_destroy);
    vm_inst_req_trans_id_set_value(h, 1, r, 5, &err);
    qel_standin::set_tracking(h, Tracking::On);
    char buf[256];
    EXPECT_EQ(vm_inst_req_to_xml(h, 1, "q", buf, r, sizeof buf, 0, &err), 7u);
    EXPECT_STREQ(buf, "<q></q>");
    EXPECT_EQ(err, QEL_EINVAL);
    EXPECT_EQ(st().last_error, QEL_EINVAL);
    // No writer of a later field was called (the failing field's own, seeing
    // the error, wrote nothing).
    size_t writers = 0;
    for (const auto &c : st().calls) writers += c.name.find("to_xml") != std::string_view::npos;
    EXPECT_EQ(writers, 1u);
    EXPECT_EQ(calls("start_tag"), 1u);
    EXPECT_EQ(vm_inst_req_toxml_cr(h, r, buf, sizeof buf), UINT32_MAX);
    EXPECT_STREQ(buf, "<vm_inst_req></vm_inst_req>");
    h->err = 0;
    // Printing takes no flags.
    EXPECT_NE(vm_inst_req_print_cr(h, r, buf, sizeof buf), UINT32_MAX);
}

} // namespace
