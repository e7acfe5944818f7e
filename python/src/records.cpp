// The structure classes: made from the tables at import, one getter and
// one setter for every field of every structure, keyword construction.
#include <cstring>
#include <string>

#include "core.h"
#include "drov_def/drov_def_support.hpp"

namespace drovpy {

PyTypeObject *RecordBaseType = nullptr;
PyTypeObject **record_types = nullptr;
PyObject **field_names = nullptr;
PyObject **enum_classes = nullptr;
PyObject **enum_members = nullptr;

void registry_erase(RecordObject *v); // lists.cpp

int instance_variant(const void *inst) { return drov::detail::instance_variant(inst); }

namespace {

PyObject *str_runtime = nullptr;
const uint8_t zeros[256] = {};

void record_dealloc(PyObject *o) {
    RecordObject *r = as_record(o);
    if (r->listed) registry_erase(r);
    if (r->parent == nullptr && r->inst != nullptr) r->type->destroy(r->rt->h, r->rt->ctx, r->inst);
    Py_XDECREF(r->parent);
    Py_XDECREF(r->rt);
    PyTypeObject *tp = Py_TYPE(o);
    PyObject_Free(o);
    Py_DECREF(tp);
}

PyObject *field_error(RecordObject *self, uint32_t err, const char *op, const FieldDesc &f) {
    return lib_error(self->rt, err, op, self->type, f.name);
}

// An int for a field of at most limit: TypeError for what is no int,
// ValueError beyond the range.
bool to_number(PyObject *v, uint64_t limit, const TypeDesc &t, const FieldDesc &f, uint32_t *out) {
    PyObject *n = v;
    if (!PyLong_Check(v)) {
        if (PyFloat_Check(v) || PyUnicode_Check(v) || PyBytes_Check(v) || (n = PyNumber_Index(v)) == nullptr) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s.%s takes an int, not %s", t.name, f.name, Py_TYPE(v)->tp_name);
            return false;
        }
    } else {
        Py_INCREF(n);
    }
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(n, &overflow);
    Py_DECREF(n);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || x < 0 || static_cast<unsigned long long>(x) > limit) {
        PyErr_Format(PyExc_ValueError, "%s.%s takes 0 to %llu, not %R", t.name, f.name,
                     static_cast<unsigned long long>(limit), v);
        return false;
    }
    *out = static_cast<uint32_t>(x);
    return true;
}

bool is_other_enumeration(PyObject *v, int mine) {
    PyTypeObject *tp = Py_TYPE(v);
    if (tp == &PyLong_Type || tp == &PyBool_Type) return false;
    for (int i = 0; i < kEnumCount; ++i)
        if (i != mine && reinterpret_cast<PyObject *>(tp) == enum_classes[i]) return true;
    return false;
}

PyObject *decode_text(const char *s, size_t n) {
    return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "surrogateescape");
}

PyObject *getter(PyObject *self, void *closure) {
    return get_field(as_record(self), *static_cast<const FieldDesc *>(closure));
}

int setter(PyObject *self, PyObject *value, void *closure) {
    const auto &f = *static_cast<const FieldDesc *>(closure);
    if (value == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s.%s cannot be deleted", as_record(self)->type->name, f.name);
        return -1;
    }
    return set_field(as_record(self), f, value, false);
}

PyObject *record_new(PyTypeObject *tp, PyObject *args, PyObject *kwargs) {
    const TypeDesc *t = type_of_class(reinterpret_cast<PyObject *>(tp));
    if (t == nullptr) return nullptr;
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes keyword arguments only", t->class_name);
        return nullptr;
    }
    PyObject *runtime = nullptr;
    if (kwargs != nullptr && (runtime = PyDict_GetItemWithError(kwargs, str_runtime)) == nullptr && PyErr_Occurred())
        return nullptr;
    RuntimeObject *rt = runtime_arg(runtime);
    if (rt == nullptr) return nullptr;
    RecordObject *self = new_owner(*t, rt);
    if (self == nullptr) return nullptr;
    if (kwargs != nullptr && set_fields(self, kwargs, true, runtime != nullptr ? str_runtime : nullptr) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(self);
}

