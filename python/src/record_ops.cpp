// What every structure class has: encode and decode (strict as the C++
// layer's, or lenient), XML, plain values (dicts), print form, repr,
// comparison and hash, copies, state flags.
#include <climits>
#include <cstring>
#include <initializer_list>
#include <string>

#include "core.h"

namespace drovpy {

namespace {

// Text the C writers fill into a buffer of the caller's, grown until it fits.
std::string text_buffer; // the GIL serialises its users

template <class Write>
PyObject *written(RecordObject *self, const char *op, size_t guess, bool strip_newline, Write write) {
    size_t cap = text_buffer.capacity() > guess ? text_buffer.capacity() : guess;
    for (;;) {
        text_buffer.resize(cap);
        uint32_t err = 0;
        uint32_t n = write(text_buffer.data(), static_cast<uint32_t>(cap), &err);
        if (err == DROV_DEF_ENOSPC && cap < (size_t{1} << 30)) {
            cap *= 2;
            continue;
        }
        if (err != 0) return lib_error(self->rt, err, op, self->type, "");
        // The print form ends its last line; str() does not.
        if (strip_newline && n != 0 && text_buffer[n - 1] == '\n') --n;
        return PyUnicode_DecodeUTF8(text_buffer.data(), n, "surrogateescape");
    }
}

// Arguments by position (up to npos of them) or by name; out gets borrowed
// references, null for those not given.
bool parse(const char *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
           std::initializer_list<const char *> names, Py_ssize_t npos, Py_ssize_t required, PyObject **out) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = nullptr;
    if (nargs > npos) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)", fn, npos, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        for (const char *n : names) {
            if (PyUnicode_CompareWithASCIIString(key, n) == 0) break;
            ++i;
        }
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", fn, key);
            return false;
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument %R", fn, key);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", fn, names.begin()[i]);
            return false;
        }
    }
    return true;
}

bool flag_arg(PyObject *v, bool *out) {
    if (v == nullptr) return *out = false, true;
    const int t = PyObject_IsTrue(v);
    if (t < 0) return false;
    *out = t != 0;
    return true;
}

// Bytes of a message or of XML text: bytes-like, or (text) str.
class Input {
public:
    bool from(PyObject *v, bool text, const char *what) {
        if (PyBytes_Check(v)) {
            data_ = PyBytes_AS_STRING(v), size_ = PyBytes_GET_SIZE(v);
            return true;
        }
        if (text && PyUnicode_Check(v)) {
            data_ = PyUnicode_AsUTF8AndSize(v, &size_);
            return data_ != nullptr;
        }
        if (!PyObject_CheckBuffer(v) || PyObject_GetBuffer(v, &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s takes %s, not %s", what, text ? "str or bytes" : "bytes",
                         Py_TYPE(v)->tp_name);
            return false;
        }
        viewed_ = true;
        data_ = static_cast<const char *>(view_.buf), size_ = view_.len;
        return true;
    }
    ~Input() {
        if (viewed_) PyBuffer_Release(&view_);
    }
    const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(data_); }
    const char *data() const { return data_; }
    Py_ssize_t size() const { return size_; }

private:
    const char *data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_buffer view_{};
    bool viewed_ = false;
};

// A refusal of this layer's own, recorded in the handle as the library's
// checks record theirs, then raised with its place.
PyObject *refuse(RuntimeObject *rt, const TypeDesc &t, uint32_t code, int64_t offset, const std::string &reason) {
    const drov_def_failure_t f{code, "decode", t.name, "", offset, 0, 0, reason.c_str()};
    drov_def_runtime_set_failure(rt->h, &f);
    return lib_error(rt, code, "decode", &t, "", true);
}

