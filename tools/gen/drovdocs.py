#!/usr/bin/env python3
"""Writes docs/types.md, the reference of the drov_def module's types, from its schema.

Every structure with its fields in declaration order (kind, width, limits,
variant, state flag, accessors), its sizes per layout and its encoded form;
every enumeration with its values.  The committed copy is checked against a
fresh run by the tests, so it always describes the schema the library was
built from.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import drovgen  # noqa: E402  (the schema reader and layout of the build)

KIND_NAMES = {
    "u8": "u8", "u16": "u16", "u32": "u32", "bool": "boolean", "ifh": "interface handle",
    "enum": "enumeration", "record": "nested record", "length": "length", "string": "string",
    "text": "fixed text", "array": "fixed array", "vararray": "variable array", "list": "list",
}
# Largest length a length field of each width can hold; all-ones of the u32
# is refused by the setters.
LENGTH_MAX = {1: 255, 2: 65535, 4: 4294967294}


def width_of(f, by_name):
    if f.kind in ("u8", "u16", "u32"):
        return {"u8": 1, "u16": 2, "u32": 4}[f.kind]
    if f.kind == "length":
        return f.width
    if f.kind in ("bool", "ifh"):
        return 4
    if f.kind == "enum":
        return 16
    if f.kind == "record":
        return by_name[f.ref].base[-1]
    if f.kind in ("string", "vararray"):
        return 8
    if f.kind == "text":
        return f.width + 1
    if f.kind == "array":
        return f.width
    return drovgen.LIST_HEAD


def kind_of(f):
    if f.kind == "enum":
        return f"enumeration [`{f.ref}`](#{f.ref})"
    if f.kind == "record":
        return f"nested [`{f.ref}`](#{f.ref})"
    if f.kind == "list":
        return f"list of [`{f.ref}`](#{f.ref})"
    if f.kind == "array":
        return f"u8[{f.width}]"
    if f.kind == "text":
        return f"char[{f.width}] text"
    if f.kind == "length":
        return f"length of `{f.length_of}` (u{8 * f.width})"
    return KIND_NAMES[f.kind]


def limits_of(t, f, by_name):
    if f.kind in ("u8", "u16", "u32"):
        return f"0 to {(1 << (8 * width_of(f, by_name))) - 1}"
    if f.kind == "bool":
        return "false, true"
    if f.kind == "enum":
        vals = by_name[f.ref].values
        return f"{vals[0][0]} to {vals[-1][0]}"
    if f.kind == "string":
        lf = next(g for g in t.fields if g.name == f.length_field)
        return f"up to {LENGTH_MAX[lf.width]} bytes"
    if f.kind == "text":
        return f"up to {f.width} characters"
    if f.kind == "array":
        return f"{f.width} bytes"
    if f.kind == "vararray":
        return f"up to {LENGTH_MAX[4]} bytes"
    if f.kind == "list":
        return "any number of elements"
    if f.kind == "length":
        return "set by its string's or array's setter"
    return ""


def flag_of(t, f, by_name):
    if f.state_index is None:
        return "none"
    if f.kind == "array":
        return f"{f.state_index} (whole), {f.state_index + 1}–{f.state_index + f.width} (elements)"
    if f.kind == "vararray":
        return f"{f.state_index} (whole; element flags in a block of their own)"
    if f.kind == "record":
        r = by_name[f.ref]
        return f"{f.state_index}, then its own {r.state[-1]} from {f.state_index + 1}"
    return str(f.state_index)


def accessors_of(t, f):
    ops = [op for op, name, _, _ in drovgen.field_ops(t, f, None) if drovgen.for_applications(op, False)]
    return ", ".join(f"`{op}`" for op in ops)


def encoded_of(t, f, by_name):
    """The field's bytes in an encoding: its value, then its state flag when
    the encoding carries them."""
    if f.kind == "length":
        return f"{f.width} (the length, n)"
    if f.kind in ("u8", "u16", "u32"):
        return f"{width_of(f, by_name)}, flag"
    if f.kind == "bool":
        return "1, flag"
    if f.kind == "ifh":
        return "4, flag"
    if f.kind == "enum":
        return "5 (variant byte, u32 value), flag"
    if f.kind == "record":
        return f"a whole `{f.ref}` encoding, flag"
    if f.kind == "string":
        return "n characters; flag when n > 0"
    if f.kind == "text":
        return f"{f.width}, flag"
    if f.kind == "array":
        return f"{f.width}, flag, {f.width} element flags"
    if f.kind == "vararray":
        return "n bytes; when n > 0 flag and n element flags"
    if f.kind == "list":
        return "4 (count), each element's encoding, flag"
    return ""


def struct_section(t, index, by_name):
    o = [f"## {t.name}\n\n"]
    if t.variants > 1:
        o.append(f"Structure, type {index}, {t.variants} variants (0 to {t.variants - 1}).")
    else:
        o.append(f"Structure, type {index}, one variant.")
    if t.list_of:
        owner, lst = t.list_of
        o.append(f" Element type of [`{owner}`](#{owner}) `{lst}`.")
    o.append(f" Digest `{t.digest}`.\n\n")
    o.append("| variant | used length | base size | state area | with state area |\n"
             "|---|---|---|---|---|\n")
    for v in range(t.variants):
        o.append(f"| {v} | {t.used[v]} | {t.base[v]} | {t.state[v]} | {t.base[v] + t.state[v]} |\n")
    o.append("\n| field | kind | offset | width | limits | variant | state flag | encoded | accessors |\n"
             "|---|---|---|---|---|---|---|---|---|\n")
    for f in t.fields:
        o.append(f"| `{f.name}` | {kind_of(f)} | {f.offset} | {width_of(f, by_name)} | "
                 f"{limits_of(t, f, by_name)} | {f.variant} | {flag_of(t, f, by_name)} | "
                 f"{encoded_of(t, f, by_name)} | {accessors_of(t, f)} |\n")
    o.append(f"\nAccessors are named `{t.name}_<field>_<operation>`. An encoding is the "
             "6-byte header (variant, flags, body length) and the fields of variants 0 up to "
             "the encoded one, as the `encoded` column says; the flags follow only when the "
             "flag byte carries 0x08.\n\n")
    return "".join(o)


def enum_section(e, index):
    o = [f"## {e.name}\n\n",
         f"Enumeration, type {index}. Digest `{e.digest}`. Instances are 16 bytes "
         "(header and value); encoded in 5 bytes (variant byte, u32 value).\n\n",
         "| value | number | on the wire |\n|---|---|---|\n"]
    for name, num in e.values:
        o.append(f"| `{name}` | {num} | {num - e.internal_from} |\n")
    o.append("\n")
    return "".join(o)


def document(types):
    structs, enums = drovgen.layout(types)
    by_name = {t.name: t for t in types}
    o = ["<!-- Generated by tools/gen/drovdocs.py from schema/drov_def.schema; do not edit. -->\n",
         "# The types of drov_def\n\n",
         f"{len(structs)} structures and {len(enums)} enumerations, in type-table order. "
         "Sizes are bytes. `offset` is where a field lies in an instance; `width` how much of "
         "the instance it takes; `variant` the variant that introduced it (an instance of a "
         "lower variant has no such field: its accessors report 43). `state flag` is the "
         "field's byte in the instance's state area when the handle tracks state. The "
         "application operations of every structure are `create`, `destroy`, `sizeof`, "
         "`get_all`, `set_all`, `set`, `set_all_state_tracking_flag`, `marshal`, `unmarshal`, "
         "`len`, `clone`, `print`, `to_xml`, `from_xml`, `compare` and `hash`; the public "
         "header lists the runtime-facing ones apart.\n\n"]
    for i, t in enumerate(structs):
        o.append(f"- [`{t.name}`](#{t.name})\n")
    for i, e in enumerate(enums):
        o.append(f"- [`{e.name}`](#{e.name}) (enumeration)\n")
    o.append("\n")
    for i, t in enumerate(structs):
        o.append(struct_section(t, i, by_name))
    for i, e in enumerate(enums):
        o.append(enum_section(e, len(structs) + i))
    return "".join(o)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--schema", required=True)
    ap.add_argument("--out", required=True)
    a = ap.parse_args()
    try:
        _, types, _, _, _ = drovgen.parse(a.schema)
        text = document(types)
    except drovgen.SchemaError as e:
        print(f"drovdocs: {e}", file=sys.stderr)
        return 1
    drovgen.write(a.out, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
