#!/usr/bin/env python3
"""Generates the drov_def module's per-type sources from its schema.

Reads schema/drov_def.schema and writes, into the output directory:
  include/drov_def/drov_def_types.h  public declarations of every exported name
  schema_gen.h       constexpr type, field and enumeration tables
  trace_gen.h        the trace points the code uses, by catalogue index
  enums/<enum>.cpp   the exported operations of each enumeration
  catalogue.S        the trace catalogue sections and the .velto manifest
  wlog_luids.bin, wlog_format_strings.bz2, velto.bin   their contents

Layouts are computed here from the field kinds and checked against the used
lengths, base sizes and state-area sizes the schema states; a mismatch stops
the build.  Only the Python standard library is used.
"""

import argparse
import bz2
import datetime
import getpass
import os
import shlex
import socket
import struct
import sys
import time

# ---------------------------------------------------------------------------
# Schema reading


class SchemaError(Exception):
    pass


class Field:
    def __init__(self, name, kind, variant, **kw):
        self.name = name
        self.kind = kind  # u8 u16 u32 bool ifh enum record length string text array vararray list
        self.variant = variant
        self.ref = kw.get("ref")  # enum / record / element type name
        self.width = kw.get("width", 0)  # length-field width, array or text capacity
        self.length_of = kw.get("length_of")  # a length field names its string
        self.length_field = kw.get("length_field")  # a string names its length field
        self.item = kw.get("item", False)  # length item (NAME_length) rather than a field
        self.offset = None
        self.size = None
        self.align = None
        self.state_index = None  # first state byte, None for length fields


class Type:
    def __init__(self, name, kind, digest, digest2, line):
        self.name = name
        self.kind = kind  # "struct" or "enum"
        self.digest = digest
        self.digest2 = digest2
        self.line = line
        self.used = []
        self.base = []
        self.state = []
        self.fields = []
        self.values = []  # enumerations: (name, number)
        self.internal_from = 0
        self.list_of = None  # element types: (owner type, list field)

    @property
    def variants(self):
        return len(self.used) if self.kind == "struct" else 1


class TracePoint:
    def __init__(self, owner, name, severity, text):
        self.owner = owner
        self.name = name
        self.severity = severity
        self.text = text


class Family:
    """A message shared by the structures' trace points."""

    def __init__(self, name, severity, count, text):
        self.name = name
        self.severity = severity
        self.count = count
        self.text = text


class Point:
    """A structure trace point: where it stands and which message it uses."""

    def __init__(self, owners, op, name, family, dead, where):
        self.owners = owners  # "type", "element", "fields" or field kinds
        self.op = op
        self.name = name
        self.family = family
        self.dead = dead
        self.where = where


FIELD_KINDS = ("u8", "u16", "u32", "bool", "ifh", "enum", "record", "string", "text", "array",
               "vararray", "list")


SEVERITIES = {"fatal": "WLOG_FATAL", "error": "WLOG_ERROR", "info": "WLOG_INFO",
              "debug": "WLOG_DEBUG", "none": "WLOG_ERROR"}


def check_hex(word, n, where):
    if len(word) != n or any(c not in "0123456789abcdef" for c in word):
        raise SchemaError(f"{where}: expected {n} lower-case hex digits, got {word!r}")
    return word


def parse(path):
    module = {}
    types = []
    traces = []
    families = {}
    points = []
    cur = None
    variant = 0
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            where = f"{path}:{lineno}"
            quoted = raw.lstrip().startswith(("trace ", "family "))
            line = raw.split("#", 1)[0].strip() if not quoted else raw.strip()
            if not line:
                continue
            if line.startswith("family "):
                words = shlex.split(line)
                if len(words) != 5 or words[2] not in SEVERITIES or not words[3].isdigit():
                    raise SchemaError(f"{where}: family NAME SEVERITY COUNT \"TEXT\"")
                if not words[4].startswith(" "):
                    raise SchemaError(f"{where}: a catalogue text starts with one space")
                families[words[1]] = Family(words[1], words[2], int(words[3]), words[4])
                continue
            if line.startswith("point "):
                words = line.split()
                if len(words) == 3 and words[1] == "fields":
                    points.append(Point(["fields"], words[2], None, None, False, where))
                    continue
                if len(words) not in (5, 6) or (len(words) == 6 and words[5] != "dead"):
                    raise SchemaError(f"{where}: point OWNER OPERATION NAME FAMILY [dead]")
                owners = words[1].split(",")
                if owners not in (["type"], ["element"]) and any(o not in FIELD_KINDS for o in owners):
                    raise SchemaError(f"{where}: unknown point owner {words[1]}")
                if words[4] not in families:
                    raise SchemaError(f"{where}: unknown family {words[4]}")
                points.append(Point(owners, words[2], words[3], words[4], len(words) == 6, where))
                continue
            if line.startswith("trace "):
                try:
                    words = shlex.split(line)
                except ValueError as e:  # an unclosed quote
                    raise SchemaError(f"{where}: {e}") from None
                if len(words) != 5 or words[3] not in SEVERITIES:
                    raise SchemaError(f"{where}: trace OWNER NAME SEVERITY \"TEXT\"")
                if words[1] not in ("enum", "frame"):
                    raise SchemaError(f"{where}: unknown trace owner {words[1]}")
                if not words[4].startswith(" "):
                    raise SchemaError(f"{where}: a catalogue text starts with one space")
                traces.append(TracePoint(words[1], words[2], words[3], words[4]))
                continue
            w = line.split()
            key = w[0]
            if key in ("module", "trace-name", "luid-base", "catalogue-size"):
                module[key] = w[1]
            elif key == "trace-uuid":
                module[key] = check_hex(w[1], 32, where)
            elif key == "decoder":
                module[key] = bytes(int(x, 16) for x in w[1:])
            elif key in ("struct", "enum") and len(w) == 4:
                cur = Type(w[1], key, check_hex(w[2], 32, where), check_hex(w[3], 32, where), where)
                types.append(cur)
                variant = 0
            elif cur is None:
                raise SchemaError(f"{where}: {key} outside a type")
            elif key in ("used", "base", "state"):
                # "used A B  base C D  state E F" on one line
                sect = None
                for word in w:
                    if word in ("used", "base", "state"):
                        sect = word
                    else:
                        getattr(cur, sect).append(int(word))
            elif key == "variant":
                variant = int(w[1])
            elif key == "internal-from":
                cur.internal_from = int(w[1])
            elif cur.kind == "enum":
                cur.values.append((w[0], int(w[1])))
            else:
                add_field(cur, w, variant, where)
    for k in ("module", "trace-name", "trace-uuid", "luid-base", "decoder"):
        if k not in module:
            raise SchemaError(f"{path}: missing module statement {k}")
    return module, types, traces, families, points