// A fresh instance decoded from in: checked by the verifier first (nothing
// cut, nothing no writer produces, with whole nothing after it), or with
// lenient what unmarshal accepts.  used gets the bytes the message took.
PyObject *decode_impl(const TypeDesc &t, RuntimeObject *rt, const Input &in, bool lenient, bool whole,
                      uint32_t *used) {
    if (in.size() > INT32_MAX) return lib_error(rt, DROV_DEF_EINVAL, "decode", &t, "", false, "more than 2147483647 bytes");
    const auto n = static_cast<int32_t>(in.size());
    if (!lenient && n == 0) return refuse(rt, t, DROV_DEF_EMSGSIZE, 0, "no bytes");
    uint32_t err = 0, m = static_cast<uint32_t>(n);
    if (!lenient) {
        m = drov_def_verify(rt->h, t.record, in.bytes(), n, 0, &err);
        if (err != 0) return lib_error(rt, err, "decode", &t, "", true);
        if (whole && m < static_cast<uint32_t>(n)) {
            const uint32_t k = static_cast<uint32_t>(n) - m;
            return refuse(rt, t, DROV_DEF_EINVAL, m,
                          std::to_string(k) + (k == 1 ? " byte follows" : " bytes follow") + " the message");
        }
    }
    RecordObject *r = new_owner(t, rt);
    if (r == nullptr) return nullptr;
    const uint32_t got = t.unmarshal(rt->h, rt->ctx, in.bytes(), r->inst, static_cast<int32_t>(m), 0, &err);
    if (err == 0 && got > m)
        return Py_DECREF(r), lib_error(rt, DROV_DEF_EMSGSIZE, "decode", &t, "", false,
                                       "message cut short: it claims " + std::to_string(got) + " bytes, " +
                                           std::to_string(m) + " given");
    if (err != 0) return Py_DECREF(r), lib_error(rt, err, "decode", &t, "");
    *used = got;
    return reinterpret_cast<PyObject *>(r);
}

PyObject *m_encode(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    RecordObject *self = as_record(o);
    PyObject *a[1];
    if (!parse("encode", args, nargs, kwnames, {"variant"}, 0, 0, a)) return nullptr;
    const TypeDesc &t = *self->type;
    RuntimeObject *rt = self->rt;
    int previous = -2;
    if (a[0] != nullptr && a[0] != Py_None) {
        if (!PyLong_Check(a[0])) return PyErr_Format(PyExc_TypeError, "variant is an int, not %s", Py_TYPE(a[0])->tp_name);
        const long v = PyLong_AsLong(a[0]);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        if (v < 0 || v >= t.variants)
            return PyErr_Format(PyExc_ValueError, "%s has variants 0 to %d, not %ld", t.name, t.variants - 1, v);
        previous = rt->domain[t.index];
        if (!runtime_set_variant(rt, t, static_cast<int>(v))) return nullptr;
    }
    uint32_t room = 0, err = 0;
    const uint32_t exact = drov_def_encoded_size(rt->h, rt->ctx, t.record, self->inst, 0, &room, &err);
    PyObject *out = err == 0 ? PyBytes_FromStringAndSize(nullptr, room) : nullptr;
    uint32_t n = 0;
    if (out != nullptr) {
        n = t.marshal(rt->h, rt->ctx, reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out)), self->inst,
                      static_cast<int32_t>(room), &err);
        // An instance newer than the domain is written in the domain's variant: asked for.
        if (err == DROV_DEF_EIDRM) err = 0;
        if (err == 0 && n != exact) err = DROV_DEF_EMSGSIZE;
    }
    if (previous != -2 && !runtime_set_variant(rt, t, previous)) {
        Py_XDECREF(out);
        return nullptr;
    }
    if (err != 0) {
        Py_XDECREF(out);
        return lib_error(rt, err, "encode", &t, "");
    }
    if (out == nullptr) return nullptr;
    if (n != room && _PyBytes_Resize(&out, n) < 0) return nullptr;
    return out;
}

PyObject *m_decode(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[3];
    if (!parse("decode", args, nargs, kwnames, {"data", "lenient", "runtime"}, 1, 1, a)) return nullptr;
    const TypeDesc *t = type_of_class(cls);
    bool lenient = false;
    if (t == nullptr || !flag_arg(a[1], &lenient)) return nullptr;
    RuntimeObject *rt = runtime_arg(a[2]);
    Input in;
    if (rt == nullptr || !in.from(a[0], false, "decode")) return nullptr;
    uint32_t used = 0;
    return decode_impl(*t, rt, in, lenient, true, &used);
}

PyObject *m_decode_prefix(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse("decode_prefix", args, nargs, kwnames, {"data", "runtime"}, 1, 1, a)) return nullptr;
    const TypeDesc *t = type_of_class(cls);
    if (t == nullptr) return nullptr;
    RuntimeObject *rt = runtime_arg(a[1]);
    Input in;
    if (rt == nullptr || !in.from(a[0], false, "decode_prefix")) return nullptr;
    uint32_t used = 0;
    PyObject *r = decode_impl(*t, rt, in, false, false, &used);
    if (r == nullptr) return nullptr;
    return Py_BuildValue("(Nk)", r, static_cast<unsigned long>(used));
}

