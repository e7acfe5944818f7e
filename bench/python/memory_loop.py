"""Memory over many build -> encode -> decode loops in one process.

    PYTHONPATH=build/python python3 bench/python/memory_loop.py [LOOPS]   (default 1,000,000)

Prints the resident size after a warm-up of 10,000 loops and after LOOPS
more, and the growth; exit status 1 when it grew by 10 MB or more.  The
tests run the same loop 100,000 times (tests/python/test_memory.py).
"""

import os
import sys

import drov_def as dd


def rss():
    """The process's resident size in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def loop(n, failures=False):
    """n build -> encode -> decode loops of a vm_act_rsp with one interface;
    with failures, each also refused decodings and XML readings."""
    for i in range(n):
        rsp = dd.VmActRsp(vm_name="web01", rc=dd.VmRspRc.OK, vm_uid=i & 0xFFFF, owner="ops")
        rsp.vm_if_rsp.vm_if_info.add(if_handle=i & 0xFFFFFFFF, vm_nic_info={"mtu": 1500})
        data = rsp.encode()
        back = dd.VmActRsp.decode(data)
        if back.vm_uid != i & 0xFFFF:
            raise AssertionError("decoded another message")
        if failures:
            for bad in (lambda: dd.VmActRsp.decode(data[:-3]), lambda: dd.VmActRsp.from_xml("<vm_act_rsp><x/>"),
                        lambda: setattr(back, "vm_uid", -1)):
                try:
                    bad()
                except (dd.Error, ValueError):
                    pass


def growth(n, failures=False):
    """Bytes the process grew by over n loops after a warm-up."""
    loop(10_000, failures)
    before = rss()
    loop(n, failures)
    return before, rss()


if __name__ == "__main__":
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    before, after = growth(n)
    print(f"{n} loops: resident {before / 2**20:.1f} MiB -> {after / 2**20:.1f} MiB, "
          f"growth {(after - before) / 2**20:.2f} MiB")
    sys.exit(0 if after - before < 10 * 2**20 else 1)
