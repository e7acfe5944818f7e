"""Properties of every structure's encoding over values drawn from the schema."""

import ctypes
import os

import pytest
from hypothesis import given
from hypothesis import strategies as st

import drov_def as dd
from strategies import DAMAGE, damage, plain, tokens, values

every_structure = pytest.mark.parametrize("cls", dd.STRUCTURES, ids=lambda c: c.TYPE_NAME)


@every_structure
@given(data=st.data())
def test_encode_then_decode_gives_the_values_set(cls, data):
    v = data.draw(values(cls))
    r = cls(**v)
    assert r.to_dict() == plain(v)
    wire = r.encode()
    back = cls.decode(wire)
    assert back == r and back.to_dict() == plain(v)
    assert back.encode() == wire
    assert cls.decode_prefix(wire + b"\x00\x01") == (back, len(wire))


_cxx = ctypes.CDLL(os.environ["DROV_CXX_ENCODE"])
_cxx.drov_cxx_encode.restype = ctypes.c_long
_cxx.drov_cxx_encode.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]


@every_structure
@given(data=st.data())
def test_bytes_are_those_the_cxx_layer_writes(cls, data):
    v = data.draw(values(cls))
    out = ctypes.create_string_buffer(1 << 20)
    n = _cxx.drov_cxx_encode(cls.TYPE_NAME.encode(), " ".join(tokens(cls, v)).encode(), out, len(out))
    assert n >= 0, out.value
    assert cls(**v).encode() == out.raw[:n]


@every_structure
@given(data=st.data())
def test_decoding_any_bytes_returns_a_usable_record_or_raises_error(cls, data):
    good = cls(**data.draw(values(cls))).encode()
    raw = damage(good, data.draw(DAMAGE)) if data.draw(st.booleans()) else data.draw(st.binary(max_size=80))
    for lenient in (False, True):
        try:
            r = cls.decode(raw, lenient=lenient)
        except dd.Error as e:
            assert isinstance(e, OSError) and e.errno in (22, 43, 90) and e.type_name == cls.TYPE_NAME
            if not lenient:
                assert e.offset is not None and 0 <= e.offset <= len(raw)
            continue
        # What the checks pass encodes again to what they pass; the lenient
        # reading takes bytes no writer produces and may keep them.
        again = cls.decode(r.encode(), lenient=lenient)
        assert again == r and str(again) == str(r)
        r.to_dict(), r.to_xml(), r.copy()
