// Reading structures from XML: the round trip over every type, what absent
// elements leave alone, how lists and arrays are read, failures and hostile
// documents.
#include <string>
#include <vector>

#include "enums/xml_doc.h"
#include "schema_walk.h"
#include "support.h"

namespace {

using qel_standin::Tracking;
using test::XmlDoc;
namespace walk = test::walk;

using ToXml = uint32_t (*)(qel_handle_t *, const void *, char *, uint32_t);
using FromXml = void (*)(qel_handle_t *, uint32_t, const char *, void *, void *, uint32_t *,
                         char *, uint32_t);
using Compare = int32_t (*)(const void *, const void *);

std::string to_xml(qel_handle_t *h, uint32_t t, const void *inst) {
    std::vector<char> buf(1 << 20);
    uint32_t n = walk::fn<ToXml>(walk::op(t, "toxml_cr"))(h, inst, buf.data(),
                                                          static_cast<uint32_t>(buf.size()));
    EXPECT_NE(n, UINT32_MAX);
    return buf.data();
}

class RoundTrip : public test::HandleTest,
                  public ::testing::WithParamInterface<std::tuple<uint32_t, Tracking>> {};

// Random instances with printable strings (XML carries no NUL or control
// character) come back equal, field by field, through XML.
TEST_P(RoundTrip, FreshInstancesReadBackWhatWasWritten) {
    const auto [t, tracking] = GetParam();
    qel_standin::set_tracking(h, tracking);
    auto from_xml = walk::fn<FromXml>(walk::op(t, "from_xml"));
    auto compare = walk::fn<Compare>(walk::op(t, "compare"));
    walk::Filler fill{h, std::mt19937(t * 31 + 5)};
    fill.with_nuls = false;
    const std::string path = "/" + walk::name(t);
    for (int round = 0; round < 12; ++round) {
        void *a = walk::create(h, t);
        fill.fill(t, a);
        ASSERT_EQ(fill.err, 0u);
        const std::string xml = to_xml(h, t, a);
        XmlDoc doc(xml);
        ASSERT_NE(doc.doc, nullptr) << xml;
        void *b = walk::create(h, t);
        char msg[64] = "";
        from_xml(h, 1, path.c_str(), doc.doc, b, &err, msg, sizeof msg);
        EXPECT_EQ(err, 0u) << xml;
        EXPECT_STREQ(msg, "");
        EXPECT_EQ(walk::diff(t, a, b), "") << xml;
        EXPECT_EQ(compare(a, b), 0) << xml;
        walk::destroy(h, t, a);
        walk::destroy(h, t, b);
    }
}

std::string tracking_name(Tracking t) {
    return t == Tracking::On ? "On" : t == Tracking::Off ? "Off" : "NoRecord";
}
INSTANTIATE_TEST_SUITE_P(
    Types, RoundTrip,
    ::testing::Combine(::testing::Range(0u, walk::kStructs),
                       ::testing::Values(Tracking::Absent, Tracking::Off, Tracking::On)),
    [](const ::testing::TestParamInfo<std::tuple<uint32_t, Tracking>> &p) {
        return walk::name(std::get<0>(p.param)) + "_" + tracking_name(std::get<1>(p.param));
    });

class ReadXml : public test::HandleTest {
protected:
    std::string name(vm_inst_req_t *r, void (*get)(qel_handle_t *, uint32_t, vm_inst_req_t *, char *, uint32_t, uint32_t *)) {
        char buf[512];
        uint32_t e = 0;
        get(h, 1, r, buf, sizeof buf, &e);
        return buf;
    }
    char msg[128] = "";
};

TEST_F(ReadXml, AbsentChildrenKeepTheirValuesAndLaterOnesAreRead) {
    vm_inst_req_t *r = vm_inst_req_create(h, 1);
    vm_inst_req_trans_id_set_value(h, 1, r, 5, &err);
    vm_inst_req_ova_pkg_path_set(h, 1, r, "/pkg/a.ova", 10, &err);
    // The length element is not read: the length follows from the text.
    XmlDoc doc("<m><vm_inst_req><vm_name_len>99</vm_name_len><vm_name>a&lt;b&amp;c&#x41;</vm_name>"
               "<gen_target_uri>flash:/x</gen_target_uri></vm_inst_req></m>");
    vm_inst_req_from_xml(h, 1, "/m/vm_inst_req", doc.doc, r, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_inst_req_trans_id_get_value(h, 1, r, &err), 5u);
    EXPECT_EQ(name(r, vm_inst_req_vm_name_get), "a<b&cA");
    EXPECT_EQ(vm_inst_req_vm_name_len_get_value(h, 1, r, &err), 6u);
    EXPECT_EQ(name(r, vm_inst_req_ova_pkg_path_get), "/pkg/a.ova");
    EXPECT_EQ(name(r, vm_inst_req_gen_target_uri_get), "flash:/x");
    // An absent string is recorded as the last error, then cleared.
    XmlDoc last("<vm_inst_req><trans_id>6</trans_id></vm_inst_req>");
    vm_inst_req_from_xml(h, 1, "/vm_inst_req", last.doc, r, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(st().last_error, QEL_ENOENT);
    // An empty element is an empty string.
    XmlDoc empty("<vm_inst_req><trans_id>8</trans_id><vm_name/></vm_inst_req>");
    vm_inst_req_from_xml(h, 1, "/vm_inst_req", empty.doc, r, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_inst_req_trans_id_get_value(h, 1, r, &err), 8u);
    EXPECT_EQ(vm_inst_req_vm_name_len_get_value(h, 1, r, &err), 0u);
    EXPECT_EQ(name(r, vm_inst_req_ova_pkg_path_get), "/pkg/a.ova");
    vm_inst_req_destroy(h, 1, r);
}

TEST_F(ReadXml, AMissingRootElementChangesNothing) {
    vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
    vm_act_rsp_vm_uid_set_value(h, 1, a, 3, &err);
    XmlDoc doc("<vm_act_rsp><vm_uid>9</vm_uid></vm_act_rsp>");
    size_t writes = st().writes.size();
    vm_act_rsp_from_xml(h, 1, "/other", doc.doc, a, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_ENOENT);
    EXPECT_EQ(st().last_error, QEL_ENOENT);
    EXPECT_EQ(st().writes.size(), writes);
    err = 0;
    EXPECT_EQ(vm_act_rsp_vm_uid_get_value(h, 1, a, &err), 3u);
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", nullptr, a, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_ENOENT);
    err = 0;
    vm_act_rsp_from_xml(h, 1, "not a path((", doc.doc, a, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_ENOENT);
    // A pending error reads nothing.
    err = 7;
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", doc.doc, a, &err, msg, sizeof msg);
    EXPECT_EQ(err, 7u);
    err = 0;
    EXPECT_EQ(vm_act_rsp_vm_uid_get_value(h, 1, a, &err), 3u);
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", doc.doc, nullptr, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_EINVAL);
    vm_act_rsp_destroy(h, 1, a);
}

TEST_F(ReadXml, ListPositionsArePresentUpToTheFirstAbsentOneAndAreAppended) {
    vm_if_mtu_t *m = vm_if_mtu_create(h, 1);
    vm_if_mtu_element_t *old = vm_if_mtu_element_create(h, 1);
    vm_if_mtu_element_mtu_set_value(h, 1, old, 1, &err);
    vm_if_mtu_mtu_list_set_last(h, 1, m, old, &err);
    XmlDoc doc("<vm_if_mtu>"
               "<mtu_list><if_id>0x10</if_id><mtu>1500</mtu></mtu_list>"
               "<mtu_list><mtu>9000</mtu></mtu_list>"
               "<mtu_list><if_id>12</if_id></mtu_list>"
               "<other><mtu_list><mtu>7</mtu></mtu_list></other></vm_if_mtu>");
    vm_if_mtu_from_xml(h, 1, "/vm_if_mtu", doc.doc, m, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    ASSERT_EQ(vm_if_mtu_mtu_list_get_count(h, 1, m, &err), 4u);
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (auto *e = vm_if_mtu_mtu_list_get_first(h, 1, m, &err); e != nullptr;
         e = vm_if_mtu_mtu_list_get_next(h, 1, m, e, &err))
        got.emplace_back(*vm_if_mtu_element_if_id_get(h, 1, e, &err),
                         vm_if_mtu_element_mtu_get_value(h, 1, e, &err));
    EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 1}, {16, 1500}, {0, 9000}, {12, 0}}));
    // The spare element made for position 4 is gone again.
    vm_if_mtu_destroy(h, 1, m);
}

