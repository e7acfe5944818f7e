// Reading structures from XML: the round trip over every type, what absent
// elements leave alone, how lists and arrays are read, failures and hostile
// documents.
#include <string>
#include <vector>

#include "enums/xml_doc.h"
#include "struct_support.h"

namespace {

using qel_standin::Tracking;
using test::XmlDoc;
using namespace test::structs;

using FromXml = void (*)(qel_handle_t *, uint32_t, const char *, void *, void *, uint32_t *, char *, uint32_t);

class RoundTrip : public test::HandleTest,
                  public ::testing::WithParamInterface<std::tuple<uint32_t, Tracking>> {};

// Random instances with printable strings (XML carries no NUL or control
// character) come back equal, field by field, through XML.
TEST_P(RoundTrip, FreshInstancesReadBackWhatWasWritten) {
    const auto [t, tracking] = GetParam();
    qel_standin::set_tracking(h, tracking);
    walk::Filler fill{h, std::mt19937(t * 31 + 5)};
    fill.with_nuls = false;
    const std::string path = "/" + walk::name(t);
    std::vector<char> buf(1 << 20);
    for (int round = 0; round < 12; ++round) {
        void *a = walk::create(h, t), *b = walk::create(h, t);
        fill.fill(t, a);
        ASSERT_EQ(fill.err, 0u);
        EXPECT_NE(call<uint32_t>(walk::op(t, "toxml_cr"), h, a, buf.data(), static_cast<uint32_t>(buf.size())),
                  UINT32_MAX);
        const std::string xml = buf.data();
        XmlDoc doc(xml);
        ASSERT_NE(doc.doc, nullptr) << xml;
        char msg[64] = "";
        walk::fn<FromXml>(walk::op(t, "from_xml"))(h, 1, path.c_str(), doc.doc, b, &err, msg, sizeof msg);
        EXPECT_EQ(err, 0u) << xml;
        EXPECT_STREQ(msg, "");
        EXPECT_EQ(walk::diff(t, a, b), "") << xml;
        EXPECT_EQ(call<int32_t>(walk::op(t, "compare"), static_cast<const void *>(a), static_cast<const void *>(b)), 0)
            << xml;
        walk::destroy(h, t, a);
        walk::destroy(h, t, b);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, RoundTrip,
    ::testing::Combine(::testing::Range(0u, walk::kStructs),
                       ::testing::Values(Tracking::Absent, Tracking::Off, Tracking::On)),
    [](const ::testing::TestParamInfo<std::tuple<uint32_t, Tracking>> &p) {
        return walk::name(std::get<0>(p.param)) + "_" + tracking_name(std::get<1>(p.param));
    });

template <class T>
using Reader = void (*)(qel_handle_t *, uint32_t, const char *, void *, T *, uint32_t *, char *, uint32_t);

class ReadXml : public Owning {
protected:
    // Reads inst from the document text at path.
    template <class T> void read(Reader<T> fn, const char *path, const std::string &xml, T *inst) {
        XmlDoc doc(xml);
        ASSERT_NE(doc.doc, nullptr);
        fn(h, 1, path, doc.doc, inst, &err, msg, sizeof msg);
    }
    std::string text(vm_inst_req_t *r, void (*get)(qel_handle_t *, uint32_t, vm_inst_req_t *, char *, uint32_t, uint32_t *)) {
        char buf[512];
        uint32_t e = 0;
        get(h, 1, r, buf, sizeof buf, &e);
        return buf;
    }
    char msg[128] = "";
};

TEST_F(ReadXml, AbsentChildrenKeepTheirValuesAndLaterOnesAreRead) {
    auto *r = make(vm_inst_req_create, vm_inst_req_destroy);
    vm_inst_req_trans_id_set_value(h, 1, r, 5, &err);
    vm_inst_req_ova_pkg_path_set(h, 1, r, "/pkg/a.ova", 10, &err);
    // The length element is not read: the length follows from the text.
    read(vm_inst_req_from_xml, "/m/vm_inst_req",
         "<m><vm_inst_req><vm_name_len>99</vm_name_len><vm_name>a&lt;b&amp;c&#x41;</vm_name>"
         "<gen_target_uri>flash:/x</gen_target_uri></vm_inst_req></m>", r);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_inst_req_trans_id_get_value(h, 1, r, &err), 5u);
    EXPECT_EQ(text(r, vm_inst_req_vm_name_get), "a<b&cA");
    EXPECT_EQ(vm_inst_req_vm_name_len_get_value(h, 1, r, &err), 6u);
    EXPECT_EQ(text(r, vm_inst_req_ova_pkg_path_get), "/pkg/a.ova");
    EXPECT_EQ(text(r, vm_inst_req_gen_target_uri_get), "flash:/x");
    // An absent string is recorded as the last error, then cleared.
    read(vm_inst_req_from_xml, "/vm_inst_req", "<vm_inst_req><trans_id>6</trans_id></vm_inst_req>", r);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(st().last_error, QEL_ENOENT);
    // An empty element is an empty string.
    read(vm_inst_req_from_xml, "/vm_inst_req", "<vm_inst_req><trans_id>8</trans_id><vm_name/></vm_inst_req>", r);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_inst_req_trans_id_get_value(h, 1, r, &err), 8u);
    EXPECT_EQ(vm_inst_req_vm_name_len_get_value(h, 1, r, &err), 0u);
    EXPECT_EQ(text(r, vm_inst_req_ova_pkg_path_get), "/pkg/a.ova");
}