PyObject *base_new(PyTypeObject *, PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "drov_def.Record is the base of the structure classes: make one of those");
    return nullptr;
}

PyObject *get_variant(PyObject *self, void *) { return PyLong_FromLong(instance_variant(as_record(self)->inst)); }
PyObject *get_runtime(PyObject *self, void *) {
    PyObject *rt = reinterpret_cast<PyObject *>(as_record(self)->rt);
    Py_INCREF(rt);
    return rt;
}

PyGetSetDef base_getset[] = {
    {"variant", get_variant, nullptr,
     "The instance's variant: what a decoding read (an older peer's is lower), else what the runtime gave it.",
     nullptr},
    {"runtime", get_runtime, nullptr, "The Runtime this record was made through.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char base_doc[] =
    "The base of every structure class of drov_def: encode, decode, XML, dicts, copies, comparison, state flags.";

} // namespace

Bytes::~Bytes() {
    if (viewed_) PyBuffer_Release(&view_);
    Py_XDECREF(hold_);
}

bool Bytes::from(PyObject *v, bool strings, const char *what) {
    if (PyUnicode_Check(v)) {
        if (!strings) {
            PyErr_Format(PyExc_TypeError, "%s takes bytes, not str", what);
            return false;
        }
        Py_ssize_t n = 0;
        if (const char *s = PyUnicode_AsUTF8AndSize(v, &n); s != nullptr) {
            data_ = s, size_ = static_cast<size_t>(n);
            return true;
        }
        // Lone surrogates: bytes a decoding could not read as UTF-8.
        PyErr_Clear();
        hold_ = PyUnicode_AsEncodedString(v, "utf-8", "surrogateescape");
        if (hold_ == nullptr) return false;
    } else if (PyBytes_Check(v)) {
        data_ = PyBytes_AS_STRING(v), size_ = static_cast<size_t>(PyBytes_GET_SIZE(v));
        return true;
    } else if (PyObject_CheckBuffer(v)) {
        if (PyObject_GetBuffer(v, &view_, PyBUF_SIMPLE) < 0) return false;
        viewed_ = true;
        data_ = static_cast<const char *>(view_.buf), size_ = static_cast<size_t>(view_.len);
        return true;
    } else if (!strings && !PyLong_Check(v) && (hold_ = PyBytes_FromObject(v)) != nullptr) {
        // ints 0 to 255
    } else {
        if (hold_ == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s takes %s, not %s", what,
                     strings ? "str or bytes" : "bytes or ints from 0 to 255", Py_TYPE(v)->tp_name);
        return false;
    }
    data_ = PyBytes_AS_STRING(hold_), size_ = static_cast<size_t>(PyBytes_GET_SIZE(hold_));
    return true;
}

const TypeDesc *type_of_class(PyObject *cls) {
    for (int i = 0; i < kTypeCount; ++i)
        if (reinterpret_cast<PyObject *>(record_types[i]) == cls) return kTypes[i];
    PyErr_Format(PyExc_TypeError, "%R is no structure class of drov_def", cls);
    return nullptr;
}

RecordObject *new_record(const TypeDesc &t, RuntimeObject *rt, void *inst, PyObject *parent) {
    RecordObject *r = PyObject_New(RecordObject, record_types[t.index]);
    if (r == nullptr) {
        if (parent == nullptr) t.destroy(rt->h, rt->ctx, inst);
        return nullptr;
    }
    r->inst = inst;
    r->type = &t;
    Py_INCREF(rt);
    r->rt = rt;
    Py_XINCREF(parent);
    r->parent = parent;
    r->listed = false;
    return r;
}

RecordObject *new_owner(const TypeDesc &t, RuntimeObject *rt) {
    void *inst = t.create(rt->h, rt->ctx);
    if (inst == nullptr) {
        lib_error(rt, DROV_DEF_ENOMEM, "create", &t, "");
        return nullptr;
    }
    return new_record(t, rt, inst, nullptr);
}

const FieldDesc *field_by_name(const TypeDesc &t, PyObject *name, bool settable) {
    PyObject *i = PyUnicode_Check(name) ? PyDict_GetItemWithError(field_names[t.index], name) : nullptr;
    if (i == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "%s has no field %R", t.class_name, name);
        return nullptr;
    }
    const FieldDesc &f = t.fields[PyLong_AsLong(i)];
    if (settable && f.kind == Kind::Length) {
        const char *of = "";
        for (int k = 0; k < t.field_count; ++k)
            if (t.fields[k].length == &f - t.fields) of = t.fields[k].name;
        PyErr_Format(PyExc_TypeError, "%s.%s is read-only: set %s", t.name, f.name, of);
        return nullptr;
    }
    return &f;
}