PyObject *m_to_xml(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    RecordObject *self = as_record(o);
    PyObject *a[1];
    if (!parse("to_xml", args, nargs, kwnames, {"tag"}, 1, 0, a)) return nullptr;
    const char *tag = self->type->name;
    if (a[0] != nullptr && a[0] != Py_None) {
        Py_ssize_t n = 0;
        if (!PyUnicode_Check(a[0]) || (tag = PyUnicode_AsUTF8AndSize(a[0], &n)) == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "tag is a str");
            return nullptr;
        }
        if (n == 0 || std::strlen(tag) != static_cast<size_t>(n))
            return PyErr_Format(PyExc_ValueError, "tag %R is no element name", a[0]);
    }
    RuntimeObject *rt = self->rt;
    return written(self, "to_xml", 1024, false, [&](char *buf, uint32_t cap, uint32_t *err) {
        return drov_def_write_xml(rt->h, rt->ctx, self->type->record, tag, buf, self->inst, cap, 0, err);
    });
}

PyObject *m_from_xml(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[4];
    if (!parse("from_xml", args, nargs, kwnames, {"text", "path", "lenient", "runtime"}, 2, 1, a)) return nullptr;
    const TypeDesc *t = type_of_class(cls);
    bool lenient = false;
    if (t == nullptr || !flag_arg(a[2], &lenient)) return nullptr;
    RuntimeObject *rt = runtime_arg(a[3]);
    Input text;
    if (rt == nullptr || !text.from(a[0], true, "from_xml")) return nullptr;
    std::string path = std::string("/") + t->name;
    if (a[1] != nullptr && a[1] != Py_None) {
        Py_ssize_t n = 0;
        const char *p = PyUnicode_Check(a[1]) ? PyUnicode_AsUTF8AndSize(a[1], &n) : nullptr;
        if (p == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "path is a str");
            return nullptr;
        }
        if (n == 0 || std::strlen(p) != static_cast<size_t>(n))
            return PyErr_Format(PyExc_ValueError, "path %R selects no element", a[1]);
        path.assign(p, static_cast<size_t>(n));
    }
    void *doc = nullptr;
    if (uint32_t rc = drov_def_runtime_xml_parse(rt->h, text.data(), static_cast<size_t>(text.size()), &doc); rc != 0)
        return lib_error(rt, rc, "from_xml", t, "", true);
    RecordObject *r = new_owner(*t, rt);
    uint32_t err = 0;
    if (r != nullptr)
        drov_def_read_xml(rt->h, rt->ctx, t->record, path.c_str(), doc, r->inst, lenient ? DROV_DEF_XML_LENIENT : 0,
                          &err);
    drov_def_runtime_xml_free(doc);
    if (r != nullptr && err != 0) {
        Py_DECREF(r);
        return lib_error(rt, err, "from_xml", t, "", true);
    }
    return reinterpret_cast<PyObject *>(r);
}

PyObject *m_to_dict(PyObject *o, PyObject *) { return record_to_dict(as_record(o)); }

PyObject *m_from_dict(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse("from_dict", args, nargs, kwnames, {"values", "runtime"}, 1, 1, a)) return nullptr;
    const TypeDesc *t = type_of_class(cls);
    if (t == nullptr) return nullptr;
    RuntimeObject *rt = runtime_arg(a[1]);
    if (rt == nullptr) return nullptr;
    RecordObject *r = new_owner(*t, rt);
    if (r != nullptr && set_fields(r, a[0], true, nullptr) < 0) Py_CLEAR(r);
    return reinterpret_cast<PyObject *>(r);
}

PyObject *m_copy(PyObject *o, PyObject *) {
    RecordObject *self = as_record(o);
    void *inst = copy_instance(self->rt, self);
    return inst != nullptr ? reinterpret_cast<PyObject *>(new_record(*self->type, self->rt, inst, nullptr)) : nullptr;
}

PyObject *m_deepcopy(PyObject *o, PyObject *) { return m_copy(o, nullptr); }

PyObject *m_reduce(PyObject *o, PyObject *) {
    // By value: the class's from_dict of its plain values.
    PyObject *d = record_to_dict(as_record(o));
    if (d == nullptr) return nullptr;
    PyObject *f = PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(o)), "from_dict");
    if (f == nullptr) return Py_DECREF(d), nullptr;
    return Py_BuildValue("(N(N))", f, d);
}