TEST_F(ReadXml, AMissingRootElementChangesNothing) {
    auto *a = make(vm_act_rsp_create, vm_act_rsp_destroy);
    vm_act_rsp_vm_uid_set_value(h, 1, a, 3, &err);
    XmlDoc doc("<vm_act_rsp><vm_uid>9</vm_uid></vm_act_rsp>");
    size_t writes = st().writes.size();
    vm_act_rsp_from_xml(h, 1, "/other", doc.doc, a, &err, msg, sizeof msg);
    EXPECT_EQ(st().last_error, QEL_ENOENT);
    EXPECT_EQ(st().writes.size(), writes);
    EXPECT_ERR(QEL_ENOENT);
    EXPECT_EQ(vm_act_rsp_vm_uid_get_value(h, 1, a, &err), 3u);
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", nullptr, a, &err, msg, sizeof msg);
    EXPECT_ERR(QEL_ENOENT);
    vm_act_rsp_from_xml(h, 1, "not a path((", doc.doc, a, &err, msg, sizeof msg);
    EXPECT_ERR(QEL_ENOENT);
    // A pending error reads nothing.
    err = 7;
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", doc.doc, a, &err, msg, sizeof msg);
    EXPECT_ERR(7u);
    EXPECT_EQ(vm_act_rsp_vm_uid_get_value(h, 1, a, &err), 3u);
    vm_act_rsp_from_xml(h, 1, "/vm_act_rsp", doc.doc, nullptr, &err, msg, sizeof msg);
    EXPECT_EQ(err, QEL_EINVAL);
}

TEST_F(ReadXml, ListPositionsArePresentUpToTheFirstAbsentOneAndAreAppended) {
    auto *m = make(vm_if_mtu_create, vm_if_mtu_destroy);
    vm_if_mtu_element_t *old = vm_if_mtu_element_create(h, 1);
    vm_if_mtu_element_mtu_set_value(h, 1, old, 1, &err);
    vm_if_mtu_mtu_list_set_last(h, 1, m, old, &err);
    read(vm_if_mtu_from_xml, "/vm_if_mtu",
         "<vm_if_mtu><mtu_list><if_id>0x10</if_id><mtu>1500</mtu></mtu_list><mtu_list><mtu>9000</mtu></mtu_list>"
         "<mtu_list><if_id>12</if_id></mtu_list><other><mtu_list><mtu>7</mtu></mtu_list></other></vm_if_mtu>", m);
    EXPECT_EQ(err, 0u);
    ASSERT_EQ(vm_if_mtu_mtu_list_get_count(h, 1, m, &err), 4u);
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (auto *e = vm_if_mtu_mtu_list_get_first(h, 1, m, &err); e != nullptr;
         e = vm_if_mtu_mtu_list_get_next(h, 1, m, e, &err))
        got.emplace_back(*vm_if_mtu_element_if_id_get(h, 1, e, &err), vm_if_mtu_element_mtu_get_value(h, 1, e, &err));
    EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 1}, {16, 1500}, {0, 9000}, {12, 0}}));
    // The spare element made for position 4 is gone again.
}

