#!/usr/bin/env python3
"""The schema generator refuses a broken schema: every check of its reading
and layout once, each on a small schema that is valid but for one line.  And
its build record: always 263 bytes, the same for reproducible runs.

usage: drovgen_test.py GENERATOR [unittest options]
"""

import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

GENERATOR = os.path.abspath(sys.argv.pop(1))
sys.path.insert(0, os.path.dirname(GENERATOR))
import drovgen  # noqa: E402

D1, D2, D3, D4, D5, D6, D7, D8 = (c * 32 for c in "abcdef12")

VALID = f"""module m
trace-name qel_m
trace-uuid 00112233445566778899aabbccddeeff
luid-base 100
decoder 01 02
struct s_id {D1} {D2}
  used 16  base 24  state 1
  u32 id
struct s_holder {D3} {D4}
  used 32  base 40  state 1
  enum kind e_kind
enum e_kind {D5} {D6}
  E_KIND_A 0
  E_KIND_B 1
trace enum create_error error " error in {{type}} create %s"
trace frame dump error " dump failed"
"""

LIST_TYPES = f"""struct s_lists {D7} {D8}
  used 67  base 72  state 2
  list a s_id
  list b s_id
"""


class SchemaRefusals(unittest.TestCase):
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory())
        self.path = os.path.join(self.dir, "broken.schema")

    def generate(self, text):
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(text)
        module, types, traces, families, points = drovgen.parse(self.path)
        structs, enums = drovgen.layout(types)
        return drovgen.catalogue(module, enums, traces, structs, families, points)

    def edited(self, old, new):
        self.assertIn(old, VALID)
        return VALID.replace(old, new, 1)

    def test_valid_schema_reads(self):
        texts = [e.text for e in self.generate(VALID)]
        self.assertEqual(texts, [" error in e_kind create %s", " dump failed"])
        points = 'family f error 6 " f {type}"\npoint type create a f\npoint fields accessors\n' \
                 'point enum,u32 set b f\npoint type destroy c f dead\ncatalogue-size 8\n'
        entries = self.generate(VALID + points)
        self.assertEqual([(e.owner, e.name, e.field, e.dead) for e in entries[1:7]],
                         [("s_id", "a", None, False), ("s_id", "b", 0, False),
                          ("s_id", "c", None, True), ("s_holder", "a", None, False),
                          ("s_holder", "b", 0, False), ("s_holder", "c", None, True)])
        self.assertEqual(entries[4].text, " f s_holder")

    def test_each_broken_line_is_refused_with_its_place(self):
        lines = VALID.splitlines()
        before_types = lines.index("decoder 01 02") + 1
        cases = [
            # (schema, line number or None, message)
            (self.edited("  u32 id", "  u64 id"), 8, "cannot read field u64 id"),
            (self.edited(f"struct s_id {D1}", f"struct s_id {D1.upper()}"), 6,
             "expected 32 lower-case hex digits"),
            (self.edited("trace-uuid 00112233445566778899aabbccddeeff", "trace-uuid 0011"), 3,
             "expected 32 lower-case hex digits, got '0011'"),
            (self.edited("used 16  base 24", "used 20  base 24"), 6,
             "s_id used lengths [20], layout gives [16]"),
            (self.edited("base 24  state 1", "base 24  state 2"), 6,
             "s_id state areas [2], layout gives [1]"),
            (self.edited("used 16  base 24", "used 16  base 8"), 6,
             "s_id base sizes [8] do not cover [16]"),
            (self.edited("enum kind e_kind", "enum kind e_other"), 9,
             "s_holder.kind names unknown type e_other"),
            (self.edited("enum kind e_kind", "enum kind s_id"), None,
             "s_holder.kind: s_id is not an enumeration"),
            (self.edited("luid-base 100\n", ""), None, "missing module statement luid-base"),
            (self.edited('dump error " dump', 'dump loud " dump'), 16,
             "trace OWNER NAME SEVERITY"),
            (self.edited('" dump failed"', '" dump failed'), 16, "No closing quotation"),
            (self.edited("trace frame", "trace bogus"), 16, "unknown trace owner bogus"),
            (self.edited('" dump failed"', '"dump failed"'), 16,
             "a catalogue text starts with one space"),
            ("\n".join(lines[:before_types] + ["  u32 stray"] + lines[before_types:]) + "\n",
             before_types + 1, "u32 outside a type"),
            ("\n".join(lines[:5] + lines[11:14] + lines[5:11] + lines[14:]) + "\n", None,
             "the type table lists all structures before the enumerations"),
            (self.edited("enum e_kind", LIST_TYPES + "enum e_kind"), None,
             "s_id is the element type of two lists"),
            (self.edited("  enum kind e_kind", "  record inner s_holder"), None,
             "s_holder contains itself"),
            (self.edited("  u32 id", "  u32 id\n  variant 1\n  u8 extra"), 6,
             "s_id has a field of an undeclared variant"),
            (self.edited("E_KIND_B 1", "E_KIND_B 2"), 12, "e_kind values must be dense from 0"),
            (VALID + 'family f error 5 " f"\npoint type create a f\n', None,
             "family f: 2 catalogue entries, the schema says 5"),
            (VALID + 'point type create a nofamily\n', 17, "unknown family nofamily"),
            (VALID + 'family f error 2 " f"\npoint bogus create a f\n', 18,
             "unknown point owner bogus"),
            (VALID + 'family f error 2 " f"\npoint type create a\n', 18,
             "point OWNER OPERATION NAME FAMILY"),
            (VALID + 'family f error x " f"\n', 17, "family NAME SEVERITY COUNT"),
            (VALID + 'family f error 4 " f"\npoint type create a f\npoint type destroy a f\n',
             19, "s_id has two trace points named a"),
            (VALID + "catalogue-size 9\n", None, "the catalogue has 2 entries, the schema says 9"),
        ]
        for text, line, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(drovgen.SchemaError) as caught:
                    self.generate(text)
                got = str(caught.exception)
                self.assertIn(message, got)
                if line is not None:
                    self.assertTrue(got.startswith(f"{self.path}:{line}: "), got)

    def test_command_line_refuses_without_writing(self):
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(self.edited('" dump failed"', '" dump failed'))
        out = os.path.join(self.dir, "out")
        run = subprocess.run([sys.executable, GENERATOR, "--schema", self.path, "--out", out],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, "")
        self.assertRegex(run.stderr, rf"^drovgen: {re.escape(self.path)}:16: [^\n]*quotation[^\n]*\n$")
        self.assertFalse(os.path.exists(out))


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


