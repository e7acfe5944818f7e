"""List fields as sequences, and the lifetimes of views: a nested record or
list element keeps its owner alive, a removed element's view becomes a
record of its own, and records, views, lists, iterators and runtimes may go
in any order.  Each test counts the runtime's live blocks back to 0."""

import gc
import itertools
import threading

import pytest

import drov_def as dd

listed_views = dd._core._listed_views


@pytest.fixture
def rt():
    rt = dd.Runtime()
    yield rt
    gc.collect()
    assert rt.live_blocks == 0
    assert listed_views() == 0


def act_rsp(rt, mtus=(1500, 9000, 1400)):
    r = dd.VmActRsp(vm_name="web01", runtime=rt)
    for i, mtu in enumerate(mtus):
        r.vm_if_rsp.vm_if_info.add(if_handle=i + 1, vm_nic_info={"mtu": mtu})
    return r


def handles(lst):
    return [e.if_handle for e in lst]


def test_sequence_operations(rt):
    r = act_rsp(rt)
    lst = r.vm_if_rsp.vm_if_info
    assert len(lst) == 3 and handles(lst) == [1, 2, 3]
    assert lst[0].if_handle == 1 and lst[-1].if_handle == 3 and lst[1] is lst[1]
    assert handles(lst[::2]) == [1, 3] and lst[5:] == []
    for bad in (3, -4):
        with pytest.raises(IndexError):
            lst[bad]
    lst.insert(0, {"if_handle": 10})
    lst.insert(-1, dd.VmNicList(if_handle=11))
    lst.insert(99, {"if_handle": 12})
    lst.append({"if_handle": 13})
    lst.extend([{"if_handle": 14}, dd.VmNicList(if_handle=15)])
    assert handles(lst) == [10, 1, 2, 11, 3, 12, 13, 14, 15]
    assert lst.pop().if_handle == 15 and lst.pop(0).if_handle == 10 and lst.pop(-2).if_handle == 13
    del lst[1::2]
    assert handles(lst) == [1, 11, 12]
    lst[1] = {"if_handle": 21}
    lst[-1] = dd.VmNicList(if_handle=22)
    assert handles(lst) == [1, 21, 22]
    assert lst == [dd.VmNicList(if_handle=h, vm_nic_info={"mtu": 1500 if h == 1 else 0}) for h in (1, 21, 22)]
    assert lst != [] and repr(lst).startswith("[VmNicList(if_handle=1")
    del lst[0]
    lst.clear()
    assert len(lst) == 0 and list(lst) == [] and r.encode() == act_rsp(rt, ()).encode()
    with pytest.raises(IndexError):
        lst.pop()


def test_append_copies_and_add_makes_in_place(rt):
    r = act_rsp(rt, ())
    lst = r.vm_if_rsp.vm_if_info
    src = dd.VmNicList(if_handle=5, runtime=rt)
    lst.append(src)
    src.if_handle = 6
    assert lst[0].if_handle == 5
    made = lst.add(if_handle=7)
    made.vm_nic_info.mtu = 1280
    assert lst[1].vm_nic_info.mtu == 1280 and lst[1] is made
    # Another runtime's record is copied by value.
    lst.append(dd.VmNicList(if_handle=8, vm_nic_info={"mtu": 9}))
    assert lst[2] == dd.VmNicList(if_handle=8, vm_nic_info={"mtu": 9})
    with pytest.raises(TypeError):
        lst.add(7)
    with pytest.raises(ValueError):
        lst.add(if_handle=-1)
    assert len(lst) == 3