PyObject *get_field(RecordObject *self, const FieldDesc &f) {
    H *h = self->rt->h;
    const uint32_t c = self->rt->ctx;
    void *p = self->inst;
    uint32_t err = 0;
    switch (f.kind) {
    case Kind::U8:
    case Kind::U16:
    case Kind::U32:
    case Kind::IfHandle:
    case Kind::Length: {
        const uint32_t v = f.get(h, c, p, &err);
        if (err != 0) return field_error(self, err, "get", f);
        return PyLong_FromUnsignedLong(v);
    }
    case Kind::Bool: {
        const uint32_t v = f.get(h, c, p, &err);
        if (err != 0) return field_error(self, err, "get", f);
        return PyBool_FromLong(v != 0);
    }
    case Kind::Enum: {
        const uint32_t v = f.get(h, c, p, &err);
        if (err != 0) return field_error(self, err, "get", f);
        const EnumDesc &e = kEnums[f.ref];
        if (v - e.first < e.count) {
            PyObject *m = PyTuple_GET_ITEM(enum_members[f.ref], v - e.first);
            Py_INCREF(m);
            return m;
        }
        return PyLong_FromUnsignedLong(v);
    }
    case Kind::String: {
        const uint32_t n = self->type->fields[f.length].get(h, c, p, &err);
        if (err != 0) return field_error(self, err, "get", f);
        const char *s = nullptr;
        if (n != 0) std::memcpy(&s, static_cast<const char *>(p) + f.offset, sizeof s);
        return s != nullptr ? decode_text(s, n) : PyUnicode_New(0, 0);
    }
    case Kind::Text: {
        if (instance_variant(p) < f.variant) return field_error(self, DROV_DEF_EIDRM, "get", f);
        const char *s = static_cast<const char *>(p) + f.offset;
        return decode_text(s, strnlen(s, f.width));
    }
    case Kind::Array: {
        const void *a = f.get_ptr(h, c, p, &err);
        if (err != 0) return field_error(self, err, "get", f);
        return PyBytes_FromStringAndSize(static_cast<const char *>(a != nullptr ? a : zeros), f.width);
    }
    case Kind::VarArray: {
        const uint32_t n = self->type->fields[f.length].get(h, c, p, &err);
        if (err != 0) return field_error(self, err, "get", f);
        const void *a = n != 0 ? f.get_ptr(h, c, p, &err) : nullptr;
        if (err != 0) return field_error(self, err, "get", f);
        return PyBytes_FromStringAndSize(static_cast<const char *>(a), a != nullptr ? n : 0);
    }
    case Kind::Record: {
        void *r = f.get_ptr(h, c, p, &err);
        if (err != 0) return field_error(self, err, "get", f);
        return reinterpret_cast<PyObject *>(new_record(*kTypes[f.ref], self->rt, r, reinterpret_cast<PyObject *>(self)));
    }
    case Kind::List:
        f.list->count(h, c, p, &err);
        if (err != 0) return field_error(self, err, "get", f);
        return new_list(self, f);
    }
    PyErr_SetString(PyExc_SystemError, "unknown field kind");
    return nullptr;
}

