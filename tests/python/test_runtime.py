"""Runtimes (tracking, variants, allocators), state flags, and the errors:
drov_def.Error with the library's number, text and place."""

import os

import pytest

import drov_def as dd
from strategies import sample


def test_a_runtime_with_tracking_keeps_state_flags_also_on_the_wire():
    rt = dd.Runtime(tracking=True)
    r = dd.VmMacPool(pool_id=1, name="p", runtime=rt)
    assert rt.tracking and r.state_flag("pool_id") == 2 and r.state_flag("mac_base") == 0
    r.set_state_flag("mac_base", 3)
    r.set_state_flag("mac_base", 5, index=2)
    r.set_state_flag("pool_id", 7)
    r.mac_addr_list.add(mac_addr=b"\x01" * 6)
    assert (r.state_flag("mac_base"), r.state_flag("mac_base", 2), r.state_flag("pool_id")) == (3, 5, 7)
    back = dd.VmMacPool.decode(r.encode(), runtime=rt)
    assert back == r and back.state_flag("mac_base", 2) == 5 and back.state_flag("pool_id") == 7
    assert back.mac_addr_list[0].state_flag("mac_addr") == 2 and back.copy().state_flag("pool_id") == 7
    back.set_all_state_flags(1)
    assert back.state_flag("pool_id") == back.state_flag("mac_base", 2) == back.state_flag("mac_addr_list") == 1
    assert back.mac_addr_list[0].state_flag("mac_addr") == 2  # an element is an instance of its own
    with pytest.raises(ValueError):
        r.set_state_flag("pool_id", 256)
    with pytest.raises(dd.Error) as e:
        r.state_flag("mac_base", 6)
    assert e.value.errno == 2 and e.value.path == "mac_base"
    # Without tracking there are no flags to read.
    with pytest.raises(dd.Error) as e:
        dd.VmMacPool().state_flag("pool_id")
    assert e.value.errno == 22 and e.value.operation == "state_flag"


def test_encoding_for_an_older_peer():
    r = dd.VmActRsp(vm_name="web01", owner="ops", sp_type=dd.VmSpType.QUBM)
    assert r.variant == 2 and dd.VmActRsp.VARIANTS == 3
    sizes = []
    for v in (0, 1, 2):
        old = dd.VmActRsp.decode(r.encode(variant=v))
        sizes.append(len(r.encode(variant=v)))
        assert old.variant == v and old.vm_name == "web01"
        assert ("owner" in old.to_dict()) == (v >= 1) and ("sp_type" in old.to_dict()) == (v >= 2)
    assert sizes[0] < sizes[1] < sizes[2] and r.encode() == r.encode(variant=2)
    older = dd.VmActRsp.decode(r.encode(variant=0))
    with pytest.raises(dd.Error) as e:
        older.owner
    assert e.value.errno == 43 and e.value.path == "owner" and "variant" in e.value.strerror
    # The runtime's own choice is back after encode(variant=...).
    assert dd.default_runtime().variants == {}
    with pytest.raises(ValueError):
        r.encode(variant=3)


def test_a_runtime_with_a_variant_domain_makes_and_writes_older_variants():
    rt = dd.Runtime(variants={dd.VmActRsp: 0, "vm_install_cfg": 0})
    assert rt.variants == {"vm_act_rsp": 0, "vm_install_cfg": 0}
    r = dd.VmActRsp(vm_name="x", runtime=rt)
    assert r.variant == 0 and "owner" not in r.to_dict()
    newer = dd.VmActRsp(vm_name="x", owner="ops")
    assert dd.VmActRsp.decode(newer.encode(), runtime=rt).variant == 2  # reads what was written
    rt.set_variant(dd.VmActRsp, None)
    assert dd.VmActRsp(runtime=rt).variant == 2 and rt.variants == {"vm_install_cfg": 0}
    for bad, error in (({dd.VmActRsp: 3}, ValueError), ({"nope": 0}, ValueError), ({7: 0}, TypeError),
                       ({dd.VmActRsp: "0"}, TypeError), ([("vm_act_rsp", 0)], TypeError)):
        with pytest.raises(error):
            dd.Runtime(variants=bad)


@pytest.mark.parametrize("allocator", ["malloc", "pool"])
def test_allocators_give_every_block_back(allocator):
    rt = dd.Runtime(allocator=allocator, context=7)
    assert rt.allocator == allocator and rt.context == 7 and "live_blocks=0" in repr(rt)
    r = dd.VmInstallCfg(**sample(dd.VmInstallCfg), runtime=rt)
    assert rt.live_blocks > 0
    assert dd.VmInstallCfg.decode(r.encode(), runtime=rt) == r
    del r
    assert rt.live_blocks == 0


@pytest.mark.parametrize("kwargs,error", [
    ({"allocator": "arena"}, ValueError), ({"pool_chunk": 100}, ValueError), ({"pool_chunk": "big"}, TypeError),
    ({"context": -1}, ValueError), ({"context": "1"}, TypeError), ({"tracking": None, "bogus": 1}, TypeError),
])
def test_runtime_settings_are_checked(kwargs, error):
    with pytest.raises(error):
        dd.Runtime(**kwargs)


GOOD = dd.VmActRsp(vm_name="web01", owner="ops", vm_if_rsp={"vm_if_info": [{"if_handle": 1}]}).encode()

