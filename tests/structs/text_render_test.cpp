// The print and XML forms of structures: golden text for vm_act_rsp, the
// field order and variants of every type, state flags, and what a full
// buffer or an error does to the output.
#include <libxml/parser.h>

#include <sstream>
#include <string>
#include <vector>

#include "enums/xml_doc.h"
#include "struct_support.h"

namespace {

using qel_standin::Tracking;
using namespace test::structs;

// A vm_act_rsp as a response to an activation: two interfaces in vm_if_rsp
// (in variant 2; variant 0 instances get no interfaces).
vm_act_rsp_t *make_act_rsp(qel_handle_t *h, uint32_t *err) {
    vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
    vm_act_rsp_vm_name_set(h, 1, a, "web \"01\"", 8, err);
    vm_act_rsp_rc_set_value(h, 1, a, 1, err);
    vm_act_rsp_vm_uid_set_value(h, 1, a, 4242, err);
    vm_act_rsp_vm_clnt_set_value(h, 1, a, 1, err);
    vm_act_rsp_vm_act_state_set_value(h, 1, a, 1, err);
    if (test::walk::instance_variant(a) < 2) return a;
    vm_nic_rsp_t *rsp = vm_act_rsp_vm_if_rsp_get(h, 1, a, err);
    struct Nic {
        uint32_t ifh, state, mac_type, intf, mtu;
        uint8_t last;
    };
    for (const Nic &n : {Nic{0x1a2b, 1, 1, 1, 1500, 1}, Nic{0x1a2c, 0, 0, 0, 9000, 2}}) {
        vm_nic_list_t *e = vm_nic_list_create(h, 1);
        vm_nic_list_if_handle_set(h, 1, e, &n.ifh, err);
        vm_nic_info_t *info = vm_nic_list_vm_nic_info_get(h, 1, e, err);
        vm_nic_info_vm_if_state_set_value(h, 1, info, n.state, err);
        vm_nic_info_vm_service_mac_type_set_value(h, 1, info, n.mac_type, err);
        const uint8_t mac[6] = {0x00, 0x50, 0x56, 0x0a, 0x0b, n.last};
        vm_nic_info_vm_service_mac_addr_set_mem(h, 1, info, mac, 6, err);
        vm_nic_info_intf_type_set_value(h, 1, info, n.intf, err);
        vm_nic_info_mtu_set_value(h, 1, info, n.mtu, err);
        vm_nic_rsp_vm_if_info_set_last(h, 1, rsp, e, err);
    }
    vm_act_rsp_owner_set(h, 1, a, "ops", 3, err);
    vm_act_rsp_sp_type_set_value(h, 1, a, 2, err);
    return a;
}

using ActText = uint32_t (*)(qel_handle_t *, const vm_act_rsp_t *, char *, uint32_t);

class Render : public test::structs::Owning {
protected:
    // The text a _cr form writes into a large buffer.
    std::string cr(ActText fn, const vm_act_rsp_t *a) {
        std::vector<char> buf(1 << 16);
        uint32_t n = fn(h, a, buf.data(), static_cast<uint32_t>(buf.size()));
        EXPECT_EQ(h->err, 0u);
        EXPECT_EQ(n, std::strlen(buf.data()));
        return buf.data();
    }
};

// One interface of make_act_rsp as printed (%c: the handle's last digit) and as XML.
std::string nic(const char *format, char c, const char *state, const char *mac_type, int last,
                const char *intf, int mtu) {
    char out[2048];
    std::snprintf(out, sizeof out, format, c, state, mac_type, last, intf, mtu);
    return out;
}
const char *kNicPrint = "    list vm_if_info@vm_nic_list: {\n"
                        "      if_handle:0x00001a2%c\n"
                        "      vm_nic_info@vm_nic_info: {\n"
                        "        vm_if_state@vm_if_state:%s\n"
                        "        vm_service_mac_type@vm_mac_type:%s\n"
                        "        vm_service_mac_addr[0]:0\n"
                        "        vm_service_mac_addr[1]:80\n"
                        "        vm_service_mac_addr[2]:86\n"
                        "        vm_service_mac_addr[3]:10\n"
                        "        vm_service_mac_addr[4]:11\n"
                        "        vm_service_mac_addr[5]:%d\n"
                        "        intf_type@vm_intf_type:%s\n"
                        "        mtu:%d\n"
                        "      }\n"
                        "    }\n";
// One line per element here; the writers put no line breaks.
const char *kNicXml =
    "<vm_if_info><if_handle>0x00001a2%c</if_handle><vm_nic_info>"
    "<vm_if_state><%s/></vm_if_state><vm_service_mac_type><%s/></vm_service_mac_type>"
    "<vm_service_mac_addr>0</vm_service_mac_addr><vm_service_mac_addr>80</vm_service_mac_addr>"
    "<vm_service_mac_addr>86</vm_service_mac_addr><vm_service_mac_addr>10</vm_service_mac_addr>"
    "<vm_service_mac_addr>11</vm_service_mac_addr><vm_service_mac_addr>%d</vm_service_mac_addr>"
    "<intf_type><%s/></intf_type><mtu>%d</mtu></vm_nic_info></vm_if_info>";

TEST_F(Render, ActResponseInVariantTwoWithTwoInterfaces) {
    vm_act_rsp_t *a = make_act_rsp(h, &err);
    ASSERT_EQ(err, 0u);
    EXPECT_EQ(cr(vm_act_rsp_print_cr, a),
              "vm_act_rsp@vm_act_rsp: {\n"
              "  vm_name_length:8\n"
              "  vm_name:\"web \\\"01\\\"\"\n"
              "  rc@vm_rsp_rc:VM_RSP_RC_FAIL\n"
              "  vm_if_rsp@vm_nic_rsp: {\n"
              "    list vm_if_info count:2\n" +
                  nic(kNicPrint, 'b', "VM_IF_UP", "VM_MAC_GLOBAL", 1, "VM_INTF_TYPE_MGMT", 1500) +
                  nic(kNicPrint, 'c', "VM_IF_DOWN", "VM_MAC_LOCAL", 2, "VM_INTF_TYPE_DATA", 9000) +
                  "  }\n"
                  "  vm_uid:4242\n"
                  "  vm_clnt@vm_rsp_client:VM_RSP_CLNT_OTHER\n"
                  "  vm_act_state@vm_act_state:VM_ACT_DEACTIVATED\n"
                  "  owner_len:3\n"
                  "  owner:\"ops\"\n"
                  "  sp_type@vm_sp_type:VM_SP_QUB_UI\n"
                  "}\n");
    EXPECT_EQ(cr(vm_act_rsp_toxml_cr, a),
              "<vm_act_rsp><vm_name_length>8</vm_name_length><vm_name>web &quot;01&quot;</vm_name>"
              "<rc><VM_RSP_RC_FAIL/></rc><vm_if_rsp>" +
                  nic(kNicXml, 'b', "VM_IF_UP", "VM_MAC_GLOBAL", 1, "VM_INTF_TYPE_MGMT", 1500) +
                  nic(kNicXml, 'c', "VM_IF_DOWN", "VM_MAC_LOCAL", 2, "VM_INTF_TYPE_DATA", 9000) +
                  "</vm_if_rsp><vm_uid>4242</vm_uid><vm_clnt><VM_RSP_CLNT_OTHER/></vm_clnt>"
                  "<vm_act_state><VM_ACT_DEACTIVATED/></vm_act_state><owner_len>3</owner_len>"
                  "<owner>ops</owner><sp_type><VM_SP_QUB_UI/></sp_type></vm_act_rsp>");
    EXPECT_EQ(calls("qel_store_err"), 0u);
    vm_act_rsp_destroy(h, 1, a);
}

// Variant 0 stops after its last field; variant -1 is an empty block and an
// empty element.
TEST_F(Render, LowerVariantsStopAfterTheirLastField) {
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    vm_act_rsp_t *a = make_act_rsp(h, &err);
    ASSERT_EQ(err, 0u);
    EXPECT_EQ(cr(vm_act_rsp_print_cr, a), "vm_act_rsp@vm_act_rsp: {\n"
                                          "  vm_name_length:8\n"
                                          "  vm_name:\"web \\\"01\\\"\"\n"
                                          "  rc@vm_rsp_rc:VM_RSP_RC_FAIL\n"
                                          "  vm_if_rsp@vm_nic_rsp: {\n"
                                          "    list vm_if_info count:0\n"
                                          "  }\n"
                                          "  vm_uid:4242\n"
                                          "  vm_clnt@vm_rsp_client:VM_RSP_CLNT_OTHER\n"
                                          "  vm_act_state@vm_act_state:VM_ACT_DEACTIVATED\n"
                                          "}\n");
    EXPECT_EQ(cr(vm_act_rsp_toxml_cr, a), "<vm_act_rsp><vm_name_length>8</vm_name_length>"
                                          "<vm_name>web &quot;01&quot;</vm_name><rc><VM_RSP_RC_FAIL/></rc>"
                                          "<vm_if_rsp></vm_if_rsp><vm_uid>4242</vm_uid>"
                                          "<vm_clnt><VM_RSP_CLNT_OTHER/></vm_clnt>"
                                          "<vm_act_state><VM_ACT_DEACTIVATED/></vm_act_state></vm_act_rsp>");
    vm_act_rsp_destroy(h, 1, a);
    qel_standin::set_domain_variant(h, "vm_act_rsp", -1);
    a = vm_act_rsp_create(h, 1);
    EXPECT_EQ(cr(vm_act_rsp_print_cr, a), "vm_act_rsp@vm_act_rsp: {\n}\n");
    EXPECT_EQ(cr(vm_act_rsp_toxml_cr, a), "<vm_act_rsp></vm_act_rsp>");
    vm_act_rsp_destroy(h, 1, a);
}

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

// A buffer too small for the text: the _cr forms report -1, the text that
// fits is the beginning of the full text, and the error is 28.
TEST_F(Render, AShortBufferKeepsTheBeginningOfTheText) {
    vm_act_rsp_t *a = make_act_rsp(h, &err);
    const std::string printed = cr(vm_act_rsp_print_cr, a);
    const std::string xml = cr(vm_act_rsp_toxml_cr, a);
    for (uint32_t len : {1u, 2u, 30u, 31u, 200u, static_cast<uint32_t>(printed.size())}) {
        SCOPED_TRACE(len);
        std::vector<char> buf(len + 1, '#');
        EXPECT_EQ(vm_act_rsp_print_cr(h, a, buf.data(), len), UINT32_MAX);
        EXPECT_EQ(h->err, QEL_ENOSPC);
        EXPECT_EQ(std::string(buf.data()), printed.substr(0, len - 1));
        EXPECT_EQ(buf[len], '#');
        h->err = 0;
        uint32_t n = vm_act_rsp_print(h, 1, buf.data(), 0, "vm_act_rsp", a, len, &err);
        EXPECT_EQ(n, len - 1);
        EXPECT_EQ(err, QEL_ENOSPC);
        err = 0;
        EXPECT_EQ(vm_act_rsp_toxml_cr(h, a, buf.data(), len), UINT32_MAX);
        EXPECT_EQ(std::string(buf.data()), xml.substr(0, len - 1));
        EXPECT_EQ(h->err, QEL_ENOSPC);
        h->err = 0;
    }
    std::vector<char> exact(printed.size() + 1);
    EXPECT_EQ(vm_act_rsp_print_cr(h, a, exact.data(), static_cast<uint32_t>(exact.size())),
              printed.size());
    vm_act_rsp_destroy(h, 1, a);
}

// ---- State flags ---------------------------------------------------------------

TEST_F(Render, TrackingHandlesPassEachFieldsOwnFlag) {
    qel_standin::set_tracking(h, Tracking::On);
    vm_act_rsp_t *a = make_act_rsp(h, &err);
    ASSERT_EQ(err, 0u);
    vm_act_rsp_vm_name_state_flag_set(h, 1, a, 3, &err);
    vm_act_rsp_vm_if_rsp_state_flag_set(h, 1, a, 4, &err);
    vm_act_rsp_vm_uid_state_flag_set(h, 1, a, 5, &err);
    vm_act_rsp_owner_state_flag_set(h, 1, a, 6, &err);
    vm_act_rsp_rc_state_flag_set(h, 1, a, 9, &err); // enumerations show no flag
    vm_nic_rsp_t *rsp = vm_act_rsp_vm_if_rsp_get(h, 1, a, &err);
    vm_nic_rsp_vm_if_info_state_flag_set(h, 1, rsp, 7, &err);
    vm_nic_list_t *e = vm_nic_rsp_vm_if_info_get_first(h, 1, rsp, &err);
    vm_nic_info_t *info = vm_nic_list_vm_nic_info_get(h, 1, e, &err);
    for (uint32_t i = 0; i < 6; ++i)
        vm_nic_info_vm_service_mac_addr_state_flag_set(h, 1, info, i, static_cast<int32_t>(10 + i), &err);
    vm_nic_info_vm_service_mac_addr_state_flag_whole_set(h, 1, info, 8, &err);
    ASSERT_EQ(err, 0u);

    char buf[8192];
    ASSERT_GT(vm_act_rsp_to_xml(h, 1, "r", buf, a, sizeof buf, 1, &err), 0u);
    const std::string xml = buf;
    for (const char *piece :
         {"<r state=\"1\"><vm_name_length>8</vm_name_length><vm_name state=\"3\">",
          "<rc><VM_RSP_RC_FAIL/></rc><vm_if_rsp state=\"4\"><vm_if_info state=\"7\">",
          "<if_handle state=\"2\">0x00001a2b</if_handle><vm_nic_info><vm_if_state>",
          "<vm_service_mac_addr state=\"10\">0</vm_service_mac_addr>"
          "<vm_service_mac_addr state=\"11\">80</vm_service_mac_addr>",
          "<vm_service_mac_addr state=\"15\">1</vm_service_mac_addr><intf_type>",
          "<mtu state=\"2\">1500</mtu></vm_nic_info></vm_if_info><vm_if_info state=\"7\">",
          "<vm_uid state=\"5\">4242</vm_uid>", "<owner_len>3</owner_len><owner state=\"6\">ops</owner>"})
        EXPECT_NE(xml.find(piece), std::string::npos) << piece << "\nin " << xml;
    // Without tracking every flag is 0, whatever the instance's area holds.
    qel_standin::set_tracking(h, Tracking::Off);
    vm_act_rsp_to_xml(h, 1, "r", buf, a, sizeof buf, 0, &err);
    EXPECT_EQ(std::string(buf).find("state="), std::string::npos);
    qel_standin::set_tracking(h, Tracking::On);
    vm_act_rsp_destroy(h, 1, a);
}

// Variable array elements are labelled by position (past 9 too) and carry
// their own flags.
TEST_F(Render, VariableArrayElementsCarryLabelsAndFlags) {
    qel_standin::set_tracking(h, Tracking::On);
    auto *r = make(vm_id_valid_req_create, vm_id_valid_req_destroy);
    const uint8_t cred[3] = {7, 8, 9};
    vm_id_valid_req_credentials_set_mem(h, 1, r, cred, 3, &err);
    vm_id_valid_req_credentials_state_flag_set(h, 1, r, 1, 4, &err);
    char buf[1024];
    vm_id_valid_req_toxml_cr(h, r, buf, sizeof buf);
    EXPECT_STREQ(buf, "<vm_id_valid_req><trans_id>0</trans_id><credentials_len>3</credentials_len>"
                      "<credentials>7</credentials><credentials state=\"4\">8</credentials>"
                      "<credentials>9</credentials></vm_id_valid_req>");
    vm_id_valid_req_print_cr(h, r, buf, sizeof buf);
    EXPECT_STREQ(buf, "vm_id_valid_req@vm_id_valid_req: {\n  trans_id:0\n  credentials_len:3\n"
                      "  credentials[0]:7\n  credentials[1]:8\n  credentials[2]:9\n}\n");
    for (uint8_t i : {11, 9, 10}) {
        const uint8_t v = static_cast<uint8_t>(100 + i);
        vm_id_valid_req_credentials_set(h, 1, r, i, &v, &err);
    }
    EXPECT_EQ(err, 0u);
    vm_id_valid_req_print_cr(h, r, buf, sizeof buf);
    EXPECT_NE(std::string(buf).find("  credentials[9]:109\n  credentials[10]:110\n  credentials[11]:111\n}"),
              std::string::npos) << buf;
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