// A field's state flag or one array element's.
const FieldDesc *flag_field(RecordObject *self, PyObject *name, PyObject *index, uint32_t *i) {
    const FieldDesc *f = field_by_name(*self->type, name, false);
    if (f == nullptr) return nullptr;
    if (f->kind == Kind::Length) {
        PyErr_Format(PyExc_TypeError, "%s.%s has no state flag of its own", self->type->name, f->name);
        return nullptr;
    }
    if (index != nullptr && index != Py_None) {
        if (f->flag_get_at == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s.%s is no array: its state flag has no index", self->type->name, f->name);
            return nullptr;
        }
        if (!PyLong_Check(index)) {
            PyErr_Format(PyExc_TypeError, "index is an int, not %s", Py_TYPE(index)->tp_name);
            return nullptr;
        }
        const unsigned long long k = PyLong_AsUnsignedLongLong(index);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_IndexError, "%s.%s has no element %R", self->type->name, f->name, index);
            return nullptr;
        }
        *i = k > 0xffffffffull ? 0xffffffffu : static_cast<uint32_t>(k);
    }
    return f;
}

PyObject *m_state_flag(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    RecordObject *self = as_record(o);
    PyObject *a[2];
    if (!parse("state_flag", args, nargs, kwnames, {"field", "index"}, 2, 1, a)) return nullptr;
    uint32_t i = 0, err = 0;
    const FieldDesc *f = flag_field(self, a[0], a[1], &i);
    if (f == nullptr) return nullptr;
    const bool at = a[1] != nullptr && a[1] != Py_None;
    const uint8_t v = at ? f->flag_get_at(self->rt->h, self->rt->ctx, self->inst, i, &err)
                         : f->flag_get(self->rt->h, self->rt->ctx, self->inst, &err);
    if (err != 0) return lib_error(self->rt, err, "state_flag", self->type, f->name);
    return PyLong_FromLong(v);
}

bool flag_value(PyObject *v, int32_t *out) {
    if (!PyLong_Check(v)) {
        PyErr_Format(PyExc_TypeError, "a state flag is an int, not %s", Py_TYPE(v)->tp_name);
        return false;
    }
    const long n = PyLong_AsLong(v);
    if ((n == -1 && PyErr_Occurred()) || n < 0 || n > 255) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "a state flag is 0 to 255, not %R", v);
        return false;
    }
    *out = static_cast<int32_t>(n);
    return true;
}

PyObject *m_set_state_flag(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    RecordObject *self = as_record(o);
    PyObject *a[3];
    if (!parse("set_state_flag", args, nargs, kwnames, {"field", "value", "index"}, 3, 2, a)) return nullptr;
    uint32_t i = 0, err = 0;
    int32_t v = 0;
    const FieldDesc *f = flag_field(self, a[0], a[2], &i);
    if (f == nullptr || !flag_value(a[1], &v)) return nullptr;
    if (a[2] != nullptr && a[2] != Py_None)
        f->flag_set_at(self->rt->h, self->rt->ctx, self->inst, i, v, &err);
    else
        f->flag_set(self->rt->h, self->rt->ctx, self->inst, v, &err);
    if (err != 0) return lib_error(self->rt, err, "set_state_flag", self->type, f->name);
    Py_RETURN_NONE;
}

PyObject *m_set_all_state_flags(PyObject *o, PyObject *v) {
    RecordObject *self = as_record(o);
    int32_t n = 0;
    if (!flag_value(v, &n)) return nullptr;
    self->type->set_all_flags(self->rt->h, self->rt->ctx, self->inst, static_cast<uint32_t>(n));
    Py_RETURN_NONE;
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

} // namespace