int set_field(RecordObject *self, const FieldDesc &f, PyObject *v, bool fresh) {
    const TypeDesc &t = *self->type;
    H *h = self->rt->h;
    const uint32_t c = self->rt->ctx;
    void *p = self->inst;
    uint32_t err = 0, n = 0;
    switch (f.kind) {
    case Kind::U8:
    case Kind::U16:
    case Kind::U32:
    case Kind::IfHandle:
        if (!to_number(v, f.limit, t, f, &n)) return -1;
        break;
    case Kind::Bool:
        if (PyBool_Check(v)) {
            n = v == Py_True;
        } else if (PyLong_Check(v)) {
            if (!to_number(v, 1, t, f, &n)) return -1;
        } else {
            PyErr_Format(PyExc_TypeError, "%s.%s takes a bool, not %s", t.name, f.name, Py_TYPE(v)->tp_name);
            return -1;
        }
        break;
    case Kind::Enum:
        if (is_other_enumeration(v, f.ref)) {
            PyErr_Format(PyExc_TypeError, "%s.%s takes a %s, not %R", t.name, f.name, kEnums[f.ref].class_name, v);
            return -1;
        }
        if (!to_number(v, 0xffffffffu, t, f, &n)) return -1;
        // The library's setters take only the numbers the enumeration names;
        // another number (a newer peer's) comes only with a decoding.
        if (n - kEnums[f.ref].first >= kEnums[f.ref].count) {
            PyErr_Format(PyExc_ValueError, "%s.%s takes a %s (%u to %u), not %R", t.name, f.name,
                         kEnums[f.ref].class_name, kEnums[f.ref].first,
                         kEnums[f.ref].first + kEnums[f.ref].count - 1, v);
            return -1;
        }
        break;
    case Kind::Length:
        PyErr_Format(PyExc_TypeError, "%s.%s is read-only", t.name, f.name);
        return -1;
    case Kind::String:
    case Kind::Text: {
        Bytes b;
        if (!b.from(v, true, f.name)) return -1;
        if (b.size() > f.limit) {
            PyErr_Format(PyExc_ValueError, "%s.%s holds up to %llu bytes, not %zu", t.name, f.name,
                         static_cast<unsigned long long>(f.limit), b.size());
            return -1;
        }
        // The library copies characters up to the first NUL and zeroes the
        // rest: refused rather than cut.
        if (std::memchr(b.data(), 0, b.size()) != nullptr) {
            PyErr_Format(PyExc_ValueError, "%s.%s cannot hold a NUL character", t.name, f.name);
            return -1;
        }
        f.set_chars(h, c, p, b.data(), static_cast<uint32_t>(b.size()), &err);
        return err != 0 ? (field_error(self, err, "set", f), -1) : 0;
    }
    case Kind::Array:
    case Kind::VarArray: {
        Bytes b;
        if (!b.from(v, false, f.name)) return -1;
        if (f.kind == Kind::Array ? b.size() != f.limit : b.size() > f.limit) {
            PyErr_Format(PyExc_ValueError, "%s.%s holds %s%llu bytes, not %zu", t.name, f.name,
                         f.kind == Kind::Array ? "exactly " : "up to ", static_cast<unsigned long long>(f.limit),
                         b.size());
            return -1;
        }
        const auto *d = reinterpret_cast<const uint8_t *>(b.data());
        f.set_bytes(h, c, p, b.size() != 0 ? d : zeros, static_cast<int32_t>(b.size()), &err);
        return err != 0 ? (field_error(self, err, "set", f), -1) : 0;
    }
    case Kind::Record: {
        const TypeDesc &rt = *kTypes[f.ref];
        if (fresh && PyDict_Check(v)) {
            // Into the nested record of a record made just now.
            void *r = f.get_ptr(h, c, p, &err);
            if (err != 0) return (field_error(self, err, "set", f), -1);
            RecordObject *view = new_record(rt, self->rt, r, reinterpret_cast<PyObject *>(self));
            if (view == nullptr) return -1;
            const int rc = set_fields(view, v, true, nullptr);
            Py_DECREF(view);
            return rc;
        }
        void *src = instance_from_value(self->rt, rt, v, f.name);
        if (src == nullptr) return -1;
        void *r = f.get_ptr(h, c, p, &err);
        if (err == 0) {
            if (!fresh) release_listed(self->rt, rt, r);
            f.move_in(h, c, p, src, &err);
        }
        rt.destroy(h, c, src);
        return err != 0 ? (field_error(self, err, "set", f), -1) : 0;
    }
    case Kind::List:
        return list_assign(self, f, v, fresh);
    }
    f.set(h, c, p, n, &err);
    return err != 0 ? (field_error(self, err, "set", f), -1) : 0;
}

