"""Properties of every structure's text, plain values and identity over values drawn from the schema."""

import copy
import json
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

import drov_def as dd
from strategies import plain, values

every_structure = pytest.mark.parametrize("cls", dd.STRUCTURES, ids=lambda c: c.TYPE_NAME)


@every_structure
@given(data=st.data())
def test_xml_reads_back_what_it_wrote(cls, data):
    r = cls(**data.draw(values(cls, xml=True)))
    back = cls.from_xml(r.to_xml())
    assert back == r and str(back) == str(r)
    assert cls.from_xml(f"<batch><x/>{r.to_xml('m')}</batch>", f"/batch/m[1]") == r


@every_structure
@given(data=st.data())
def test_dicts_read_back_also_through_json(cls, data):
    r = cls.from_dict(data.draw(values(cls)))
    d = r.to_dict()
    assert cls.from_dict(d) == r
    assert cls.from_dict(json.loads(json.dumps(d))) == r
    assert eval(repr(r), vars(dd)) == r
    assert pickle.loads(pickle.dumps(r)) == r and copy.deepcopy(r) == copy.copy(r) == r


@every_structure
@given(data=st.data())
def test_equal_records_hash_alike_and_only_equal_values_are_equal(cls, data):
    v, w = data.draw(values(cls)), data.draw(values(cls))
    a, b = cls(**v), cls(**w)
    for same in (a.copy(), cls.decode(a.encode()), cls.from_dict(v)):
        assert same == a and not (same != a) and hash(same) == hash(a)
    assert (a == b) == (plain(v) == plain(w))
    if a == b:
        assert hash(a) == hash(b)