// A fixed array stops at its first absent position (a seventh is never
// asked for); a variable array is set from the start and grows as needed.
TEST_F(ReadXml, ArraysAreReadFromTheStartUpToTheFirstAbsentPosition) {
    auto *p = make(vm_mac_pool_create, vm_mac_pool_destroy);
    const uint8_t nines[6] = {9, 9, 9, 9, 9, 9};
    uint8_t mac[6];
    auto base = [&] {
        vm_mac_pool_mac_base_get_mem(h, 1, p, mac, 6, &err);
        return std::vector<uint8_t>(mac, mac + 6);
    };
    vm_mac_pool_mac_base_set_mem(h, 1, p, nines, 6, &err);
    read(vm_mac_pool_from_xml, "/vm_mac_pool",
         "<vm_mac_pool><pool_id>4</pool_id><mac_base>1</mac_base><mac_base>2</mac_base><name>pool</name></vm_mac_pool>", p);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(base(), (std::vector<uint8_t>{1, 2, 9, 9, 9, 9}));
    EXPECT_EQ(vm_mac_pool_pool_id_get_value(h, 1, p, &err), 4u);
    EXPECT_EQ(vm_mac_pool_namelen_get_value(h, 1, p, &err), 4u);
    EXPECT_EQ(calls("u_int8_from_xml"), 3u); // positions 1 to 3
    std::string seven = "<vm_mac_pool>";
    for (const char *v : {"1", "2", "3", "4", "5", "6", "x"}) seven += std::string("<mac_base>") + v + "</mac_base>";
    read(vm_mac_pool_from_xml, "/vm_mac_pool", seven + "</vm_mac_pool>", p);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(base(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));

    auto *r = make(vm_id_valid_req_create, vm_id_valid_req_destroy);
    const uint8_t four[4] = {1, 2, 3, 4};
    vm_id_valid_req_credentials_set_mem(h, 1, r, four, 4, &err);
    st().calls.clear();
    auto creds = [](std::initializer_list<int> values) {
        std::string out = "<r>";
        for (int v : values) out += "<credentials>" + std::to_string(v) + "</credentials>";
        return out + "</r>";
    };
    read(vm_id_valid_req_from_xml, "/r", "<r><credentials_len>100</credentials_len>" + creds({7, 8}).substr(3), r);
    EXPECT_EQ(err, 0u);
    uint8_t got[4] = {};
    vm_id_valid_req_credentials_get_mem(h, 1, r, got, 4, &err);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 4), (std::vector<uint8_t>{7, 8, 3, 4}));
    read(vm_id_valid_req_from_xml, "/r", creds({1, 1, 1, 1, 1, 6}), r);
    EXPECT_EQ(vm_id_valid_req_credentials_len_get_value(h, 1, r, &err), 6u);
    EXPECT_EQ(vm_id_valid_req_credentials_get_value(h, 1, r, 5, &err), 6u);
    EXPECT_EQ(err, 0u);
    // Each position went through a temporary value of its own.
    EXPECT_EQ(calls("u_int8_create"), calls("u_int8_destroy"));
    EXPECT_EQ(calls("u_int8_create"), 3u + 7u);
}