# (what fails, errno, operation, path, offset, line, column, words in the message)
FAILURES = [
    (lambda: dd.VmActRsp.decode(GOOD[:40]), 90, "decode", "vm_if_rsp.vm_if_info[0].vm_nic_info",
     40, None, None, "no bytes left for a vm_nic_info"),
    (lambda: dd.VmActRsp.decode(GOOD + b"\x00"), 22, "decode", "", len(GOOD), None, None, "1 byte follows"),
    (lambda: dd.VmActRsp.decode(b""), 90, "decode", "", 0, None, None, "no bytes"),
    (lambda: dd.VmActRsp.decode(GOOD[:1] + b"\x01" + GOOD[2:]), 22, "decode", "", 1, None, None, "object flags"),
    (lambda: dd.VmActRsp.decode(GOOD[:40], lenient=True), 90, "decode", "", None, None, None, "buffer too short"),
    (lambda: dd.VmActRsp.from_xml("<vm_act_rsp>\n  <vm_uid>x</vm_uid></vm_act_rsp>"), 22, "from_xml", "vm_uid",
     None, 2, 3, "vm_uid"),
    (lambda: dd.VmActRsp.from_xml("<vm_act_rsp><nope/></vm_act_rsp>"), 22, "from_xml", "", None, 1, 13,
     "nope is no field"),
    (lambda: dd.VmActRsp.from_xml("<vm_act_rsp>\n<rc>"), 22, "from_xml", "", None, 2, 5, "Premature end"),
    (lambda: dd.VmActRsp.from_xml("<other/>"), 2, "from_xml", "", None, None, None, "no element /vm_act_rsp"),
    (lambda: dd.VmActRsp.decode(GOOD, lenient=True).owner and dd.VmActRsp.decode(
        dd.VmActRsp(owner="o").encode(variant=0)).owner, 43, "get", "owner", None, None, None, "vm_act_rsp.owner"),
]


@pytest.mark.parametrize("fail,errno,operation,path,offset,line,column,words", FAILURES)
def test_errors_carry_the_number_text_and_place(fail, errno, operation, path, offset, line, column, words):
    with pytest.raises(dd.Error) as info:
        fail()
    e = info.value
    assert isinstance(e, OSError) and e.errno == errno and e.strerror
    assert (e.operation, e.type_name, e.path) == (operation, "vm_act_rsp", path)
    assert e.offset == offset and e.line == line
    if column is not None:
        assert e.column == column
    assert words in str(e) and str(e).startswith(f"{operation} vm_act_rsp") and str(e).endswith(f"[errno {errno}]")
    if offset is not None or line is not None:
        assert e.reason and e.reason in str(e)


def test_lenient_readings_take_what_the_library_takes():
    flagged = GOOD[:1] + b"\x01" + GOOD[2:]  # object flags with an unknown bit
    assert dd.VmActRsp.decode(flagged, lenient=True) == dd.VmActRsp.decode(GOOD)
    assert dd.VmActRsp.decode(GOOD + b"\x00", lenient=True) == dd.VmActRsp.decode(GOOD)
    xml = "<vm_act_rsp><vm_uid>5</vm_uid><nope/></vm_act_rsp>"
    assert dd.VmActRsp.from_xml(xml, lenient=True).vm_uid == 5
    r, n = dd.VmActRsp.decode_prefix(GOOD + GOOD)
    assert n == len(GOOD) and r == dd.VmActRsp.decode(GOOD)
    assert dd.VmActRsp.decode(bytearray(GOOD)) == dd.VmActRsp.decode(memoryview(GOOD)) == r


def test_every_structure_takes_a_variant_by_class_or_name():
    for cls in dd.STRUCTURES:
        for key in (cls, cls.TYPE_NAME):
            rt = dd.Runtime(variants={key: cls.VARIANTS - 1})
            assert rt.variants == {cls.TYPE_NAME: cls.VARIANTS - 1}
            assert cls(runtime=rt).variant == cls.VARIANTS - 1


def _refusals():
    """The lines of the refusals every layer of ours shares (the file says what the columns mean)."""
    path = os.path.join(os.path.dirname(__file__), "..", "golden", "edges", "refusals.cases")
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            head, _, tail = line.partition(" => ")
            kind, type_name, text = (head.split(" ", 2) + [""])[:3]
            found, _, reason = tail.partition(" | ")
            code, place, field = found.split(" ")
            yield pytest.param(kind, type_name, text, int(code), place[1:],
                               "" if field == "-" else field, reason, id=line[:60])


@pytest.mark.parametrize("kind,type_name,text,errno,place,path,reason", _refusals())
def test_each_shared_refusal_has_its_number_and_place(kind, type_name, text, errno, place, path, reason):
    cls = next(c for c in dd.STRUCTURES if c.TYPE_NAME == type_name)
    with pytest.raises(dd.Error) as info:
        if kind == "binary":
            cls.decode(bytes.fromhex(text))
        else:
            cls.from_xml(text)
    e = info.value
    assert (e.errno, e.path, e.reason) == (errno, path, reason)
    if place == "-":
        assert (e.offset, e.line) == (None, None)
    elif kind == "binary":
        assert e.offset == int(place)
    else:
        assert (e.line, e.column) == tuple(int(n) for n in place.split(":"))