PyMethodDef record_methods[] = {
    {"encode", FASTCALL_KW(m_encode), METH_FASTCALL | METH_KEYWORDS,
     "encode(*, variant=None)\n--\n\nThe encoding, as bytes (its exact size).  variant: written as a peer that "
     "knows only variants up to that one reads it (also a runtime's variants do that)."},
    {"decode", FASTCALL_KW(m_decode), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "decode(data, *, lenient=False, runtime=None)\n--\n\nA new record from one whole encoding (any bytes-like "
     "object).  Checked first: bytes cut short, bytes no writer produces and bytes after the message are "
     "refused with drov_def.Error naming the offset and field.  lenient: what the library's own decoding "
     "takes (unknown flags dropped, strings cut to what is there), only a message cut inside a value refused."},
    {"decode_prefix", FASTCALL_KW(m_decode_prefix), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "decode_prefix(data, *, runtime=None)\n--\n\n(record, count): the message at the front of data, checked as "
     "decode checks it, whatever follows it, and the count of its bytes."},
    {"to_xml", FASTCALL_KW(m_to_xml), METH_FASTCALL | METH_KEYWORDS,
     "to_xml(tag=None)\n--\n\nThe XML element (str), tagged with the structure's name or tag.  An enumeration "
     "number its type does not name is written as <TYPE value=\"N\"/>."},
    {"from_xml", FASTCALL_KW(m_from_xml), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_xml(text, path=None, *, lenient=False, runtime=None)\n--\n\nA new record read from the element at "
     "path (by default /<structure name>, or a path of names and 1-based positions such as "
     "/batch/vm_act_rsp[2]) of an XML document (str or bytes).  Checked first: unknown or repeated elements, "
     "values that do not parse or fit, are refused with drov_def.Error naming the line, column and field.  "
     "lenient: the library's own reading, which leaves what it does not know.  Absent fields keep their "
     "initial values."},
    {"to_dict", m_to_dict, METH_NOARGS,
     "to_dict()\n--\n\nThe plain values: a dict of the fields of the record's variant (not the read-only lengths); "
     "nested records as dicts, lists as lists, arrays as lists of ints, enumerations as their members (ints)."},
    {"from_dict", FASTCALL_KW(m_from_dict), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_dict(values, *, runtime=None)\n--\n\nA new record from a dict of field values, as the constructor "
     "takes them (what to_dict gives)."},
    {"copy", m_copy, METH_NOARGS, "copy()\n--\n\nA deep copy of its own: same variant, values and state flags."},
    {"__copy__", m_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", m_deepcopy, METH_O, nullptr},
    {"__reduce__", m_reduce, METH_NOARGS, nullptr},
    {"state_flag", FASTCALL_KW(m_state_flag), METH_FASTCALL | METH_KEYWORDS,
     "state_flag(field, index=None)\n--\n\nThe state flag of a field (its name); of one element of an array with "
     "index.  Needs a runtime with tracking on (else drov_def.Error, errno 22)."},
    {"set_state_flag", FASTCALL_KW(m_set_state_flag), METH_FASTCALL | METH_KEYWORDS,
     "set_state_flag(field, value, index=None)\n--\n\nSets the state flag (0 to 255) of a field, or of one "
     "element of an array."},
    {"set_all_state_flags", m_set_all_state_flags, METH_O,
     "set_all_state_flags(value)\n--\n\nSets every state flag of the record, its nested records' too (a list "
     "element, an instance of its own, keeps its flags); nothing without tracking."},
    {nullptr, nullptr, 0, nullptr},
};

namespace {

// The plain value of one field of inst (to_dict); records and lists by value.
PyObject *plain(RuntimeObject *rt, const TypeDesc &t, void *inst, const FieldDesc &f);

PyObject *dict_of(RuntimeObject *rt, const TypeDesc &t, void *inst) {
    PyObject *d = PyDict_New();
    if (d == nullptr) return nullptr;
    const int variant = instance_variant(inst);
    for (int k = 0; k < t.field_count; ++k) {
        const FieldDesc &f = t.fields[k];
        if (f.kind == Kind::Length || f.variant > variant) continue;
        PyObject *v = plain(rt, t, inst, f);
        if (v == nullptr || PyDict_SetItemString(d, f.name, v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(d);
            return nullptr;
        }
        Py_DECREF(v);
    }
    return d;
}

PyObject *plain(RuntimeObject *rt, const TypeDesc &t, void *inst, const FieldDesc &f) {
    uint32_t err = 0;
    if (f.kind == Kind::Record) {
        void *r = f.get_ptr(rt->h, rt->ctx, inst, &err);
        if (err != 0) return lib_error(rt, err, "to_dict", &t, f.name);
        return dict_of(rt, *kTypes[f.ref], r);
    }
    if (f.kind == Kind::List) {
        const TypeDesc &et = *kTypes[f.ref];
        PyObject *l = PyList_New(0);
        for (void *e = f.list->first(rt->h, rt->ctx, inst, &err); l != nullptr && e != nullptr && err == 0;
             e = f.list->next(rt->h, rt->ctx, inst, e, &err)) {
            PyObject *d = dict_of(rt, et, e);
            if (d == nullptr || PyList_Append(l, d) < 0) Py_CLEAR(l);
            Py_XDECREF(d);
        }
        if (l != nullptr && err != 0) return Py_DECREF(l), lib_error(rt, err, "to_dict", &t, f.name);
        return l;
    }
    // A transient view for the scalar getters (no parent: nothing to own).
    RecordObject view;
    view.inst = inst, view.type = &t, view.rt = rt, view.parent = nullptr, view.listed = false;
    PyObject *v = get_field(&view, f);
    if (v != nullptr && PyBytes_Check(v)) {
        // Arrays as lists of ints.
        const auto *b = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(v));
        const Py_ssize_t n = PyBytes_GET_SIZE(v);
        PyObject *l = PyList_New(n);
        for (Py_ssize_t i = 0; l != nullptr && i < n; ++i) PyList_SET_ITEM(l, i, PyLong_FromLong(b[i]));
        Py_DECREF(v);
        return l;
    }
    return v;
}

// repr of a field's value: enumerations by name, records and lists as
// their own reprs.
PyObject *value_repr(PyObject *v) {
    PyTypeObject *tp = Py_TYPE(v);
    for (int i = 0; i < kEnumCount; ++i) {
        if (reinterpret_cast<PyObject *>(tp) == enum_classes[i]) {
            PyObject *name = PyObject_GetAttrString(v, "name");
            if (name == nullptr) return nullptr;
            PyObject *r = PyUnicode_FromFormat("%s.%U", kEnums[i].class_name, name);
            Py_DECREF(name);
            return r;
        }
    }
    return PyObject_Repr(v);
}

} // namespace

PyObject *record_to_dict(RecordObject *self) { return dict_of(self->rt, *self->type, self->inst); }

PyObject *record_repr(PyObject *o) {
    RecordObject *self = as_record(o);
    const TypeDesc &t = *self->type;
    const int rc = Py_ReprEnter(o);
    if (rc != 0) return rc > 0 ? PyUnicode_FromString("...") : nullptr;
    PyObject *parts = PyList_New(0);
    const int variant = instance_variant(self->inst);
    for (int k = 0; parts != nullptr && k < t.field_count; ++k) {
        const FieldDesc &f = t.fields[k];
        if (f.kind == Kind::Length || f.variant > variant) continue;
        PyObject *v = get_field(self, f);
        PyObject *r = v != nullptr ? value_repr(v) : nullptr;
        PyObject *part = r != nullptr ? PyUnicode_FromFormat("%s=%U", f.name, r) : nullptr;
        if (part == nullptr || PyList_Append(parts, part) < 0) Py_CLEAR(parts);
        Py_XDECREF(part);
        Py_XDECREF(r);
        Py_XDECREF(v);
    }
    Py_ReprLeave(o);
    if (parts == nullptr) return nullptr;
    PyObject *sep = PyUnicode_FromString(", ");
    PyObject *body = sep != nullptr ? PyUnicode_Join(sep, parts) : nullptr;
    Py_XDECREF(sep);
    Py_DECREF(parts);
    if (body == nullptr) return nullptr;
    PyObject *r = PyUnicode_FromFormat("%s(%U)", t.class_name, body);
    Py_DECREF(body);
    return r;
}

PyObject *record_str(PyObject *o) {
    RecordObject *self = as_record(o);
    RuntimeObject *rt = self->rt;
    uint32_t room = 0, size_err = 0;
    const size_t guess =
        256 + 16 * size_t{drov_def_encoded_size(rt->h, rt->ctx, self->type->record, self->inst, 0, &room, &size_err)};
    return written(self, "print", guess, true, [&](char *buf, uint32_t cap, uint32_t *err) {
        return self->type->print(rt->h, rt->ctx, buf, self->type->name, self->inst, cap, err);
    });
}

PyObject *record_richcompare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_record(a) || !is_record(b) || Py_TYPE(a) != Py_TYPE(b))
        Py_RETURN_NOTIMPLEMENTED;
    const bool equal = as_record(a)->type->compare(as_record(a)->inst, as_record(b)->inst) == 0;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_hash_t record_hash(PyObject *o) {
    const Py_hash_t h = as_record(o)->type->hash(as_record(o)->inst, 0);
    return h == -1 ? -2 : h;
}

bool record_ops_init(PyTypeObject *) { return true; }

} // namespace drovpy
