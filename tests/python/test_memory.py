"""100,000 build -> encode -> decode loops (and refusals) grow the process by
less than 2 MiB (bench/python/memory_loop.py runs a million)."""

import os
import sys

sys.path.insert(0, os.path.join(os.environ["DROV_DEF_SOURCE"], "bench", "python"))
import memory_loop  # noqa: E402


def test_loops_do_not_grow_the_process():
    before, after = memory_loop.growth(100_000)
    assert after - before < 2 * 2**20


def test_refusals_do_not_grow_the_process():
    before, after = memory_loop.growth(20_000, failures=True)
    assert after - before < 2 * 2**20
