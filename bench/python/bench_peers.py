"""drov_def from Python beside Protocol Buffers' Python package (its C++
implementation) on the three benchmark messages of bench-peers: vm_inst_req,
vm_act_rsp with 16 interfaces, vm_install_cfg with 4 profiles and 2 package
records, with the same content in both (peers.proto has the same fields and
enumeration numbers).

    PYTHONPATH=build/python:build/bench/python python3 bench/python/bench_peers.py [--quick | --check]

(build/bench/python/peers_pb2.py is what protoc makes of peers.proto in the build.)

Times per message, in ns (the best of several rounds, the two libraries
alternating within each round):
  encode          an already built message to bytes
  decode          bytes to a new message (drov_def: checked first, as decode does)
  build+encode    the message made from plain values in one constructor call
                  (nested records as dicts, lists as lists of dicts), then encoded
  build+encode, attributes
                  the message made field by field, list elements with add(),
                  then encoded
and the ratio drov_def / protobuf (below 1.0: drov_def is faster).
Both libraries are first checked to hold the same values; --check does only
that (a test runs it), --quick times briefly.
"""

import sys
import time

import drov_def as dd
from google.protobuf.internal import api_implementation

import peers_pb2 as pb


def text(n, seed):
    return "".join(chr(ord("a") + (seed + i) % 26) for i in range(n))


def profile(seed):
    return {"profile_name": text(12, seed), "license_name": text(20, seed + 1),
            "license_ver": text(6, seed + 2), "desc": text(80, seed + 3)}


def nic(i):
    return {"if_handle": i + 1,
            "vm_nic_info": {"vm_if_state": 1, "vm_service_mac_type": 1,
                            "vm_service_mac_addr": bytes([0x02, 0x42, 0xAC, 0x11, 0x00, i]),
                            "intf_type": 2, "mtu": 1500}}


# The content of bench-peers' messages (enumeration values past a drov_def
# enumeration's last are its last there too).
INST_REQ = {"trans_id": 0x12345, "vm_name": text(12, 0), "ova_pkg_path": text(48, 1),
            "gen_target_uri": text(64, 2)}
ACT_RSP = {"vm_name": text(16, 0), "rc": 1, "vm_if_rsp": {"vm_if_info": [nic(i) for i in range(16)]},
           "vm_uid": 1000, "vm_clnt": 1, "vm_act_state": 1, "owner": text(8, 1), "sp_type": 1}
INSTALL_CFG = {"vm_name": text(16, 0), "trans_id": 0x12345, "install_code": 7, "result_str": text(40, 1),
               "default_profile": profile(2), "profiles": [profile(4 + i) for i in range(4)],
               "pkg_meta_data": [{"application_name": text(16, i), "application_vendor": text(16, 5 + i),
                                  "application_version": text(8, 9 + i)} for i in range(2)],
               "owner": text(8, 3)}


def by_attributes(cls, values):
    """The message made field by field: scalars in the constructor, nested
    records through their attributes, list elements with add()."""
    scalars = {k: v for k, v in values.items() if not isinstance(v, (dict, list))}
    m = cls(**scalars)

    def fill(target, vals):
        for k, v in vals.items():
            if isinstance(v, dict):
                fill(getattr(target, k), v)
            elif isinstance(v, list):
                lst = getattr(target, k)
                for e in v:
                    inner = {ik: iv for ik, iv in e.items() if not isinstance(iv, dict)}
                    el = lst.add(**inner)
                    for ik, iv in e.items():
                        if isinstance(iv, dict):
                            fill(getattr(el, ik), iv)
            else:
                setattr(target, k, v)

    fill(m, {k: v for k, v in values.items() if isinstance(v, (dict, list))})
    return m


MESSAGES = [
    ("vm_inst_req", INST_REQ, pb.InstReq, dd.VmInstReq),
    ("vm_act_rsp (16 interfaces)", ACT_RSP, pb.ActRsp, dd.VmActRsp),
    ("vm_install_cfg", INSTALL_CFG, pb.InstallCfg, dd.VmInstallCfg),
]


def operations(values, pb_cls, dd_cls):
    """(name, protobuf's, drov_def's) operations of one message."""
    pm, dm = pb_cls(**values), dd_cls(**values)
    pdata, ddata = pm.SerializeToString(), dm.encode()
    return [
        ("encode", pm.SerializeToString, dm.encode),
        ("decode", lambda: pb_cls.FromString(pdata), lambda: dd_cls.decode(ddata)),
        ("build+encode", lambda: pb_cls(**values).SerializeToString(), lambda: dd_cls(**values).encode()),
        ("build+encode, attributes", lambda: by_attributes(pb_cls, values).SerializeToString(),
         lambda: by_attributes(dd_cls, values).encode()),
    ]


def best_ns(fn, n):
    t = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - t) / n


def pb_values(m):
    """A protobuf message's fields as a dict."""
    out = {}
    for f in m.DESCRIPTOR.fields:
        v = getattr(m, f.name)
        if f.label == f.LABEL_REPEATED:
            out[f.name] = [pb_values(e) for e in v]
        elif f.message_type is not None:
            out[f.name] = pb_values(v)
        else:
            out[f.name] = v
    return out


def plain(v):
    if isinstance(v, dict):
        return {k: plain(x) for k, x in v.items()}
    if isinstance(v, list):
        return [plain(x) for x in v]
    return list(v) if isinstance(v, bytes) else v


def same_content(values, pb_cls, dd_cls):
    """Both libraries hold the values given after encoding and decoding, made
    either way."""
    for p, d in ((pb_cls(**values), dd_cls(**values)),
                 (by_attributes(pb_cls, values), by_attributes(dd_cls, values))):
        p, d = pb_cls.FromString(p.SerializeToString()), dd_cls.decode(d.encode())
        if plain(pb_values(p)) != plain(values) or plain(d.to_dict()) != plain(values):
            raise AssertionError(f"{dd_cls.__name__}: the libraries hold other values than given")


def main():
    quick = "--quick" in sys.argv[1:]
    if "--check" in sys.argv[1:]:
        for name, values, pb_cls, dd_cls in MESSAGES:
            same_content(values, pb_cls, dd_cls)
            print(f"{name}: the same values in both")
        return
    rounds, target_s = (2, 0.01) if quick else (7, 0.1)
    print(f"protobuf implementation: {api_implementation.Type()}; drov_def runtime: "
          f"{dd.default_runtime().allocator}")
    rows = []
    for name, values, pb_cls, dd_cls in MESSAGES:
        same_content(values, pb_cls, dd_cls)
        for op, pf, df in operations(values, pb_cls, dd_cls):
            t = best_ns(df, 50)
            n = max(10, int(target_s * 1e9 / max(t, 1)))
            best_p = best_d = float("inf")
            for r in range(rounds):
                pair = [(pf, "p"), (df, "d")] if r % 2 == 0 else [(df, "d"), (pf, "p")]
                for fn, who in pair:
                    ns = best_ns(fn, n)
                    if who == "p":
                        best_p = min(best_p, ns)
                    else:
                        best_d = min(best_d, ns)
            rows.append((name, op, best_p, best_d))
    print("\n| message | operation | protobuf ns | drov_def ns | drov_def / protobuf |")
    print("|---|---|---:|---:|---:|")
    for name, op, p, d in rows:
        print(f"| {name} | {op} | {p:,.0f} | {d:,.0f} | {d / p:.2f} |")


if __name__ == "__main__":
    main()