REMOVALS = {
    "del": lambda r: r.vm_if_rsp.vm_if_info.__delitem__(1),
    "del slice": lambda r: r.vm_if_rsp.vm_if_info.__delitem__(slice(None)),
    "pop": lambda r: r.vm_if_rsp.vm_if_info.pop(1),
    "clear": lambda r: r.vm_if_rsp.vm_if_info.clear(),
    "setitem": lambda r: r.vm_if_rsp.vm_if_info.__setitem__(1, {"if_handle": 99}),
    "list assigned": lambda r: setattr(r.vm_if_rsp, "vm_if_info", [{"if_handle": 98}]),
    "record assigned": lambda r: setattr(r, "vm_if_rsp", {"vm_if_info": [{"if_handle": 97}]}),
    "record copied in": lambda r: setattr(r, "vm_if_rsp", dd.VmNicRsp()),
    "list assigned itself": lambda r: setattr(r.vm_if_rsp, "vm_if_info", r.vm_if_rsp.vm_if_info),
}


@pytest.mark.parametrize("removal", REMOVALS.values(), ids=REMOVALS.keys())
def test_a_removed_element_stays_readable_through_its_views(rt, removal):
    r = act_rsp(rt)
    element = r.vm_if_rsp.vm_if_info[1]
    info = element.vm_nic_info  # a view into the element
    removal(r)
    gc.collect()
    # New elements take the blocks freed just now: a view of a freed one would show them.
    r.vm_if_rsp.vm_if_info.extend([{"if_handle": 50 + i, "vm_nic_info": {"mtu": i}} for i in range(4)])
    assert element.if_handle == 2 and info.mtu == 9000
    info.mtu = 1
    assert element == dd.VmNicList(if_handle=2, vm_nic_info={"mtu": 1})
    assert dd.VmNicList.decode(element.encode()) == element
    assert all(e is not element for e in r.vm_if_rsp.vm_if_info)
    assert dd.VmActRsp.decode(r.encode()) == r and str(r)


def test_iteration_notices_the_removal_of_the_element_it_stands_on(rt):
    r = act_rsp(rt)
    lst = r.vm_if_rsp.vm_if_info
    seen = []
    with pytest.raises(RuntimeError, match="changed during iteration"):
        for e in lst:
            seen.append(e.if_handle)
            del lst[0]
    assert seen == [1] and handles(lst) == [2, 3]
    # Removing others, or adding, goes on.
    for e in lst:
        if e.if_handle == 2:
            del lst[1]
            lst.add(if_handle=4)
    assert handles(lst) == [2, 4]
    it = iter(r.vm_if_rsp.vm_if_info)
    del r, lst
    assert [e.if_handle for e in it] == [2, 4]


def test_freed_in_every_order(rt):
    # root, a nested record's view, a list, an element, a view into the
    # element, an iterator, the runtime; with and without the element
    # removed from its list first.
    for removed in (False, True):
        for order in itertools.permutations(range(7)):
            local = dd.Runtime()
            root = act_rsp(local)
            lst = root.vm_if_rsp.vm_if_info
            objs = [root, root.vm_if_rsp, lst, lst[1], lst[1].vm_nic_info, iter(lst), local]
            next(objs[5])
            if removed:
                del lst[1]
            del root, lst, local
            for i in order:
                objs[i] = None
                gc.collect(0)
            assert listed_views() == 0


def test_objects_keep_their_runtime(rt):
    local = dd.Runtime(tracking=True)
    r = dd.VmActRsp(vm_uid=5, runtime=local)
    del local
    gc.collect()
    assert r.runtime.tracking and r.state_flag("vm_uid") == 2
    assert dd.VmActRsp.decode(r.encode(), runtime=r.runtime) == r


def test_each_thread_has_its_own_default_runtime():
    made = {}

    def work():
        made["runtime"] = dd.default_runtime()
        made["record"] = dd.VmInstReq(trans_id=7, vm_name="web01")

    t = threading.Thread(target=work)
    t.start()
    t.join()
    assert made["runtime"] is not dd.default_runtime() and made["record"].runtime is made["runtime"]
    assert dd.default_runtime() is dd.default_runtime()
    # The thread is gone; its record and runtime are not.
    assert dd.VmInstReq.decode(made["record"].encode()) == made["record"]
