"""drov_def: the message and record types of the VM manager, from Python.

Every structure of the schema is a class (VmActRsp, VmInstReq, ...) over the
library's C instances; every enumeration an enum.IntEnum (VmRspRc, ...).

    import drov_def as dd
    rsp = dd.VmActRsp(vm_name="web01", rc=dd.VmRspRc.OK, vm_uid=77)
    nic = rsp.vm_if_rsp.vm_if_info.add(if_handle=0x1A2B)
    nic.vm_nic_info.mtu = 1500
    data = rsp.encode()
    back = dd.VmActRsp.decode(data)
    assert back == rsp

Failures the library reports raise drov_def.Error (an OSError: errno is the
library's number); a value of the wrong type raises TypeError and one out of
its field's range ValueError, before anything changes.
"""

from typing import Optional

from . import _schema
from ._schema import *  # noqa: F401,F403  (the enumerations, FieldInfo)
from ._schema import Enumeration, FieldInfo


class Error(OSError):
    """A failure the library reports.

    errno: the library's error number (2 absent, 12 out of memory, 22 invalid,
    28 no space, 43 a field or variant the domain does not know, 90 a buffer
    or message too short); strerror: the library's words for it.
    operation: what failed ("decode", "set", "from_xml", ...); type_name: the
    structure; path: the field ("vm_if_rsp.vm_if_info[1].mtu", "" for the
    structure itself); offset: the byte of an encoding, or line and column of
    XML text, where the failure lies (None when not known); reason: in words.
    str() gives all of it in one line.
    """

    def __init__(self, errno: int, strerror: str, message: Optional[str] = None, *,
                 operation: str = "", type_name: str = "", path: str = "",
                 offset: Optional[int] = None, line: Optional[int] = None,
                 column: Optional[int] = None, reason: Optional[str] = None) -> None:
        super().__init__(errno, strerror)
        self.message = message if message is not None else strerror
        self.operation = operation
        self.type_name = type_name
        self.path = path
        self.offset = offset
        self.line = line
        self.column = column
        self.reason = reason

    def __str__(self) -> str:
        return f"{self.message} [errno {self.errno}]"

    def __reduce__(self):
        return (_rebuild_error, (self.errno, self.strerror, self.message, self.operation,
                                 self.type_name, self.path, self.offset, self.line,
                                 self.column, self.reason))


def _rebuild_error(errno, strerror, message, operation, type_name, path, offset, line,
                   column, reason):
    return Error(errno, strerror, message, operation=operation, type_name=type_name,
                 path=path, offset=offset, line=line, column=column, reason=reason)


from . import _core  # noqa: E402  (the compiled classes need Error first)
from ._core import (  # noqa: E402,F401
    CTX_NONE, Record, RecordList, Runtime, default_runtime)

_core._set_error_class(Error)

_structures = []
for _name, _fields in _schema.FIELDS.items():
    _cls = next(c for c in vars(_core).values()
                if isinstance(c, type) and getattr(c, "TYPE_NAME", None) == _name)
    _cls.FIELDS = _fields
    globals()[_cls.__name__] = _cls
    _structures.append(_cls.__name__)

#: Every structure class, in the library's type-table order.
STRUCTURES = tuple(globals()[n] for n in _structures)
#: Every enumeration class.
ENUMERATIONS = tuple(getattr(_schema, n) for n in _schema.__all__[2:])

__all__ = (["Error", "Runtime", "Record", "RecordList", "Enumeration", "FieldInfo",
            "default_runtime", "CTX_NONE", "STRUCTURES", "ENUMERATIONS"]
           + _structures + list(_schema.__all__[2:]))

del _name, _fields, _cls
