#!/usr/bin/env python3
"""Writes the Python package drov_def's generated parts from the schema.

- tables_N.cpp: the binding's tables, the structures spread over a few
  translation units: per structure its C operations, per field a
  description (kind, variant, limits, place in the instance) with small
  typed functions that call the field's C accessors.  The extension's
  hand-written core (python/src) is one implementation for all of them.
- tables.cpp: the list of every structure's and enumeration's table.
- drov_def/_schema.py: the enumerations as enum.IntEnum classes and every
  structure's field descriptions (FieldInfo), with docstrings.
- drov_def/__init__.pyi and drov_def/py.typed: type stubs with the fields,
  their limits and variants, for editors and type checkers.
"""

import argparse
import keyword
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import drovgen  # noqa: E402  (the schema reader and layout of the build)
from drovcxx import camel  # noqa: E402  (the C++ layer's class names)

# Largest length a string's length field can hold (the all-ones u32 is
# refused by the setters), and the largest variable array.
LENGTH_MAX = {1: 255, 2: 65535, 4: 4294967294}
VARARRAY_MAX = 2147483647
NUMBER_MAX = {"u8": 255, "u16": 65535, "u32": 4294967295, "ifh": 4294967295,
              "bool": 1}
KIND = {"u8": "U8", "u16": "U16", "u32": "U32", "bool": "Bool", "ifh": "IfHandle", "enum": "Enum",
        "record": "Record", "length": "Length", "string": "String", "text": "Text",
        "array": "Array", "vararray": "VarArray", "list": "List"}
# Names every structure class has (python/src and drov_def/__init__.py):
# no field may take them.
RESERVED = {"encode", "decode", "decode_prefix", "to_xml", "from_xml", "to_dict", "from_dict",
            "copy", "variant", "runtime", "state_flag", "set_state_flag", "set_all_state_flags",
            "FIELDS", "TYPE_NAME", "VARIANTS"}
TYPES_PER_UNIT = 10


class GenError(Exception):
    pass


def enum_names(e):
    """Python names of an enumeration's values: the words they all share
    dropped (VM_RSP_RC_OK -> OK), never starting with a digit."""
    words = [n.split("_") for n, _ in e.values]
    k = 0
    while all(len(w) > k + 1 and w[k] == words[0][k] for w in words):
        k += 1
    names = []
    for w in words:
        j = k
        while w[j][:1].isdigit() and j > 0:
            j -= 1
        names.append("_".join(w[j:]))
    if len(set(names)) != len(names) or any(keyword.iskeyword(n) for n in names):
        raise GenError(f"{e.name}: value names clash after shortening: {names}")
    return names


