"""Every field of every structure: what it takes, what it refuses (TypeError
for a wrong type, ValueError out of range, both before anything changes),
and its largest values."""

import pytest

import drov_def as dd
from strategies import BY_CLASS_NAME, ENUMS, sample

FIELDS = [(c, f) for c in dd.STRUCTURES for f in c.FIELDS if f.kind != "length"]
LENGTHS = [(c, f) for c in dd.STRUCTURES for f in c.FIELDS if f.kind == "length"]


def other_enum_member(f):
    return next(list(e)[0] for e in dd.ENUMERATIONS if e.__name__ != f.type)


def other_record(f):
    return next(c for c in dd.STRUCTURES if c.__name__ != f.type)()


def refused(f):
    """Values the field refuses, with the exception each raises."""
    k, n = f.kind, f.limit
    if k in ("u8", "u16", "u32", "ifh"):
        return [("7", TypeError), (7.0, TypeError), (None, TypeError), (b"\x07", TypeError),
                (-1, ValueError), (n + 1, ValueError), (2 ** 64, ValueError)]
    if k == "bool":
        return [("yes", TypeError), (None, TypeError), (1.0, TypeError), (2, ValueError), (-1, ValueError)]
    if k == "enum":
        first = list(ENUMS[f.type])[0]
        return [(other_enum_member(f), TypeError), ("OK", TypeError), (None, TypeError),
                (-1, ValueError), (first - 1, ValueError), (n + 1, ValueError), (2 ** 32, ValueError)]
    if k in ("string", "text"):
        cases = [(7, TypeError), (None, TypeError), (["a"], TypeError), ("a\x00b", ValueError), (b"\x00", ValueError)]
        if n <= 65535:
            cases += [("x" * (n + 1), ValueError), ("é" * (n // 2 + 1), ValueError)]
        return cases
    if k == "array":
        return [("abcdef"[:n], TypeError), (7, TypeError), (None, TypeError), ([1.5] * n, TypeError),
                (bytes(n - 1), ValueError), (bytes(n + 1), ValueError), ([256] * n, ValueError), ([-1] * n, ValueError)]
    if k == "vararray":
        return [("ab", TypeError), (7, TypeError), (None, TypeError), ([300], ValueError)]
    el = BY_CLASS_NAME[f.type]
    first = next(g for g in el.FIELDS if g.kind != "length")
    bad_inner = {first.name: refused(first)[0][0]}
    if k == "record":
        return [(7, TypeError), (None, TypeError), ([], TypeError), (other_record(f), TypeError),
                ({"no_such_field": 1}, TypeError), (bad_inner, TypeError)]
    return [("ab", TypeError), (7, TypeError), (None, TypeError), ({}, TypeError), (el(), TypeError),
            ([7], TypeError), ([other_record(f)], TypeError), ([{}, {"no_such_field": 1}], TypeError),
            ([{}, bad_inner], TypeError)]


def largest(f):
    """The field's largest values (numbers, bytes), as they read back."""
    k, n = f.kind, f.limit
    if k in ("u8", "u16", "u32", "ifh"):
        return [n, 0]
    if k == "bool":
        return [True, False]
    if k == "enum":
        return list(ENUMS[f.type])
    if k in ("string", "text"):
        return ["x" * n, "é" * (n // 2), "\udcff", ""] if n <= 65535 else ["x" * 70000, "\udcff", ""]
    if k == "array":
        return [bytes(range(256 - n, 256)), bytes(n)]
    if k == "vararray":
        return [bytes(range(256)) * 4, b""]
    return []


@pytest.mark.parametrize("cls,f", FIELDS, ids=lambda x: getattr(x, "name", getattr(x, "TYPE_NAME", "")))
def test_a_refused_value_changes_nothing(cls, f):
    r = cls(**sample(cls))
    before, wire = r.to_dict(), r.encode()
    for value, error in refused(f):
        with pytest.raises(error):
            setattr(r, f.name, value)
        assert r.to_dict() == before and r.encode() == wire, value
        with pytest.raises(error):
            cls(**{f.name: value})
        if f.kind == "record":
            with pytest.raises(TypeError):
                delattr(r, f.name)


@pytest.mark.parametrize("cls,f", FIELDS, ids=lambda x: getattr(x, "name", getattr(x, "TYPE_NAME", "")))
def test_the_largest_values_read_back(cls, f):
    r = cls(**sample(cls))
    for value in largest(f):
        setattr(r, f.name, value)
        assert getattr(r, f.name) == value
        back = cls.decode(r.encode())
        assert getattr(back, f.name) == value and back == r
        if f.length_field:
            size = len(value.encode("utf-8", "surrogateescape")) if isinstance(value, str) else len(value)
            assert getattr(back, f.length_field) == size
    if f.kind in ("array", "vararray"):
        setattr(r, f.name, bytearray(b"\x01" * (f.limit if f.kind == "array" else 3)))
        setattr(r, f.name, memoryview(b"\x02" * (f.limit if f.kind == "array" else 3)))
        setattr(r, f.name, [3] * (f.limit if f.kind == "array" else 3))
        assert getattr(r, f.name) == b"\x03" * (f.limit if f.kind == "array" else 3)


@pytest.mark.parametrize("cls,f", LENGTHS, ids=lambda x: getattr(x, "name", getattr(x, "TYPE_NAME", "")))
def test_length_fields_are_read_only(cls, f):
    r = cls()
    with pytest.raises(AttributeError):
        setattr(r, f.name, 1)
    with pytest.raises(TypeError, match="read-only"):
        cls(**{f.name: 1})
    with pytest.raises(TypeError):
        cls.from_dict({f.name: 1})


@pytest.mark.parametrize("call", [
    lambda: dd.VmActRsp(1),
    lambda: dd.VmActRsp(no_such_field=1),
    lambda: dd.VmActRsp.from_dict({"no_such_field": 1}),
    lambda: dd.VmActRsp.from_dict([("vm_uid", 1)]),
    lambda: dd.VmActRsp(runtime=7),
    lambda: dd.Record(),
    lambda: dd.VmActRsp.decode("text"),
    lambda: dd.VmActRsp.decode(b"", bogus=1),
    lambda: dd.VmActRsp().to_xml(7),
    lambda: dd.VmActRsp().encode(variant="1"),
    lambda: dd.VmActRsp().state_flag("no_such_field"),
    lambda: dd.VmActRsp().state_flag("vm_uid", 1),
    lambda: dd.VmActRsp().state_flag("vm_name_length"),
])
def test_calls_of_the_wrong_shape_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_enumerations_read_as_members_and_unnamed_numbers_as_ints():
    r = dd.VmActRsp(rc=2)
    assert r.rc is dd.VmRspRc.RESTART and r.rc.c_name == "VM_RSP_RC_RESTART"
    assert dd.VmIdValidReply(validation_result=4).validation_result is dd.VmIdValidationType.IDENTIFICATION_FAILED
    # A newer peer's number, which only a reading gives, stays readable as its number.
    xml = r.to_xml().replace("<VM_RSP_RC_RESTART/>", '<vm_rsp_rc value="7"/>')
    newer = dd.VmActRsp.from_xml(xml)
    assert newer.rc == 7 and type(newer.rc) is int and newer.to_dict()["rc"] == 7
    back = dd.VmActRsp.decode(newer.encode())
    assert back.rc == 7 and back.to_xml() == xml and "rc=7" in repr(back)


def test_stubs_describe_every_class_and_field():
    import ast
    import pathlib
    stub = ast.parse(pathlib.Path(dd.__file__).with_name("__init__.pyi").read_text())
    classes = {c.name: c for c in stub.body if isinstance(c, ast.ClassDef)}
    for cls in dd.STRUCTURES:
        body = classes[cls.__name__].body
        named = {n.target.id for n in body if isinstance(n, ast.AnnAssign)}
        named |= {n.name for n in body if isinstance(n, ast.FunctionDef)}
        assert {f.name for f in cls.FIELDS} <= named, cls.__name__
        assert ast.get_docstring(classes[cls.__name__]).startswith(f"The structure {cls.TYPE_NAME}")
        init = next(n for n in body if isinstance(n, ast.FunctionDef) and n.name == "__init__")
        assert [a.arg for a in init.args.kwonlyargs] == [f.name for f in cls.FIELDS if f.kind != "length"] + ["runtime"]
    for e in dd.ENUMERATIONS:
        assert [n.targets[0].id for n in classes[e.__name__].body if isinstance(n, ast.Assign)] == [m.name for m in e]
    assert (pathlib.Path(dd.__file__).with_name("py.typed")).exists()
