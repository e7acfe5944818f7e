#!/usr/bin/env python3
"""drovdef's reading of the built library's trace catalogue, every entry,
against what the generator writes for the schema (decoded here with
Python's own bzip2), however many entries that is.

usage: catalogue_texts_test.py GENERATOR SCHEMA DROVDEF LIBRARY [unittest options]
"""

import bz2
import os
import struct
import subprocess
import sys
import tempfile
import unittest

GENERATOR, SCHEMA, TOOL, LIBRARY = sys.argv[1:5]
del sys.argv[1:5]


def generated_entries():
    """(luid, text) of every catalogue entry, from a fresh generator run."""
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([sys.executable, GENERATOR, "--schema", SCHEMA, "--out", out], check=True)
        with open(os.path.join(out, "wlog_luids.bin"), "rb") as f:
            index = f.read()
        with open(os.path.join(out, "wlog_format_strings.bz2"), "rb") as f:
            texts = bz2.decompress(f.read())
    entries, at = [], 0
    for luid, length in struct.iter_unpack("<IH", index[20:]):
        entries.append((luid, texts[at:at + length]))
        at += length
    assert at == len(texts), "the generator's lengths do not cover its texts"
    return entries


def quote(text):
    """The tool's quoting: C escapes for quotes, backslashes and anything
    outside printable ASCII."""
    named = {ord('"'): '\\"', ord("\\"): "\\\\", ord("\n"): "\\n", ord("\t"): "\\t",
             ord("\r"): "\\r"}
    return '"' + "".join(named.get(b) or (chr(b) if 0x20 <= b < 0x7F else f"\\{b:03o}")
                         for b in text) + '"'


class CatalogueTexts(unittest.TestCase):
    def test_listing_holds_every_generated_entry(self):
        entries = generated_entries()
        self.assertEqual(entries[0][1], b" error in vm_sp_type create %s")
        self.assertEqual(entries[-1][1], b" type variant cached info is NULL during usage dump")
        run = subprocess.run([TOOL, "catalogue", LIBRARY], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.splitlines(),
                         [f"{i} {luid} {quote(text)}" for i, (luid, text) in enumerate(entries)]
                         + [f"{len(entries)} entries"])


if __name__ == "__main__":
    unittest.main()