def add_field(t, w, variant, where):
    kind, name = w[0], w[1]
    if kind in ("u8", "u16", "u32", "bool", "ifh"):
        t.fields.append(Field(name, kind, variant))
    elif kind in ("enum", "record", "list"):
        t.fields.append(Field(name, kind, variant, ref=w[2]))
    elif kind == "string" and w[2] == "item":
        t.fields.append(Field(name + "_length", "length", variant, width=4, length_of=name, item=True))
        t.fields.append(Field(name, "string", variant, length_field=name + "_length", item=True))
    elif kind == "string" and w[2] == "field":
        width = {"u8": 1, "u16": 2, "u32": 4}[w[3]]
        t.fields.append(Field(w[4], "length", variant, width=width, length_of=name))
        t.fields.append(Field(name, "string", variant, length_field=w[4]))
    elif kind == "text":
        t.fields.append(Field(name, "text", variant, width=int(w[2])))
    elif kind == "array" and w[2] == "u8":
        t.fields.append(Field(name, "array", variant, width=int(w[3])))
    elif kind == "vararray" and w[2] == "u8" and w[3] == "count":
        t.fields.append(Field(w[4], "length", variant, width=4, length_of=name))
        t.fields.append(Field(name, "vararray", variant, length_field=w[4]))
    else:
        raise SchemaError(f"{where}: cannot read field {' '.join(w)}")


# ---------------------------------------------------------------------------
# Layout

HEADER = 11
LINK_OFFSET, LINK_SIZE = 16, 24
ENUM_SIZE = 16
LIST_HEAD = 28
PTR = 8


def align(x, a):
    return (x + a - 1) // a * a


def layout(types):
    by_name = {t.name: t for t in types}
    structs = [t for t in types if t.kind == "struct"]
    enums = [t for t in types if t.kind == "enum"]
    if types[: len(structs)] != structs:
        raise SchemaError("the type table lists all structures before the enumerations")

    for t in structs:
        for f in t.fields:
            if f.ref is not None and f.ref not in by_name:
                raise SchemaError(f"{t.line}: {t.name}.{f.name} names unknown type {f.ref}")
            if f.kind == "list":
                el = by_name[f.ref]
                if el.list_of is not None:
                    raise SchemaError(f"{el.name} is the element type of two lists")
                el.list_of = (t.name, f.name)

    done = {}

    def area_size(t, upto):
        return state_layout(t, upto)

    def state_layout(t, upto, assign=False):
        k = 0
        for f in t.fields:
            if f.variant > upto or f.kind == "length":
                continue
            if assign:
                f.state_index = k
            if f.kind == "array":
                k += f.width + 1
            elif f.kind == "vararray":
                k += 1
                k = align(k, PTR) + PTR
            elif f.kind == "record":
                k += 1 + lay(by_name[f.ref]).state[-1]
            else:
                k += 1
        return k

    def lay(t):
        if t.name in done:
            if done[t.name] is None:
                raise SchemaError(f"{t.name} contains itself")
            return t
        done[t.name] = None
        off = LINK_OFFSET + LINK_SIZE if t.list_of else HEADER
        used = []
        for v in range(t.variants):
            for f in t.fields:
                if f.variant != v:
                    continue
                if f.kind in ("u8", "u16", "u32", "length"):
                    size = {"u8": 1, "u16": 2, "u32": 4}.get(f.kind, f.width)
                    a = size
                elif f.kind in ("bool", "ifh"):
                    size, a = 4, 4
                elif f.kind == "enum":
                    if by_name[f.ref].kind != "enum":
                        raise SchemaError(f"{t.name}.{f.name}: {f.ref} is not an enumeration")
                    size, a = ENUM_SIZE, 8
                elif f.kind == "record":
                    r = lay(by_name[f.ref])
                    size, a = r.base[-1], 8
                elif f.kind in ("string", "vararray"):
                    size, a = PTR, 8
                elif f.kind == "text":
                    size, a = f.width + 1, 1
                elif f.kind == "array":
                    size, a = f.width, 1
                elif f.kind == "list":
                    size, a = LIST_HEAD, 8
                off = align(off, a)
                f.offset, f.size, f.align = off, size, a
                off += size
            used.append(off)
        state = [state_layout(t, v) for v in range(t.variants)]
        state_layout(t, t.variants - 1, assign=True)
        if used != t.used:
            raise SchemaError(f"{t.line}: {t.name} used lengths {t.used}, layout gives {used}")
        if state != t.state:
            raise SchemaError(f"{t.line}: {t.name} state areas {t.state}, layout gives {state}")
        if len(t.base) != t.variants or any(b < u for b, u in zip(t.base, t.used)):
            raise SchemaError(f"{t.line}: {t.name} base sizes {t.base} do not cover {t.used}")
        if any(f.variant >= t.variants for f in t.fields):
            raise SchemaError(f"{t.line}: {t.name} has a field of an undeclared variant")
        done[t.name] = t
        return t

    for t in structs:
        lay(t)
    for e in enums:
        e.used, e.base, e.state = [ENUM_SIZE], [ENUM_SIZE], [0]
        numbers = [n for _, n in e.values]
        if numbers != list(range(e.internal_from, e.internal_from + len(numbers))):
            raise SchemaError(f"{e.line}: {e.name} values must be dense from {e.internal_from}")
    return structs, enums


def index_blocks(t):
    """End of each variant's block of field numbers (is_valid_cr)."""
    ends = []
    n = 0
    for v in range(t.variants):
        count = sum(2 if f.kind == "list" else 1 for f in t.fields if f.variant == v)
        if v == 0:
            n += count + (2 if t.list_of else 0)
        else:
            n += count + 1
        ends.append(n)
    return ends


# ---------------------------------------------------------------------------
# Trace catalogue


class Entry:
    """A catalogue entry: its text and the trace point that emits it."""

    def __init__(self, text, owner, name, severity, template=None, field=None, dead=False):
        self.text = text
        self.owner = owner  # enumeration or structure name, or "frame"
        self.name = name
        self.severity = severity
        self.template = template if template is not None else text
        self.field = field  # structure field points: the field's index
        self.dead = dead


