#!/usr/bin/env python3
"""Writes drov_def/drov_def.hpp, the C++ classes of the drov_def module, from its schema.

For every enumeration an enum class with its value names; for every
structure an owning class (drov::VmActRsp), a view (VmActRsp::Ref) and a
read-only view (VmActRsp::CRef) whose accessors are named after the fields
and call the C accessors of drov_def_types.h; std::hash for all three; and
a description of every field (drov::meta) that lets code walk the classes.
The parts that do not depend on the schema are in drov_def_support.hpp.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import drovgen  # noqa: E402  (the schema reader and layout of the build)

# Largest length a length field of each width can hold; all-ones of the u32
# is refused by the setters.
LENGTH_MAX = {1: "255u", 2: "65535u", 4: "4294967294u"}
SCALAR_TYPE = {"u8": "uint8_t", "u16": "uint16_t", "u32": "uint32_t"}
META_KIND = {"u8": "U8", "u16": "U16", "u32": "U32", "bool": "Bool", "ifh": "IfHandle",
             "enum": "Enum", "record": "Record", "length": "Length", "string": "String",
             "text": "Text", "array": "Array", "vararray": "VarArray", "list": "List"}

# Members every structure class has (drov_def_support.hpp); a field must not
# take their names.
RESERVED = {
    "c_type", "Owner", "Ref", "CRef", "type_name", "read_only", "c_ptr", "context", "variant",
    "encode_size", "encode", "update_from", "to_text", "to_xml", "merge_xml", "compare", "hash",
    "clone", "move_from", "set_all_flags", "adopt", "release", "reset", "ref", "decode",
    "from_xml", "parent", "self", "call", "chars_at", "text_at", "set_chars", "set_bytes",
    "bytes_at", "decode_into", "text_guess", "h_", "p_", "ctx_",
}
# Members of the field descriptions (drov::meta), which are named after the
# fields: a field must not share a name with one of them.
DESCRIPTION_MEMBERS = {"field", "kind", "variant", "get", "set", "flag", "set_flag", "flag_at",
                       "set_flag_at", "set_at", "clear", "value_type", "of", "type", "element",
                       "max_size", "length", "capacity", "extent"}
KEYWORDS = set("""alignas alignof and and_eq asm auto bitand bitor bool break case catch char
char8_t char16_t char32_t class compl concept const consteval constexpr constinit const_cast
continue co_await co_return co_yield decltype default delete do double dynamic_cast else enum
explicit export extern false float for friend goto if inline int long mutable namespace new
noexcept not not_eq nullptr operator or or_eq private protected public register
reinterpret_cast requires return short signed sizeof static static_assert static_cast struct
switch template this thread_local throw true try typedef typeid typename union unsigned using
virtual void volatile wchar_t while xor xor_eq""".split())


class GenError(Exception):
    pass


def camel(name):
    return "".join(w[:1].upper() + w[1:] for w in name.split("_"))


def enumerators(e):
    """C++ names of an enumeration's values: the words they all share
    dropped, the rest in CamelCase (VM_RSP_RC_OK -> Ok)."""
    words = [n.split("_") for n, _ in e.values]
    k = 0
    while all(len(w) > k + 1 and w[k] == words[0][k] for w in words):
        k += 1
    names = []
    for w in words:
        rest = w[k:]
        while rest[0][:1].isdigit() and k > 0:  # never start with a digit
            k -= 1
            rest = w[k:]
        names.append("".join(p[:1].upper() + p[1:].lower() for p in rest))
    if len(set(names)) != len(names):
        raise GenError(f"{e.name}: value names clash after shortening: {names}")
    return names


def check_names(t):
    members = {}
    for f in t.fields:
        if f.name in RESERVED or f.name in KEYWORDS or f.name in DESCRIPTION_MEMBERS:
            raise GenError(f"{t.name}.{f.name}: the name is taken by the C++ layer or the language")
        names = [f.name]
        if f.kind not in ("length",):
            names += ["set_" + f.name]
        if f.kind not in ("length", "list", "record"):
            names += [f.name + "_flag", "set_" + f.name + "_flag"]
        if f.kind == "vararray":
            names += ["clear_" + f.name]
        for n in names:
            if n in members:
                raise GenError(f"{t.name}: accessor {n} of {f.name} clashes with one of {members[n]}")
            members[n] = f.name


def where(op, t, f=None):
    return f'{{"{op}", "{t.name}{"." + f.name if f else ""}"}}'


class Emitter:
    def __init__(self, types):
        self.types = types
        self.by_name = {t.name: t for t in types}
        self.structs = [t for t in types if t.kind == "struct"]
        self.enums = [t for t in types if t.kind == "enum"]

    def cls(self, name):
        return camel(name)

    # ---- enumerations ----

    def enum(self, e):
        names = enumerators(e)
        o = [f"// {e.name}\n", f"enum class {camel(e.name)} : uint32_t {{\n"]
        for (cname, num), n in zip(e.values, names):
            o.append(f"    {n} = {num}, // {cname}\n")
        o.append("};\n")
        o.append(f"template <> struct EnumInfo<{camel(e.name)}> {{\n"
                 f"    static constexpr std::string_view type_name = \"{e.name}\";\n"
                 f"    static constexpr uint32_t first = {e.internal_from};\n"
                 f"    static constexpr std::array<std::string_view, {len(e.values)}> values{{"
                 + ", ".join(f'"{n}"' for n, _ in e.values) + "};\n};\n\n")
        return "".join(o)

    # ---- structures ----

    def traits(self, t):
        n, c = t.name, self.cls(t.name)
        ops = [("create", "create"), ("destroy", "destroy"), ("len", "len"), ("marshal", "marshal"),
               ("unmarshal", "unmarshal"), ("clone", "clone"), ("print", "print"),
               ("to_xml", "to_xml"), ("from_xml", "from_xml"), ("compare", "compare"),
               ("hash", "hash"), ("move", "set"), ("set_all_flags", "set_all_state_tracking_flag")]
        o = [f"template <> struct Traits<{n}_t> {{\n",
             f"    static constexpr char name[] = \"{n}\";\n",
             f"    static const qel_type_info *record() noexcept {{ return &_{n}_type_info_internal; }}\n",
             f"    using Owner = ::drov::{c};\n    using Ref = ::drov::{c}Ref;\n    using CRef = ::drov::{c}CRef;\n"]
        for member, op in ops:
            o.append(f"    static constexpr auto {member} = {n}_{op};\n")
        o.append("};\n")
        for f in t.fields:
            if f.kind == "list":
                o.append(self.list_traits(t, f))
        return "".join(o)

    def list_traits(self, t, f):
        p = f"{t.name}_{f.name}_"
        ops = [("first", "get_first"), ("last", "get_last"), ("next", "get_next"), ("prev", "get_prev"),
               ("count", "get_count"), ("set_first", "set_first"), ("set_last", "set_last"),
               ("set_before", "set_before"), ("remove", "remove"), ("flag_get", "state_flag_get"),
               ("flag_set", "state_flag_set")]
        o = [f"struct List_{t.name}_{f.name} {{\n",
             f"    using owner_t = {t.name}_t;\n    using elem_t = {f.ref}_t;\n",
             f"    static constexpr char name[] = \"{t.name}.{f.name}\";\n"]
        for member, op in ops:
            o.append(f"    static constexpr auto {member} = {p}{op};\n")
        o.append("};\n")
        return "".join(o)

    def fields_class(self, t):
        n, c = t.name, self.cls(t.name)
        o = [f"template <class D, bool RO> class {c}Fields : public Record<{n}_t, D, RO> {{\n",
             f"    using B = Record<{n}_t, D, RO>;\n\nprotected:\n    using B::B;\n\npublic:\n"]
        for f in t.fields:
            o.append(f"    // {f.name}: {self.describe(t, f)}\n")
            o.extend("    " + line + "\n" for line in self.accessors(t, f))
        if t.list_of:
            owner, lst = t.list_of
            oc = self.cls(owner)
            g = f"{n}_{lst}_get_parent"
            o.append(f"    // The {owner} whose {lst} holds this element; an empty view for none.\n")
            o.append(f"    Late<{oc}Ref, D> parent(ErrorSink e = {{}}) requires(!RO) "
                     f"{{ return {{this->context(), this->call({where('parent', t)}, e, {g})}}; }}\n")
            o.append(f"    Late<{oc}CRef, D> parent(ErrorSink e = {{}}) const "
                     f"{{ return {{this->context(), this->call({where('parent', t)}, e, {g})}}; }}\n")
        o.append("};\n\n")
        return "".join(o)

    def describe(self, t, f):
        v = f", variant {f.variant}" if t.variants > 1 else ""
        if f.kind == "string":
            lf = self.length_field(t, f)
            return f"string, length in {lf.name} (up to {LENGTH_MAX[lf.width].rstrip('u')}){v}"
        if f.kind == "text":
            return f"fixed text of up to {f.width} characters{v}"
        if f.kind == "array":
            return f"{f.width} bytes{v}"
        if f.kind == "vararray":
            return f"bytes, count in {self.length_field(t, f).name}{v}"
        if f.kind == "length":
            return f"length of {f.length_of}{v}"
        if f.kind in ("enum", "record"):
            return f"{f.kind} {f.ref}{v}"
        if f.kind == "list":
            return f"list of {f.ref}{v}"
        return f.kind + v

    def length_field(self, t, f):
        return next(g for g in t.fields if g.name == f.length_field)

    def flags(self, t, f):
        p = f"{t.name}_{f.name}_"
        return [
            f"uint8_t {f.name}_flag(ErrorSink e = {{}}) const "
            f"{{ return this->call({where('flag', t, f)}, e, {p}state_flag_get); }}",
            f"D &{'set_' + f.name}_flag(uint8_t v, ErrorSink e = {{}}) requires(!RO) "
            f"{{ this->call({where('set_flag', t, f)}, e, {p}state_flag_set, int32_t{{v}}); return this->self(); }}",
        ]

    def accessors(self, t, f):
        p = f"{t.name}_{f.name}_"
        get, set_ = where("get", t, f), where("set", t, f)
        setter = f"D &set_{f.name}"
        req = "requires(!RO)"
        k = f.kind
        if k in SCALAR_TYPE:
            ty = SCALAR_TYPE[k]
            return [f"{ty} {f.name}(ErrorSink e = {{}}) const {{ return this->call({get}, e, {p}get_value); }}",
                    f"{setter}({ty} v, ErrorSink e = {{}}) {req} "
                    f"{{ this->call({set_}, e, {p}set_value, v); return this->self(); }}"] + self.flags(t, f)
        if k == "bool":
            return [f"bool {f.name}(ErrorSink e = {{}}) const {{ return this->call({get}, e, {p}get_value) != 0; }}",
                    f"{setter}(bool v, ErrorSink e = {{}}) {req} "
                    f"{{ this->call({set_}, e, {p}set_value, uint32_t{{v}}); return this->self(); }}"] + self.flags(t, f)
        if k == "ifh":
            return [f"uint32_t {f.name}(ErrorSink e = {{}}) const "
                    f"{{ const uint32_t *v = this->call({get}, e, {p}get); return v != nullptr ? *v : 0; }}",
                    f"{setter}(uint32_t v, ErrorSink e = {{}}) {req} "
                    f"{{ this->call({set_}, e, {p}set, &v); return this->self(); }}"] + self.flags(t, f)
        if k == "enum":
            ec = camel(f.ref)
            return [f"{ec} {f.name}(ErrorSink e = {{}}) const "
                    f"{{ return static_cast<{ec}>(this->call({get}, e, {p}get_value)); }}",
                    f"{setter}({ec} v, ErrorSink e = {{}}) {req} "
                    f"{{ this->call({set_}, e, {p}set_value, static_cast<uint32_t>(v)); return this->self(); }}"] + self.flags(t, f)
        if k == "length":
            ty = drovgen.WIDTH_TYPE[f.width]
            return [f"{ty} {f.name}(ErrorSink e = {{}}) const {{ return this->call({get}, e, {p}get_value); }}"]
        if k == "string":
            lf = self.length_field(t, f)
            lp = f"{t.name}_{lf.name}_"
            return [f"// A view of the instance's characters, valid until the field changes.",
                    f"std::string_view {f.name}(ErrorSink e = {{}}) const "
                    f"{{ return this->chars_at({f.offset}, this->call({get}, e, {lp}get_value)); }}",
                    f"{setter}(std::string_view v, ErrorSink e = {{}}) {req} "
                    f"{{ this->set_chars({set_}, e, {p}set, v, {LENGTH_MAX[lf.width]}); return this->self(); }}"] + self.flags(t, f)
        if k == "text":
            return [f"std::string_view {f.name}(ErrorSink e = {{}}) const "
                    f"{{ return this->text_at({get}, e, {f.variant}, {f.offset}, {f.width}); }}",
                    f"{setter}(std::string_view v, ErrorSink e = {{}}) {req} "
                    f"{{ this->set_chars({set_}, e, {p}set, v, {f.width}u); return this->self(); }}"] + self.flags(t, f)
        if k in ("array", "vararray"):
            fixed = k == "array"
            span = f"std::span<const uint8_t, {f.width}>" if fixed else "std::span<const uint8_t>"
            if fixed:
                read = (f"{span} {f.name}(ErrorSink e = {{}}) const "
                        f"{{ return this->template bytes_at<{f.width}>(this->call({get}, e, {p}get, 0u), {f.width}); }}")
            else:
                lp = f"{t.name}_{self.length_field(t, f).name}_"
                read = (f"{span} {f.name}(ErrorSink e = {{}}) const {{ const uint32_t n = this->call({get}, e, {lp}get_value); "
                        f"return n == 0 ? {span}() : this->bytes_at(this->call({get}, e, {p}get, 0u), n); }}")
            one = (f"{setter}(size_t i, uint8_t v, ErrorSink e = {{}}) {req} "
                   f"{{ this->call({set_}, e, {p}set_value, index32(i), v); return this->self(); }}" if fixed else
                   f"{setter}(size_t i, uint8_t v, ErrorSink e = {{}}) {req} "
                   f"{{ this->call({set_}, e, {p}set, index32(i), &v); return this->self(); }}")
            out = [read,
                   f"{setter}(std::span<const uint8_t> v, ErrorSink e = {{}}) {req} "
                   f"{{ this->set_bytes({set_}, e, {p}set_mem, v); return this->self(); }}",
                   one,
                   f"uint8_t {f.name}_flag(ErrorSink e = {{}}) const "
                   f"{{ return this->call({where('flag', t, f)}, e, {p}state_flag_whole_get); }}",
                   f"uint8_t {f.name}_flag(size_t i, ErrorSink e = {{}}) const "
                   f"{{ return this->call({where('flag', t, f)}, e, {p}state_flag_get, index32(i)); }}",
                   f"D &set_{f.name}_flag(uint8_t v, ErrorSink e = {{}}) {req} "
                   f"{{ this->call({where('set_flag', t, f)}, e, {p}state_flag_whole_set, int32_t{{v}}); return this->self(); }}",
                   f"D &set_{f.name}_flag(size_t i, uint8_t v, ErrorSink e = {{}}) {req} "
                   f"{{ this->call({where('set_flag', t, f)}, e, {p}state_flag_set, index32(i), int32_t{{v}}); return this->self(); }}"]
            if not fixed:
                out.append(f"D &clear_{f.name}() {req} {{ {p}remove_elements(this->h_, this->ctx_, this->p_); return this->self(); }}")
            return out
        if k == "record":
            rc = self.cls(f.ref)
            return [f"Late<{rc}Ref, D> {f.name}(ErrorSink e = {{}}) {req} "
                    f"{{ return {{this->context(), this->call({get}, e, {p}get)}}; }}",
                    f"Late<{rc}CRef, D> {f.name}(ErrorSink e = {{}}) const "
                    f"{{ return {{this->context(), this->call({get}, e, {p}get)}}; }}",
                    f"// Moves src's contents into the field (src keeps its place, emptied).",
                    f"{setter}(Late<{rc}Ref, D> src, ErrorSink e = {{}}) {req} "
                    f"{{ this->call({set_}, e, {p}set, src.c_ptr()); return this->self(); }}",
                    f"{setter}(Late<{rc}, D> &&src, ErrorSink e = {{}}) {req} {{ return set_{f.name}(src.ref(), e); }}",
                    ] + self.flags(t, f)
        if k == "list":
            lt = f"List_{t.name}_{f.name}"
            return [f"List<{lt}, RO> {f.name}() {req} {{ return {{this->context(), this->p_}}; }}",
                    f"List<{lt}, true> {f.name}() const {{ return {{this->context(), this->p_}}; }}",
                    ] + self.flags(t, f)
        raise GenError(f"{t.name}.{f.name}: no accessors for kind {k}")

    def classes(self, t):
        c = self.cls(t.name)
        return (f"// {t.name}: the owner of an instance, a view of one and a read-only view.\n"
                f"class {c} final : public detail::OwnerOf<{c}, detail::{c}Fields<{c}, false>> {{\n"
                f"public:\n    using OwnerOf::OwnerOf;\n}};\n"
                f"class {c}Ref final : public detail::ViewOf<{c}Ref, detail::{c}Fields<{c}Ref, false>> {{\n"
                f"public:\n    using ViewOf::ViewOf;\n}};\n"
                f"class {c}CRef final : public detail::ViewOf<{c}CRef, detail::{c}Fields<{c}CRef, true>> {{\n"
                f"public:\n    using ViewOf::ViewOf;\n"
                f"    {c}CRef(const {c}Ref &r) noexcept : ViewOf(r.context(), r.c_ptr()) {{}}\n}};\n\n")

    # ---- field descriptions ----

    def meta(self, t):
        c = self.cls(t.name)
        o = [f"namespace {t.name} {{\n"]
        for f in t.fields:
            o.append(self.meta_field(t, f))
        o.append(f"}} // namespace {t.name}\n")
        o.append(f"template <> struct Type<{c}> {{\n"
                 f"    static constexpr std::string_view name = \"{t.name}\";\n"
                 f"    static constexpr int variants = {t.variants};\n"
                 f"    template <class V> static void fields(V &&v) {{\n")
        for f in t.fields:
            o.append(f"        v({t.name}::{f.name}{{}});\n")
        o.append("    }\n};\n\n")
        return "".join(o)

    def meta_field(self, t, f):
        k = f.kind
        o = [f"struct {f.name} {{\n",
             f"    static constexpr std::string_view field = \"{f.name}\";\n",
             f"    static constexpr Kind kind = Kind::{META_KIND[k]};\n",
             f"    static constexpr int variant = {f.variant};\n",
             f"    static decltype(auto) get(auto &&o, ErrorSink e = {{}}) {{ return o.{f.name}(e); }}\n"
             if k != "list" else f"    static auto get(auto &&o) {{ return o.{f.name}(); }}\n"]
        if k != "length":
            o.append(f"    static void set(auto &&o, auto &&v, ErrorSink e = {{}}) {{ o.set_{f.name}(v, e); }}\n")
        if k not in ("length",):
            if k in ("array", "vararray"):
                o.append(f"    static uint8_t flag(auto &&o, ErrorSink e = {{}}) {{ return o.{f.name}_flag(e); }}\n"
                         f"    static void set_flag(auto &&o, uint8_t v, ErrorSink e = {{}}) {{ o.set_{f.name}_flag(v, e); }}\n"
                         f"    static uint8_t flag_at(auto &&o, size_t i, ErrorSink e = {{}}) {{ return o.{f.name}_flag(i, e); }}\n"
                         f"    static void set_flag_at(auto &&o, size_t i, uint8_t v, ErrorSink e = {{}}) {{ o.set_{f.name}_flag(i, v, e); }}\n"
                         f"    static void set_at(auto &&o, size_t i, uint8_t v, ErrorSink e = {{}}) {{ o.set_{f.name}(i, v, e); }}\n")
            else:
                o.append(f"    static uint8_t flag(auto &&o, ErrorSink e = {{}}) {{ return o.{f.name}_flag(e); }}\n"
                         f"    static void set_flag(auto &&o, uint8_t v, ErrorSink e = {{}}) {{ o.set_{f.name}_flag(v, e); }}\n")
        if k in SCALAR_TYPE:
            o.append(f"    using value_type = {SCALAR_TYPE[k]};\n")
        elif k == "length":
            o.append(f"    using value_type = {drovgen.WIDTH_TYPE[f.width]};\n"
                     f"    static constexpr std::string_view of = \"{f.length_of}\";\n")
        elif k == "enum":
            o.append(f"    using type = {camel(f.ref)};\n")
        elif k == "record":
            o.append(f"    using type = {self.cls(f.ref)};\n")
        elif k == "list":
            o.append(f"    using element = {self.cls(f.ref)};\n")
        elif k == "string":
            lf = self.length_field(t, f)
            o.append(f"    static constexpr uint64_t max_size = {LENGTH_MAX[lf.width]};\n"
                     f"    static constexpr std::string_view length = \"{lf.name}\";\n")
        elif k == "text":
            o.append(f"    static constexpr size_t capacity = {f.width};\n")
        elif k == "array":
            o.append(f"    static constexpr size_t extent = {f.width};\n")
        elif k == "vararray":
            o.append(f"    static constexpr std::string_view length = \"{self.length_field(t, f).name}\";\n"
                     f"    static void clear(auto &&o) {{ o.clear_{f.name}(); }}\n")
        o.append("};\n")
        return "".join(o)

    # ---- the header ----

    def header(self):
        for t in self.structs:
            check_names(t)
        names = [camel(t.name) for t in self.types]
        if len(set(names)) != len(names):
            raise GenError("two types share a C++ class name")
        o = [drovgen.GENERATED.replace("drovgen.py", "drovcxx.py"),
             "/*\n * The C++ classes of drov_def: one owning class per structure\n"
             " * (drov::VmActRsp), its views (VmActRsp::Ref, VmActRsp::CRef), one enum\n"
             " * class per enumeration, and drov::meta, a description of every field.\n"
             " * The common part and its rules are in drov_def_support.hpp.\n */\n",
             "#ifndef DROV_DEF_HPP\n#define DROV_DEF_HPP\n\n",
             "// Before C++20 the support header says so, once.\n#include \"drov_def/drov_def_support.hpp\"\n",
             "#if defined(__cplusplus) && __cplusplus >= 202002L\n\n#include <array>\n#include <functional>\n\n",
             "namespace drov {\n\n",
             "// ---- Enumerations ----\n\n"]
        for e in self.enums:
            o.append(self.enum(e))
        o.append("// ---- Structures ----\n\n")
        for t in self.structs:
            c = self.cls(t.name)
            o.append(f"class {c};\nclass {c}Ref;\nclass {c}CRef;\n")
        o.append("\nnamespace detail {\n\n")
        for t in self.structs:
            o.append(self.traits(t))
        o.append("\n")
        for t in self.structs:
            o.append(self.fields_class(t))
        o.append("} // namespace detail\n\n")
        for t in self.structs:
            o.append(self.classes(t))
        o.append("// ---- Field descriptions ----\n\nnamespace meta {\n\n"
                 "enum class Kind { U8, U16, U32, Bool, IfHandle, Enum, Record, Length, String, Text, Array, VarArray, List };\n\n"
                 "// Type<C>: the name, variant count and fields of a structure class;\n"
                 "// fields(v) calls v with a description of each field in declaration order.\n"
                 "template <class C> struct Type;\n\n")
        for t in self.structs:
            o.append(self.meta(t))
        o.append("// f(std::type_identity<C>{}) for every structure class, in type-table order.\n"
                 "template <class F> void for_each_struct(F &&f) {\n")
        for t in self.structs:
            o.append(f"    f(std::type_identity<{self.cls(t.name)}>{{}});\n")
        o.append("}\n// f(std::type_identity<E>{}) for every enum class.\n"
                 "template <class F> void for_each_enum(F &&f) {\n")
        for e in self.enums:
            o.append(f"    f(std::type_identity<{camel(e.name)}>{{}});\n")
        o.append("}\n\n} // namespace meta\n\n} // namespace drov\n\n")
        for t in self.structs:
            c = self.cls(t.name)
            for k in (c, c + "Ref", c + "CRef"):
                o.append(f"template <> struct std::hash<drov::{k}> : drov::detail::RecordHash<drov::{k}> {{}};\n")
        o.append("\n#endif // C++20\n\n#endif\n")
        return "".join(o)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--schema", required=True)
    ap.add_argument("--out", required=True, help="the header to write")
    a = ap.parse_args()
    try:
        _, types, _, _, _ = drovgen.parse(a.schema)
        drovgen.layout(types)
        text = Emitter(types).header()
    except (drovgen.SchemaError, GenError) as e:
        print(f"drovcxx: {e}", file=sys.stderr)
        return 1
    drovgen.write(a.out, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