def cstr(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


class Emitter:
    def __init__(self, types):
        self.types = types
        self.by_name = {t.name: t for t in types}
        self.structs = [t for t in types if t.kind == "struct"]
        self.enums = [t for t in types if t.kind == "enum"]
        self.struct_index = {t.name: i for i, t in enumerate(self.structs)}
        self.enum_index = {t.name: i for i, t in enumerate(self.enums)}
        for t in self.structs:
            for f in t.fields:
                if f.name in RESERVED or keyword.iskeyword(f.name) or f.name.startswith("_"):
                    raise GenError(f"{t.name}.{f.name}: the name is taken by the Python classes")

    def length_field(self, t, f):
        return next(g for g in t.fields if g.name == f.length_field)

    # ---- what each field holds, in words and as numbers ----

    def limit(self, t, f):
        if f.kind == "enum":
            return self.by_name[f.ref].values[-1][1]
        if f.kind in NUMBER_MAX:
            return NUMBER_MAX[f.kind]
        if f.kind == "length":
            return (1 << (8 * f.width)) - 1
        if f.kind == "string":
            return LENGTH_MAX[self.length_field(t, f).width]
        if f.kind in ("text", "array"):
            return f.width
        if f.kind == "vararray":
            return VARARRAY_MAX
        return 0

    def describe(self, t, f):
        k = f.kind
        if k in ("u8", "u16", "u32"):
            s = f"{k}: an int from 0 to {self.limit(t, f)}"
        elif k == "ifh":
            s = f"interface handle: an int from 0 to {self.limit(t, f)}"
        elif k == "bool":
            s = "bool"
        elif k == "enum":
            s = (f"{camel(f.ref)} (or an int it names; a number it does not name, which only a decoding "
                 f"gives, reads as an int)")
        elif k == "record":
            s = f"{camel(f.ref)}, a view into this record (assign a {camel(f.ref)} or a dict to copy one in)"
        elif k == "length":
            s = f"read-only: the length of {f.length_of} (set with it)"
        elif k == "string":
            s = (f"str of up to {self.limit(t, f)} bytes in UTF-8 without NUL (bytes too; "
                 f"length in {f.length_field})")
        elif k == "text":
            s = f"str of up to {f.width} bytes in UTF-8, no NUL (fixed text)"
        elif k == "array":
            s = f"bytes, exactly {f.width} (any bytes-like object or ints 0 to 255)"
        elif k == "vararray":
            s = f"bytes of any length (count in {f.length_field})"
        elif k == "list":
            s = f"list of {camel(f.ref)}: len, iteration, indexing, add(**fields), append, del, clear"
        else:
            raise GenError(f"{t.name}.{f.name}: kind {k}")
        if t.variants > 1:
            s += f"; since variant {f.variant}"
        return s

    # ---- the C++ tables ----

    def thunks(self, t, f):
        """Typed calls of the field's C accessors behind the generic
        signatures of python/src/tables.h."""
        T, p = f"{t.name}_t", f"{t.name}_{f.name}_"
        pfx = f"{t.name}__{f.name}"
        cast = f"static_cast<{T} *>(p)"
        ccast = f"static_cast<const {T} *>(p)"
        o, slots = [], {}

        def fn(slot, ret, params, body):
            name = f"{slot}_{pfx}"
            o.append(f"{ret} {name}({params}) {{ {body} }}\n")
            slots[slot] = name

        k = f.kind
        H = "qel_handle_t *h, uint32_t c, "
        if k in ("u8", "u16", "u32", "bool", "enum", "length"):
            fn("get", "uint32_t", H + "void *p, uint32_t *e", f"return {p}get_value(h, c, {cast}, e);")
        if k in ("u8", "u16", "u32"):
            fn("set", "void", H + "void *p, uint32_t v, uint32_t *e",
               f"{p}set_value(h, c, {cast}, static_cast<{drovgen.VALUE_TYPE[k]}>(v), e);")
        if k in ("bool", "enum"):
            fn("set", "void", H + "void *p, uint32_t v, uint32_t *e", f"{p}set_value(h, c, {cast}, v, e);")
        if k == "ifh":
            fn("get", "uint32_t", H + "void *p, uint32_t *e",
               f"const uint32_t *v = {p}get(h, c, {cast}, e); return v != nullptr ? *v : 0;")
            fn("set", "void", H + "void *p, uint32_t v, uint32_t *e", f"{p}set(h, c, {cast}, &v, e);")
        if k in ("record", "array", "vararray"):
            arg = ", 0u" if k != "record" else ""
            fn("get_ptr", "void *", H + "void *p, uint32_t *e", f"return {p}get(h, c, {cast}{arg}, e);")
        if k == "record":
            fn("move_in", "void", H + "void *p, void *src, uint32_t *e",
               f"{p}set(h, c, {cast}, static_cast<{f.ref}_t *>(src), e);")
        if k == "string":
            w = drovgen.WIDTH_TYPE[self.length_field(t, f).width]
            fn("set_chars", "void", H + "void *p, const char *s, uint32_t n, uint32_t *e",
               f"{p}set(h, c, {cast}, s, static_cast<{w}>(n), e);")
        if k == "text":
            fn("set_chars", "void", H + "void *p, const char *s, uint32_t n, uint32_t *e",
               f"{p}set(h, c, {cast}, s, static_cast<int32_t>(n), e);")
        if k in ("array", "vararray"):
            fn("set_bytes", "void", H + "void *p, const uint8_t *s, int32_t n, uint32_t *e",
               f"{p}set_mem(h, c, {cast}, s, n, e);")
            fn("flag_get_at", "uint8_t", H + "const void *p, uint32_t i, uint32_t *e",
               f"return {p}state_flag_get(h, c, {ccast}, i, e);")
            fn("flag_set_at", "void", H + "void *p, uint32_t i, int32_t v, uint32_t *e",
               f"{p}state_flag_set(h, c, {cast}, i, v, e);")
            fn("flag_get", "uint8_t", H + "const void *p, uint32_t *e",
               f"return {p}state_flag_whole_get(h, c, {ccast}, e);")
            fn("flag_set", "void", H + "void *p, int32_t v, uint32_t *e",
               f"{p}state_flag_whole_set(h, c, {cast}, v, e);")
        elif k != "length":
            fn("flag_get", "uint8_t", H + "const void *p, uint32_t *e",
               f"return {p}state_flag_get(h, c, {ccast}, e);")
            fn("flag_set", "void", H + "void *p, int32_t v, uint32_t *e",
               f"{p}state_flag_set(h, c, {cast}, v, e);")
        if k == "vararray":
            fn("clear", "void", H + "void *p", f"{p}remove_elements(h, c, {cast});")
        if k == "list":
            E = f"{f.ref}_t"
            ecast = f"static_cast<{E} *>(x)"
            ops = [
                ("first", "void *", H + "void *p, uint32_t *e", f"return {p}get_first(h, c, {cast}, e);"),
                ("last", "void *", H + "void *p, uint32_t *e", f"return {p}get_last(h, c, {cast}, e);"),
                ("next", "void *", H + "void *p, void *x, uint32_t *e", f"return {p}get_next(h, c, {cast}, {ecast}, e);"),
                ("prev", "void *", H + "void *p, void *x, uint32_t *e", f"return {p}get_prev(h, c, {cast}, {ecast}, e);"),
                ("count", "uint32_t", H + "void *p, uint32_t *e", f"return {p}get_count(h, c, {cast}, e);"),
                ("set_first", "void", H + "void *p, void *x, uint32_t *e", f"{p}set_first(h, c, {cast}, {ecast}, e);"),
                ("set_last", "void", H + "void *p, void *x, uint32_t *e", f"{p}set_last(h, c, {cast}, {ecast}, e);"),
                ("set_before", "void", H + "void *p, void *r, void *x, uint32_t *e",
                 f"{p}set_before(h, c, {cast}, static_cast<{E} *>(r), {ecast}, e);"),
                ("remove", "void", H + "void *p, void *x, uint32_t *e", f"{p}remove(h, c, {cast}, {ecast}, e);"),
            ]
            names = []
            for op, ret, params, body in ops:
                name = f"list_{op}_{pfx}"
                o.append(f"{ret} {name}({params}) {{ {body} }}\n")
                names.append(name)
            o.append(f"const ListOps list_{pfx} = {{{', '.join(names)}}};\n")
            slots["list"] = f"&list_{pfx}"
        return "".join(o), slots

    def field_entry(self, t, f, slots):
        ref = -1
        if f.kind == "enum":
            ref = self.enum_index[f.ref]
        elif f.kind in ("record", "list"):
            ref = self.struct_index[f.ref]
        length = -1
        if f.kind in ("string", "vararray"):
            length = next(i for i, g in enumerate(t.fields) if g.name == f.length_field)
        order = ["get", "set", "get_ptr", "set_chars", "set_bytes", "move_in", "clear",
                 "flag_get", "flag_set", "flag_get_at", "flag_set_at", "list"]
        fns = ", ".join(slots.get(s, "nullptr") for s in order)
        offset = f.offset if f.kind in ("string", "text") else 0
        doc = f"{f.name}: {self.describe(t, f)}"
        return (f"    {{{cstr(f.name)}, {cstr(doc)}, Kind::{KIND[f.kind]}, {f.variant}, {f.width}, "
                f"{offset}u, {self.limit(t, f)}ull, {ref}, {length}, {fns}}},\n")

    def type_doc(self, t):
        lines = [f"The structure {t.name}"
                 + (f" ({t.variants} variants)." if t.variants > 1 else "."),
                 "",
                 "Fields (keyword arguments of the constructor):"]
        for f in t.fields:
            if f.kind != "length":
                lines.append(f"  {f.name}: {self.describe(t, f)}")
        return "\n".join(lines)

    def struct_table(self, t):
        n, T = t.name, f"{t.name}_t"
        o = [f"// ---- {n}\n"]
        entries = []
        for f in t.fields:
            code, slots = self.thunks(t, f)
            o.append(code)
            entries.append(self.field_entry(t, f, slots))
        o.append(f"const FieldDesc fields_{n}[] = {{\n{''.join(entries)}}};\n")
        ops = {
            "create": (f"void *create_{n}(qel_handle_t *h, uint32_t c)", f"return {n}_create(h, c);"),
            "destroy": (f"void destroy_{n}(qel_handle_t *h, uint32_t c, void *p)",
                        f"{n}_destroy(h, c, static_cast<{T} *>(p));"),
            "marshal": (f"uint32_t marshal_{n}(qel_handle_t *h, uint32_t c, uint8_t *b, const void *p, int32_t n, uint32_t *e)",
                        f"return {n}_marshal(h, c, b, static_cast<const {T} *>(p), n, e);"),
            "unmarshal": (f"uint32_t unmarshal_{n}(qel_handle_t *h, uint32_t c, const uint8_t *b, void *p, int32_t n, uint32_t u, uint32_t *e)",
                          f"return {n}_unmarshal(h, c, b, static_cast<{T} *>(p), n, u, e);"),
            "clone": (f"void clone_{n}(qel_handle_t *h, uint32_t c, const void *p, void **out, uint8_t *b, uint32_t n, uint32_t *e)",
                      f"{T} *o = nullptr; {n}_clone(h, c, static_cast<const {T} *>(p), &o, b, n, e); *out = o;"),
            "print": (f"uint32_t print_{n}(qel_handle_t *h, uint32_t c, char *b, const char *label, const void *p, uint32_t n, uint32_t *e)",
                      f"return {n}_print(h, c, b, 0, label, static_cast<const {T} *>(p), n, e);"),
            "compare": (f"int32_t compare_{n}(const void *a, const void *b)",
                        f"return {n}_compare(static_cast<const {T} *>(a), static_cast<const {T} *>(b));"),
            "hash": (f"uint32_t hash_{n}(const void *p, uint32_t r)", f"return {n}_hash(static_cast<const {T} *>(p), r);"),
            "move": (f"void move_{n}(qel_handle_t *h, uint32_t c, void *d, void *s, uint32_t *e)",
                     f"{n}_set(h, c, static_cast<{T} *>(d), static_cast<{T} *>(s), e);"),
            "all_flags": (f"void all_flags_{n}(qel_handle_t *h, uint32_t c, void *p, uint32_t v)",
                          f"{n}_set_all_state_tracking_flag(h, c, static_cast<{T} *>(p), v);"),
        }
        for sig, body in ops.values():
            o.append(f"{sig} {{ {body} }}\n")
        names = [f"{op}_{n}" for op in ops]
        o.append(f"}} // namespace\n\nextern const TypeDesc type_{n};\n"
                 f"const TypeDesc type_{n} = {{{cstr(n)}, {cstr(camel(n))}, {cstr(self.type_doc(t))}, "
                 f"{self.struct_index[n]}, {t.variants}, fields_{n}, {len(t.fields)}, "
                 f"&_{n}_type_info_internal, {', '.join(names)}}};\n\nnamespace {{\n\n")
        return "".join(o)

    def table_units(self):
        units = []
        for k in range(0, len(self.structs), TYPES_PER_UNIT):
            o = [drovgen.GENERATED.replace("drovgen.py", "drovpy.py"),
                 "// The binding's tables of these structures (see python/src/tables.h).\n",
                 "#include \"tables.h\"\n\nnamespace drovpy {\nnamespace {\n\n"]
            for t in self.structs[k:k + TYPES_PER_UNIT]:
                o.append(self.struct_table(t))
            o.append("} // namespace\n} // namespace drovpy\n")
            units.append("".join(o))
        return units

    def index_unit(self):
        o = [drovgen.GENERATED.replace("drovgen.py", "drovpy.py"),
             "// Every structure's and enumeration's table, in type-table order.\n",
             "#include \"tables.h\"\n\nnamespace drovpy {\n\n"]
        for t in self.structs:
            o.append(f"extern const TypeDesc type_{t.name};\n")
        o.append("\nconst TypeDesc *const kTypes[] = {\n")
        o.extend(f"    &type_{t.name},\n" for t in self.structs)
        o.append("};\nconst int kTypeCount = " + str(len(self.structs)) + ";\n\n")
        o.append("const EnumDesc kEnums[] = {\n")
        for e in self.enums:
            o.append(f"    {{{cstr(e.name)}, {cstr(camel(e.name))}, {e.internal_from}u, {len(e.values)}u}},\n")
        o.append("};\nconst int kEnumCount = " + str(len(self.enums)) + ";\n\n} // namespace drovpy\n")
        return "".join(o)

    # ---- Python: the enumerations and field descriptions ----

    def py_type(self, t, f):
        k = f.kind
        if k in ("enum", "record", "list"):
            return camel(f.ref)
        return None

    def schema_py(self):
        o = ['"""The enumerations of drov_def and the fields of every structure.\n\n'
             'Generated by tools/gen/drovpy.py from schema/drov_def.schema; do not edit.\n"""\n\n',
             "import enum\nfrom typing import NamedTuple, Optional\n\n\n",
             "class Enumeration(enum.IntEnum):\n",
             '    """An enumeration of drov_def: members are ints; c_name is the library\'s name."""\n\n',
             "    @property\n    def c_name(self) -> str:\n",
             '        """The value\'s name as the library prints it (VM_RSP_RC_OK)."""\n',
             "        return self._c_names[self.name]\n\n\n"]
        for e in self.enums:
            names = enum_names(e)
            o.append(f"class {camel(e.name)}(Enumeration):\n")
            o.append(f'    """The enumeration {e.name}: {", ".join(n for n, _ in e.values)}."""\n\n')
            for (cname, num), n in zip(e.values, names):
                o.append(f"    {n} = {num}\n")
            o.append("\n\n")
        for e in self.enums:
            names = enum_names(e)
            pairs = ", ".join(f'"{n}": "{c}"' for (c, _), n in zip(e.values, names))
            o.append(f"{camel(e.name)}._c_names = {{{pairs}}}\n")
        o.append("\n\nclass FieldInfo(NamedTuple):\n"
                 '    """A field of a structure, as the schema describes it.\n\n'
                 "    kind: u8, u16, u32, bool, ifh (interface handle), enum, record, length\n"
                 "    (a read-only string length or array count), string, text (fixed\n"
                 "    text), array (fixed bytes), vararray (variable bytes) or list.\n"
                 "    type: the enumeration, record or list element class name, or None.\n"
                 "    limit: the largest number (u8 ... enum, length, bool 1), the most\n"
                 "    bytes (string, text, vararray) or the exact size (array); None for\n"
                 "    records and lists.\n"
                 "    variant: the variant that brought the field (0 for the first).\n"
                 '    length_field: the read-only field that counts a string or vararray."""\n\n'
                 "    name: str\n    kind: str\n    variant: int\n    type: Optional[str]\n"
                 "    limit: Optional[int]\n    length_field: Optional[str]\n\n\n")
        o.append("# Every structure's fields in declaration order, by the structure's name.\nFIELDS = {\n")
        for t in self.structs:
            o.append(f'    "{t.name}": (\n')
            for f in t.fields:
                ty = self.py_type(t, f)
                lim = None if f.kind in ("record", "list") else self.limit(t, f)
                lf = f.length_field if f.kind in ("string", "vararray") else None
                o.append(f"        FieldInfo({f.name!r}, {f.kind!r}, {f.variant}, {ty!r}, {lim!r}, {lf!r}),\n")
            o.append("    ),\n")
        o.append("}\n\n__all__ = [\"Enumeration\", \"FieldInfo\", "
                 + ", ".join(f'"{camel(e.name)}"' for e in self.enums) + "]\n")
        return "".join(o)

    # ---- the type stubs ----

    def stub_type(self, t, f, setter=False):
        k = f.kind
        if k in ("u8", "u16", "u32", "ifh", "length"):
            return "int"
        if k == "bool":
            return "bool"
        if k == "enum":
            return f"{camel(f.ref)} | int"
        if k in ("string", "text"):
            return "str | bytes" if setter else "str"
        if k in ("array", "vararray"):
            return "bytes | bytearray | memoryview | Iterable[int]" if setter else "bytes"
        if k == "record":
            return f"{camel(f.ref)} | Mapping[str, Any]" if setter else camel(f.ref)
        if k == "list":
            c = camel(f.ref)
            return f"Iterable[{c} | Mapping[str, Any]]" if setter else f"RecordList[{c}]"
        raise GenError(k)

    def stubs(self):
        o = [open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "drovpy_stub_head.pyi")).read()]
        for e in self.enums:
            o.append(f"class {camel(e.name)}(Enumeration):\n")
            o.append(f'    """The enumeration {e.name}: {", ".join(n for n, _ in e.values)}."""\n')
            for (cname, num), n in zip(e.values, enum_names(e)):
                o.append(f"    {n} = {num}\n")
                o.append(f'    """{cname}"""\n')
            o.append("\n")
        for t in self.structs:
            c = camel(t.name)
            o.append(f"class {c}(Record):\n")
            o.append('    """' + self.type_doc(t).replace("\n", "\n    ") + '\n    """\n\n')
            o.append(f"    TYPE_NAME: ClassVar[str]\n    VARIANTS: ClassVar[int]\n")
            args = []
            for f in t.fields:
                doc = f'    """{self.describe(t, f)}"""\n'
                if f.kind == "length":
                    o.append(f"    @property\n    def {f.name}(self) -> int:\n"
                             f'        """{self.describe(t, f)}"""\n        ...\n')
                    continue
                get, put = self.stub_type(t, f), self.stub_type(t, f, True)
                if get == put:
                    o.append(f"    {f.name}: {get}\n{doc}")
                else:
                    o.append(f"    @property\n    def {f.name}(self) -> {get}:\n"
                             f'        """{self.describe(t, f)}"""\n        ...\n'
                             f"    @{f.name}.setter\n    def {f.name}(self, value: {put}) -> None: ...\n")
                args.append(f"{f.name}: {put} = ...")
            o.append("    def __init__(self, *, " + ", ".join(args + ["runtime: Runtime | None = None"])
                     + ") -> None: ...\n\n")
        o.append("__all__: list[str]\n")
        return "".join(o)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--schema", required=True)
    ap.add_argument("--out", required=True, help="the folder to write into")
    ap.add_argument("--list-outputs", action="store_true", help="print the files it writes")
    a = ap.parse_args()
    try:
        _, types, _, _, _ = drovgen.parse(a.schema)
        drovgen.layout(types)
        em = Emitter(types)
        units = em.table_units()
        files = {f"tables_{i}.cpp": u for i, u in enumerate(units)}
        files["tables.cpp"] = em.index_unit()
        files["drov_def/_schema.py"] = em.schema_py()
        files["drov_def/__init__.pyi"] = em.stubs()
        files["drov_def/py.typed"] = ""
    except (drovgen.SchemaError, GenError) as e:
        print(f"drovpy: {e}", file=sys.stderr)
        return 1
    if a.list_outputs:
        print("\n".join(os.path.join(a.out, f) for f in files))
        return 0
    for name, text in files.items():
        drovgen.write(os.path.join(a.out, name), text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