// Fields of variants the instance lacks are read too: straight into the
// field for a reader, through the setter (which refuses with 43) for a
// string.
TEST_F(ReadXml, FieldsOfHigherVariantsAreAttempted) {
    qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
    auto *a = make(vm_act_rsp_create, vm_act_rsp_destroy);
    read(vm_act_rsp_from_xml, "/vm_act_rsp", "<vm_act_rsp><sp_type><VM_SP_QUBM/></sp_type></vm_act_rsp>", a);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(walk::load<uint32_t>(a, 152 + 12), 3u);
    EXPECT_EQ(walk::instance_variant(a), 0);
    read(vm_act_rsp_from_xml, "/vm_act_rsp", "<vm_act_rsp><owner>me</owner><sp_type><VM_SP_QUB/></sp_type></vm_act_rsp>", a);
    EXPECT_EQ(err, QEL_EIDRM);
    EXPECT_EQ(walk::load<uint32_t>(a, 152 + 12), 3u); // after owner: not read
}

TEST_F(ReadXml, ABadValueEndsTheReadWithTheReadersErrorAndMessage) {
    auto *r = make(vm_inst_req_create, vm_inst_req_destroy);
    read(vm_inst_req_from_xml, "/q", "<q><trans_id>seven</trans_id><vm_name>n</vm_name></q>", r);
    EXPECT_ERR(QEL_EINVAL);
    EXPECT_STREQ(msg, "Failed xpath: /q/trans_id");
    EXPECT_EQ(vm_inst_req_vm_name_len_get_value(h, 1, r, &err), 0u);
    // Fixed text longer than its capacity: 28 from the reader.
    auto *p = make(vm_profile_create, vm_profile_destroy);
    read(vm_profile_from_xml, "/p", "<p><name>" + std::string(65, 'n') + "</name><mgmt_if_count>3</mgmt_if_count></p>", p);
    EXPECT_ERR(QEL_ENOSPC);
    EXPECT_STREQ(msg, "Failed xpath: /p/name");
    EXPECT_EQ(vm_profile_mgmt_if_count_get_value(h, 1, p, &err), 0u);
    // A failing list element is destroyed and ends the read.
    auto *n = make(vm_nic_rsp_create, vm_nic_rsp_destroy);
    read(vm_nic_rsp_from_xml, "/r",
         "<r><vm_if_info><if_handle>1</if_handle></vm_if_info><vm_if_info><if_handle>zz</if_handle></vm_if_info>"
         "<vm_if_info><if_handle>3</if_handle></vm_if_info></r>", n);
    EXPECT_ERR(QEL_EINVAL);
    EXPECT_STREQ(msg, "Failed xpath: /r/vm_if_info[2]/if_handle");
    EXPECT_EQ(vm_nic_rsp_vm_if_info_get_count(h, 1, n, &err), 1u);
    EXPECT_EQ(st().live.size(), 4u); // three instances and the one element
}

// The message buffer and its size reach every reader, nested ones too.
TEST_F(ReadXml, MessageBufferIsHandedToEveryReader) {
    auto *e = make(vm_nic_list_create, vm_nic_list_destroy);
    auto *r = make(vm_inst_req_create, vm_inst_req_destroy);
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
}

// ---- Failures part way ---------------------------------------------------------------

// Every allocation of a rich read fails in turn: the read ends with 12 and
// nothing is left behind.
TEST_F(ReadXml, EachFailedAllocationEndsTheReadCleanly) {
    std::string xml = "<vm_install_cfg><vm_name>cfg</vm_name><default_profile><desc>d</desc></default_profile>";
    for (int i = 0; i < 3; ++i) xml += "<profiles><profile_name>p</profile_name><license_name>l</license_name></profiles>";
    xml += "<pkg_meta_data><application_name>a</application_name></pkg_meta_data><owner>o</owner></vm_install_cfg>";
    for (uint64_t k = 1;; ++k) {
        vm_install_cfg_t *c = vm_install_cfg_create(h, 1);
        st().fail_alloc_at = st().alloc_calls + k;
        read(vm_install_cfg_from_xml, "/vm_install_cfg", xml, c);
        st().fail_alloc_at = 0;
        vm_install_cfg_destroy(h, 1, c);
        if (err == 0) {
            EXPECT_GT(k, 10u);
            break;
        }
        ASSERT_EQ(err, QEL_ENOMEM) << k;
        ASSERT_TRUE(st().live.empty()) << k;
        err = 0;
    }
    // The same for the temporary byte values of a variable array.
    for (uint64_t k = 1; k <= 4; ++k) {
        vm_id_valid_req_t *r = vm_id_valid_req_create(h, 1);
        st().fail_alloc_at = st().alloc_calls + k;
        read(vm_id_valid_req_from_xml, "/r", "<r><credentials>1</credentials><credentials>2</credentials></r>", r);
        st().fail_alloc_at = 0;
        EXPECT_EQ(err, QEL_ENOMEM) << k;
        err = 0;
        vm_id_valid_req_destroy(h, 1, r);
    }
}

