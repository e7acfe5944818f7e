// The three messages the wire benchmark measures, built through the public
// API (the benchmark and the allocation-failure tests share them).
#pragma once

#include <cstdint>
#include <string>

#include "drov_def/drov_def.h"

namespace messages {

inline std::string text(size_t n, char first) {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(first + i % 26);
    return s;
}

// An installation request: trans_id and three strings of 12, 48 and 64.
inline vm_inst_req_t *inst_req(qel_handle_t *h, uint32_t *err) {
    vm_inst_req_t *m = vm_inst_req_create(h, 1);
    vm_inst_req_trans_id_set_value(h, 1, m, 4711, err);
    std::string a = text(12, 'a'), b = text(48, 'A'), c = text(64, 'a');
    vm_inst_req_vm_name_set(h, 1, m, a.data(), static_cast<uint32_t>(a.size()), err);
    vm_inst_req_ova_pkg_path_set(h, 1, m, b.data(), static_cast<uint32_t>(b.size()), err);
    vm_inst_req_gen_target_uri_set(h, 1, m, c.data(), static_cast<uint32_t>(c.size()), err);
    return m;
}

// An activation response in variant 2 whose interface response lists
// `nics` interfaces, each with a handle and a full interface description.
inline vm_act_rsp_t *act_rsp(qel_handle_t *h, uint32_t *err, uint32_t nics = 16) {
    vm_act_rsp_t *m = vm_act_rsp_create(h, 1);
    std::string name = text(16, 'a'), owner = text(8, 'A');
    vm_act_rsp_vm_name_set(h, 1, m, name.data(), 16, err);
    vm_act_rsp_rc_set_value(h, 1, m, 1, err);
    vm_act_rsp_vm_uid_set_value(h, 1, m, 0x1234, err);
    vm_act_rsp_vm_clnt_set_value(h, 1, m, 1, err);
    vm_act_rsp_vm_act_state_set_value(h, 1, m, 1, err);
    vm_act_rsp_owner_set(h, 1, m, owner.data(), 8, err);
    vm_act_rsp_sp_type_set_value(h, 1, m, 3, err);
    vm_nic_rsp_t *rsp = vm_act_rsp_vm_if_rsp_get(h, 1, m, err);
    for (uint32_t i = 0; i < nics; ++i) {
        vm_nic_list_t *e = vm_nic_list_create(h, 1);
        uint32_t handle = 0x1000 + i;
        vm_nic_list_if_handle_set(h, 1, e, &handle, err);
        vm_nic_info_t *info = vm_nic_list_vm_nic_info_get(h, 1, e, err);
        vm_nic_info_vm_if_state_set_value(h, 1, info, 1, err);
        vm_nic_info_vm_service_mac_type_set_value(h, 1, info, 1, err);
        const uint8_t mac[6] = {0x00, 0x1b, 0x54, 0x11, static_cast<uint8_t>(i >> 8),
                                static_cast<uint8_t>(i)};
        vm_nic_info_vm_service_mac_addr_set_mem(h, 1, info, mac, 6, err);
        vm_nic_info_intf_type_set_value(h, 1, info, 2, err);
        vm_nic_info_mtu_set_value(h, 1, info, 1500, err);
        vm_nic_rsp_vm_if_info_set_last(h, 1, rsp, e, err);
    }
    return m;
}

// An installation configuration in variant 1 with a default profile, four
// profiles and two package descriptions.
inline vm_install_cfg_t *install_cfg(qel_handle_t *h, uint32_t *err) {
    vm_install_cfg_t *m = vm_install_cfg_create(h, 1);
    std::string name = text(16, 'a'), result = text(40, 'A'), owner = text(8, 'a');
    vm_install_cfg_vm_name_set(h, 1, m, name.data(), 16, err);
    vm_install_cfg_trans_id_set_value(h, 1, m, 4711, err);
    vm_install_cfg_install_code_set_value(h, 1, m, 3, err);
    vm_install_cfg_result_str_set(h, 1, m, result.data(), 40, err);
    vm_install_cfg_owner_set(h, 1, m, owner.data(), 8, err);
    auto profile = [&](vm_veltoprofile_t *p, char first) {
        std::string pn = text(12, first), ln = text(20, first), lv = text(6, first),
                    d = text(80, first);
        vm_veltoprofile_profile_name_set(h, 1, p, pn.data(), 12, err);
        vm_veltoprofile_license_name_set(h, 1, p, ln.data(), 20, err);
        vm_veltoprofile_license_ver_set(h, 1, p, lv.data(), 6, err);
        vm_veltoprofile_desc_set(h, 1, p, d.data(), 80, err);
    };
    profile(vm_install_cfg_default_profile_get(h, 1, m, err), 'd');
    for (int i = 0; i < 4; ++i) {
        vm_veltoprofile_t *p = vm_veltoprofile_create(h, 1);
        profile(p, static_cast<char>('a' + i));
        vm_install_cfg_profiles_set_last(h, 1, m, p, err);
    }
    for (int i = 0; i < 2; ++i) {
        vm_package_meta_data_t *d = vm_package_meta_data_create(h, 1);
        std::string an = text(16, 'a'), av = text(16, 'A'), ver = text(8, '0');
        vm_package_meta_data_application_name_set(h, 1, d, an.data(), 16, err);
        vm_package_meta_data_application_vendor_set(h, 1, d, av.data(), 16, err);
        vm_package_meta_data_application_version_set(h, 1, d, ver.data(), 8, err);
        vm_install_cfg_pkg_meta_data_set_last(h, 1, m, d, err);
    }
    return m;
}

} // namespace messages