def struct_points(t, points):
    """The trace points of structure t in code order: (field index or None, point)."""
    field_ops = {p.op for p in points if p.owners == ["fields"] and p.op != "accessors"}
    out = []
    for p in points:
        if p.owners == ["type"] or (p.owners == ["element"] and t.list_of):
            out.append((None, p))
        elif p.owners == ["fields"]:
            for i, f in enumerate(t.fields):
                for q in points:
                    if f.kind not in q.owners:
                        continue
                    if q.op == p.op if p.op != "accessors" else q.op not in field_ops:
                        out.append((i, q))
    return out


def catalogue(module, enums, traces, structs=(), families=None, points=()):
    """Entries in index order: the enumeration blocks, the structures, the frame."""
    entries = []
    enum_points = [p for p in traces if p.owner == "enum"]
    for e in enums:
        for p in enum_points:
            entries.append(Entry(p.text.replace("{type}", e.name), e.name, p.name, p.severity,
                                 template=p.text))
    for t in structs:
        seen = set()
        for field, p in struct_points(t, points):
            key = (field, p.name)
            if key in seen:
                raise SchemaError(f"{p.where}: {t.name} has two trace points named {p.name}")
            seen.add(key)
            fam = families[p.family]
            entries.append(Entry(fam.text.replace("{type}", t.name), t.name, p.name, fam.severity,
                                 template=fam.text, field=field, dead=p.dead))
    for p in traces:
        if p.owner == "frame":
            entries.append(Entry(p.text, "frame", p.name, p.severity))
    for fam in (families or {}).values():
        n = sum(1 for e in entries if e.template == fam.text)
        if n != fam.count:
            raise SchemaError(f"family {fam.name}: {n} catalogue entries, the schema says {fam.count}")
    size = module.get("catalogue-size")
    if size is not None and int(size) != len(entries):
        raise SchemaError(f"the catalogue has {len(entries)} entries, the schema says {size}")
    return entries


def luids_section(module, entries):
    base = int(module["luid-base"])
    out = bytearray(struct.pack("<I", 1))
    out += bytes.fromhex(module["trace-uuid"])
    for i, e in enumerate(entries):
        data = e.text.encode()
        if len(data) > 0xFFFF:
            raise SchemaError("catalogue text too long")
        out += struct.pack("<IH", base + i, len(data))
    return bytes(out)


# ---------------------------------------------------------------------------
# .velto manifest


def velto_record(rtype, body):
    body = body + b"\0"
    rec = struct.pack("<II", len(body), rtype) + body
    return rec + b"\0" * (-len(rec) % 4)


def manifest(module, types):
    lines = [f"# {module['module']}.minime"]
    for t in sorted(types, key=lambda t: t.name.encode()):
        kind = "type" if t.kind == "struct" else "enum"
        size = align(t.used[-1], 8)
        lines.append(f"{t.digest}:{t.digest2}{kind}{t.variants - 1:03d}:{size:05d}N")
    return ("\n".join(lines) + "\n").encode()


# The build record is always 263 bytes, its NUL included: the comment line
# takes what the other lines leave, cut at the front or padded with spaces.
# The user, host and process number are cut first so that it keeps some room.
BUILD_RECORD_SIZE = 263
USER_WIDTH, HOST_WIDTH, PID_WIDTH = 32, 64, 10
# What a reproducible build records in place of its environment.
REPRODUCIBLE_BUILDER = {"user": "builder", "host": "localhost", "pid": "0",
                        "comment": "reproducible build"}


def plain_text(text, width=None):
    """The text as printable ASCII (anything else becomes '?'), cut to width."""
    text = "".join(c if " " <= c <= "~" else "?" for c in text)
    return text if width is None else text[:width]


def build_time(env):
    """(seconds since 1970, nanoseconds, UTC or not): SOURCE_DATE_EPOCH in UTC
    when it is set, the current local time otherwise."""
    sde = env.get("SOURCE_DATE_EPOCH")
    if sde is None:
        ns = time.time_ns()
        return ns // 10**9, ns % 10**9, False
    if not sde.isascii() or not sde.isdigit() or int(sde) > 253402300799:  # 9999-12-31
        raise SchemaError(f"SOURCE_DATE_EPOCH '{sde}' is not a number of seconds since 1970")
    return int(sde), 0, True


def build_record(module, out_dir, reproducible=False, env=None):
    env = os.environ if env is None else env
    if reproducible:
        who = REPRODUCIBLE_BUILDER
    else:
        try:
            user = getpass.getuser()
        except Exception:
            user = "unknown"
        who = {"user": user, "host": socket.gethostname(), "pid": str(os.getpid()),
               "comment": os.path.abspath(out_dir)}
    seconds, ns, utc = build_time(env)
    at = (datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc) if utc
          else datetime.datetime.fromtimestamp(seconds))
    lines = [
        module["module"],
        "pkg_id: " + "0" * 40,
        "built by: " + plain_text(who["user"], USER_WIDTH),
        "on host: " + plain_text(who["host"], HOST_WIDTH),
        "pid: " + plain_text(who["pid"], PID_WIDTH),
        "at: " + at.strftime("%Y-%m-%d %H:%M:%S") + f".{ns:09d}",
        "comment: ",
    ]
    room = BUILD_RECORD_SIZE - 1 - len("\n".join(lines) + "\n")
    comment = plain_text(who["comment"])
    if len(comment) > room:
        comment = "..." + comment[len(comment) - room + 3:]
    lines[-1] += comment.ljust(room)
    body = ("\n".join(lines) + "\n").encode()
    assert len(body) + 1 == BUILD_RECORD_SIZE
    return body


# ---------------------------------------------------------------------------
# C++ output