// ---- Hostile documents -------------------------------------------------------------

TEST_F(ReadXml, HostileDocumentsEndInAnErrorOrAReadThatFits) {
    const std::string big(200000, 'v');
    std::string deep = "x";
    for (int i = 0; i < 200; ++i) deep = "<a>" + deep + "</a>";
    std::string many;
    for (int i = 0; i < 300; ++i) many += "<profiles><profile_name>p</profile_name></profiles>";
    const std::vector<std::pair<std::string, uint32_t>> cases = {
        {"<vm_name_length>4294967295</vm_name_length><result_str_len>-5</result_str_len><vm_name>n</vm_name>", 0},
        {"<trans_id>-1</trans_id>", QEL_EINVAL},
        {"<trans_id>99999999999</trans_id>", QEL_EINVAL},
        {"<vm_name>" + big + "</vm_name>", 0},
        {"<vm_name>" + deep + "</vm_name>", 0},
        {many, 0},
        {"<profiles><desc>" + big + "</desc></profiles><vm_name>&lt;&amp;&gt;&quot;</vm_name>", 0},
        {"<default_profile><default_profile/></default_profile><pkg_meta_data>text<pkg_meta_data/></pkg_meta_data>", 0},
    };
    for (const auto &[inner, want] : cases) {
        SCOPED_TRACE(inner.substr(0, 80));
        vm_install_cfg_t *cfg = vm_install_cfg_create(h, 1);
        read(vm_install_cfg_from_xml, "/vm_install_cfg", "<vm_install_cfg>" + inner + "</vm_install_cfg>", cfg);
        EXPECT_ERR(want);
        // Whatever was read prints and renders again.
        std::vector<char> buf(1 << 20);
        EXPECT_NE(vm_install_cfg_print_cr(h, cfg, buf.data(), static_cast<uint32_t>(buf.size())), UINT32_MAX);
        EXPECT_NE(vm_install_cfg_toxml_cr(h, cfg, buf.data(), static_cast<uint32_t>(buf.size())), UINT32_MAX);
        vm_install_cfg_destroy(h, 1, cfg);
    }
    // A value longer than its length field can count is refused (owner's is
    // a u8: 255 fits, 256 does not); what came before it was read.
    for (auto [n, want] : {std::pair{255u, 0u}, std::pair{256u, 22u}}) {
        vm_install_cfg_t *cfg = vm_install_cfg_create(h, 1);
        read(vm_install_cfg_from_xml, "/c",
             "<c><owner>" + std::string(n, 'o') + "</owner><vm_name>" + std::string(70000, 'n') + "</vm_name></c>", cfg);
        EXPECT_ERR(want);
        EXPECT_EQ(vm_install_cfg_owner_len_get_value(h, 1, cfg, &err), want == 0 ? n : 0u);
        EXPECT_EQ(vm_install_cfg_vm_name_length_get_value(h, 1, cfg, &err), 70000u);
        vm_install_cfg_destroy(h, 1, cfg);
    }
}

TEST_F(ReadXml, LongPathsAreCutTo255Characters) {
    auto *v = make(vm_id_create, vm_id_destroy);
    std::string path = "/" + std::string(254, 'p');
    read(vm_id_from_xml, path.c_str(), "<" + path.substr(1) + "><id>3</id></" + path.substr(1) + ">", v);
    // "<path>/id" is cut back to the path itself: it names the root
    // element, whose text "3" is read as the value.
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_id_id_get_value(h, 1, v, &err), 3u);
    EXPECT_EQ(qel_standin::calls_named(h, "u_int32_from_xml").size(), 1u);
}

} // namespace
