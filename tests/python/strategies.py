"""Hypothesis strategies made from the schema's field descriptions (the
classes' FIELDS): the values of any structure, every field within its
limits, lists of 0 to 3 elements; and what the package and the C++ layer
make of such values."""

import functools

import hypothesis.strategies as st

import drov_def as dd

BY_CLASS_NAME = {c.__name__: c for c in dd.STRUCTURES}
ENUMS = {e.__name__: e for e in dd.ENUMERATIONS}

# Characters XML 1.0 carries (the library writes them so that they read back).
# (A NUL is no character of a string or text: the setters refuse it.)
XML_CHARS = st.one_of(
    st.sampled_from("\t\n\r"),
    st.characters(min_codepoint=0x20, blacklist_categories=("Cs",), blacklist_characters="\ufffe\uffff"))


def fit(text, limit, errors):
    """text cut to at most limit bytes of UTF-8 at a character's end."""
    b = text.encode("utf-8", errors)
    return text if len(b) <= limit else b[:limit].decode("utf-8", "ignore")


def undecodable(b):
    """Bytes as the package reads them: what is no UTF-8 as lone surrogates."""
    return b.replace(b"\0", b"").decode("utf-8", "surrogateescape")


def strings(limit, xml):
    """str of up to limit bytes; without xml any bytes (undecodable ones as
    lone surrogates), else XML characters.  (Named functions, not lambdas:
    hypothesis reads a lambda's source to describe it.)"""
    chars = st.text(XML_CHARS, max_size=24)
    if limit <= 300:
        # As long as the length field counts, and one character more.
        chars = st.one_of(chars, st.text(XML_CHARS, min_size=1, max_size=3).map(
            Repeat(limit + 1)))
    if not xml:
        chars = st.one_of(chars, st.binary(max_size=24).map(undecodable))
    return chars.map(Fit(limit, "strict" if xml else "surrogateescape"))


class Fit:
    def __init__(self, limit, errors):
        self.limit, self.errors = limit, errors

    def __call__(self, text):
        return fit(text, self.limit, self.errors)


class Repeat:
    def __init__(self, n):
        self.n = n

    def __call__(self, text):
        return text * self.n


def field_values(f, xml):
    if f.kind in ("u8", "u16", "u32", "ifh"):
        return st.integers(0, f.limit)
    if f.kind == "bool":
        return st.booleans()
    if f.kind == "enum":
        return st.sampled_from(list(ENUMS[f.type]))
    if f.kind == "string":
        return strings(f.limit, xml)
    if f.kind == "text":
        return st.text(XML_CHARS, max_size=f.limit).map(Fit(f.limit, "strict"))
    if f.kind == "array":
        return st.binary(min_size=f.limit, max_size=f.limit)
    if f.kind == "vararray":
        return st.binary(max_size=12)
    if f.kind == "record":
        return values(BY_CLASS_NAME[f.type], xml)
    if f.kind == "list":
        return st.lists(values(BY_CLASS_NAME[f.type], xml), max_size=3)
    raise AssertionError(f.kind)


@functools.lru_cache(maxsize=None)
def values(cls, xml=False):
    """A dict of every settable field of cls (keyword arguments of its constructor)."""
    return st.fixed_dictionaries({f.name: field_values(f, xml) for f in cls.FIELDS if f.kind != "length"})


def plain(v):
    """What to_dict gives for drawn values: arrays as lists of ints."""
    if isinstance(v, dict):
        return {k: plain(x) for k, x in v.items()}
    if isinstance(v, list):
        return [plain(x) for x in v]
    if isinstance(v, bytes):
        return list(v)
    return v


def tokens(cls, v):
    """The values as the C++ layer's encoder (cxx_encode.cpp) reads them."""
    out = []
    for f in cls.FIELDS:
        x = v.get(f.name)
        if f.kind == "length":
            continue
        if f.kind == "record":
            out += tokens(BY_CLASS_NAME[f.type], x)
        elif f.kind == "list":
            out.append(str(len(x)))
            for e in x:
                out += tokens(BY_CLASS_NAME[f.type], e)
        elif f.kind in ("string", "text"):
            out.append("x" + x.encode("utf-8", "surrogateescape").hex())
        elif f.kind in ("array", "vararray"):
            out.append("x" + bytes(x).hex())
        else:
            out.append(str(int(x)))
    return out


# Changes to make to bytes: (how, where, byte, inserted bytes).
DAMAGE = st.lists(st.tuples(st.sampled_from(["set", "cut", "insert"]), st.integers(0, 1000), st.integers(0, 255),
                            st.binary(min_size=1, max_size=4)), min_size=1, max_size=4)


def damage(data, changes):
    """data with a few bytes changed, cut short, or with bytes inserted."""
    b = bytearray(data)
    for how, at, byte, inserted in changes:
        at %= len(b) + 1
        if how == "set" and at < len(b):
            b[at] = byte
        elif how == "cut":
            del b[at:]
        else:
            b[at:at] = inserted
    return bytes(b)


def sample(cls, seed=1):
    """Fixed values of every settable field of cls, different for each seed."""
    d = {}
    for f in cls.FIELDS:
        k = f.kind
        if k in ("u8", "u16", "u32", "ifh"):
            d[f.name] = (seed * 37) % (f.limit + 1)
        elif k == "bool":
            d[f.name] = seed % 2 == 1
        elif k == "enum":
            members = list(ENUMS[f.type])
            d[f.name] = members[seed % len(members)]
        elif k in ("string", "text"):
            d[f.name] = f"{f.name[:3]}{seed}"
        elif k == "array":
            d[f.name] = bytes((seed + i) % 256 for i in range(f.limit))
        elif k == "vararray":
            d[f.name] = bytes([seed % 256, 1, 2])
        elif k == "record":
            d[f.name] = sample(BY_CLASS_NAME[f.type], seed + 1)
        elif k == "list":
            d[f.name] = [sample(BY_CLASS_NAME[f.type], seed + 2), sample(BY_CLASS_NAME[f.type], seed + 3)]
    return d
