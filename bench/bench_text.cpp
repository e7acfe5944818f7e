// Text and identity operations on three messages: a vm_inst_req (three
// strings), a vm_act_rsp in variant 2 with 16 interfaces, and a
// vm_install_cfg in variant 1 with a default profile, four profiles and two
// package entries.  print and to_xml report characters per second as well.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstring>
#include <string>
#include <vector>

#include "drov_def/drov_def.h"
#include "drov_def/runtime.h"
#include "bench/quiet_handle.h"
#include "qel.h"

namespace {

std::string chars(size_t n, char c) { return std::string(n, c); }

using Handle = bench::Handle;

// ---- The three messages -------------------------------------------------------------

void *make_inst_req(qel_handle_t *h, uint32_t *err) {
    vm_inst_req_t *r = vm_inst_req_create(h, 1);
    vm_inst_req_trans_id_set_value(h, 1, r, 100234, err);
    const std::string name = chars(12, 'n'), path = chars(48, 'p'), uri = chars(64, 'u');
    vm_inst_req_vm_name_set(h, 1, r, name.data(), 12, err);
    vm_inst_req_ova_pkg_path_set(h, 1, r, path.data(), 48, err);
    vm_inst_req_gen_target_uri_set(h, 1, r, uri.data(), 64, err);
    return r;
}

void *make_act_rsp(qel_handle_t *h, uint32_t *err) {
    vm_act_rsp_t *a = vm_act_rsp_create(h, 1);
    const std::string name = chars(16, 'v'), owner = chars(8, 'o');
    vm_act_rsp_vm_name_set(h, 1, a, name.data(), 16, err);
    vm_act_rsp_rc_set_value(h, 1, a, 1, err);
    vm_act_rsp_vm_uid_set_value(h, 1, a, 31337, err);
    vm_act_rsp_vm_clnt_set_value(h, 1, a, 1, err);
    vm_act_rsp_vm_act_state_set_value(h, 1, a, 1, err);
    vm_act_rsp_owner_set(h, 1, a, owner.data(), 8, err);
    vm_act_rsp_sp_type_set_value(h, 1, a, 3, err);
    vm_nic_rsp_t *rsp = vm_act_rsp_vm_if_rsp_get(h, 1, a, err);
    for (uint32_t i = 0; i < 16; ++i) {
        vm_nic_list_t *e = vm_nic_list_create(h, 1);
        uint32_t ifh = 0x2000 + i;
        vm_nic_list_if_handle_set(h, 1, e, &ifh, err);
        vm_nic_info_t *info = vm_nic_list_vm_nic_info_get(h, 1, e, err);
        vm_nic_info_vm_if_state_set_value(h, 1, info, 1, err);
        vm_nic_info_vm_service_mac_type_set_value(h, 1, info, 1, err);
        const uint8_t mac[6] = {0x00, 0x50, 0x56, 0x12, 0x34, static_cast<uint8_t>(i)};
        vm_nic_info_vm_service_mac_addr_set_mem(h, 1, info, mac, 6, err);
        vm_nic_info_intf_type_set_value(h, 1, info, 2, err);
        vm_nic_info_mtu_set_value(h, 1, info, 1500, err);
        vm_nic_rsp_vm_if_info_set_last(h, 1, rsp, e, err);
    }
    return a;
}

void fill_profile(qel_handle_t *h, vm_veltoprofile_t *p, uint32_t *err) {
    const std::string name = chars(12, 'p'), lic = chars(20, 'l'), ver = chars(6, '1'),
                      desc = chars(80, 'd');
    vm_veltoprofile_profile_name_set(h, 1, p, name.data(), 12, err);
    vm_veltoprofile_license_name_set(h, 1, p, lic.data(), 20, err);
    vm_veltoprofile_license_ver_set(h, 1, p, ver.data(), 6, err);
    vm_veltoprofile_desc_set(h, 1, p, desc.data(), 80, err);
}

void *make_install_cfg(qel_handle_t *h, uint32_t *err) {
    vm_install_cfg_t *c = vm_install_cfg_create(h, 1);
    const std::string name = chars(16, 'v'), result = chars(40, 'r'), owner = chars(8, 'o');
    vm_install_cfg_vm_name_set(h, 1, c, name.data(), 16, err);
    vm_install_cfg_trans_id_set_value(h, 1, c, 77, err);
    vm_install_cfg_install_code_set_value(h, 1, c, 3, err);
    vm_install_cfg_result_str_set(h, 1, c, result.data(), 40, err);
    fill_profile(h, vm_install_cfg_default_profile_get(h, 1, c, err), err);
    for (int i = 0; i < 4; ++i) {
        vm_veltoprofile_t *p = vm_veltoprofile_create(h, 1);
        fill_profile(h, p, err);
        vm_install_cfg_profiles_set_last(h, 1, c, p, err);
    }
    for (int i = 0; i < 2; ++i) {
        vm_package_meta_data_t *m = vm_package_meta_data_create(h, 1);
        const std::string app = chars(16, 'a'), vendor = chars(16, 'b'), version = chars(8, '2');
        vm_package_meta_data_application_name_set(h, 1, m, app.data(), 16, err);
        vm_package_meta_data_application_vendor_set(h, 1, m, vendor.data(), 16, err);
        vm_package_meta_data_application_version_set(h, 1, m, version.data(), 8, err);
        vm_install_cfg_pkg_meta_data_set_last(h, 1, c, m, err);
    }
    vm_install_cfg_owner_set(h, 1, c, owner.data(), 8, err);
    return c;
}

// One message type's operations, taken by name.
struct Message {
    const char *type;
    void *(*make)(qel_handle_t *, uint32_t *);
    uint32_t (*print_cr)(qel_handle_t *, const void *, char *, uint32_t);
    uint32_t (*toxml_cr)(qel_handle_t *, const void *, char *, uint32_t);
    void *(*create)(qel_handle_t *, uint32_t);
    void (*destroy)(qel_handle_t *, uint32_t, void *);
    void (*from_xml)(qel_handle_t *, uint32_t, const char *, void *, void *, uint32_t *, char *,
                     uint32_t);
    int32_t (*compare)(const void *, const void *);
    uint32_t (*hash)(const void *, uint32_t);
};

#define DROV_MESSAGE(T, MAKE)                                                                      \
    Message {                                                                                      \
        #T, MAKE, reinterpret_cast<uint32_t (*)(qel_handle_t *, const void *, char *, uint32_t)>(  \
                      &T##_print_cr),                                                              \
            reinterpret_cast<uint32_t (*)(qel_handle_t *, const void *, char *, uint32_t)>(        \
                &T##_toxml_cr),                                                                    \
            reinterpret_cast<void *(*)(qel_handle_t *, uint32_t)>(&T##_create),                   \
            reinterpret_cast<void (*)(qel_handle_t *, uint32_t, void *)>(&T##_destroy),           \
            reinterpret_cast<void (*)(qel_handle_t *, uint32_t, const char *, void *, void *,     \
                                      uint32_t *, char *, uint32_t)>(&T##_from_xml),               \
            reinterpret_cast<int32_t (*)(const void *, const void *)>(&T##_compare),               \
            reinterpret_cast<uint32_t (*)(const void *, uint32_t)>(&T##_hash)                      \
    }

const Message kMessages[] = {
    DROV_MESSAGE(vm_inst_req, make_inst_req),
    DROV_MESSAGE(vm_act_rsp, make_act_rsp),
    DROV_MESSAGE(vm_install_cfg, make_install_cfg),
};

void text_bench(benchmark::State &state, bool xml) {
    const Message &m = kMessages[state.range(0)];
    Handle f;
    void *inst = m.make(f.h, &f.err);
    std::vector<char> buf(1 << 16);
    const auto len = static_cast<uint32_t>(buf.size());
    uint32_t n = 0;
    for (auto _ : state) {
        n = xml ? m.toxml_cr(f.h, inst, buf.data(), len) : m.print_cr(f.h, inst, buf.data(), len);
        benchmark::DoNotOptimize(buf.data());
    }
    if (f.err != 0 || f.h->err != 0 || n == UINT32_MAX) state.SkipWithError("render failed");
    state.SetLabel(m.type);
    state.counters["chars"] = n;
    state.counters["chars/s"] = benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate);
    m.destroy(f.h, 1, inst);
}
void BM_Print(benchmark::State &state) { text_bench(state, false); }
void BM_ToXml(benchmark::State &state) { text_bench(state, true); }
BENCHMARK(BM_Print)->DenseRange(0, 2);
BENCHMARK(BM_ToXml)->DenseRange(0, 2);

// Reading needs a fresh instance each time (lists are appended to): the
// loop creates, reads and destroys; BM_CreateDestroy gives the share of
// the first and last.  The document is the runtime's own
// (drov_def_runtime_xml_read, as the C++ layer and the tools read XML),
// which keeps what its lookups found, or one the program parsed with
// libxml2, which the runtime walks from the top at every lookup.
void BM_FromXml(benchmark::State &state, bool libxml2) {
    const Message &m = kMessages[state.range(0)];
    Handle f;
    void *inst = m.make(f.h, &f.err);
    std::vector<char> buf(1 << 16);
    m.toxml_cr(f.h, inst, buf.data(), static_cast<uint32_t>(buf.size()));
    m.destroy(f.h, 1, inst);
    const size_t len = std::strlen(buf.data());
    void *doc = nullptr;
    if (libxml2)
        doc = xmlReadMemory(buf.data(), static_cast<int>(len), "m.xml", nullptr, 0);
    else if (drov_def_runtime_xml_read(buf.data(), len, &doc) != 0)
        doc = nullptr;
    if (doc == nullptr) {
        state.SkipWithError("no document");
        return;
    }
    const std::string path = std::string("/") + m.type;
    char msg[128];
    for (auto _ : state) {
        void *x = m.create(f.h, 1);
        m.from_xml(f.h, 1, path.c_str(), doc, x, &f.err, msg, sizeof msg);
        m.destroy(f.h, 1, x);
    }
    if (f.err != 0) state.SkipWithError("from_xml failed");
    state.SetLabel(m.type);
    if (libxml2)
        xmlFreeDoc(static_cast<xmlDocPtr>(doc));
    else
        drov_def_runtime_xml_free(doc);
}
BENCHMARK_CAPTURE(BM_FromXml, runtime_doc, false)->DenseRange(0, 2);
BENCHMARK_CAPTURE(BM_FromXml, libxml2_doc, true)->DenseRange(0, 2);

// Parsing the text into the runtime's document (which notes where each
// element starts) and freeing it.
void BM_XmlParse(benchmark::State &state) {
    const Message &m = kMessages[state.range(0)];
    Handle f;
    void *inst = m.make(f.h, &f.err);
    std::vector<char> buf(1 << 16);
    const uint32_t n = m.toxml_cr(f.h, inst, buf.data(), static_cast<uint32_t>(buf.size()));
    m.destroy(f.h, 1, inst);
    for (auto _ : state) {
        void *doc = nullptr;
        if (drov_def_runtime_xml_read(buf.data(), n, &doc) != 0) state.SkipWithError("no document");
        drov_def_runtime_xml_free(doc);
    }
    state.SetLabel(m.type);
    state.counters["bytes/s"] = benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_XmlParse)->DenseRange(0, 2);

void BM_CreateDestroy(benchmark::State &state) {
    const Message &m = kMessages[state.range(0)];
    Handle f;
    for (auto _ : state) m.destroy(f.h, 1, m.create(f.h, 1));
    state.SetLabel(m.type);
}
BENCHMARK(BM_CreateDestroy)->DenseRange(0, 2);

// Two equal instances: the comparison walks every field.
void BM_Compare(benchmark::State &state) {
    const Message &m = kMessages[state.range(0)];
    Handle f;
    void *a = m.make(f.h, &f.err);
    void *b = m.make(f.h, &f.err);
    for (auto _ : state) benchmark::DoNotOptimize(m.compare(a, b));
    if (m.compare(a, b) != 0) state.SkipWithError("instances differ");
    state.SetLabel(m.type);
    m.destroy(f.h, 1, a);
    m.destroy(f.h, 1, b);
}
BENCHMARK(BM_Compare)->DenseRange(0, 2);

void BM_Hash(benchmark::State &state) {
    const Message &m = kMessages[state.range(0)];
    Handle f;
    void *a = m.make(f.h, &f.err);
    uint32_t x = 0;
    for (auto _ : state) benchmark::DoNotOptimize(x = m.hash(a, x));
    state.SetLabel(m.type);
    m.destroy(f.h, 1, a);
}
BENCHMARK(BM_Hash)->DenseRange(0, 2);

} // namespace