TEST_F(ReadXml, FixedArrayStopsAtItsFirstAbsentPosition) {
    vm_mac_pool_t *p = vm_mac_pool_create(h, 1);
    const uint8_t nines[6] = {9, 9, 9, 9, 9, 9};
    vm_mac_pool_mac_base_set_mem(h, 1, p, nines, 6, &err);
    XmlDoc doc("<vm_mac_pool><pool_id>4</pool_id><mac_base>1</mac_base><mac_base>2</mac_base>"
               "<name>pool</name></vm_mac_pool>");
    vm_mac_pool_from_xml(h, 1, "/vm_mac_pool", doc.doc, p, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    uint8_t mac[6];
    vm_mac_pool_mac_base_get_mem(h, 1, p, mac, 6, &err);
    EXPECT_EQ(std::vector<uint8_t>(mac, mac + 6), (std::vector<uint8_t>{1, 2, 9, 9, 9, 9}));
    EXPECT_EQ(vm_mac_pool_pool_id_get_value(h, 1, p, &err), 4u);
    EXPECT_EQ(vm_mac_pool_namelen_get_value(h, 1, p, &err), 4u);
    EXPECT_EQ(calls("u_int8_from_xml"), 3u); // positions 1 to 3
    // Seven elements: the seventh is never asked for.
    XmlDoc full("<vm_mac_pool><mac_base>1</mac_base><mac_base>2</mac_base><mac_base>3</mac_base>"
                "<mac_base>4</mac_base><mac_base>5</mac_base><mac_base>6</mac_base>"
                "<mac_base>x</mac_base></vm_mac_pool>");
    vm_mac_pool_from_xml(h, 1, "/vm_mac_pool", full.doc, p, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    vm_mac_pool_mac_base_get_mem(h, 1, p, mac, 6, &err);
    EXPECT_EQ(std::vector<uint8_t>(mac, mac + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    vm_mac_pool_destroy(h, 1, p);
}

TEST_F(ReadXml, VariableArrayIsSetFromTheStartAndGrowsAsNeeded) {
    vm_id_valid_req_t *r = vm_id_valid_req_create(h, 1);
    const uint8_t four[4] = {1, 2, 3, 4};
    vm_id_valid_req_credentials_set_mem(h, 1, r, four, 4, &err);
    XmlDoc two("<r><credentials_len>100</credentials_len><credentials>7</credentials>"
               "<credentials>8</credentials></r>");
    vm_id_valid_req_from_xml(h, 1, "/r", two.doc, r, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    uint8_t got[6] = {};
    vm_id_valid_req_credentials_get_mem(h, 1, r, got, 4, &err);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 4), (std::vector<uint8_t>{7, 8, 3, 4}));
    XmlDoc six("<r><credentials>1</credentials><credentials>1</credentials><credentials>1</credentials>"
               "<credentials>1</credentials><credentials>1</credentials><credentials>6</credentials></r>");
    vm_id_valid_req_from_xml(h, 1, "/r", six.doc, r, &err, msg, sizeof msg);
    EXPECT_EQ(vm_id_valid_req_credentials_len_get_value(h, 1, r, &err), 6u);
    EXPECT_EQ(vm_id_valid_req_credentials_get_value(h, 1, r, 5, &err), 6u);
    EXPECT_EQ(err, 0u);
    // Each position went through a temporary value of its own.
    EXPECT_EQ(calls("u_int8_create"), calls("u_int8_destroy"));
    EXPECT_EQ(calls("u_int8_create"), 3u + 7u);
    // Positions past 9.
    std::string twelve = "<r>";
    for (int i = 1; i <= 12; ++i) twelve += "<credentials>" + std::to_string(i) + "</credentials>";
    XmlDoc many(twelve + "</r>");
    vm_id_valid_req_from_xml(h, 1, "/r", many.doc, r, &err, msg, sizeof msg);
    EXPECT_EQ(vm_id_valid_req_credentials_len_get_value(h, 1, r, &err), 12u);
    EXPECT_EQ(vm_id_valid_req_credentials_get_value(h, 1, r, 9, &err), 10u);
    EXPECT_EQ(vm_id_valid_req_credentials_get_value(h, 1, r, 11, &err), 12u);
    vm_id_valid_req_destroy(h, 1, r);
}

TEST_F(ReadXml, EnumerationsAndNestedRecordsAreReadAtTheirPaths) {
    vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
    XmlDoc doc("<vm_act_rsp><rc><VM_RSP_RC_RESTART/></rc><vm_if_rsp><vm_if_info>"
               "<vm_nic_info><vm_if_state><VM_IF_UP/></vm_if_state><mtu>1400</mtu>"
               "<vm_service_mac_addr>5</vm_service_mac_addr></vm_nic_info>"
               "</vm_if_info></vm_if_rsp><vm_clnt><VM_RSP_CLNT_OTHER/></vm_clnt>"
               "<owner>me</owner></vm_act_rsp>");
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", doc.doc, a, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_act_rsp_rc_get_value(h, 1, a, &err), 2u);
    EXPECT_EQ(vm_act_rsp_vm_clnt_get_value(h, 1, a, &err), 1u);
    EXPECT_EQ(vm_act_rsp_owner_len_get_value(h, 1, a, &err), 2u);
    vm_nic_rsp_t *rsp = vm_act_rsp_vm_if_rsp_get(h, 1, a, &err);
    ASSERT_EQ(vm_nic_rsp_vm_if_info_get_count(h, 1, rsp, &err), 1u);
    vm_nic_info_t *info = vm_nic_list_vm_nic_info_get(
        h, 1, vm_nic_rsp_vm_if_info_get_first(h, 1, rsp, &err), &err);
    EXPECT_EQ(vm_nic_info_vm_if_state_get_value(h, 1, info, &err), 1u);
    EXPECT_EQ(vm_nic_info_mtu_get_value(h, 1, info, &err), 1400u);
    EXPECT_EQ(vm_nic_info_vm_service_mac_addr_get_value(h, 1, info, 0, &err), 5u);
    EXPECT_EQ(err, 0u);
    vm_act_rsp_destroy(h, 1, a);
}

// Fields of variants the instance lacks are read too: straight into the
// field for a reader, through the setter (which refuses with 43) for a
// string.
TEST_F(ReadXml, FieldsOfHigherVariantsAreAttempted) {
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
    XmlDoc sp("<vm_act_rsp><sp_type><VM_SP_QUBM/></sp_type></vm_act_rsp>");
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", sp.doc, a, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::load<uint32_t>(a, 152 + 12), 3u);
    EXPECT_EQ(walk::instance_variant(a), 0);
    XmlDoc owner("<vm_act_rsp><owner>me</owner><sp_type><VM_SP_QUB/></sp_type></vm_act_rsp>");
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", owner.doc, a, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_EIDRM);
    EXPECT_EQ(walk::load<uint32_t>(a, 152 + 12), 3u); // after owner: not read
    vm_act_rsp_destroy(h, 1, a);
}

TEST_F(ReadXml, ABadValueEndsTheReadWithTheReadersErrorAndMessage) {
    vm_inst_req_t *r = vm_inst_req_create(h, 1);
    XmlDoc doc("<q><trans_id>seven</trans_id><vm_name>n</vm_name></q>");
    vm_inst_req_from_xml(h, 1, "/q", doc.doc, r, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_EINVAL);
    EXPECT_STREQ(msg, "Failed xpath: /q/trans_id");
    err = 0;
    EXPECT_EQ(vm_inst_req_vm_name_len_get_value(h, 1, r, &err), 0u);
    // Fixed text longer than its capacity: 28 from the reader.
    vm_profile_t *p = vm_profile_create(h, 1);
    XmlDoc text("<p><name>" + std::string(65, 'n') + "</name><mgmt_if_count>3</mgmt_if_count></p>");
    vm_profile_from_xml(h, 1, "/p", text.doc, p, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_ENOSPC);
    EXPECT_STREQ(msg, "Failed xpath: /p/name");
    err = 0;
    EXPECT_EQ(vm_profile_mgmt_if_count_get_value(h, 1, p, &err), 0u);
    vm_profile_destroy(h, 1, p);
    vm_inst_req_destroy(h, 1, r);
}

// The message buffer and its size reach every reader, nested ones too.
TEST_F(ReadXml, MessageBufferIsHandedToEveryReader) {
    vm_nic_list_t *e = vm_nic_list_create(h, 1);
    vm_inst_req_t *r = vm_inst_req_create(h, 1);
    XmlDoc doc("<e><if_handle>1</if_handle><vm_nic_info><mtu>2</mtu><vm_service_mac_addr>3"
               "</vm_service_mac_addr></vm_nic_info><trans_id>1</trans_id><vm_name>x</vm_name></e>");
    vm_nic_list_from_xml(h, 1, "/e", doc.doc, e, &err, msg, 77);
    vm_inst_req_from_xml(h, 1, "/e", doc.doc, r, &err, msg, 77);
    EXPECT_EQ(err, 0u);
    size_t seen = 0;
    for (const auto &c : st().calls)
        if (c.name.size() > 9 && c.name.substr(c.name.size() - 9) == "_from_xml") {
            EXPECT_EQ(c.owner, msg) << c.name;
            EXPECT_EQ(c.arg, 77) << c.name;
            ++seen;
        }
    // if_handle, vm_service_mac_addr [1] and [2], mtu; trans_id and the one
    // string present (absent strings end at the probe)
    EXPECT_EQ(seen, 6u);
    vm_inst_req_destroy(h, 1, r);
    vm_nic_list_destroy(h, 1, e);
}

// Only the list owners register the trace module, before anything else.
TEST_F(ReadXml, ListOwnersRegisterTheTraceModule) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        bool owns = false;
        for (uint32_t i = 0; i < walk::type(t).field_count; ++i)
            owns |= walk::type(t).fields[i].kind == walk::FieldKind::List;
        qel_standin::global_calls().clear();
        uint32_t pending = 5;
        walk::fn<FromXml>(walk::op(t, "from_xml"))(h, 1, "/x", nullptr, nullptr, &pending, msg, 0);
        size_t registered = 0;
        for (const auto &c : qel_standin::global_calls()) registered += c.name == "wlog_module_init_fn";
        EXPECT_EQ(registered, owns ? 1u : 0u) << walk::name(t);
    }
}

// ---- Failures part way ---------------------------------------------------------------

// Every allocation of a rich read fails in turn: the read ends with 12 and
// nothing is left behind (the fixture checks every block came back).
TEST_F(ReadXml, EachFailedAllocationEndsTheReadCleanly) {
    std::string xml = "<vm_install_cfg><vm_name>cfg</vm_name><default_profile><desc>d</desc>"
                      "</default_profile>";
    for (int i = 0; i < 3; ++i)
        xml += "<profiles><profile_name>p</profile_name><license_name>l</license_name></profiles>";
    xml += "<pkg_meta_data><application_name>a</application_name></pkg_meta_data>"
           "<owner>o</owner></vm_install_cfg>";
    XmlDoc doc(xml);
    for (uint64_t k = 1;; ++k) {
        vm_install_cfg_t *c = vm_install_cfg_create(h, 1);
        st().fail_alloc_at = st().alloc_calls + k;
        err = 0;
        vm_install_cfg_from_xml(h, 1, "/vm_install_cfg", doc.doc, c, &err, msg, sizeof msg);
        st().fail_alloc_at = 0;
        vm_install_cfg_destroy(h, 1, c);
        if (err == 0) {
            EXPECT_GT(k, 10u);
            break;
        }
        EXPECT_EQ(err, QEL_ENOMEM) << k;
        ASSERT_TRUE(st().live.empty()) << k;
    }
    // The same for the temporary byte values of a variable array.
    XmlDoc cred("<r><credentials>1</credentials><credentials>2</credentials></r>");
    for (uint64_t k = 1; k <= 4; ++k) {
        vm_id_valid_req_t *r = vm_id_valid_req_create(h, 1);
        st().fail_alloc_at = st().alloc_calls + k;
        err = 0;
        vm_id_valid_req_from_xml(h, 1, "/r", cred.doc, r, &err, msg, sizeof msg);
        st().fail_alloc_at = 0;
        EXPECT_EQ(err, QEL_ENOMEM) << k;
        vm_id_valid_req_destroy(h, 1, r);
    }
}

TEST_F(ReadXml, AFailingListElementIsDestroyedAndEndsTheRead) {
    vm_nic_rsp_t *r = vm_nic_rsp_create(h, 1);
    XmlDoc doc("<r><vm_if_info><if_handle>1</if_handle></vm_if_info>"
               "<vm_if_info><if_handle>zz</if_handle></vm_if_info>"
               "<vm_if_info><if_handle>3</if_handle></vm_if_info></r>");
    vm_nic_rsp_from_xml(h, 1, "/r", doc.doc, r, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_EINVAL);
    EXPECT_STREQ(msg, "Failed xpath: /r/vm_if_info[2]/if_handle");
    err = 0;
    EXPECT_EQ(vm_nic_rsp_vm_if_info_get_count(h, 1, r, &err), 1u);
    EXPECT_EQ(st().live.size(), 2u); // the owner and its one element
    vm_nic_rsp_destroy(h, 1, r);
}

// ---- Hostile documents -------------------------------------------------------------

TEST_F(ReadXml, HostileDocumentsEndInAnErrorOrAReadThatFits) {
    struct Case {
        std::string xml;
        uint32_t err;
    };
    const std::string big(200000, 'v');
    std::string deep = "<vm_name>";
    for (int i = 0; i < 200; ++i) deep += "<a>";
    deep += "x";
    for (int i = 0; i < 200; ++i) deep += "</a>";
    deep += "</vm_name>";
    std::string many;
    for (int i = 0; i < 300; ++i) many += "<profiles><profile_name>p</profile_name></profiles>";
    const std::vector<Case> cases = {
        {"<vm_install_cfg><vm_name_length>4294967295</vm_name_length><result_str_len>-5</result_str_len>"
         "<vm_name>n</vm_name></vm_install_cfg>", 0},
        {"<vm_install_cfg><trans_id>-1</trans_id></vm_install_cfg>", QEL_EINVAL},
        {"<vm_install_cfg><trans_id>99999999999</trans_id></vm_install_cfg>", QEL_EINVAL},
        {"<vm_install_cfg><vm_name>" + big + "</vm_name></vm_install_cfg>", 0},
        {"<vm_install_cfg>" + deep + "</vm_install_cfg>", 0},
        {"<vm_install_cfg>" + many + "</vm_install_cfg>", 0},
        {"<vm_install_cfg><owner>" + std::string(300, 'o') + "</owner></vm_install_cfg>", 0},
        {"<vm_install_cfg><profiles><desc>" + big + "</desc></profiles><vm_name>&lt;&amp;&gt;&quot;"
         "</vm_name></vm_install_cfg>", 0},
        {"<vm_install_cfg><default_profile><default_profile/></default_profile>"
         "<pkg_meta_data>text<pkg_meta_data/></pkg_meta_data></vm_install_cfg>", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.xml.substr(0, 80));
        XmlDoc doc(c.xml);
        ASSERT_NE(doc.doc, nullptr);
        vm_install_cfg_t *cfg = vm_install_cfg_create(h, 1);
        err = 0;
        vm_install_cfg_from_xml(h, 1, "/vm_install_cfg", doc.doc, cfg, &err, msg, sizeof msg);
        EXPECT_EQ(err, c.err);
        // Whatever was read prints and renders again.
        std::vector<char> buf(1 << 20);
        EXPECT_NE(vm_install_cfg_print_cr(h, cfg, buf.data(), static_cast<uint32_t>(buf.size())), UINT32_MAX);
        EXPECT_NE(vm_install_cfg_toxml_cr(h, cfg, buf.data(), static_cast<uint32_t>(buf.size())), UINT32_MAX);
        vm_install_cfg_destroy(h, 1, cfg);
    }
}

TEST_F(ReadXml, LongValuesAreTakenAtTheWidthOfTheLengthField) {
    vm_install_cfg_t *cfg = vm_install_cfg_create(h, 1);
    XmlDoc doc("<c><owner>" + std::string(300, 'o') + "</owner><vm_name>" + std::string(70000, 'n') +
               "</vm_name></c>");
    vm_install_cfg_from_xml(h, 1, "/c", doc.doc, cfg, &err, msg, sizeof msg);
    EXPECT_EQ(err, 0u);
    // owner's length is a u8: 300 is taken as 44, as the setter takes it.
    EXPECT_EQ(vm_install_cfg_owner_len_get_value(h, 1, cfg, &err), 44u);
    EXPECT_EQ(vm_install_cfg_vm_name_length_get_value(h, 1, cfg, &err), 70000u);
    vm_install_cfg_destroy(h, 1, cfg);
}

TEST_F(ReadXml, LongPathsAreCutTo255Characters) {
    vm_id_t *v = vm_id_create(h, 1);
    std::string path = "/" + std::string(254, 'p');
    XmlDoc doc("<" + path.substr(1) + "><id>3</id></" + path.substr(1) + ">");
    vm_id_from_xml(h, 1, path.c_str(), doc.doc, v, &err, msg, sizeof msg);
    // "<path>/id" is cut back to the path itself: it names the root
    // element, whose text "3" is read as the value.
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_id_id_get_value(h, 1, v, &err), 3u);
    const auto reads = qel_standin::calls_named(h, "u_int32_from_xml");
    ASSERT_EQ(reads.size(), 1u);
    vm_id_destroy(h, 1, v);
}

} // namespace
