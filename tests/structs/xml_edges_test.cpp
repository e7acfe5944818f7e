// Strict XML reading and well-formed XML writing: a table of documents refused (where, why, and that
// nothing changed) with what the lenient reading makes of each; every type in every variant written
// and read back equal, also holding enumeration numbers their types do not name.
#include <dlfcn.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "struct_support.h"

namespace {

using namespace test::structs;
using qel_standin::Tracking;

const qel_type_info *record_of(uint32_t t) {
    return static_cast<const qel_type_info *>(dlsym(RTLD_DEFAULT, ("_" + walk::name(t) + "_type_info_internal").c_str()));
}

// A document of the runtime's, freed at the end.
struct Doc {
    void *doc = nullptr;
    Doc(H h, const std::string &text) {
        EXPECT_EQ(drov_def_runtime_xml_parse(h, text.data(), text.size(), &doc), 0u)
            << drov_def_runtime_last_failure(h)->reason << "\n" << text.substr(0, 200);
    }
    ~Doc() { drov_def_runtime_xml_free(doc); }
};

// drov_def_write_xml's text of inst, its buffer grown until it fits.
std::string write_xml(H h, uint32_t t, const void *inst, uint32_t *err) {
    for (uint32_t size = 256;; size *= 4) {
        std::vector<char> buf(size);
        const uint32_t n = drov_def_write_xml(h, 1, record_of(t), nullptr, buf.data(), inst, size, 0, err);
        if (*err != QEL_ENOSPC) {
            EXPECT_EQ(n, std::strlen(buf.data()));
            return std::string(buf.data(), n);
        }
        *err = 0;
    }
}

// The value slot of enumeration field `field` of an instance of type t (the enumeration instance's
// last 4 bytes), where a decoding stores a newer peer's number.
uint32_t *enum_slot(const void *inst, const char *type, const char *field) {
    const walk::TypeDesc &d = walk::type(walk::index_of(type));
    for (uint32_t k = 0; k < d.field_count; ++k)
        if (std::strcmp(d.fields[k].name, field) == 0)
            return reinterpret_cast<uint32_t *>(const_cast<uint8_t *>(walk::bytes(inst)) + d.fields[k].offset + 12);
    throw std::invalid_argument(field);
}

std::string place(const drov_def_failure_t *f) {
    return std::to_string(f->line) + ":" + std::to_string(f->column) + " '" + f->path + "'";
}

// ---- Refusals ---------------------------------------------------------------------------------

struct Refusal {
    const char *type;
    std::string xml;
    uint32_t code;
    const char *at;     // "line:column 'path'" of the failure
    const char *reason; // a part of its reason
    uint32_t lenient;   // what the lenient reading (from_xml's) gives
    const char *lenient_at = nullptr; // ... and where, when it fails ("0:0 ''" when it cannot say)
    int domain = -1;    // the variant the handle's domain gives the type (-1: its highest)
    const char *path = nullptr; // read at (null: "/<type>")
};

std::string wrap(const std::string &type, const std::string &fields) { return "<" + type + ">" + fields + "</" + type + ">"; }
std::string rsp(const std::string &fields) { return wrap("vm_act_rsp", fields); }
// vm_act_rsp/vm_if_rsp with two interfaces, the second's vm_nic_info holding `info`.
std::string two_nics(const std::string &info) {
    return rsp("<vm_if_rsp><vm_if_info><if_handle>0x1</if_handle></vm_if_info>"
               "<vm_if_info><if_handle>0x2</if_handle><vm_nic_info>" + info + "</vm_nic_info></vm_if_info></vm_if_rsp>");
}
std::string repeat(const std::string &tag, const char *value, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += "<" + tag + ">" + value + "</" + tag + ">";
    return out;
}

const Refusal kRefusals[] = {
    // enumerations
    {"vm_act_rsp", rsp("<rc><VM_RSP_RC_FAILED/></rc>"), 22, "1:17 'rc'", "VM_RSP_RC_FAILED is no value of vm_rsp_rc", 0},
    {"vm_act_rsp", rsp("<rc>VM_RSP_RC_FAIL</rc>"), 22, "1:13 'rc'",
     "an enumeration is written as an element such as <VM_RSP_RC_FAIL/>, not as text", 0},
    {"vm_act_rsp", rsp("<rc>7</rc>"), 22, "1:13 'rc'", "such as <VM_RSP_RC_OK/>, not as text", 0},
    {"vm_act_rsp", rsp("<rc/>"), 22, "1:13 'rc'", "rc holds no value of vm_rsp_rc, such as <VM_RSP_RC_OK/>", 0},
    {"vm_act_rsp", rsp("<rc><VM_RSP_RC_OK/><VM_RSP_RC_FAIL/></rc>"), 22, "1:32 'rc'", "rc holds more than one value", 0},
    {"vm_act_rsp", rsp("<rc><VM_RSP_RC_OK>1</VM_RSP_RC_OK></rc>"), 22, "1:17 'rc'", "<VM_RSP_RC_OK> holds something", 0},
    {"vm_act_rsp", rsp("<rc><vm_rsp_rc value='1x'/></rc>"), 22, "1:17 'rc'", "<vm_rsp_rc/> needs value=\"N\"", 0},
    {"vm_act_rsp", rsp("<rc><vm_rsp_rc value='4294967296'/></rc>"), 22, "1:17 'rc'", "needs value=\"N\"", 0},
    {"vm_act_rsp", rsp("<rc><vm_rsp_rc/></rc>"), 22, "1:17 'rc'", "needs value=\"N\"", 0},
    {"vm_act_rsp", rsp("<rc><p:OK xmlns:p='u'/></rc>"), 22, "1:13 'rc'", "rc holds an element in a namespace", 0},
    {"vm_pkg_policy_response", wrap("vm_pkg_policy_response", "<current_pkg_policy><VM_PKG_POLICY_NONE/>\n"
                                                              "<vm_rsp_rc value='1'/></current_pkg_policy>"),
     22, "2:1 'current_pkg_policy'", "current_pkg_policy holds more than one value", 0},
    // fields
    {"vm_act_rsp", "<vm_act_rsp>\n  <vm_uid>7</vm_uid>\n  <vm_uidd>7</vm_uidd>\n</vm_act_rsp>", 22, "3:3 ''",
     "vm_uidd is no field of vm_act_rsp", 0},
    {"vm_act_rsp", rsp("<vm_uid>1</vm_uid><vm_uid>2</vm_uid>"), 22, "1:31 'vm_uid'", "vm_uid given twice", 0},
    {"vm_act_rsp", rsp("<vm_if_rsp/><vm_if_rsp/>"), 22, "1:25 'vm_if_rsp'", "vm_if_rsp given twice", 0},
    {"vm_act_rsp", rsp("<vm_name>a</vm_name><vm_name>a</vm_name>"), 22, "1:33 'vm_name'", "vm_name given twice", 0},
    {"vm_act_rsp", rsp("<vm_uid>1</vm_uid> oops, <vm_clnt><VM_RSP_CLNT_NEB/></vm_clnt>"), 22, "1:1 ''",
     "text 'oops, ' between the fields of vm_act_rsp", 0},
    {"vm_act_rsp", rsp("<![CDATA[x]]>"), 22, "1:1 ''", "text 'x' between the fields", 0},
    {"vm_act_rsp", "<vm_act_rsp xmlns:p='u'><p:vm_uid>1</p:vm_uid></vm_act_rsp>", 22, "1:1 ''",
     "an element in a namespace among the fields of vm_act_rsp", 0},
    // numbers: the runtime's readers, and what fits
    {"vm_act_rsp", rsp("<vm_uid>12x</vm_uid>"), 22, "1:13 'vm_uid'", "'12x' is not a u32", 22, "1:13 'vm_uid'"},
    {"vm_act_rsp", rsp("<vm_uid>4294967296</vm_uid>"), 22, "1:13 'vm_uid'", "'4294967296' is not a u32", 22, "1:13 'vm_uid'"},
    {"vm_act_rsp", rsp("<vm_uid><x/>1</vm_uid>"), 22, "1:13 'vm_uid'", "vm_uid holds elements, not a u32", 0},
    {"vm_act_rsp", rsp("<vm_uid>\t" + std::string(60, '9') + "</vm_uid>"), 22, "1:13 'vm_uid'",
     "'\\x09999999999999999999999999999999999999999...' is not a u32", 22, "1:13 'vm_uid'"},
    {"vm_profile", wrap("vm_profile", "<mgmt_if_count>70000</mgmt_if_count>"), 22, "1:13 'mgmt_if_count'",
     "'70000' is not a u16", 22, "1:13 'mgmt_if_count'"},
    {"vm_mac_pool_addr", wrap("vm_mac_pool_addr", repeat("mac_addr", "1", 2) + "<mac_addr>256</mac_addr>"), 22,
     "1:63 'mac_addr[2]'", "'256' is not a u8", 22, "1:63 'mac_addr[2]'"},
    {"vm_id_valid_req", wrap("vm_id_valid_req", "<credentials>0x100</credentials>"), 22, "1:18 'credentials[0]'",
     "'0x100' is not a u8", 22, "1:18 'credentials[0]'"},
    {"vm_transport_act", wrap("vm_transport_act", "<activate>yes</activate>"), 22, "1:19 'activate'",
     "'yes' is not a boolean", 22, "1:19 'activate'"},
    {"vm_nic", wrap("vm_nic", "<if_handle>zz</if_handle>"), 22, "1:9 'if_handle'", "'zz' is not an interface handle", 22,
     "1:9 'if_handle'"},
    // length fields: to_xml writes them, from_xml does not read them
    {"vm_act_rsp", rsp("<vm_name_length>five</vm_name_length>"), 22, "1:13 'vm_name_length'", "'five' is not a u32", 0},
    {"vm_act_rsp", rsp("<owner_len>256</owner_len>"), 22, "1:13 'owner_len'", "'256' is not a u8", 0},
    // strings, texts and arrays that do not fit
    {"vm_act_rsp", rsp("<owner>" + std::string(300, 'o') + "</owner>"), 22, "1:13 'owner'",
     "300 bytes, more than its u8 length counts (255)", 22, "0:0 ''"},
    {"vm_sta_rsp", wrap("vm_sta_rsp", "<status_str>" + std::string(65536, 's') + "</status_str>"), 22, "1:13 'status_str'",
     "65536 bytes, more than its u16 length counts (65535)", 22, "0:0 ''"},
    {"vm_act_rsp", rsp("<vm_name>a<b/></vm_name>"), 22, "1:13 'vm_name'", "vm_name holds elements, not text", 0},
    {"vm_profile", wrap("vm_profile", "<name>" + std::string(65, 'n') + "</name>"), 22, "1:13 'name'",
     "65 bytes, more than its capacity (64)", 28, "1:13 'name'"},
    {"vm_mac_pool", wrap("vm_mac_pool", repeat("mac_base", "1", 7)), 22, "1:146 'mac_base[6]'",
     "more than its 6 elements", 0},
    // a later variant than the handle's domain gives the type
    {"vm_act_rsp", rsp("<vm_uid>1</vm_uid><owner>ops</owner>"), 43, "1:31 'owner'",
     "owner came with variant 1 of vm_act_rsp; the handle's domain gives it 0", 43, "0:0 ''", 0},
    {"vm_act_rsp", rsp("<sp_type><VM_SP_QUB/></sp_type>"), 43, "1:13 'sp_type'", "variant 2 of vm_act_rsp", 0, nullptr, 1},
    // nested records and list elements
    {"vm_act_rsp", two_nics("<mtu>x</mtu>"), 22, "1:126 'vm_if_rsp.vm_if_info[1].vm_nic_info.mtu'", "'x' is not a u32", 22,
     "1:126 'vm_if_rsp.vm_if_info[1].vm_nic_info.mtu'"},
    {"vm_act_rsp", two_nics("<speed>1</speed>"), 22, "1:126 'vm_if_rsp.vm_if_info[1].vm_nic_info'",
     "speed is no field of vm_nic_info", 0},
    {"vm_act_rsp", two_nics("<vm_if_state><VM_IF_SIDEWAYS/></vm_if_state>"), 22,
     "1:139 'vm_if_rsp.vm_if_info[1].vm_nic_info.vm_if_state'", "VM_IF_SIDEWAYS is no value of vm_if_state", 0},
    {"vm_act_rsp", two_nics("<vm_service_mac_addr>1</vm_service_mac_addr>\n<vm_service_mac_addr>-1</vm_service_mac_addr>"),
     22, "2:1 'vm_if_rsp.vm_if_info[1].vm_nic_info.vm_service_mac_addr[1]'", "'-1' is not a u8", 22,
     "2:1 'vm_if_rsp.vm_if_info[1].vm_nic_info.vm_service_mac_addr[1]'"},
    {"vm_install_cfg", wrap("vm_install_cfg", "<profiles/><profiles><desc_length>x</desc_length></profiles>"), 22,
     "1:38 'profiles[1].desc_length'", "'x' is not a u32", 0},
    // the element: absent, several, or at a path that is not walked
    {"vm_act_rsp", "<other/>", 2, "0:0 ''", "no element /vm_act_rsp", 2, "0:0 ''"},
    {"vm_act_rsp", "<m><vm_act_rsp/>\n<vm_act_rsp/></m>", 22, "1:4 ''", "/m/vm_act_rsp selects 2 elements", 0, nullptr, -1,
     "/m/vm_act_rsp"},
    {"vm_act_rsp", "<m><vm_act_rsp/></m>", 22, "0:0 ''", "a path of element names and positions", 0, nullptr, -1,
     "//vm_act_rsp"},
};

class Refused : public Owning {};

// Each refusal: its number in the error word and the handle, where and why in the handle's last
// failure, and an instance exactly as it was; the lenient reading takes what from_xml takes.
TEST_F(Refused, WhereAndWhyAndNothingChanged) {
    for (const Refusal &row : kRefusals) {
        SCOPED_TRACE(row.xml.substr(0, 160));
        const uint32_t t = walk::index_of(row.type);
        if (row.domain >= 0) qel_standin::set_domain_variant(h, row.type, static_cast<int8_t>(row.domain));
        const std::string path = row.path != nullptr ? row.path : "/" + std::string(row.type);
        Doc doc(h, row.xml);
        // a filled instance, and a copy of it
        void *inst = walk::create(h, t);
        walk::Filler fill{h, std::mt19937(7)};
        fill.fill(t, inst);
        ASSERT_EQ(fill.err, 0u);
        std::vector<uint8_t> scratch(walk::ops(t).len(h, 1, inst) + 1);
        void *before = nullptr;
        walk::ops(t).clone(h, 1, inst, &before, scratch.data(), static_cast<uint32_t>(scratch.size()), &err);
        ASSERT_EQ(err, 0u);

        drov_def_read_xml(h, 1, record_of(t), path.c_str(), doc.doc, inst, 0, &err);
        EXPECT_EQ(err, row.code);
        const drov_def_failure_t *f = drov_def_runtime_last_failure(h);
        EXPECT_EQ(f->code, row.code);
        EXPECT_STREQ(f->operation, "read_xml");
        EXPECT_STREQ(f->type, row.type);
        EXPECT_EQ(place(f), row.at);
        EXPECT_NE(std::string(f->reason).find(row.reason), std::string::npos) << f->reason;
        EXPECT_EQ(walk::ops(t).compare(inst, before), 0) << walk::diff(t, inst, before);
        err = 0;

        drov_def_read_xml(h, 1, record_of(t), path.c_str(), doc.doc, inst, DROV_DEF_XML_LENIENT, &err);
        EXPECT_EQ(err, row.lenient) << drov_def_runtime_last_failure(h)->reason;
        EXPECT_EQ(drov_def_runtime_last_error(h), row.lenient);
        if (row.lenient != 0) {
            EXPECT_EQ(place(drov_def_runtime_last_failure(h)), row.lenient_at != nullptr ? row.lenient_at : "?");
            EXPECT_STREQ(drov_def_runtime_last_failure(h)->operation, "read_xml");
        }
        err = 0;
        walk::destroy(h, t, before);
        walk::destroy(h, t, inst);
        drov_def_runtime_set_variant(h, row.type, DROV_DEF_VARIANT_HIGHEST);
    }
}

// What the operations refuse before reading or writing anything.
TEST_F(Refused, ArgumentsTheyCannotUse) {
    const uint32_t t = walk::index_of("vm_act_rsp");
    const std::string text = rsp("");
    Doc doc(h, text);
    void *inst = walk::create(h, t);
    char buf[64];
    struct Row {
        const qel_type_info *type;
        const char *path;
        void *doc;
        void *inst;
        char *buf;
        const char *reason;
    };
    const Row rows[] = {
        {nullptr, "/vm_act_rsp", doc.doc, inst, buf, "the record is no structure type of the module"},
        {record_of(walk::index_of("vm_rsp_rc")), "/vm_act_rsp", doc.doc, inst, buf, "the record is no structure type of the module"},
        {record_of(t), nullptr, doc.doc, inst, buf, "no path"},
        {record_of(t), "/vm_act_rsp", nullptr, inst, buf, "no document"},
        {record_of(t), "/vm_act_rsp", doc.doc, nullptr, buf, "no instance"},
    };
    for (const Row &r : rows) {
        drov_def_read_xml(h, 1, r.type, r.path, r.doc, r.inst, 0, &err);
        EXPECT_EQ(err, 22u) << r.reason;
        EXPECT_STREQ(drov_def_runtime_last_failure(h)->reason, r.reason);
        err = 0;
        if (r.path == nullptr || r.doc == nullptr) continue;
        EXPECT_EQ(drov_def_write_xml(h, 1, r.type, nullptr, r.buf, r.inst, sizeof buf, 0, &err), 0u);
        EXPECT_EQ(err, 22u) << r.reason;
        EXPECT_STREQ(drov_def_runtime_last_failure(h)->operation, "write_xml");
        err = 0;
    }
    EXPECT_EQ(drov_def_write_xml(h, 1, record_of(t), nullptr, nullptr, inst, sizeof buf, 0, &err), 0u);
    EXPECT_EQ(err, 22u);
    EXPECT_STREQ(drov_def_runtime_last_failure(h)->reason, "no buffer");
    // A pending error: nothing done, nothing recorded.
    drov_def_read_xml(h, 1, nullptr, nullptr, nullptr, nullptr, 0, &err);
    EXPECT_EQ(drov_def_write_xml(h, 1, nullptr, nullptr, nullptr, nullptr, 0, 0, &err), 0u);
    EXPECT_EQ(err, 22u);
    err = 90;
    drov_def_read_xml(h, 1, record_of(t), "/vm_act_rsp", doc.doc, inst, 0, &err);
    EXPECT_EQ(err, 90u);
    err = 0;
    drov_def_read_xml(nullptr, 1, record_of(t), "/vm_act_rsp", doc.doc, inst, 0, &err);
    EXPECT_EQ(err, 22u);
    err = 0;
    walk::destroy(h, t, inst);
}

// ---- Writing ------------------------------------------------------------------------------------

class Written : public Owning {};

// Numbers the type does not name, in nested records and list elements too, each where to_xml put
// its text; a text cut short stays what to_xml gave.
TEST_F(Written, UnnamedNumbersInPlace) {
    vm_act_rsp_t *a = make(&vm_act_rsp_create, &vm_act_rsp_destroy);
    vm_act_rsp_vm_uid_set_value(h, 1, a, 5, &err);
    vm_nic_rsp_t *nics = vm_act_rsp_vm_if_rsp_get(h, 1, a, &err);
    for (uint32_t state : {1u, 2u, 4294967295u}) {
        vm_nic_list_t *e = vm_nic_list_create(h, 1);
        vm_nic_info_t *info = vm_nic_list_vm_nic_info_get(h, 1, e, &err);
        *enum_slot(info, "vm_nic_info", "vm_if_state") = state; // as a decoding of a newer peer's message stores it
        vm_nic_rsp_vm_if_info_set_last(h, 1, nics, e, &err);
    }
    *enum_slot(a, "vm_act_rsp", "rc") = 3;
    *enum_slot(a, "vm_act_rsp", "sp_type") = 1000000;
    ASSERT_EQ(err, 0u);
    const std::string text = write_xml(h, walk::index_of("vm_act_rsp"), a, &err);
    EXPECT_EQ(err, 0u);
    std::string expected = "<vm_act_rsp><vm_name_length>0</vm_name_length><vm_name></vm_name><rc><vm_rsp_rc value=\"3\"/></rc><vm_if_rsp>";
    for (const char *state : {"<VM_IF_UP/>", "<vm_if_state value=\"2\"/>", "<vm_if_state value=\"4294967295\"/>"})
        expected += std::string("<vm_if_info><if_handle>0x00000000</if_handle><vm_nic_info><vm_if_state>") + state +
                    "</vm_if_state><vm_service_mac_type><VM_MAC_LOCAL/></vm_service_mac_type>" + repeat("vm_service_mac_addr", "0", 6) +
                    "<intf_type><VM_INTF_TYPE_DATA/></intf_type><mtu>0</mtu></vm_nic_info></vm_if_info>";
    expected += "</vm_if_rsp><vm_uid>5</vm_uid><vm_clnt><VM_RSP_CLNT_NEB/></vm_clnt><vm_act_state><VM_ACT_ACTIVATED/></vm_act_state>"
                "<owner_len>0</owner_len><owner></owner><sp_type><vm_sp_type value=\"1000000\"/></sp_type></vm_act_rsp>";
    EXPECT_EQ(text, expected);

    // Cut: what to_xml wrote into the same buffer, and its error.
    for (uint32_t size : {40u, 120u, static_cast<uint32_t>(expected.size())}) {
        std::vector<char> mine(size, 'x'), theirs(size, 'x');
        const uint32_t n = drov_def_write_xml(h, 1, record_of(walk::index_of("vm_act_rsp")), "r", mine.data(), a, size, 0, &err);
        EXPECT_EQ(err, 28u);
        EXPECT_EQ(drov_def_runtime_last_failure(h)->code, 28u);
        err = 0;
        EXPECT_EQ(n, vm_act_rsp_to_xml(h, 1, "r", theirs.data(), a, size, 0, &err));
        EXPECT_EQ(err, 28u);
        err = 0;
        EXPECT_EQ(mine, theirs);
    }
}

// ---- Reading back what was written --------------------------------------------------------------

// Reads text strictly and leniently into fresh instances of type t, which must equal inst.
void reads_back_equal(H h, uint32_t t, const void *inst, const std::string &text) {
    SCOPED_TRACE(text.substr(0, 300));
    Doc doc(h, text);
    ASSERT_NE(doc.doc, nullptr);
    const std::string path = "/" + walk::name(t);
    for (uint32_t flags : {0u, static_cast<uint32_t>(DROV_DEF_XML_LENIENT)}) {
        uint32_t err = 0;
        void *back = walk::create(h, t);
        drov_def_read_xml(h, 1, record_of(t), path.c_str(), doc.doc, back, flags, &err);
        EXPECT_EQ(err, 0u) << flags << ": " << place(drov_def_runtime_last_failure(h)) << " "
                           << drov_def_runtime_last_failure(h)->reason;
        EXPECT_EQ(drov_def_runtime_last_error(h), 0u);
        EXPECT_EQ(walk::ops(t).compare(back, inst), 0) << flags << ": " << walk::diff(t, back, inst);
        walk::destroy(h, t, back);
    }
}

// Every enumeration of the instance, its nested records and list elements set to a number its type
// does not name, of the kinds a newer peer sends (the next one, a large one, all ones), or 0 where
// the type's numbers start at 1.
void unnamed_numbers(uint32_t t, void *inst, uint32_t seed) {
    uint32_t next = seed;
    walk::each_instance(t, inst, [&](uint32_t u, const void *i, bool) {
        for (uint32_t k = 0; k < kTypes[u].field_count; ++k) {
            const FieldDesc &f = kTypes[u].fields[k];
            if (f.kind != FieldKind::Enum) continue;
            const auto &e = kTypes[f.ref];
            const uint32_t choices[] = {e.first_value + e.value_count, 0x730000, 4294967295u, e.first_value == 0 ? 77u : 0u};
            const uint32_t v = choices[next++ % 4];
            std::memcpy(const_cast<uint8_t *>(walk::bytes(i)) + f.offset + 12, &v, sizeof v);
        }
    });
}

bool holds_enum(uint32_t t) {
    for (uint32_t k = 0; k < kTypes[t].field_count; ++k) {
        const FieldDesc &f = kTypes[t].fields[k];
        if (f.kind == FieldKind::Enum) return true;
        if ((f.kind == FieldKind::Record || f.kind == FieldKind::List) && holds_enum(static_cast<uint32_t>(f.ref)))
            return true;
    }
    return false;
}

struct Setting {
    Tracking tracking;
    bool observed; // calls recorded (no feature word): from_xml reads by paths
};

class RoundTrip : public ::testing::TestWithParam<Setting> {
protected:
    // A handle of the setting whose domain gives type t variant v.
    H handle(uint32_t t, int8_t v) {
        H h = qel_standin::handle_new();
        if (GetParam().observed) qel_standin::observe(h);
        qel_standin::set_tracking(h, GetParam().tracking);
        qel_standin::set_domain_variant(h, walk::name(t), v);
        return h;
    }
    static void done(H h) {
        EXPECT_EQ(drov_def_runtime_live_blocks(h), 0u);
        qel_standin::handle_delete(h);
    }
};

// Every structure type in every variant, filled through its setters: the text is a document, and
// reads back equal strictly and leniently.
TEST_P(RoundTrip, EveryTypeEveryVariant) {
    for (uint32_t t = 0; t < walk::kStructs; ++t)
        for (int8_t v = 0; v <= kTypes[t].highest(); ++v)
            for (uint32_t seed = 0; seed < 3; ++seed) {
                SCOPED_TRACE(walk::name(t) + " variant " + std::to_string(v) + " seed " + std::to_string(seed));
                H h = handle(t, v);
                walk::Filler fill{h, std::mt19937(seed)};
                fill.with_nuls = false; // (XML cannot carry them)
                void *inst = walk::create(h, t);
                fill.fill(t, inst);
                ASSERT_EQ(fill.err, 0u);
                uint32_t err = 0;
                const std::string text = write_xml(h, t, inst, &err);
                ASSERT_EQ(err, 0u);
                reads_back_equal(h, t, inst, text);
                walk::destroy(h, t, inst);
                done(h);
            }
}

// Instances holding numbers their enumerations do not name, as decoded from a newer peer's message
// and as set in memory (0 for the type numbered from 1, which no decoding stores): the text has no
// "value out of range", and reads back equal.
TEST_P(RoundTrip, UnnamedEnumerationNumbers) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        if (!holds_enum(t)) continue;
        for (uint32_t seed = 0; seed < 4; ++seed) {
            SCOPED_TRACE(walk::name(t) + " seed " + std::to_string(seed));
            H h = handle(t, kTypes[t].highest());
            const walk::Ops &o = walk::ops(t);
            walk::Filler fill{h, std::mt19937(seed)};
            fill.with_nuls = false;
            void *set = walk::create(h, t);
            fill.fill(t, set);
            unnamed_numbers(t, set, seed);
            uint32_t err = 0;
            std::vector<uint8_t> bytes(o.len(h, 1, set) + 1);
            const uint32_t n = o.marshal(h, 1, bytes.data(), set, static_cast<int32_t>(bytes.size()), &err);
            void *decoded = walk::create(h, t);
            o.unmarshal(h, 1, bytes.data(), decoded, static_cast<int32_t>(n), 0, &err);
            ASSERT_EQ(err, 0u);
            for (void *inst : {set, decoded}) {
                const std::string text = write_xml(h, t, inst, &err);
                ASSERT_EQ(err, 0u);
                EXPECT_EQ(text.find("out of range"), std::string::npos);
                reads_back_equal(h, t, inst, text);
            }
            walk::destroy(h, t, decoded);
            walk::destroy(h, t, set);
            done(h);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, RoundTrip,
                         ::testing::Values(Setting{Tracking::Off, false}, Setting{Tracking::On, false},
                                           Setting{Tracking::Off, true}, Setting{Tracking::On, true}),
                         [](const auto &p) {
                             return std::string(p.param.tracking == Tracking::On ? "Tracking" : "Untracked") +
                                    (p.param.observed ? "Observed" : "Quiet");
                         });

class Numbers : public Owning {};

// A newer peer's reply, decoded (its validation result 0x730000 is no value of its type), written and
// read back; the number is announced as a decoding announces it.
TEST_F(Numbers, ANewerPeersReplyReadsBack) {
    const uint8_t wire[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x73, 0, 0};
    vm_id_valid_reply_t *r = make(&vm_id_valid_reply_create, &vm_id_valid_reply_destroy);
    vm_id_valid_reply_unmarshal(h, 1, wire, r, sizeof wire, 0, &err);
    ASSERT_EQ(err, 0u);
    const uint32_t t = walk::index_of("vm_id_valid_reply");
    const std::string text = write_xml(h, t, r, &err);
    EXPECT_NE(text.find("<validation_result><vm_id_validation_type value=\"7536640\"/></validation_result>"), std::string::npos)
        << text;
    Doc doc(h, text);
    vm_id_valid_reply_t *back = make(&vm_id_valid_reply_create, &vm_id_valid_reply_destroy);
    st().writes.clear();
    drov_def_read_xml(h, 1, record_of(t), "/vm_id_valid_reply", doc.doc, back, 0, &err);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_id_valid_reply_compare(back, r), 0);
    const uint32_t *slot = enum_slot(back, "vm_id_valid_reply", "validation_result");
    EXPECT_EQ(*slot, 7536640u);
    bool announced = false;
    for (const auto &w : st().writes)
        announced |= w.addr == slot && w.len == 4 && w.owner == reinterpret_cast<const uint8_t *>(slot) - 12;
    EXPECT_TRUE(announced);
}

