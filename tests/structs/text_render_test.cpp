// The print and XML forms of structures beyond the golden examples:
// the field order and variants of every type, the plain forms, and what an
// error does to the output.
#include <libxml/parser.h>

#include <sstream>
#include <string>
#include <vector>

#include "enums/xml_doc.h"
#include "struct_support.h"

namespace {

using qel_standin::Tracking;
using namespace test::structs;

class Render : public test::structs::Owning {};

// The plain forms take indentation, label, tag and element flag; a pending
// error writes nothing, a null instance is invalid.
TEST_F(Render, PlainFormsAndRefusals) {
    auto *v = make(vm_id_create, vm_id_destroy);
    vm_id_id_set_value(h, 1, v, 7, &err);
    char buf[256];
    EXPECT_EQ(vm_id_print(h, 1, buf, 4, "peer", v, sizeof buf, &err), 35u);
    EXPECT_STREQ(buf, "    peer@vm_id: {\n      id:7\n    }\n");
    EXPECT_EQ(vm_id_print(h, 1, buf, 0, nullptr, v, sizeof buf, &err), 24u);
    EXPECT_STREQ(buf, "vm_id@vm_id: {\n  id:7\n}\n");
    EXPECT_EQ(vm_id_to_xml(h, 1, "who", buf, v, sizeof buf, 3, &err), 31u);
    EXPECT_STREQ(buf, "<who state=\"3\"><id>7</id></who>");
    vm_id_to_xml(h, 1, nullptr, buf, v, sizeof buf, 0, &err);
    EXPECT_STREQ(buf, "<vm_id><id>7</id></vm_id>");
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_id_print(h, 1, buf, 0, nullptr, v, 10, &err), 9u); // what fits
    EXPECT_ERR(QEL_ENOSPC);
    std::strcpy(buf, "untouched");
    err = 22;
    EXPECT_EQ(vm_id_print(h, 1, buf, 0, "x", v, sizeof buf, &err), 0u);
    EXPECT_EQ(vm_id_to_xml(h, 1, "x", buf, v, sizeof buf, 0, &err), 0u);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(err, 22u);
    h->err = 12;
    EXPECT_EQ(vm_id_print_cr(h, v, buf, sizeof buf), UINT32_MAX);
    EXPECT_EQ(vm_id_toxml_cr(h, v, buf, sizeof buf), UINT32_MAX);
    EXPECT_STREQ(buf, "untouched");
    h->err = err = 0;
    EXPECT_EQ(vm_id_print(h, 1, buf, 0, "x", nullptr, sizeof buf, &err), 0u);
    EXPECT_EQ(err, QEL_EINVAL);
    err = 0;
    EXPECT_EQ(vm_id_to_xml(h, 1, "x", buf, nullptr, sizeof buf, 0, &err), 0u);
    EXPECT_EQ(err, QEL_EINVAL);
    EXPECT_EQ(st().last_error, QEL_EINVAL);
}

// An instance made before the handle tracked has no flags to give: the
// flag getter's 22 stops the fields, and the element is still closed.
TEST_F(Render, AFailingFieldStopsTheFieldsButClosesTheElement) {
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

TEST_F(Render, CorruptedTrackingMarkerStopsTheProcess) {
    vm_id_t *v = vm_id_create(h, 1);
    qel_standin::set_marker(h, 0x1234);
    char buf[64];
    EXPECT_DEATH(vm_id_to_xml(h, 1, "x", buf, v, sizeof buf, 0, &err), "");
    qel_standin::set_tracking(h, Tracking::Off);
    vm_id_destroy(h, 1, v);
}

// ---- Every type ------------------------------------------------------------------

// The labels of the top-level lines and the tags of the root's children
// that a filled instance must show: its fields up to its variant in
// declaration order, array elements one by one, lists as their count line
// (print only) and one block per element.
std::vector<std::string> expected_names(uint32_t t, const void *inst, bool print) {
    std::vector<std::string> out;
    const auto &d = kTypes[t];
    for (uint32_t i = 0; i < d.field_count && d.fields[i].variant <= walk::instance_variant(inst); ++i) {
        const auto &f = d.fields[i];
        const std::string name = f.name;
        if (f.kind == FieldKind::Array || f.kind == FieldKind::VarArray) {
            uint64_t n = f.kind == FieldKind::Array ? f.width : walk::length_of(inst, f);
            for (uint64_t k = 0; k < n; ++k) out.push_back(print ? name + "[" + std::to_string(k) + "]" : name);
        } else if (f.kind == FieldKind::List) {
            if (print) out.push_back("list " + name + " count");
            out.insert(out.end(), walk::elements(inst, f).size(), print ? "list " + name : name);
        } else {
            out.push_back(name);
        }
    }
    return out;
}

// The labels of the printed lines one level in.
std::vector<std::string> printed_names(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("  ", 0) == 0 && line[2] != ' ' && line[2] != '}')
            out.push_back(line.substr(2, line.find_first_of(":@", 2) - 2));
    return out;
}

// The root's tag, then its children's.
std::vector<std::string> tags(const std::string &xml) {
    test::XmlDoc doc(xml);
    if (doc.doc == nullptr) return {"not well-formed"};
    xmlNodePtr r = xmlDocGetRootElement(doc.doc);
    std::vector<std::string> out = {reinterpret_cast<const char *>(r->name)};
    for (xmlNodePtr c = r->children; c != nullptr; c = c->next)
        if (c->type == XML_ELEMENT_NODE) out.push_back(reinterpret_cast<const char *>(c->name));
    return out;
}

class EveryType : public test::HandleTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(EveryType, ShowsTheFieldsOfEachVariantInOrder) {
    const uint32_t t = GetParam();
    const std::string name = walk::name(t);
    auto text = [&](const char *op, const void *inst) {
        std::vector<char> buf(1 << 20);
        EXPECT_NE(call<uint32_t>(walk::op(t, op), h, inst, buf.data(), static_cast<uint32_t>(buf.size())), UINT32_MAX);
        return std::string(buf.data());
    };
    for (int8_t v = 0; v < kTypes[t].variants; ++v) {
        SCOPED_TRACE("variant " + std::to_string(v));
        qel_standin::set_domain_variant(h, name, v);
        walk::Filler fill{h, std::mt19937(v + 11u)};
        fill.max_elements = 2;
        void *inst = walk::create(h, t);
        fill.fill(t, inst);
        ASSERT_EQ(fill.err, 0u);
        const std::string printed = text("print_cr", inst), xml = text("toxml_cr", inst);
        EXPECT_EQ(printed.rfind(name + "@" + name + ": {\n", 0), 0u) << printed;
        EXPECT_EQ(printed.substr(printed.size() - 2), "}\n");
        EXPECT_EQ(printed_names(printed), expected_names(t, inst, true)) << printed;
        std::vector<std::string> want = expected_names(t, inst, false);
        want.insert(want.begin(), name);
        EXPECT_EQ(tags(xml), want) << xml;
        walk::destroy(h, t, inst);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, EveryType, ::testing::Range(0u, walk::kStructs),
                         [](const ::testing::TestParamInfo<uint32_t> &p) { return walk::name(p.param); });

} // namespace