ENUM_OPS = [
    # (operation, return type, parameters)
    ("variant_data_index_cap", "uint32_t", "uint32_t variant"),
    ("get_luid", "uintptr_t", "uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d, uintptr_t e, uintptr_t f"),
    ("create", "{E} *", "qel_handle_t *h, uint32_t ctx"),
    ("create_internal", "{E} *", "qel_handle_t *h, uint32_t ctx"),
    ("create_cr", "{E} *", "qel_handle_t *h"),
    ("initialize", "uint8_t", "qel_handle_t *h, uint32_t ctx, {E} *inst, struct qel_type_info *ti, int32_t notify, uint32_t unused1, uint8_t flags, uintptr_t unused2, uint32_t *err"),
    ("set_instance_embedded", "void", "qel_handle_t *h, uint32_t ctx, {E} *inst"),
    ("get_oid_count", "uint32_t", "qel_handle_t *h, uint32_t ctx, {E} *inst, uint32_t *err"),
    ("get_object_references", "void", "qel_handle_t *h, uint32_t ctx, {E} *inst, uintptr_t refs, uint32_t cap, uint32_t *err"),
    ("destroy", "void", "qel_handle_t *h, uint32_t ctx, {E} *inst"),
    ("destroy_internal", "void", "qel_handle_t *h, uint32_t ctx, {E} *inst, int32_t release"),
    ("destroy_cr", "void", "qel_handle_t *h, {E} *inst"),
    ("map_to_user_value", "uint32_t", "uint32_t value"),
    ("map_to_internal_value", "uint32_t", "uint32_t value"),
    ("adjust_variant", "int32_t", "qel_handle_t *h, uint32_t ctx, {E} *inst, uint32_t *err"),
    ("compare", "int32_t", "const {E} *a, const {E} *b"),
    ("hash", "uint32_t", "const {E} *inst, uint32_t running"),
    ("sizeof", "uint32_t", "void"),
    ("len", "uint32_t", "void"),
    ("len_cr", "uint32_t", "qel_handle_t *h"),
    ("get", "{E} *", "qel_handle_t *h, uint32_t ctx, {E} *inst"),
    ("get_value", "uint32_t", "qel_handle_t *h, uint32_t ctx, const {E} *inst, uint32_t *err"),
    ("set", "void", "qel_handle_t *h, uint32_t ctx, {E} *dst, const {E} *src, uint32_t *err"),
    ("set_value", "void", "qel_handle_t *h, uint32_t ctx, {E} *inst, uint32_t value, uint32_t *err"),
    ("marshal", "uint32_t", "qel_handle_t *h, uint32_t ctx, uint8_t *buf, const {E} *inst, int32_t len, uint32_t *err"),
    ("unmarshal", "uint32_t", "qel_handle_t *h, uint32_t ctx, const uint8_t *buf, {E} *inst, int32_t len, uint32_t update, uint32_t *err"),
    ("print", "int32_t", "qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent, const char *label, const {E} *inst, int32_t len, uint32_t *err"),
    ("print_cr", "int32_t", "qel_handle_t *h, const {E} *inst, char *buf, int32_t len"),
    ("to_xml", "int32_t", "qel_handle_t *h, uint32_t ctx, const char *tag, char *buf, const {E} *inst, int32_t len, uint32_t unused, uint32_t *err"),
    ("toxml_cr", "int32_t", "qel_handle_t *h, const {E} *inst, char *buf, int32_t len"),
    ("from_xml", "void", "qel_handle_t *h, uint32_t ctx, const char *path, void *doc, {E} *inst, uint32_t *err, char *msg, uint32_t msg_size"),
    ("is_valid_cr", "int32_t", "qel_handle_t *h, int32_t value"),
]