int set_fields(RecordObject *self, PyObject *mapping, bool fresh, PyObject *skip) {
    if (!PyDict_Check(mapping)) {
        PyErr_Format(PyExc_TypeError, "%s takes a dict of its fields, not %s", self->type->class_name,
                     Py_TYPE(mapping)->tp_name);
        return -1;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(mapping, &pos, &k, &v)) {
        if (skip != nullptr && (k == skip || (PyUnicode_Check(k) && PyUnicode_Compare(k, skip) == 0))) continue;
        const FieldDesc *f = field_by_name(*self->type, k, true);
        if (f == nullptr || set_field(self, *f, v, fresh) < 0) return -1;
    }
    return 0;
}

void *instance_from_mapping(RuntimeObject *rt, const TypeDesc &t, PyObject *mapping) {
    RecordObject *o = new_owner(t, rt);
    if (o == nullptr) return nullptr;
    if (set_fields(o, mapping, true, nullptr) < 0) {
        Py_DECREF(o);
        return nullptr;
    }
    void *inst = o->inst;
    o->inst = nullptr;
    Py_DECREF(o);
    return inst;
}

void *copy_instance(RuntimeObject *rt, RecordObject *src) {
    const TypeDesc &t = *src->type;
    if (src->rt != rt) {
        // Another runtime (tracking or variants may differ): by value.
        PyObject *d = record_to_dict(src);
        if (d == nullptr) return nullptr;
        void *inst = instance_from_mapping(rt, t, d);
        Py_DECREF(d);
        return inst;
    }
    uint32_t room = 0, err = 0;
    drov_def_encoded_size(rt->h, rt->ctx, t.record, src->inst, DROV_DEF_SIZE_FOR_CLONE, &room, &err);
    if (err != 0) return lib_error(rt, err, "copy", &t, ""), nullptr;
    static std::string scratch; // the GIL serialises its users
    if (scratch.size() < room) scratch.resize(room);
    void *out = nullptr;
    t.clone(rt->h, rt->ctx, src->inst, &out, reinterpret_cast<uint8_t *>(scratch.data()), room, &err);
    if (err != 0) {
        if (out != nullptr) t.destroy(rt->h, rt->ctx, out);
        return lib_error(rt, err, "copy", &t, ""), nullptr;
    }
    return out;
}

void *instance_from_value(RuntimeObject *rt, const TypeDesc &t, PyObject *v, const char *what) {
    if (is_record_of(v, t)) return copy_instance(rt, as_record(v));
    if (PyDict_Check(v)) return instance_from_mapping(rt, t, v);
    PyErr_Format(PyExc_TypeError, "%s takes a %s or a dict of its fields, not %s", what, t.class_name,
                 Py_TYPE(v)->tp_name);
    return nullptr;
}