// The numeric form where the lenient reading meets it: only where no value name stands beside it,
// each list element's own.
TEST_F(Numbers, LenientReadingTakesTheNumberWhereNoNameIs) {
    const uint32_t t = walk::index_of("vm_act_rsp");
    const std::string text = rsp("<rc><vm_rsp_rc value='9'/><VM_RSP_RC_FAIL/></rc><vm_clnt><vm_rsp_client value='7'/></vm_clnt>"
                                 "<vm_if_rsp><vm_if_info/><vm_if_info><vm_nic_info><vm_if_state><vm_if_state value='5'/>"
                                 "</vm_if_state></vm_nic_info></vm_if_info></vm_if_rsp>");
    Doc doc(h, text);
    vm_act_rsp_t *a = make(&vm_act_rsp_create, &vm_act_rsp_destroy);
    vm_nic_list_t *held = vm_nic_list_create(h, 1); // the list already holds one
    vm_nic_rsp_vm_if_info_set_last(h, 1, vm_act_rsp_vm_if_rsp_get(h, 1, a, &err), held, &err);
    drov_def_read_xml(h, 1, record_of(t), "/vm_act_rsp", doc.doc, a, DROV_DEF_XML_LENIENT, &err);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(vm_act_rsp_rc_get_value(h, 1, a, &err), 1u);
    EXPECT_EQ(*enum_slot(a, "vm_act_rsp", "vm_clnt"), 7u);
    uint32_t states[3] = {};
    uint32_t k = 0;
    vm_nic_rsp_t *nics = vm_act_rsp_vm_if_rsp_get(h, 1, a, &err);
    for (vm_nic_list_t *e = vm_nic_rsp_vm_if_info_get_first(h, 1, nics, &err); e != nullptr && k < 3;
         e = vm_nic_rsp_vm_if_info_get_next(h, 1, nics, e, &err))
        states[k++] = *enum_slot(vm_nic_list_vm_nic_info_get(h, 1, e, &err), "vm_nic_info", "vm_if_state");
    EXPECT_EQ(k, 3u);
    EXPECT_EQ(states[0], 0u);
    EXPECT_EQ(states[1], 0u);
    EXPECT_EQ(states[2], 5u);
}

} // namespace