# The structures' type-level operations: (operation, result, parameters).
# {T} is the structure's C type.  get_all and set_all take one argument per
# included field where {FIELDS} stands.
STRUCT_OPS = [
    ("variant_data_index_cap", "uint32_t", "uint32_t variant"),
    ("get_luid", "uintptr_t", "uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d, uintptr_t e, uintptr_t f"),
    ("create", "{T} *", "qel_handle_t *h, uint32_t ctx"),
    ("create_internal", "{T} *", "qel_handle_t *h, uint32_t ctx"),
    ("create_cr", "{T} *", "qel_handle_t *h"),
    ("initialize", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, struct qel_type_info *ti, int32_t notify, int32_t header_only, uint8_t extra, void *sttr_base, uint32_t *err"),
    ("set_instance_embedded", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst"),
    ("get_oid_count", "uint32_t", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
    ("get_object_references", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint64_t *refs, uint32_t cap, uint32_t *err"),
    ("destroy", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst"),
    ("destroy_internal", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t release"),
    ("destroy_cr", "void", "qel_handle_t *h, {T} *inst"),
    ("sizeof", "uint32_t", "qel_handle_t *h"),
    ("sizeof_internal", "uint32_t", "qel_handle_t *h, const {T} *inst, int32_t with_state, int32_t state_only"),
    ("adjust_variant", "int32_t", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
    ("offset_update", "int32_t", "qel_handle_t *h, uint32_t ctx, {T} *inst, void *base"),
    ("offset_remove", "int32_t", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
    ("get", "{T} *", "qel_handle_t *h, uint32_t ctx, {T} *inst"),
    ("get_all", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, {FIELDS}uint32_t *err"),
    ("set_all", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, {FIELDS}uint32_t *err"),
    ("set", "void", "qel_handle_t *h, uint32_t ctx, {T} *dst, {T} *src, uint32_t *err"),
    ("post_copyout_cleanup", "void", "qel_handle_t *h, uint32_t ctx, {T} *dst, {T} *src, uint32_t *err"),
    ("set_all_state_tracking_flag", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t value"),
    ("is_valid_cr", "int32_t", "qel_handle_t *h, const {T} *inst, uint32_t field, int32_t flags"),
    # the wire form and cloning (class Wire)
    ("marshal", "uint32_t", "qel_handle_t *h, uint32_t ctx, uint8_t *buf, const {T} *inst, int32_t len, uint32_t *err"),
    ("marshal_for_clone", "uint32_t", "qel_handle_t *h, uint32_t ctx, uint8_t *buf, const {T} *inst, int32_t len, uint32_t *err"),
    ("unmarshal", "uint32_t", "qel_handle_t *h, uint32_t ctx, const uint8_t *buf, {T} *inst, int32_t len, uint32_t update, uint32_t *err"),
    ("len", "uint32_t", "qel_handle_t *h, uint32_t ctx, const {T} *inst"),
    ("len_cr", "uint32_t", "qel_handle_t *h, const {T} *inst"),
    ("clone", "void", "qel_handle_t *h, uint32_t ctx, const {T} *src, {T} **out, uint8_t *buf, uint32_t len, uint32_t *err"),
    ("clone_internal", "void", "qel_handle_t *h, uint32_t ctx, const {T} *src, {T} **out, uint8_t *buf, uint32_t len, uint32_t *err"),
    ("clone_cr", "{T} *", "qel_handle_t *h, const {T} *src"),
    # text (class Render)
    ("print", "uint32_t", "qel_handle_t *h, uint32_t ctx, char *buf, uint32_t indent, const char *label, const {T} *inst, uint32_t len, uint32_t *err"),
    ("print_cr", "uint32_t", "qel_handle_t *h, const {T} *inst, char *buf, uint32_t len"),
    ("to_xml", "uint32_t", "qel_handle_t *h, uint32_t ctx, const char *tag, char *buf, const {T} *inst, uint32_t len, uint8_t flag, uint32_t *err"),
    ("toxml_cr", "uint32_t", "qel_handle_t *h, const {T} *inst, char *buf, uint32_t len"),
    ("from_xml", "void", "qel_handle_t *h, uint32_t ctx, const char *path, void *doc, {T} *inst, uint32_t *err, char *msg, uint32_t msg_size"),
    # identity (class Identity)
    ("compare", "int32_t", "const {T} *a, const {T} *b"),
    ("hash", "uint32_t", "const {T} *inst, uint32_t running"),
]
# The C++ class that implements an operation, by operation (Struct otherwise).
OP_HOME = {op: "Wire" for op in ("marshal", "marshal_for_clone", "unmarshal", "len", "len_cr",
                                 "clone", "clone_internal", "clone_cr")}
OP_HOME.update({op: "Render" for op in ("print", "print_cr", "to_xml", "toxml_cr", "from_xml")})
OP_HOME.update({op: "Identity" for op in ("compare", "hash")})

FLAG_OPS = [
    ("state_flag_get", "uint8_t", "qel_handle_t *h, uint32_t ctx, const {T} *inst, uint32_t *err"),
    ("state_flag_set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, int32_t value, uint32_t *err"),
]
VALUE_OPS = [
    ("get", "{V} *", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
    ("get_value", "{V}", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
    ("set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, const {V} *src, uint32_t *err"),
    ("set_value", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, {V} value, uint32_t *err"),
] + FLAG_OPS
ARRAY_OPS = [
    ("get_mem", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint8_t *dst, int32_t count, uint32_t *err"),
    ("get", "uint8_t *", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t index, uint32_t *err"),
    ("get_value", "uint8_t", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t index, uint32_t *err"),
    ("set_mem", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, const uint8_t *src, int32_t count, uint32_t *err"),
    ("set_mem_cr", "uint32_t", "qel_handle_t *h, {T} *inst, const uint8_t *src, int32_t count"),
    ("set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t index, const uint8_t *src, uint32_t *err"),
    ("set_value", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t index, uint8_t value, uint32_t *err"),
    ("state_flag_whole_get", "uint8_t", "qel_handle_t *h, uint32_t ctx, const {T} *inst, uint32_t *err"),
    ("state_flag_get_arr", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint8_t **flags, uint32_t *err"),
    ("state_flag_get", "uint8_t", "qel_handle_t *h, uint32_t ctx, const {T} *inst, uint32_t index, uint32_t *err"),
    ("state_flag_whole_set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, int32_t value, uint32_t *err"),
    ("state_flag_set_arr", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, const uint8_t *flags, int32_t count, uint32_t *err"),
    ("state_flag_set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t index, int32_t value, uint32_t *err"),
]

# Field accessors by field kind: (operation, result, parameters).  {V} is the
# field's value type, {E} the C type of the enumeration, record or list
# element, {W} the width of a string's length field.
FIELD_OPS = {
    "u8": VALUE_OPS, "u16": VALUE_OPS, "u32": VALUE_OPS, "bool": VALUE_OPS,
    "enum": [
        ("get", "{E} *", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
        ("get_value", "uint32_t", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
        ("set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, const {E} *src, uint32_t *err"),
        ("set_value", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t value, uint32_t *err"),
    ] + FLAG_OPS,
    "ifh": [
        ("get", "uint32_t *", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
        ("set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, const uint32_t *src, uint32_t *err"),
    ] + FLAG_OPS,
    "record": [
        ("get", "{E} *", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
        ("set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, {E} *src, uint32_t *err"),
    ] + FLAG_OPS,
    "length": [
        ("get", "{V} *", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
        ("get_value", "{V}", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
    ],
    "string": [
        ("get", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, char *buf, uint32_t size, uint32_t *err"),
        ("set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, const char *src, {W} len, uint32_t *err"),
        ("set_cr", "uint32_t", "qel_handle_t *h, {T} *inst, const char *src, {W} len"),
    ] + FLAG_OPS,
    "text": [
        ("get", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, char *buf, uint32_t size, uint32_t *err"),
        ("set", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, const char *src, int32_t len, uint32_t *err"),
        ("set_cr", "uint32_t", "qel_handle_t *h, {T} *inst, const char *src, int32_t len"),
    ] + FLAG_OPS,
    "array": ARRAY_OPS,
    "vararray": ARRAY_OPS + [
        ("set_cr", "uint32_t", "qel_handle_t *h, {T} *inst, uint32_t index, uint8_t value"),
        ("remove_elements", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst"),
    ],
    "list": [
        ("get_cr", "{E} *", "qel_handle_t *h, {T} *inst, int32_t flag, {E} *ref"),
        ("get_first", "{E} *", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
        ("get_last", "{E} *", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
        ("get_prev", "{E} *", "qel_handle_t *h, uint32_t ctx, {T} *inst, {E} *ref, uint32_t *err"),
        ("get_next", "{E} *", "qel_handle_t *h, uint32_t ctx, {T} *inst, {E} *ref, uint32_t *err"),
        ("get_count", "uint32_t", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err"),
        ("add_cr", "uint32_t", "qel_handle_t *h, {T} *inst, {E} *elem, int32_t flag, {E} *ref"),
        ("set_first", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, {E} *elem, uint32_t *err"),
        ("set_last", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, {E} *elem, uint32_t *err"),
        ("set_before", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, {E} *ref, {E} *elem, uint32_t *err"),
        ("set_after", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, {E} *ref, {E} *elem, uint32_t *err"),
        ("remove", "void", "qel_handle_t *h, uint32_t ctx, {T} *inst, {E} *elem, uint32_t *err"),
        ("remove_cr", "uint32_t", "qel_handle_t *h, {T} *inst, {E} *elem"),
    ] + FLAG_OPS,
}
# An element type's extra operation, named after the list that holds it.
PARENT_OP = ("get_parent", "{O} *", "qel_handle_t *h, uint32_t ctx, {T} *inst, uint32_t *err")

WIDTH_TYPE = {1: "uint8_t", 2: "uint16_t", 4: "uint32_t"}
VALUE_TYPE = {"u8": "uint8_t", "u16": "uint16_t", "u32": "uint32_t", "bool": "uint32_t"}
# C++ spellings of operations whose names are keywords there.
INTERNAL_NAME = {"sizeof": "size_of"}


def ctype(name):
    return name + "_t"


def included_fields(t, setter):
    """The fields get_all (or set_all) passes: scalars, booleans, enumerations
    and, for get_all only, string lengths and array counts."""
    kinds = ("u8", "u16", "u32", "bool", "enum") + (() if setter else ("length",))
    return [(i, f) for i, f in enumerate(t.fields) if f.kind in kinds]


def value_type(f):
    if f.kind == "length":
        return WIDTH_TYPE[f.width]
    if f.kind == "enum":
        return "uint32_t"
    return VALUE_TYPE[f.kind]


def field_ops(t, f, types_by_name):
    """(exported name, result, parameters) of every accessor of field f."""
    subst = {"{T}": ctype(t.name)}
    if f.kind in VALUE_TYPE or f.kind == "length":
        subst["{V}"] = value_type(f)
    if f.ref:
        subst["{E}"] = ctype(f.ref)
    if f.kind == "string":
        lf = next(g for g in t.fields if g.name == f.length_field)
        subst["{W}"] = WIDTH_TYPE[lf.width]
    out = []
    for op, ret, params in FIELD_OPS[f.kind]:
        for k, v in subst.items():
            ret, params = ret.replace(k, v), params.replace(k, v)
        out.append((op, f"{t.name}_{f.name}_{op}", ret, params))
    return out


def struct_ops(t):
    """(operation, exported name, result, parameters) of every type-level operation."""
    out = []
    for op, ret, params in STRUCT_OPS:
        fields = ""
        if op in ("get_all", "set_all"):
            setter = op == "set_all"
            fields = "".join(f"{value_type(f)} {'' if setter else '*'}{f.name}, "
                             for _, f in included_fields(t, setter))
        out.append((op, f"{t.name}_{op}", ret.replace("{T}", ctype(t.name)),
                    params.replace("{T}", ctype(t.name)).replace("{FIELDS}", fields)))
    if t.list_of:
        owner, lst = t.list_of
        op, ret, params = PARENT_OP
        out.append((op, f"{t.name}_{lst}_{op}", ret.replace("{O}", ctype(owner)),
                    params.replace("{T}", ctype(t.name))))
    return out


def declaration(name, ret, params):
    return f"DROV_DEF_API {ret}{'' if ret.endswith('*') else ' '}{name}({params})"


# The operations an application calls; every other one (the _internal and
# _cr forms, registration, offsets, mapping and containment helpers) is
# called by the type runtime or by the generated code itself.
APPLICATION_STRUCT_OPS = {
    "create", "destroy", "sizeof", "get_all", "set_all", "set", "set_all_state_tracking_flag",
    "marshal", "unmarshal", "len", "clone", "print", "to_xml", "from_xml", "compare", "hash"}
APPLICATION_ENUM_OPS = {
    "create", "destroy", "sizeof", "get", "get_value", "set", "set_value", "marshal",
    "unmarshal", "len", "print", "to_xml", "from_xml", "compare", "hash", "map_to_user_value",
    "map_to_internal_value"}


def for_applications(op, type_level=True, enum=False):
    if enum:
        return op in APPLICATION_ENUM_OPS
    if type_level:
        return op in APPLICATION_STRUCT_OPS
    return not op.endswith("_cr")


def struct_declarations(structs):
    """The structures' declarations: per type, the application operations;
    then, apart, the runtime-facing ones of every type."""
    o = ["\n/* Structure instances: opaque; reach them through the operations below. */\n"]
    for t in structs:
        o.append(f"typedef struct {t.name} {ctype(t.name)};\n")
    runtime = []
    for t in structs:
        o.append(f"\n/* {t.name} */\n")
        runtime.append(f"\n/* {t.name} */\n")
        for op, name, ret, params in struct_ops(t):
            (o if for_applications(op) else runtime).append(declaration(name, ret, params) + ";\n")
        for f in t.fields:
            for op, name, ret, params in field_ops(t, f, None):
                (o if for_applications(op, False) else runtime).append(
                    declaration(name, ret, params) + ";\n")
    return "".join(o), "".join(runtime)


def shim(name, ret, params, target, args):
    call = f"{target}({args})"
    if ret == "void":
        body = f"{call};"
    elif ret.endswith("*"):
        body = f"return static_cast<{ret}>({call});"
    else:
        body = f"return {call};"
    return f"{declaration(name, ret, params)} {{ {body} }}\n"


def struct_source(t, index):
    # The names below are the type's own, in a namespace of its own, so
    # that the build may compile several types' sources as one unit.
    o = [GENERATED, "#include \"structs/ops.h\"\n\n",
         f"namespace drov::gen::{t.name} {{\n\n",
         f"using S = drov::structs::Struct<{index}>;\n",
         f"using Wire = drov::structs::Wire<{index}>;\n",
         f"using Render = drov::structs::Render<{index}>;\n",
         f"using Identity = drov::structs::Identity<{index}>;\n",
         f"template <uint32_t F> using K = drov::structs::KindOf<{index}, F>;\n\n",
         "extern \"C\" {\n\n"]
    for op, name, ret, params in struct_ops(t):
        target = OP_HOME.get(op, "S") + "::" + INTERNAL_NAME.get(op, op)
        if op in ("get_all", "set_all"):
            setter = op == "set_all"
            names = [f.name for _, f in included_fields(t, setter)]
            if setter:
                arr = (f"const uint32_t values[] = {{{', '.join(names)}}};" if names
                       else "const uint32_t *values = nullptr;")
                arg = "values"
            else:
                arr = (f"void *const outs[] = {{{', '.join(names)}}};" if names
                       else "void *const *outs = nullptr;")
                arg = "outs"
            o.append(f"{declaration(name, ret, params)} {{\n    {arr}\n"
                     f"    {target}(h, ctx, inst, {arg}, err);\n}}\n")
            continue
        o.append(shim(name, ret, params, target, args_of(params)))
    for i, f in enumerate(t.fields):
        for op, name, ret, params in field_ops(t, f, None):
            o.append(shim(name, ret, params, f"K<{i}>::{op}", args_of(params)))
    o.append("\n} // extern \"C\"\n\n} // namespace\n")
    return "".join(o)


def args_of(params):
    if params == "void":
        return ""
    return ", ".join(p.split()[-1].lstrip("*") for p in params.split(", "))


GENERATED = "/* Generated by tools/gen/drovgen.py from schema/drov_def.schema; do not edit. */\n"


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode())


def public_header(module, types, enums):
    o = [GENERATED, "#ifndef DROV_DEF_TYPES_H\n#define DROV_DEF_TYPES_H\n\n",
         "#include <stdint.h>\n\n#ifdef __cplusplus\nextern \"C\" {\n#endif\n\n",
         # qel_handle_t comes from drov_def.h, the header that includes this
         # one: C before C11 refuses a second typedef of the same name.
         "struct qel_type_info;\n\n",
         "/* Type-info records of the module's types (see DROV_DEF_RECORD). */\n"]
    for t in types:
        o.append(f"extern DROV_DEF_RECORD struct qel_type_info _{t.name}_type_info_internal;\n")
    o.append("\n/* Enumeration values. */\n")
    for e in enums:
        for name, num in e.values:
            o.append(f"#define {name} {num}u\n")
    o.append("\n/* Enumeration instances: 16 bytes, header and value. */\n")
    for e in enums:
        o.append(f"typedef struct drov_def_enum_instance {e.name}_t;\n")
    runtime = []
    for e in enums:
        o.append(f"\n/* {e.name} */\n")
        runtime.append(f"\n/* {e.name} */\n")
        for op, ret, params in ENUM_OPS:
            r = ret.replace("{E}", e.name + "_t")
            p = params.replace("{E}", e.name + "_t")
            (o if for_applications(op, enum=True) else runtime).append(
                f"DROV_DEF_API {r}{'' if r.endswith('*') else ' '}{e.name}_{op}({p});\n")
    structs_app, structs_runtime = struct_declarations([t for t in types if t.kind == "struct"])
    o.append(structs_app)
    o.append("\n/* ==== Runtime-facing operations ======================================\n"
             " * Called by the type runtime, by clone and by the generated code itself:\n"
             " * the _internal forms, the _cr forms (which use the handle's current\n"
             " * context id and its own error word), initialisation, embedding, OID\n"
             " * and mapping queries, state-area offsets and variant helpers.\n"
             " * Applications do not need them. */\n")
    o.extend(runtime)
    o.append(structs_runtime)
    o.append("\n#ifdef __cplusplus\n}\n#endif\n\n#endif\n")
    return "".join(o)


def cstr(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


KIND_ENUM = {"u8": "U8", "u16": "U16", "u32": "U32", "bool": "Boolean", "ifh": "IfHandle",
             "enum": "Enum", "record": "Record", "length": "Length", "string": "String",
             "text": "Text", "array": "Array", "vararray": "VarArray", "list": "List"}


def schema_header(module, types, structs, enums):
    idx = {t.name: i for i, t in enumerate(types)}
    o = [GENERATED, "#pragma once\n\n#include <cstdint>\n\n#include \"schema/schema_types.h\"\n\n",
         "namespace drov::schema {\n\n"]
    o.append(f"inline constexpr const char kModuleName[] = {cstr(module['module'])};\n")
    o.append(f"inline constexpr const char kTraceName[] = {cstr(module['trace-name'])};\n")
    o.append(f"inline constexpr uint32_t kTypeCount = {len(types)};\n")
    o.append(f"inline constexpr uint32_t kStructCount = {len(structs)};\n")
    o.append(f"inline constexpr uint32_t kEnumCount = {len(enums)};\n")
    o.append(f"inline constexpr uint32_t kVariantEntryCount = {sum(t.variants for t in types)};\n\n")

    o.append("enum TypeIndex : uint32_t {\n")
    for i, t in enumerate(types):
        o.append(f"    k_{t.name} = {i},\n")
    o.append("};\n\n")

    for t in structs:
        o.append(f"inline constexpr FieldDesc kFields_{t.name}[] = {{\n")
        for f in t.fields:
            ref = idx[f.ref] if f.ref else -1
            length = next((i for i, g in enumerate(t.fields) if g.name == f.length_field), -1)
            sidx = -1 if f.state_index is None else f.state_index
            loff, lwidth = (t.fields[length].offset, t.fields[length].width) if length >= 0 else (0, 0)
            nested = sidx + 1 if f.kind == "record" else -1
            block = align(sidx + 1, PTR) if f.kind == "vararray" else -1
            o.append(f"    {{{cstr(f.name)}, FieldKind::{KIND_ENUM[f.kind]}, {f.variant}, {f.offset}, "
                     f"{f.size}, {f.width}, {sidx}, {ref}, {length}, {'true' if f.item else 'false'}, "
                     f"{loff}, {lwidth}, {nested}, {block}}},\n")
        o.append("};\n")
    o.append("\n")

    for e in enums:
        o.append(f"inline constexpr const char *const kValues_{e.name}[] = {{"
                 + ", ".join(cstr(n) for n, _ in e.values) + "};\n")
    o.append("\n")

    pos = {e.name: i for i, e in enumerate(enums)}
    o.append("inline constexpr TypeDesc kTypes[kTypeCount] = {\n")
    entry = 0
    for t in types:
        def arr(xs):
            return "{" + ", ".join(str(x) for x in xs + [0] * (3 - len(xs))) + "}"
        if t.kind == "struct":
            fields, nfields, values, nvalues = f"kFields_{t.name}", len(t.fields), "nullptr", 0
            elem = f"{idx[t.list_of[0]]}, {cstr(t.list_of[1])}" if t.list_of else "-1, nullptr"
            ends = index_blocks(t)
            epos = -1
        else:
            fields, nfields, values, nvalues = "nullptr", 0, f"kValues_{t.name}", len(t.values)
            elem = "-1, nullptr"
            ends = []
            epos = pos[t.name]
        o.append(f"    {{{cstr(t.name)}, {'true' if t.kind == 'enum' else 'false'}, {cstr(t.digest)}, "
                 f"{cstr(t.digest2)}, {t.variants}, {arr(t.used)}, {arr(t.base)}, {arr(t.state)}, "
                 f"{entry}, {fields}, {nfields}, {elem}, {arr(ends)}, {values}, {nvalues}, "
                 f"{t.internal_from}, {epos}}},\n")
        entry += t.variants
    o.append("};\n\n")

    o.append("// X(type index, name) for every type; X(type index, enum position, name) for enums\n")
    o.append("#define DROV_DEF_ALL_TYPES(X) \\\n" +
             " \\\n".join(f"    X({i}, {t.name})" for i, t in enumerate(types)) + "\n")
    o.append("#define DROV_DEF_ALL_ENUMS(X) \\\n" +
             " \\\n".join(f"    X({idx[e.name]}, {i}, {e.name})" for i, e in enumerate(enums)) + "\n\n")
    o.append("} // namespace drov::schema\n")
    return "".join(o)


def trace_header(module, enums, traces, entries, structs):
    o = [GENERATED, "#pragma once\n\n#include <cstdint>\n\n#include \"wlog.h\"\n\n",
         "namespace drov::tp {\n\n",
         "struct Point {\n    uint32_t index;\n    uint32_t flags;\n};\n\n"]
    enum_points = [p for p in traces if p.owner == "enum"]
    o.append(f"inline constexpr uint32_t kCatalogueSize = {len(entries)};\n")
    o.append("\n")
    o.append("// Each enumeration owns a block; a point's index is the block start plus its offset.\n")
    o.append(f"inline constexpr uint32_t kEnumBlockSize = {len(enum_points)};\n")
    o.append("enum class EnumPoint : uint32_t {\n")
    for i, p in enumerate(enum_points):
        o.append(f"    {p.name} = {i},\n")
    o.append("};\n")
    o.append("inline constexpr uint32_t kEnumPointFlags[kEnumBlockSize] = {"
             + ", ".join(SEVERITIES[p.severity] for p in enum_points) + "};\n")
    o.append("constexpr Point enum_point(uint32_t enum_pos, EnumPoint p) {\n"
             "    return {enum_pos * kEnumBlockSize + static_cast<uint32_t>(p),\n"
             "            kEnumPointFlags[static_cast<uint32_t>(p)]};\n}\n\n")
    for i, e in enumerate(entries):
        if e.owner == "frame":
            o.append(f"inline constexpr Point frame_{e.name}{{{i}, {SEVERITIES[e.severity]}}};\n")
    o.append("\n// The structures' points by type index, and by type and field index.\n")
    o.append("template <uint32_t T> struct TypePoints {};\n")
    o.append("template <uint32_t T, uint32_t F> struct FieldPoints {};\n\n")
    idx = {t.name: i for i, t in enumerate(structs)}
    groups = {}
    for i, e in enumerate(entries):
        if e.owner in idx and not e.dead:
            groups.setdefault((idx[e.owner], e.field), []).append((e.name, i, e.severity))
    for (t, field), pts in groups.items():
        head = (f"template <> struct TypePoints<{t}> {{" if field is None
                else f"template <> struct FieldPoints<{t}, {field}> {{")
        o.append(head + "\n")
        for name, i, sev in pts:
            o.append(f"    static constexpr Point {name}{{{i}, {SEVERITIES[sev]}}};\n")
        o.append("};\n")
    o.append("\n} // namespace drov::tp\n")
    return "".join(o)


def enum_source(e, pos):
    # sizeof is a keyword in C++; the shared operation is named size_of
    internal = {"sizeof": "size_of"}
    o = [GENERATED, "#include \"enums/enum_ops.h\"\n\n",
         f"namespace {{\nconst drov::enums::EnumType &E = drov::enums::kEnumTypes[{pos}];\n}}\n\n",
         "extern \"C\" {\n\n"]
    for op, ret, params in ENUM_OPS:
        r = ret.replace("{E}", e.name + "_t")
        p = params.replace("{E}", e.name + "_t")
        call = f"drov::enums::{internal.get(op, op)}({', '.join(['E'] + ([args_of(params)] if args_of(params) else []))})"
        body = f"return {call};" if ret != "void" else f"{call};"
        o.append(f"DROV_DEF_API {r}{'' if r.endswith('*') else ' '}{e.name}_{op}({p}) {{ {body} }}\n")
    o.append("\n} // extern \"C\"\n")
    return "".join(o)


def catalogue_asm(module, out):
    uuid = module["trace-uuid"]

    def inc(name):
        return '"' + os.path.join(os.path.abspath(out), name).replace('"', '\\"') + '"'
    return f"""/* Generated by tools/gen/drovgen.py; do not edit. */
    .section .wlog_luids_{uuid},"a",@progbits
    .hidden drov_def_wlog_luids
    .globl drov_def_wlog_luids
drov_def_wlog_luids:
    .incbin {inc('wlog_luids.bin')}, 0, 4
    .hidden drov_def_trace_uuid
    .globl drov_def_trace_uuid
drov_def_trace_uuid:
    .incbin {inc('wlog_luids.bin')}, 4

    .section .wlog_format_strings,"",@progbits
    .incbin {inc('wlog_format_strings.bz2')}

    .section .wlog_decoder,"",@progbits
    .byte {', '.join(str(b) for b in module['decoder'])}

    .section .velto,"",@progbits
    .incbin {inc('velto.bin')}

    .section .note.GNU-stack,"",@progbits
"""


def outputs(enums, structs):
    fixed = ["wlog_luids.bin", "wlog_format_strings.bz2", "velto.bin", "catalogue.S",
             "include/drov_def/drov_def_types.h", "schema_gen.h", "trace_gen.h"]
    return fixed + [f"enums/{e.name}.cpp" for e in enums] + [f"structs/{t.name}.cpp" for t in structs]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--schema", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--reproducible", action="store_true",
                    help="record a fixed user, host, process number and path in the build record")
    ap.add_argument("--list-outputs", action="store_true",
                    help="print the files a run would write, one per line, and write nothing")
    a = ap.parse_args()
    try:
        module, types, traces, families, points = parse(a.schema)
        structs, enums = layout(types)
        entries = catalogue(module, enums, traces, structs, families, points)
        record = build_record(module, a.out, a.reproducible)
    except SchemaError as e:
        print(f"drovgen: {e}", file=sys.stderr)
        return 1
    out = a.out
    if a.list_outputs:
        for name in outputs(enums, structs):
            print(os.path.join(out, name))
        return 0
    texts = b"".join(e.text.encode() for e in entries)
    write(os.path.join(out, "wlog_luids.bin"), luids_section(module, entries))
    write(os.path.join(out, "wlog_format_strings.bz2"), bz2.compress(texts, 9))
    velto = velto_record(2, manifest(module, types)) + velto_record(1, record)
    write(os.path.join(out, "velto.bin"), velto)
    write(os.path.join(out, "catalogue.S"), catalogue_asm(module, out))
    write(os.path.join(out, "include", "drov_def", "drov_def_types.h"), public_header(module, types, enums))
    write(os.path.join(out, "schema_gen.h"), schema_header(module, types, structs, enums))
    write(os.path.join(out, "trace_gen.h"), trace_header(module, enums, traces, entries, structs))
    for i, e in enumerate(enums):
        write(os.path.join(out, "enums", e.name + ".cpp"), enum_source(e, i))
    for i, t in enumerate(structs):
        write(os.path.join(out, "structs", t.name + ".cpp"), struct_source(t, i))
    return 0


if __name__ == "__main__":
    sys.exit(main())
