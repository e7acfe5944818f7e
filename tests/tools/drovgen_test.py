#!/usr/bin/env python3
"""The schema generator refuses a broken schema: every check of its reading
and layout once, each on a small schema that is valid but for one place
(tests/golden/tools/broken_schemas).  And its build record: always 263
bytes, the same for reproducible runs.

usage: drovgen_test.py GENERATOR [unittest options]
"""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

GENERATOR = os.path.abspath(sys.argv.pop(1))
sys.path.insert(0, os.path.dirname(GENERATOR))
import drovgen  # noqa: E402


def read_cases():
    """The valid schema, and (schema, line or None, message) of each broken
    one, from tests/golden/tools/broken_schemas."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden", "tools",
                        "broken_schemas")
    blocks = []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("=== "):
                blocks.append((line[4:], [], []))
            elif blocks and line and not line.startswith("#"):
                old, new = blocks[-1][1:]
                (old if line.startswith("- ") else new).append(line[2:] if line[:2] in ("- ", "+ ") else line)
    valid = "\n".join(blocks[0][2]) + "\n"
    cases = []
    for head, old, new in blocks[1:]:
        line, message = head.split(" ", 1)
        old_text, new_text = "\n".join(old + [""]), "\n".join(new + [""])
        assert old_text in valid, head
        schema = valid.replace(old_text, new_text, 1) if old else valid + new_text
        cases.append((schema, None if line == "-" else int(line), message))
    return valid, cases


VALID, BROKEN = read_cases()


def build_record(out):
    """The body of the build record (type 1) in the generated .velto bytes."""
    with open(os.path.join(out, "velto.bin"), "rb") as f:
        data = f.read()
    off = 0
    while off < len(data):
        length, rtype = struct.unpack_from("<II", data, off)
        if rtype == 1:
            return data[off + 8:off + 8 + length]
        off += 8 + length + (-(8 + length) % 4)
    raise AssertionError("no build record")


class Generator(unittest.TestCase):
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory())
        self.path = os.path.join(self.dir, "m.schema")

    def generate(self, text):
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(text)
        module, types, traces, families, points = drovgen.parse(self.path)
        structs, enums = drovgen.layout(types)
        return drovgen.catalogue(module, enums, traces, structs, families, points)

    def run_generator(self, out, user, *options, text=VALID, date="1700000000"):
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(text)
        env = dict(os.environ, LOGNAME=user, USER=user, SOURCE_DATE_EPOCH=date)
        out = os.path.join(self.dir, out)
        run = subprocess.run([sys.executable, GENERATOR, "--schema", self.path, "--out", out, *options],
                             capture_output=True, text=True, env=env)
        return run, out

    def test_each_broken_line_is_refused_with_its_place(self):
        self.assertEqual(len(BROKEN), 26)
        for text, line, message in BROKEN:
            with self.subTest(message=message):
                with self.assertRaises(drovgen.SchemaError) as caught:
                    self.generate(text)
                got = str(caught.exception)
                self.assertIn(message, got)
                if line is not None:
                    self.assertTrue(got.startswith(f"{self.path}:{line}: "), got)

    def test_reproducible_runs_match_byte_for_byte(self):
        first, a = self.run_generator("a", "alice", "--reproducible")
        second, b = self.run_generator(os.path.join("elsewhere", "b"), "bob", "--reproducible")
        self.assertEqual((first.returncode, second.returncode), (0, 0), first.stderr + second.stderr)
        for name in ("velto.bin", "wlog_luids.bin", "wlog_format_strings.bz2"):
            with open(os.path.join(a, name), "rb") as fa, open(os.path.join(b, name), "rb") as fb:
                self.assertEqual(fa.read(), fb.read(), name)
        record = build_record(a)
        self.assertEqual(len(record), 263)
        lines = [line.rstrip(" ") for line in record[:-1].decode().splitlines()]
        self.assertEqual(lines, [
            "m", "pkg_id: " + "0" * 40, "built by: builder", "on host: localhost", "pid: 0",
            "at: 2023-11-14 22:13:20.000000000", "comment: reproducible build"])


if __name__ == "__main__":
    unittest.main()