bool record_types_init(PyObject *module) {
    str_runtime = PyUnicode_InternFromString("runtime");
    if (str_runtime == nullptr) return false;
    // The enumerations, from the generated Python module.
    PyObject *schema = PyImport_ImportModule("drov_def._schema");
    if (schema == nullptr) return false;
    enum_classes = new PyObject *[static_cast<size_t>(kEnumCount)];
    enum_members = new PyObject *[static_cast<size_t>(kEnumCount)];
    for (int i = 0; i < kEnumCount; ++i) {
        const EnumDesc &e = kEnums[i];
        PyObject *cls = PyObject_GetAttrString(schema, e.class_name);
        PyObject *members = cls != nullptr ? PyTuple_New(e.count) : nullptr;
        if (members == nullptr) {
            Py_DECREF(schema);
            return false;
        }
        for (uint32_t k = 0; k < e.count; ++k) {
            PyObject *m = PyObject_CallFunction(cls, "k", static_cast<unsigned long>(e.first + k));
            if (m == nullptr) {
                Py_DECREF(schema);
                return false;
            }
            PyTuple_SET_ITEM(members, k, m);
        }
        enum_classes[i] = cls;
        enum_members[i] = members;
        if (PyModule_AddObjectRef(module, e.class_name, cls) < 0) return false;
    }
    Py_DECREF(schema);

    static PyType_Slot base_slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(base_new)},
        {Py_tp_dealloc, reinterpret_cast<void *>(record_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(record_repr)},
        {Py_tp_str, reinterpret_cast<void *>(record_str)},
        {Py_tp_richcompare, reinterpret_cast<void *>(record_richcompare)},
        {Py_tp_hash, reinterpret_cast<void *>(record_hash)},
        {Py_tp_methods, record_methods},
        {Py_tp_getset, base_getset},
        {Py_tp_doc, const_cast<char *>(base_doc)},
        {0, nullptr},
    };
    static PyType_Spec base_spec = {"drov_def.Record", sizeof(RecordObject), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, base_slots};
    RecordBaseType = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&base_spec));
    if (RecordBaseType == nullptr || PyModule_AddObjectRef(module, "Record", reinterpret_cast<PyObject *>(RecordBaseType)) < 0)
        return false;

    record_types = new PyTypeObject *[static_cast<size_t>(kTypeCount)]();
    field_names = new PyObject *[static_cast<size_t>(kTypeCount)]();
    for (int i = 0; i < kTypeCount; ++i) {
        const TypeDesc &t = *kTypes[i];
        // Lives as long as the class: the process.
        auto *getset = new PyGetSetDef[static_cast<size_t>(t.field_count) + 1]();
        PyObject *names = PyDict_New();
        if (names == nullptr) return false;
        for (int k = 0; k < t.field_count; ++k) {
            const FieldDesc &f = t.fields[k];
            getset[k] = {f.name, getter, f.kind == Kind::Length ? nullptr : setter, f.doc,
                         const_cast<FieldDesc *>(&f)};
            PyObject *key = PyUnicode_InternFromString(f.name);
            PyObject *idx = PyLong_FromLong(k);
            if (key == nullptr || idx == nullptr || PyDict_SetItem(names, key, idx) < 0) return false;
            Py_DECREF(key);
            Py_DECREF(idx);
        }
        field_names[i] = names;
        // The class's name lives as long as the class.
        const std::string full = std::string("drov_def.") + t.class_name;
        char *name = new char[full.size() + 1];
        std::memcpy(name, full.c_str(), full.size() + 1);
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void *>(record_new)},
            {Py_tp_getset, getset},
            {Py_tp_doc, const_cast<char *>(t.doc)},
            {0, nullptr},
        };
        PyType_Spec spec = {name, sizeof(RecordObject), 0, Py_TPFLAGS_DEFAULT, slots};
        PyObject *tp = PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject *>(RecordBaseType));
        if (tp == nullptr) return false;
        record_types[i] = reinterpret_cast<PyTypeObject *>(tp);
        PyObject *tn = PyUnicode_FromString(t.name);
        PyObject *nv = PyLong_FromLong(t.variants);
        if (tn == nullptr || nv == nullptr || PyObject_SetAttrString(tp, "TYPE_NAME", tn) < 0 ||
            PyObject_SetAttrString(tp, "VARIANTS", nv) < 0)
            return false;
        Py_DECREF(tn);
        Py_DECREF(nv);
        if (PyModule_AddObjectRef(module, t.class_name, tp) < 0) return false;
    }
    return record_ops_init(RecordBaseType);
}

} // namespace drovpy