class BuildRecord(unittest.TestCase):
    """The build record is 263 bytes whatever the build's environment, and a
    reproducible run depends on nothing but the schema and the date given."""

    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory())
        self.schema = os.path.join(self.dir, "m.schema")
        with open(self.schema, "w", encoding="utf-8") as f:
            f.write(VALID)

    def run_generator(self, out, user, *options, date="1700000000"):
        env = dict(os.environ, LOGNAME=user, USER=user)
        env.pop("SOURCE_DATE_EPOCH", None)
        if date is not None:
            env["SOURCE_DATE_EPOCH"] = date
        out = os.path.join(self.dir, out)
        run = subprocess.run([sys.executable, GENERATOR, "--schema", self.schema, "--out", out,
                              *options], capture_output=True, text=True, env=env)
        return run, out

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

    def test_record_keeps_its_size(self):
        # A short path is padded, a long one keeps its end; the time is in
        # UTC when given.
        for out, user in (("o", "carol"), ("p" * 200 + "/deep", "d" * 100)):
            with self.subTest(out=out[:10], user=user[:10]):
                run, path = self.run_generator(out, user, date="0")
                self.assertEqual(run.returncode, 0, run.stderr)
                record = build_record(path)
                self.assertEqual(len(record), 263)
                self.assertEqual(record[-2:], b"\n\0")
                lines = record[:-1].decode().splitlines()
                self.assertEqual(lines[2], "built by: " + user[:32])
                self.assertEqual(lines[5], "at: 1970-01-01 00:00:00.000000000")
                comment = lines[6][len("comment: "):].rstrip(" ")
                if comment.startswith("..."):
                    self.assertTrue(path.endswith(comment[3:]), comment)
                else:
                    self.assertEqual(comment, path)

    def test_bad_date_is_refused(self):
        for date in ("yesterday", "-1", "", "99999999999999"):
            with self.subTest(date=date):
                run, out = self.run_generator("bad", "eve", date=date)
                self.assertEqual(run.returncode, 1)
                self.assertIn("SOURCE_DATE_EPOCH", run.stderr)
                self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    unittest.main()
