"""A vm_act_rsp with a nested list from Python: built, encoded, decoded,
printed, written as XML and read back, compared; its plain values as JSON;
a message cut short refused with the place where it ends.

Prints what examples/roundtrip.c prints, then the JSON and the refusal.
Run with the package on the path: PYTHONPATH=build/python python3 examples/roundtrip.py
"""

import json

import drov_def as dd

rsp = dd.VmActRsp(vm_name="web01", rc=dd.VmRspRc.OK, vm_uid=77, owner="ops")
nic = rsp.vm_if_rsp.vm_if_info.add(if_handle=0x1A2B)
nic.vm_nic_info.vm_if_state = dd.VmIfState.UP
nic.vm_nic_info.mtu = 1500

data = rsp.encode()
back = dd.VmActRsp.decode(data)
print(len(data), "bytes")
print(back)

xml = back.to_xml()
again = dd.VmActRsp.from_xml(xml)
print(xml)
print("equal" if again == rsp and back == rsp and hash(back) == hash(rsp) else "different")

print(json.dumps(back.to_dict()["vm_if_rsp"]))
try:
    dd.VmActRsp.decode(data[:60])
except dd.Error as e:
    print(f"errno {e.errno} at offset {e.offset} in {e.path}: {e.reason}")
