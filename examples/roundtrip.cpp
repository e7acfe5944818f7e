// A vm_act_rsp with a nested list: built, encoded, decoded, printed, written
// as XML and read back, compared; every instance freed by its owner.
#include <drov_def/drov_def.hpp>

#include <iostream>

int main() {
    drov::Handle h;
    drov::VmActRsp rsp(h);
    rsp.set_vm_name("web01").set_rc(drov::VmRspRc::Ok).set_vm_uid(77).set_owner("ops");
    auto nic = rsp.vm_if_rsp().vm_if_info().push_back();
    nic.set_if_handle(0x1a2b).vm_nic_info().set_vm_if_state(drov::VmIfState::Up).set_mtu(1500);

    const auto bytes = rsp.encode();
    const auto back = drov::VmActRsp::decode(h, bytes);
    std::cout << bytes.size() << " bytes\n" << back;

    const std::string xml = back.to_xml();
    const auto again = drov::VmActRsp::from_xml(h, xml);
    std::cout << xml << '\n' << (again == rsp && back == rsp ? "equal" : "different") << '\n';
    return again == rsp ? 0 : 1;
}
